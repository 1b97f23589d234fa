// The download engine against a loopback server that answers well, lies, stalls or breaks off:
// the chunk reads and bar texts, what is saved, and that a failure saves and leaves nothing.

#include "core/Cancellation.h"
#include "core/DiskWriter.h"
#include "core/ErrorTrap.h"
#include "download/BodySniffer.h"
#include "download/DownloadEngine.h"
#include "download/DownloadJob.h"
#include "net/RunSetup.h"
#include "support/Files.h"
#include "support/RecordingUi.h"
#include "support/ScriptedTransfers.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <optional>
#include <thread>

#include <csignal>
#include <sys/resource.h>

Q_DECLARE_METATYPE(Behaviour)
Q_DECLARE_METATYPE(BodyKind)

namespace {

// The real loop of a run with default options.
struct RealLoop {
    net::NetworkRun network;
    operator net::Transfers&() { return network.setup().loop(); }
};

// One download over a loop, waited for here; chunks gets the byte count after each chunk.
DownloadResult fetch(net::Transfers& loop, ProgressDisplay& bar, MessageBoxes& boxes,
                     const QByteArray& address, const QString& path, const DownloadOptions& options = {},
                     const QByteArray& referer = {}, QList<qint64>* chunks = nullptr) {
    DiskWriter writer;
    DownloadJob job(loop, writer, bar, boxes);
    job.setOptions(options);
    job.setRefererPage(referer);
    if (chunks)
        job.setProgressListener([chunks](qint64 received, qint64) { *chunks << received; });
    std::optional<DownloadResult> result;
    QEventLoop wait;
    job.DownloadFile(address, path, [&](const DownloadResult& done) {
        result = done;
        wait.quit();
    });
    if (!result)
        wait.exec();
    return *result;
}

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
    void writerAnswersInOrderWhenAsked_data();
    void writerAnswersInOrderWhenAsked();

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
    void reportsAnUnopenableDestinationOnce_data();
    void reportsAnUnopenableDestinationOnce();
    void cancellingMidBodyLeavesNothingBehind();
    void percentRoundsHalfToEven_data();
    void percentRoundsHalfToEven();
    void tellsAnHtmlPageFromAnImage_data();
    void tellsAnHtmlPageFromAnImage();
    void retriesAndResumes_data();
    void retriesAndResumes();
    void aFullDiskFailsTheEntryAndLeavesNothing();
    void aSlowDiskHoldsTheTransferBack();
    void cancellingAScriptedBodyLeavesNothingAtOnce();

private:
    std::unique_ptr<TestCertificate> m_certificate;
};

void DownloadEngineTest::initTestCase() {
    m_certificate = std::make_unique<TestCertificate>();
    QVERIFY2(m_certificate->isValid(), qPrintable(m_certificate->errorString()));
    // Both are read at the first request.
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_certificate->caBundlePath()));
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "300");
    qputenv("VARNOLUX_RETRY_UNIT_MS", "1");
}

void DownloadEngineTest::cleanup() {
    Cancellation::reset();
}

void DownloadEngineTest::saves_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QByteArray>("body");
    // The bytes received after each 1024-byte chunk.
    QTest::addColumn<QList<qint64>>("chunks");
    // The number in each chunk's text: a percent, or bytes when the length is unknown.
    QTest::addColumn<QList<qint64>>("shown");
    QTest::addColumn<bool>("percent");

    const QByteArray b3000 = generatedBytes(0, 3000);
    QTest::newRow("3000 bytes: chunks of 1024, 1024, 952 show 34, 68, 100")
        << serve::generated(3000) << b3000 << QList<qint64>{1024, 2048, 3000} << QList<qint64>{34, 68, 100}
        << true;
    QTest::newRow("exactly 1024 bytes: one chunk") << serve::generated(1024) << generatedBytes(0, 1024)
                                                   << QList<qint64>{1024} << QList<qint64>{100} << true;
    QTest::newRow("1025 bytes: chunks of 1024 and 1")
        << serve::generated(1025) << generatedBytes(0, 1025) << QList<qint64>{1024, 1025}
        << QList<qint64>{100, 100} << true;
    QTest::newRow("length 0: an empty file, no chunk texts")
        << serve::ok("") << QByteArray() << QList<qint64>{} << QList<qint64>{} << true;
    QTest::newRow("no length, ended by closing: the whole body, bytes shown")
        << serve::generated(3000).withoutLength() << b3000 << QList<qint64>{1024, 2048, 3000}
        << QList<qint64>{1024, 2048, 3000} << false;
    QTest::newRow("chunked transfer: the whole body, bytes shown")
        << serve::generated(3000).chunked({700}) << b3000 << QList<qint64>{1024, 2048, 3000}
        << QList<qint64>{1024, 2048, 3000} << false;
    QTest::newRow("an error page is not looked at when the status is 200")
        << serve::ok("<html>Sorry</html>") << QByteArray("<html>Sorry</html>") << QList<qint64>{18}
        << QList<qint64>{100} << true;
}

