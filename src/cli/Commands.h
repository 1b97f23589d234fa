#pragma once

#include "discovery/ListingJob.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct CommandOptions;

// The commands and what they share: exit codes, error lines, the request settings.
namespace cli {

enum Exit { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

// A command that goes on through the event loop; it ends when it is destroyed.
class RunningCommand {
public:
    virtual ~RunningCommand() = default;
};

// "varnolux list [OPTIONS] [--] ADDRESS"; args follow the command's name. Starts the listing and
// returns what must live until it is over; done is told the exit code once it is (at once when the
// arguments are refused). The application's event loop drives the page's fetch.
std::unique_ptr<RunningCommand> startList(const QStringList& args, std::function<void(int exitCode)> done);

// "varnolux download [OPTIONS] [--] ADDRESS FOLDER" or "... --input FILE FOLDER". Starts the command
// and returns what must live until it is over; done is told the exit code once it is (at once when
// the arguments are refused). Nothing here waits: the application's event loop drives the run.
std::unique_ptr<RunningCommand> startDownload(const QStringList& args,
                                              std::function<void(int exitCode)> done);

// The exit code of a listing that ended so.
int listingExit(ListingOutcome outcome);

void printErr(const QString& text);
// Prints "varnolux: PROBLEM" and the hint to --help; returns ExitUsage.
int usageError(const QString& problem);

} // namespace cli
