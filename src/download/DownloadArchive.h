#pragma once

#include "net/Transfer.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>

// The record of links saved so far, one per line, so that a later run over the same page fetches
// only what is new. Each saved link is appended and synced to the disk at once; a half-written
// last line (the previous run was killed while appending) is ignored, never fatal.
class DownloadArchive {
public:
    // Reads the file; a missing one is an empty archive, made on the first append. A failure when
    // it cannot be read or is no file.
    net::Result open(const QString& path);
    bool contains(const QByteArray& link) const { return m_links.contains(link); }
    // The link saved with this content (SHA-256 in hex), or empty.
    QByteArray linkOf(const QByteArray& sha256) const { return m_hashes.value(sha256); }
    // Appends the link, and its content's hash when given, and syncs the file.
    net::Result append(const QByteArray& link, const QByteArray& sha256 = {});

    // The links of an archive's bytes: complete lines only, blank ones and hash lines left out.
    static QSet<QByteArray> linksOf(const QByteArray& bytes);
    // The hashes of an archive's bytes with their links. A hash goes on a line of its own,
    // "#sha256 HEX LINK", after its link's line: a version that knows no hashes reads it as a link
    // no page has, and still skips the link itself.
    static QHash<QByteArray, QByteArray> hashesOf(const QByteArray& bytes);

private:
    QString m_path;
    QSet<QByteArray> m_links;
    QHash<QByteArray, QByteArray> m_hashes;
    bool m_endsInLineBreak = true;
};
