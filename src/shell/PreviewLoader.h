#pragma once

#include "net/RunSetup.h"

#include <QByteArray>
#include <QCache>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <optional>
#include <utility>

// What the preview shows for one link: the picture (scaled down to at most fitSize), or a message
// that says why there is none, with what is known of the body.
struct PreviewResult {
    QByteArray link;
    QImage image;          // null when there is nothing to show
    QSize pixelSize;       // the picture's own size
    QString type;          // "PNG", or the server's content type when no reader knows the bytes
    qint64 bytes = 0;      // body bytes received
    QString message;       // empty when the image is shown
    bool complete = false; // the whole body arrived, so the result may be cached

    // "PNG, 640 x 480 pixels, 12,345 bytes" and the like.
    QString summary() const;
};

namespace preview {

// At most this many pixels are decoded; a larger picture is "too large to preview".
inline constexpr qint64 maxPixels = 64LL * 1000 * 1000;
// A body beyond this is not fetched further.
inline constexpr qint64 maxBodyBytes = 64LL * 1024 * 1024;
// The largest picture kept, in either direction; the window scales it to fit.
inline constexpr int fitSize = 1024;
// The session cache of previews, in bytes of decoded pictures.
inline constexpr qint64 cacheBytes = 64LL * 1024 * 1024;

// Decodes a fetched body: with the image readers Qt has (WebP, TIFF and SVG where their plug-ins
// are installed), within maxPixels, never from disk.
PreviewResult decode(const QByteArray& body, const QByteArray& contentType);

} // namespace preview

class PreviewWorker;

// Fetches and decodes previews on a thread of its own, one at a time, through the transfer
// engine, so neither a slow server nor a large picture holds up the window. A new request or
// cancel() drops the one in progress; its result never arrives.
class PreviewLoader : public QObject {
    Q_OBJECT
public:
    explicit PreviewLoader(QObject* parent = nullptr);
    ~PreviewLoader() override;

    // Asks for the preview of link, sending referer (unless empty). A cached result arrives at
    // the next turn of the event loop.
    void request(const QByteArray& link, const QByteArray& referer);
    // Shows link from a body fetched already (the thumbnails'), decoded on the loader's thread.
    void show(const QByteArray& link, const QByteArray& body, const QByteArray& contentType);
    // The request options the window's runs carry (user agent, header lines, cookie file, the
    // wait per host); header lines with a credential go only to page's origin, or with no page to
    // none. A fetch on its way starts again when they change.
    void setRun(const net::RunOptions& options, const QByteArray& page);
    void cancel();
    bool cached(const QByteArray& link) const { return m_cache.contains(link); }
    qint64 cacheCost() const { return m_cache.totalCost(); }

signals:
    void ready(const PreviewResult& result);

private:
    void arrived(quint64 ticket, const PreviewResult& result);

    QThread m_thread;
    PreviewWorker* m_worker = nullptr;
    // The ticket of the request whose result is wanted; shared with the worker so it can give up.
    std::shared_ptr<std::atomic<quint64>> m_wanted;
    quint64 m_next = 0;
    std::optional<std::pair<net::RunOptions, QByteArray>> m_run;
    QCache<QByteArray, PreviewResult> m_cache;
};
