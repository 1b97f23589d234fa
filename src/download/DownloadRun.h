#pragma once

#include "download/DownloadEngine.h"
#include "download/DownloadOptions.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class DownloadArchive;
class DownloadHost;
class HostPacer;
class ErrorTrap;
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

    // The run's images are fetched as the set-up says: one after another by one transfer of its
    // factory, or in parallel lanes that each make their own.
    DownloadRun(DownloadHost& host, const net::RunSetup& setup);
    ~DownloadRun();

    DownloadOutcome run() { return run(Options{}); }
    DownloadOutcome run(Options options);
    // The page the images come from (its final address), named as each request's Referer when the
    // set-up sends it.
    void setRefererPage(QByteArray page) { m_refererPage = std::move(page); }
    // Links in the archive are skipped without a request; each saved link is added to it.
    void setArchive(DownloadArchive* archive) { m_archive = archive; }
    // Keeps a pause between two requests to one host (--wait), for every lane.
    void setPacer(HostPacer* pacer) { m_pacer = pacer; }

    int attempted() const { return m_attempted; }
    int saved() const { return m_saved; }
    int skipped() const { return m_skipped; }
    qint64 bytesSaved() const { return m_bytes; }
    const QList<Failure>& failures() const { return m_failures; }
    const QList<Note>& notes() const { return m_notes; }

    // The final message: "Done." or how many failed, with the first failed links and reasons,
    // then the first notes.
    static QString endMessage(int attempted, const QList<Failure>& failures, const QList<Note>& notes = {});
    // The final message of a run the user stopped: what it saved, then what endMessage lists.
    static QString stoppedMessage(int saved, int attempted, const QList<Failure>& failures,
                                  const QList<Note>& notes);
    static constexpr int listedFailures = 20;
    // The note on a saved body that is an HTML page.
    static QString notAnImageNote();

    // How many of the coming ticked entries the transfer is told of, and how far the run looks.
    static constexpr int expectedAhead = 4;
    static constexpr int lookAhead = 16;

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
        DownloadResult result;
    };
    Entry decide(ErrorTrap& trap, int index);
    // Applies --on-exists once nothing else stops the entry; false when it is not to be fetched.
    bool claimDestination(Entry& entry);
    void account(Entry& entry);
    bool runSequential(ErrorTrap& trap, DownloadEngine& engine, int n);
    bool runParallel(ErrorTrap& trap, int n);
    QList<QByteArray> upcoming(int from, int count) const;

    DownloadHost& m_host;
    const net::RunSetup& m_setup;
    const DownloadOptions& m_options;
    QByteArray m_refererPage;
    DownloadArchive* m_archive = nullptr;
    HostPacer* m_pacer = nullptr;
    bool m_archiveFailed = false;
    int m_skipped = 0;
    int m_attempted = 0;
    int m_saved = 0;
    qint64 m_bytes = 0;
    QList<Failure> m_failures;
    QList<Note> m_notes;
};
