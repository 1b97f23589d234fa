// The preview: decoding within its bounds, and fetching through the transfer engine on a thread
// of its own against the loopback server.
#include "TestWindow.h"

#include "core/Cancellation.h"
#include "shell/ImageListView.h"
#include "shell/PreviewLoader.h"
#include "shell/PreviewWindow.h"
#include "shell/ThumbnailLoader.h"
#include "support/Files.h"
#include "support/TestServer.h"

#include <QAction>
#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QSignalSpy>
#include <QTest>

namespace {

QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(image))
        qFatal("cannot write %s: %s", format, qPrintable(writer.errorString()));
    return bytes;
}

QImage sample(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(30, 120, 200));
    return image;
}

quint32 crc32(const QByteArray& bytes) {
    quint32 crc = 0xffffffffu;
    for (char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray bigEndian(quint32 value) {
    return QByteArray(1, char(value >> 24)) + char(value >> 16) + char(value >> 8) + char(value);
}

QByteArray chunk(const QByteArray& type, const QByteArray& data) {
    const QByteArray body = type + data;
    return bigEndian(quint32(data.size())) + body + bigEndian(crc32(body));
}

// A PNG that claims width x height pixels: a valid header, then the start of its pixel data.
QByteArray pngHeaderOnly(quint32 width, quint32 height) {
    return QByteArray("\x89PNG\r\n\x1a\n", 8) +
           chunk("IHDR", bigEndian(width) + bigEndian(height) + QByteArray("\x08\x02\x00\x00\x00", 5)) +
           chunk("IDAT", QByteArray("\x78\x9c", 2));
}

QByteArray svgPicture() {
    return "<svg xmlns='http://www.w3.org/2000/svg' width='300' height='150'>"
           "<rect width='300' height='150' fill='red'/></svg>";
}

} // namespace

class TestPreview : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void decode_data();
    void decode();
    void fetch_data();
    void fetch();
    void newRequestDropsTheOneInProgress();
    void cachedPreviewIsNotFetchedAgain();
    void windowFollowsTheCurrentEntry();
    void closingThePreviewDuringAStall();
    void requestsCarryTheRunOptions_data();
    void requestsCarryTheRunOptions();
    void windowPreviewSendsTheSettingsCookies();
};

void TestPreview::initTestCase() {
    // A stalled server gives up within a test's patience.
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "400");
}

void TestPreview::decode_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QSize>("pixels");
    QTest::addColumn<bool>("picture");
    QTest::addColumn<QString>("message");

    const QByteArray png = encoded(sample(64, 32), "png");
    QTest::newRow("PNG: shown with its size")
        << png << QByteArray("image/png") << "PNG" << QSize(64, 32) << true << QString();
    QTest::newRow("PNG served as text: the bytes decide")
        << png << QByteArray("text/plain") << "PNG" << QSize(64, 32) << true << QString();
    QTest::newRow("truncated PNG: a message, no picture")
        << png.left(png.size() / 2) << QByteArray("image/png") << "PNG" << QSize(64, 32) << false
        << "cannot be shown";
    QTest::newRow("HTML under an image link: named a page, no preview")
        << QByteArray("<!DOCTYPE html><html><body>Not found</body></html>")
        << QByteArray("text/html; charset=utf-8") << "HTML page" << QSize() << false
        << "no preview: the body is an HTML page";
    QTest::newRow("HTML served as a JPEG: the bytes decide")
        << QByteArray("<html><head><title>Sign in</title></head></html>") << QByteArray("image/jpeg")
        << "HTML page" << QSize() << false << "no preview: the body is an HTML page";
    QTest::newRow("text served as a JPEG: the served type stands")
        << QByteArray("just some words") << QByteArray("image/jpeg") << "image/jpeg" << QSize() << false
        << "no preview";
    QTest::newRow("200 megapixels: too large, not decoded")
        << pngHeaderOnly(20000, 10000) << QByteArray("image/png") << "PNG" << QSize(20000, 10000) << false
        << "too large to preview";
    QTest::newRow("just over 64 megapixels: too large")
        << pngHeaderOnly(8001, 8000) << QByteArray("image/png") << "PNG" << QSize(8001, 8000) << false
        << "too large to preview";
    QTest::newRow("large picture: scaled down to fit")
        << encoded(sample(3000, 1500), "png") << QByteArray("image/png") << "PNG" << QSize(3000, 1500) << true
        << QString();
    QTest::newRow("empty body: no preview")
        << QByteArray() << QByteArray() << "unknown type" << QSize() << false << "no preview";
    if (QImageReader::supportedImageFormats().contains("webp"))
        QTest::newRow("WebP through the plug-in")
            << encoded(sample(40, 20), "webp") << QByteArray("image/webp") << "WEBP" << QSize(40, 20) << true
            << QString();
    if (QImageReader::supportedImageFormats().contains("svg"))
        QTest::newRow("SVG through the plug-in")
            << svgPicture() << QByteArray("image/svg+xml") << "SVG" << QSize(300, 150) << true << QString();
}

