#include "shell/ThumbnailLoader.h"

#include "core/Cancellation.h"
#include "core/ImageDimensions.h"
#include "download/BodySniffer.h"
#include "net/CurlLoop.h"
#include "probe/ImageHeader.h"
#include "probe/SafeSvg.h"
#include "shell/PictureDecoder.h"
#include "shell/WindowRunSetup.h"

#include <QCache>
#include <QHash>
#include <QMetaObject>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <optional>
#include <vector>

namespace {

// Vector pictures are drawn straight at the thumbnail's size, so their own size costs nothing.
bool isVector(const QByteArray& format) {
    return format == "svg" || format == "svgz";
}

bool tooLarge(const QByteArray& format, QSize size) {
    return !isVector(format) && size.isValid() &&
           qint64(size.width()) * size.height() > thumbnails::maxPixels;
}

const QString tooLargeText = QStringLiteral("too large for a thumbnail");

} // namespace

namespace thumbnails {

Thumbnail decode(const QByteArray& body, const QByteArray& contentType) {
    using Outcome = DecodedPicture::Outcome;
    DecodedPicture picture = decodePicture(body, contentType, {edge, maxPixels, true});
    Thumbnail thumbnail;
    thumbnail.bytes = body.size();
    thumbnail.pixelSize = picture.pixelSize;
    thumbnail.type = picture.type;
    switch (picture.outcome) {
    case Outcome::Shown:
        // The format the window paints fastest.
        thumbnail.image = picture.image.convertToFormat(
            picture.image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        break;
    case Outcome::Empty:
        thumbnail.message = QStringLiteral("empty body");
        break;
    case Outcome::HtmlPage:
        thumbnail.message = QStringLiteral("an HTML page, not an image");
        break;
    case Outcome::Unknown:
        thumbnail.message = QStringLiteral("no picture this program can read");
        break;
    case Outcome::BrokenSvg:
        thumbnail.message = picture.type == QLatin1StringView("SVGZ")
                                ? QStringLiteral("cannot be shown: the compressed SVG is broken or inflates "
                                                 "beyond %1 MiB")
                                      .arg(probe::maxSvgBytes >> 20)
                                : QStringLiteral("cannot be shown: the SVG is not well-formed");
        break;
    case Outcome::TooLarge:
        thumbnail.message = tooLargeText;
        break;
    case Outcome::Unreadable:
        thumbnail.message = QStringLiteral("cannot be shown: %1").arg(picture.readerText);
        break;
    }
    return thumbnail;
}

} // namespace thumbnails

namespace {

// What the worker and the decoders hand the window's thread: taken in batches, so a thousand
// arrivals are a few turns of its event loop, not a thousand.
struct Outbox {
    struct Arrival {
        quint64 generation = 0;
        Thumbnail thumbnail;
        QByteArray body; // the whole body when it is small enough to keep for the preview
        QByteArray contentType;
    };
    QMutex mutex;
    QList<Arrival> arrivals;
    std::function<void()> wake; // set once, before the first arrival

    void put(quint64 generation, Thumbnail thumbnail, QByteArray body = {}, QByteArray contentType = {}) {
        bool first = false;
        {
            QMutexLocker lock(&mutex);
            first = arrivals.isEmpty();
            arrivals.append({generation, std::move(thumbnail), std::move(body), std::move(contentType)});
        }
        if (first)
            wake();
    }
};

struct RequestSetup {
    net::RunOptions options;
    QByteArray referer;
    QByteArray page;
    QHash<QByteArray, QByteArray> followedFrom;
};

bool sameRequests(const RequestSetup& a, const RequestSetup& b) {
    return a.referer == b.referer && a.page == b.page && a.followedFrom == b.followedFrom &&
           sameRequestOptions(a.options, b.options);
}

} // namespace

// Lives on the loader's thread with a transfer loop of its own: fetches the wanted links a few at a
// time, learns each one's format and size from its first bytes (so a picture too large, an HTML
// page or bytes no reader knows are stopped there), and hands each whole body to the decoders.
// A fetch holds its place until its picture is decoded, so at most `parallel` bodies are in memory.
class ThumbnailWorker : public QObject {
    Q_OBJECT
public:
    ThumbnailWorker(std::shared_ptr<Outbox> outbox, QThreadPool& decoders,
                    std::shared_ptr<std::atomic<bool>> closing)
        : m_outbox(std::move(outbox)), m_decoders(decoders), m_closing(std::move(closing)) {}

