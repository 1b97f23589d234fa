#include "cli/CliDownloadHost.h"

#include "cli/Json.h"
#include "download/DownloadEngine.h"
#include "download/DownloadRun.h"
#include "download/FileName.h"

#include <QFile>

#include <QDateTime>
#include <QDir>

namespace {

void put(std::FILE* out, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), out);
    std::fflush(out);
}

// Redraws at most ten times a second: a terminal is slow next to a fast download.
constexpr qint64 redrawMs = 100;
// Room for the link in the progress line of an 80-column terminal.
constexpr qsizetype linkRoom = 40;

} // namespace

CliDownloadHost::CliDownloadHost(ImageList& list, QString folder, std::FILE* out, bool terminal)
    : m_list(list), m_folder(std::move(folder)), m_out(out), m_terminal(terminal) {
    m_clock.start();
}

void CliDownloadHost::Messages::show(const QString& text, MessageIcon icon, const QString& title) {
    m_host.clearLine();
    m_stderr.show(text, icon, title);
}

QString CliDownloadHost::rate(double bytesPerSecond) {
    if (bytesPerSecond < 1000)
        return QStringLiteral("%1 B/s").arg(qRound64(bytesPerSecond));
    if (bytesPerSecond < 1000 * 1000)
        return QStringLiteral("%1 KB/s").arg(bytesPerSecond / 1000, 0, 'f', 1);
    return QStringLiteral("%1 MB/s").arg(bytesPerSecond / (1000 * 1000), 0, 'f', 1);
}

void CliDownloadHost::entryStarted(int entry, int ordinal, const QByteArray& link) {
    m_startedAt.insert(entry, m_clock.elapsed());
    m_ordinal = ordinal;
    m_link = link;
    m_fileBytes = 0;
    m_fileExpected = -1;
    draw(true);
}

void CliDownloadHost::fileProgress(qint64 received, qint64 expected) {
    m_fileBytes = received;
    m_fileExpected = expected;
    draw(false);
}

void CliDownloadHost::entryFinished(int entry, const QByteArray& link, const QString& path,
                                    const DownloadResult& result) {
    m_fileBytes = 0;
    ++m_finished;
    if (m_json) {
        const double seconds = (m_clock.elapsed() - m_startedAt.take(entry)) / 1000.0;
        const char* status = result.saved                    ? "saved"
                             : !result.duplicateOf.isEmpty() ? "duplicate"
                             : result.skipped                ? "skipped"
                                                             : "failed";
        // A saved body that is no picture is saved all the same, with a word on what it is.
        const QByteArray warning = result.saved && result.kind == BodyKind::Html
                                       ? QByteArray("its body is an HTML page, not an image")
                                       : QByteArray();
        QByteArray object =
            "{\"url\": " + json::string(link) + ", \"path\": " + json::string(fileName::nativePath(path)) +
            ", \"status\": \"" + status + "\", \"bytes\": " + QByteArray::number(result.bytes) +
            ", \"http_status\": " + QByteArray::number(result.httpStatus) +
            ", \"tries\": " + QByteArray::number(result.tries) +
            ", \"seconds\": " + QByteArray::number(seconds, 'f', 3) +
            ", \"reason\": " + json::string(result.saved ? QByteArray() : result.reason.toUtf8()) +
            ", \"warning\": " + json::string(warning);
        // Only with the choices that make them, so a default run's objects stay as they were.
        if (!result.sha256.isEmpty())
            object += ", \"sha256\": " + json::string(result.sha256);
        if (!result.duplicateOf.isEmpty())
            object += ", \"duplicate_of\": " + json::string(result.duplicateOf.toUtf8());
        if (result.width >= 0)
            object += ", \"width\": " + QByteArray::number(result.width) +
                      ", \"height\": " + QByteArray::number(result.height);
        if (!result.contentType.isEmpty())
            object += ", \"content_type\": " + json::string(result.contentType);
        if (!result.notes.isEmpty())
            object += ", \"notes\": " + json::string(result.notes.join(QStringLiteral("; ")).toUtf8());
        object += "}\n";
        std::fwrite(object.constData(), 1, size_t(object.size()), m_json);
        std::fflush(m_json);
    }
    // Said only when it took more than one: a default run's lines stay as they were.
    const QString tries = result.tries > 1 ? QStringLiteral(", %1 tries").arg(result.tries) : QString();
    const QString notes = result.notes.isEmpty()
                              ? QString()
                              : QLatin1StringView("; ") + result.notes.join(QLatin1StringView("; "));
    if (!result.duplicateOf.isEmpty()) {
        clearLine();
        put(m_out,
            QStringLiteral("skipped %1: duplicate of %2\n").arg(QString::fromUtf8(link), result.duplicateOf));
        return;
    }
    if (result.skipped) {
        clearLine();
        // An image turned away by its size has no file to name.
        if (path.isEmpty())
            put(m_out, QStringLiteral("skipped %1 (%2)\n").arg(QString::fromUtf8(link), result.reason));
        else
            put(m_out, QStringLiteral("skipped %1 -> %2 (%3)\n")
                           .arg(QString::fromUtf8(link), QDir::toNativeSeparators(path), result.reason));
        return;
    }
    if (result.saved) {
        m_doneBytes += result.bytes;
        // A page saved under an image's name is worth a line on a terminal too.
        const bool page = result.kind == BodyKind::Html;
        if (page)
            ++m_pages;
        if (m_terminal && !page && notes.isEmpty())
            return;
        clearLine();
        QString line = QStringLiteral("saved %1 -> %2 (%3 bytes%4)")
                           .arg(QString::fromUtf8(link), QDir::toNativeSeparators(path))
                           .arg(result.bytes)
                           .arg(tries + notes);
        if (page)
            line += QLatin1StringView(", but its body is an HTML page, not an image");
        put(m_out, line + u'\n');
        return;
    }
    // Failures stay on screen on a terminal too: the progress line would overwrite them.
    clearLine();
    put(m_out,
        QStringLiteral("failed %1: %2%3\n")
            .arg(QString::fromUtf8(link), result.reason,
                 result.tries > 1 ? QStringLiteral(" (after %1 tries)").arg(result.tries) : QString()));
}

