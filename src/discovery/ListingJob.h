#pragma once

#include "discovery/DiscoveryState.h"
#include "discovery/FollowLinks.h"
#include "discovery/PageFacts.h"
#include "net/Transfer.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

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

// The followed pages that added nothing: how many, and the first few with why.
struct FollowFailures {
    int count = 0;
    QStringList lines;
    static constexpr int shown = 5;
};

// The window's word at the end of a listing: "Done.", and which of the followed pages added
// nothing when some did.
QString doneText(int followed, const FollowFailures& failed);

// The message for a rendered listing on a machine without Chromium.
QString chromiumMissingText();

// The filter text as the listing job builds it from the check boxes and the custom list.
QString BuildFilterText(bool jpg, bool gif, bool custom, const QString& customText);

// The filter text cut at every "," into the filter's entries, kept exactly as cut. An empty text
// gives no entries at all.
ImageTypeFilter cutFilterText(const QString& text);

// The listing job behind "Start Listing Web Image Files": builds the filter, checks the folder,
// empties the list, fetches and scans the typed page, and reports the end. Nothing waits: the
// pages are fetched on the run's loop and the job goes on from each fetch's end.
class ListingJob {
public:
    struct Options {
        bool checkFolder = true;  // the command line has no destination folder to test
        bool announceDone = true; // the window shows "Done."; the command line stays quiet
        FindMode find = FindMode::Classic;
        // Rendered mode: settling ends at the latest this many seconds after it began.
        double renderSeconds = 30;
        // Links followed to pages of their own, whose images are listed after the page's.
        FollowOptions follow;
        // Browser and rendered modes: of a picture in several sizes only the largest is listed.
        bool largestOnly = false;
        // The pages' titles and the images' alt texts are read into the state's Facts (a walk of
        // each page of its own): names are made of them.
        bool readFacts = false;
    };

    // How the job ended; told once, at once when it ends before any fetch, else from the event
    // loop. The job is let go only once that call has returned.
    using Ended = std::function<void(ListingOutcome outcome)>;

    // The page is fetched, in every find mode, on the run set-up's loop.
    ListingJob(ListingHost& host, DiscoveryState& state, const net::RunSetup& setup);
    // Destroyed mid-run, it ends its fetch and tells nothing.
    ~ListingJob();
    ListingJob(const ListingJob&) = delete;
    ListingJob& operator=(const ListingJob&) = delete;

    // The whole click: the filter text from the host's check boxes, then the rest.
    void start(Ended ended);
    // Everything after the filter text is built.
    void start(const QString& filterText, Options options, Ended ended);

private:
    struct Classic;
    struct Browser;
    // The stack of pages, one pass after another, until it is empty.
    void nextPass();
    void passVisited();
    // After a page's visit: false once the job has ended.
    bool passEnds();
    void classicEnded();
    void startBrowser();
    void browserFetched(const net::Result& fetched);
    // Hands what the page listed to the host a slice per turn of the event loop, then ends.
    void commitBrowserListing(const net::Result& fetched);
    void browserEnded(const net::Result& fetched);
    struct Rendered;
    void startRendered();
    void renderedEnded(const net::Result& result);
    void renderedFinished(const net::Result& result);
    void browserFinished(const net::Result& fetched);
    void classicFinished();
    // After the page is listed: its links followed (when asked for), then.
    void follow(const QList<QByteArray>& links, const QByteArray& pageUrl, std::function<void()> then);
    QList<QByteArray> readFollowed(const FollowedPage& page);
    void readFollowedFacts(const FollowedPage& page);
    // Rendered mode: the page shown by a browser of its own, from the bytes fetched.
    void renderFollowed(const FollowedPage& page, LinkFollower::Hooks::ReadDone done);
    void listFollowed(const FollowedPage& page, const QList<QByteArray>& links);
    // The listed page's facts, when they are asked for.
    void keepFacts(const PageFacts& facts);
    void end(ListingOutcome outcome);

    ListingHost& m_host;
    DiscoveryState& m_state;
    const net::RunSetup& m_setup;
    Options m_options;
    Ended m_ended;
    std::unique_ptr<Classic> m_classic;
    std::unique_ptr<Browser> m_browser;
    std::unique_ptr<Rendered> m_rendered;
    std::unique_ptr<LinkFollower> m_follower;
    struct FollowedRender;
    std::unique_ptr<FollowedRender> m_followedRender;
    std::unique_ptr<FollowedRender> m_followedRendered;
    int m_followed = 0;
    FollowFailures m_followFailures;
    // The facts of followed pages read and not yet listed, by target.
    QHash<QByteArray, PageFacts> m_followedFacts;
    // What the job's own deferred steps run in: they go with it.
    QObject m_context;
};
