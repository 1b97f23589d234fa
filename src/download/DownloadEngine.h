#pragma once

#include "download/BodySniffer.h"
#include "download/DownloadOptions.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

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
    // With the run's choices of names and contents (KeepRules):
    QString path;        // where it was saved, when not where the run decided before the transfer
    QByteArray sha256;   // the saved content's hash, in hex, when the run hashed it
    QString duplicateOf; // skipped as a copy of this file, or of this link in the archive
    QStringList notes;   // what is worth a word about its name
    int width = -1;      // what the body showed of itself when the run read it; -1: not known
    int height = -1;
    QByteArray contentType;
};

// What every download of an image shares: how its progress reads on the bar and what its length
// header says. DownloadJob fetches one image over the run's transfer loop; the body streams in
// 1024-byte chunks into a temporary file beside the destination, which replaces the destination
// only once the body is complete, so a failed or cut-off download loses nothing and leaves
// nothing behind.
class DownloadEngine {
public:
    // Told after each chunk: bytes received so far and the expected length, -1 when unknown.
    using ProgressListener = std::function<void(qint64 received, qint64 expected)>;

    static constexpr qint64 chunkSize = 1024;

    // The bar's text after a chunk: the percent done when the length is known, else the bytes.
    static QString percentText(const QString& address, int percent);
    static QString bytesText(const QString& address, qint64 received);
    // (100 / expected) × received, to the nearest integer, a tie going to the even one.
    static int percentDone(qint64 received, qint64 expected);
    // The expected length from a "Content-Length" value; -1 when it is absent or unusable.
    static qint64 expectedLength(const QString& contentLength);
};