void CliDownloadHost::hostPaused(const net::HostPause& pause) {
    m_pauses.removeIf([&](const net::HostPause& known) { return known.host == pause.host; });
    m_pauses.append(pause);
    draw(true);
}

void CliDownloadHost::finish(int saved, int attempted, int skipped) {
    clearLine();
    const double seconds = qMax<qint64>(m_clock.elapsed(), 1) / 1000.0;
    QString text = QStringLiteral("Saved %1 of %2 images into %3 (%4 bytes in %5 s, %6)")
                       .arg(saved)
                       .arg(attempted)
                       .arg(QDir::toNativeSeparators(m_folder))
                       .arg(m_doneBytes)
                       .arg(seconds, 0, 'f', 1)
                       .arg(rate(double(m_doneBytes) / seconds));
    if (skipped > 0)
        text += QStringLiteral("; %1 skipped").arg(skipped);
    if (saved + skipped < attempted)
        text += QStringLiteral("; %1 failed").arg(attempted - saved - skipped);
    if (m_pages == 1)
        text += QStringLiteral("; 1 saved file is an HTML page, not an image");
    else if (m_pages > 1)
        text += QStringLiteral("; %1 saved files are HTML pages, not images").arg(m_pages);
    for (const net::HostPause& pause : std::as_const(m_pauses))
        text += QLatin1StringView("; ") + DownloadRun::pauseText(pause, true);
    put(m_out, text + QLatin1StringView(".\n"));
    if (m_json) {
        const QByteArray object = "{\"summary\": true, \"attempted\": " + QByteArray::number(attempted) +
                                  ", \"saved\": " + QByteArray::number(saved) +
                                  ", \"skipped\": " + QByteArray::number(skipped) +
                                  ", \"failed\": " + QByteArray::number(attempted - saved - skipped) +
                                  ", \"bytes\": " + QByteArray::number(m_doneBytes) +
                                  ", \"seconds\": " + QByteArray::number(seconds, 'f', 3) +
                                  ", \"folder\": " + json::string(QFile::encodeName(m_folder)) + "}\n";
        std::fwrite(object.constData(), 1, size_t(object.size()), m_json);
        std::fflush(m_json);
    }
}

void CliDownloadHost::clearLine() {
    if (m_lineShown) {
        put(m_out, QStringLiteral("\r\x1b[K"));
        m_lineShown = false;
    }
}

void CliDownloadHost::draw(bool force) {
    if (!m_terminal)
        return;
    const qint64 now = m_clock.elapsed();
    if (!force && m_lastDraw >= 0 && now - m_lastDraw < redrawMs)
        return;
    m_lastDraw = now;
    QString file;
    if (m_fileExpected >= 0)
        file = QStringLiteral("%1%").arg(DownloadEngine::percentDone(m_fileBytes, m_fileExpected));
    else if (m_fileBytes > 0)
        file = QStringLiteral("%1 bytes").arg(m_fileBytes);
    else
        file = QStringLiteral("waiting");
    QString link = QString::fromUtf8(m_link);
    if (link.size() > linkRoom)
        link = QStringLiteral("...") + link.right(linkRoom - 3);
    const double seconds = qMax<qint64>(now, 1) / 1000.0;
    // A host that asked to slow down is named while its pause lasts.
    QString paused;
    const QDateTime utc = QDateTime::currentDateTimeUtc();
    for (const net::HostPause& pause : std::as_const(m_pauses))
        if (pause.until > utc)
            paused += QLatin1StringView("  ") + DownloadRun::pauseText(pause);
    put(m_out, QStringLiteral("\r\x1b[K[%1/%2] %3 %4  %5%6")
                   .arg(m_countFinished ? m_finished : m_ordinal)
                   .arg(m_list.count())
                   .arg(file, link, rate(double(totalBytes()) / seconds), paused));
    m_lineShown = true;
}
