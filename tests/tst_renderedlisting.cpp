#include "core/MemoryImageList.h"
#include "discovery/ChromiumDriver.h"
#include "discovery/DiscoveryState.h"
#include "discovery/RenderedListing.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>

namespace {

using namespace Qt::StringLiterals;

QJsonArray jsonArray(const char* text) {
    return QJsonDocument::fromJson(QByteArray(text)).array();
}

// A browser that answers as told and plays a row's events once the page is navigated to.
class ScriptedBrowser : public ChromiumDriver {
public:
    // [[delay ms, method, params], ...], played from the navigation's answer.
    QJsonArray events;
    // The tree the read script returns: [[name, space, inPicture, [n, v, ...], base, sheet], ...].
    QJsonArray elements;
    QString finalUrl = u"http://127.0.0.1/page"_s;
    // Page height by scroll step; the page is 800 high on screen.
    std::function<double(int step)> height = [](int) { return 1600.0; };
    QString navigateError;
    bool readHangs = false;

    QStringList commands;
    QList<QJsonObject> dialogAnswers;
    bool stopped = false;

    void start() override {
        QTimer::singleShot(0, this, [this] { emit ready(); });
    }
    void stop() override { stopped = true; }

    void command(const QString& method, const QJsonObject& params, Reply reply) override {
        commands << method;
        QJsonObject result;
        if (method == u"Page.navigate"_s) {
            result = {{u"frameId"_s, u"F"_s}, {u"loaderId"_s, u"L"_s}};
            if (!navigateError.isEmpty())
                result.insert(u"errorText"_s, navigateError);
            else
                play();
        } else if (method == u"Page.handleJavaScriptDialog"_s) {
            dialogAnswers << params;
        } else if (method == u"Runtime.evaluate"_s) {
            const QString expression = params.value(u"expression"_s).toString();
            if (expression.contains(u"scrollBy"_s)) {
                const double h = height(m_step);
                m_top = std::min(m_top + 800, std::max(0.0, h - 800));
                ++m_step;
                result = {{u"result"_s, QJsonObject{{u"value"_s, QJsonArray{m_top, h}}}}};
            } else {
                if (readHangs)
                    return;
                result = {{u"result"_s, QJsonObject{{u"value"_s, QJsonArray{finalUrl, elements}}}}};
            }
        }
        if (reply)
            QTimer::singleShot(0, this, [this, reply, result] {
                if (!stopped)
                    reply(result, {});
            });
    }

private:
    void play() {
        for (const QJsonValue& v : events) {
            const QJsonArray e = v.toArray();
            QTimer::singleShot(e.at(0).toInt(), this, [this, e] {
                if (!stopped)
                    emit pageEvent(e.at(1).toString(), e.at(2).toObject());
            });
        }
    }
    double m_top = 0;
    int m_step = 0;
};

// The page's own document, answered with status, its load event 20 ms later.
QJsonArray documentAnswer(int status) {
    const QString text = uR"J([
      [1, "Page.frameNavigated", {"frame": {"id": "F", "securityOrigin": "http://127.0.0.1"}}],
      [1, "Network.requestWillBeSent", {"requestId": "L", "frameId": "F", "type": "Document"}],
      [2, "Network.responseReceived", {"requestId": "L", "frameId": "F", "type": "Document",
          "response": {"url": "http://127.0.0.1/page", "status": %1, "statusText": "Answer"}}],
      [3, "Network.loadingFinished", {"requestId": "L"}],
      [20, "Page.loadEventFired", {}]])J"_s.arg(status);
    return QJsonDocument::fromJson(text.toUtf8()).array();
}

