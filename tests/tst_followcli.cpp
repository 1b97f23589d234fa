#include "support/CliRunner.h"
#include "support/TestServer.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

using namespace Qt::StringLiterals;

namespace {

QStringList args(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* a : list)
        out << QString::fromUtf8(a);
    return out;
}

bool haveChromium() {
    return !QStandardPaths::findExecutable(u"chromium"_s).isEmpty();
}

// Chromium reaches nothing but the loopback servers.
const QString loopbackOnly =
    u"--proxy-server=http://127.0.0.1:9 \"--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1\""_s;

// A gallery of thumbnails on host A linking to the pages of their full pictures (each with its
// navigation links and an advertisement), to a picture directly, to a page on host B, to itself,
// and to the same page twice. The pictures' addresses on the followed pages are absolute, so
// every find mode resolves them alike.
void serveGallery(TestServer& a, TestServer& b) {
    const QByteArray A = a.base();
    const QByteArray B = b.base();
    a.route("/gallery/", serve::ok("<h1>Gallery</h1>\n"
                                   "<a href=\"photo/1.html\"><img src=\"thumbs/1.jpg\"></a>\n"
                                   "<a href=\"photo/2.html\"><img src=\"thumbs/2.jpg\"></a>\n"
                                   "<a href=\"photo/1.html#comments\"><img src=\"thumbs/1b.jpg\"></a>\n"
                                   "<a href=\"full/3.jpg\"><img src=\"thumbs/3.jpg\"></a>\n"
                                   "<a href=\"" +
                                   B +
                                   "/photo/4.html\"><img src=\"thumbs/4.jpg\"></a>\n"
                                   "<a href=\"./\"><img src=\"thumbs/self.jpg\"></a>\n"
                                   "<a href=\"javascript:show(5)\"><img src=\"thumbs/js.jpg\"></a>\n"
                                   "<a href=\"mailto:me@example.org\"><img src=\"thumbs/mail.jpg\"></a>\n"
                                   "<a href=\"about.html\">About this gallery</a>\n"));
    a.route("/gallery/photo/1.html",
            serve::ok("<a href=\"../\">Back</a> <a href=\"2.html\">Next</a>\n<img src=\"" + A +
                      "/img/1-full.jpg\">\n<img src=\"" + A + "/ads/banner.gif\">\n"));
    a.route("/gallery/photo/2.html",
            serve::ok("<a href=\"1.html\">Previous</a>\n<img src=\"" + A + "/img/2-full.jpg\">\n<img src=\"" +
                      A + "/ads/banner.gif\">\n"));
    a.route("/gallery/about.html", serve::ok("<img src=\"" + A + "/img/team.jpg\">"));
    b.route("/photo/4.html", serve::ok("<img src=\"" + B + "/img/4-full.jpg\">"));
}

QByteArray filled(QByteArray text, const TestServer& a, const TestServer& b) {
    return text.replace("{A}", a.base()).replace("{B}", b.base());
}

const QByteArray galleryOwn =
    "{A}/gallery/thumbs/1.jpg\n{A}/gallery/thumbs/2.jpg\n{A}/gallery/thumbs/1b.jpg\n"
    "{A}/gallery/full/3.jpg\n{A}/gallery/thumbs/3.jpg\n{A}/gallery/thumbs/4.jpg\n"
    "{A}/gallery/thumbs/self.jpg\n{A}/gallery/thumbs/js.jpg\n"
    "{A}/gallery/thumbs/mail.jpg\n";

} // namespace

class TestFollowCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void gallery_data();
    void gallery();
    void sizesOnTheFollowedPages_data();
    void sizesOnTheFollowedPages();
    void renderedShowsTheFollowedPages_data();
    void renderedShowsTheFollowedPages();
    void viaInJson_data();
    void viaInJson();
    void requestsOfTheFollowedPages();
    void badPages_data();
    void badPages();
    void manyLinksStopAtTheMaximum();
    void badArguments_data();
    void badArguments();
    void downloadFollowsToo();

private:
    CliResult run(const QStringList& arguments, QList<std::pair<QString, QString>> env = {});
    QTemporaryDir m_tmp;
};

void TestFollowCli::initTestCase() {
    TestServer probe("127.0.0.2");
    if (!probe.isListening())
        QSKIP("this machine has no 127.0.0.2");
}

