// The gallery's thumbnails: decoding within their bounds whatever the bytes claim, fetching only
// what is wanted through a loop carrying the run's request options, and the cache's bound.
#include "shell/PreviewLoader.h"
#include "shell/PreviewWindow.h"
#include "shell/ThumbnailLoader.h"
#include "support/ImageBytes.h"
#include "support/TestServer.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <memory>

using namespace Qt::StringLiterals;
using namespace imagebytes;

namespace {

QByteArray le32(quint32 v) {
    QByteArray out(4, '\0');
    qToLittleEndian(v, out.data());
    return out;
}

// The bytes as gzip writes them (an .svgz): qCompress's deflate stream in gzip's frame.
QByteArray gzipped(const QByteArray& bytes) {
    const QByteArray zlib = qCompress(bytes, 9).mid(4);
    return QByteArray("\x1F\x8B\x08\0\0\0\0\0\x02\xFF", 10) + zlib.mid(2, zlib.size() - 6) +
           le32(crc32(bytes)) + le32(quint32(bytes.size()));
}

const QByteArray hostileSvg = "<?xml version=\"1.0\"?><!DOCTYPE svg [<!ENTITY x SYSTEM \"/secret\">]>"
                              "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"300\">"
                              "<rect width=\"400\" height=\"300\" fill=\"blue\"/>"
                              "<script>fetch('/secret')</script><text>&x;</text></svg>";

bool hasSvg() {
    return QImageReader::supportedImageFormats().contains("svg");
}

// Waits for the loader to tell link; nullptr when it did not in time.
const Thumbnail* arrival(ThumbnailLoader& loader, const QByteArray& link, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (const Thumbnail* known = loader.known(link);
            known && (!known->image.isNull() || !known->message.isEmpty()))
            return known;
        QTest::qWait(10);
    }
    return nullptr;
}

} // namespace

class ThumbnailsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void decode_data();
    void decode();
    void svgNeverReadsThisMachinesFiles();
    void fetch_data();
    void fetch();
    void onlyWantedLinksAreFetched();
    void fetchedAgain_data();
    void fetchedAgain();
    void requestsCarryTheRunOptions_data();
    void requestsCarryTheRunOptions();
    void cacheStaysWithinItsBound_data();
    void cacheStaysWithinItsBound();
    void destroyedMidFetchEndsPromptly();
    void previewShowsWhatTheThumbnailsKnow();
};

void ThumbnailsTest::initTestCase() {
    // A stalled server gives up within a test's patience.
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "3000");
}

