#include "support/CliRunner.h"
#include "support/TestServer.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

namespace {

using namespace Qt::StringLiterals;

// Chromium reaches nothing but loopback: a proxy that refuses every connection, which Chromium
// never uses for loopback, and a resolver that knows no names and maps every address but the two
// the tests serve on to none.
const QString loopbackOnly =
    u"--proxy-server=http://127.0.0.1:9 \"--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1, EXCLUDE 127.0.0.2\""_s;

QByteArray gif() {
    return QByteArray::fromBase64("R0lGODlhAQABAIAAAAAAAP///ywAAAAAAQABAAACAUwAOw==");
}

// Every address that ends in an image's name is a small image; other unknown paths are 404s.
std::function<Behaviour(const RecordedRequest&)> images() {
    return [](const RecordedRequest& r) {
        const QByteArray path = r.path.left(r.path.indexOf('?') < 0 ? r.path.size() : r.path.indexOf('?'));
        if (path.endsWith(".gif") || path.endsWith(".jpg") || path.endsWith(".png"))
            return serve::ok(gif(), "image/gif");
        return serve::response(404, "Not Found", {}, "no");
    };
}

// The processes whose command line names path (the browser's, by its profile), zombies aside.
QList<qint64> processesNaming(const QString& path) {
    QList<qint64> found;
    QDirIterator it(u"/proc"_s, QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        bool number = false;
        const qint64 pid = it.fileName().toLongLong(&number);
        if (!number)
            continue;
        QFile cmdline(it.filePath() + u"/cmdline"_s);
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(path.toUtf8()))
            found << pid;
    }
    return found;
}

bool haveChromium() {
    return !QStandardPaths::findExecutable(u"chromium"_s).isEmpty();
}

} // namespace

class TestRenderedCli : public QObject {
    Q_OBJECT

private slots:
    void init();
    void listsWhatTheBrowserShows_data();
    void listsWhatTheBrowserShows();
    void chromiumMissingIsAUsageError();
    void aNonWebAddressNeverStartsTheBrowser_data();
    void aNonWebAddressNeverStartsTheBrowser();
    void aPageThatNeverStopsGrowingIsListedAtTheCap();
    void agreesWithBrowserModeOnStaticPages_data();
    void agreesWithBrowserModeOnStaticPages();
    void aWindowThatOpensAnywayIsClosedAtOnce();
    void aRequestThatNeverEndsIsWaitedForAtMostTheIdleCap_data();
    void aRequestThatNeverEndsIsWaitedForAtMostTheIdleCap();
    void twoThousandLazyImagesAreAllListed();
    void downloadsCarryTheBrowsersCookies_data();
    void downloadsCarryTheBrowsersCookies();
    void namesFromTheBuiltTree();
    void failsWithAReason_data();
    void failsWithAReason();
    void aMissingTemporaryFolderIsAReason();
    void nothingOutlivesTheRun_data();
    void nothingOutlivesTheRun();

private:
    CliResult run(const QStringList& arguments, QList<std::pair<QString, QString>> env = {},
                  int limitMs = 60000);
    QTemporaryDir m_tmp;
};

void TestRenderedCli::init() {
    if (!haveChromium())
        QSKIP("chromium is not installed (scripts/setup installs it)");
}

CliResult TestRenderedCli::run(const QStringList& arguments, QList<std::pair<QString, QString>> env,
                               int limitMs) {
    CliOptions options;
    // A row's own flags (each starts with loopbackOnly) stand in for the default ones.
    options.environment << std::pair(u"VARNOLUX_CHROMIUM_FLAGS"_s, loopbackOnly)
                        << std::pair(u"TMPDIR"_s, m_tmp.path()) << env;
    options.timeLimitMs = limitMs;
    return runVarnolux(arguments, options);
}

