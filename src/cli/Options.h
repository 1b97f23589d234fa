#pragma once

#include "core/Expected.h"
#include "discovery/LinkPatterns.h"
#include "discovery/ListingJob.h"
#include "download/DownloadOptions.h"
#include "net/Transfer.h"

#include <QByteArray>
#include <QLatin1StringView>
#include <QList>
#include <QString>
#include <QStringList>

#include <span>

// The arguments of 'list' and 'download', once parsed: every option's value and the positionals.
struct CommandOptions {
    QString filter = QStringLiteral("JPG,GIF");
    LinkPatterns patterns; // --match, --exclude
    // What the run asks of the network and the disk: its set-up is built from it.
    DownloadOptions download;
    FindMode find = FindMode::Classic;
    double renderSeconds = 30; // --render-time
    FollowOptions follow;      // --follow, --follow-hosts, --follow-max
    bool followHostsGiven = false;
    bool followMaxGiven = false;
    bool largestOnly = false; // --sizes largest
    QString input;            // --input FILE or "-"; empty: list the page
    bool hasInput = false;
    bool json = false;
    bool createDirs = false; // --create-dirs
    // Whether the options choose images by their size or dimensions, which only probing tells.
    bool probes() const {
        return download.minWidth > 0 || download.minHeight > 0 || download.minBytes > 0 ||
               download.maxBytes > 0;
    }
    QStringList positional;
};

namespace cli {

// What an option's value is; it decides how the value is checked and what a shell completes.
enum class ValueKind {
    Flag,    // no value
    Text,    // free text
    Number,  // a whole number from low to high
    Seconds, // a decimal number of seconds from low to high
    Rate,    // bytes per second with k, M or G
    Size,    // a number of bytes with k, M or G
    Choice,  // one of the words in choices
    File,    // a file name ("-" where the help says so)
    Address, // a web address
};

// Where an option has its effect. The parser takes every option for both commands, as it
// always has; the scope groups the help and narrows what a shell offers.
enum class Scope {
    Both,     // list and download
    Download, // download only
    Program,  // before any command (--help, --version); never parsed as a command's option
};

// One option, all that the parser, --help, the manual page and the shell completions need.
struct Option {
    QLatin1StringView name; // without the leading "--"
    char shortName;         // a one-letter alias, '\0' for none
    ValueKind kind;
    QLatin1StringView valueName; // what --help calls the value ("N", "FILE", "replace|skip|rename")
    int low;                     // Number and Seconds: the range
    int high;
    QLatin1StringView choices; // Choice: the words, separated by blanks
    Scope scope;
    // --help: one paragraph, wrapped when printed.
    QLatin1StringView help;
    // The manual page: paragraphs separated by "\n"; *bold* and _italic_ inline.
    QLatin1StringView manual;
    QLatin1StringView example;    // a command line, or empty
    QLatin1StringView settingKey; // the window's settings key for the same choice, or empty
    // Takes a checked value (the choice word, the number as text, ...) into the options; a
    // failure says why the value is refused.
    net::Result (*apply)(const QString& value, CommandOptions& options);

    QString longName() const { return QStringLiteral("--") + name; }
    bool takesValue() const { return kind != ValueKind::Flag; }
    QStringList choiceWords() const;
};

// Every option, in the order --help and the manual page show them.
std::span<const Option> options();

// The option called "--name", or null.
const Option* findOption(QLatin1StringView name);

// The parsed arguments, or why they are refused (a failure whose detail is the usage message).
using ParseResult = Expected<CommandOptions, net::Result>;

// Parses the arguments after the command: options as "--name VALUE" or "--name=VALUE", "--",
// then positionals (a lone "-" is a positional too).
ParseResult parseOptions(const QStringList& args);

} // namespace cli