void ThumbnailsTest::decode_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QSize>("picture"); // the thumbnail's own size; invalid: none
    QTest::addColumn<QSize>("pixels");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("message");

    QTest::newRow("a PNG is scaled to fit 160 px")
        << realPng(640, 320) << QByteArray("image/png") << QSize(160, 80) << QSize(640, 320) << u"PNG"_s
        << QString();
    QTest::newRow("a small picture keeps its size")
        << realPng(40, 30) << QByteArray("image/png") << QSize(40, 30) << QSize(40, 30) << u"PNG"_s
        << QString();
    QTest::newRow("a JPEG decodes scaled") << encoded(filled(3200, 1600), "JPEG") << QByteArray("image/jpeg")
                                           << QSize(160, 80) << QSize(3200, 1600) << u"JPEG"_s << QString();
    QTest::newRow("a sliver keeps one pixel") << realPng(4000, 2) << QByteArray("image/png") << QSize(160, 1)
                                              << QSize(4000, 2) << u"PNG"_s << QString();
    QTest::newRow("a header claiming 100,000 x 100,000 is described, never decoded")
        << pngClaiming(100000, 100000) << QByteArray("image/png") << QSize() << QSize(100000, 100000)
        << u"PNG"_s << u"too large"_s;
    QTest::newRow("a PNG bomb: 30,000 x 30,000 of zeros")
        << pngClaiming(30000, 30000, 16 << 20) << QByteArray("image/png") << QSize() << QSize(30000, 30000)
        << u"PNG"_s << u"too large"_s;
    QTest::newRow("a GIF bomb claiming 65,535 x 65,535")
        << gifClaiming(65535, 65535) << QByteArray("image/gif") << QSize() << QSize(65535, 65535) << u"GIF"_s
        << u"too large"_s;
    QTest::newRow("a truncated header: no picture, a reason")
        << QByteArray("\x89PNG\r\n\x1A\n\0\0", 10) << QByteArray("image/png") << QSize() << QSize()
        << u"PNG"_s << u"cannot be shown"_s;
    QTest::newRow("a truncated body keeps the header's size")
        << realPng(300, 200).left(100) << QByteArray("image/png") << QSize() << QSize(300, 200) << u"PNG"_s
        << u"cannot be shown"_s;
    QTest::newRow("a JPEG with 1 MB of Exif before its frame")
        << jpegWithExif(640, 480, 1 << 20) << QByteArray("image/jpeg") << QSize(160, 120) << QSize(640, 480)
        << u"JPEG"_s << QString();
    QTest::newRow("a 0-byte image: its served type, a reason")
        << QByteArray() << QByteArray("image/png") << QSize() << QSize() << u"image/png"_s << u"empty"_s;
    QTest::newRow("an HTML page under an image link is named so")
        << QByteArray("<!doctype html><title>login</title>") << QByteArray("image/jpeg") << QSize() << QSize()
        << u"HTML page"_s << u"an HTML page"_s;
    QTest::newRow("bytes no reader knows: the served type")
        << QByteArray(600, 'x') << QByteArray("image/x-odd; q=1") << QSize() << QSize() << u"image/x-odd"_s
        << u"no picture"_s;
    if (hasSvg()) {
        QTest::newRow("an SVG is drawn at the thumbnail's size; its entity and script are not followed")
            << hostileSvg << QByteArray("image/svg+xml") << QSize(160, 120) << QSize(400, 300) << u"SVG"_s
            << QString();
        QTest::newRow("a huge SVG costs no more than a small one")
            << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100000\" height=\"100000\">"
                          "<rect width=\"10\" height=\"10\"/></svg>")
            << QByteArray("image/svg+xml") << QSize(160, 160) << QSize(100000, 100000) << u"SVG"_s
            << QString();
        QTest::newRow("a compressed SVG is drawn")
            << gzipped(hostileSvg) << QByteArray("image/svg+xml") << QSize(160, 120) << QSize(400, 300)
            << u"SVGZ"_s << QString();
        QTest::newRow("a compressed SVG inflating to 20 MB is not inflated whole")
            << gzipped("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\">" +
                       QByteArray(20 << 20, ' ') + "</svg>")
            << QByteArray("image/svg+xml") << QSize() << QSize() << u"SVGZ"_s << u"cannot be shown"_s;
        QTest::newRow("a compressed SVG cut short")
            << gzipped(hostileSvg).left(100) << QByteArray("image/svg+xml") << QSize() << QSize() << u"SVGZ"_s
            << u"cannot be shown"_s;
        QTest::newRow("an SVG that is not well-formed: a reason")
            << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\"><g>")
            << QByteArray("image/svg+xml") << QSize() << QSize() << u"SVG"_s << u"cannot be shown"_s;
    }
}

void ThumbnailsTest::decode() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(QSize, picture);
    QFETCH(QSize, pixels);
    QFETCH(QString, type);
    QFETCH(QString, message);
    const Thumbnail thumbnail = thumbnails::decode(body, contentType);
    QCOMPARE(thumbnail.image.isNull() ? QSize() : thumbnail.image.size(), picture);
    QCOMPARE(thumbnail.pixelSize, pixels);
    QCOMPARE(thumbnail.type, type);
    QCOMPARE(thumbnail.bytes, qint64(body.size()));
    QVERIFY2(message.isEmpty() ? thumbnail.message.isEmpty() : thumbnail.message.startsWith(message),
             qPrintable(thumbnail.message));
    QVERIFY(!thumbnail.failed);
}

