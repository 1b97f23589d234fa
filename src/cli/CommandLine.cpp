#include "cli/CommandLine.h"

#include "cli/CliDownloadHost.h"
#include "cli/CliHost.h"
#include "core/Cancellation.h"
#include "core/Folders.h"
#include "core/Product.h"
#include "discovery/ListingJob.h"
#include "download/DownloadArchive.h"
#include "download/DownloadOptions.h"
#include "download/DownloadRun.h"
#include "download/HostPacer.h"
#include "download/PartFile.h"
#include "net/CurlTransfer.h"

#include "cli/Json.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <memory>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
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
    QString input; // --input FILE or "-"; empty: list the page
    bool hasInput = false;
    QByteArray refererOption; // --referer URL, for --input
    QString archive;          // --download-archive FILE
    bool json = false;
    qint64 limitRate = 0;   // bytes per second; 0: none
    double waitSeconds = 0; // between two requests to one host
    QString cookies;        // a Netscape cookie file
    QList<QByteArray> headers;
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

// A header line the user adds to every request; empty when it is good, else why not.
QString checkHeader(const QString& line) {
    if (line.contains(u'\n') || line.contains(u'\r') || line.contains(QChar(0)))
        return QStringLiteral("option '--header' may not contain a line break");
    const qsizetype colon = line.indexOf(u':');
    const QString name = line.left(colon).trimmed();
    static const QString token = QStringLiteral("!#$%&'*+-.^_`|~");
    bool tokenName = colon > 0 && name == line.left(colon);
    for (QChar c : name)
        tokenName = tokenName && c.unicode() < 128 && (c.isLetterOrNumber() || token.contains(c));
    if (!tokenName)
        return QStringLiteral("option '--header' takes \"Name: value\", not '%1'").arg(line);
    if (name.compare(u"Host", Qt::CaseInsensitive) == 0 ||
        name.compare(u"Content-Length", Qt::CaseInsensitive) == 0)
        return QStringLiteral("option '--header' may not set %1").arg(name);
    return {};
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
        } else if (optionValue(args, i, QLatin1StringView("--input"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            if (value.isEmpty()) {
                parsed.error = QStringLiteral("option '--input' needs a file name or '-'");
                return parsed;
            }
            parsed.input = value;
            parsed.hasInput = true;
        } else if (optionValue(args, i, QLatin1StringView("--referer"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            if (value.contains(u'\n') || value.contains(u'\r') || value.contains(QChar(0)) ||
                value.isEmpty()) {
                parsed.error = QStringLiteral("option '--referer' takes an address without line breaks");
                return parsed;
            }
            parsed.refererOption = value.toUtf8();
        } else if (optionValue(args, i, QLatin1StringView("--download-archive"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            if (value.isEmpty()) {
                parsed.error = QStringLiteral("option '--download-archive' needs a file name");
                return parsed;
            }
            parsed.archive = value;
        } else if (arg == QLatin1StringView("--json")) {
            parsed.json = true;
        } else if (optionValue(args, i, QLatin1StringView("--limit-rate"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            const std::optional<qint64> rate = parseRate(value);
            parsed.limitRate = rate.value_or(0);
            if (!rate) {
                parsed.error = QStringLiteral("option '--limit-rate' takes bytes per second, with k, M or G "
                                              "(such as 500k), not '%1'")
                                   .arg(value);
                return parsed;
            }
        } else if (optionValue(args, i, QLatin1StringView("--wait"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            bool ok = false;
            parsed.waitSeconds = value.toDouble(&ok);
            bool plain = !value.isEmpty();
            for (QChar c : value)
                plain = plain && (c.isDigit() || c == u'.');
            if (!ok || !plain || parsed.waitSeconds > 86400) {
                parsed.error =
                    QStringLiteral("option '--wait' takes seconds from 0 to 86400 (such as 1.5), not '%1'")
                        .arg(value);
                return parsed;
            }
        } else if (optionValue(args, i, QLatin1StringView("--cookies"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            parsed.cookies = value;
        } else if (optionValue(args, i, QLatin1StringView("--header"), &value, &parsed.error)) {
            if (!parsed.error.isEmpty())
                return parsed;
            parsed.error = checkHeader(value);
            if (!parsed.error.isEmpty())
                return parsed;
            parsed.headers.append(value.toUtf8());
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
        } else if (QString value; optionValue(args, i, QLatin1StringView("--find"), &value, &parsed.error)) {
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

// Checks a Netscape cookie file as curl and wget write it: tab-separated domain, subdomains flag,
// path, secure flag, expiry, name, value; "#" comments except "#HttpOnly_" lines. False with a
// reason when it cannot be read; malformed lines are counted, and libcurl skips them too.
bool checkCookieFile(const QString& path, int* malformed, QString* reason) {
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("option '--cookies': cannot read %1: %2")
                      .arg(QDir::toNativeSeparators(path),
                           QFileInfo(path).isDir() ? QStringLiteral("it is a folder") : file.errorString());
        return false;
    }
    *malformed = 0;
    for (QByteArray line : file.readAll().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("#HttpOnly_"))
            line = line.mid(10);
        else if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        bool ok = fields.size() == 7 && !fields[0].isEmpty() && !fields[5].isEmpty();
        if (ok) {
            fields[4].toLongLong(&ok);
            ok = ok && (fields[1] == "TRUE" || fields[1] == "FALSE") &&
                 (fields[3] == "TRUE" || fields[3] == "FALSE");
        }
        if (!ok)
            ++*malformed;
    }
    return true;
}

// The request settings of the options, for the page and every image.
bool requestDefaults(const Parsed& parsed, net::CurlDefaults* defaults) {
    defaults->userAgent = parsed.userAgent;
    defaults->headers = parsed.headers;
    defaults->maxBytesPerSecond = parsed.limitRate;
    if (!parsed.cookies.isEmpty()) {
        int malformed = 0;
        QString why;
        if (!checkCookieFile(parsed.cookies, &malformed, &why)) {
            usageError(why);
            return false;
        }
        if (malformed > 0)
            printErr(QStringLiteral("varnolux: warning: %1 malformed line%2 of %3 skipped\n")
                         .arg(malformed)
                         .arg(malformed == 1 ? QString() : QStringLiteral("s"))
                         .arg(QDir::toNativeSeparators(parsed.cookies)));
        defaults->cookieFile = QFile::encodeName(QFileInfo(parsed.cookies).absoluteFilePath());
    }
    return true;
}

int runList(const QStringList& args) {
    const Parsed parsed = parse(args);
    if (!parsed.error.isEmpty())
        return usageError(parsed.error);
    if (parsed.positional.size() != 1)
        return usageError(QStringLiteral("'list' takes exactly one ADDRESS"));

    net::CurlDefaults defaults;
    if (!requestDefaults(parsed, &defaults))
        return ExitUsage;
    CliHost host(parsed.positional.front(), stdout);
    host.list().setJson(parsed.json);
    DiscoveryState state;
    net::CurlTransferFactory network(defaults);
    ListingJob job(host, state, &network);
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

// The signal that ended the run, 0 for none. SIGINT, SIGTERM and SIGHUP cancel the run through a
// pipe that the event loop watches: the handler itself only writes one byte.
int g_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signal = 0;

void onSignal(int number) {
    g_signal = number;
    const char byte = char(number);
    if (g_signalPipe[1] >= 0) [[maybe_unused]]
        const auto written = ::write(g_signalPipe[1], &byte, 1);
}

// Cancels the active run on SIGINT, SIGTERM or SIGHUP while it lives.
class SignalCancel {
public:
    SignalCancel() {
        if (::pipe(g_signalPipe) != 0)
            return;
        for (int fd : g_signalPipe)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [] {
            char byte = 0;
            [[maybe_unused]] const auto got = ::read(g_signalPipe[0], &byte, 1);
            Cancellation::request();
        });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        for (int number : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(number, &action, nullptr);
    }
    ~SignalCancel() {
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        for (int number : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(number, &action, nullptr);
        m_notifier.reset();
        for (int& fd : g_signalPipe)
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
    }
    // The exit status after a signal: 128 plus its number (SIGINT 130, SIGTERM 143, SIGHUP 129).
    static int exitStatus() { return g_signal ? 128 + int(g_signal) : 0; }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Links from a file or standard input, one per line; blank lines and lines starting with "#"
// are skipped. False with a reason.
bool readInput(const QString& name, PrintingImageList& list, QString* reason) {
    QFile file;
    if (name == u'-') {
        if (!file.open(stdin, QIODevice::ReadOnly)) {
            *reason = QStringLiteral("option '--input': cannot read standard input");
            return false;
        }
    } else {
        file.setFileName(name);
        if (QFileInfo(name).isDir()) {
            *reason = QStringLiteral("option '--input': %1 is a folder").arg(QDir::toNativeSeparators(name));
            return false;
        }
        if (!file.open(QIODevice::ReadOnly)) {
            *reason = QStringLiteral("option '--input': cannot read %1: %2")
                          .arg(QDir::toNativeSeparators(name), file.errorString());
            return false;
        }
    }
    const QByteArray bytes = file.readAll();
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        const int entry = list.add(trimmed);
        list.setTicked(entry, true);
    }
    return true;
}

int runDownload(const QStringList& args) {
    const Parsed parsed = parse(args);
    if (!parsed.error.isEmpty())
        return usageError(parsed.error);
    if (parsed.hasInput ? parsed.positional.size() != 1 : parsed.positional.size() != 2)
        return usageError(parsed.hasInput ? QStringLiteral("'download --input FILE' takes a FOLDER only")
                                          : QStringLiteral("'download' takes an ADDRESS and a FOLDER"));
    if (!parsed.refererOption.isEmpty() && !parsed.hasInput)
        return usageError(
            QStringLiteral("option '--referer' goes with '--input'; a page's images name the page"));
    const QString folder = parsed.positional.back();
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
    DownloadArchive archive;
    if (!parsed.archive.isEmpty()) {
        QString why;
        if (!archive.open(parsed.archive, &why))
            return usageError(QStringLiteral("option '--download-archive': %1").arg(why));
    }
    net::CurlDefaults defaults;
    if (!requestDefaults(parsed, &defaults))
        return ExitUsage;
    PrintingImageList inputList;
    if (parsed.hasInput) {
        QString why;
        if (!readInput(parsed.input, inputList, &why))
            return usageError(why);
    }

    const SignalCancel cancelOnSignal;
    // The page is listed as 'list' lists it, without printing the links.
    // One factory for the page and its images, so they share connections.
    net::CurlTransferFactory network(defaults);
    HostPacer pacer(qint64(parsed.waitSeconds * 1000));
    if (!parsed.hasInput)
        pacer.reserve(HostPacer::hostOf(parsed.positional.front().toUtf8()));
    CliHost listing(parsed.hasInput ? QString() : parsed.positional.front(), nullptr);
    DiscoveryState state;
    if (!parsed.hasInput) {
        ListingJob job(listing, state, &network);
        const ListingOutcome listed =
            job.run(parsed.filter, {.checkFolder = false, .announceDone = false, .find = parsed.find});
        if (SignalCancel::exitStatus())
            return SignalCancel::exitStatus();
        switch (listed) {
        case ListingOutcome::Done:
            break;
        case ListingOutcome::NoFilter:
        case ListingOutcome::NoFolder:
            return ExitUsage;
        case ListingOutcome::FetchFailed:
        case ListingOutcome::Cancelled:
            return ExitFailed;
        }
    }

    CliDownloadHost host(parsed.hasInput ? static_cast<ImageList&>(inputList) : listing.list(), folder,
                         stderr, stderrIsTerminal());
    host.setCountFinished(parsed.download.parallel > 1);
    if (parsed.json)
        host.setJsonOutput(stdout);
    DownloadRun run(host, &network);
    if (parsed.hasInput)
        run.setRefererPage(parsed.refererOption);
    else if (parsed.referer)
        run.setRefererPage(state.refererPage());
    run.setDownloadOptions(parsed.download);
    if (!parsed.archive.isEmpty())
        run.setArchive(&archive);
    if (parsed.waitSeconds > 0)
        run.setPacer(&pacer);
    // The rate is for the whole run: the lanes share it.
    net::CurlDefaults laneDefaults = defaults;
    if (laneDefaults.maxBytesPerSecond > 0)
        laneDefaults.maxBytesPerSecond =
            qMax<qint64>(1, laneDefaults.maxBytesPerSecond / parsed.download.parallel);
    run.setLaneFactory([laneDefaults] { return std::make_unique<net::CurlTransferFactory>(laneDefaults); });
    const DownloadOutcome outcome = run.run({.announceEnd = false});
    host.finish(run.saved(), run.attempted(), run.skipped());
    if (SignalCancel::exitStatus())
        return SignalCancel::exitStatus();
    return outcome == DownloadOutcome::Done ? ExitOk : ExitFailed;
}

} // namespace

QString commandLineUsage() {
    return QStringLiteral(
        "Usage: varnolux                                   open the window\n"
        "       varnolux list [OPTIONS] [--] ADDRESS\n"
        "       varnolux download [OPTIONS] [--] ADDRESS FOLDER\n"
        "       varnolux download --input FILE|- [OPTIONS] [--] FOLDER\n"
        "       varnolux --help | --version\n"
        "\n"
        "list      prints the image links of the page at ADDRESS, one per line.\n"
        "download  saves every image link of the page at ADDRESS into FOLDER, each\n"
        "          under the last part of its link, replacing a file only once the\n"
        "          new one has arrived whole. Shows a progress line on a terminal,\n"
        "          else one line per saved or failed file, then a summary.\n"
        "\n"
        "--filter TEXT      comma-separated image types, as the window's filter boxes\n"
        "                   build them (default JPG,GIF); letter case is ignored.\n"
        "--find MODE        classic (the default): the src=\"...\" and href=\"...\" values\n"
        "                   of the page; browser: every image a browser would show on\n"
        "                   the page (srcset, lazy-loading attributes, CSS url(), icons,\n"
        "                   og:image) and every link, resolved as a browser resolves\n"
        "                   them. In browser mode an image without a known image type is\n"
        "                   listed whatever the filter.\n"
        "--user-agent TEXT  sent as User-Agent instead of Varnolux/VERSION.\n"
        "--no-referer       image requests carry no Referer; by default they name the\n"
        "                   page as a browser does (its full address to its own site,\n"
        "                   only the site to another one, nothing from https to http).\n"
        "\n"
        "for download (--limit-rate, --cookies, --header and --json for list too):\n"
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
        "--limit-rate RATE  at most RATE bytes per second for the whole run, with\n"
        "               k, M or G as curl takes them (1024, 1024^2, 1024^3).\n"
        "                               varnolux download --limit-rate 500k URL DIR\n"
        "--wait SECONDS a pause between two requests to one host (fractions allowed).\n"
        "                               varnolux download --wait 1.5 URL DIR\n"
        "--cookies FILE a Netscape-format cookie file (as curl, wget and the browser\n"
        "               export extensions write it), sent with the page and the image\n"
        "               requests for their domains; never written back. Malformed lines\n"
        "               are skipped with one warning.\n"
        "                               varnolux download --cookies cookies.txt URL DIR\n"
        "--header \"Name: value\"  adds the header to every request (repeatable);\n"
        "               Host, Content-Length and line breaks are refused.\n"
        "                    varnolux list --header \"Accept-Language: de\" URL\n"
        "--input FILE   take the links from FILE ('-': standard input), one per line;\n"
        "               blank lines and lines starting with # are skipped; no page is\n"
        "               listed and no Referer is sent unless --referer URL gives one.\n"
        "               varnolux list URL | grep large | varnolux download --input - DIR\n"
        "--referer URL  with --input: the Referer of every image request.\n"
        "--download-archive FILE  skip, without a request, every link listed in FILE\n"
        "               (one per line) and add each saved link to it, so a second run\n"
        "               fetches only what is new.\n"
        "                 varnolux download --download-archive seen.txt URL DIR\n"
        "--json         (list and download) one JSON object per line on standard\n"
        "               output: list {\"url\": ...}; download {\"url\", \"path\",\n"
        "               \"status\" (saved, failed, skipped), \"bytes\", \"http_status\",\n"
        "               \"tries\", \"seconds\", \"reason\"} and a last summary object; the\n"
        "               lines for people stay on standard error. Bytes that are not\n"
        "               UTF-8 are written as \\u00XX escapes, one per byte.\n"
        "                               varnolux list --json URL\n"
        "\n"
        "Environment: http_proxy, https_proxy, all_proxy and no_proxy choose a proxy\n"
        "as curl reads them; SSL_CERT_FILE and SSL_CERT_DIR replace the trusted\n"
        "certificate authorities. HTTP/2 is used over https when the server offers it.\n"
        "\n"
        "SIGINT, SIGTERM and SIGHUP cancel a download: transfers stop, partial files\n"
        "are removed and the summary says what was saved.\n"
        "\n"
        "Exit status: 0 success (images skipped by --on-exists skip or the archive\n"
        "count as success), 1 the page or some image could not be fetched, 2 bad\n"
        "arguments, no image filter, or a missing or unwritable folder; 130 after\n"
        "SIGINT, 143 after SIGTERM, 129 after SIGHUP.\n");
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
        const QByteArray line = m_json ? "{\"url\": " + json::string(text) + '}' : text;
        std::fwrite(line.constData(), 1, size_t(line.size()), m_out);
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
