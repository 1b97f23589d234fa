#pragma once

#include "discovery/ListingJob.h"

#include <QString>
#include <QStringList>

struct CommandOptions;

// The commands and what they share: exit codes, error lines, the request settings.
namespace cli {

enum Exit { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

// "varnolux list [OPTIONS] [--] ADDRESS"; args follow the command's name.
int runList(const QStringList& args);
// "varnolux download [OPTIONS] [--] ADDRESS FOLDER" or "... --input FILE FOLDER".
int runDownload(const QStringList& args);

// The exit code of a listing that ended so.
int listingExit(ListingOutcome outcome);

void printErr(const QString& text);
// Prints "varnolux: PROBLEM" and the hint to --help; returns ExitUsage.
int usageError(const QString& problem);

} // namespace cli