void ThumbnailsTest::svgNeverReadsThisMachinesFiles() {
    if (!hasSvg())
        QSKIP("no SVG reader");
    QTemporaryDir folder;
    const QString red = folder.filePath(u"red.png"_s);
    QVERIFY(filled(100, 100, Qt::red).save(red));
    for (const QString& reference : {red, QUrl::fromLocalFile(red).toString(), u"red.png"_s}) {
        const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                               "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"100\" height=\"100\">"
                               "<rect width=\"100\" height=\"100\" fill=\"white\"/><image width=\"100\" "
                               "height=\"100\" xlink:href=\"" +
                               reference.toUtf8() + "\"/><image width=\"100\" height=\"100\" href=\"" +
                               reference.toUtf8() + "\"/></svg>";
        const Thumbnail thumbnail = thumbnails::decode(svg, "image/svg+xml");
        QVERIFY2(!thumbnail.image.isNull(), qPrintable(thumbnail.message));
        QCOMPARE(QColor(thumbnail.image.pixel(50, 50)), QColor(Qt::white));
        // The preview draws the same picture.
        const PreviewResult previewed = preview::decode(svg, "image/svg+xml");
        QVERIFY2(!previewed.image.isNull(), qPrintable(previewed.message));
        QCOMPARE(QColor(previewed.image.pixel(50, 50)), QColor(Qt::white));
    }
    // A picture carried inside the SVG itself is drawn.
    const QByteArray inside = "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                              "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"100\" height=\"100\">"
                              "<image width=\"100\" height=\"100\" xlink:href=\"data:image/png;base64," +
                              encoded(filled(100, 100, Qt::red), "PNG").toBase64() + "\"/></svg>";
    QCOMPARE(QColor(thumbnails::decode(inside, "image/svg+xml").image.pixel(50, 50)), QColor(Qt::red));
}

