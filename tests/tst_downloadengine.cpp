// The download engine against a loopback server that answers well, lies, stalls or breaks off:
// the chunk reads and bar texts, what is saved, and that a failure saves and leaves nothing.

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "download/BodySniffer.h"
#include "download/DownloadEngine.h"
#include "net/CurlTransfer.h"
#include "support/Files.h"
#include "support/RecordingUi.h"
#include "support/ScriptedTransfer.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(Behaviour)
Q_DECLARE_METATYPE(BodyKind)

namespace {

// A real transfer with connections of its own.
struct RealTransfer {
    net::CurlTransferFactory factory;
    std::unique_ptr<net::Transfer> transfer = factory.create();
    operator net::Transfer&() { return *transfer; }
};

// The real transfer, with every chunk size the engine asks for written down.
class CountingTransfer : public net::Transfer {
public:
    bool start(const net::Request& request) override { return m_real->start(request); }
    void waitForResponse() override { m_real->waitForResponse(); }
    QByteArray header(const QByteArray& name) const override { return m_real->header(name); }
    QByteArrayView nextChunk(qint64 size) override {
        reads << size;
        return m_real->nextChunk(size);
    }
    QByteArrayView nextPiece(qint64 size) override { return m_real->nextPiece(size); }
    void waitForEnd() override { m_real->waitForEnd(); }
    void abort() override { m_real->abort(); }
    net::Result result() const override { return m_real->result(); }
    int status() const override { return m_real->status(); }
    QByteArray finalAddress() const override { return m_real->finalAddress(); }

    QList<qint64> reads;

private:
    net::CurlTransferFactory m_factory;
    std::unique_ptr<net::Transfer> m_real = m_factory.create();
};

QString percentText(const QByteArray& address, int percent) {
    return QStringLiteral("Downloading %1...%2 % Downloaded").arg(QString::fromUtf8(address)).arg(percent);
}

QString bytesText(const QByteArray& address, qint64 bytes) {
    return QStringLiteral("Downloading %1...%2 Bytes Downloaded").arg(QString::fromUtf8(address)).arg(bytes);
}

} // namespace

class DownloadEngineTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void saves_data();
    void saves();
    void scriptedTransfers_data();
    void scriptedTransfers();
    void failsAndKeepsWhatWasThere_data();
    void failsAndKeepsWhatWasThere();
    void followsARedirect_data();
    void followsARedirect();
    void fetchesHttpsOverTls();
    void asksForTheIdentityEncoding();
    void blanksAroundTheAddressAreNotRequested();
    void replacesAPlantedLinkInsteadOfWritingThroughIt();
    void reportsAnUnopenableDestinationOnce();
    void cancellingMidBodyLeavesNothingBehind();
    void percentRoundsHalfToEven_data();
    void percentRoundsHalfToEven();
    void tellsAnHtmlPageFromAnImage_data();
    void tellsAnHtmlPageFromAnImage();

private:
    std::unique_ptr<TestCertificate> m_certificate;
};

void DownloadEngineTest::initTestCase() {
    m_certificate = std::make_unique<TestCertificate>();
    QVERIFY2(m_certificate->isValid(), qPrintable(m_certificate->errorString()));
    // Both are read at the first request.
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_certificate->caBundlePath()));
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "300");
}

void DownloadEngineTest::cleanup() {
    Cancellation::reset();
}

