#pragma once

#include "net/Transfer.h"

#include <QByteArray>
#include <QFile>
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
    // Appends the link and syncs the file.
    net::Result append(const QByteArray& link);

    // The links of an archive's bytes: complete lines only, blank ones left out.
    static QSet<QByteArray> linksOf(const QByteArray& bytes);

private:
    QString m_path;
    QSet<QByteArray> m_links;
    bool m_endsInLineBreak = true;
};