    void setRun(const RequestSetup& setup) {
        m_setup = setup;
        if (!m_loop)
            return;
        // The fetches on the wire start again with the new options, first in the queue.
        QList<QByteArray> again;
        for (auto it = m_active.begin(); it != m_active.end();) {
            if ((*it)->onWire()) {
                again.append((*it)->link());
                retire(std::move(*it));
                it = m_active.erase(it);
            } else {
                ++it;
            }
        }
        m_queue = again + m_queue;
        m_loop.reset();
        pump();
    }

    void want(quint64 generation, const QList<QByteArray>& links) {
        m_generation = generation;
        const QSet<QByteArray> wanted(links.cbegin(), links.cend());
        QSet<QByteArray> going;
        for (auto it = m_active.begin(); it != m_active.end();) {
            Fetch& fetch = **it;
            const bool keep = fetch.generation() == generation &&
                              (wanted.contains(fetch.link()) || !fetch.onWire() || fetch.nearlyDone());
            if (keep) {
                going.insert(fetch.link());
                ++it;
            } else {
                retire(std::move(*it));
                it = m_active.erase(it);
            }
        }
        m_queue.clear();
        for (const QByteArray& link : links)
            if (!going.contains(link)) {
                m_queue.append(link);
                going.insert(link);
            }
        pump();
    }

    void decoded(quint64 fetchId) {
        for (auto it = m_active.begin(); it != m_active.end(); ++it)
            if ((*it)->id() == fetchId) {
                m_active.erase(it);
                break;
            }
        pump();
    }

    void stop() {
        m_stopping = true;
        m_queue.clear();
        m_active.clear();
        m_retired.clear();
        m_loop.reset();
        QThread::currentThread()->quit();
    }

private:
    // One link's fetch, until its picture is decoded or its facts are told.
    class Fetch : public net::TransferHandler {
    public:
        Fetch(ThumbnailWorker& worker, quint64 id, QByteArray link, quint64 generation)
            : m_worker(worker), m_id(id), m_link(std::move(link)), m_generation(generation) {}
        ~Fetch() override { cancel(); }

        quint64 id() const { return m_id; }
        const QByteArray& link() const { return m_link; }
        quint64 generation() const { return m_generation; }
        bool onWire() const { return m_transfer != 0; }
        // Most of a known length in: finished rather than thrown away when it scrolls out of view.
        bool nearlyDone() const { return m_length > 0 && m_body.size() * 4 >= m_length * 3; }

        void start(net::Transfers& loop, const RequestSetup& setup) {
            m_loop = &loop;
            net::Request request = net::Request::of(m_link);
            request.referer =
                setup.referer.isEmpty() ? QByteArray() : setup.followedFrom.value(m_link, setup.referer);
            request.maxBodyBytes = thumbnails::maxBodyBytes;
            m_pending = true;
            // A request that cannot start reports through finished() before submit returns.
            const net::Transfers::Id transfer = loop.submit(request, *this, net::Purpose::Probe);
            if (m_pending)
                m_transfer = transfer;
        }

        void cancel() {
            if (const net::Transfers::Id transfer = std::exchange(m_transfer, 0); transfer != 0 && m_loop)
                m_loop->cancel(transfer);
            m_pending = false;
        }

    private:
        void head(const net::Response& response) override {
            m_contentType = response.header("Content-Type");
            // A refusal's length is its message's, not the image's.
            if (response.status < 200 || response.status > 299)
                return;
            bool ok = false;
            const qint64 length = response.header("Content-Length").trimmed().toLongLong(&ok);
            if (ok && length >= 0 && !response.chunked) {
                m_length = length;
                m_body.reserve(qMin(length, thumbnails::maxBodyBytes));
            }
        }

        Take body(QByteArrayView piece) override {
            if (!m_pending)
                return Take::Taken;
            m_body.append(piece);
            if (m_header.state == ImageDimensions::State::NeedMore && m_body.size() >= m_nextLook) {
                // Looked at again each time the bytes double: a header far in (a JPEG's Exif)
                // costs no more than reading it once.
                m_nextLook = m_body.size() * 2;
                m_header = probe::readDimensions(m_body, false);
                if (m_header.state == ImageDimensions::State::Unknown ||
                    tooLarge(m_header.format, m_header.size))
                    tellFacts(tooLarge(m_header.format, m_header.size) ? tooLargeText : QString());
            }
            return Take::Taken;
        }