void TestRenderedCli::listsWhatTheBrowserShows_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArray>("expected"); // {base}: the page's server, {other}: the other origin's
    QTest::addColumn<int>("exitCode");

    QTest::newRow("a gallery built by script from JSON")
        << QByteArray(R"(<div id=g></div><script>
             fetch('/data.json').then(r => r.json()).then(list => { for (const name of list) {
               const i = document.createElement('img'); i.src = '/g/' + name; g.appendChild(i); } });
           </script>)")
        << QByteArray("{\"url\": \"{base}/g/one.jpg\", \"found\": \"document\"}\n"
                      "{\"url\": \"{base}/g/two.gif\", \"found\": \"document\"}\n")
        << 0;
    QTest::newRow("a lazy loader that swaps in the image once it is scrolled into view")
        << QByteArray(R"(<div style="height:3000px"></div><img data-late="/late.jpg" id=l>
           <script>new IntersectionObserver((es, o) => { for (const e of es) if (e.isIntersecting) {
             e.target.src = e.target.dataset.late; e.target.removeAttribute('data-late'); o.disconnect(); } })
             .observe(l);</script>)")
        << QByteArray("{\"url\": \"{base}/late.jpg\", \"found\": \"document\"}\n") << 0;
    QTest::newRow("an image put in after a timer, and a background set by script")
        << QByteArray(R"(<div id=d></div><script>setTimeout(() => {
             const i = new Image(); i.src = '/timer.gif'; document.body.appendChild(i);
             d.style.backgroundImage = 'url(/bg.png)'; }, 400);</script>)")
        << QByteArray("{\"url\": \"{base}/bg.png\", \"found\": \"document\"}\n"
                      "{\"url\": \"{base}/timer.gif\", \"found\": \"document\"}\n")
        << 0;
    QTest::newRow("an open shadow root is read in place; a closed one only by what it fetched")
        << QByteArray(R"(<div id=a></div><div id=b></div><img src=/after.jpg><script>
             document.getElementById('a').attachShadow({mode: 'open'}).innerHTML = '<img src=/in-open.jpg>';
             document.getElementById('b').attachShadow({mode: 'closed'}).innerHTML = '<img src=/in-closed.jpg>';
           </script>)")
        << QByteArray("{\"url\": \"{base}/in-open.jpg\", \"found\": \"document\"}\n"
                      "{\"url\": \"{base}/after.jpg\", \"found\": \"document\"}\n"
                      "{\"url\": \"{base}/in-closed.jpg\", \"found\": \"network\"}\n")
        << 0;
    QTest::newRow("a same-origin frame is read right after its element; another origin's is not")
        << QByteArray(R"(<iframe src="/framed.html"></iframe><iframe src="{other}/framed.html"></iframe>
           <img src=/main.jpg>)")
        << QByteArray("{\"url\": \"{base}/in-frame.jpg\", \"found\": \"document\"}\n"
                      "{\"url\": \"{base}/main.jpg\", \"found\": \"document\"}\n")
        << 0;
    QTest::newRow("a request of another site's frame keeps the network busy until it ends")
        << QByteArray(R"(<iframe src="{other}/slow-frame.html"></iframe><script>
             addEventListener('message', () => { const i = new Image(); i.src = '/after-frame.jpg';
               document.body.appendChild(i); });</script>)")
        << QByteArray("{\"url\": \"{base}/after-frame.jpg\", \"found\": \"document\"}\n") << 0;
    QTest::newRow("dialogs are dismissed: confirm answers false, the page goes on")
        << QByteArray(R"(<body><script>alert('a'); const yes = confirm('b');
             const i = new Image(); i.src = yes ? '/yes.jpg' : '/no.jpg'; document.body.appendChild(i);</script>)")
        << QByteArray("{\"url\": \"{base}/no.jpg\", \"found\": \"document\"}\n") << 0;
    QTest::newRow("a prompt is dismissed: it answers null, the page goes on")
        << QByteArray(R"(<body><script>const answer = prompt('name?', 'given');
             const i = new Image(); i.src = answer === null ? '/null.jpg' : '/answered.jpg';
             document.body.appendChild(i);</script>)")
        << QByteArray("{\"url\": \"{base}/null.jpg\", \"found\": \"document\"}\n") << 0;
    QTest::newRow("a beforeunload handler does not hold the page that leaves itself")
        << QByteArray(R"(<img src=/before.jpg><script>
             addEventListener('beforeunload', (e) => { e.preventDefault(); e.returnValue = 'stay'; });
             setTimeout(() => { location.href = '/framed.html'; }, 300);</script>)")
        << QByteArray("{\"url\": \"{base}/in-frame.jpg\", \"found\": \"document\"}\n"
                      "{\"url\": \"{base}/before.jpg\", \"found\": \"network\"}\n")
        << 0;
    QTest::newRow("noscript content is text with scripting on")
        << QByteArray(R"(<noscript><img src=/fallback.jpg></noscript><img src=/shown.jpg>)")
        << QByteArray("{\"url\": \"{base}/shown.jpg\", \"found\": \"document\"}\n") << 0;
    QTest::newRow("a rule a script inserts into a style sheet counts")
        << QByteArray(R"(<style></style><div class=x></div><script>
             document.styleSheets[0].insertRule('.x { background: url(/inserted.png) }');</script>)")
        << QByteArray("{\"url\": \"{base}/inserted.png\", \"found\": \"document\"}\n") << 0;
    QTest::newRow("a page that replaces itself: the new document is read, both fetched")
        << QByteArray(R"(<img src=/before.jpg><script>setTimeout(() => location.replace('/framed.html'), 300);
           </script>)")
        << QByteArray("{\"url\": \"{base}/in-frame.jpg\", \"found\": \"document\"}\n"
                      "{\"url\": \"{base}/before.jpg\", \"found\": \"network\"}\n")
        << 0;
    QTest::newRow("a window the page opens is not listed")
        << QByteArray(R"(<img src=/own.jpg><script>window.open('/popup.html');
             document.querySelector('img').click();</script>)")
        << QByteArray("{\"url\": \"{base}/own.jpg\", \"found\": \"document\"}\n") << 0;
    QTest::newRow("a 404 answer to the page itself fails the listing")
        << QByteArray("404") << QByteArray() << 1;
}

