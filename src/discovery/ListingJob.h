#pragma once

#include "discovery/DiscoveryState.h"
#include "net/Transfer.h"

#include <QString>

class ListingHost;
namespace net {
class RunSetup;
}

enum class ListingOutcome {
    NoFilter,    // "Select image filter first."
    NoFolder,    // the destination folder is missing
    FetchFailed, // the typed page could not be fetched
    Done,
    Cancelled, // the program is closing
};

// The message for a rendered listing on a machine without Chromium.
QString chromiumMissingText();

// The filter text as the listing job builds it from the check boxes and the custom list.
QString BuildFilterText(bool jpg, bool gif, bool custom, const QString& customText);

// The filter text cut at every "," into the filter's entries, kept exactly as cut. An empty text
// gives no entries at all.
ImageTypeFilter cutFilterText(const QString& text);

// The listing job behind "Start Listing Web Image Files": builds the filter, checks the folder,
// empties the list, fetches and scans the typed page, and reports the end.
class ListingJob {
public:
    struct Options {
        bool checkFolder = true;  // the command line has no destination folder to test
        bool announceDone = true; // the window shows "Done."; the command line stays quiet
        FindMode find = FindMode::Classic;
        // Rendered mode: settling ends at the latest this many seconds after it began.
        double renderSeconds = 30;
    };

    // The page is fetched, in every find mode, by a transfer of the run's set-up.
    ListingJob(ListingHost& host, DiscoveryState& state, const net::RunSetup& setup);

    // The whole click: the filter text from the host's check boxes, then run().
    ListingOutcome run();
    // Everything after the filter text is built.
    ListingOutcome run(const QString& filterText, Options options);
    ListingOutcome run(const QString& filterText) { return run(filterText, Options{}); }

private:
    // The browser mode after the filter and the folder: fetches the one page and lists it. How
    // the page's fetch ended.
    net::Result runBrowser();
    // The rendered mode after the filter and the folder: the page shown by Chromium.
    net::Result runRendered(double renderSeconds);

    ListingHost& m_host;
    DiscoveryState& m_state;
    const net::RunSetup& m_setup;
};