void DownloadEngineTest::saves_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QList<qint64>>("reads");
    // The number in each chunk's text: a percent, or bytes when the length is unknown.
    QTest::addColumn<QList<qint64>>("shown");
    QTest::addColumn<bool>("percent");

    const QByteArray b3000 = generatedBytes(0, 3000);
    QTest::newRow("3000 bytes: reads of 1024, 1024, 952 show 34, 68, 100")
        << serve::generated(3000) << b3000 << QList<qint64>{1024, 1024, 952} << QList<qint64>{34, 68, 100}
        << true;
    QTest::newRow("exactly 1024 bytes: one read") << serve::generated(1024) << generatedBytes(0, 1024)
                                                  << QList<qint64>{1024} << QList<qint64>{100} << true;
    QTest::newRow("1025 bytes: reads of 1024 and 1")
        << serve::generated(1025) << generatedBytes(0, 1025) << QList<qint64>{1024, 1}
        << QList<qint64>{100, 100} << true;
    QTest::newRow("length 0: an empty file, no chunk texts")
        << serve::ok("") << QByteArray() << QList<qint64>{} << QList<qint64>{} << true;
    QTest::newRow("no length, ended by closing: the whole body, bytes shown")
        << serve::generated(3000).withoutLength() << b3000 << QList<qint64>{1024, 1024, 1024, 1024}
        << QList<qint64>{1024, 2048, 3000} << false;
    QTest::newRow("chunked transfer: the whole body, bytes shown")
        << serve::generated(3000).chunked({700}) << b3000 << QList<qint64>{1024, 1024, 1024, 1024}
        << QList<qint64>{1024, 2048, 3000} << false;
    QTest::newRow("an error page is not looked at when the status is 200")
        << serve::ok("<html>Sorry</html>") << QByteArray("<html>Sorry</html>") << QList<qint64>{18}
        << QList<qint64>{100} << true;
}

void DownloadEngineTest::saves() {
    QFETCH(Behaviour, behaviour);
    QFETCH(QByteArray, body);
    QFETCH(QList<qint64>, reads);
    QFETCH(QList<qint64>, shown);
    QFETCH(bool, percent);

    TestServer server;
    server.route("/pic.jpg", behaviour);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pic.jpg"));
    // A longer file of the same name ends up holding exactly the new bytes.
    QVERIFY(writeFile(path, QByteArray(10000, 'x')));

    RecordingProgress bar;
    RecordingMessages boxes;
    CountingTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    const QByteArray address = server.address("/pic.jpg");
    const DownloadResult result = engine.DownloadFile(address, path);

    QVERIFY2(result.saved, qPrintable(result.reason));
    QCOMPARE(result.bytes, qint64(body.size()));
    QCOMPARE(readAll(path), body);
    QCOMPARE(transfer.reads, reads);
    QStringList texts{QStringLiteral("Downloading: ") + QString::fromUtf8(address)};
    for (qint64 n : shown)
        texts << (percent ? percentText(address, int(n)) : bytesText(address, n));
    texts << QStringLiteral("Progress Bar");
    QCOMPARE(bar.texts, texts);
    QCOMPARE(boxes.texts(), QStringList());
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("pic.jpg")});
}

Q_DECLARE_METATYPE(ScriptedTransfer::Script)