        void finished(const net::Result& result) override {
            m_transfer = 0;
            if (!m_pending)
                return;
            m_pending = false;
            if (result.ok()) {
                m_worker.decode(*this, std::move(m_body), m_contentType);
                return;
            }
            if (result.status == net::Status::TooBig) {
                tellFacts(tooLargeText);
                return;
            }
            // The program is closing: nothing to tell, and nothing to try again later.
            if (result.status == net::Status::Cancelled) {
                m_worker.tell(*this, std::nullopt);
                return;
            }
            Thumbnail thumbnail = facts();
            thumbnail.failed = true;
            thumbnail.message = net::reasonText(result);
            m_worker.tell(*this, std::move(thumbnail));
        }

        // What the head and the header told, for a body that is not decoded.
        Thumbnail facts() const {
            Thumbnail thumbnail;
            thumbnail.link = m_link;
            thumbnail.bytes = m_length >= 0 ? m_length : -1;
            thumbnail.pixelSize = m_header.size;
            thumbnail.type = m_header.format.isEmpty() ? servedType(m_contentType)
                                                       : QString::fromLatin1(m_header.format).toUpper();
            return thumbnail;
        }

        // Ends the fetch with what is known so far; message empty: the bytes are no picture.
        void tellFacts(const QString& message) {
            Thumbnail thumbnail = facts();
            if (!message.isEmpty()) {
                thumbnail.message = message;
            } else if (sniffBody(QByteArrayView(m_body).first(qMin(m_body.size(), sniffLength))) ==
                       BodyKind::Html) {
                thumbnail.type = QStringLiteral("HTML page");
                thumbnail.message = QStringLiteral("an HTML page, not an image");
            } else {
                thumbnail.message = QStringLiteral("no picture this program can read");
            }
            cancel();
            m_body = {};
            m_worker.tell(*this, std::move(thumbnail));
        }

        ThumbnailWorker& m_worker;
        quint64 m_id;
        QByteArray m_link;
        quint64 m_generation;
        net::Transfers* m_loop = nullptr;
        net::Transfers::Id m_transfer = 0;
        bool m_pending = false;
        QByteArray m_contentType;
        qint64 m_length = -1;
        QByteArray m_body;
        ImageDimensions m_header;
        qsizetype m_nextLook = 64;
    };

    net::Transfers& loop() {
        if (!m_loop) {
            net::CurlDefaults defaults = net::requestDefaults(m_setup.options);
            // Never "the first request's origin": that would be an image's host, not the page's.
            defaults.credentialsFor = m_setup.page.isEmpty() ? QByteArray("about:blank") : m_setup.page;
            m_loop = std::make_unique<net::CurlLoop>(defaults);
            m_loop->setHostGapMs(m_setup.options.waitMs);
        }
        return *m_loop;
    }

    void pump() {
        if (m_stopping)
            return;
        while (int(m_active.size()) < thumbnails::parallel && !m_queue.isEmpty()) {
            m_active.push_back(std::make_unique<Fetch>(*this, ++m_lastId, m_queue.takeFirst(), m_generation));
            m_active.back()->start(loop(), m_setup);
        }
    }

    // A fetch told from inside a report of the loop goes at the next turn, not under its feet.
    void retire(std::unique_ptr<Fetch> fetch) {
        fetch->cancel();
        m_retired.push_back(std::move(fetch));
        if (m_retired.size() == 1)
            QTimer::singleShot(0, this, [this] { m_retired.clear(); });
    }

    void tell(Fetch& fetch, std::optional<Thumbnail> thumbnail) {
        if (thumbnail)
            m_outbox->put(fetch.generation(), std::move(*thumbnail));
        for (auto it = m_active.begin(); it != m_active.end(); ++it)
            if (it->get() == &fetch) {
                retire(std::move(*it));
                m_active.erase(it);
                break;
            }
        QTimer::singleShot(0, this, [this] { pump(); });
    }

