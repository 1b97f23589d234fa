#pragma once

#include "core/LinkFacts.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>

#include <optional>
#include <vector>

// How the page's image links are found: the classic byte scan, the page read as a browser reads
// it with scripting off (every image a browser would show or a link would fetch), or the page
// shown by a browser with scripts on, scrolled and settled (what it builds and fetches too).
enum class FindMode { Classic, Browser, Rendered };

// The filter's check boxes, as the job asks its host about them.
enum class FilterBox { Jpg, Gif, Custom };

// The image types a listing run accepts, cut from the filter text. Entries are kept exactly as
// cut (spaces, case, empty pieces); their upper-case forms are kept beside them for the test.
class ImageTypeFilter {
public:
    ImageTypeFilter() = default;
    explicit ImageTypeFilter(QList<QByteArray> entries);

    const QList<QByteArray>& entries() const { return m_entries; }
    qsizetype size() const { return m_entries.size(); }
    // The filter test: the text after the link's last "." (the whole link without one), turned to
    // upper case, equals at least one entry turned to upper case.
    bool passes(QByteArrayView link) const;
    // Same test for a piece already cut from a link.
    bool matchesPiece(QByteArrayView piece) const;

private:
    QList<QByteArray> m_entries;
    QSet<QByteArray> m_upper;
    qsizetype m_longest = -1;
};

// The listing run's stack of page addresses. Keys are unique regardless of letter case; an item
// added without a key takes none.
class PendingPageStack {
public:
    int count() const { return int(m_items.size()); }
    void add(const QByteArray& item);
    // Adds item under key; false (and nothing changes) when the key is already present.
    bool addKeyed(const QByteArray& item, const QByteArray& key);
    const QByteArray& last() const;
    void removeLast();
    bool containsKey(const QByteArray& key) const;

private:
    struct Item {
        QByteArray value;
        std::optional<QByteArray> foldedKey;
    };
    std::vector<Item> m_items;
    QSet<QByteArray> m_keys;
};

// What discovery knows while it works: the filter, the stack of pages still to visit, and the
// page fetched last. One object, owned by whoever runs the listing; the page fields keep the last
// page's values until the next fetch replaces them.
struct DiscoveryState {
    ImageTypeFilter ImageFilter;
    std::optional<PendingPageStack> PendingPages;
    QByteArray PageAddress;
    QByteArray PageBase;
    // Where the page finally came from, after redirects, as sent on the wire: what image
    // requests name as their Referer. Empty until a fetch succeeds.
    QByteArray PageFinalAddress;
    // The fetched page's Content-Type header, empty when it sent none.
    QByteArray PageContentType;
    // The links found on followed pages, each with the final address of its page: what their
    // requests name as Referer, as the browser showing that page would.
    QHash<QByteArray, QByteArray> FollowedFrom;
    // The pages' titles and the images' alt texts, when the listing was asked to read them.
    LinkFacts Facts;
    // A rendered listing's browser cookies at its end, as a Netscape cookie file's lines, for
    // the downloads of the same run; empty otherwise.
    QByteArray BrowserCookies;
    // The page's raw bytes; position p (counted from 1) is PageData[p - 1].
    QByteArray PageData;
    qint32 PageLength = 0;

    // The page images are requested from: the one fetched, or the typed one before any fetch.
    const QByteArray& refererPage() const {
        return PageFinalAddress.isEmpty() ? PageAddress : PageFinalAddress;
    }
};