CliResult TestFollowCli::run(const QStringList& arguments, QList<std::pair<QString, QString>> env) {
    CliOptions options;
    options.environment = std::move(env);
    options.environment << std::pair(u"VARNOLUX_CHROMIUM_FLAGS"_s, loopbackOnly)
                        << std::pair(u"TMPDIR"_s, m_tmp.path());
    options.timeLimitMs = 90000;
    return runVarnolux(arguments, options);
}

void TestFollowCli::gallery_data() {
    QTest::addColumn<QString>("find");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray thumbnailsOwn =
        galleryOwn + "{A}/img/1-full.jpg\n{A}/ads/banner.gif\n{A}/img/2-full.jpg\n";
    for (const char* find : {"classic", "browser", "rendered"}) {
        const QString mode = QString::fromLatin1(find);
        QTest::addRow("%s: without --follow the listing is the page's alone", find)
            << mode << QStringList() << galleryOwn;
        QTest::addRow("%s: --follow none changes nothing", find)
            << mode << args({"--follow", "none"}) << galleryOwn;
        QTest::addRow("%s: thumbnails on the page's host, each page once, its images after the page's", find)
            << mode << args({"--follow", "thumbnails"}) << thumbnailsOwn;
        QTest::addRow("%s: another host when --follow-hosts names it", find)
            << mode << args({"--follow", "thumbnails", "--follow-hosts", "127.0.0.2"})
            << thumbnailsOwn + "{B}/img/4-full.jpg\n";
        QTest::addRow("%s: links follows the text links too", find)
            << mode << args({"--follow", "links"}) << thumbnailsOwn + "{A}/img/team.jpg\n";
        QTest::addRow("%s: --follow-max counts the first targets only", find)
            << mode << args({"--follow", "thumbnails", "--follow-max", "1"})
            << galleryOwn + "{A}/img/1-full.jpg\n{A}/ads/banner.gif\n";
    }
}

void TestFollowCli::gallery() {
    QFETCH(QString, find);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, expected);
    if (find == "rendered"_L1 && !haveChromium())
        QSKIP("chromium is not installed (scripts/setup installs it)");
    TestServer a;
    TestServer b("127.0.0.2");
    serveGallery(a, b);
    const CliResult r = run(QStringList{u"list"_s, u"--find"_s, find, u"--render-time"_s, u"2"_s}
                            << options << QString::fromLatin1(a.address("/gallery/")));
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, filled(expected, a, b));
    // No followed page failed here: standard error holds no warning.
    QVERIFY2(!r.err.contains("warning"), r.err.constData());
}

void TestFollowCli::sizesOnTheFollowedPages_data() {
    QTest::addColumn<QString>("find");
    QTest::addColumn<QString>("sizes");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray all =
        "{A}/s/t-1.jpg\n{A}/s/t-2.jpg\n{A}/s/t.jpg\n{A}/b-640.jpg\n{A}/b-1280.jpg\n{A}/b-1920.jpg\n"
        "{A}/b-768.jpg\n{A}/b-320.jpg\n{A}/b.jpg\n{A}/b-2x.jpg\n{A}/x1.jpg\n{A}/x2.jpg\n{A}/x3.jpg\n";
    const QByteArray largest = "{A}/s/t-2.jpg\n{A}/b-1920.jpg\n{A}/x3.jpg\n";
    // The byte scan knows no srcset: it lists the src values, whatever --sizes says.
    const QByteArray classic = "{A}/s/t.jpg\n{A}/b.jpg\n{A}/x1.jpg\n";
    QTest::newRow("classic, all sizes") << u"classic"_s << u"all"_s << classic;
    QTest::newRow("classic, largest changes nothing") << u"classic"_s << u"largest"_s << classic;
    QTest::newRow("browser, all sizes") << u"browser"_s << u"all"_s << all;
    QTest::newRow("browser, largest") << u"browser"_s << u"largest"_s << largest;
    QTest::newRow("rendered, largest") << u"rendered"_s << u"largest"_s << largest;
}