// One image request of a frame: sent at `at`, answered at `answered` with status from url.
QJsonArray image(const char* id, const char* frame, int at, int answered, int status, const char* url) {
    const QString text = uR"J([
      [%1, "Network.requestWillBeSent", {"requestId": "%3", "frameId": "%4", "type": "Image"}],
      [%2, "Network.responseReceived", {"requestId": "%3", "frameId": "%4", "type": "Image",
          "response": {"url": "%6", "status": %5}}],
      [%2, "Network.loadingFinished", {"requestId": "%3"}]])J"_s.arg(at)
                             .arg(answered)
                             .arg(QLatin1StringView(id), QLatin1StringView(frame))
                             .arg(status)
                             .arg(QLatin1StringView(url));
    return QJsonDocument::fromJson(text.toUtf8()).array();
}

QJsonArray operator+(QJsonArray a, const QJsonArray& b) {
    for (const QJsonValue& v : b)
        a.append(v);
    return a;
}

RenderedListing::Settings quickClocks() {
    RenderedListing::Settings s;
    s.renderMs = 3000;
    s.loadWaitMs = 2000;
    s.scrollEveryMs = 10;
    s.stableHeightMs = 40;
    s.quietMs = 30;
    s.quietCapMs = 300;
    return s;
}

struct Run {
    net::Result result;
    QStringList listed;
    qint64 ms = 0;
};

Run runWith(ScriptedBrowser& browser, RenderedListing::Settings settings = quickClocks(),
            const QByteArray& filter = "JPG,GIF,PNG") {
    MemoryImageList list;
    const ImageTypeFilter types(filter.split(','));
    RenderedListing listing(browser, list, types, net::RunOptions{}, settings);
    QStringList found;
    listing.setFoundIn([&](FoundIn where) { found << (where == FoundIn::Document ? u"doc"_s : u"net"_s); });
    Run run;
    bool ended = false;
    QElapsedTimer clock;
    clock.start();
    listing.start("http://127.0.0.1/page", [&](const net::Result& r) {
        run.result = r;
        ended = true;
    });
    if (!QTest::qWaitFor([&] { return ended; }, 15000))
        run.result = {net::Status::Failed, u"the listing never ended"_s};
    run.ms = clock.elapsed();
    for (int i = 1; i <= list.count(); ++i) // entries count from 1, as the list control's
        run.listed << QString::fromUtf8(list.text(i));
    return run;
}

} // namespace

class TestRenderedListing : public QObject {
    Q_OBJECT

private slots:
    void listsByTheRules_data();
    void listsByTheRules();
    void dialogsAreDismissed();
    void aPageThatNeverStopsGrowingEndsAtTheCap();
    void aLongRequestEndsAtTheQuietCap();
    void aFrameThatGoesAwayTakesItsRequestsWithIt();
    void aPageThatNeverAnswersTheReadFails();
    void theEnvironmentsProxyGoesToChromium_data();
    void theEnvironmentsProxyGoesToChromium();
};