    void decode(Fetch& fetch, QByteArray body, const QByteArray& contentType) {
        m_decoders.start([outbox = m_outbox, closing = m_closing, worker = this, fetchId = fetch.id(),
                          generation = fetch.generation(), link = fetch.link(), body = std::move(body),
                          contentType] {
            if (!closing->load()) {
                Thumbnail thumbnail = thumbnails::decode(body, contentType);
                thumbnail.link = link;
                const bool keep = body.size() <= thumbnails::maxKeptBody;
                outbox->put(generation, std::move(thumbnail), keep ? body : QByteArray(), contentType);
            }
            QMetaObject::invokeMethod(
                worker, [worker, fetchId] { worker->decoded(fetchId); }, Qt::QueuedConnection);
        });
    }

    std::shared_ptr<Outbox> m_outbox;
    QThreadPool& m_decoders;
    std::shared_ptr<std::atomic<bool>> m_closing;
    RequestSetup m_setup;
    std::unique_ptr<net::CurlLoop> m_loop;
    quint64 m_generation = 0;
    quint64 m_lastId = 0;
    QList<QByteArray> m_queue;
    std::vector<std::unique_ptr<Fetch>> m_active;
    std::vector<std::unique_ptr<Fetch>> m_retired;
    bool m_stopping = false;
};

struct ThumbnailLoader::State {
    QThread thread;
    QThreadPool decoders;
    ThumbnailWorker* worker = nullptr;
    std::shared_ptr<Outbox> outbox = std::make_shared<Outbox>();
    std::shared_ptr<std::atomic<bool>> closing = std::make_shared<std::atomic<bool>>(false);
    std::optional<RequestSetup> setup;

    QHash<QByteArray, Thumbnail> known;
    QHash<QByteArray, quint64> lastUse; // of the entries with a picture
    quint64 uses = 0;
    qint64 cost = 0;
    qint64 limit = thumbnails::cacheBytes;
    quint64 generation = 1;
    QSet<QByteArray> wanted;
    QSet<QByteArray> onTheWay;
    struct Body {
        QByteArray bytes;
        QByteArray contentType;
    };
    // The last bodies, for the preview of the entry the user opens next.
    QCache<QByteArray, Body> bodies{int(thumbnails::bodyCacheBytes / 1024)};

    template <typename F> void toWorker(F call) {
        QMetaObject::invokeMethod(
            worker, [worker = worker, call] { call(*worker); }, Qt::QueuedConnection);
    }

    void forget(const QByteArray& link) {
        if (auto it = known.find(link); it != known.end()) {
            cost -= it->image.sizeInBytes();
            it->image = {};
        }
        lastUse.remove(link);
    }

