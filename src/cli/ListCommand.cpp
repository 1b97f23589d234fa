#include "cli/CliHost.h"
#include "cli/CliRunSetup.h"
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Options.h"
#include "cli/SignalBridge.h"
#include "discovery/ChromiumDriver.h"
#include "discovery/ListingJob.h"
#include "probe/Prober.h"

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
    std::unique_ptr<probe::Prober> prober;
};

// Whether a probed image is kept by the limits: what the probe could not tell keeps it.
bool keeps(const net::RunOptions& limits, const probe::ProbeResult& probed) {
    if (probed.bytes >= 0) {
        if (limits.minBytes > 0 && probed.bytes < limits.minBytes)
            return false;
        if (limits.maxBytes > 0 && probed.bytes > limits.maxBytes)
            return false;
    }
    if (probed.dimensions.state == ImageDimensions::State::Known) {
        const QSize size = probed.dimensions.size;
        if (size.width() < limits.minWidth || size.height() < limits.minHeight)
            return false;
    }
    return true;
}

// One probed entry's line: the link, or with --json what the probe told.
QByteArray probedLine(const QByteArray& link, const probe::ProbeResult& probed, bool json) {
    if (!json)
        return link + '\n';
    QByteArray line = "{\"url\": " + json::string(link);
    const bool known = probed.dimensions.state == ImageDimensions::State::Known;
    line += ", \"width\": " + (known ? QByteArray::number(probed.dimensions.size.width()) : "null");
    line += ", \"height\": " + (known ? QByteArray::number(probed.dimensions.size.height()) : "null");
    line += ", \"bytes\": " + (probed.bytes >= 0 ? QByteArray::number(probed.bytes) : "null");
    line += ", \"content_type\": " + json::string(probed.contentType);
    if (!probed.failure.ok())
        line += ", \"probe_failed\": " + json::string(net::reasonText(probed.failure).toUtf8());
    return line + "}\n";
}

// Probes what the listing listed and prints the entries the limits keep, in list order.
void probeAndPrint(ListCommand& command, const CommandOptions& options, std::function<void()> done) {
    PrintingImageList& list = command.host->list();
    QList<QByteArray> links;
    for (int i = 1; i <= list.count(); ++i)
        links << list.text(i);
    command.prober = std::make_unique<probe::Prober>(
        command.network->setup().loop(), command.network->setup().refererFor(command.state.refererPage()),
        options.download.parallel);
    command.prober->start(
        links,
        [links, limits = options.download, json = options.json](int index, const probe::ProbeResult& probed) {
            if (!probed.failure.ok())
                printErr(QStringLiteral("varnolux: warning: %1 could not be probed (%2); it is kept\n")
                             .arg(QString::fromUtf8(links[index]), net::reasonText(probed.failure)));
            if (!keeps(limits, probed))
                return;
            const QByteArray line = probedLine(links[index], probed, json);
            std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        },
        std::move(done));
}

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
    // With limits the entries are printed once probed, not as they are found.
    command->host =
        std::make_unique<CliHost>(options.positional.front(), options.probes() ? nullptr : stdout);
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
                         .renderSeconds = options.renderSeconds,
                         .follow = options.follow,
                         .largestOnly = options.largestOnly},
                        [command = command.get(), options, done = std::move(done)](ListingOutcome outcome) {
                            auto end = [done, outcome] {
                                std::fflush(stdout);
                                if (SignalBridge::exitStatus())
                                    done(SignalBridge::exitStatus());
                                else
                                    done(listingExit(outcome));
                            };
                            if (outcome == ListingOutcome::Done && options.probes() &&
                                !SignalBridge::exitStatus()) {
                                probeAndPrint(*command, options, end);
                                return;
                            }
                            end();
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