void ThumbnailsTest::fetch_data() {
    QTest::addColumn<Behaviour>("image");
    QTest::addColumn<bool>("picture");
    QTest::addColumn<QSize>("pixels");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("failed");

    const QByteArray png = realPng(320, 240);
    QTest::newRow("a PNG") << serve::ok(png, "image/png") << true << QSize(320, 240) << qint64(png.size())
                           << u"PNG"_s << QString() << false;
    QTest::newRow("a Content-Length of 10 over a 100 MB body counts 10 bytes")
        << serve::generated(100 << 20, "image/png").withDeclaredLength(10) << false << QSize() << qint64(10)
        << u"image/png"_s << u"no picture"_s << false;
    QTest::newRow("100 MB of no picture without a length: stopped at its first bytes")
        << serve::generated(100 << 20, "image/png").withoutLength() << false << QSize() << qint64(-1)
        << u"image/png"_s << u"no picture"_s << false;
    QTest::newRow("a picture padded past 64 MiB: not read further")
        << serve::generated(100 << 20, "image/png", png).withoutLength() << false << QSize(320, 240)
        << qint64(-1) << u"PNG"_s << u"too large"_s << false;
    QTest::newRow("a header claiming 100,000 x 100,000: the rest is not fetched")
        << serve::generated(100 << 20, "image/png", pngClaiming(100000, 100000)) << false
        << QSize(100000, 100000) << qint64(100 << 20) << u"PNG"_s << u"too large"_s << false;
    QTest::newRow("a PNG bomb") << serve::ok(pngClaiming(30000, 30000, 16 << 20), "image/png") << false
                                << QSize(30000, 30000) << qint64(pngClaiming(30000, 30000, 16 << 20).size())
                                << u"PNG"_s << u"too large"_s << false;
    QTest::newRow("a GIF bomb") << serve::ok(gifClaiming(65535, 65535), "image/gif") << false
                                << QSize(65535, 65535) << qint64(gifClaiming(65535, 65535).size()) << u"GIF"_s
                                << u"too large"_s << false;
    QTest::newRow("a truncated header")
        << serve::ok(QByteArray("\x89PNG\r\n\x1A\n\0\0", 10), "image/png") << false << QSize() << qint64(10)
        << u"PNG"_s << u"cannot be shown"_s << false;
    const QByteArray exif = jpegWithExif(640, 480, 1 << 20);
    QTest::newRow("a JPEG with 1 MB of Exif before its frame")
        << serve::ok(exif, "image/jpeg") << true << QSize(640, 480) << qint64(exif.size()) << u"JPEG"_s
        << QString() << false;
    if (hasSvg()) {
        QTest::newRow("an SVG with an external entity and a script")
            << serve::ok(hostileSvg, "image/svg+xml") << true << QSize(400, 300) << qint64(hostileSvg.size())
            << u"SVG"_s << QString() << false;
        QTest::newRow("a compressed SVG is read to its end")
            << serve::ok(gzipped(hostileSvg), "image/svg+xml") << true << QSize(400, 300)
            << qint64(gzipped(hostileSvg).size()) << u"SVGZ"_s << QString() << false;
    }
    // Thumbnails ask for no range: one answer, whole, and no second request.
    QTest::newRow("a server that ignores Range")
        << serve::ok(png, "image/png").withHeader("Accept-Ranges", "none") << true << QSize(320, 240)
        << qint64(png.size()) << u"PNG"_s << QString() << false;
    QTest::newRow("a 0-byte image") << serve::ok(QByteArray(), "image/png") << false << QSize() << qint64(0)
                                    << u"image/png"_s << u"empty"_s << false;
    QTest::newRow("an HTML page of 5 MB under an image link: stopped at its start")
        << serve::ok("<!doctype html><title>login</title>" + QByteArray(5 << 20, ' '), "text/html") << false
        << QSize() << qint64((5 << 20) + 35) << u"HTML page"_s << u"an HTML page"_s << false;
    QTest::newRow("a 404 fails, to be tried again later")
        << serve::response(404, "Not Found") << false << QSize() << qint64(-1) << QString() << u"404"_s
        << true;
}

void ThumbnailsTest::fetch() {
    QFETCH(Behaviour, image);
    QFETCH(bool, picture);
    QFETCH(QSize, pixels);
    QFETCH(qint64, bytes);
    QFETCH(QString, type);
    QFETCH(QString, message);
    QFETCH(bool, failed);
    TestServer server;
    server.route("/img/picture", image);
    const QByteArray link = server.address("/img/picture");
    ThumbnailLoader loader;
    QList<QThread*> told;
    connect(&loader, &ThumbnailLoader::ready, this,
            [&](const Thumbnail&) { told << QThread::currentThread(); });
    loader.setRun({}, server.address("/page.html"), server.address("/page.html"));
    loader.want({link});
    const Thumbnail* thumbnail = arrival(loader, link);
    QVERIFY(thumbnail);
    QCOMPARE(!thumbnail->image.isNull(), picture);
    if (picture)
        QVERIFY(qMax(thumbnail->image.width(), thumbnail->image.height()) == thumbnails::edge ||
                thumbnail->image.size() == pixels);
    QCOMPARE(thumbnail->pixelSize, pixels);
    QCOMPARE(thumbnail->bytes, bytes);
    if (!type.isEmpty())
        QCOMPARE(thumbnail->type, type);
    QVERIFY2(message.isEmpty() ? thumbnail->message.isEmpty() : thumbnail->message.contains(message),
             qPrintable(thumbnail->message));
    QCOMPARE(thumbnail->failed, failed);
    // Told once, on the loader's own thread.
    QCOMPARE(told, QList<QThread*>{thread()});
    QCOMPARE(server.paths(), QList<QByteArray>{"/img/picture"});
    QCOMPARE(server.requests().first().header("Referer"), server.address("/page.html"));
    QVERIFY(server.requests().first().header("Range").isNull());
}