    // The pictures least recently wanted go first; their facts stay.
    void keepWithinLimit() {
        while (cost > limit && !lastUse.isEmpty()) {
            auto oldest = lastUse.cbegin();
            for (auto it = lastUse.cbegin(); it != lastUse.cend(); ++it)
                if (it.value() < oldest.value())
                    oldest = it;
            forget(oldest.key());
        }
    }
};

ThumbnailLoader::ThumbnailLoader(QObject* parent) : QObject(parent), m_state(std::make_unique<State>()) {
    qRegisterMetaType<Thumbnail>();
    // Made here, on the window's thread, rather than by the first transfer on the loader's.
    Cancellation::instance();
    State& state = *m_state;
    // One core is left to the window and the transfers.
    state.decoders.setMaxThreadCount(qMax(1, QThread::idealThreadCount() - 1));
    state.decoders.setObjectName(QStringLiteral("thumbnail decoders"));
    state.outbox->wake = [this] {
        QMetaObject::invokeMethod(this, &ThumbnailLoader::deliver, Qt::QueuedConnection);
    };
    state.worker = new ThumbnailWorker(state.outbox, state.decoders, state.closing);
    state.worker->moveToThread(&state.thread);
    state.thread.setObjectName(QStringLiteral("thumbnails"));
    state.thread.start();
}

ThumbnailLoader::~ThumbnailLoader() {
    State& state = *m_state;
    state.closing->store(true);
    state.toWorker([](ThumbnailWorker& worker) { worker.stop(); });
    state.thread.wait();
    state.decoders.clear();
    state.decoders.waitForDone();
    delete state.worker;
}

void ThumbnailLoader::setRun(const net::RunOptions& options, const QByteArray& referer,
                             const QByteArray& page, const QHash<QByteArray, QByteArray>& followedFrom) {
    RequestSetup setup{options, referer, page, followedFrom};
    if (m_state->setup && sameRequests(*m_state->setup, setup))
        return;
    m_state->setup = setup;
    m_state->toWorker([setup](ThumbnailWorker& worker) { worker.setRun(setup); });
}

void ThumbnailLoader::want(const QList<QByteArray>& links) {
    State& state = *m_state;
    QList<QByteArray> fetch;
    QSet<QByteArray> wanted;
    for (const QByteArray& link : links) {
        if (wanted.contains(link))
            continue;
        wanted.insert(link);
        const auto found = state.known.constFind(link);
        if (found == state.known.cend() || state.onTheWay.contains(link)) {
            fetch.append(link);
            continue;
        }
        if (!found->image.isNull())
            state.lastUse[link] = ++state.uses;
        // A failure is tried again once it was out of sight; a picture let go, whenever it is back.
        const bool again =
            found->failed ? !state.wanted.contains(link) : found->image.isNull() && found->message.isEmpty();
        if (again)
            fetch.append(link);
    }
    state.wanted = std::move(wanted);
    state.onTheWay = QSet<QByteArray>(fetch.cbegin(), fetch.cend());
    state.toWorker(
        [generation = state.generation, fetch](ThumbnailWorker& worker) { worker.want(generation, fetch); });
}

const Thumbnail* ThumbnailLoader::known(const QByteArray& link) const {
    const auto found = m_state->known.constFind(link);
    return found == m_state->known.cend() ? nullptr : &*found;
}

bool ThumbnailLoader::body(const QByteArray& link, QByteArray& bytes, QByteArray& contentType) const {
    const State::Body* kept = m_state->bodies.object(link);
    if (!kept)
        return false;
    bytes = kept->bytes;
    contentType = kept->contentType;
    return true;
}

void ThumbnailLoader::learn(const Thumbnail& facts) {
    if (facts.link.isEmpty() || m_state->known.contains(facts.link))
        return;
    Thumbnail kept = facts;
    // Facts only: the picture, if any, is the gallery's to fetch at its own size.
    kept.image = {};
    kept.message.clear();
    kept.failed = false;
    m_state->known.insert(kept.link, kept);
}

void ThumbnailLoader::clear() {
    State& state = *m_state;
    ++state.generation;
    state.known.clear();
    state.bodies.clear();
    state.lastUse.clear();
    state.cost = 0;
    state.wanted.clear();
    state.onTheWay.clear();
    state.toWorker([generation = state.generation](ThumbnailWorker& worker) { worker.want(generation, {}); });
}

qint64 ThumbnailLoader::cacheCost() const {
    return m_state->cost;
}

void ThumbnailLoader::setCacheLimit(qint64 bytes) {
    m_state->limit = bytes;
    m_state->keepWithinLimit();
}

void ThumbnailLoader::deliver() {
    State& state = *m_state;
    // A turn of the event loop hands over this many at most, so the window keeps drawing.
    constexpr int batch = 64;
    QList<Outbox::Arrival> taken;
    bool more = false;
    {
        QMutexLocker lock(&state.outbox->mutex);
        const qsizetype count = qMin<qsizetype>(batch, state.outbox->arrivals.size());
        taken = state.outbox->arrivals.first(count);
        state.outbox->arrivals.remove(0, count);
        more = !state.outbox->arrivals.isEmpty();
    }
    if (more)
        QMetaObject::invokeMethod(this, &ThumbnailLoader::deliver, Qt::QueuedConnection);
    for (Outbox::Arrival& arrival : taken) {
        if (arrival.generation != state.generation)
            continue;
        Thumbnail& thumbnail = arrival.thumbnail;
        const QByteArray link = thumbnail.link;
        state.onTheWay.remove(link);
        state.forget(link);
        const qint64 cost = thumbnail.image.sizeInBytes();
        if (!thumbnail.image.isNull() && !arrival.body.isEmpty())
            state.bodies.insert(link, new State::Body{arrival.body, arrival.contentType},
                                int(qMax<qsizetype>(1, arrival.body.size() / 1024)));
        state.known.insert(link, std::move(thumbnail));
        if (cost > 0) {
            state.cost += cost;
            state.lastUse[link] = ++state.uses;
            state.keepWithinLimit();
        }
        const auto stored = state.known.constFind(link);
        emit ready(*stored);
    }
}

#include "ThumbnailLoader.moc"