void TestFollowCli::sizesOnTheFollowedPages() {
    QFETCH(QString, find);
    QFETCH(QString, sizes);
    QFETCH(QByteArray, expected);
    if (find == "rendered"_L1 && !haveChromium())
        QSKIP("chromium is not installed (scripts/setup installs it)");
    TestServer a;
    const QByteArray A = a.base();
    a.route("/s/", serve::ok("<a href=\"big.html\"><picture><source srcset=\"t-1.jpg 100w, t-2.jpg 200w\">"
                             "<img src=\"t.jpg\"></picture></a>"));
    // A picture in five sizes, and an img with x descriptors.
    a.route("/s/big.html",
            serve::ok("<picture><source srcset=\"" + A + "/b-640.jpg 640w, " + A + "/b-1280.jpg 1280w, " + A +
                      "/b-1920.jpg 1920w\" media=\"(min-width: 800px)\"><source srcset=\"" + A +
                      "/b-768.jpg 768w, " + A + "/b-320.jpg 320w\"><img src=\"" + A + "/b.jpg\" srcset=\"" +
                      A + "/b-2x.jpg 2x\"></picture>\n<img src=\"" + A + "/x1.jpg\" srcset=\"" + A +
                      "/x2.jpg 2x, " + A + "/x3.jpg 3x\">"));
    const CliResult r = run({u"list"_s, u"--find"_s, find, u"--render-time"_s, u"2"_s, u"--sizes"_s, sizes,
                             u"--follow"_s, u"thumbnails"_s, QString::fromLatin1(a.address("/s/"))});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray(expected).replace("{A}", A));
}

void TestFollowCli::renderedShowsTheFollowedPages_data() {
    QTest::addColumn<QString>("find");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("browser: the script's picture is not there without scripts")
        << u"browser"_s << QByteArray("{A}/r/thumb.jpg\n{A}/r/static.jpg\n");
    QTest::newRow("rendered: the followed page's script builds its picture")
        << u"rendered"_s << QByteArray("{A}/r/thumb.jpg\n{A}/r/static.jpg\n{A}/r/built.jpg\n");
}

void TestFollowCli::renderedShowsTheFollowedPages() {
    QFETCH(QString, find);
    QFETCH(QByteArray, expected);
    if (find == "rendered"_L1 && !haveChromium())
        QSKIP("chromium is not installed (scripts/setup installs it)");
    TestServer a;
    a.route("/r/", serve::ok("<a href=\"photo.html\"><img src=\"thumb.jpg\"></a>"));
    a.route("/r/photo.html", serve::ok("<img src=\"static.jpg\"><div id=p></div><script>"
                                       "const i = document.createElement('img'); i.src = 'built.jpg';"
                                       "document.getElementById('p').appendChild(i);</script>"));
    const CliResult r = run({u"list"_s, u"--find"_s, find, u"--render-time"_s, u"2"_s, u"--follow"_s,
                             u"thumbnails"_s, QString::fromLatin1(a.address("/r/"))});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray(expected).replace("{A}", a.base()));
    // The browser was shown the page fetched through the run's own connections: it did not ask
    // for it again.
    QCOMPARE(a.paths().count("/r/photo.html"), 1);
}

void TestFollowCli::viaInJson_data() {
    QTest::addColumn<QString>("find");
    QTest::addColumn<QByteArray>("own"); // what the page's own entries add to their url
    QTest::newRow("browser") << u"browser"_s << QByteArray();
    QTest::newRow("rendered: the page's entries say where they were found")
        << u"rendered"_s << QByteArray(", \"found\": \"document\"");
}

void TestFollowCli::viaInJson() {
    QFETCH(QString, find);
    QFETCH(QByteArray, own);
    if (find == "rendered"_L1 && !haveChromium())
        QSKIP("chromium is not installed (scripts/setup installs it)");
    TestServer a;
    TestServer b("127.0.0.2");
    serveGallery(a, b);
    const CliResult r = run({u"list"_s, u"--find"_s, find, u"--render-time"_s, u"2"_s, u"--json"_s,
                             u"--follow"_s, u"thumbnails"_s, QString::fromLatin1(a.address("/gallery/"))});
    QCOMPARE(r.exitCode, 0);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 12);
    QCOMPARE(lines.at(0), filled("{\"url\": \"{A}/gallery/thumbs/1.jpg\"" + own + "}", a, b));
    // The followed page as linked, the fragment of the second link to it dropped.
    QCOMPARE(lines.at(9),
             filled("{\"url\": \"{A}/img/1-full.jpg\", \"via\": \"{A}/gallery/photo/1.html\"}", a, b));
    QCOMPARE(lines.at(11),
             filled("{\"url\": \"{A}/img/2-full.jpg\", \"via\": \"{A}/gallery/photo/2.html\"}", a, b));
}

