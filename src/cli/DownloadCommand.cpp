#include "cli/CliDownloadHost.h"
#include "cli/CliHost.h"
#include "cli/CliRunSetup.h"
#include "cli/Commands.h"
#include "cli/Options.h"
#include "cli/SignalBridge.h"
#include "core/Folders.h"
#include "discovery/ChromiumDriver.h"
#include "discovery/ListingJob.h"
#include "download/DownloadArchive.h"
#include "download/DownloadRun.h"
#include "download/HostPacer.h"
#include "download/PartFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cstdio>
#include <memory>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {
namespace {

bool stderrIsTerminal() {
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

// Links from a file or standard input, one per line; blank lines and lines starting with "#"
// are skipped.
net::Result readInput(const QString& name, PrintingImageList& list) {
    QFile file;
    if (name == u'-') {
        if (!file.open(stdin, QIODevice::ReadOnly))
            return net::Result::localFile(QStringLiteral("option '--input': cannot read standard input"));
    } else {
        file.setFileName(name);
        if (QFileInfo(name).isDir())
            return net::Result::localFile(
                QStringLiteral("option '--input': %1 is a folder").arg(QDir::toNativeSeparators(name)));
        if (!file.open(QIODevice::ReadOnly))
            return net::Result::localFile(QStringLiteral("option '--input': cannot read %1: %2")
                                              .arg(QDir::toNativeSeparators(name), file.errorString()));
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
    return {};
}

// The arguments that can be refused before anything is fetched; an exit code, or -1 to go on.
int checkArguments(const CommandOptions& options) {
    if (options.hasInput ? options.positional.size() != 1 : options.positional.size() != 2)
        return usageError(options.hasInput ? QStringLiteral("'download --input FILE' takes a FOLDER only")
                                           : QStringLiteral("'download' takes an ADDRESS and a FOLDER"));
    if (!options.download.referer.isEmpty() && !options.hasInput)
        return usageError(
            QStringLiteral("option '--referer' goes with '--input'; a page's images name the page"));
    const QString folder = options.positional.back();
    // Tested before the page is fetched: without a folder there is nothing to do.
    const QString shownFolder = QDir::toNativeSeparators(folder);
    if (options.createDirs && !QFileInfo(folder).isDir() && !QDir().mkpath(folder)) {
        printErr(QStringLiteral("varnolux: %1: the folder cannot be created\n").arg(shownFolder));
        return ExitUsage;
    }
    if (!FolderExists(folder)) {
        printErr(QStringLiteral("varnolux: %1: %2\n")
                     .arg(shownFolder, QFileInfo::exists(folder) ? QStringLiteral("not a folder")
                                                                 : QStringLiteral("no such folder")));
        return ExitUsage;
    }
    if (const net::Result writable = PartFile::canCreateIn(folder); !writable.ok()) {
        printErr(QStringLiteral("varnolux: %1\n").arg(net::reasonText(writable)));
        return ExitUsage;
    }
    return -1;
}

} // namespace

int runDownload(const QStringList& args) {
    const ParseResult parsed = parseOptions(args);
    if (!parsed)
        return usageError(net::reasonText(parsed.failure()));
    const CommandOptions& options = *parsed;
    if (const int refused = checkArguments(options); refused >= 0)
        return refused;
    const QString folder = options.positional.back();
    DownloadArchive archive;
    if (!options.download.archive.isEmpty()) {
        if (const net::Result opened = archive.open(options.download.archive); !opened.ok())
            return usageError(QStringLiteral("option '--download-archive': %1").arg(net::reasonText(opened)));
    }
    if (options.find == FindMode::Rendered && !options.hasInput && chromiumProgram().isEmpty())
        return usageError(chromiumMissingText());
    const auto setUp = cliRunSetup(options.download);
    if (!setUp)
        return usageError(net::reasonText(setUp.failure()));
    const std::unique_ptr<net::NetworkRun>& network = *setUp;
    PrintingImageList inputList;
    if (options.hasInput) {
        if (const net::Result read = readInput(options.input, inputList); !read.ok())
            return usageError(net::reasonText(read));
    }

    const SignalBridge cancelOnSignal;
    // The page is listed as 'list' lists it, without printing the links.
    HostPacer pacer(options.download.waitMs);
    if (!options.hasInput)
        pacer.reserve(HostPacer::hostOf(options.positional.front().toUtf8()));
    CliHost listing(options.hasInput ? QString() : options.positional.front(), nullptr);
    DiscoveryState state;
    if (!options.hasInput) {
        ListingJob job(listing, state, network->setup());
        const ListingOutcome listed = job.run(options.filter, {.checkFolder = false,
                                                               .announceDone = false,
                                                               .find = options.find,
                                                               .renderSeconds = options.renderSeconds});
        if (SignalBridge::exitStatus())
            return SignalBridge::exitStatus();
        if (const int code = listingExit(listed); code != ExitOk)
            return code;
    }

    // After a rendered listing the images are asked for with the cookies the browser ended with
    // (the user's cookie file was given to the browser, so they are among them), from a private
    // file that goes with the run.
    QTemporaryFile browserCookies(QDir::temp().filePath(QStringLiteral("varnolux-cookies-XXXXXX")));
    std::unique_ptr<net::NetworkRun> renderedNetwork;
    if (!state.BrowserCookies.isEmpty()) {
        if (!browserCookies.open() ||
            browserCookies.write(state.BrowserCookies) != state.BrowserCookies.size() ||
            !browserCookies.flush())
            return usageError(
                QStringLiteral("the browser's cookies could not be kept in %1: %2")
                    .arg(QDir::toNativeSeparators(browserCookies.fileName()), browserCookies.errorString()));
        net::RunOptions withCookies = options.download;
        withCookies.cookieFile = browserCookies.fileName();
        auto made = cliRunSetup(withCookies);
        if (!made)
            return usageError(net::reasonText(made.failure()));
        renderedNetwork = std::move(*made);
    }
    const net::RunSetup& setup = renderedNetwork ? renderedNetwork->setup() : network->setup();

    CliDownloadHost host(options.hasInput ? static_cast<ImageList&>(inputList) : listing.list(), folder,
                         stderr, stderrIsTerminal());
    host.setCountFinished(options.download.parallel > 1);
    if (options.json)
        host.setJsonOutput(stdout);
    DownloadRun run(host, setup);
    run.setRefererPage(state.refererPage());
    if (!options.download.archive.isEmpty())
        run.setArchive(&archive);
    if (options.download.waitMs > 0)
        run.setPacer(&pacer);
    const DownloadOutcome outcome = run.run({.announceEnd = false});
    host.finish(run.saved(), run.attempted(), run.skipped());
    if (SignalBridge::exitStatus())
        return SignalBridge::exitStatus();
    return outcome == DownloadOutcome::Done ? ExitOk : ExitFailed;
}

} // namespace cli
