#include "discovery/PageRetrieval.h"

#include "core/Bytes.h"
#include "core/ErrorTrap.h"
#include "discovery/LinkScanner.h"
#include "net/CurlTransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
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

PageRetrieval::PageRetrieval(DiscoveryState& state, LinkScanner& scanner, MessageBoxes& boxes,
                             net::TransferFactory* factory)
    : m_state(state), m_scanner(scanner), m_boxes(boxes), m_factory(factory) {}

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
        fetched = DownloadToFile(m_state.PageAddress, page, &reason, &body, nullptr, m_factory);
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
                    PageResponse* response, net::TransferFactory* factory) {
    auto fail = [&](const QString& why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (!file.isOpen())
        return fail(QStringLiteral("the temporary file could not be created"));
    QCoreApplication::processEvents();

    std::unique_ptr<net::TransferFactory> ownFactory;
    if (!factory)
        factory = (ownFactory = std::make_unique<net::CurlTransferFactory>()).get();
    const std::unique_ptr<net::Transfer> transfer = factory->create();
    const qint64 limit = maxPageBytes();
    net::Request request;
    request.link = address;
    request.identityEncoding = false;
    request.maxBodyBytes = limit;
    if (!transfer->start(request))
        return fail(QStringLiteral("it is not a valid web address"));
    transfer->waitForResponse();
    if (body) {
        body->clear();
        // Room for an announced length, within reason: a lying server gets no more than this.
        const qint64 announced = transfer->header("Content-Encoding").isEmpty()
                                     ? QByteArray(transfer->header("Content-Length")).toLongLong()
                                     : 0;
        if (announced > 0)
            body->reserve(qMin<qint64>(announced, qMin<qint64>(limit, 256 << 20)));
    }
    for (;;) {
        const QByteArrayView piece = transfer->nextPiece(1 << 20);
        if (piece.isEmpty())
            break;
        if (file.write(piece.data(), piece.size()) != piece.size()) {
            transfer->abort();
            return fail(
                QStringLiteral("the temporary file could not be written (%1)").arg(file.errorString()));
        }
        if (body)
            body->append(piece);
    }
    transfer->waitForEnd();
    if (const QString why = transfer->failureReason(); !why.isEmpty())
        return fail(why);
    if (!file.flush())
        return fail(QStringLiteral("the temporary file could not be written (%1)").arg(file.errorString()));
    if (response) {
        response->finalUrl = transfer->finalAddress();
        response->contentType = transfer->header("Content-Type");
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