void DownloadEngineTest::saves() {
    QFETCH(Behaviour, behaviour);
    QFETCH(QByteArray, body);
    QFETCH(QList<qint64>, chunks);
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
    RealLoop loop;
    QList<qint64> told;
    const QByteArray address = server.address("/pic.jpg");
    const DownloadResult result = fetch(loop, bar, boxes, address, path, {}, {}, &told);

    QVERIFY2(result.saved, qPrintable(result.reason));
    QCOMPARE(result.bytes, qint64(body.size()));
    QCOMPARE(readAll(path), body);
    QCOMPARE(told, chunks);
    QStringList texts{QStringLiteral("Downloading: ") + QString::fromUtf8(address)};
    for (qint64 n : shown)
        texts << (percent ? percentText(address, int(n)) : bytesText(address, n));
    texts << QStringLiteral("Progress Bar");
    QCOMPARE(bar.texts, texts);
    QCOMPARE(boxes.texts(), QStringList());
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("pic.jpg")});
}

Q_DECLARE_METATYPE(ScriptedTransfers::Script)

void DownloadEngineTest::scriptedTransfers_data() {
    using Script = ScriptedTransfers::Script;
    using net::Status;
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QString>("reason"); // the whole reason when nothing is saved
    QTest::addColumn<QList<qint64>>("chunks");
    QTest::addColumn<bool>("cancelled");
    const QByteArray b3000 = generatedBytes(0, 3000);
    const QList<std::pair<QByteArray, QByteArray>> length3000{{"Content-Length", "3000"}};

    QTest::newRow("length 3000, all of it: three chunks, saved")
        << Script{200, length3000, b3000, {}, false, false} << true << QString()
        << QList<qint64>{1024, 2048, 3000} << false;
    QTest::newRow("length 3000, cut after 2000: the count and the transfer's reason")
        << Script{200, length3000, b3000.left(2000), {Status::CutShort}, false, false} << false
        << QStringLiteral("the body ended after 2000 of 3000 bytes (the server closed the connection before "
                          "its answer was complete)")
        << QList<qint64>{1024} << false;
    QTest::newRow("no length, a chunked body cut short: refused whatever arrived")
        << Script{200, {}, b3000.left(1500), {Status::ChunkCut}, false, false} << false
        << QStringLiteral("the server closed the connection before the last chunk")
        << QList<qint64>{1024, 1500} << false;
    QTest::newRow("no length, a bad chunk size after the first: refused")
        << Script{200, {}, b3000.left(5), {Status::InvalidChunk}, false, false} << false
        << QStringLiteral("the server sent an invalid chunk size") << QList<qint64>{5} << false;
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
        << QList<qint64>{} << false;
    QTest::newRow("length 0 and no body: an empty file")
        << Script{200, {{"Content-Length", "0"}}, {}, {}, false, false} << true << QString()
        << QList<qint64>{} << false;
    QTest::newRow("cancelled mid-body: nothing saved, and said so")
        << Script{200, length3000, b3000.left(1024), {Status::Cancelled}, false, false} << false
        << QStringLiteral("the body ended after 1024 of 3000 bytes (the transfer was cancelled)")
        << QList<qint64>{1024} << true;
    QTest::newRow("not a web address: refused at the start")
        << Script{0, {}, {}, {Status::NotWebAddress, QStringLiteral("mailto:x")}, false, true} << false
        << QStringLiteral("mailto:x is not a web address") << QList<qint64>{} << false;
}

