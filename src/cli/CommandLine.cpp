#include "cli/CommandLine.h"

#include "cli/CliDownloadHost.h"
#include "cli/CliHost.h"
#include "core/Network.h"
#include "core/Product.h"
#include "discovery/ListingJob.h"
#include "download/DownloadRun.h"
#include "download/PartFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

enum Exit { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

void printErr(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stderr);
}

int usageError(const QString& problem) {
    printErr(QStringLiteral("varnolux: %1\n").arg(problem));
    printErr(QStringLiteral("Try 'varnolux --help' for more information.\n"));
    return ExitUsage;
}

// Arguments of a sub-command: --filter TEXT (or --filter=TEXT), "--", then positionals.
struct Parsed {
    QString filter = QStringLiteral("JPG,GIF");
    FindMode find = FindMode::Classic;
    QStringList positional;
    QString error;
};

Parsed parse(const QStringList& args) {
    Parsed parsed;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnded || !arg.startsWith(u'-') || arg == u'-') {
            parsed.positional << arg;
        } else if (arg == QLatin1StringView("--")) {
            optionsEnded = true;
        } else if (arg == QLatin1StringView("--filter")) {
            if (i + 1 >= args.size()) {
                parsed.error = QStringLiteral("option '--filter' needs a value");
                return parsed;
            }
            parsed.filter = args[++i];
        } else if (arg.startsWith(QLatin1StringView("--filter="))) {
            parsed.filter = arg.mid(9);
        } else if (arg == QLatin1StringView("--find") || arg.startsWith(QLatin1StringView("--find="))) {
            QString value;
            if (arg.size() > 6) {
                value = arg.mid(7);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                parsed.error = QStringLiteral("option '--find' needs a value: classic or browser");
                return parsed;
            }
            if (value == QLatin1StringView("classic")) {
                parsed.find = FindMode::Classic;
            } else if (value == QLatin1StringView("browser")) {
                parsed.find = FindMode::Browser;
            } else {
                parsed.error =
                    QStringLiteral("option '--find' takes classic or browser, not '%1'").arg(value);
                return parsed;
            }
        } else {
            parsed.error = QStringLiteral("unknown option '%1'").arg(arg);
            return parsed;
        }
    }
    return parsed;
}

int runList(const QStringList& args) {
    const Parsed parsed = parse(args);
    if (!parsed.error.isEmpty())
        return usageError(parsed.error);
    if (parsed.positional.size() != 1)
        return usageError(QStringLiteral("'list' takes exactly one ADDRESS"));

    CliHost host(parsed.positional.front(), stdout);
    DiscoveryState state;
    ListingJob job(host, state);
    const ListingOutcome outcome =
        job.run(parsed.filter, {.checkFolder = false, .announceDone = false, .find = parsed.find});
    std::fflush(stdout);
    switch (outcome) {
    case ListingOutcome::Done:
        return ExitOk;
    case ListingOutcome::NoFilter:
    case ListingOutcome::NoFolder:
        return ExitUsage;
    case ListingOutcome::FetchFailed:
    case ListingOutcome::Cancelled:
        return ExitFailed;
    }
    return ExitFailed;
}

