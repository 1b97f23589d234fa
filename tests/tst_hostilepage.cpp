// Page fetches against servers that misbehave on purpose: every row either lists the page's
// images or fails with a message naming the page, and never hangs, crashes or leaves a file.
#include "core/MemoryImageList.h"
#include "discovery/ListingHost.h"
#include "discovery/ListingJob.h"
#include "discovery/PageRetrieval.h"
#include "net/CurlLoop.h"
#include "net/RunSetup.h"
#include "support/FakeListingWindow.h"
#include "support/ListToEnd.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

namespace {

using FakeWindow = FakeListingWindow;

const QByteArray page = R"(<img src="a.jpg">)";

QByteArray gzip(const QByteArray& bytes) {
    QProcess gz;
    gz.start(QStringLiteral("gzip"), {QStringLiteral("-c")});
    gz.write(bytes);
    gz.closeWriteChannel();
    gz.waitForFinished(-1);
    return gz.readAllStandardOutput();
}

} // namespace

class TestHostilePage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void hostileServer_data();
    void hostileServer();
    void pageFileHoldsTheBytes_data();
    void pageFileHoldsTheBytes();

private:
    QTemporaryDir m_temp;
    TestCertificate m_certificate;
};

void TestHostilePage::initTestCase() {
    QVERIFY(m_temp.isValid());
    QVERIFY2(m_certificate.isValid(), qPrintable(m_certificate.errorString()));
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_certificate.caBundlePath()));
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "300");
    qputenv("VARNOLUX_MAX_PAGE_BYTES", "3000000");
    qputenv("TEMP", QFile::encodeName(m_temp.path()));
}

void TestHostilePage::hostileServer_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<bool>("secure");
    // Empty: the fetch must fail. Otherwise the page bytes the scan must have seen.
    QTest::addColumn<QByteArray>("seen");
    // When it fails: part of the reason the message gives.
    QTest::addColumn<QString>("reason");
    const QByteArray none;
    const QByteArray body75 = page + QByteArray(75 - page.size(), ' ');
    const QString ok;
    const QString cut = QStringLiteral("before its answer was complete");
    const QString lastChunk = QStringLiteral("before the last chunk");
    const QString badChunk = QStringLiteral("invalid chunk size");
    const QString badLength = QStringLiteral("invalid length");

    QTest::newRow("length 75, 5 bytes, close") << serve::cutShort(75, 5) << false << none << cut;
    QTest::newRow("more body than the length")
        << serve::rawHeaders("Content-Length: 5\r\n", page) << false << page.left(5) << ok;
    QTest::newRow("no length, ended by closing") << serve::ok(page).withoutLength() << false << page << ok;
    // A length that is no number leaves no way to know where the body ends.
    QTest::newRow("length -1") << serve::rawHeaders("Content-Length: -1\r\n", page) << false << none
                               << badLength;
    QTest::newRow("length abc") << serve::rawHeaders("Content-Length: abc\r\n", page) << false << none
                                << badLength;
    QTest::newRow("length beyond 63 bits")
        << serve::rawHeaders("Content-Length: 9223372036854775808\r\n", page) << false << none << badLength;
    QTest::newRow("length beyond 64 bits")
        << serve::rawHeaders("Content-Length: 99999999999999999999\r\n", page) << false << none << badLength;
    QTest::newRow("two different lengths")
        << serve::rawHeaders("Content-Length: 5\r\nContent-Length: 17\r\n", page) << false << none
        << QStringLiteral("two different lengths");
    QTest::newRow("length beside chunked encoding")
        << serve::rawHeaders("Content-Length: 3\r\nTransfer-Encoding: chunked\r\n",
                             "11\r\n" + page + "\r\n0\r\n\r\n")
        << false << page << ok;
    QTest::newRow("chunk size FFFFFFF4, then close")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "FFFFFFF4\r\n" + page) << false << none
        << lastChunk;
    QTest::newRow("chunk size FFFFFFFFFFFFFFF4")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "FFFFFFFFFFFFFFF4\r\n" + page) << false << none
        << badChunk;
    QTest::newRow("chunk size zz after a good chunk")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "5\r\n<img \r\nzz\r\n" + page) << false << none
        << badChunk;
    QTest::newRow("chunked, closed inside a chunk")
        << serve::generated(3000).chunked({1000}).sendingOnly(1500).thenEnd(serve::End::Close) << false
        << none << lastChunk;
    QTest::newRow("gzip page is read")
        << serve::ok(gzip(page)).withHeader("Content-Encoding", "gzip") << false << page << ok;
    QTest::newRow("gzip of 60 MiB hits the page cap")
        << serve::ok(gzip(QByteArray(60 << 20, '\0'))).withHeader("Content-Encoding", "gzip") << false << none
        << QStringLiteral("larger than 3000000 bytes");
    QTest::newRow("gzip within gzip is stopped as a bomb")
        << serve::ok(gzip(gzip(QByteArray(64 << 20, '\0')))).withHeader("Content-Encoding", "gzip, gzip")
        << false << none << QStringLiteral("expands to more than");
    QTest::newRow("body that never ends hits the page cap")
        << serve::generated(1LL << 40) << false << none << QStringLiteral("larger than 3000000 bytes");
    QTest::newRow("redirect loop") << serve::redirect("/page/") << false << none
                                   << QStringLiteral("redirected more than 20 times");
    QTest::newRow("redirect to file") << serve::redirect("file:///etc/passwd") << false << none
                                      << QStringLiteral("file:///etc/passwd, which is not a web address");
    QTest::newRow("redirect to ftp") << serve::redirect("ftp://127.0.0.1/x/") << false << none
                                     << QStringLiteral("not a web address");
    QTest::newRow("redirect from https to http")
        << serve::redirect("http://127.0.0.1:1/") << true << none << QStringLiteral("to plain http");
    QTest::newRow("silent server") << serve::stall() << false << none << QStringLiteral("no data arrived");
    QTest::newRow("headers then stall")
        << serve::headersThenStall(1000) << false << none << QStringLiteral("no data arrived");
    QTest::newRow("a byte at a time, too slowly")
        << serve::trickle(body75, 150) << false << none << QStringLiteral("less than 1024 bytes");
    QTest::newRow("connection reset mid-body") << serve::reset(100000, 5000) << false << none << cut;
    QTest::newRow("404 with a body") << serve::response(404, "Not Found", {}, page) << false << none
                                     << QStringLiteral("HTTP 404 Not Found");
    QTest::newRow("500 with a body") << serve::response(500, "Oops", {}, page) << false << none
                                     << QStringLiteral("HTTP 500 Oops");
    QTest::newRow("a login page is still a page") << serve::ok(page) << true << page << ok;
}