void TestRenderedListing::listsByTheRules_data() {
    QTest::addColumn<QJsonArray>("events");
    QTest::addColumn<QJsonArray>("elements");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("httpStatus"); // 0: the listing succeeds

    const QJsonArray noElements;
    const QJsonArray oneImg =
        jsonArray(R"J([["img", 0, false, ["src", "a.jpg"], "http://127.0.0.1/dir/", null] ])J");

    QTest::newRow("the document's references come first, then the fetched images")
        << documentAnswer(200) + image("1", "F", 5, 6, 200, "http://127.0.0.1/net.png") << oneImg
        << QStringList{u"http://127.0.0.1/dir/a.jpg"_s, u"http://127.0.0.1/net.png"_s} << 0;
    QTest::newRow("an image both referenced and fetched is listed once, as a reference")
        << documentAnswer(200) + image("1", "F", 5, 6, 200, "http://127.0.0.1/dir/a.jpg") << oneImg
        << QStringList{u"http://127.0.0.1/dir/a.jpg"_s} << 0;
    QTest::newRow("fetched images go by their first request, not by their answer")
        << documentAnswer(200) + image("1", "F", 5, 30, 200, "http://127.0.0.1/first.png") +
               image("2", "F", 6, 7, 200, "http://127.0.0.1/second.png")
        << noElements << QStringList{u"http://127.0.0.1/first.png"_s, u"http://127.0.0.1/second.png"_s} << 0;
    QTest::newRow("a redirected image is listed by its final address")
        << documentAnswer(200) + jsonArray(R"J([
             [5, "Network.requestWillBeSent", {"requestId": "9", "frameId": "F", "type": "Image"}],
             [6, "Network.requestWillBeSent", {"requestId": "9", "frameId": "F", "type": "Image",
                 "redirectResponse": {"status": 302}}],
             [7, "Network.responseReceived", {"requestId": "9", "frameId": "F", "type": "Image",
                 "response": {"url": "http://127.0.0.1/final.gif", "status": 200}}],
             [7, "Network.loadingFinished", {"requestId": "9"}] ])J")
        << noElements << QStringList{u"http://127.0.0.1/final.gif"_s} << 0;
    QTest::newRow("images that failed or came without success are not listed")
        << documentAnswer(200) + image("1", "F", 5, 6, 404, "http://127.0.0.1/gone.png") +
               image("2", "F", 5, 6, 304, "http://127.0.0.1/cached.png")
        << noElements << QStringList{} << 0;
    QTest::newRow("data: and blob: images are skipped")
        << documentAnswer(200) + image("1", "F", 5, 6, 200, "data:image/png;base64,AAAA") +
               image("2", "F", 5, 6, 200, "blob:http://127.0.0.1/1234")
        << noElements << QStringList{} << 0;
    const QJsonArray frames = jsonArray(R"J([
        [4, "Page.frameNavigated", {"frame": {"id": "same", "parentId": "F", "securityOrigin": "http://127.0.0.1"}}],
        [4, "Page.frameNavigated", {"frame": {"id": "other", "parentId": "F", "securityOrigin": "http://127.0.0.1:8080"}}] ])J");
    QTest::newRow("a same-origin frame's images count, another origin's do not")
        << documentAnswer(200) + frames + image("1", "other", 5, 6, 200, "http://127.0.0.1/other.png") +
               image("2", "same", 6, 7, 200, "http://127.0.0.1:8080/same.png")
        << noElements << QStringList{u"http://127.0.0.1:8080/same.png"_s} << 0;
    QTest::newRow("an image of another site's frame is not listed, whatever its address")
        << documentAnswer(200) + jsonArray(R"J([
             [5, "Network.requestWillBeSent", {"requestId": "o", "frameId": "oop", "type": "Image", "frameSession": "S"}],
             [6, "Network.responseReceived", {"requestId": "o", "frameId": "oop", "type": "Image", "frameSession": "S",
                 "response": {"url": "http://127.0.0.1/oop.png", "status": 200}}],
             [6, "Network.loadingFinished", {"requestId": "o", "frameSession": "S"}] ])J")
        << noElements << QStringList{} << 0;
    QTest::newRow("an image fetched with a filtered-out extension stays out")
        << documentAnswer(200) + image("1", "F", 5, 6, 200, "http://127.0.0.1/a.bmp") << noElements
        << QStringList{} << 0;
    QTest::newRow("an answer of 404 to the page itself fails the listing")
        << documentAnswer(404) + image("1", "F", 5, 6, 200, "http://127.0.0.1/net.png") << oneImg
        << QStringList{} << 404;
    QTest::newRow("a 404 of a frame's document does not fail the page")
        << documentAnswer(200) + jsonArray(R"J([
             [5, "Network.responseReceived", {"requestId": "X", "frameId": "same", "type": "Document",
                 "response": {"url": "http://127.0.0.1/missing", "status": 404}}] ])J")
        << oneImg << QStringList{u"http://127.0.0.1/dir/a.jpg"_s} << 0;
    QTest::newRow("each element resolves against its own base, a frame's document too")
        << documentAnswer(200)
        << jsonArray(R"J([["img", 0, false, ["src", "a.jpg"], "http://127.0.0.1/one/", null],
                         ["img", 0, false, ["src", "a.jpg"], "http://127.0.0.1/two/", null] ])J")
        << QStringList{u"http://127.0.0.1/one/a.jpg"_s, u"http://127.0.0.1/two/a.jpg"_s} << 0;
    QTest::newRow("attributes are read in list order, srcset and style included")
        << documentAnswer(200)
        << jsonArray(
               R"J([["img", 0, false, ["srcset", "b.jpg 2x", "style", "background:url(c.gif)", "src", "a.jpg"],
                          "http://127.0.0.1/", null] ])J")
        << QStringList{u"http://127.0.0.1/b.jpg"_s, u"http://127.0.0.1/c.gif"_s, u"http://127.0.0.1/a.jpg"_s}
        << 0;
    QTest::newRow("a style element's current sheet is read; a script's text is not")
        << documentAnswer(200)
        << jsonArray(
               R"J([["style", 0, false, [], "http://127.0.0.1/", "body { background: url(\"s.png\"); }"],
                         ["script", 0, false, [], "http://127.0.0.1/", null] ])J")
        << QStringList{u"http://127.0.0.1/s.png"_s} << 0;
    QTest::newRow("a source counts only inside a picture; an SVG image by its href")
        << documentAnswer(200)
        << jsonArray(R"J([["source", 0, false, ["srcset", "no.jpg"], "http://127.0.0.1/", null],
                         ["source", 0, true, ["srcset", "yes.jpg"], "http://127.0.0.1/", null],
                         ["image", 1, false, ["xlink:href", "svg.png"], "http://127.0.0.1/", null] ])J")
        << QStringList{u"http://127.0.0.1/yes.jpg"_s, u"http://127.0.0.1/svg.png"_s} << 0;
}

