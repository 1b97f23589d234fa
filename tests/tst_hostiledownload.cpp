// Download runs against servers that misbehave on purpose. Each row serves one hostile answer
// for an entry whose file exists already, followed by a good entry: the run names the failure,
// goes on with the good entry, the old file keeps its bytes, and nothing but the two files is
// left in the folder.
#include "core/Cancellation.h"
#include "download/DownloadRun.h"
#include "net/RunSetup.h"
#include "support/FakeDownloadWindow.h"
#include "support/Files.h"
#include "support/RunToEnd.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

enum class Expect {
    Saved, // the entry is saved with exactly the given bytes
    Fails, // the entry fails with a reason holding the given text; the old file stays
};

const QByteArray oldBytes = "the old picture";
const QByteArray page = "<img src=\"a.jpg\">"; // 17 bytes
// A PNG signature, so the good entry is recognisably an image.
const QByteArray goodBody = QByteArray("\x89PNG\r\n\x1a\n", 8) + generatedBytes(0, 1992);
const QByteArray loginPage =
    "<!DOCTYPE html>\n<html><body><form action=\"/login\">Sign in</form></body></html>\n";
const QString notImage = QStringLiteral(": saved, but its body is an HTML page, not an image");

QByteArray gzip(const QByteArray& bytes) {
    QProcess gz;
    gz.start(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n")});
    gz.write(bytes);
    gz.closeWriteChannel();
    gz.waitForFinished(-1);
    return gz.readAllStandardOutput();
}

} // namespace

Q_DECLARE_METATYPE(Expect)

class TestHostileDownload : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void hostileServer_data();
    void hostileServer();

private:
    TestCertificate m_certificate;
};

void TestHostileDownload::initTestCase() {
    QVERIFY2(m_certificate.isValid(), qPrintable(m_certificate.errorString()));
    // Both are read at the first request.
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_certificate.caBundlePath()));
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "300");
}

void TestHostileDownload::cleanup() {
    Cancellation::reset();
}