void TestFollowCli::requestsOfTheFollowedPages() {
    TestServer a;
    TestServer b("127.0.0.2");
    serveGallery(a, b);
    // The gallery is reached through a redirect: the followed pages name its final address.
    a.route("/old.html", serve::redirect("/gallery/"));
    const CliResult r = run({u"list"_s, u"--find"_s, u"browser"_s, u"--follow"_s, u"links"_s,
                             u"--follow-hosts"_s, u"127.0.0.2"_s, u"--user-agent"_s, u"GalleryTest/1"_s,
                             QString::fromLatin1(a.address("/old.html"))});
    QCOMPARE(r.exitCode, 0);
    QHash<QByteArray, RecordedRequest> byPath;
    for (const RecordedRequest& request : a.requests() + b.requests()) {
        QVERIFY2(!byPath.contains(request.path), request.path.constData()); // each page once
        byPath.insert(request.path, request);
    }
    QCOMPARE(QSet<QByteArray>(byPath.keyBegin(), byPath.keyEnd()),
             (QSet<QByteArray>{"/old.html", "/gallery/", "/gallery/photo/1.html", "/gallery/photo/2.html",
                               "/gallery/about.html", "/photo/4.html"}));
    QCOMPARE(byPath["/gallery/photo/1.html"].header("Referer"), a.address("/gallery/"));
    QCOMPARE(byPath["/gallery/photo/1.html"].header("User-Agent"), "GalleryTest/1");
    // To another site, only the origin, as a browser sends it.
    QCOMPARE(byPath["/photo/4.html"].header("Referer"), a.address("/"));

    a.clearRequests();
    const CliResult none = run({u"list"_s, u"--follow"_s, u"thumbnails"_s, u"--no-referer"_s,
                                QString::fromLatin1(a.address("/gallery/"))});
    QCOMPARE(none.exitCode, 0);
    for (const RecordedRequest& request : a.requests())
        QVERIFY2(request.header("Referer").isNull(), request.path.constData());
}

void TestFollowCli::badPages_data() {
    QTest::addColumn<QByteArray>("link");            // the target's path on host A
    QTest::addColumn<QStringList>("options");        // more options
    QTest::addColumn<QByteArray>("expectedClassic"); // after the page's own thumbnail
    QTest::addColumn<QByteArray>("expectedBrowser");
    QTest::addColumn<QByteArray>("warning"); // in the one warning line; empty: none

    QTest::newRow("a redirect to a host not allowed is refused")
        << QByteArray("/to-b") << QStringList() << QByteArray() << QByteArray()
        << QByteArray("adds nothing: the server redirected to {B}/photo/4.html, a host that is not followed");
    QTest::newRow("a redirect to a host --follow-hosts allows is followed")
        << QByteArray("/to-b") << args({"--follow-hosts", "127.0.0.2"}) << QByteArray("{B}/img/4-full.jpg\n")
        << QByteArray("{B}/img/4-full.jpg\n") << QByteArray();
    QTest::newRow("a redirect loop ends at the redirect limit")
        << QByteArray("/loop0") << QStringList() << QByteArray() << QByteArray()
        << QByteArray("the server redirected more than 20 times");
    QTest::newRow("a page that never ends runs into the idle time")
        << QByteArray("/stall") << QStringList() << QByteArray() << QByteArray()
        << QByteArray("no data arrived for 0.5 seconds");
    QTest::newRow("an endless body without a length is dropped whole at 16 MiB")
        << QByteArray("/endless") << QStringList() << QByteArray() << QByteArray()
        << QByteArray("the page is larger than 16777216 bytes");
    QTest::newRow("a 2 GiB page is not read past its headers")
        << QByteArray("/huge") << QStringList() << QByteArray() << QByteArray()
        << QByteArray("the page is larger than 16777216 bytes");
    QTest::newRow("an error page's body is never listed")
        << QByteArray("/missing.html") << QStringList() << QByteArray() << QByteArray()
        << QByteArray("the server answered HTTP 404 Not Found");
    QTest::newRow("a picture behind a page-like link is no page")
        << QByteArray("/picture.php") << QStringList() << QByteArray() << QByteArray()
        << QByteArray("it is not an HTML page (image/jpeg)");
    QTest::newRow("a page in a legacy encoding: the browser reads it in its charset")
        << QByteArray("/latin.html") << QStringList() << QByteArray("{A}/img/caf\xE9.jpg\n")
        << QByteArray("{A}/img/caf%C3%A9.jpg\n") << QByteArray();
    QTest::newRow("a page in UTF-16: the browser decodes it, the byte scan finds nothing")
        << QByteArray("/utf16.html") << QStringList() << QByteArray() << QByteArray("{A}/img/sixteen.jpg\n")
        << QByteArray();
    QTest::newRow("a server that cannot be reached")
        << QByteArray("{B9}") << args({"--follow-hosts", "127.0.0.2"}) << QByteArray() << QByteArray()
        << QByteArray("the server could not be reached");
}