void TestRenderedListing::listsByTheRules() {
    QFETCH(QJsonArray, events);
    QFETCH(QJsonArray, elements);
    QFETCH(QStringList, expected);
    QFETCH(int, httpStatus);
    ScriptedBrowser browser;
    browser.events = events;
    browser.elements = elements;
    const Run run = runWith(browser);
    if (httpStatus) {
        QCOMPARE(run.result.status, net::Status::HttpStatus);
        QCOMPARE(run.result.httpStatus, httpStatus);
    } else {
        QVERIFY2(run.result.ok(), qPrintable(run.result.detail));
    }
    QCOMPARE(run.listed, expected);
    QVERIFY(browser.stopped);
}

void TestRenderedListing::dialogsAreDismissed() {
    ScriptedBrowser browser;
    browser.events = documentAnswer(200) + jsonArray(R"J([
        [5, "Page.javascriptDialogOpening", {"type": "alert", "message": "hi"}],
        [8, "Page.javascriptDialogOpening", {"type": "confirm", "message": "sure?"}] ])J");
    const Run run = runWith(browser);
    QVERIFY(run.result.ok());
    QCOMPARE(browser.dialogAnswers.size(), 2);
    for (const QJsonObject& answer : browser.dialogAnswers)
        QCOMPARE(answer.value(u"accept"_s).toBool(true), false);
}

void TestRenderedListing::aPageThatNeverStopsGrowingEndsAtTheCap() {
    ScriptedBrowser browser;
    browser.events = documentAnswer(200);
    browser.elements = jsonArray(R"J([["img", 0, false, ["src", "seen.jpg"], "http://127.0.0.1/", null] ])J");
    browser.height = [](int step) { return 1600.0 + 800 * step; };
    RenderedListing::Settings settings = quickClocks();
    settings.renderMs = 600;
    const Run run = runWith(browser, settings);
    QVERIFY(run.result.ok());
    QCOMPARE(run.listed, QStringList{u"http://127.0.0.1/seen.jpg"_s});
    QVERIFY2(run.ms >= 600 && run.ms < 3000, qPrintable(QString::number(run.ms)));
}

void TestRenderedListing::aLongRequestEndsAtTheQuietCap() {
    ScriptedBrowser browser;
    // A request that never ends (long polling) keeps the network busy.
    browser.events = documentAnswer(200) + jsonArray(R"J([
        [4, "Network.requestWillBeSent", {"requestId": "poll", "frameId": "F", "type": "XHR"}] ])J");
    RenderedListing::Settings settings = quickClocks();
    settings.quietCapMs = 400;
    const Run run = runWith(browser, settings);
    QVERIFY(run.result.ok());
    QVERIFY2(run.ms >= 400 && run.ms < 2500, qPrintable(QString::number(run.ms)));
}