void ThumbnailsTest::onlyWantedLinksAreFetched() {
    TestServer server;
    QList<QByteArray> links;
    for (int k = 0; k < 20; ++k) {
        const QByteArray path = "/img/" + QByteArray::number(k) + ".png";
        server.route(path, serve::ok(realPng(40 + k, 30), "image/png").delayed(400));
        links << server.address(path);
    }
    ThumbnailLoader loader;
    QSignalSpy ready(&loader, &ThumbnailLoader::ready);
    loader.want(links);
    // A few at a time: the first go on the wire, the rest wait their turn.
    QVERIFY(server.waitForRequests(thumbnails::parallel));
    QTest::qWait(100);
    QCOMPARE(server.requests().size(), thumbnails::parallel);
    // The view scrolled: only these are wanted now.
    const QList<QByteArray> now = links.mid(12, 3);
    loader.want(now);
    for (const QByteArray& link : now)
        QVERIFY(arrival(loader, link));
    QTest::qWait(600);
    QSet<QByteArray> asked;
    for (const QByteArray& path : server.paths())
        asked.insert(server.address(path));
    for (int k = 0; k < links.size(); ++k)
        QVERIFY2(asked.contains(links[k]) == (k < thumbnails::parallel || (k >= 12 && k < 15)),
                 links[k].constData());
    // Those dropped on the wire tell nothing; the wanted ones their picture.
    QCOMPARE(ready.size(), now.size());
    for (int k = 0; k < thumbnails::parallel; ++k)
        QVERIFY(!loader.known(links[k]));
    // Wanted again, what is known is not asked for again.
    const int before = server.requests().size();
    loader.want(now);
    QTest::qWait(200);
    QCOMPARE(server.requests().size(), before);
}

void ThumbnailsTest::fetchedAgain_data() {
    QTest::addColumn<Behaviour>("image");
    QTest::addColumn<QList<bool>>("wants"); // true: the link is wanted; false: an empty want()
    QTest::addColumn<bool>("learnt");       // the preview told its facts first
    QTest::addColumn<int>("requests");

    const Behaviour png = serve::ok(realPng(30, 20), "image/png");
    const Behaviour missing = serve::response(404, "Not Found");
    QTest::newRow("a picture kept is not fetched again")
        << png << QList<bool>{true, true, false, true} << false << 1;
    QTest::newRow("a failure is not tried again while in sight")
        << missing << QList<bool>{true, true} << false << 1;
    QTest::newRow("a failure is tried again once out of sight and back")
        << missing << QList<bool>{true, false, true} << false << 2;
    QTest::newRow("the preview's facts do not stand for a picture") << png << QList<bool>{true} << true << 1;
}

void ThumbnailsTest::fetchedAgain() {
    QFETCH(Behaviour, image);
    QFETCH(QList<bool>, wants);
    QFETCH(bool, learnt);
    QFETCH(int, requests);
    TestServer server;
    server.route("/a.png", image);
    const QByteArray link = server.address("/a.png");
    ThumbnailLoader loader;
    if (learnt) {
        Thumbnail facts;
        facts.link = link;
        facts.pixelSize = QSize(30, 20);
        facts.type = u"PNG"_s;
        loader.learn(facts);
        QCOMPARE(loader.known(link)->pixelSize, QSize(30, 20));
    }
    QSignalSpy ready(&loader, &ThumbnailLoader::ready);
    for (const bool wanted : wants) {
        const int expected = server.requests().size() + 1;
        loader.want(wanted ? QList<QByteArray>{link} : QList<QByteArray>{});
        if (wanted && server.waitForRequests(expected, 1000))
            QTRY_COMPARE(ready.size(), expected);
    }
    QCOMPARE(server.requests().size(), requests);
    QCOMPARE(loader.known(link)->image.isNull(), image.status != 200);
}

