#pragma once

#include "core/ImageDimensions.h"
#include "core/LinkFacts.h"
#include "download/DownloadEngine.h"
#include "download/DownloadOptions.h"
#include "net/TransferLoop.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <list>
#include <memory>
#include <optional>

class DiskWriter;
class DownloadArchive;
class DownloadHost;
class DownloadJob;
class ErrorTrap;
class KeepRules;
namespace net {
class RunSetup;
}

enum class DownloadOutcome {
    Ignored,          // a run was active already
    NoFolder,         // "Folder does not exist. Please select another folder."
    FolderUnwritable, // the folder exists, but no file can be created in it
    Done,             // every ticked entry was saved
    SomeFailed,
    Cancelled, // the program is closing, or the user stopped the run
};

// The download run behind "Start Downloading Selected Images": walks the list from top to bottom
// and saves every entry that is ticked when the run reaches it into the destination folder,
// under the last part of its link. Counts what it saved and ends with "Done." only when nothing
// failed; otherwise the message lists the failures. Saved files whose body is an HTML page are
// listed after it.
//
// The images go through the run set-up's one transfer loop, at most --parallel of them on the wire
// at once (one by default: exactly one request at a time). An entry is decided (its tick read,
// its name checked) only when there is room for it, in list order; two entries saved under one
// name never run at once. Nothing here waits: the loop reports, the disk writer writes, and the
// run goes on from their reports.
class DownloadRun {
public:
    struct Options {
        bool announceEnd = true; // the window shows the final message; the command line its own
    };
    struct Failure {
        QByteArray link;
        QString reason;
    };
    // A saved entry worth a word in the final message.
    using Note = Failure;

    DownloadRun(DownloadHost& host, const net::RunSetup& setup);
    ~DownloadRun();
    DownloadRun(const DownloadRun&) = delete;
    DownloadRun& operator=(const DownloadRun&) = delete;

    // Starts the run and returns; ended is told the outcome once the last entry is done with
    // (at once when the run does not even start).
    void start(Options options, std::function<void(DownloadOutcome)> ended);
    // The page the images come from (its final address), named as each request's Referer when the
    // set-up sends it.
    void setRefererPage(QByteArray page) { m_refererPage = std::move(page); }
    // Links found on a followed page name that page instead (link -> its final address).
    void setRefererPages(QHash<QByteArray, QByteArray> pages) { m_refererPages = std::move(pages); }
    // The pages' titles and the images' alt texts the listing read, for names made of them.
    void setLinkFacts(LinkFacts facts) { m_facts = std::move(facts); }
    // Links in the archive are skipped without a request; each saved link is added to it.
    void setArchive(DownloadArchive* archive) { m_archive = archive; }
    // Reads an image's dimensions from its first bytes, for the dimension limits of the options.
    void setDimensionReader(DimensionReader reader) { m_readDimensions = std::move(reader); }

    int attempted() const { return m_attempted; }
    int saved() const { return m_saved; }
    int skipped() const { return m_skipped; }
    qint64 bytesSaved() const { return m_bytes; }
    const QList<Failure>& failures() const { return m_failures; }
    const QList<Note>& notes() const { return m_notes; }
    // The hosts that asked the run to slow down, each with its latest pause.
    const QList<net::HostPause>& pauses() const { return m_pauses; }

    // The final message: "Done." or how many failed, with the first failed links and reasons,
    // then the first notes.
    static QString endMessage(int attempted, const QList<Failure>& failures, const QList<Note>& notes = {});
    // The final message of a run the user stopped: what it saved, then what endMessage lists.
    static QString stoppedMessage(int saved, int attempted, const QList<Failure>& failures,
                                  const QList<Note>& notes);
    static constexpr int listedFailures = 20;
    // The note on a saved body that is an HTML page.
    static QString notAnImageNote();

    // A host's pause in words: while it lasts ("waiting until"), or once the run is over.
    static QString pauseText(const net::HostPause& pause, bool over = false);

private:
    // One ticked entry as the run decided it.
    struct Entry {
        int index = 0;
        QByteArray link;
        QByteArray name;
        QString folder;
        QString path;
        QString reserved;     // an empty file taken under its name, removed if nothing is saved
        bool refused = false; // its name or folder cannot be used: no request is made
        bool late = false;    // named once its body is known (KeepRules)
        QStringList notes;    // about its name
        DownloadResult result;
    };
    // One entry on the wire.
    struct Active {
        Entry entry;
        std::unique_ptr<DownloadJob> job;
        qint64 received = 0;
        qint64 expected = -1;
        bool onWire = true; // its request is not over yet; only the disk work may be left
    };
    Entry decide(ErrorTrap& trap, int index);
    // Applies --on-exists once nothing else stops the entry; false when it is not to be fetched.
    bool claimDestination(Entry& entry);
    void account(Entry& entry);
    // Takes up entries while there is room for them; ends the run once nothing is left.
    void pump();
    void startJob(Entry entry);
    void jobDone(Active* active, const DownloadResult& result);
    void entryDone(int index);
    void cancelAll();
    void showProgress();
    void hostPaused(const net::HostPause& pause);
    void end();
    bool parallel() const { return m_lanes > 1; }

    DownloadHost& m_host;
    const net::RunSetup& m_setup;
    const DownloadOptions& m_options;
    QByteArray m_refererPage;
    QHash<QByteArray, QByteArray> m_refererPages;
    LinkFacts m_facts;
    DownloadArchive* m_archive = nullptr;
    std::unique_ptr<KeepRules> m_rules; // names from a template, duplicates; null without them
    DimensionReader m_readDimensions;
    bool m_archiveFailed = false;
    int m_skipped = 0;
    int m_attempted = 0;
    int m_saved = 0;
    qint64 m_bytes = 0;
    QList<Failure> m_failures;
    QList<Note> m_notes;
    QList<net::HostPause> m_pauses;

    // The run under way.
    Options m_runOptions;
    std::function<void(DownloadOutcome)> m_ended;
    std::unique_ptr<ErrorTrap> m_trap;
    std::unique_ptr<DiskWriter> m_writer;
    QObject m_context; // what comes back to the run comes through it
    QTimer m_ticker;
    QMetaObject::Connection m_cancelWatch;
    int m_lanes = 1;
    int m_count = 0;             // the entries of the list when the run began
    int m_next = 1;              // the next entry to decide
    std::optional<Entry> m_held; // decided, waiting for its name to be free
    std::list<std::unique_ptr<Active>> m_active;
    std::list<std::unique_ptr<Active>> m_done; // deleted once their reports have returned
    bool m_pumping = false;
    int m_inReport = 0; // a job's report is under way: it is not to be freed yet
    bool m_running = false;
    bool m_cancelled = false;
    int m_finished = 0;
    int m_total = 0;
    int m_unit = 1;
};
