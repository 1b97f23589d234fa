#pragma once

#include "core/ErrorTrap.h"
#include "download/BodyWatch.h"
#include "download/DownloadEngine.h"
#include "net/TransferLoop.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class DiskWriter;
class MessageBoxes;
class PartFile;
class ProgressDisplay;

// One entry's download over the run's transfer loop: DownloadFile starts it and returns at once;
// the numbered steps run as the response's head and body pieces arrive, and done() is told the
// result once the file is in place or nothing of it is left. The body goes in 1024-byte chunks
// (each one a bar text) to a temporary file beside the destination, written by the run's disk
// writer; it replaces the destination only once the body is complete.
class DownloadJob : public net::TransferHandler {
public:
    using Done = std::function<void(const DownloadResult&)>;

    DownloadJob(net::Transfers& loop, DiskWriter& writer, ProgressDisplay& bar, MessageBoxes& boxes);
    ~DownloadJob() override;
    DownloadJob(const DownloadJob&) = delete;
    DownloadJob& operator=(const DownloadJob&) = delete;

    void setProgressListener(DownloadEngine::ProgressListener listener) { m_listener = std::move(listener); }
    // The page the images are listed on, named as each request's Referer; empty sends none.
    void setRefererPage(QByteArray page) { m_refererPage = std::move(page); }
    void setOptions(const DownloadOptions& options);
    // Told once the whole body has arrived and only the disk work is left: the connection is free
    // for the next request while the file is put in place.
    void setOffWireListener(std::function<void()> listener) { m_offWire = std::move(listener); }
    // Sees the body as it goes into the file and decides where the complete file goes.
    void setWatch(std::unique_ptr<BodyWatch> watch) { m_watch = std::move(watch); }

    // Failures of the destination (it cannot be created, written or put in place) are reported
    // once through the error trap; failures of the transfer only in the result.
    void DownloadFile(QByteArray address, const QString& destinationPath, Done done);
    // Ends the download as cancelled; done() follows once its temporary file is gone.
    void cancel();
    bool active() const { return m_active; }

    // A job holds a transfer back once this much of its body waits for the disk, and lets it go
    // on when the writer has caught up to a quarter of it.
    static constexpr qint64 maxQueuedBytes = 4 << 20;

    // net::TransferHandler
    void head(const net::Response& response) override;
    Take body(QByteArrayView piece) override;
    void finished(const net::Result& result) override;

private:
    struct TryState {
        bool retryable = false;
        std::optional<qint64> retryAfterMs;
        QByteArray etag;
        QByteArray lastModified;
        qint64 total = -1;
        bool resumable() const { return total > 0 && (!etag.isEmpty() || !lastModified.isEmpty()); }
    };
    void startTry();
    void takeChunk(QByteArrayView chunk);
    void flushToDisk();
    void bodyBroken(const QString& failure);
    void bodyEnded();
    void giveUp(const QString& reason, const net::Result& wire);
    void afterTry();
    // Whether finish() is called straight from the event loop (a follow-up of the writer), where the
    // end can be told at once, or from inside a call that must return first.
    enum class Told { Later, FromEventLoop };
    void finish(Told told = Told::Later);
    void noteResumePoint();
    void writeFailed(const net::Result& written);
    void dropTransfer();
    // The watch turned the body away while it arrived: the entry is skipped with its reason.
    void declineBody();

    net::Transfers& m_loop;
    DiskWriter& m_writer;
    ProgressDisplay& m_bar;
    MessageBoxes& m_boxes;
    ErrorTrap m_trap;
    DownloadEngine::ProgressListener m_listener;
    std::unique_ptr<BodyWatch> m_watch;
    QByteArray m_refererPage;
    int m_retries = 0;
    bool m_keepExisting = false;
    // Follow-ups from the writer and the timer come back through it; gone with the job.
    std::unique_ptr<QObject> m_context;
    QTimer m_retryTimer;
    QMetaObject::Connection m_cancelWatch;

    // The whole download.
    QByteArray m_requested;
    QString m_shown;
    QString m_destination;
    Done m_done;
    std::function<void()> m_offWire;
    bool m_active = false;
    bool m_ending = false;
    int m_tries = 0;
    int m_requests = 0;
    DownloadResult m_result;
    TryState m_state;
    std::shared_ptr<PartFile> m_part;
    qint64 m_partBytes = 0; // handed to the writer for the part file
    // Body bytes handed to the writer and not yet written; read by the writer's thread.
    std::shared_ptr<std::atomic<qint64>> m_queued;
    std::shared_ptr<std::atomic<bool>> m_writeFailed;
    // The first failed write's result, set by the writer's thread before m_writeFailed.
    std::shared_ptr<net::Result> m_writeFailure;
    bool m_createFailed = false; // the failure above is the part file's creation

    // The current try.
    net::Transfers::Id m_id = 0;
    bool m_submitting = false;
    std::optional<net::Result> m_refused; // finished() during submit()
    bool m_stale = false;                 // reports of a transfer given up on are ignored
    bool m_held = false;                  // the loop holds the body until resume()
    TryState m_before;
    qint64 m_resumeFrom = 0;
    bool m_headSeen = false;
    net::Response m_response;
    qint64 m_expected = -1;
    qint64 m_offset = 0;
    qint64 m_left = 0;
    qint64 m_received = 0;
    qint64 m_arrived = 0; // bytes of this answer's body taken, a partial chunk included
    bool m_takesRanges = false;
    QByteArray m_etag;
    QByteArray m_lastModified;
    QByteArray m_chunk;     // the chunk being filled
    qint64 m_chunkSize = 0; // what the chunk being filled holds when full
    QByteArray m_outgoing;  // whole chunks not yet handed to the writer
    QByteArray m_head;      // the first bytes, to tell what the body is
    int m_shownPercent = -1;
    QString m_text;
};
