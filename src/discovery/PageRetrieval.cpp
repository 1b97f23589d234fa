#include "discovery/PageRetrieval.h"

#include "core/Bytes.h"
#include "core/ErrorTrap.h"
#include "core/Network.h"
#include "discovery/LinkScanner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryFile>

namespace {

bool startsWithHttp(QByteArrayView s) {
    return s.size() >= 4 && bytes::equalsNoCase(s.first(4), "http");
}

QByteArrayView lastDotPiece(QByteArrayView s) {
    return s.sliced(s.lastIndexOf('.') + 1);
}

// The folder for the temporary page file: TEMP when set, as before, else the platform's own.
QString temporaryFolder() {
    const QString temp = qEnvironmentVariable("TEMP");
    return !temp.isEmpty() && QFileInfo(temp).isDir() ? temp : QDir::tempPath();
}

} // namespace

PageRetrieval::PageRetrieval(DiscoveryState& state, LinkScanner& scanner, MessageBoxes& boxes)
    : m_state(state), m_scanner(scanner), m_boxes(boxes) {}

bool PageRetrieval::GetUrls(ImageList& list, const QByteArray& address, qint16 slot, qint32 pass) {
    ErrorTrap trap(m_boxes, trapTags::getUrls);
    QByteArray s;
    QByteArray e;
    bool eligible = false;

    trap.step(100, [&] { s = address; });
    trap.step(102, [&] {
        if (s.startsWith('/'))
            s.remove(0, 1);
    });
    trap.step(104, [&] {
        if (!startsWithHttp(s))
            s = "http://" + s + "/";
    });
    trap.step(106, [&] {
        if (!s.endsWith('/'))
            s += '/';
    });
    if (trap.condition(108, [&] { return pass < 1; }))
        trap.step(110, [&] { eligible = true; });
    else
        trap.step(112, [&] { eligible = false; });
    trap.step(114, [&] { e = lastDotPiece(s).toByteArray(); });
    if (trap.condition(118, [&] { return m_state.ImageFilter.matchesPiece(e); }))
        trap.step(120, [&] { eligible = true; });
    if (trap.condition(124, [&] { return !eligible; }))
        return false;
    if (trap.condition(126, [&] { return IsListed(list, s); }))
        return false;
    trap.step(128, [&] { e = lastDotPiece(s).toByteArray(); });
    if (trap.condition(132, [&] { return m_state.ImageFilter.matchesPiece(e); })) {
        int entry = 0;
        trap.step(134, [&] { entry = list.add(s); });
        trap.step(136, [&] { list.setTicked(entry, true); });
        trap.step(138, [&] { list.scrollTo(entry); });
    }
    trap.step(142, [&] { SetPageAddress(address); });

    // A private file, created exclusively, rather than a fixed name in a shared folder that a
    // second copy or a planted link could interfere with. It is removed on every way out.
    QTemporaryFile page(QDir(temporaryFolder()).filePath(QStringLiteral("HTML%1-XXXXXX.tmp").arg(slot)));
    trap.step(144, [&] {
        if (!page.open())
            throw StepFailure(QStringLiteral("Cannot create a temporary file in %1: %2")
                                  .arg(QDir::toNativeSeparators(temporaryFolder()), page.errorString()));
    });
    // The page is fetched under the scheme it was given: https stays https.
    bool fetched = false;
    QString reason;
    QByteArray body;
    trap.step(148, [&] {
        m_fetchFailure.clear();
        fetched = DownloadToFile(m_state.PageAddress, page, &reason, &body);
    });
    if (trap.condition(150, [&] { return !fetched; })) {
        m_fetchFailure = QStringLiteral("The page %1 could not be fetched: %2.")
                             .arg(QString::fromUtf8(m_state.PageAddress), reason);
        return false;
    }
    trap.step(158, [&] {
        const qint64 size = page.size();
        if (size > 0x7FFFFFFF)
            throw StepFailure(QStringLiteral("Overflow"));
        m_state.PageLength = qint32(size);
    });
    trap.step(162, [&] {
        // The bytes were kept as they arrived; the file is read back only if the two disagree.
        if (body.size() == m_state.PageLength) {
            m_state.PageData = std::move(body);
            return;
        }
        if (!page.seek(0))
            throw StepFailure(page.errorString());
        m_state.PageData = page.read(m_state.PageLength);
        if (m_state.PageData.size() != m_state.PageLength)
            throw StepFailure(QStringLiteral("Input past end of file"));
    });
    trap.step(164, [&] { page.close(); });
    trap.step(166, [&] { m_scanner.CollectData(); });
    trap.step(170, [&] { RemoveFile(page.fileName()); });
    return true;
}

