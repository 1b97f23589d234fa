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

int runList(const QStringList& args) {
    const ParseResult parsed = parseOptions(args);
    if (!parsed)
        return usageError(net::reasonText(parsed.failure()));
    const CommandOptions& options = *parsed;
    if (options.positional.size() != 1)
        return usageError(QStringLiteral("'list' takes exactly one ADDRESS"));

    if (options.find == FindMode::Rendered && chromiumProgram().isEmpty())
        return usageError(chromiumMissingText());
    const auto setUp = cliRunSetup(options.download);
    if (!setUp)
        return usageError(net::reasonText(setUp.failure()));
    const std::unique_ptr<net::NetworkRun>& network = *setUp;
    CliHost host(options.positional.front(), stdout);
    host.list().setJson(options.json);
    DiscoveryState state;
    // A browser of the run's own is ended with it, on a signal too.
    std::optional<SignalBridge> cancelOnSignal;
    if (options.find == FindMode::Rendered)
        cancelOnSignal.emplace();
    ListingJob job(host, state, network->setup());
    const ListingOutcome outcome = job.run(options.filter, {.checkFolder = false,
                                                            .announceDone = false,
                                                            .find = options.find,
                                                            .renderSeconds = options.renderSeconds});
    std::fflush(stdout);
    if (SignalBridge::exitStatus())
        return SignalBridge::exitStatus();
    return listingExit(outcome);
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