void TestFollowCli::badPages() {
    QFETCH(QByteArray, link);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, expectedClassic);
    QFETCH(QByteArray, expectedBrowser);
    QFETCH(QByteArray, warning);
    TestServer a;
    TestServer b("127.0.0.2");
    serveGallery(a, b);
    a.route("/to-b", serve::redirect(b.address("/photo/4.html")));
    a.redirectChain("/loop", 3, serve::redirect("/loop0"));
    a.route("/stall", serve::rawHeaders("Content-Type: text/html\r\nContent-Length: 100000\r\n", {}, 200,
                                        serve::End::Stall));
    Behaviour endless = serve::generated(qint64(1) << 40, "text/html", "<img src=x.jpg>").withoutLength();
    a.route("/endless", endless);
    a.route("/huge", serve::generated(qint64(2) << 30, "text/html", "<img src=x.jpg>"));
    a.route("/missing.html",
            serve::response(404, "Not Found", {{"Content-Type", "text/html"}}, "<img src=\"/img/404.jpg\">"));
    a.route("/picture.php", serve::ok("\xFF\xD8\xFF\xE0 not a page <img src=\"x.jpg\">", "image/jpeg"));
    a.route("/latin.html",
            serve::ok("<img src=\"" + a.base() + "/img/caf\xE9.jpg\">", "text/html; charset=windows-1252"));
    QByteArray sixteen("\xFF\xFE", 2);
    for (const char c : QByteArray("<img src=\"" + a.base() + "/img/sixteen.jpg\">"))
        sixteen.append(c).append('\0');
    a.route("/utf16.html", serve::ok(sixteen, "text/html"));
    // A port of host B where nothing listens.
    const QByteArray target = link == "{B9}" ? QByteArray("http://127.0.0.2:9/closed.html") : a.address(link);
    a.route("/page/", serve::ok("<a href=\"" + target + "\"><img src=\"thumb.jpg\"></a>"));
    for (const char* find : {"classic", "browser"}) {
        const CliResult r =
            run(QStringList{u"list"_s, u"--find"_s, QString::fromLatin1(find), u"--follow"_s, u"thumbnails"_s}
                    << options << QString::fromLatin1(a.address("/page/")),
                {{u"VARNOLUX_IDLE_TIMEOUT_MS"_s, u"500"_s}});
        QVERIFY2(r.finished, qPrintable(r.errorString));
        // However the followed page fails, the listing succeeds.
        QCOMPARE(r.exitCode, 0);
        const QByteArray expected = std::strcmp(find, "classic") == 0 ? expectedClassic : expectedBrowser;
        QCOMPARE(r.out, filled("{A}/page/thumb.jpg\n" + expected, a, b));
        const QList<QByteArray> warnings = r.err.trimmed().split('\n');
        if (warning.isEmpty()) {
            QCOMPARE(r.err, QByteArray());
        } else {
            QCOMPARE(warnings.size(), 1);
            QVERIFY2(warnings.first().startsWith("varnolux: warning: the linked page " + target),
                     r.err.constData());
            QVERIFY2(warnings.first().contains(filled(warning, a, b)), r.err.constData());
        }
    }
}

void TestFollowCli::manyLinksStopAtTheMaximum() {
    TestServer a;
    QByteArray gallery;
    for (int i = 0; i < 100000; ++i)
        gallery +=
            "<a href=p/" + QByteArray::number(i) + ".html><img src=t" + QByteArray::number(i) + ".png></a>\n";
    a.route("/many/", serve::ok(gallery));
    a.setFallback([&a](const RecordedRequest& request) {
        return serve::ok("<img src=\"" + a.base() + "/full" +
                         request.path.mid(request.path.lastIndexOf('/')) + ".jpg\">");
    });
    for (const auto& [max, expected] :
         {std::pair{QStringList{}, 200}, std::pair{args({"--follow-max", "7"}), 7}}) {
        a.clearRequests();
        const CliResult r = run(QStringList{u"list"_s, u"--find"_s, u"browser"_s, u"--follow"_s,
                                            u"thumbnails"_s, u"--parallel"_s, u"4"_s}
                                << max << QString::fromLatin1(a.address("/many/")));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(a.requests().size(), 1 + expected);
        const QList<QByteArray> lines = r.out.trimmed().split('\n');
        QCOMPARE(lines.size(), expected);
        // The followed pages' images come in the order of their links, whatever order they arrived in.
        QCOMPARE(lines.first(), a.address("/full/0.html.jpg"));
        QCOMPARE(lines.last(), a.address("/full/" + QByteArray::number(expected - 1) + ".html.jpg"));
    }
}