void ThumbnailsTest::requestsCarryTheRunOptions_data() {
    QTest::addColumn<bool>("otherHost"); // the image is on another host than the page
    QTest::addColumn<bool>("page");      // the loader was told the page
    QTest::addColumn<bool>("eachLink");  // credentials go to each link's own origin
    QTest::addColumn<bool>("credential");
    QTest::addColumn<bool>("followed"); // the image was found on a followed page of the page's host

    QTest::newRow("the page's host gets the credential") << false << true << false << true << false;
    QTest::newRow("another host does not") << true << true << false << false << false;
    QTest::newRow("with no page, no host does") << false << false << false << false << false;
    QTest::newRow("each link's own origin, when asked") << true << true << true << true << false;
    QTest::newRow("a followed page's image names that page") << false << true << false << true << true;
    QTest::newRow("another host is told the followed page's origin")
        << true << true << false << false << true;
}

void ThumbnailsTest::requestsCarryTheRunOptions() {
    QFETCH(bool, otherHost);
    QFETCH(bool, page);
    QFETCH(bool, eachLink);
    QFETCH(bool, credential);
    QFETCH(bool, followed);
    TestServer pages;
    TestServer other("127.0.0.2");
    if (otherHost && !other.isListening())
        QSKIP("127.0.0.2 is not available on this machine");
    TestServer& images = otherHost ? other : pages;
    images.route("/a.png", serve::ok(realPng(30, 20), "image/png"));
    QTemporaryDir folder;
    const QString cookies = folder.filePath(u"cookies.txt"_s);
    QFile file(cookies);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("127.0.0.1\tFALSE\t/\tFALSE\t0\tsession\tabc123\n"
               "127.0.0.2\tFALSE\t/\tFALSE\t0\tsession\tabc123\n");
    file.close();
    net::RunOptions options;
    options.userAgent = "Thumbnailer/2";
    options.headers = {"X-Gallery: yes", "Authorization: Bearer s3cret"};
    options.cookieFile = cookies;
    options.credentialsForEachLink = eachLink;
    ThumbnailLoader loader;
    const QByteArray pageAddress = pages.address("/page.html");
    const QByteArray followedPage = pages.address("/gallery/followed.html");
    QHash<QByteArray, QByteArray> followedFrom;
    if (followed)
        followedFrom.insert(images.address("/a.png"), followedPage);
    loader.setRun(options, pageAddress, page ? pageAddress : QByteArray(), followedFrom);
    loader.want({images.address("/a.png")});
    QVERIFY(arrival(loader, images.address("/a.png")));
    const RecordedRequest request = images.requests().first();
    QCOMPARE(request.header("User-Agent"), QByteArray("Thumbnailer/2"));
    QCOMPARE(request.header("X-Gallery"), QByteArray("yes"));
    // Another origin is told the page's origin only, as browsers do.
    QCOMPARE(request.header("Referer"), otherHost  ? pages.base() + '/'
                                        : followed ? followedPage
                                                   : pageAddress);
    QCOMPARE(request.cookies(), QByteArrayList{"session=abc123"});
    QCOMPARE(request.header("Authorization"), credential ? QByteArray("Bearer s3cret") : QByteArray());
}

void ThumbnailsTest::cacheStaysWithinItsBound_data() {
    QTest::addColumn<int>("room"); // in thumbnails of 160 x 80
    QTest::newRow("room for all") << 100;
    QTest::newRow("room for three") << 3;
}