void TestHostileDownload::hostileServer_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<Expect>("expect");
    // Saved: the bytes saved.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");  // Fails: part of the reason the run gives
    QTest::addColumn<bool>("notAnImage"); // the final message says the body is no image
    QTest::addColumn<int>("rounds");      // how often the row runs, for answers that race
    const QByteArray none;

    const QString lastChunk = QStringLiteral("the server closed the connection before the last chunk");
    const QString badChunk = QStringLiteral("the server sent an invalid chunk size");
    const QString badLength = QStringLiteral("the server sent an invalid length");
    QTest::newRow("length 75, 5 bytes, close: fails with the count")
        << serve::cutShort(75, 5) << false << Expect::Fails << none
        << QStringLiteral("the body ended after 5 of 75 bytes") << false << 1;
    QTest::newRow("more body than the length: the announced bytes only")
        << serve::rawHeaders("Content-Length: 5\r\n", page) << false << Expect::Saved << page.left(5)
        << QString() << false << 1;
    QTest::newRow("no length, ended by closing: all of it")
        << serve::ok(page).withoutLength() << false << Expect::Saved << page << QString() << false << 1;
    QTest::newRow("no length, closed before any body: refused")
        << serve::ok({}).withoutLength() << false << Expect::Fails << none
        << QStringLiteral("no body arrived") << false << 1;
    QTest::newRow("a length of 0 vouches for an empty file")
        << serve::ok({}) << false << Expect::Saved << QByteArray() << QString() << false << 1;
    // A length that is no number leaves no way to know where the body ends.
    QTest::newRow("length -1: refused") << serve::rawHeaders("Content-Length: -1\r\n", page) << false
                                        << Expect::Fails << none << badLength << false << 1;
    QTest::newRow("length abc: refused") << serve::rawHeaders("Content-Length: abc\r\n", page) << false
                                         << Expect::Fails << none << badLength << false << 1;
    QTest::newRow("length beyond 63 bits: refused")
        << serve::rawHeaders("Content-Length: 9223372036854775808\r\n", page) << false << Expect::Fails
        << none << badLength << false << 1;
    QTest::newRow("length beyond 64 bits, a few kB, close: refused")
        << serve::rawHeaders("Content-Length: 99999999999999999999\r\n", generatedBytes(0, 2600)) << false
        << Expect::Fails << none << badLength << false << 1;
    QTest::newRow("two different lengths: not trusted")
        << serve::rawHeaders("Content-Length: 5\r\nContent-Length: 17\r\n", page) << false << Expect::Fails
        << none << QStringLiteral("two different lengths") << false << 1;
    QTest::newRow("two different lengths in one header: not trusted")
        << serve::rawHeaders("Content-Length: 17, 5\r\n", page) << false << Expect::Fails << none
        << QStringLiteral("two different lengths") << false << 1;
    QTest::newRow("a length beside chunked encoding: the chunks decide")
        << serve::rawHeaders("Content-Length: 3\r\nTransfer-Encoding: chunked\r\n",
                             "11\r\n" + page + "\r\n0\r\n\r\n")
        << false << Expect::Saved << page << QString() << false << 1;
    // The chunk promises 4 GiB, so its close is always early.
    QTest::newRow("chunk size FFFFFFF4, then close: refused")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "FFFFFFF4\r\n" + page) << false
        << Expect::Fails << none << lastChunk << false << 1;
    QTest::newRow("chunk size FFFFFFFFFFFFFFF4 first: refused")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "FFFFFFFFFFFFFFF4\r\n" + page) << false
        << Expect::Fails << none << badChunk << false << 1;
    QTest::newRow("chunk size FFFFFFFFFFFFFFF4 after a good chunk: refused")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "5\r\n<img \r\nFFFFFFFFFFFFFFF4\r\n" + page)
        << false << Expect::Fails << none << badChunk << false << 1;
    QTest::newRow("chunk size zz after a good chunk: refused")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "5\r\n<img \r\nzz\r\n" + page) << false
        << Expect::Fails << none << badChunk << false << 1;
    // The close may meet the reader at any point of the body, so the row runs many times.
    QTest::newRow("chunked, closed inside a chunk: refused, every one of 50 times")
        << serve::generated(3000).chunked({1000}).sendingOnly(1500).thenEnd(serve::End::Close) << false
        << Expect::Fails << none << lastChunk << false << 50;
    QTest::newRow("chunked, closed before the first chunk: refused")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", {}) << false << Expect::Fails << none
        << lastChunk << false << 1;
    QTest::newRow("gzip sent anyway: saved as sent")
        << serve::ok(gzip(goodBody), "image/png").withHeader("Content-Encoding", "gzip") << false
        << Expect::Saved << gzip(goodBody) << QString() << false << 1;
    QTest::newRow("redirect loop") << serve::redirect("/bad.png") << false << Expect::Fails << none
                                   << QStringLiteral("redirected more than 20 times") << false << 1;
    QTest::newRow("a chain of 60 redirects") << serve::redirect("/hop/1") << false << Expect::Fails << none
                                             << QStringLiteral("redirected more than 20 times") << false << 1;
    QTest::newRow("redirect from https to http")
        << serve::redirect("http://127.0.0.1:1/bad.png") << true << Expect::Fails << none
        << QStringLiteral("redirected from https to plain http (http://127.0.0.1:1/bad.png)") << false << 1;
    QTest::newRow("redirect to file://")
        << serve::redirect("file:///etc/passwd") << false << Expect::Fails << none
        << QStringLiteral("redirected to file:///etc/passwd, which is not a web address") << false << 1;
    QTest::newRow("redirect to ftp://")
        << serve::redirect("ftp://127.0.0.1/bad.png") << false << Expect::Fails << none
        << QStringLiteral("which is not a web address") << false << 1;
    QTest::newRow("accepts and stays silent") << serve::stall() << false << Expect::Fails << none
                                              << QStringLiteral("no data arrived") << false << 1;
    QTest::newRow("headers, then a stall") << serve::headersThenStall(1000) << false << Expect::Fails << none
                                           << QStringLiteral("no data arrived") << false << 1;
    QTest::newRow("a byte at a time, too slowly")
        << serve::trickle(page + QByteArray(58, ' '), 150) << false << Expect::Fails << none
        << QStringLiteral("less than 1024 bytes") << false << 1;
    QTest::newRow("connection reset mid-body") << serve::reset(100000, 5000) << false << Expect::Fails << none
                                               << QStringLiteral("of 100000 bytes") << false << 1;
    QTest::newRow("404 with a body") << serve::response(404, "Not Found", {}, loginPage) << false
                                     << Expect::Fails << none << QStringLiteral("HTTP 404 Not Found") << false
                                     << 1;
    QTest::newRow("500 with a body") << serve::response(500, "Oops", {}, loginPage) << false << Expect::Fails
                                     << none << QStringLiteral("HTTP 500 Oops") << false << 1;
    QTest::newRow("a 200 login page: saved, and named as no image")
        << serve::ok(loginPage) << false << Expect::Saved << loginPage << QString() << true << 1;
    QTest::newRow("a 200 login page over https: saved, and named as no image")
        << serve::ok(loginPage) << true << Expect::Saved << loginPage << QString() << true << 1;
}

