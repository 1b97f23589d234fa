#include "shell/PreviewLoader.h"

#include "core/Cancellation.h"
#include "net/CurlLoop.h"
#include "shell/PictureDecoder.h"
#include "shell/WindowRunSetup.h"

#include <QLocale>
#include <QMetaObject>

QString PreviewResult::summary() const {
    QStringList parts;
    if (!type.isEmpty())
        parts << type;
    if (pixelSize.isValid())
        parts << QStringLiteral("%1 x %2 pixels").arg(pixelSize.width()).arg(pixelSize.height());
    parts << QStringLiteral("%1 bytes").arg(QLocale(QLocale::English).toString(bytes));
    return parts.join(QStringLiteral(", "));
}

namespace preview {

PreviewResult decode(const QByteArray& body, const QByteArray& contentType) {
    using Outcome = DecodedPicture::Outcome;
    DecodedPicture picture = decodePicture(body, contentType, {fitSize, maxPixels, false});
    PreviewResult result;
    result.bytes = body.size();
    result.pixelSize = picture.pixelSize;
    result.type = picture.type;
    switch (picture.outcome) {
    case Outcome::Shown:
        result.image = std::move(picture.image);
        break;
    case Outcome::HtmlPage:
        result.message = QStringLiteral("no preview: the body is an HTML page, not an image");
        break;
    case Outcome::Empty:
    case Outcome::Unknown:
        result.message = QStringLiteral("no preview");
        break;
    case Outcome::BrokenSvg:
        result.message = QStringLiteral("cannot be shown: the SVG is broken");
        break;
    case Outcome::TooLarge:
        result.message = QStringLiteral("too large to preview");
        break;
    case Outcome::Unreadable:
        result.message = QStringLiteral("cannot be shown: %1").arg(picture.readerText);
        break;
    }
    return result;
}

} // namespace preview

namespace {

net::CurlDefaults plainDefaults() {
    net::CurlDefaults defaults;
    defaults.credentialsFor = "about:blank";
    return defaults;
}

} // namespace

// Lives on the loader's thread, with a transfer loop of its own: requests arrive as queued calls,
// the body as the loop's reports, and the picture is decoded here, away from the window. A new
// request drops the fetch in progress; nothing waits.
class PreviewWorker : public QObject, private net::TransferHandler {
    Q_OBJECT
public:
    explicit PreviewWorker(std::shared_ptr<std::atomic<quint64>> wanted) : m_wanted(std::move(wanted)) {}

    struct Job {
        quint64 ticket = 0;
        QByteArray link;
        QByteArray referer;
    };

    void setRun(const net::CurlDefaults& defaults, qint64 waitMs) {
        const bool again = m_active;
        abortCurrent();
        m_defaults = defaults;
        m_waitMs = waitMs;
        m_loop.reset();
        if (again)
            fetch(m_job);
    }

    void fetch(const Job& job) {
        abortCurrent();
        if (m_stopping || !wanted(job.ticket))
            return;
        if (!m_loop) {
            m_loop = std::make_unique<net::CurlLoop>(m_defaults);
            m_loop->setHostGapMs(m_waitMs);
        }
        m_job = job;
        m_body.clear();
        m_contentType.clear();
        net::Request request = net::Request::of(job.link);
        request.referer = job.referer;
        request.maxBodyBytes = preview::maxBodyBytes;
        m_active = true;
        // A request that cannot start reports through finished() before submit returns.
        const net::Transfers::Id id = m_loop->submit(request, *this, net::Purpose::Probe);
        if (m_active)
            m_id = id;
    }
    void decodeGiven(quint64 ticket, const QByteArray& link, const QByteArray& body,
                     const QByteArray& contentType) {
        abortCurrent();
        if (!wanted(ticket))
            return;
        PreviewResult result = preview::decode(body, contentType);
        result.link = link;
        result.complete = true;
        emit done(ticket, result);
    }
    void abortCurrent() {
        if (m_active && m_loop)
            m_loop->cancel(m_id);
        m_active = false;
        m_id = 0;
    }
    void stop() {
        m_stopping = true;
        abortCurrent();
        m_loop.reset();
        QThread::currentThread()->quit();
    }

signals:
    void done(quint64 ticket, const PreviewResult& result);

private:
    bool wanted(quint64 ticket) const { return m_wanted->load() == ticket && !m_stopping; }