void DownloadEngineTest::scriptedTransfers() {
    QFETCH(ScriptedTransfers::Script, script);
    QFETCH(bool, saved);
    QFETCH(QString, reason);
    QFETCH(QList<qint64>, chunks);
    QFETCH(bool, cancelled);
    const QByteArray body = script.body;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pic.jpg"));
    QVERIFY(writeFile(path, "the old picture"));

    ScriptedTransfers loop;
    loop.fallback = script;
    RecordingProgress bar;
    RecordingMessages boxes;
    QList<qint64> told;
    const DownloadResult result =
        fetch(loop, bar, boxes, "  http://a.test/pic.jpg ", path, {}, "http://a.test/gallery/", &told);

    QCOMPARE(result.saved, saved);
    QCOMPARE(result.reason, reason);
    QCOMPARE(result.cancelled, cancelled);
    QCOMPARE(told, chunks);
    QCOMPARE(readAll(path), saved ? body : QByteArray("the old picture"));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("pic.jpg")});
    QCOMPARE(bar.text(), QStringLiteral("Progress Bar"));
    // A request that cannot start fails like any other download: in the result, never as an
    // error report of the program.
    QCOMPARE(boxes.texts(), QStringList());
    // The request: blanks trimmed, an image asked for as stored, the page as Referer.
    QCOMPARE(loop.requests.size(), 1);
    QCOMPARE(loop.requests.first().link, QByteArray("http://a.test/pic.jpg"));
    QVERIFY(loop.requests.first().identityEncoding);
    QCOMPARE(loop.requests.first().referer, QByteArray("http://a.test/gallery/"));
    QCOMPARE(loop.inFlight, 0);
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
    RealLoop loop;
    const DownloadResult result = fetch(loop, bar, boxes, server.address("/pic.jpg"), path);

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
    RealLoop loop;
    const QByteArray address = server.address(first);
    const DownloadResult result = fetch(loop, bar, boxes, address, dir.filePath(QStringLiteral("old.jpg")));

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
    RealLoop loop;
    const QByteArray address = server.address("/secure.png");
    QVERIFY(address.startsWith("https://"));
    const DownloadResult result =
        fetch(loop, bar, boxes, address, dir.filePath(QStringLiteral("secure.png")));

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
    RealLoop loop;
    QVERIFY(fetch(loop, bar, boxes, server.address("/a.gif"), dir.filePath(QStringLiteral("a.gif"))).saved);
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
    RealLoop loop;
    const QByteArray address = "  " + server.address("/a.jpg") + " ";
    const DownloadResult result = fetch(loop, bar, boxes, address, dir.filePath(QStringLiteral("a.jpg")));

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
    RealLoop loop;
    QVERIFY(fetch(loop, bar, boxes, server.address("/a.jpg"), path).saved);

    QCOMPARE(readAll(target), QByteArray("keep me"));
    QVERIFY(!QFileInfo(path).isSymLink());
    QCOMPARE(readAll(path), generatedBytes(0, 3000));
}

void DownloadEngineTest::reportsAnUnopenableDestinationOnce_data() {
    // The file is created by the writer while the body arrives: its failure may come back before
    // the body has ended, or after (an empty or small body), or after pieces were handed over.
    QTest::addColumn<int>("bodyBytes");
    QTest::newRow("empty body") << 0;
    QTest::newRow("small body") << 5000;
    QTest::newRow("body of many pieces") << (3 << 20);
}

