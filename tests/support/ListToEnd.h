#pragma once

#include "discovery/ListingJob.h"
#include "discovery/PageRetrieval.h"

#include <QEventLoop>

#include <memory>
#include <optional>

// Starts the listing and lets the event loop turn until it has ended: for tests that look at what
// a whole listing did.
inline ListingOutcome listToEnd(ListingJob& job) {
    std::optional<ListingOutcome> outcome;
    QEventLoop wait;
    job.start([&](ListingOutcome ended) {
        outcome = ended;
        wait.quit();
    });
    if (!outcome)
        wait.exec();
    return *outcome;
}

inline ListingOutcome listToEnd(ListingJob& job, const QString& filterText,
                                ListingJob::Options options = {}) {
    std::optional<ListingOutcome> outcome;
    QEventLoop wait;
    job.start(filterText, options, [&](ListingOutcome ended) {
        outcome = ended;
        wait.quit();
    });
    if (!outcome)
        wait.exec();
    return *outcome;
}

// One address of a listing, visited to its end.
inline PageVisit visitToEnd(PageRetrieval& retrieval, ImageList& list, const QByteArray& address, qint16 slot,
                            qint32 pass) {
    std::optional<PageVisit> visit;
    QEventLoop wait;
    retrieval.GetUrls(list, address, slot, pass, [&](const PageVisit& ended) {
        visit = ended;
        wait.quit();
    });
    if (!visit)
        wait.exec();
    return *visit;
}

// A page fetched into the file to its end.
inline net::Result fetchToEnd(net::Transfers& loop, const QByteArray& address, QFileDevice& file,
                              QByteArray* body = nullptr, PageResponse* response = nullptr) {
    std::optional<net::Result> fetched;
    QEventLoop wait;
    const std::unique_ptr<PageFetch> fetch = DownloadToFile(
        loop, address, file,
        [&](const net::Result& ended) {
            fetched = ended;
            wait.quit();
        },
        body, response);
    if (!fetched)
        wait.exec();
    return *fetched;
}