void TestPreview::decode() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(QString, type);
    QFETCH(QSize, pixels);
    QFETCH(bool, picture);
    QFETCH(QString, message);
    const PreviewResult result = preview::decode(body, contentType);
    QCOMPARE(result.type, type);
    QCOMPARE(result.pixelSize, pixels);
    QCOMPARE(!result.image.isNull(), picture);
    QCOMPARE(result.bytes, qint64(body.size()));
    QVERIFY2(message.isEmpty() ? result.message.isEmpty() : result.message.startsWith(message),
             qPrintable(result.message));
    if (picture) {
        QVERIFY(result.image.width() <= preview::fitSize && result.image.height() <= preview::fitSize);
        QVERIFY(result.summary().contains(
            QStringLiteral("%1 x %2 pixels").arg(pixels.width()).arg(pixels.height())));
    }
}

void TestPreview::fetch_data() {
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("picture");
    QTest::addColumn<QString>("message");
    QTest::newRow("PNG") << QByteArray("/a.png") << true << QString();
    QTest::newRow("HTML page") << QByteArray("/page.png") << false << "no preview";
    QTest::newRow("404: the server's answer") << QByteArray("/missing.png") << false << "404";
    QTest::newRow("stalled server: the time-out") << QByteArray("/stall.png") << false << "";
    QTest::newRow("cut short") << QByteArray("/cut.png") << false << "";
}

void TestPreview::fetch() {
    QFETCH(QByteArray, path);
    QFETCH(bool, picture);
    QFETCH(QString, message);
    TestServer server;
    server.route("/a.png", serve::ok(encoded(sample(20, 10), "png"), "image/png"));
    server.route("/page.png", serve::ok("<html><body>gone</body></html>", "text/html"));
    server.route("/stall.png", serve::headersThenStall(5000));
    server.route("/cut.png", serve::cutShort(5000, 100));
    PreviewLoader loader;
    QSignalSpy ready(&loader, &PreviewLoader::ready);
    loader.request(server.address(path), server.address("/page.html"));
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    const auto result = ready.first().first().value<PreviewResult>();
    QCOMPARE(result.link, server.address(path));
    QCOMPARE(!result.image.isNull(), picture);
    if (!picture)
        QVERIFY2(!result.message.isEmpty() && result.message.contains(message), qPrintable(result.message));
    // The request names the page as its Referer.
    QCOMPARE(server.requests().first().header("Referer"), server.address("/page.html"));
}

void TestPreview::newRequestDropsTheOneInProgress() {
    TestServer server;
    server.route("/stall.png", serve::stall());
    server.route("/a.png", serve::ok(encoded(sample(20, 10), "png"), "image/png"));
    PreviewLoader loader;
    QSignalSpy ready(&loader, &PreviewLoader::ready);
    loader.request(server.address("/stall.png"), {});
    QVERIFY(server.waitForRequests(1));
    loader.request(server.address("/a.png"), {});
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 5000);
    QCOMPARE(ready.first().first().value<PreviewResult>().link, server.address("/a.png"));
    // Well past the stalled transfer's time-out: its result never arrives.
    QTest::qWait(700);
    QCOMPARE(ready.size(), 1);
}

void TestPreview::cachedPreviewIsNotFetchedAgain() {
    TestServer server;
    server.route("/a.png", serve::ok(encoded(sample(20, 10), "png"), "image/png"));
    server.route("/missing.png", serve::response(404, "Not Found"));
    PreviewLoader loader;
    QSignalSpy ready(&loader, &PreviewLoader::ready);
    for (int round = 1; round <= 2; ++round) {
        loader.request(server.address("/a.png"), {});
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 2 * round - 1, 5000);
        loader.request(server.address("/missing.png"), {});
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 2 * round, 5000);
    }
    QVERIFY(loader.cached(server.address("/a.png")));
    QVERIFY(loader.cacheCost() <= preview::cacheBytes);
    // The picture came from the cache the second time; a failure is asked for again.
    QCOMPARE(server.paths().count("/a.png"), 1);
    QCOMPARE(server.paths().count("/missing.png"), 2);
}