void DownloadEngineTest::reportsAnUnopenableDestinationOnce() {
    QFETCH(int, bodyBytes);
    TestServer server;
    server.route("/a.jpg", serve::generated(bodyBytes));
    QTemporaryDir dir;
    RecordingProgress bar;
    RecordingMessages boxes;
    RealLoop loop;
    const QString path = dir.filePath(QStringLiteral("no such folder/a.jpg"));
    const DownloadResult result = fetch(loop, bar, boxes, server.address("/a.jpg"), path);

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
    RealLoop loop;
    const DownloadResult result = fetch(loop, bar, boxes, server.address("/slow.jpg"), path);

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

void DownloadEngineTest::retriesAndResumes_data() {
    using Script = ScriptedTransfers::Script;
    using net::Status;
    QTest::addColumn<QList<Script>>("scripts"); // one per request, the last repeated
    QTest::addColumn<int>("retries");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<int>("tries");
    QTest::addColumn<QString>("reason");       // part of it when nothing is saved
    QTest::addColumn<QByteArray>("lastRange"); // the Range the last request asked for
    const QByteArray b3000 = generatedBytes(0, 3000);
    const Script whole{200, {{"Content-Length", "3000"}}, b3000, {}, false, false};
    auto refusal = [](int status, QByteArray retryAfter = {}) {
        Script script{status, {}, {}, {Status::HttpStatus, QStringLiteral("Busy"), status}, true, false};
        if (!retryAfter.isEmpty())
            script.headers = {{"Retry-After", retryAfter}};
        return script;
    };
    const Script cut{200,
                     {{"Content-Length", "3000"}, {"ETag", "\"v1\""}, {"Accept-Ranges", "bytes"}},
                     b3000.left(2000),
                     {Status::CutShort},
                     false,
                     false};
    const Script rest{
        206,
        {{"Content-Length", "1976"}, {"ETag", "\"v1\""}, {"Content-Range", "bytes 1024-2999/3000"}},
        b3000.mid(1024),
        {},
        false,
        false};
    Script otherVersion = rest;
    otherVersion.headers[1].second = "\"v2\"";

    QTest::newRow("a 503, then the image: saved by the second request")
        << QList<Script>{refusal(503), whole} << 2 << true << 2 << QString() << QByteArray();
    QTest::newRow("a 500 each time: one request per try, then failed")
        << QList<Script>{refusal(500)} << 2 << false << 3 << QStringLiteral("HTTP 500") << QByteArray();
    QTest::newRow("a 429 forever with 3 retries: four requests, then failed")
        << QList<Script>{refusal(429, "0")} << 3 << false << 4 << QStringLiteral("HTTP 429") << QByteArray();
    QTest::newRow("a Retry-After beyond 120 s: given up at once, said so")
        << QList<Script>{refusal(429, "121")} << 3 << false << 1
        << QStringLiteral("HTTP 429 Busy; the server asks to wait more than 120 seconds before another try")
        << QByteArray();
    QTest::newRow("a 404 is not retried")
        << QList<Script>{refusal(404)} << 3 << false << 1 << QStringLiteral("HTTP 404") << QByteArray();
    QTest::newRow("no retry without --retries") << QList<Script>{refusal(503), whole} << 0 << false << 1
                                                << QStringLiteral("HTTP 503") << QByteArray();
    // Whole chunks only reach the file: the rest is asked for from the last one on.
    QTest::newRow("a body cut short goes on after its last whole chunk")
        << QList<Script>{cut, rest} << 1 << true << 2 << QString() << QByteArray("Range: bytes=1024-");
    QTest::newRow("another version of the rest: the body starts again from zero")
        << QList<Script>{cut, otherVersion, whole} << 1 << true << 3 << QString() << QByteArray();
}

void DownloadEngineTest::retriesAndResumes() {
    using Script = ScriptedTransfers::Script;
    QFETCH(QList<Script>, scripts);
    QFETCH(int, retries);
    QFETCH(bool, saved);
    QFETCH(int, tries);
    QFETCH(QString, reason);
    QFETCH(QByteArray, lastRange);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pic.jpg"));
    QVERIFY(writeFile(path, "the old picture"));
    ScriptedTransfers loop;
    loop.pauseMs = 5;
    loop.script("http://a.test/pic.jpg", scripts);
    RecordingProgress bar;
    RecordingMessages boxes;
    DownloadOptions options;
    options.retries = retries;
    const DownloadResult result = fetch(loop, bar, boxes, "http://a.test/pic.jpg", path, options);

    QCOMPARE(result.saved, saved);
    QCOMPARE(result.tries, tries);
    QCOMPARE(loop.requests.size(), tries);
    QVERIFY2(result.reason.contains(reason), qPrintable(result.reason));
    QCOMPARE(readAll(path), saved ? generatedBytes(0, 3000) : QByteArray("the old picture"));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("pic.jpg")});
    QByteArray range;
    for (const QByteArray& line : loop.requests.last().headers)
        if (line.startsWith("Range:"))
            range = line;
    QCOMPARE(range, lastRange);
    QCOMPARE(boxes.texts(), QStringList());
}

void DownloadEngineTest::aFullDiskFailsTheEntryAndLeavesNothing() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.jpg"));
    QVERIFY(writeFile(path, "the old picture"));
    ScriptedTransfers loop;
    ScriptedTransfers::Script script;
    script.body = generatedBytes(0, 400'000);
    script.headers = {{"Content-Length", "400000"}};
    script.pieceSize = 16384;
    loop.fallback = script;
    RecordingProgress bar;
    RecordingMessages boxes;

    // Past the limit write() fails with EFBIG, as on a full disk, unless SIGXFSZ ends us first.
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved;
    lowered.rlim_cur = 100'000;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &lowered) == 0);
    const DownloadResult result = fetch(loop, bar, boxes, "http://a.test/big.jpg", path);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!result.saved);
    QVERIFY2(result.reason.startsWith(QStringLiteral("Cannot write")), qPrintable(result.reason));
    // Reported once, as the write step's failure; the transfer is not left running.
    QCOMPARE(boxes.messages.size(), 1);
    QVERIFY2(boxes.messages.first().text.contains(trapTags::downloadFile + QLatin1StringView("at line 150")),
             qPrintable(boxes.messages.first().text));
    QCOMPARE(loop.inFlight, 0);
    QCOMPARE(readAll(path), QByteArray("the old picture"));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("big.jpg")});
}

