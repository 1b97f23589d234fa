#pragma once

#include <QLatin1StringView>
#include <QString>

#include <chrono>

namespace commandCapture {
// What RunCommand returns when the command cannot be started.
inline constexpr QLatin1StringView failedToStart{
    "Failed to create process, check the path of the command line."};
// The child's output is read at most this many bytes at a time.
inline constexpr qsizetype readSize = 1024;
} // namespace commandCapture

// Runs a command line (program and arguments, split like a shell does) as a hidden child process
// and returns everything it wrote to the wanted streams as one text. When both streams are wanted
// they share one pipe, so the text keeps the order in which the child wrote them. The bytes are
// converted from the OEM code page where the platform has one, otherwise from the locale's text.
//
// The output ends when the pipe closes; the child's exit code is never waited for. The wait runs
// in a local event loop, so the window keeps painting, and it ends early when the program is
// closing (the child is killed then) or, if timeLimit is positive, when that time has passed.
//
// Throws StepFailure when neither stream is wanted. Returns the empty text when the pipe cannot be
// made, and commandCapture::failedToStart when the command cannot be started.
QString RunCommand(const QString& commandLine, bool wantOutput, bool wantErrors, bool convertFromOem,
                   std::chrono::milliseconds timeLimit = std::chrono::milliseconds::zero());