void DownloadEngineTest::scriptedTransfers_data() {
    using Script = ScriptedTransfer::Script;
    using net::Status;
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QString>("reason"); // the whole reason when nothing is saved
    QTest::addColumn<QList<qint64>>("reads");
    QTest::addColumn<bool>("cancelled");
    const QByteArray b3000 = generatedBytes(0, 3000);
    const QList<std::pair<QByteArray, QByteArray>> length3000{{"Content-Length", "3000"}};

    QTest::newRow("length 3000, all of it: three reads, saved")
        << Script{200, length3000, b3000, {}, false, false} << true << QString()
        << QList<qint64>{1024, 1024, 952} << false;
    QTest::newRow("length 3000, cut after 2000: the count and the transfer's reason")
        << Script{200, length3000, b3000.left(2000), {Status::CutShort}, false, false} << false
        << QStringLiteral("the body ended after 2000 of 3000 bytes (the server closed the connection before "
                          "its answer was complete)")
        << QList<qint64>{1024, 1024} << false;
    QTest::newRow("no length, a chunked body cut short: refused whatever arrived")
        << Script{200, {}, b3000.left(1500), {Status::ChunkCut}, false, false} << false
        << QStringLiteral("the server closed the connection before the last chunk")
        << QList<qint64>{1024, 1024, 1024} << false;
    QTest::newRow("no length, a bad chunk size after the first: refused")
        << Script{200, {}, b3000.left(5), {Status::InvalidChunk}, false, false} << false
        << QStringLiteral("the server sent an invalid chunk size") << QList<qint64>{1024, 1024} << false;
    QTest::newRow("an error status: no body read, no file made")
        << Script{404, {}, {}, {Status::HttpStatus, QStringLiteral("Not Found"), 404}, true, false} << false
        << QStringLiteral("the server answered HTTP 404 Not Found") << QList<qint64>{} << false;
    QTest::newRow("two lengths: refused before the body")
        << Script{0, {}, {}, {Status::TwoLengths}, true, false} << false
        << QStringLiteral("the server sent two different lengths") << QList<qint64>{} << false;
    QTest::newRow("no length and no body: an empty body is not vouched for")
        << Script{200, {}, {}, {}, false, false} << false
        << QStringLiteral("no body arrived, and without a length of 0 an empty body cannot be told from a "
                          "broken one")
        << QList<qint64>{1024} << false;
    QTest::newRow("length 0 and no body: an empty file")
        << Script{200, {{"Content-Length", "0"}}, {}, {}, false, false} << true << QString()
        << QList<qint64>{} << false;
    QTest::newRow("cancelled mid-body: nothing saved, and said so")
        << Script{200, length3000, b3000.left(1024), {Status::Cancelled}, false, false} << false
        << QStringLiteral("the body ended after 1024 of 3000 bytes (the transfer was cancelled)")
        << QList<qint64>{1024, 1024} << true;
    QTest::newRow("not a web address: refused at the start")
        << Script{0, {}, {}, {Status::NotWebAddress, QStringLiteral("mailto:x")}, false, true} << false
        << QStringLiteral("mailto:x is not a web address") << QList<qint64>{} << false;
}

void DownloadEngineTest::scriptedTransfers() {
    QFETCH(ScriptedTransfer::Script, script);
    QFETCH(bool, saved);
    QFETCH(QString, reason);
    QFETCH(QList<qint64>, reads);
    QFETCH(bool, cancelled);
    const QByteArray body = script.body;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pic.jpg"));
    QVERIFY(writeFile(path, "the old picture"));

    ScriptedTransfer transfer(script);
    RecordingProgress bar;
    RecordingMessages boxes;
    DownloadEngine engine(transfer, bar, boxes);
    engine.setRefererPage("http://a.test/gallery/");
    const DownloadResult result = engine.DownloadFile("  http://a.test/pic.jpg ", path);

    QCOMPARE(result.saved, saved);
    QCOMPARE(result.reason, reason);
    QCOMPARE(result.cancelled, cancelled);
    QCOMPARE(transfer.reads, reads);
    QCOMPARE(readAll(path), saved ? body : QByteArray("the old picture"));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("pic.jpg")});
    QCOMPARE(bar.text(), QStringLiteral("Progress Bar"));
    // A request that cannot start fails like any other download: in the result, never as an
    // error report of the program.
    QCOMPARE(boxes.texts(), QStringList());
    // The request: blanks trimmed, an image asked for as stored, the page as Referer.
    QCOMPARE(transfer.requests.size(), 1);
    QCOMPARE(transfer.requests.first().link, QByteArray("http://a.test/pic.jpg"));
    QVERIFY(transfer.requests.first().identityEncoding);
    QCOMPARE(transfer.requests.first().referer, QByteArray("http://a.test/gallery/"));
    QCOMPARE(transfer.aborted, !saved);
}