void DownloadEngineTest::aSlowDiskHoldsTheTransferBack() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.jpg"));
    const QByteArray body = generatedBytes(0, 12 << 20);
    ScriptedTransfers loop;
    ScriptedTransfers::Script script;
    script.body = body;
    script.headers = {{"Content-Length", QByteArray::number(body.size())}};
    script.pieceSize = 1 << 20;
    loop.fallback = script;
    RecordingProgress bar;
    RecordingMessages boxes;

    // The disk stalls until the job has held the transfer back once.
    std::atomic<bool> release = false;
    DiskWriter writer;
    // Let go however the test ends, so the writer's end does not wait for ever.
    const auto letGo = qScopeGuard([&] { release = true; });
    writer.post([&] {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    DownloadJob job(loop, writer, bar, boxes);
    std::optional<DownloadResult> result;
    QEventLoop wait;
    job.DownloadFile("http://a.test/big.jpg", path, [&](const DownloadResult& done) {
        result = done;
        wait.quit();
    });
    QTRY_VERIFY(loop.held > 0);
    // Not more than the bound and a piece wait for the disk.
    QVERIFY(job.active());
    release = true;
    if (!result)
        wait.exec();

    QVERIFY2(result->saved, qPrintable(result->reason));
    QCOMPARE(readAll(path), body);
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("big.jpg")});
}

void DownloadEngineTest::cancellingAScriptedBodyLeavesNothingAtOnce() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("slow.jpg"));
    QVERIFY(writeFile(path, "the old picture"));
    ScriptedTransfers loop;
    ScriptedTransfers::Script script;
    script.body = generatedBytes(0, 100'000);
    script.headers = {{"Content-Length", "100000"}};
    script.pieceSize = 1000;
    script.pieceDelayMs = 10;
    loop.fallback = script;
    RecordingProgress bar;
    RecordingMessages boxes;
    QTimer::singleShot(100, [] { Cancellation::request(); });
    QElapsedTimer clock;
    clock.start();
    const DownloadResult result = fetch(loop, bar, boxes, "http://a.test/slow.jpg", path);

    QVERIFY(result.cancelled);
    QVERIFY(!result.saved);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(loop.inFlight, 0);
    QCOMPARE(loop.cancelled, QList<QByteArray>{"http://a.test/slow.jpg"});
    QCOMPARE(readAll(path), QByteArray("the old picture"));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("slow.jpg")});
    QCOMPARE(boxes.texts(), QStringList());
}

void DownloadEngineTest::writerAnswersInOrderWhenAsked_data() {
    // Each task: 'a' answers (post), 'y' answers when asked to (postAnswering, true), 'n' does
    // not (postAnswering, false), 'g' answers a context that is gone by then.
    QTest::addColumn<QByteArray>("tasks");
    QTest::addColumn<QByteArray>("answered");
    QTest::newRow("plain posts") << QByteArray("aaa") << QByteArray("012");
    QTest::newRow("only those that ask") << QByteArray("ynyn") << QByteArray("02");
    QTest::newRow("none asks") << QByteArray("nnn") << QByteArray("");
    QTest::newRow("mixed, in order") << QByteArray("naya") << QByteArray("123");
    QTest::newRow("a context gone") << QByteArray("aga") << QByteArray("02");
}

// The follow-ups come back in the order of the work, only for work that asks, never to a
// context that is gone, and all of the work is done whatever comes back.
void DownloadEngineTest::writerAnswersInOrderWhenAsked() {
    QFETCH(QByteArray, tasks);
    QFETCH(QByteArray, answered);
    QByteArray heard;
    std::atomic<int> done = 0;
    QObject context;
    auto gone = std::make_unique<QObject>();
    bool last = false;
    {
        DiskWriter writer;
        for (qsizetype i = 0; i < tasks.size(); ++i) {
            const char kind = tasks[i];
            const char name = char('0' + i);
            auto then = [&heard, name] { heard += name; };
            if (kind == 'a' || kind == 'g')
                writer.post([&done] { ++done; }, kind == 'g' ? gone.get() : &context, then);
            else
                writer.postAnswering(
                    [&done, kind] {
                        ++done;
                        return kind == 'y';
                    },
                    &context, then);
        }
        gone.reset();
        // Follow-ups come in order: once the last one is here, so are all before it.
        writer.post({}, &context, [&last] { last = true; });
        QTRY_VERIFY(last);
    }
    QCOMPARE(done.load(), int(tasks.size()));
    QCOMPARE(heard, answered);
}

QTEST_GUILESS_MAIN(DownloadEngineTest)
#include "tst_downloadengine.moc"
