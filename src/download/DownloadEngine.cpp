#include "download/DownloadEngine.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Ui.h"
#include "download/HostPacer.h"
#include "download/PartFile.h"
#include "net/Transfer.h"

#include <QEventLoop>
#include <QTimer>

#include <cmath>
#include <limits>

namespace {

// Only blanks are trimmed from the address, as the request always did; tabs and the like are
// encoded into the request instead.
QByteArray trimBlanks(const QByteArray& text) {
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text[from] == ' ')
        ++from;
    while (to > from && text[to - 1] == ' ')
        --to;
    return text.sliced(from, to - from);
}

// Inside a numbered step: a failed result becomes the step's failure, in the result's own words.
void reportFailure(const net::Result& result) {
    if (!result.ok())
        throw StepFailure(net::reasonText(result));
}

} // namespace

DownloadEngine::DownloadEngine(net::Transfer& transfer, ProgressDisplay& bar, MessageBoxes& boxes)
    : m_transfer(transfer), m_bar(bar), m_boxes(boxes) {}

net::Request DownloadEngine::requestFor(const QByteArray& address) const {
    net::Request request = net::Request::of(address);
    request.identityEncoding = true;
    // The transfer works out each request's Referer from the page, redirects included.
    request.referer = m_refererPage;
    return request;
}

void DownloadEngine::expect(const QList<QByteArray>& addresses) {
    QList<net::Request> requests;
    requests.reserve(addresses.size());
    for (const QByteArray& address : addresses)
        requests << requestFor(trimBlanks(address));
    m_transfer.expect(requests);
}

QString DownloadEngine::percentText(const QString& address, int percent) {
    return QLatin1StringView("Downloading ") + address + QLatin1StringView("...") + QString::number(percent) +
           QLatin1StringView(" % Downloaded");
}

QString DownloadEngine::bytesText(const QString& address, qint64 received) {
    return QLatin1StringView("Downloading ") + address + QLatin1StringView("...") +
           QString::number(received) + QLatin1StringView(" Bytes Downloaded");
}

int DownloadEngine::percentDone(qint64 received, qint64 expected) {
    if (expected <= 0)
        return 0;
    // nearbyint rounds in the default mode, to nearest with ties to even.
    return int(std::nearbyint((100.0 / double(expected)) * double(received)));
}

qint64 DownloadEngine::expectedLength(const QString& contentLength) {
    const QString value = contentLength.trimmed();
    if (value.isEmpty())
        return -1;
    for (QChar c : value)
        if (c < u'0' || c > u'9')
            return -1;
    bool ok = false;
    const qint64 length = value.toLongLong(&ok);
    return ok ? length : -1;
}

void DownloadEngine::setOptions(const DownloadOptions& options) {
    m_retries = options.retries;
    m_keepExisting = options.onExists == OnExists::Skip;
}

bool DownloadEngine::pause(qint64 ms) {
    if (Cancellation::requested())
        return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, &loop, &QEventLoop::quit);
    timer.start(int(qMin<qint64>(ms, std::numeric_limits<int>::max())));
    if (!Cancellation::requested())
        loop.exec();
    return !Cancellation::requested();
}

DownloadResult DownloadEngine::DownloadFile(QByteArray address, const QString& destinationPath) {
    ErrorTrap trap(m_boxes, trapTags::downloadFile);
    const QString shown = QString::fromUtf8(address);

    trap.step(100, [&] { m_bar.setText(QLatin1StringView("Downloading: ") + shown); });
    // https stays https: it is fetched over TLS, never rewritten to plain http.
    QByteArray requested;
    trap.step(102, [&] { requested = trimBlanks(address); });

    // One part file for every try, so a resumed body continues where the last one broke off.
    PartFile part;
    TryState state;
    DownloadResult result;
    m_requests = 0;
    for (int tries = 1;; ++tries) {
        result = tryOnce(trap, requested, shown, destinationPath, part, state);
        // What the server received: a try that restarted from zero sent two, one that could not
        // start sent none.
        result.tries = m_requests;
        if (result.saved || result.skipped || result.cancelled || !state.retryable || tries > m_retries)
            break;
        qint64 wait = retry::backoffMs(tries);
        if (state.retryAfterMs) {
            if (*state.retryAfterMs > retry::maxRetryAfterSeconds * retry::unitMs()) {
                result.reason += QStringLiteral("; the server asks to wait more than %1 seconds before "
                                                "another try")
                                     .arg(retry::maxRetryAfterSeconds);
                break;
            }
            wait = *state.retryAfterMs;
        }
        if (!pause(wait)) {
            result.cancelled = true;
            break;
        }
    }
    return result;
}

