#pragma once

#include "discovery/BrowserListing.h"
#include "net/Transfer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ImageTypeFilter;
namespace net {
class RunSetup;
}

// Which links of the listed page are followed to pages of their own, one level deep: none (the
// listing as it always was), the links that hold an image (a gallery's thumbnails), or every link.
enum class FollowMode { None, Thumbnails, Links };

// What a listing follows besides its page.
struct FollowOptions {
    FollowMode mode = FollowMode::None;
    // Hosts followed besides the page's own, as a URL serialises them (lower case, IDNA, IPv6 in
    // brackets); anyHost: every host.
    QList<QByteArray> hosts;
    bool anyHost = false;
    // The first this many targets are asked for, readable or not.
    int max = 200;

    static constexpr int defaultMax = 200;
    static constexpr int largestMax = 10000;
    // A followed page is read up to this many bytes; a longer one adds nothing.
    static constexpr qint64 maxPageBytes = 16 << 20;
};

// The hosts of a --follow-hosts list, comma-separated names or IP addresses ("any" for every
// host), as followHosts compares them; nullopt, with why, for a malformed list (an empty list or
// entry, or an entry with a scheme, port, path or space).
std::optional<QList<QByteArray>> parseFollowHosts(const QString& text, QString* why = nullptr);

// The links to follow on a page, found by the browser's reading of it (its encoding, its first
// base), in link order: for Thumbnails each a element's href that holds an image-context element,
// for Links every a and area href; resolved as a browser resolves them, http(s) only, without
// their fragments, and without those the filter lists themselves. Duplicates stay.
QList<QByteArray> followLinksOfPage(const QByteArray& page, const QByteArray& pageUrl,
                                    const QByteArray& contentType, FollowMode mode,
                                    const ImageTypeFilter& filter);
// The same over the tree a browser built (rendered listing).
QList<QByteArray> followLinksOfElements(const QList<BrowserListing::RenderedElement>& elements,
                                        FollowMode mode, const ImageTypeFilter& filter);

// The pages to ask for: each link once, never the page itself (pageUrl), only on the page's own
// host (name or address; scheme and port do not count) or one the options allow, the first
// options.max of them in link order.
QList<QByteArray> followTargets(const QList<QByteArray>& links, const QByteArray& pageUrl,
                                const FollowOptions& options);

// Whether a followed page may be on (or redirect to) the host of url.
bool followHostAllowed(const QByteArray& url, const QByteArray& pageHost, const FollowOptions& options);

// The host name of an http(s) URL as compared for following; empty when it does not parse.
QByteArray followHostOf(const QByteArray& url);

// A followed page as it came: its final address and Content-Type, its body.
struct FollowedPage {
    QByteArray target; // as linked
    QByteArray finalUrl;
    QByteArray contentType;
    QByteArray body;
};

// Fetches the targets of a listing on the run's loop and reads each: at most options.parallel at
// once (the loop keeps the per-host limits), each request naming the referring page as Referer
// by the run's policy, only HTML (text/html, application/xhtml+xml) of at most 16 MiB read, a
// redirect to a host not allowed refused. Each page is read as it arrives (read() gives the links
// it lists); what the pages list is handed on in the order of the targets. Nothing waits.
class LinkFollower : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // The links a fetched page lists, in its order.
        std::function<QList<QByteArray>(const FollowedPage& page)> read;
        // Instead of read: a reading that takes a while (a browser shows the page), one page at a
        // time; done tells what it lists, or why the page adds nothing.
        using ReadDone = std::function<void(const net::Result& result, const QList<QByteArray>& links)>;
        std::function<void(const FollowedPage& page, ReadDone done)> readLater;
        // What a target lists, in target order (empty for one that added nothing).
        std::function<void(const FollowedPage& page, const QList<QByteArray>& links)> listed;
        // A target that added nothing, with why.
        std::function<void(const QByteArray& target, const net::Result& why)> failed;
        // Pages done of all.
        std::function<void(int done, int total)> progress;
        // Every target is done with, or the run was cancelled (then with Cancelled).
        std::function<void(const net::Result& result)> ended;
    };

    LinkFollower(const net::RunSetup& setup, const FollowOptions& options, Hooks hooks);
    ~LinkFollower() override;

    // referringPage: the page's final address (the Referer, and whose host is followed).
    void start(const QList<QByteArray>& targets, const QByteArray& referringPage);

private:
    class Fetch;
    void next();
    void fetched(std::size_t index, const net::Result& result, const FollowedPage& page);
    // The target is done with: what it lists, or why it lists nothing.
    void targetDone(std::size_t index, const net::Result& result, const QList<QByteArray>& links);
    void readNext();
    void handOn();

    const net::RunSetup& m_setup;
    FollowOptions m_options;
    Hooks m_hooks;
    QByteArray m_referer;
    QByteArray m_pageHost;
    QList<QByteArray> m_targets;
    std::vector<std::unique_ptr<Fetch>> m_fetches;
    // Per target once done: what it lists, or why it listed nothing.
    std::vector<std::optional<QList<QByteArray>>> m_links;
    std::vector<net::Result> m_results;
    // Per target once read: where it came from (its body is not kept).
    std::vector<FollowedPage> m_pages;
    // Pages fetched and waiting for readLater, and whether it is reading one now.
    std::vector<std::pair<std::size_t, FollowedPage>> m_toRead;
    bool m_readingLater = false;
    std::size_t m_started = 0;
    std::size_t m_handedOn = 0;
    int m_inFlight = 0;
    int m_done = 0;
    bool m_ended = false;
};