void TestRenderedCli::listsWhatTheBrowserShows() {
    QFETCH(QByteArray, page);
    QFETCH(QByteArray, expected);
    QFETCH(int, exitCode);
    TestServer server;
    TestServer other("127.0.0.2");
    if (!other.isListening())
        QSKIP("this machine has no 127.0.0.2");
    server.setFallback(images());
    other.setFallback(images());
    if (page == "404")
        server.route("/page.html", serve::response(404, "Not Found", {}, "<img src=/a.jpg>"));
    else
        server.route("/page.html", serve::ok(QByteArray(page).replace("{other}", other.base())));
    server.route("/data.json", serve::ok(R"(["one.jpg", "two.gif"])", "application/json"));
    server.route("/framed.html", serve::ok("<img src=/in-frame.jpg>"));
    server.route("/popup.html", serve::ok("<img src=/popup.jpg>"));
    other.route("/framed.html", serve::ok("<img src=/other-frame.jpg>"));
    // Tells its parent once an answer that comes 2.5 s late has come; the quiet network waits.
    other.route("/slow-frame.html",
                serve::ok("<script>fetch('/slow').then(() => parent.postMessage('done', '*'));</script>"));
    other.route("/slow", serve::ok("late", "text/plain").delayed(2500));

    const CliResult r = run({u"list"_s, u"--find"_s, u"rendered"_s, u"--json"_s, u"--filter"_s,
                             u"JPG,GIF,PNG"_s, QString::fromLatin1(server.address("/page.html"))});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.out, QByteArray(expected).replace("{base}", server.base()));
    if (exitCode == 1)
        QVERIFY2(r.err.contains("HTTP 404"), r.err.constData());
    // Nothing of the browser stays: its profile folder is gone with it.
    QCOMPARE(QDir(m_tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void TestRenderedCli::chromiumMissingIsAUsageError() {
    TestServer server;
    const CliResult r = run({u"list"_s, u"--find"_s, u"rendered"_s, QString::fromLatin1(server.address("/"))},
                            {{u"VARNOLUX_CHROMIUM"_s, u"/nonexistent"_s}});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("\"chromium\" package"), r.err.constData());
    QCOMPARE(server.requests().size(), 0);
}

void TestRenderedCli::aNonWebAddressNeverStartsTheBrowser_data() {
    QTest::addColumn<QString>("address");
    QTest::newRow("a file of this machine") << u"file:///etc/hostname"_s;
    QTest::newRow("a script address") << u"javascript:alert(1)"_s;
    QTest::newRow("another scheme") << u"ftp://127.0.0.1/"_s;
}

void TestRenderedCli::aNonWebAddressNeverStartsTheBrowser() {
    QFETCH(QString, address);
    // A stand-in browser that leaves a mark when it is started.
    const QString mark = m_tmp.filePath(u"started"_s);
    const QString fake = m_tmp.filePath(u"fake-chromium"_s);
    {
        QFile f(fake);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\ntouch '" + mark.toUtf8() + "'\n");
    }
    QVERIFY(QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const CliResult r =
        run({u"list"_s, u"--find"_s, u"rendered"_s, address}, {{u"VARNOLUX_CHROMIUM"_s, fake}});
    QFile::remove(fake);
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("is not a web address"), r.err.constData());
    QVERIFY(!QFile::exists(mark));
}

void TestRenderedCli::aPageThatNeverStopsGrowingIsListedAtTheCap() {
    TestServer server;
    server.setFallback(images());
    server.route("/page.html", serve::ok(R"(<img src=/first.jpg><script>let n = 0;
        setInterval(() => { const d = document.createElement('div'); d.style.height = '2000px';
          document.body.appendChild(d); }, 50);</script>)"));
    QElapsedTimer clock;
    clock.start();
    const CliResult r = run({u"list"_s, u"--find"_s, u"rendered"_s, u"--render-time"_s, u"2"_s,
                             QString::fromLatin1(server.address("/page.html"))});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, server.address("/first.jpg") + '\n');
    // Generous: the cap is 2 s from the load event; starting Chromium takes its own time.
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
}

void TestRenderedCli::agreesWithBrowserModeOnStaticPages_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::newRow("image attributes, srcset, lazy-loading names, links")
        << QByteArray(R"(<img src=a.jpg srcset="b.jpg 1x, c.gif 2x" data-src=d.jpg><a href=e.jpg>e</a>
           <img data-lazy-src="/lazy/f.gif" data-original='g.png'><a href=page.html>p</a>)");
    QTest::newRow("a base element, picture sources, image inputs, posters, icons and og:image")
        << QByteArray(R"(<head><base href="/base/"><link rel=icon href=i.png>
           <meta property="og:image" content="og.jpg"></head><body><picture><source srcset=s.jpg>
           <img src=p.jpg></picture><input type=image src=in.gif><video poster=v.jpg></video>)");
    QTest::newRow("style attributes and style sheets, invalid declarations dropped") << QByteArray(
        R"P(<style>@media screen { .a { background: url(m.png) } } .b { colour: url(x.png) }</style>
           <div style="background-image: url('st.gif'); *background: url(hack.gif)"></div>)P");
    QTest::newRow("SVG images and references that are not http")
        << QByteArray(R"(<svg><image href=svg.png /><image xlink:href=old.png /></svg>
           <img src="data:image/gif;base64,R0lGODlhAQABAAAAACw="><img src="javascript:void 0"><a href="#top">t</a>)");
}