    void head(const net::Response& response) override { m_contentType = response.header("Content-Type"); }
    Take body(QByteArrayView piece) override {
        // A preview nobody waits for any more is dropped at once.
        if (!wanted(m_job.ticket)) {
            abortCurrent();
            return Take::Taken;
        }
        m_body.append(piece);
        return Take::Taken;
    }
    void finished(const net::Result& fetched) override {
        m_active = false;
        m_id = 0;
        if (!wanted(m_job.ticket))
            return;
        PreviewResult result;
        if (!fetched.ok()) {
            result.link = m_job.link;
            result.bytes = m_body.size();
            result.message = net::reasonText(fetched);
        } else {
            result = preview::decode(m_body, m_contentType);
            result.link = m_job.link;
            result.complete = true;
        }
        m_body.clear();
        emit done(m_job.ticket, result);
    }

    std::shared_ptr<std::atomic<quint64>> m_wanted;
    std::unique_ptr<net::CurlLoop> m_loop;
    // Until told the run's options: plain requests, and credentials to no host.
    net::CurlDefaults m_defaults = plainDefaults();
    qint64 m_waitMs = 0;
    Job m_job;
    net::Transfers::Id m_id = 0;
    bool m_active = false;
    QByteArray m_body;
    QByteArray m_contentType;
    bool m_stopping = false;
};

PreviewLoader::PreviewLoader(QObject* parent)
    : QObject(parent), m_wanted(std::make_shared<std::atomic<quint64>>(0)), m_cache(preview::cacheBytes) {
    qRegisterMetaType<PreviewResult>();
    // Made here, on the window's thread, rather than by the first transfer on the preview's.
    Cancellation::instance();
    m_worker = new PreviewWorker(m_wanted);
    m_worker->moveToThread(&m_thread);
    connect(m_worker, &PreviewWorker::done, this, &PreviewLoader::arrived, Qt::QueuedConnection);
    m_thread.setObjectName(QStringLiteral("preview"));
    m_thread.start();
}

PreviewLoader::~PreviewLoader() {
    m_wanted->store(0);
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->stop(); }, Qt::QueuedConnection);
    m_thread.wait();
    delete m_worker;
}

void PreviewLoader::request(const QByteArray& link, const QByteArray& referer) {
    const quint64 ticket = ++m_next;
    m_wanted->store(ticket);
    if (const PreviewResult* hit = m_cache.object(link)) {
        const PreviewResult copy = *hit;
        QMetaObject::invokeMethod(
            this, [this, ticket, copy] { arrived(ticket, copy); }, Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            m_worker, [worker = m_worker] { worker->abortCurrent(); }, Qt::QueuedConnection);
        return;
    }
    const PreviewWorker::Job job{ticket, link, referer};
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, job] { worker->fetch(job); }, Qt::QueuedConnection);
}

void PreviewLoader::setRun(const net::RunOptions& options, const QByteArray& page) {
    if (m_run && sameRequestOptions(m_run->first, options) && m_run->second == page)
        return;
    m_run.emplace(options, page);
    net::CurlDefaults defaults = net::requestDefaults(options);
    // Never "the first request's origin": that would be an image's host, not the page's.
    defaults.credentialsFor = page.isEmpty() ? QByteArray("about:blank") : page;
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, defaults, waitMs = options.waitMs] { worker->setRun(defaults, waitMs); },
        Qt::QueuedConnection);
}

void PreviewLoader::show(const QByteArray& link, const QByteArray& body, const QByteArray& contentType) {
    const quint64 ticket = ++m_next;
    m_wanted->store(ticket);
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, ticket, link, body, contentType] {
            worker->decodeGiven(ticket, link, body, contentType);
        },
        Qt::QueuedConnection);
}

void PreviewLoader::cancel() {
    m_wanted->store(++m_next);
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->abortCurrent(); }, Qt::QueuedConnection);
}

void PreviewLoader::arrived(quint64 ticket, const PreviewResult& result) {
    if (result.complete && !m_cache.contains(result.link))
        m_cache.insert(result.link, new PreviewResult(result),
                       qMax<qint64>(1024, result.image.sizeInBytes()));
    if (ticket == m_wanted->load())
        emit ready(result);
}

#include "PreviewLoader.moc"
