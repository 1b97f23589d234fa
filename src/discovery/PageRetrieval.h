#pragma once

#include "discovery/DiscoveryState.h"
#include "net/TransferLoop.h"

#include "core/Ui.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class ImageList;
class MessageBoxes;
class LinkScanner;
class PageFetch;
class QFileDevice;
class QTemporaryFile;

// What one page address came to: scanned or not, and how its fetch ended (ok when it was not
// fetched at all). True when the page was fetched and scanned.
struct PageVisit {
    bool scanned = false;
    net::Result fetch;
    explicit operator bool() const { return scanned; }
};

// Handles one page address of a listing run: works out the address to fetch and the base for
// relative links, fetches the page into a private temporary file, loads its bytes and has the
// scanner go through them.
class PageRetrieval {
public:
    using Visited = std::function<void(const PageVisit& visit)>;

    // The page is fetched on the run's transfer loop.
    PageRetrieval(DiscoveryState& state, LinkScanner& scanner, MessageBoxes& boxes, net::Transfers& loop);
    ~PageRetrieval();
    PageRetrieval(const PageRetrieval&) = delete;
    PageRetrieval& operator=(const PageRetrieval&) = delete;

    // For any pass but the first it does nothing unless a filter entry matches the text after the
    // address's last ".". Tells visited how the address ended: at once when it is not fetched,
    // else once its fetch has ended, from the event loop. One address at a time; destroying the
    // retrieval meanwhile ends the fetch, and visited is not told.
    void GetUrls(ImageList& list, const QByteArray& address, qint16 slot, qint32 pass, Visited visited);
    // Sets PageAddress and PageBase from a typed address.
    void SetPageAddress(const QByteArray& address);

private:
    struct Visit;
    void visitFetched(const net::Result& fetched);

    DiscoveryState& m_state;
    LinkScanner& m_scanner;
    MessageBoxes& m_boxes;
    net::Transfers& m_loop;
    std::unique_ptr<Visit> m_visit;
    std::unique_ptr<PageFetch> m_spent;
};

// What the server said of a fetched page besides its bytes: the address it finally came from
// (after redirects, as sent on the wire) and its Content-Type header, empty when it sent none.
struct PageResponse {
    QByteArray finalUrl;
    QByteArray contentType;
};

// What the page is read by while it arrives. started: the final response is a success, its headers
// are in (what the server said) and the body follows; arrived: after each piece, the whole body so
// far (valid until the next piece: the bytes may move as they grow). Neither is called for a
// response that is a failure.
struct PageReader {
    std::function<void(const PageResponse& response)> started;
    std::function<void(QByteArrayView soFar)> arrived;
};

// The end of a page's fetch: a failure when the page could not be fetched completely.
using PageFetched = std::function<void(const net::Result& fetched)>;

// Starts fetching address (followed through redirects) on the loop into the open file, which a thread of
// its own writes while the body arrives (the file is not to be touched until fetched is told); with body,
// the bytes are also kept there, which spares reading the file back; with response, what the server said
// of the page; with reader, the page is read piece by piece as it arrives, while the writer writes. body,
// response and the file must outlive the fetch. fetched is told once, from the event loop, never before
// this returns; destroying the fetch first ends it untold. The page may come compressed and is stored
// decompressed, within maxPageBytes().
std::unique_ptr<PageFetch> DownloadToFile(net::Transfers& loop, const QByteArray& address, QFileDevice& file,
                                          PageFetched fetched, QByteArray* body = nullptr,
                                          PageResponse* response = nullptr,
                                          const PageReader* reader = nullptr);

// A page's fetch under way (see DownloadToFile).
class PageFetch {
public:
    virtual ~PageFetch() = default;
};

// The links of a page read while it arrives, held back until its fetch has succeeded: a page cut
// short or refused lists nothing, as when pages were read only once complete. Counts and answers
// as the list would with the held entries at its end; commit() hands them on in the order they
// came, with every tick and scroll.
class HeldImageList : public ImageList {
public:
    explicit HeldImageList(ImageList& list) : m_list(list) {}

    int count() const override { return m_list.count() + int(m_texts.size()); }
    void clear() override;
    int add(const QByteArray& text) override;
    QByteArray text(int entry) const override;
    bool ticked(int entry) const override;
    void setTicked(int entry, bool ticked) override;
    void scrollTo(int entry) override;
    bool contains(const QByteArray& text) const override {
        return m_held.contains(text) || m_list.contains(text);
    }

    void commit();
    // Hands over what is held for about budgetMs, in the order it came; true once all of it is
    // in the list. A long list goes a slice per turn of the event loop this way; until it is all
    // handed over, nothing else of this list may be called.
    bool commitFor(qint64 budgetMs);
    // Drops what is held.
    void discard();

private:
    struct Step {
        enum Kind { Add, Tick, Untick, Scroll } kind;
        int entry; // counted among the held ones, from 0
    };
    int heldIndex(int entry) const { return entry - m_list.count() - 1; }

    ImageList& m_list;
    std::vector<QByteArray> m_texts;
    std::vector<bool> m_ticks;
    QSet<QByteArray> m_held;
    std::vector<Step> m_steps;
    std::size_t m_stepsDone = 0;
    std::vector<int> m_entries; // where the held entries handed over so far stand in the list
};

// The listing's report of a page that could not be fetched.
QString pageFetchFailure(const QByteArray& address, const net::Result& fetch);

// Deletes a file; reports nothing. Used for the temporary page file.
void RemoveFile(const QString& path);

// Pages above this size are refused: the page length is a signed 32-bit count. The environment
// variable VARNOLUX_MAX_PAGE_BYTES can only lower it (tests do).
qint64 maxPageBytes();