void TestRenderedCli::agreesWithBrowserModeOnStaticPages() {
    QFETCH(QByteArray, page);
    TestServer server;
    server.setFallback(images());
    server.route("/dir/page.html", serve::ok(page));
    QByteArray outputs[2];
    int i = 0;
    for (const QString& mode : {u"browser"_s, u"rendered"_s}) {
        const CliResult r = run({u"list"_s, u"--find"_s, mode, u"--filter"_s, u"JPG,GIF,PNG"_s,
                                 QString::fromLatin1(server.address("/dir/page.html"))});
        QVERIFY2(r.finished, qPrintable(r.errorString));
        QCOMPARE(r.exitCode, 0);
        outputs[i++] = r.out;
    }
    QVERIFY(!outputs[0].isEmpty());
    QCOMPARE(outputs[1], outputs[0]);
}

void TestRenderedCli::aWindowThatOpensAnywayIsClosedAtOnce() {
    TestServer server;
    server.setFallback(images());
    server.route("/page.html", serve::ok(R"(<img src=/own.jpg><script>
                     fetch(window.open('/popup.html') ? '/opened' : '/blocked');</script>)"));
    // The pop-up asks for an image every 100 ms for as long as it is open.
    server.route("/popup.html", serve::ok(R"(<img src=/popup.jpg><script>let n = 0;
        setInterval(() => { new Image().src = '/alive.gif?' + n++; }, 100);</script>)"));
    // The pop-up blocker is what keeps most of them out; here one gets through.
    const CliResult r =
        run({u"list"_s, u"--find"_s, u"rendered"_s, QString::fromLatin1(server.address("/page.html"))},
            {{u"VARNOLUX_CHROMIUM_FLAGS"_s, loopbackOnly + u" --disable-popup-blocking"_s}});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, server.address("/own.jpg") + '\n');
    // It did open, and was closed long before the settling (almost 2 s) was over.
    QVERIFY(server.paths().contains("/opened"));
    int alive = 0;
    for (const RecordedRequest& request : server.requests())
        alive += request.path.startsWith("/alive.gif");
    QVERIFY2(alive < 8, qPrintable(QString::number(alive)));
}

void TestRenderedCli::aRequestThatNeverEndsIsWaitedForAtMostTheIdleCap_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::newRow("a fetch the server holds open")
        << QByteArray(R"(<img src=/a.jpg><script>fetch('/held');</script>)");
    QTest::newRow("an event stream that never ends")
        << QByteArray(R"(<img src=/a.jpg><script>new EventSource('/events');</script>)");
    QTest::newRow("a long-polling loop, each answer a second late and asked for again at once")
        << QByteArray(R"(<img src=/a.jpg><script>
             (function poll() { fetch('/poll').then((r) => r.text()).then(poll, poll); })();</script>)");
}

