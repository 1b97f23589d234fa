#pragma once

#include "download/BodySniffer.h"
#include "download/DownloadOptions.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class ErrorTrap;
class HostPacer;
class MessageBoxes;
class PartFile;
class ProgressDisplay;
namespace net {
class Transfer;
struct Request;
} // namespace net

// What became of one download.
struct DownloadResult {
    bool saved = false;
    bool cancelled = false;            // cut off because the program is closing
    bool skipped = false;              // the file existed and was kept; nothing was saved
    qint64 bytes = 0;                  // body bytes received
    QString reason;                    // why nothing was saved, readable by a user
    BodyKind kind = BodyKind::Unknown; // what the first bytes of a saved body say it is
    int httpStatus = 0;                // the last response's status; 0 when none came
    int tries = 0;                     // requests the server received for it
};

// The download engine: fetches one image address and saves its body under the destination path,
// showing the progress as text on the bar. The body streams in 1024-byte chunks into a temporary
// file beside the destination, which replaces the destination only once the body is complete, so
// a failed or cut-off download loses nothing and leaves nothing behind.
class DownloadEngine {
public:
    // Told after each chunk: bytes received so far and the expected length, -1 when unknown.
    using ProgressListener = std::function<void(qint64 received, qint64 expected)>;

    DownloadEngine(net::Transfer& transfer, ProgressDisplay& bar, MessageBoxes& boxes);

    void setProgressListener(ProgressListener listener) { m_listener = std::move(listener); }
    // The page the images are listed on: each request names it as its Referer, as a browser
    // would. Empty sends none.
    void setRefererPage(QByteArray page) { m_refererPage = std::move(page); }
    // Retries, and whether an existing destination is kept (skip) or replaced.
    void setOptions(const DownloadOptions& options);
    // Keeps the pause between requests to one host; none without it.
    void setPacer(HostPacer* pacer) { m_pacer = pacer; }

    // The addresses likely to be downloaded next, the next one first; the transfer may request
    // them early.
    void expect(const QList<QByteArray>& addresses);

    // Failures of the destination (it cannot be created, written or put in place) are reported
    // once through the error trap; failures of the transfer only in the result.
    DownloadResult DownloadFile(QByteArray address, const QString& destinationPath);

    static constexpr qint64 chunkSize = 1024;

    // The bar's text after a chunk: the percent done when the length is known, else the bytes.
    static QString percentText(const QString& address, int percent);
    static QString bytesText(const QString& address, qint64 received);
    // (100 / expected) × received, to the nearest integer, a tie going to the even one.
    static int percentDone(qint64 received, qint64 expected);
    // The expected length from a "Content-Length" value; -1 when it is absent or unusable.
    static qint64 expectedLength(const QString& contentLength);

private:
    // What the last try learnt for the next one.
    struct TryState {
        bool retryable = false;
        std::optional<qint64> retryAfterMs;
        // A body that broke off may be resumed when its server takes ranges and names the
        // version it sent, by an ETag or a Last-Modified date.
        QByteArray etag;
        QByteArray lastModified;
        qint64 total = -1;
        bool resumable() const { return total > 0 && (!etag.isEmpty() || !lastModified.isEmpty()); }
    };
    DownloadResult tryOnce(ErrorTrap& trap, const QByteArray& requested, const QString& shown,
                           const QString& destinationPath, PartFile& part, TryState& state);
    // Waits ms without blocking the event loop; false when the run was cancelled meanwhile.
    static bool pause(qint64 ms);
    net::Request requestFor(const QByteArray& address) const;

    net::Transfer& m_transfer;
    HostPacer* m_pacer = nullptr;
    int m_retries = 0;
    int m_requests = 0; // put on the wire for the current DownloadFile
    bool m_keepExisting = false;
    QByteArray m_refererPage;
    ProgressDisplay& m_bar;
    MessageBoxes& m_boxes;
    ProgressListener m_listener;
};