bool stderrIsTerminal() {
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

int runDownload(const QStringList& args) {
    const Parsed parsed = parse(args);
    if (!parsed.error.isEmpty())
        return usageError(parsed.error);
    if (parsed.positional.size() != 2)
        return usageError(QStringLiteral("'download' takes an ADDRESS and a FOLDER"));
    const QString folder = parsed.positional.at(1);
    // Tested before the page is fetched: without a folder there is nothing to do.
    if (!FolderExists(folder)) {
        printErr(QStringLiteral("varnolux: Folder does not exist. Please select another folder. (%1)\n")
                     .arg(QDir::toNativeSeparators(folder)));
        return ExitUsage;
    }
    QString unwritable;
    if (!PartFile::canCreateIn(folder, &unwritable)) {
        printErr(QStringLiteral("varnolux: %1. Please select another folder.\n").arg(unwritable));
        return ExitUsage;
    }

    // The page is listed as 'list' lists it, without printing the links.
    CliHost listing(parsed.positional.front(), nullptr);
    DiscoveryState state;
    ListingJob job(listing, state);
    switch (job.run(parsed.filter, {.checkFolder = false, .announceDone = false, .find = parsed.find})) {
    case ListingOutcome::Done:
        break;
    case ListingOutcome::NoFilter:
    case ListingOutcome::NoFolder:
        return ExitUsage;
    case ListingOutcome::FetchFailed:
    case ListingOutcome::Cancelled:
        return ExitFailed;
    }

    CliDownloadHost host(listing.list(), folder, stderr, stderrIsTerminal());
    DownloadRun run(host);
    const DownloadOutcome outcome = run.run({.announceEnd = false});
    host.finish(run.saved(), run.attempted());
    return outcome == DownloadOutcome::Done ? ExitOk : ExitFailed;
}

} // namespace

QString commandLineUsage() {
    return QStringLiteral(
        "Usage: varnolux                                   open the window\n"
        "       varnolux list [--find MODE] [--filter TEXT] [--] ADDRESS\n"
        "       varnolux download [--find MODE] [--filter TEXT] [--] ADDRESS FOLDER\n"
        "       varnolux --help | --version\n"
        "\n"
        "list      prints the image links of the page at ADDRESS, one per line.\n"
        "download  saves every image link of the page at ADDRESS into FOLDER, each\n"
        "          under the last part of its link, replacing a file only once the\n"
        "          new one has arrived whole. Shows a progress line on a terminal,\n"
        "          else one line per saved or failed file, then a summary.\n"
        "\n"
        "--filter TEXT  comma-separated image types, as the window's filter boxes build\n"
        "               them (default JPG,GIF); letter case is ignored.\n"
        "--find MODE    classic (the default): the src=\"...\" and href=\"...\" values of\n"
        "               the page; browser: every image a browser would show on the page\n"
        "               (srcset, lazy-loading attributes, CSS url(), icons, og:image) and\n"
        "               every link, resolved as a browser resolves them. In browser mode an\n"
        "               image without a known image type is listed whatever the filter.\n"
        "\n"
        "Exit status: 0 success, 1 the page or some image could not be fetched,\n"
        "2 bad arguments, no image filter, or a missing or unwritable folder.\n");
}

void StderrMessages::show(const QString& text, MessageIcon, const QString& title) {
    QString line = text;
    line.replace(QLatin1StringView("\r\n"), QLatin1StringView("\n")).replace(u'\r', u'\n');
    if (!title.isEmpty())
        line = title + QLatin1StringView(": ") + line;
    printErr(line + u'\n');
}

int PrintingImageList::add(const QByteArray& text) {
    const int entry = MemoryImageList::add(text);
    if (m_out) {
        std::fwrite(text.constData(), 1, size_t(text.size()), m_out);
        std::fputc('\n', m_out);
    }
    return entry;
}

int runCommandLine(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(product::name);
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNOLUX_VERSION));
    QStringList args = QCoreApplication::arguments().mid(1);
    const QString command = args.isEmpty() ? QString() : args.takeFirst();

    if (command == QLatin1StringView("--help") || command == QLatin1StringView("-h") ||
        command == QLatin1StringView("help")) {
        std::fputs(commandLineUsage().toLocal8Bit().constData(), stdout);
        return ExitOk;
    }
    if (command == QLatin1StringView("--version") || command == QLatin1StringView("-V")) {
        std::printf("varnolux %s\n", VARNOLUX_VERSION);
        return ExitOk;
    }
    if (args.contains(QLatin1StringView("--help")) && !args.contains(QLatin1StringView("--"))) {
        std::fputs(commandLineUsage().toLocal8Bit().constData(), stdout);
        return ExitOk;
    }
    if (command == QLatin1StringView("list") || command == QLatin1StringView("download")) {
        const int exitCode = command == QLatin1StringView("list") ? runList(args) : runDownload(args);
        network::releaseManager();
        return exitCode;
    }
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}
