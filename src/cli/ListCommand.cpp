#include "cli/CliHost.h"
#include "cli/CliRunSetup.h"
#include "cli/Commands.h"
#include "cli/Options.h"
#include "cli/SignalBridge.h"
#include "discovery/ChromiumDriver.h"
#include "discovery/ListingJob.h"

#include <optional>

#include <cstdio>

namespace cli {

namespace {

// A listing under way and what it needs until its end.
struct ListCommand : RunningCommand {
    std::unique_ptr<net::NetworkRun> network;
    std::unique_ptr<CliHost> host;
    DiscoveryState state;
    std::unique_ptr<ListingJob> job;
    std::optional<SignalBridge> cancelOnSignal;
};

} // namespace

std::unique_ptr<RunningCommand> startList(const QStringList& args, std::function<void(int exitCode)> done) {
    const auto refuse = [&](int code) -> std::unique_ptr<RunningCommand> {
        done(code);
        return nullptr;
    };
    const ParseResult parsed = parseOptions(args);
    if (!parsed)
        return refuse(usageError(net::reasonText(parsed.failure())));
    const CommandOptions& options = *parsed;
    if (options.positional.size() != 1)
        return refuse(usageError(QStringLiteral("'list' takes exactly one ADDRESS")));

    if (options.find == FindMode::Rendered && chromiumProgram().isEmpty())
        return refuse(usageError(chromiumMissingText()));
    auto setUp = cliRunSetup(options.download);
    if (!setUp)
        return refuse(usageError(net::reasonText(setUp.failure())));
    auto command = std::make_unique<ListCommand>();
    command->network = std::move(*setUp);
    command->host = std::make_unique<CliHost>(options.positional.front(), stdout);
    command->host->list().setJson(options.json);
    command->host->setPatterns(options.patterns);
    // A browser of the run's own is ended with it, on a signal too.
    if (options.find == FindMode::Rendered)
        command->cancelOnSignal.emplace();
    command->job = std::make_unique<ListingJob>(*command->host, command->state, command->network->setup());
    command->job->start(options.filter,
                        {.checkFolder = false,
                         .announceDone = false,
                         .find = options.find,
                         .renderSeconds = options.renderSeconds},
                        [done = std::move(done)](ListingOutcome outcome) {
                            std::fflush(stdout);
                            if (SignalBridge::exitStatus())
                                done(SignalBridge::exitStatus());
                            else
                                done(listingExit(outcome));
                        });
    return command;
}

int listingExit(ListingOutcome outcome) {
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

} // namespace cli