void PageRetrieval::SetPageAddress(const QByteArray& address) {
    QByteArray a = address;
    if (!startsWithHttp(address))
        a = "http://" + address;
    // A name ending in "htm" or "tml" is a file, the rest a folder. The test is case-sensitive.
    const QByteArray tail = address.size() >= 3 ? address.right(3) : QByteArray();
    if (tail != "htm" && tail != "tml" && !a.endsWith('/'))
        a += '/';
    m_state.PageAddress = a;
    const qsizetype slash = a.lastIndexOf('/');
    if (slash >= 0)
        m_state.PageBase = a.left(slash);
}

qint64 maxPageBytes() {
    constexpr qint64 largest = 0x7FFFFFFF;
    bool ok = false;
    const qint64 fromEnv = qEnvironmentVariable("VARNOLUX_MAX_PAGE_BYTES").toLongLong(&ok);
    return ok && fromEnv > 0 && fromEnv < largest ? fromEnv : largest;
}

bool DownloadToFile(const QByteArray& address, QFileDevice& file, QString* reason, QByteArray* body,
                    PageResponse* response) {
    auto fail = [&](const QString& why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (!file.isOpen())
        return fail(QStringLiteral("the temporary file could not be created"));
    QCoreApplication::processEvents();

    const QUrl url = network::requestUrl(address);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https"))
        return fail(QStringLiteral("it is not a valid web address"));

    ActiveReply active(network::manager().get(network::getRequest(url, false)));
    QNetworkReply* reply = active.reply();
    qint64 received = 0;
    const qint64 limit = maxPageBytes();
    QString writeError;
    if (body) {
        body->clear();
        // Room for an announced length, within reason: a lying server gets no more than this.
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [&] {
            bool known = false;
            const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
            if (known && announced > body->capacity())
                body->reserve(qMin<qint64>(announced, qMin<qint64>(limit, 256 << 20)));
        });
    }
    auto drain = [&] {
        while (reply->bytesAvailable() > 0 && writeError.isEmpty()) {
            const QByteArray chunk = reply->read(qMin<qint64>(reply->bytesAvailable(), 1 << 20));
            received += chunk.size();
            if (received > limit)
                writeError =
                    QStringLiteral("the page is larger than %1 bytes, the most a page may hold").arg(limit);
            else if (file.write(chunk) != chunk.size())
                writeError =
                    QStringLiteral("the temporary file could not be written (%1)").arg(file.errorString());
            if (!writeError.isEmpty()) {
                reply->abort();
                break;
            }
            if (body)
                body->append(chunk);
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
    if (!active.waitForFinished())
        return fail(QStringLiteral("the transfer was cancelled"));
    drain();
    if (!writeError.isEmpty())
        return fail(writeError);
    if (const QString why = active.failureReason(); !why.isEmpty())
        return fail(why);
    // A body shorter than announced is a failed fetch, not a page.
    bool known = false;
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (known && reply->rawHeader("Content-Encoding").isEmpty() && received < announced)
        return fail(QStringLiteral("the body ended after %1 of %2 bytes").arg(received).arg(announced));
    if (!file.flush())
        return fail(QStringLiteral("the temporary file could not be written (%1)").arg(file.errorString()));
    if (response) {
        response->finalUrl = reply->url().toEncoded();
        response->contentType = reply->rawHeader("Content-Type");
    }
    return true;
}

void RemoveFile(const QString& path) {
    QCoreApplication::processEvents();
    if (QFile::remove(path) || !QFile::exists(path))
        return;
    // A second, forced attempt for a file that was made read-only.
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner);
    QFile::remove(path);
}