void DownloadEngineTest::failsAndKeepsWhatWasThere_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QString>("reason");

    QTest::newRow("404 with a body") << serve::response(404, "Not Found", {}, "<html>gone</html>")
                                     << QStringLiteral("HTTP 404");
    QTest::newRow("500 with a body") << serve::response(500, "Internal Server Error", {}, "oops")
                                     << QStringLiteral("HTTP 500");
    QTest::newRow("body shorter than its length")
        << serve::cutShort(3000, 2000) << QStringLiteral("ended after 2000 of 3000 bytes");
    QTest::newRow("connection reset mid-body") << serve::reset(3000, 1500) << QStringLiteral("of 3000 bytes");
    QTest::newRow("two lengths, the larger last: not trusted")
        << serve::rawHeaders("Content-Length: 1000\r\nContent-Length: 3000\r\n", generatedBytes(0, 3000))
        << QStringLiteral("two different lengths");
    QTest::newRow("two lengths, the smaller last: not trusted")
        << serve::rawHeaders("Content-Length: 3000\r\nContent-Length: 1000\r\n", generatedBytes(0, 3000))
        << QStringLiteral("two different lengths");
    QTest::newRow("length beyond 32 bits is taken as it is")
        << serve::cutShort(5'000'000'000, 3000) << QStringLiteral("ended after 3000 of 5000000000 bytes");
    QTest::newRow("length not a number: refused")
        << serve::rawHeaders("Content-Length: many\r\n", generatedBytes(0, 3000))
        << QStringLiteral("the server sent an invalid length");
    QTest::newRow("no answer at all: idle time-out") << serve::stall() << QStringLiteral("no data arrived");
    QTest::newRow("head, then silence: idle time-out")
        << serve::headersThenStall(3000) << QStringLiteral("no data arrived");
    QTest::newRow("redirect to itself") << serve::redirect("/pic.jpg") << QString();
}

void DownloadEngineTest::failsAndKeepsWhatWasThere() {
    QFETCH(Behaviour, behaviour);
    QFETCH(QString, reason);

    TestServer server;
    server.route("/pic.jpg", behaviour);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pic.jpg"));
    QVERIFY(writeFile(path, "the old picture"));

    RecordingProgress bar;
    RecordingMessages boxes;
    RealTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    const DownloadResult result = engine.DownloadFile(server.address("/pic.jpg"), path);

    QVERIFY(!result.saved);
    QVERIFY(!result.cancelled);
    QVERIFY(!result.reason.isEmpty());
    QVERIFY2(result.reason.contains(reason), qPrintable(result.reason));
    QCOMPARE(readAll(path), QByteArray("the old picture"));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("pic.jpg")});
    // A server's failure is no fault of the program: no error report, only the result.
    QCOMPARE(boxes.texts(), QStringList());
    QCOMPARE(bar.text(), QStringLiteral("Progress Bar"));
}

void DownloadEngineTest::followsARedirect_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("hops");
    for (int status : {301, 302, 303, 307, 308})
        QTest::addRow("%d, one hop", status) << status << 1;
    QTest::newRow("302, three hops") << 302 << 3;
}

void DownloadEngineTest::followsARedirect() {
    QFETCH(int, status);
    QFETCH(int, hops);

    TestServer server;
    // Redirects carry a length of their own; the image's length is what counts.
    const QByteArray first = server.redirectChain("/old", hops, serve::generated(2000), status);
    QTemporaryDir dir;
    RecordingProgress bar;
    RecordingMessages boxes;
    RealTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    const QByteArray address = server.address(first);
    const DownloadResult result = engine.DownloadFile(address, dir.filePath(QStringLiteral("old.jpg")));

    QVERIFY2(result.saved, qPrintable(result.reason));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("old.jpg"))), generatedBytes(0, 2000));
    // The texts name the address as it was asked for, with the percent of the known length.
    QCOMPARE(bar.texts.mid(1), (QStringList{percentText(address, 51), percentText(address, 100),
                                            QStringLiteral("Progress Bar")}));
}