void TestHostileDownload::hostileServer() {
    QFETCH(Behaviour, behaviour);
    QFETCH(bool, secure);
    QFETCH(Expect, expect);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    QFETCH(bool, notAnImage);
    QFETCH(int, rounds);

    TestServer server;
    if (secure)
        server.useTls(m_certificate);
    server.route("/bad.png", behaviour);
    server.route("/good.png", serve::ok(goodBody, "image/png"));
    server.redirectChain("/hop/", 60, serve::ok(goodBody, "image/png"));

    for (int round = 0; round < rounds; ++round) {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("bad.png")), oldBytes));
        FakeDownloadWindow window;
        window.folder = dir.path() + u'/';
        const QByteArray bad = server.address("/bad.png");
        window.add(bad);
        window.add(server.address("/good.png"));

        const net::NetworkRun network;
        DownloadRun run(window, network.setup());
        const DownloadOutcome outcome = runToEnd(run);
        const QByteArray saved = readAll(dir.filePath(QStringLiteral("bad.png")));

        // A server's fault is no fault of the program: the final message, and no error report.
        QCOMPARE(window.boxes.messages.size(), 1);
        const QString message = window.boxes.messages.first().text;
        if (expect == Expect::Fails) {
            QVERIFY2(outcome == DownloadOutcome::SomeFailed,
                     qPrintable(QStringLiteral("round %1").arg(round)));
            QCOMPARE(run.failures().size(), 1);
            const QString prefix =
                QStringLiteral("1 of 2 downloads failed:\r") + QString::fromUtf8(bad) + u':';
            QVERIFY2(message.startsWith(prefix), qPrintable(message));
            QVERIFY2(message.contains(reason), qPrintable(message));
            QCOMPARE(saved, oldBytes);
        } else {
            QVERIFY2(outcome == DownloadOutcome::Done, qPrintable(message));
            QCOMPARE(saved, bytes);
            // The heading counts what it lists: a page saved under an image's link is one.
            QVERIFY2(message.startsWith(
                         notAnImage ? QStringLiteral("1 of 2 downloads saved an HTML page, not an image:\r")
                                    : QStringLiteral("Done.")),
                     qPrintable(message));
        }
        QCOMPARE(message.contains(QString::fromUtf8(bad) + notImage), notAnImage);
        QCOMPARE(readAll(dir.filePath(QStringLiteral("good.png"))), goodBody);
        QCOMPARE(folderEntries(dir.path()),
                 (QStringList{QStringLiteral("bad.png"), QStringLiteral("good.png")}));
        QCOMPARE(window.mouse.pointer(), Pointer::Default);
        QVERIFY(!window.busy);
    }
}

QTEST_GUILESS_MAIN(TestHostileDownload)
#include "tst_hostiledownload.moc"
