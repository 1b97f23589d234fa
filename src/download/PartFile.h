#pragma once

#include "net/Transfer.h"

#include <QFile>
#include <QString>

#include <functional>

// The file a download is written into until it is complete: a fresh, clearly named
// ".varnolux-XXXXXX.part" in the destination's own folder, created exclusively so that nothing
// existing is opened, truncated or written through a planted link. commit() puts it in place of
// the destination in one rename; otherwise it is deleted when it goes out of scope.
class PartFile {
public:
    PartFile() = default;
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // Creates the file in the folder that destinationPath names.
    net::Result create(const QString& destinationPath);
    // Puts the file elsewhere when it is committed: a name known only once the body is.
    void setDestination(const QString& destinationPath) { m_destination = destinationPath; }
    // Appends bytes. The bytes reach the file in blocks of bufferBytes.
    net::Result write(QByteArrayView bytes);
    // Flushes, closes and renames the file onto destinationPath, replacing whatever is there
    // (a symbolic link itself, never its target). On failure the file is deleted.
    net::Result commit();
    // As commit(), but an existing destination is kept: then a failure with *existed set and the
    // file deleted.
    net::Result commitKeeping(bool* existed);

    // The bytes written so far, those still gathered included.
    qint64 size() const { return m_written + m_pending.size(); }
    bool created() const { return m_created; }

    QString fileName() const { return m_file.fileName(); }

    // Whether a file can be created in folder at all, tried the way a download creates its file.
    static net::Result canCreateIn(const QString& folder);

    // Draws the name of the next temporary file. The default draws ".varnolux-XXXXXX.part" with six
    // random letters; tests give a source that repeats names they planted. An empty source brings
    // the default back.
    using NameSource = std::function<QString()>;
    static void setNameSource(NameSource source);

    static constexpr qsizetype bufferBytes = 64 * 1024;

private:
    net::Result writePending();
    net::Result finishWriting();
    void discard();

    QFile m_file;
    QByteArray m_pending;
    qint64 m_written = 0;
    QString m_destination;
    bool m_created = false;
};
