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
#include "download/NameTemplate.h"
#include "download/PartFile.h"
#include "net/CookieFile.h"
#include "probe/ImageHeader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <memory>
#include <optional>

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
// are skipped, and so are those the user's patterns leave out.
net::Result readInput(const QString& name, const LinkPatterns& patterns, PrintingImageList& list) {
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
        if (trimmed.isEmpty() || trimmed.startsWith('#') || !patterns.keeps(trimmed))
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

// Whether the names ask for the pages' titles or the images' alt texts, which the listing then reads.
bool readsPageFacts(const QString& nameTemplate) {
    if (nameTemplate.isEmpty())
        return false;
    const auto parsed = NameTemplate::parse(nameTemplate);
    return parsed && parsed->needsPageFacts();
}

} // namespace

// What a download command needs until its run is over.
class DownloadCommand : public RunningCommand {
public:
    DownloadArchive archive;
    std::unique_ptr<net::NetworkRun> network;
    // After a rendered listing: the browser's cookies, and the set-up whose requests carry them.
    std::unique_ptr<net::HeldCookies> browserCookies;
    std::unique_ptr<net::NetworkRun> renderedNetwork;
    PrintingImageList inputList;
    std::optional<SignalBridge> cancelOnSignal;
    std::unique_ptr<CliHost> listing;
    DiscoveryState state;
    std::unique_ptr<ListingJob> listingJob;
    std::unique_ptr<CliDownloadHost> host;
    std::unique_ptr<DownloadRun> run;
};

namespace {

// The download run of a command whose links are listed (or were read), to its end.
void startRun(DownloadCommand& command, const CommandOptions& options, const QString& folder,
              std::function<void(int exitCode)> done) {
    // After a rendered listing the images are asked for with the cookies the browser ended with
    // (the user's cookie file was given to the browser, so they are among them), from a private
    // file that goes with the run.
    const net::RunSetup* setup = &command.network->setup();
    if (!command.state.BrowserCookies.isEmpty()) {
        auto held = net::HeldCookies::write(command.state.BrowserCookies);
        if (!held)
            return done(usageError(net::reasonText(held.failure())));
        command.browserCookies = std::move(*held);
        net::RunOptions withCookies = options.download;
        withCookies.cookieFile = command.browserCookies->path();
        auto made = cliRunSetup(withCookies);
        if (!made)
            return done(usageError(net::reasonText(made.failure())));
        command.renderedNetwork = std::move(*made);
        setup = &command.renderedNetwork->setup();
    }
    command.host = std::make_unique<CliDownloadHost>(
        options.hasInput ? static_cast<ImageList&>(command.inputList) : command.listing->list(), folder,
        stderr, stderrIsTerminal());
    CliDownloadHost& host = *command.host;
    host.setCountFinished(options.download.parallel > 1);
    if (options.json)
        host.setJsonOutput(stdout);
    command.run = std::make_unique<DownloadRun>(host, *setup);
    DownloadRun& run = *command.run;
    run.setRefererPage(command.state.refererPage());
    run.setRefererPages(command.state.FollowedFrom);
    run.setLinkFacts(command.state.Facts);
    if (!options.download.archive.isEmpty())
        run.setArchive(&command.archive);
    run.setDimensionReader(&probe::readDimensions);
    run.start({.announceEnd = false}, [&run, &host, done = std::move(done)](DownloadOutcome outcome) {
        host.finish(run.saved(), run.attempted(), run.skipped());
        if (SignalBridge::exitStatus())
            done(SignalBridge::exitStatus());
        else
            done(outcome == DownloadOutcome::Done ? ExitOk : ExitFailed);
    });
}

} // namespace

std::unique_ptr<RunningCommand> startDownload(const QStringList& args,
                                              std::function<void(int exitCode)> done) {
    const auto refuse = [&](int code) -> std::unique_ptr<RunningCommand> {
        done(code);
        return nullptr;
    };
    const ParseResult parsed = parseOptions(args);
    if (!parsed)
        return refuse(usageError(net::reasonText(parsed.failure())));
    const CommandOptions& options = *parsed;
    if (const int refused = checkArguments(options); refused >= 0)
        return refuse(refused);
    const QString folder = options.positional.back();
    auto command = std::make_unique<DownloadCommand>();
    if (!options.download.archive.isEmpty()) {
        if (const net::Result opened = command->archive.open(options.download.archive); !opened.ok())
            return refuse(
                usageError(QStringLiteral("option '--download-archive': %1").arg(net::reasonText(opened))));
    }
    if (options.find == FindMode::Rendered && !options.hasInput && chromiumProgram().isEmpty())
        return refuse(usageError(chromiumMissingText()));
    auto setUp = cliRunSetup(options.download);
    if (!setUp)
        return refuse(usageError(net::reasonText(setUp.failure())));
    command->network = std::move(*setUp);
    const net::RunSetup& setup = command->network->setup();
    if (options.hasInput) {
        if (const net::Result read = readInput(options.input, options.patterns, command->inputList);
            !read.ok())
            return refuse(usageError(net::reasonText(read)));
    }

    command->cancelOnSignal.emplace();
    // The page is listed as 'list' lists it, without printing the links.
    command->listing =
        std::make_unique<CliHost>(options.hasInput ? QString() : options.positional.front(), nullptr);
    command->listing->setPatterns(options.patterns);
    if (options.hasInput) {
        startRun(*command, options, folder, std::move(done));
        return command;
    }
    // The run starts once the page is listed.
    command->listingJob = std::make_unique<ListingJob>(*command->listing, command->state, setup);
    command->listingJob->start(
        options.filter,
        {.checkFolder = false,
         .announceDone = false,
         .find = options.find,
         .renderSeconds = options.renderSeconds,
         .follow = options.follow,
         .largestOnly = options.largestOnly,
         .readFacts = readsPageFacts(options.download.nameTemplate)},
        [command = command.get(), options, folder, done = std::move(done)](ListingOutcome listed) {
            if (SignalBridge::exitStatus())
                return done(SignalBridge::exitStatus());
            if (const int code = listingExit(listed); code != ExitOk)
                return done(code);
            startRun(*command, options, folder, done);
        });
    return command;
}

} // namespace cli
