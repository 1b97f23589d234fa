#pragma once

#include "core/Ui.h"
#include "net/TransferLoop.h"

#include <QByteArray>
#include <QString>

struct DownloadResult;

// What a download run reads from and shows on its window beyond what every run does: the
// progress bar, the busy flag and what it is told of each entry. The folder text is read afresh
// for every entry.
class DownloadHost : public RunWindow {
public:
    virtual ProgressDisplay& progress() = 0;
    // The window's one busy flag, true while a listing or a download run is active. The window
    // sets it around a listing run as well, so that a start of either run while one is active is
    // ignored and a listing never empties the list under a download.
    virtual bool& DownloadBusy() = 0;

    // Told when the run takes up a ticked entry; ordinal counts the ticked entries so far.
    virtual void entryStarted(int entry, int ordinal, const QByteArray& link) {
        Q_UNUSED(entry);
        Q_UNUSED(ordinal);
        Q_UNUSED(link);
    }
    // Told after each chunk of the current file: bytes so far and the expected length, -1 when
    // unknown.
    virtual void fileProgress(qint64 received, qint64 expected) {
        Q_UNUSED(received);
        Q_UNUSED(expected);
    }
    // Told when a host asks the run to slow down (429 or 503): every request to it waits until then.
    virtual void hostPaused(const net::HostPause& pause) { Q_UNUSED(pause); }
    // Told when a ticked entry is done with, saved or not.
    virtual void entryFinished(int entry, const QByteArray& link, const QString& path,
                               const DownloadResult& result) {
        Q_UNUSED(entry);
        Q_UNUSED(link);
        Q_UNUSED(path);
        Q_UNUSED(result);
    }
};