void DownloadEngineTest::fetchesHttpsOverTls() {
    TestServer server;
    server.useTls(*m_certificate);
    server.route("/secure.png", serve::generated(1500));
    QTemporaryDir dir;
    RecordingProgress bar;
    RecordingMessages boxes;
    RealTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    const QByteArray address = server.address("/secure.png");
    QVERIFY(address.startsWith("https://"));
    const DownloadResult result = engine.DownloadFile(address, dir.filePath(QStringLiteral("secure.png")));

    // The server speaks TLS only, so a plain-http request could not have been answered.
    QVERIFY2(result.saved, qPrintable(result.reason));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("secure.png"))), generatedBytes(0, 1500));
    QCOMPARE(bar.texts.first(), QStringLiteral("Downloading: ") + QString::fromUtf8(address));
}

void DownloadEngineTest::asksForTheIdentityEncoding() {
    TestServer server;
    server.route("/a.gif", serve::ok("GIF89a", "image/gif"));
    QTemporaryDir dir;
    RecordingProgress bar;
    RecordingMessages boxes;
    RealTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    QVERIFY(engine.DownloadFile(server.address("/a.gif"), dir.filePath(QStringLiteral("a.gif"))).saved);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().first().method, QByteArray("GET"));
    QCOMPARE(server.requests().first().header("Accept-Encoding"), QByteArray("identity"));
}

void DownloadEngineTest::blanksAroundTheAddressAreNotRequested() {
    TestServer server;
    server.route("/a.jpg", serve::generated(100));
    QTemporaryDir dir;
    RecordingProgress bar;
    RecordingMessages boxes;
    RealTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    const QByteArray address = "  " + server.address("/a.jpg") + " ";
    const DownloadResult result = engine.DownloadFile(address, dir.filePath(QStringLiteral("a.jpg")));

    QVERIFY2(result.saved, qPrintable(result.reason));
    QCOMPARE(server.paths(), QList<QByteArray>{"/a.jpg"});
    // The bar keeps the address as it was passed in.
    QCOMPARE(bar.texts.mid(0, 2), (QStringList{QStringLiteral("Downloading: ") + QString::fromUtf8(address),
                                               percentText(address, 100)}));
}

void DownloadEngineTest::replacesAPlantedLinkInsteadOfWritingThroughIt() {
    TestServer server;
    server.route("/a.jpg", serve::generated(3000));
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("precious.txt"));
    QVERIFY(writeFile(target, "keep me"));
    const QString path = dir.filePath(QStringLiteral("a.jpg"));
    QVERIFY(QFile::link(target, path));

    RecordingProgress bar;
    RecordingMessages boxes;
    RealTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    QVERIFY(engine.DownloadFile(server.address("/a.jpg"), path).saved);

    QCOMPARE(readAll(target), QByteArray("keep me"));
    QVERIFY(!QFileInfo(path).isSymLink());
    QCOMPARE(readAll(path), generatedBytes(0, 3000));
}

void DownloadEngineTest::reportsAnUnopenableDestinationOnce() {
    TestServer server;
    server.route("/a.jpg", serve::generated(5000));
    QTemporaryDir dir;
    RecordingProgress bar;
    RecordingMessages boxes;
    RealTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    const QString path = dir.filePath(QStringLiteral("no such folder/a.jpg"));
    const DownloadResult result = engine.DownloadFile(server.address("/a.jpg"), path);

    QVERIFY(!result.saved);
    QCOMPARE(boxes.messages.size(), 1);
    QVERIFY2(boxes.messages.first().text.contains(trapTags::downloadFile + QLatin1StringView("at line 124")),
             qPrintable(boxes.messages.first().text));
    QCOMPARE(boxes.messages.first().title, QStringLiteral("Application Error"));
    QVERIFY(result.reason.contains(QStringLiteral("Cannot create a file")));
    QCOMPARE(folderEntries(dir.path()), QStringList());
}

