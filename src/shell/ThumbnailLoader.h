#pragma once

#include "net/RunSetup.h"

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QSize>
#include <QString>

#include <memory>

// What the window knows of one listed image once it has been looked at: its thumbnail and what
// its bytes told. The gallery draws it; the preview may show what is known before its own fetch
// ends.
struct Thumbnail {
    QByteArray link;
    QImage image;        // at most thumbnails::edge pixels either way; null when there is none
    QSize pixelSize;     // the picture's own width and height; invalid when unknown
    qint64 bytes = -1;   // the body's whole length; -1 when unknown
    QString type;        // "PNG", or the server's content type when no reader knows the bytes
    QString message;     // why there is no picture ("HTML page", the failure's reason); empty if shown
    bool failed = false; // the fetch failed: it may be asked for again later
};

namespace thumbnails {

// The longer side of a thumbnail, in pixels.
inline constexpr int edge = 160;
// The decoded thumbnails kept, in bytes.
inline constexpr qint64 cacheBytes = 128LL * 1024 * 1024;
// A picture with more pixels than this is never decoded, only described.
inline constexpr qint64 maxPixels = 64LL * 1000 * 1000;
// A body beyond this is not fetched further.
inline constexpr qint64 maxBodyBytes = 64LL * 1024 * 1024;
// The bodies kept for the preview, in bytes, and the largest one kept.
inline constexpr qint64 bodyCacheBytes = 32LL * 1024 * 1024;
inline constexpr qint64 maxKeptBody = 4LL * 1024 * 1024;
// Transfers on the wire at once, as many as one host takes from a run.
inline constexpr int parallel = net::RunOptions::maxPerHost;

// The thumbnail and facts of a whole body, within the bounds above; link is left empty. Called off
// the window's thread.
Thumbnail decode(const QByteArray& body, const QByteArray& contentType);

} // namespace thumbnails

class ThumbnailWorker;

// Fetches and decodes thumbnails away from the window: the fetches go through a transfer loop of
// its own thread, built from the run options the window's runs use (so its requests carry the same
// headers, cookies and per-host politeness), and the pictures are decoded off the window's thread,
// never more than thumbnails::maxPixels. Only what was last asked for is fetched: a new want()
// drops queued links that are no longer wanted and cancels their transfers.
class ThumbnailLoader : public QObject {
    Q_OBJECT
public:
    explicit ThumbnailLoader(QObject* parent = nullptr);
    ~ThumbnailLoader() override;

    // The options and Referer the next fetches use (the window's current settings). Header lines
    // that carry a credential go only to page's origin (to each link's own with
    // credentialsForEachLink); with no page, to none. Fetches on the way start again when the
    // request options change.
    // followedFrom: links found on a followed page, each with that page, which they name as their
    // Referer instead (when there is a Referer at all), as the download does.
    void setRun(const net::RunOptions& options, const QByteArray& referer, const QByteArray& page = {},
                const QHash<QByteArray, QByteArray>& followedFrom = {});
    // The links wanted now, most wanted first (the visible entries); each that is neither cached
    // nor on its way is fetched. Links not in the list and not yet on the wire are dropped.
    void want(const QList<QByteArray>& links);
    // What is known of a link so far; nullptr when nothing is. Valid until the loader next changes.
    // An entry with a null image, no message and not failed is known by its facts only (the
    // preview told them, or its picture was let go to keep within the bound): want() fetches it.
    const Thumbnail* known(const QByteArray& link) const;
    // The whole body of a link whose thumbnail arrived lately, while it is kept (the last few,
    // within thumbnails::bodyCacheBytes), so the preview need not fetch it again.
    bool body(const QByteArray& link, QByteArray& bytes, QByteArray& contentType) const;
    // What the preview learnt of a link, kept unless something is known of it already.
    void learn(const Thumbnail& facts);
    // Forgets every thumbnail and drops every fetch (a new listing).
    void clear();
    // The bytes of the pictures kept, and their bound (thumbnails::cacheBytes unless set).
    qint64 cacheCost() const;
    void setCacheLimit(qint64 bytes);

signals:
    // Each time a link's thumbnail (or the reason there is none) is known.
    void ready(const Thumbnail& thumbnail);

private:
    // Takes what arrived from the worker and the decoders, a batch at a time.
    void deliver();

    struct State;
    std::unique_ptr<State> m_state;
};