void TestPreview::windowFollowsTheCurrentEntry() {
    TemporarySettings settings;
    TestWindow test;
    TestServer server;
    server.route("/a.png", serve::ok(encoded(sample(20, 10), "png"), "image/png"));
    server.route("/b.gif", serve::ok("<html></html>", "text/html"));
    Form1& window = test.load();
    window.imageList().add(server.address("/a.png"));
    window.imageList().add(server.address("/b.gif"));
    auto* view = window.findChild<ImageListView*>(QStringLiteral("ListView1"));
    view->list().flush();
    view->setCurrentIndex(view->model()->index(0, 0));
    window.action(QStringLiteral("actionPreview"))->trigger();
    QVERIFY(window.preview() && window.preview()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(window.preview()->showsPicture(), 5000);
    QVERIFY(window.preview()->infoText().contains(QStringLiteral("PNG, 20 x 10 pixels")));

    view->setCurrentIndex(view->model()->index(1, 0));
    QCOMPARE(window.preview()->link(), server.address("/b.gif"));
    QTRY_VERIFY_WITH_TIMEOUT(window.preview()->infoText().contains(QStringLiteral("no preview")), 5000);
    QVERIFY(!window.preview()->showsPicture());

    // Clear List leaves nothing to show.
    QTest::mouseClick(window.findChild<QWidget*>(QStringLiteral("PushButton10")), Qt::LeftButton);
    QCOMPARE(window.preview()->link(), QByteArray());
    // F3 closes it again.
    window.action(QStringLiteral("actionPreview"))->trigger();
    QVERIFY(!window.preview()->isVisible());
    QVERIFY(test.boxes.messages.isEmpty());
}

void TestPreview::closingThePreviewDuringAStall() {
    TemporarySettings settings;
    TestWindow test;
    TestServer server;
    server.route("/stall.png", serve::stall());
    {
        Form1& window = test.load();
        window.imageList().add(server.address("/stall.png"));
        auto* view = window.findChild<ImageListView*>(QStringLiteral("ListView1"));
        view->list().flush();
        view->setCurrentIndex(view->model()->index(0, 0));
        window.action(QStringLiteral("actionPreview"))->trigger();
        QVERIFY(server.waitForRequests(1));
        QVERIFY(window.preview()->loading());
        // The window is still at the user's service meanwhile.
        QTest::mouseClick(window.findChild<QWidget*>(QStringLiteral("PushButton7")), Qt::LeftButton);
        QVERIFY(window.imageList().ticked(1));
    }
    // Closing the window closes its preview too; then both are gone, stalled fetch and all.
    test.window->close();
    QVERIFY(!test.window->preview()->isVisible());
    test.window.reset();
}

void TestPreview::requestsCarryTheRunOptions_data() {
    QTest::addColumn<bool>("page");    // the loader was told the page, on the image's host
    QTest::addColumn<bool>("changed"); // the options changed while the fetch was on its way
    QTest::newRow("the page's host gets the credential") << true << false;
    QTest::newRow("with no page, no host does") << false << false;
    QTest::newRow("options changed mid-fetch: the fetch starts again with them") << true << true;
}

void TestPreview::requestsCarryTheRunOptions() {
    QFETCH(bool, page);
    QFETCH(bool, changed);
    TestServer server;
    server.route("/a.png", serve::ok(encoded(sample(20, 10), "png"), "image/png").delayed(changed ? 250 : 0));
    QTemporaryDir folder;
    const QString cookies = folder.filePath(QStringLiteral("cookies.txt"));
    QVERIFY(writeFile(cookies, "127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tabc\n"));
    net::RunOptions options;
    options.userAgent = "Previewer/3";
    options.headers = {"X-Preview: yes", "Authorization: Bearer s3cret"};
    options.cookieFile = cookies;
    PreviewLoader loader;
    QSignalSpy ready(&loader, &PreviewLoader::ready);
    const QByteArray pageAddress = server.address("/page.html");
    net::RunOptions first = options;
    if (changed)
        first.userAgent = "Earlier/1";
    loader.setRun(first, page ? pageAddress : QByteArray());
    loader.request(server.address("/a.png"), pageAddress);
    if (changed) {
        QVERIFY(server.waitForRequests(1));
        loader.setRun(options, pageAddress);
    }
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 5000);
    QVERIFY2(!ready.first().first().value<PreviewResult>().image.isNull(),
             qPrintable(ready.first().first().value<PreviewResult>().message));
    const RecordedRequest request = server.requests().last();
    QCOMPARE(server.requests().size(), changed ? 2 : 1);
    QCOMPARE(request.header("User-Agent"), QByteArray("Previewer/3"));
    QCOMPARE(request.header("X-Preview"), QByteArray("yes"));
    QCOMPARE(request.header("Referer"), pageAddress);
    QCOMPARE(request.cookies(), QByteArrayList{"sid=abc"});
    QCOMPARE(request.header("Authorization"), page ? QByteArray("Bearer s3cret") : QByteArray());
}

void TestPreview::windowPreviewSendsTheSettingsCookies() {
    TemporarySettings settings;
    QTemporaryDir folder;
    const QString cookies = folder.filePath(QStringLiteral("cookies.txt"));
    QVERIFY(writeFile(cookies, "127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tabc\n"));
    settings.put(QStringLiteral("Cookies"), cookies);
    TestWindow test;
    TestServer server;
    server.route("/a.png", serve::ok(encoded(sample(20, 10), "png"), "image/png"));
    Form1& window = test.load();
    window.imageList().add(server.address("/a.png"));
    auto* view = window.findChild<ImageListView*>(QStringLiteral("ListView1"));
    view->list().flush();
    view->setCurrentIndex(view->model()->index(0, 0));
    window.action(QStringLiteral("actionPreview"))->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(window.preview()->showsPicture(), 5000);
    QCOMPARE(server.requests().first().cookies(), QByteArrayList{"sid=abc"});
    // What the preview learnt, the gallery's thumbnails know.
    QCOMPARE(window.thumbnails().known(server.address("/a.png"))->pixelSize, QSize(20, 10));
    window.action(QStringLiteral("actionPreview"))->trigger();
}

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