void TestHostilePage::hostileServer() {
    QFETCH(Behaviour, behaviour);
    QFETCH(bool, secure);
    QFETCH(QByteArray, seen);
    QFETCH(QString, reason);
    TestServer server;
    if (secure)
        server.useTls(m_certificate);
    server.route("/page/", behaviour);
    server.redirectChain("/chain/", 60, serve::ok(page));

    FakeWindow window;
    window.address = QString::fromLatin1(server.address("/page/"));
    DiscoveryState state;
    const net::NetworkRun network;
    ListingJob job(window, state, network.setup());
    const ListingOutcome outcome = listToEnd(job);
    if (seen.isEmpty()) {
        QCOMPARE(outcome, ListingOutcome::FetchFailed);
        QCOMPARE(window.list.count(), 0);
        QCOMPARE(window.boxes.messages.size(), 1);
        const QString message = window.boxes.texts().first();
        QVERIFY2(message.contains(window.address), qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
    } else {
        QCOMPARE(outcome, ListingOutcome::Done);
        QCOMPARE(state.PageData, seen);
    }
    QCOMPARE(window.mouse.pointer(), Pointer::Default);
    QVERIFY2(QDir(m_temp.path()).isEmpty(), "no temporary page file is left behind");
}

void TestHostilePage::pageFileHoldsTheBytes_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<bool>("keep"); // the caller asks for the bytes in memory too
    // Several pieces of the transfer's size, so the file is written while more arrive.
    const qint64 size = 2'500'000;
    const Behaviour plain = serve::generated(size, "text/html");

    QTest::newRow("announced length: room reserved once") << plain << true;
    QTest::newRow("announced length, bytes not kept by the caller") << plain << false;
    QTest::newRow("chunked, no length: the copy grows as it comes") << plain.chunked({70'000}) << true;
    QTest::newRow("no length, ends with the connection") << plain.withoutLength() << true;
    QTest::newRow("a length larger than the body: cut short fails")
        << plain.withDeclaredLength(size + 10).thenEnd(Behaviour::End::Close) << true;
    Behaviour packed = serve::ok(gzip(generatedBytes(0, size))).withHeader("Content-Encoding", "gzip");
    QTest::newRow("gzip: the page is stored unpacked") << packed << true;
}

void TestHostilePage::pageFileHoldsTheBytes() {
    QFETCH(Behaviour, behaviour);
    QFETCH(bool, keep);
    const qint64 size = 2'500'000;
    const bool lies = behaviour.declaredLength && *behaviour.declaredLength > size;
    TestServer server;
    server.route("/p.html", behaviour);
    QTemporaryFile file(m_temp.filePath(QStringLiteral("page-XXXXXX")));
    QVERIFY(file.open());
    QByteArray body;
    PageResponse response;
    net::CurlLoop network;
    const net::Result fetched =
        fetchToEnd(network, server.address("/p.html"), file, keep ? &body : nullptr, &response);
    const QString reason = net::reasonText(fetched);
    if (lies) {
        QVERIFY(!fetched.ok());
        QVERIFY2(!reason.isEmpty(), "a failure names its reason");
        return;
    }
    QVERIFY2(fetched.ok(), qPrintable(reason));
    QCOMPARE(response.finalUrl, server.address("/p.html"));
    const QByteArray expected = generatedBytes(0, size);
    if (keep)
        QVERIFY2(body == expected, "the bytes in memory are the page's");
    QVERIFY(file.seek(0));
    QVERIFY2(file.readAll() == expected, "the file holds the page's bytes, in order");
}

QTEST_GUILESS_MAIN(TestHostilePage)
#include "tst_hostilepage.moc"