void DownloadEngineTest::cancellingMidBodyLeavesNothingBehind() {
    TestServer server;
    server.route("/slow.jpg", serve::generated(4000).trickled(5));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("slow.jpg"));
    QVERIFY(writeFile(path, "the old picture"));
    // The window closes while the body comes in.
    connect(&server, &TestServer::requestArrived, this,
            [] { QTimer::singleShot(100, [] { Cancellation::request(); }); });

    RecordingProgress bar;
    RecordingMessages boxes;
    RealTransfer transfer;
    DownloadEngine engine(transfer, bar, boxes);
    const DownloadResult result = engine.DownloadFile(server.address("/slow.jpg"), path);

    QVERIFY(!result.saved);
    QVERIFY(result.cancelled);
    QCOMPARE(readAll(path), QByteArray("the old picture"));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("slow.jpg")});
    QCOMPARE(boxes.texts(), QStringList());
}

void DownloadEngineTest::percentRoundsHalfToEven_data() {
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<int>("percent");

    QTest::newRow("12.5 goes down to the even 12") << qint64(1) << qint64(8) << 12;
    QTest::newRow("37.5 goes up to the even 38") << qint64(3) << qint64(8) << 38;
    QTest::newRow("62.5 goes down to the even 62") << qint64(5) << qint64(8) << 62;
    QTest::newRow("a third of 3000 is 34 percent") << qint64(1024) << qint64(3000) << 34;
    QTest::newRow("beyond 32 bits") << qint64(3'000'000'000) << qint64(6'000'000'000) << 50;
}

void DownloadEngineTest::percentRoundsHalfToEven() {
    QFETCH(qint64, received);
    QFETCH(qint64, expected);
    QFETCH(int, percent);
    QCOMPARE(DownloadEngine::percentDone(received, expected), percent);
}

void DownloadEngineTest::tellsAnHtmlPageFromAnImage_data() {
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<BodyKind>("kind");

    QTest::newRow("PNG") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << BodyKind::Image;
    QTest::newRow("JPEG") << QByteArray("\xFF\xD8\xFF\xE0\0\x10JFIF", 10) << BodyKind::Image;
    QTest::newRow("GIF") << QByteArray("GIF89a\x01\0") << BodyKind::Image;
    QTest::newRow("WebP") << QByteArray("RIFF\x24\0\0\0WEBPVP8 ", 16) << BodyKind::Image;
    QTest::newRow("AVIF") << QByteArray("\0\0\0\x1C"
                                        "ftypavif",
                                        12)
                          << BodyKind::Image;
    QTest::newRow("an ISO media file of another brand is none") << QByteArray("\0\0\0\x1C"
                                                                              "ftypisom",
                                                                              12)
                                                                << BodyKind::Unknown;
    QTest::newRow("an HTML document type") << QByteArray("<!DOCTYPE html>\n<html>") << BodyKind::Html;
    QTest::newRow("letter case does not matter") << QByteArray("<!doctype HTML>") << BodyKind::Html;
    QTest::newRow("a bare html tag after a mark and blanks")
        << QByteArray("\xEF\xBB\xBF \r\n\t<HTML lang=\"en\">") << BodyKind::Html;
    QTest::newRow("a head without html") << QByteArray("<head><title>Sign in") << BodyKind::Html;
    QTest::newRow("an SVG document type is an image's")
        << QByteArray("<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\"") << BodyKind::Unknown;
    QTest::newRow("a tag that only starts like html") << QByteArray("<htmlish>") << BodyKind::Unknown;
    QTest::newRow("plain text") << QByteArray("Not found") << BodyKind::Unknown;
    QTest::newRow("nothing") << QByteArray() << BodyKind::Unknown;
    QTest::newRow("cut inside the document type") << QByteArray("<!DOCTYPE ht") << BodyKind::Unknown;
}

void DownloadEngineTest::tellsAnHtmlPageFromAnImage() {
    QFETCH(QByteArray, first);
    QFETCH(BodyKind, kind);
    QCOMPARE(sniffBody(first), kind);
}

QTEST_GUILESS_MAIN(DownloadEngineTest)
#include "tst_downloadengine.moc"
