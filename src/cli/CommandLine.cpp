#include "cli/CommandLine.h"

#include "cli/CliDownloadHost.h"
#include "cli/CliHost.h"
#include "core/Product.h"
#include "discovery/ListingJob.h"
#include "download/DownloadOptions.h"
#include "download/DownloadRun.h"
#include "download/PartFile.h"
#include "net/CurlTransfer.h"

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

// Arguments of a sub-command: --filter TEXT, --user-agent TEXT (or --NAME=TEXT), --no-referer,
// "--", then positionals.
struct Parsed {
    QString filter = QStringLiteral("JPG,GIF");
    QByteArray userAgent; // empty: the default
    bool referer = true;
    DownloadOptions download;
    FindMode find = FindMode::Classic;
    QStringList positional;
    QString error;
};

// Takes the value of --name TEXT or --name=TEXT at args[i]; false when arg is another option.
bool optionValue(const QStringList& args, qsizetype& i, QLatin1StringView name, QString* value,
                 QString* error) {
    const QString& arg = args[i];
    if (arg == name) {
        if (i + 1 >= args.size()) {
            *error = QStringLiteral("option '%1' needs a value").arg(name);
            return true;
        }
        *value = args[++i];
        return true;
    }
    if (arg.startsWith(name) && arg.mid(name.size()).startsWith(u'=')) {
        *value = arg.mid(name.size() + 1);
        return true;
    }
    return false;
}

// A whole number from low to high for the option; false with the error set.
bool numberIn(const QString& option, const QString& value, int low, int high, int* number, QString* error) {
    bool ok = false;
    const int parsed = value.toInt(&ok);
    if (!ok || parsed < low || parsed > high || value.startsWith(u'+')) {
        *error = QStringLiteral("option '%1' takes a whole number from %2 to %3, not '%4'")
                     .arg(option)
                     .arg(low)
                     .arg(high)
                     .arg(value);
        return false;
    }
    *number = parsed;
    return true;
}

Parsed parse(const QStringList& args) {
    Parsed parsed;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnded || !arg.startsWith(u'-') || arg == u'-') {
            parsed.positional << arg;
        } else if (arg == QLatin1StringView("--")) {
            optionsEnded = true;
        } else if (optionValue(args, i, QLatin1StringView("--filter"), &parsed.filter, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
        } else if (QString agent;
                   optionValue(args, i, QLatin1StringView("--user-agent"), &agent, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            // A line break would end the header and start another of the user's making.
            if (agent.contains(u'\n') || agent.contains(u'\r') || agent.contains(QChar(0))) {
                parsed.error = QStringLiteral("the user agent may not contain a line break");
                return parsed;
            }
            if (agent.isEmpty()) {
                parsed.error = QStringLiteral("the user agent may not be empty");
                return parsed;
            }
            parsed.userAgent = agent.toUtf8();
        } else if (arg == QLatin1StringView("--no-referer")) {
            parsed.referer = false;
        } else if (QString value;
                   optionValue(args, i, QLatin1StringView("--parallel"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty() ||
                !numberIn(QStringLiteral("--parallel"), value, 1, DownloadOptions::maxParallel,
                          &parsed.download.parallel, &parsed.error))
                return parsed;
        } else if (optionValue(args, i, QLatin1StringView("--retries"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty() ||
                !numberIn(QStringLiteral("--retries"), value, 0, DownloadOptions::maxRetries,
                          &parsed.download.retries, &parsed.error))
                return parsed;
        } else if (optionValue(args, i, QLatin1StringView("--on-exists"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            const std::optional<OnExists> onExists = onExistsFromText(value);
            if (!onExists) {
                parsed.error =
                    QStringLiteral("option '--on-exists' takes replace, skip or rename, not '%1'").arg(value);
                return parsed;
            }
            parsed.download.onExists = *onExists;
        } else if (QString value;
                   optionValue(args, i, QLatin1StringView("--find"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
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
    net::CurlTransferFactory network(parsed.userAgent);
    ListingJob job(host, state, &network);
    const ListingOutcome outcome = job.run(parsed.filter,
                                          {.checkFolder = false, .announceDone = false, .find = parsed.find});
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
    // One factory for the page and its images, so they share connections.
    net::CurlTransferFactory network(parsed.userAgent);
    CliHost listing(parsed.positional.front(), nullptr);
    DiscoveryState state;
    ListingJob job(listing, state, &network);
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
    host.setCountFinished(parsed.download.parallel > 1);
    DownloadRun run(host, &network);
    if (parsed.referer)
        run.setRefererPage(state.PageAddress);
    run.setDownloadOptions(parsed.download);
    const QByteArray agent = parsed.userAgent;
    run.setLaneFactory([agent] { return std::make_unique<net::CurlTransferFactory>(agent); });
    const DownloadOutcome outcome = run.run({.announceEnd = false});
    host.finish(run.saved(), run.attempted(), run.skipped());
    return outcome == DownloadOutcome::Done ? ExitOk : ExitFailed;
}

} // namespace

QString commandLineUsage() {
    return QStringLiteral("Usage: varnolux                                   open the window\n"
                          "       varnolux list [OPTIONS] [--] ADDRESS\n"
                          "       varnolux download [OPTIONS] [--] ADDRESS FOLDER\n"
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
                          "--user-agent TEXT  sent as User-Agent instead of Varnolux/VERSION.\n"
                          "--no-referer   image requests carry no Referer; by default they name the\n"
                          "               page as a browser does (its full address to its own site,\n"
                          "               only the site to another one, nothing from https to http).\n"
                          "\n"
                          "download only:\n"
                          "--parallel N   up to N images at once (1 to 16, default 1), at most 6 from one\n"
                          "               host; among links of one file name the last one listed is\n"
                          "               what remains.   varnolux download --parallel 8 URL ~/Pictures\n"
                          "--on-exists replace|skip|rename  what to do with a file of the same name:\n"
                          "               replace it once the new one is whole (default), keep it and\n"
                          "               skip the link, or save as 'name (1).ext', 'name (2).ext', ...\n"
                          "                               varnolux download --on-exists rename URL DIR\n"
                          "--retries N    try a link again up to N times (0 to 100, default 0) after a\n"
                          "               connection error, a time-out or HTTP 408, 429, 500, 502, 503 or\n"
                          "               504, waiting 1 s, 2 s, 4 s ... (at most 60 s) or the server's\n"
                          "               Retry-After (at most 120 s); a body that broke off resumes\n"
                          "               where it stopped when the server offers ranges.\n"
                          "                               varnolux download --retries 3 URL DIR\n"
                          "\n"
                          "Environment: http_proxy, https_proxy, all_proxy and no_proxy choose a proxy\n"
                          "as curl reads them; SSL_CERT_FILE and SSL_CERT_DIR replace the trusted\n"
                          "certificate authorities. HTTP/2 is used over https when the server offers it.\n"
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
        return command == QLatin1StringView("list") ? runList(args) : runDownload(args);
    }
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}
