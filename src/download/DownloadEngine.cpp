#include "download/DownloadEngine.h"

#include "core/ErrorTrap.h"
#include "core/Ui.h"
#include "download/PartFile.h"
#include "net/Transfer.h"
#include "net/WebPolicy.h"

#include <cmath>

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

} // namespace

DownloadEngine::DownloadEngine(net::Transfer& transfer, ProgressDisplay& bar, MessageBoxes& boxes)
    : m_transfer(transfer), m_bar(bar), m_boxes(boxes) {}

net::Request DownloadEngine::requestFor(const QByteArray& address) const {
    net::Request request = net::Request::of(address);
    request.identityEncoding = true;
    request.referer = net::refererFor(m_refererPage, net::wireAddress(address));
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

DownloadResult DownloadEngine::DownloadFile(QByteArray address, const QString& destinationPath) {
    ErrorTrap trap(m_boxes, trapTags::downloadFile);
    DownloadResult result;
    const QString shown = QString::fromUtf8(address);

    // Ends the call without saving: the temporary file (if any) goes with its destructor.
    auto giveUp = [&](const QString& reason) {
        result.saved = false;
        result.reason = reason;
        result.cancelled = result.cancelled || m_transfer.cancelled();
        m_transfer.abort();
        trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
        return result;
    };

    trap.step(100, [&] { m_bar.setText(QLatin1StringView("Downloading: ") + shown); });
    // https stays https: it is fetched over TLS, never rewritten to plain http.
    QByteArray requested;
    trap.step(102, [&] { requested = trimBlanks(address); });
    QString startFailure;
    if (!trap.step(104, [&] {
            if (!m_transfer.start(requestFor(requested))) {
                startFailure = m_transfer.failureReason();
                throw StepFailure(startFailure);
            }
        }))
        return giveUp(startFailure.isEmpty() ? QStringLiteral("the request could not be started")
                                             : startFailure);

    // The wait is event-driven and bounded by the idle time-out; the window stays responsive.
    trap.step(106, [&] { m_transfer.waitForResponse(); });
    // A success whose body then broke off is told by the chunk reads below, with the count.
    if (const QString why = m_transfer.failureReason(); !why.isEmpty()) {
        const int status = m_transfer.status();
        if (status < 200 || status > 299)
            return giveUp(why);
    }

    // -1: no usable "Content-Length"; the whole body is saved, however long it turns out.
    qint64 expected = -1;
    QString header;
    trap.step(110,
              [&] { header = QString::fromLatin1(m_transfer.header(QByteArrayLiteral("Content-Length"))); });
    trap.step(114, [&] { expected = expectedLength(header); });
    qint64 left = 0;
    qint64 received = 0;
    trap.step(118, [&] { left = expected; });
    trap.step(120, [&] { received = 0; });

    // The body goes to a fresh file beside the destination and replaces it only when complete.
    PartFile part;
    QString openFailure;
    if (!trap.step(124, [&] {
            if (!part.create(destinationPath, &openFailure))
                throw StepFailure(openFailure);
        }))
        return giveUp(openFailure.isEmpty() ? QStringLiteral("the file could not be created") : openFailure);

    QString failure;
    QByteArrayView chunk; // valid until the next read
    QByteArray head;      // the first bytes, to tell what the body is
    auto writeChunk = [&] {
        if (head.size() < sniffLength)
            head += chunk.first(qMin(chunk.size(), sniffLength - head.size()));
        return trap.step(150, [&] {
            if (!part.write(chunk, &failure))
                throw StepFailure(failure);
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
                const QString why = m_transfer.failureReason();
                failure = QStringLiteral("the body ended after %1 of %2 bytes").arg(got).arg(expected);
                if (!why.isEmpty())
                    failure += QLatin1StringView(" (") + why + u')';
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
    if (!failure.isEmpty())
        return giveUp(failure);

    // The body is complete only when the transfer ended without a fault.
    m_transfer.waitForEnd();
    if (const QString why = m_transfer.failureReason(); !why.isEmpty())
        return giveUp(why);
    // Without a length nothing tells an empty body from a connection closed before it began:
    // only a length of 0 vouches for an empty file.
    if (expected < 0 && received == 0)
        return giveUp(
            QStringLiteral("no body arrived, and without a length of 0 an empty body cannot be told "
                           "from a broken one"));

    // rename() replaces the destination in one step, and replaces a symbolic link itself
    // instead of writing through it.
    if (!trap.step(152, [&] {
            if (!part.commit(&failure))
                throw StepFailure(failure);
        }))
        return giveUp(failure.isEmpty() ? QStringLiteral("the file could not be saved") : failure);

    result.saved = true;
    result.kind = sniffBody(head);
    trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
    return result;
}
