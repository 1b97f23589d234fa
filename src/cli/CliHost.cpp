#include "cli/CliHost.h"

#include "cli/Commands.h"
#include "cli/Json.h"

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

void StderrMessages::show(const QString& text, MessageIcon, const QString& title) {
    QString line = text;
    line.replace(QLatin1StringView("\r\n"), QLatin1StringView("\n")).replace(u'\r', u'\n');
    if (!title.isEmpty())
        line = title + QLatin1StringView(": ") + line;
    cli::printErr(line + u'\n');
}

int PrintingImageList::add(const QByteArray& text) {
    const int entry = MemoryImageList::add(text);
    if (m_out) {
        QByteArray line = text;
        if (m_json) {
            line = "{\"url\": " + json::string(text);
            // An entry of a followed page was found on that page, not by the rendering.
            if (m_found && m_via.isEmpty())
                line +=
                    *m_found == FoundIn::Document ? ", \"found\": \"document\"" : ", \"found\": \"network\"";
            if (!m_via.isEmpty())
                line += ", \"via\": " + json::string(m_via);
            line += '}';
        }
        std::fwrite(line.constData(), 1, size_t(line.size()), m_out);
        std::fputc('\n', m_out);
    }
    return entry;
}

namespace {

bool stderrIsTerminal() {
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

} // namespace

void CliHost::followWarning(const QString& text) {
    // On a terminal the progress line gives way to the warning, and is drawn again below it.
    cli::printErr(QStringLiteral("%1varnolux: warning: %2\n")
                      .arg(stderrIsTerminal() ? QStringLiteral("\r\x1b[K") : QString(), text));
}

void CliHost::renderingProgress(const QString& text) {
    if (!stderrIsTerminal())
        return;
    const QByteArray line = "\r" + text.toUtf8() + "\x1b[K";
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}