DownloadResult DownloadEngine::tryOnce(ErrorTrap& trap, const QByteArray& requested, const QString& shown,
                                       const QString& destinationPath, PartFile& part, TryState& state) {
    DownloadResult result;
    // Resumed only into the bytes of the very same version, else the body starts again from zero.
    const qint64 resumeFrom = state.resumable() && part.created() ? part.size() : 0;
    const TryState before = state;
    state = {};

    // Ends the call without saving: the temporary file (if any) goes with the last try.
    auto giveUp = [&](const QString& reason) {
        result.saved = false;
        result.reason = reason;
        result.cancelled = result.cancelled || m_transfer.cancelled();
        const net::Result wire = m_transfer.result();
        result.httpStatus = m_transfer.status();
        state.retryable = retry::retryable(wire);
        if (wire.status == net::Status::HttpStatus)
            state.retryAfterMs = retry::retryAfterMs(m_transfer.header(QByteArrayLiteral("Retry-After")),
                                                     QDateTime::currentDateTimeUtc());
        m_transfer.abort();
        trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
        return result;
    };
    if (m_pacer && !pause(m_pacer->reserve(HostPacer::hostOf(requested)))) {
        result.cancelled = true;
        result.reason = net::reasonText({net::Status::Cancelled});
        return result;
    }
    // A link that cannot be requested (no web address, say) is this entry's failure, told with
    // its reason like any other, and no fault of the program.
    bool started = false;
    net::Result startFailure;
    const bool stepped = trap.step(104, [&] {
        net::Request request = requestFor(requested);
        if (resumeFrom > 0) {
            request.headers.append("Range: bytes=" + QByteArray::number(resumeFrom) + '-');
            request.headers.append("If-Range: " +
                                   (before.etag.isEmpty() ? before.lastModified : before.etag));
        }
        started = m_transfer.start(request);
        if (started)
            ++m_requests;
        else
            startFailure = m_transfer.result();
    });
    if (!stepped || !started)
        return giveUp(startFailure.ok() ? QStringLiteral("the request could not be started")
                                        : net::reasonText(startFailure));

    // The wait is event-driven and bounded by the idle time-out; the window stays responsive.
    trap.step(106, [&] { m_transfer.waitForResponse(); });
    // A success whose body then broke off is told by the chunk reads below, with the count.
    if (const net::Result wire = m_transfer.result(); !wire.ok()) {
        const int status = m_transfer.status();
        if (status < 200 || status > 299)
            return giveUp(net::reasonText(wire));
    }

    // -1: no usable "Content-Length"; the whole body is saved, however long it turns out.
    qint64 expected = -1;
    QString header;
    trap.step(110,
              [&] { header = QString::fromLatin1(m_transfer.header(QByteArrayLiteral("Content-Length"))); });
    trap.step(114, [&] { expected = expectedLength(header); });

    // The bytes already in the part file that this answer continues; 0 starts from scratch.
    qint64 offset = 0;
    const QByteArray etag = m_transfer.header(QByteArrayLiteral("ETag"));
    const QByteArray lastModified = m_transfer.header(QByteArrayLiteral("Last-Modified"));
    if (resumeFrom > 0 && m_transfer.status() == 206) {
        const QByteArray range = m_transfer.header(QByteArrayLiteral("Content-Range")).trimmed();
        const QByteArray wanted = "bytes " + QByteArray::number(resumeFrom) + '-' +
                                  QByteArray::number(before.total - 1) + '/' +
                                  QByteArray::number(before.total);
        const bool sameVersion =
            before.etag.isEmpty() ? lastModified == before.lastModified : etag == before.etag;
        if (range != wanted || !sameVersion || expected != before.total - resumeFrom) {
            // Not the rest of the same body: it starts again from zero, at once.
            m_transfer.abort();
            state = {};
            return tryOnce(trap, requested, shown, destinationPath, part, state);
        }
        offset = resumeFrom;
        expected += offset;
    }
    qint64 left = 0;
    qint64 received = 0;
    trap.step(118, [&] { left = expected - offset; });
    trap.step(120, [&] { received = offset; });
    // Whether a broken-off body of this answer can be resumed by the next try.
    const bool takesRanges =
        m_transfer.header(QByteArrayLiteral("Accept-Ranges")).trimmed() == "bytes" || offset > 0;
    auto noteResumePoint = [&] {
        if (takesRanges && expected > 0 && (!etag.isEmpty() || !lastModified.isEmpty())) {
            state.etag = etag;
            state.lastModified = lastModified;
            state.total = expected;
        }
    };

    // The body goes to a fresh file beside the destination and replaces it only when complete. A
    // failed file step is this procedure's report: its result is worded into the trap there.
    net::Result opened;
    if (offset == 0 && !trap.step(124, [&] { reportFailure(opened = part.create(destinationPath)); }))
        return giveUp(opened.ok() ? QStringLiteral("the file could not be created")
                                  : net::reasonText(opened));

    // Set when the body broke off or could not be written, with the words of why.
    bool broken = false;
    QString failure;
    QByteArrayView chunk; // valid until the next read
    QByteArray head;      // the first bytes, to tell what the body is
    auto writeChunk = [&] {
        if (head.size() < sniffLength)
            head += chunk.first(qMin(chunk.size(), sniffLength - head.size()));
        return trap.step(150, [&] {
            const net::Result written = part.write(chunk);
            if (!written.ok()) {
                broken = true;
                failure = net::reasonText(written);
            }
            reportFailure(written);
        });
    };
    if (expected >= 0) {
        // The text changes only with the percent; it is made anew only then.
        int shownPercent = -1;
        QString text;
        while (trap.condition(126, [&] { return left != 0; })) {
            qint64 size = 0;
            trap.step(134, [&] { size = qMin(left, chunkSize); });
            trap.step(136, [&] { chunk = m_transfer.nextChunk(size); });
            trap.step(138, [&] { left -= size; });
            if (chunk.size() < size) {
                // A body shorter than announced is a failed download, not an image.
                const qint64 got = expected - left - size + chunk.size();
                const net::Result wire = m_transfer.result();
                broken = true;
                failure = QStringLiteral("the body ended after %1 of %2 bytes").arg(got).arg(expected);
                if (!wire.ok())
                    failure += QLatin1StringView(" (") + net::reasonText(wire) + u')';
                break;
            }
            trap.step(144, [&] { received = expected - left; });
            int percent = 0;
            trap.step(146, [&] { percent = percentDone(received, expected); });
            trap.step(148, [&] {
                if (percent != shownPercent) {
                    text = percentText(shown, percent);
                    shownPercent = percent;
                }
                m_bar.setText(text);
            });
            if (!writeChunk())
                break;
            if (m_listener)
                m_listener(received, expected);
        }
    } else {
        for (;;) {
            trap.step(136, [&] { chunk = m_transfer.nextChunk(chunkSize); });
            if (chunk.isEmpty())
                break;
            trap.step(144, [&] { received += chunk.size(); });
            trap.step(148, [&] { m_bar.setText(bytesText(shown, received)); });
            if (!writeChunk())
                break;
            if (m_listener)
                m_listener(received, expected);
        }
    }
    result.bytes = received;
    if (broken) {
        noteResumePoint();
        return giveUp(failure);
    }

    // The body is complete only when the transfer ended without a fault.
    m_transfer.waitForEnd();
    if (const net::Result wire = m_transfer.result(); !wire.ok()) {
        noteResumePoint();
        return giveUp(net::reasonText(wire));
    }
    // Without a length nothing tells an empty body from a connection closed before it began:
    // only a length of 0 vouches for an empty file.
    if (expected < 0 && received == 0)
        return giveUp(
            QStringLiteral("no body arrived, and without a length of 0 an empty body cannot be told "
                           "from a broken one"));

    // rename() replaces the destination in one step, and replaces a symbolic link itself
    // instead of writing through it.
    bool existed = false;
    net::Result saved;
    if (!trap.step(152, [&] {
            saved = m_keepExisting ? part.commitKeeping(&existed) : part.commit();
            // A file that appeared meanwhile under a name to be kept is no fault.
            if (!existed)
                reportFailure(saved);
        })) {
        return giveUp(saved.ok() ? QStringLiteral("the file could not be saved") : net::reasonText(saved));
    }
    if (existed) {
        result.skipped = true;
        result.httpStatus = m_transfer.status();
        result.reason = QStringLiteral("the file exists");
        trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
        return result;
    }
    result.httpStatus = m_transfer.status();

    result.saved = true;
    result.kind = sniffBody(head);
    trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
    return result;
}