void TestFollowCli::badArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("named");
    QTest::newRow("an unknown --follow value")
        << args({"list", "--follow", "all", "http://127.0.0.1:9/"}) << QByteArray("'--follow'");
    QTest::newRow("an unknown --sizes value")
        << args({"list", "--sizes", "big", "http://127.0.0.1:9/"}) << QByteArray("'--sizes'");
    QTest::newRow("--follow-max 0") << args({"list", "--follow", "links", "--follow-max", "0",
                                             "http://127.0.0.1:9/"})
                                    << QByteArray("'--follow-max'");
    QTest::newRow("--follow-max above 10,000")
        << args({"list", "--follow", "links", "--follow-max=10001", "http://127.0.0.1:9/"})
        << QByteArray("'--follow-max'");
    QTest::newRow("--follow-max without --follow")
        << args({"list", "--follow-max", "5", "http://127.0.0.1:9/"}) << QByteArray("'--follow-max'");
    QTest::newRow("--follow-hosts with --follow none")
        << args({"download", "--follow", "none", "--follow-hosts", "a.test", "http://127.0.0.1:9/", "."})
        << QByteArray("'--follow-hosts'");
    QTest::newRow("--follow-hosts with a port")
        << args({"list", "--follow", "thumbnails", "--follow-hosts", "a.test:80", "http://127.0.0.1:9/"})
        << QByteArray("'--follow-hosts'");
    QTest::newRow("--follow-hosts empty")
        << args({"list", "--follow", "thumbnails", "--follow-hosts=", "http://127.0.0.1:9/"})
        << QByteArray("'--follow-hosts'");
}

void TestFollowCli::badArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, named);
    TestServer never;
    arguments.replace(arguments.indexOf(u"http://127.0.0.1:9/"_s), QString::fromLatin1(never.address("/")));
    const CliResult r = run(arguments);
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(named), r.err.constData());
    QCOMPARE(r.out, QByteArray());
    // Refused before any request.
    QCOMPARE(never.requests().size(), 0);
}

void TestFollowCli::downloadFollowsToo() {
    TestServer a;
    TestServer b("127.0.0.2");
    serveGallery(a, b);
    a.setFallback([](const RecordedRequest& request) {
        return request.path.endsWith(".jpg") || request.path.endsWith(".gif")
                   ? serve::ok("picture " + request.path, "image/jpeg")
                   : serve::response(404, "Not Found");
    });
    QTemporaryDir folder;
    const CliResult r = run({u"download"_s, u"--find"_s, u"browser"_s, u"--follow"_s, u"thumbnails"_s,
                             QString::fromLatin1(a.address("/gallery/")), folder.path()});
    QCOMPARE(r.exitCode, 0);
    QFile full(folder.filePath(u"1-full.jpg"_s));
    QVERIFY(full.open(QIODevice::ReadOnly));
    QCOMPARE(full.readAll(), "picture /img/1-full.jpg");
    QVERIFY(QFile::exists(folder.filePath(u"banner.gif"_s)));
    QVERIFY(QFile::exists(folder.filePath(u"2-full.jpg"_s)));
    // Each picture names the page it was found on, as the browser showing that page would.
    QHash<QByteArray, QByteArray> referers;
    for (const RecordedRequest& request : a.requests())
        referers.insert(request.path, request.header("Referer"));
    QCOMPARE(referers.value("/gallery/thumbs/1.jpg"), a.address("/gallery/"));
    QCOMPARE(referers.value("/img/1-full.jpg"), a.address("/gallery/photo/1.html"));
    QCOMPARE(referers.value("/img/2-full.jpg"), a.address("/gallery/photo/2.html"));
    // The banner of both pages was found on the first.
    QCOMPARE(referers.value("/ads/banner.gif"), a.address("/gallery/photo/1.html"));
}

QTEST_GUILESS_MAIN(TestFollowCli)
#include "tst_followcli.moc"
