#pragma once

#include "cli/CliHost.h"
#include "download/DownloadHost.h"

#include <QElapsedTimer>
#include <QHash>

#include <cstdio>

// The bar has no place on the command line: the progress is shown from the numbers instead.
class SilentProgress : public ProgressDisplay {
public:
    void setText(const QString&) override {}
    void setMaximum(int) override {}
    void setValue(int) override {}
};

// The download run's view of the command line: the listed links, all ticked, into one folder.
// On a terminal it redraws one progress line in place (entry i of n, the current file's percent
// or bytes, the overall throughput); otherwise it prints one line per saved or failed file.
// Failures and saved HTML pages get their line on a terminal too.
class CliDownloadHost : public DownloadHost {
public:
    CliDownloadHost(ImageList& list, QString folder, std::FILE* out, bool terminal);

    ImageList& imageList() override { return m_list; }
    MessageBoxes& messages() override { return m_messages; }
    MousePointer& pointer() override { return m_pointer; }
    ProgressDisplay& progress() override { return m_progress; }
    QString folderText() const override { return m_folder; }
    bool& DownloadBusy() override { return m_busy; }

    void entryStarted(int entry, int ordinal, const QByteArray& link) override;
    void fileProgress(qint64 received, qint64 expected) override;
    void entryFinished(int entry, const QByteArray& link, const QString& path,
                       const DownloadResult& result) override;
    // Named on the progress line while the pause lasts, and in the summary.
    void hostPaused(const net::HostPause& pause) override;

    // Ends the progress line and prints the summary.
    void finish(int saved, int attempted, int skipped = 0);
    // With parallel downloads the progress line counts finished entries, not started ones.
    void setCountFinished(bool countFinished) { m_countFinished = countFinished; }
    // Also writes one JSON object per entry and a summary object to out.
    void setJsonOutput(std::FILE* out) { m_json = out; }

    // Bytes per second as a short text: "512 B/s", "12.3 KB/s", "105.0 MB/s".
    static QString rate(double bytesPerSecond);

private:
    void draw(bool force);
    void clearLine();
    qint64 totalBytes() const { return m_doneBytes + m_fileBytes; }

    // Messages end the progress line first, so the two never run together.
    class Messages : public MessageBoxes {
    public:
        explicit Messages(CliDownloadHost& host) : m_host(host) {}
        void show(const QString& text, MessageIcon icon, const QString& title) override;

    private:
        CliDownloadHost& m_host;
        StderrMessages m_stderr;
    };

    ImageList& m_list;
    QString m_folder;
    std::FILE* m_out;
    bool m_terminal;
    Messages m_messages{*this};
    RememberedPointer m_pointer;
    SilentProgress m_progress;
    bool m_busy = false;

    QElapsedTimer m_clock;
    qint64 m_lastDraw = -1;
    int m_ordinal = 0;
    QByteArray m_link;
    qint64 m_fileBytes = 0;
    qint64 m_fileExpected = -1;
    qint64 m_doneBytes = 0;
    QList<net::HostPause> m_pauses; // the latest of each host
    int m_pages = 0;                // saved files whose body is an HTML page
    bool m_lineShown = false;
    bool m_countFinished = false;
    int m_finished = 0;
    std::FILE* m_json = nullptr;
    QHash<int, qint64> m_startedAt; // entry -> clock time its download began
};
