#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

class MessageBoxes;

namespace onlineCheck {
inline constexpr QLatin1StringView warning{"You must be online to use this software accurately."};
// Bounds the whole check even when the name lookup stalls, so the start-up waits a few seconds at most.
inline constexpr std::chrono::milliseconds timeLimit{5000};
} // namespace onlineCheck

// Warns when the computer cannot reach the internet: pings a well-known host once and looks for
// a reply line in what ping prints.
void CheckOnline(MessageBoxes& boxes);
// The same check with another command in place of the platform's ping.
void CheckOnline(MessageBoxes& boxes, const QString& commandLine);

// The platform's ping: one echo request to a well-known public web host, waiting two seconds at most.
QString pingCommandLine();

// True when ping's output holds a reply line: "bytes=" on Windows, "bytes from" on Linux and macOS.
bool holdsReplyLine(const QString& pingOutput);
