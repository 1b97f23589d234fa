#pragma once

#include "download/DownloadRun.h"

#include <QEventLoop>

#include <optional>

// Starts the run and lets the event loop turn until it has ended: for tests that look at what a
// whole run did.
inline DownloadOutcome runToEnd(DownloadRun& run, DownloadRun::Options options = {}) {
    std::optional<DownloadOutcome> outcome;
    QEventLoop wait;
    run.start(options, [&](DownloadOutcome ended) {
        outcome = ended;
        wait.quit();
    });
    if (!outcome)
        wait.exec();
    return *outcome;
}

inline DownloadOutcome runToEnd(DownloadRun&& run, DownloadRun::Options options = {}) {
    return runToEnd(run, options);
}