void TestRenderedCli::aRequestThatNeverEndsIsWaitedForAtMostTheIdleCap() {
    QFETCH(QByteArray, page);
    TestServer server;
    server.setFallback(images());
    server.route("/page.html", serve::ok(page));
    server.route("/held", serve::stall());
    server.route("/events", serve::rawHeaders("Content-Type: text/event-stream\r\n", "data: x\n\n", 200,
                                              serve::End::Stall));
    server.route("/poll", serve::ok("nothing new", "text/plain").delayed(1000));
    QElapsedTimer clock;
    clock.start();
    const CliResult r = run({u"list"_s, u"--find"_s, u"rendered"_s, u"--render-time"_s, u"40"_s,
                             QString::fromLatin1(server.address("/page.html"))});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, server.address("/a.jpg") + '\n');
    // The scrolling's second or two and the 5 s cap, well short of the 40 s settling allows.
    QVERIFY2(clock.elapsed() < 25000, qPrintable(QString::number(clock.elapsed())));
}

void TestRenderedCli::twoThousandLazyImagesAreAllListed() {
    // A grid of 2,000 images 64 pixels square, 20 to a row, each given its address by an
    // IntersectionObserver once it comes near the viewport.
    QByteArray page = R"(<style>body { margin: 0; width: 1280px } img { width: 64px; height: 64px;
        display: block; float: left }</style>)";
    QByteArray expected;
    TestServer server;
    server.setFallback(images());
    for (int i = 0; i < 2000; ++i) {
        page += "<img data-n=" + QByteArray::number(i) + '>';
        expected += server.address("/lazy/" + QByteArray::number(i) + ".gif") + '\n';
    }
    page += R"(<script>const seen = new IntersectionObserver((entries) => { for (const e of entries)
        if (e.isIntersecting) { e.target.src = '/lazy/' + e.target.dataset.n + '.gif'; seen.unobserve(e.target); }
      }, {rootMargin: '200px'});
      for (const img of document.images) seen.observe(img);</script>)";
    server.route("/page.html", serve::ok(page));
    const CliResult r =
        run({u"list"_s, u"--find"_s, u"rendered"_s, QString::fromLatin1(server.address("/page.html"))});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, expected);
}

