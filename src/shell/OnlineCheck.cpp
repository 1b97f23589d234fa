#include "shell/OnlineCheck.h"

#include "core/Cancellation.h"
#include "core/Ui.h"
#include "shell/CommandCapture.h"

QString pingCommandLine() {
#if defined(Q_OS_WIN)
    return QStringLiteral("ping www.google.com -n 1 -w 2000");
#elif defined(Q_OS_DARWIN)
    return QStringLiteral("ping -c 1 -t 2 www.google.com");
#else
    return QStringLiteral("ping -c 1 -W 2 www.google.com");
#endif
}

bool holdsReplyLine(const QString& pingOutput) {
    // Windows' ping writes "bytes=32" in its reply line (in some languages "Bytes=32"); the ping of
    // Linux and macOS writes "64 bytes from". Looking for "bytes=" alone would warn on every start
    // there. Letter case is ignored in both.
    return pingOutput.contains(QLatin1StringView("bytes="), Qt::CaseInsensitive) ||
           pingOutput.contains(QLatin1StringView("bytes from"), Qt::CaseInsensitive);
}

void CheckOnline(MessageBoxes& boxes) {
    CheckOnline(boxes, pingCommandLine());
}

void CheckOnline(MessageBoxes& boxes, const QString& commandLine) {
    // A missing ping yields the failure text and an unusable pipe the empty text; neither holds
    // a reply, so both warn: the check could not show that the computer is online.
    const QString output = RunCommand(commandLine, true, false, true, onlineCheck::timeLimit);
    // Once the program is closing nobody is left to read the box.
    if (Cancellation::requested())
        return;
    if (!holdsReplyLine(output))
        boxes.show(onlineCheck::warning, MessageIcon::None, QString());
}