void TestRenderedListing::aFrameThatGoesAwayTakesItsRequestsWithIt() {
    ScriptedBrowser browser;
    // Another site's frame asks for something and is removed before the answer comes.
    browser.events = documentAnswer(200) + jsonArray(R"J([
        [4, "Network.requestWillBeSent", {"requestId": "held", "frameId": "oop", "type": "Fetch", "frameSession": "S"}],
        [60, "Target.detachedFromTarget", {"frameSession": "S"}] ])J");
    RenderedListing::Settings settings = quickClocks();
    settings.quietCapMs = 2500;
    const Run run = runWith(browser, settings);
    QVERIFY(run.result.ok());
    QVERIFY2(run.ms < 2000, qPrintable(QString::number(run.ms)));
}

void TestRenderedListing::aPageThatNeverAnswersTheReadFails() {
    ScriptedBrowser browser;
    browser.events = documentAnswer(200);
    browser.readHangs = true;
    RenderedListing::Settings settings = quickClocks();
    settings.readCapMs = 300;
    const Run run = runWith(browser, settings);
    QCOMPARE(run.result.status, net::Status::Failed);
    QVERIFY(browser.stopped);
}

void TestRenderedListing::theEnvironmentsProxyGoesToChromium_data() {
    QTest::addColumn<QStringList>("variables"); // NAME=value
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no proxy variable: Chromium connects directly") << QStringList{} << QStringList{};
    QTest::newRow("http_proxy covers http only")
        << QStringList{u"http_proxy=http://p:3128"_s} << QStringList{u"--proxy-server=http=http://p:3128"_s};
    QTest::newRow("all_proxy covers both schemes, a scheme's own variable wins")
        << QStringList{u"ALL_PROXY=http://all:1"_s, u"https_proxy=http://s:2"_s}
        << QStringList{u"--proxy-server=http=http://all:1;https=http://s:2"_s};
    QTest::newRow("HTTP_PROXY in upper case is never read, as curl reads the environment")
        << QStringList{u"HTTP_PROXY=http://p:3128"_s} << QStringList{};
    QTest::newRow("no_proxy hosts go direct, each with its subdomains; addresses as they are")
        << QStringList{u"http_proxy=http://p:1"_s, u"no_proxy=example.org, .local.test,10.0.0.1"_s}
        << QStringList{u"--proxy-server=http=http://p:1"_s,
                       u"--proxy-bypass-list=example.org;*.example.org;local.test;*.local.test;10.0.0.1"_s};
    QTest::newRow("no_proxy * turns the proxy off")
        << QStringList{u"all_proxy=http://p:1"_s, u"NO_PROXY=*"_s} << QStringList{};
}

void TestRenderedListing::theEnvironmentsProxyGoesToChromium() {
    QFETCH(QStringList, variables);
    QFETCH(QStringList, arguments);
    const auto getenv = [&](const char* name) {
        for (const QString& v : variables)
            if (v.section(u'=', 0, 0) == QLatin1StringView(name))
                return v.section(u'=', 1).toUtf8();
        return QByteArray();
    };
    QCOMPARE(chromiumProxyArguments(getenv), arguments);
}

QTEST_GUILESS_MAIN(TestRenderedListing)
#include "tst_renderedlisting.moc"