void TestRenderedCli::downloadsCarryTheBrowsersCookies_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArrayList>("cookies"); // what our request for /a.jpg carries, sorted

    // The page comes with an HttpOnly cookie that only the server can set.
    QTest::newRow("a cookie the page's script sets and an HttpOnly one both go")
        << QByteArray(R"(<script>document.cookie = "fromscript=1; path=/";</script><img src=/a.jpg>)")
        << QByteArrayList{"fromscript=1", "secret=2"};
    QTest::newRow("a cookie set late by a timer, and one an image's answer sets, go too")
        << QByteArray(R"(<img src=/sets-cookie.gif><img src=/a.jpg><script>
             setTimeout(() => { document.cookie = "late=3; path=/"; }, 400);</script>)")
        << QByteArrayList{"fromimage=4", "late=3", "secret=2"};
    QTest::newRow("a cookie for another path stays back")
        << QByteArray(R"(<script>document.cookie = "elsewhere=5; path=/other/";
             document.cookie = "here=6; path=/";</script><img src=/a.jpg>)")
        << QByteArrayList{"here=6", "secret=2"};
}

void TestRenderedCli::downloadsCarryTheBrowsersCookies() {
    QFETCH(QByteArray, page);
    QFETCH(QByteArrayList, cookies);
    TestServer server;
    server.setFallback(images());
    server.route("/page.html", serve::ok(page).withHeader("Set-Cookie", "secret=2; Path=/; HttpOnly"));
    server.route("/sets-cookie.gif",
                 serve::ok(gif(), "image/gif").withHeader("Set-Cookie", "fromimage=4; Path=/"));
    QTemporaryDir folder;
    const CliResult r = run({u"download"_s, u"--find"_s, u"rendered"_s, u"--filter"_s, u"JPG"_s,
                             QString::fromLatin1(server.address("/page.html")), folder.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QVERIFY(QFile::exists(folder.filePath(u"a.jpg"_s)));
    const QList<RecordedRequest> ours = ourRequests(server.requests(), "/a.jpg");
    QCOMPARE(ours.size(), 1);
    QCOMPARE(ours.front().cookies(), cookies);
    QCOMPARE(ours.front().header("Referer"), server.address("/page.html"));
    // The cookies' file went with the run.
    QCOMPARE(QDir(m_tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void TestRenderedCli::namesFromTheBuiltTree() {
    // The title and the alt texts are those of the tree the page's script built.
    TestServer server;
    server.setFallback(images());
    server.route("/page.html",
                 serve::ok("<title>served</title><img src=\"/a.jpg\" alt=\"static\"><script>"
                           "document.title = 'Built / by script';"
                           "const i = document.createElement('img'); i.src = '/b.jpg'; i.alt = 'made';"
                           "document.body.appendChild(i);</script>"));
    QTemporaryDir folder;
    const CliResult r = run({u"download"_s, u"--find"_s, u"rendered"_s, u"--filter"_s, u"JPG"_s,
                             u"--output"_s, u"{page_title}/{alt}-{name}"_s,
                             QString::fromLatin1(server.address("/page.html")), folder.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(QFile::exists(folder.filePath(u"Built _ by script/static-a.jpg"_s)));
    QVERIFY(QFile::exists(folder.filePath(u"Built _ by script/made-b.jpg"_s)));
}

void TestRenderedCli::failsWithAReason_data() {
    QTest::addColumn<QByteArray>("contentDisposition");
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("a page whose script allocates without bound crashes its renderer")
        << QByteArray() << QByteArray(R"(<script>const keep = [];
             setTimeout(() => { for (;;) keep.push(new Array(1e6).fill(1.5)); }, 100);</script>)")
        << u"--js-flags=--max-old-space-size=32"_s << QByteArray("crashed");
    QTest::newRow("a page served as a download is refused, nothing saved")
        << QByteArray("attachment; filename=page.html") << QByteArray("<img src=/a.jpg>") << QString()
        << QByteArray("could not open it");
}

void TestRenderedCli::failsWithAReason() {
    QFETCH(QByteArray, contentDisposition);
    QFETCH(QByteArray, page);
    QFETCH(QString, flags);
    QFETCH(QByteArray, reason);
    TestServer server;
    server.setFallback(images());
    Behaviour answer = serve::ok(page);
    if (!contentDisposition.isEmpty())
        answer = answer.withHeader("Content-Disposition", contentDisposition);
    server.route("/page.html", answer);
    QTemporaryDir home;
    const CliResult r =
        run({u"list"_s, u"--find"_s, u"rendered"_s, QString::fromLatin1(server.address("/page.html"))},
            {{u"HOME"_s, home.path()}, {u"VARNOLUX_CHROMIUM_FLAGS"_s, loopbackOnly + u' ' + flags}});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(reason), r.err.constData());
    QCOMPARE(r.out, QByteArray());
    QVERIFY(!QDir(home.filePath(u"Downloads"_s)).exists() || QDir(home.filePath(u"Downloads"_s)).isEmpty());
    QCOMPARE(QDir(m_tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void TestRenderedCli::aMissingTemporaryFolderIsAReason() {
    TestServer server;
    server.setFallback(images());
    server.route("/page.html", serve::ok("<img src=/a.jpg>"));
    QTemporaryDir current;
    CliOptions options;
    options.environment = {{u"VARNOLUX_CHROMIUM_FLAGS"_s, loopbackOnly},
                           {u"TMPDIR"_s, m_tmp.filePath(u"missing"_s)}};
    options.workingDirectory = current.path();
    const CliResult r = runVarnolux(
        {u"list"_s, u"--find"_s, u"rendered"_s, QString::fromLatin1(server.address("/page.html"))}, options);
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("does not exist"), r.err.constData());
    // Not into the current folder instead.
    QCOMPARE(QDir(current.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
    QCOMPARE(server.requests().size(), 0);
}

void TestRenderedCli::nothingOutlivesTheRun_data() {
    QTest::addColumn<bool>("interrupt"); // else the browser is killed under the run
    QTest::newRow("SIGINT to varnolux alone ends the browser and removes its profile") << true;
    QTest::newRow("a browser killed mid-run fails the listing with a reason") << false;
}

void TestRenderedCli::nothingOutlivesTheRun() {
    QFETCH(bool, interrupt);
    TestServer server;
    server.setFallback(images());
    server.route("/page.html", serve::ok(R"(<img src=/first.jpg><script>
        setInterval(() => { const d = document.createElement('div'); d.style.height = '2000px';
          document.body.appendChild(d); }, 50);</script>)"));
    QProcess varnolux;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"VARNOLUX_CHROMIUM_FLAGS"_s, loopbackOnly);
    env.insert(u"TMPDIR"_s, m_tmp.path());
    varnolux.setProcessEnvironment(env);
    varnolux.start(varnoluxExecutable(), {u"list"_s, u"--find"_s, u"rendered"_s, u"--render-time"_s, u"60"_s,
                                          QString::fromLatin1(server.address("/page.html"))});
    QVERIFY(varnolux.waitForStarted());
    // Under way once the page has asked for its image.
    QVERIFY(QTest::qWaitFor([&] { return server.requests().size() >= 2; }, 20000));
    QVERIFY(!processesNaming(m_tmp.path()).isEmpty());
    if (interrupt) {
        ::kill(pid_t(varnolux.processId()), SIGINT);
    } else {
        const QList<qint64> browser = processesNaming(m_tmp.path());
        for (qint64 pid : browser)
            ::kill(pid_t(pid), SIGKILL);
    }
    QElapsedTimer clock;
    clock.start();
    QVERIFY(QTest::qWaitFor([&] { return varnolux.state() == QProcess::NotRunning; }, 10000));
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    const QByteArray err = varnolux.readAllStandardError();
    if (interrupt) {
        QCOMPARE(varnolux.exitCode(), 130);
    } else {
        QCOMPARE(varnolux.exitCode(), 1);
        QVERIFY2(err.contains("the browser"), err.constData());
    }
    QCOMPARE(processesNaming(m_tmp.path()), QList<qint64>());
    QCOMPARE(QDir(m_tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

QTEST_GUILESS_MAIN(TestRenderedCli)
#include "tst_renderedcli.moc"