void ThumbnailsTest::cacheStaysWithinItsBound() {
    QFETCH(int, room);
    const qint64 each = 160 * 80 * 4;
    TestServer server;
    QList<QByteArray> links;
    for (int k = 0; k < 8; ++k) {
        const QByteArray path = "/img/" + QByteArray::number(k) + ".png";
        server.route(path, serve::ok(realPng(320, 160), "image/png"));
        links << server.address(path);
    }
    ThumbnailLoader loader;
    loader.setCacheLimit(room * each);
    QSignalSpy ready(&loader, &ThumbnailLoader::ready);
    loader.want(links);
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), links.size(), 10000);
    QVERIFY(loader.cacheCost() <= room * each);
    int pictures = 0;
    for (const QByteArray& link : links) {
        // Every one keeps its facts, pictures or not.
        QCOMPARE(loader.known(link)->pixelSize, QSize(320, 160));
        pictures += loader.known(link)->image.isNull() ? 0 : 1;
    }
    QCOMPARE(pictures, qMin(room, int(links.size())));
    QCOMPARE(loader.cacheCost(), pictures * each);
    // A picture let go is fetched again once it is wanted; the others are not.
    loader.want({links.first()});
    QVERIFY(arrival(loader, links.first()));
    QTRY_VERIFY(!loader.known(links.first())->image.isNull());
    QCOMPARE(server.paths().count("/img/0.png"), room >= links.size() ? 1 : 2);
    QVERIFY(loader.cacheCost() <= room * each);
    loader.clear();
    QCOMPARE(loader.cacheCost(), 0);
    QVERIFY(!loader.known(links.first()));
}

void ThumbnailsTest::destroyedMidFetchEndsPromptly() {
    TestServer server;
    QList<QByteArray> links;
    for (int k = 0; k < 10; ++k) {
        const QByteArray path = "/img/" + QByteArray::number(k) + ".png";
        server.route(path, k % 2 ? serve::stall() : serve::headersThenStall(1 << 20));
        links << server.address(path);
    }
    auto loader = std::make_unique<ThumbnailLoader>();
    QSignalSpy ready(loader.get(), &ThumbnailLoader::ready);
    loader->want(links);
    QVERIFY(server.waitForRequests(thumbnails::parallel));
    QElapsedTimer clock;
    clock.start();
    loader.reset();
    // Well before any transfer's time-out would end it.
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(50);
    QCOMPARE(ready.size(), 0);
}

void ThumbnailsTest::previewShowsWhatTheThumbnailsKnow() {
    TestServer server;
    // The thumbnail's fetch is answered; the preview's own waits.
    server.route("/a.png", serve::ok(realPng(320, 240), "image/png"));
    ThumbnailLoader thumbnails;
    thumbnails.want({server.address("/a.png")});
    QVERIFY(arrival(thumbnails, server.address("/a.png")));
    server.route("/a.png", serve::stall());
    PreviewWindow preview(nullptr);
    preview.setThumbnails(&thumbnails);
    preview.showLink(server.address("/a.png"), {});
    QVERIFY(preview.loading());
    QVERIFY2(preview.infoText().contains(u"PNG, 320 x 240 pixels"_s), qPrintable(preview.infoText()));
    QVERIFY(preview.infoText().contains(u"Loading..."_s));
    preview.showNothing();

    // A body the thumbnails still hold is shown without a fetch of its own.
    server.route("/b.png", serve::ok(realPng(640, 480), "image/png"));
    thumbnails.want({server.address("/b.png")});
    QVERIFY(arrival(thumbnails, server.address("/b.png")));
    server.route("/b.png", serve::stall());
    const qsizetype asked = server.requests().size();
    preview.showLink(server.address("/b.png"), {});
    QTRY_VERIFY_WITH_TIMEOUT(preview.showsPicture(), 5000);
    QVERIFY2(preview.infoText().contains(u"PNG, 640 x 480 pixels"_s), qPrintable(preview.infoText()));
    QCOMPARE(server.requests().size(), asked);
}

QTEST_MAIN(ThumbnailsTest)
#include "tst_thumbnails.moc"
