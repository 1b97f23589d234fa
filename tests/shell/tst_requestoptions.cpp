// Every request option reaches the wire, in every find mode, for listing and download, from the
// window's run as from the command line: the loopback server's log shows what each request
// carried.
#include "TestWindow.h"

#include "core/Cancellation.h"
#include "support/CliRunner.h"
#include "support/Files.h"
#include "support/TestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>

namespace {

using namespace Qt::StringLiterals;

enum class FrontEnd { Window, CommandLine };
enum class Command { List, Download };
enum class Option { UserAgent, Header, Cookie, RefererOn, RefererOff, RateLimit, Lanes };

// The rate row's bodies: 150 bytes at once, the last 50 a moment later. With 100 bytes a second,
// libcurl takes the first 150 and then holds off for 1.5 s; without a limit a body is there in
// about 0.2 s.
constexpr qint64 rateBodyBytes = 200;
constexpr qint64 rateFirstBytes = 150;
constexpr int ratePauseMs = 200;
constexpr qint64 limitedBodyMs = 1000;

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

QWidget* control(Form1& window, const QString& name) {
    QWidget* found = window.findChild<QWidget*>(name);
    if (!found)
        qFatal("no control %s", qPrintable(name));
    return found;
}

} // namespace

Q_DECLARE_METATYPE(FrontEnd)
Q_DECLARE_METATYPE(Command)
Q_DECLARE_METATYPE(Option)

class RequestOptionsTest : public QObject {
    Q_OBJECT
private slots:
    void init() { Cancellation::reset(); }
    void optionReachesEveryRequest_data();
    void optionReachesEveryRequest();
    void windowDownloadAfterRenderingCarriesTheBrowsersCookies_data();
    void windowDownloadAfterRenderingCarriesTheBrowsersCookies();
};

void RequestOptionsTest::optionReachesEveryRequest_data() {
    QTest::addColumn<FrontEnd>("frontEnd");
    QTest::addColumn<Command>("command");
    QTest::addColumn<bool>("browser");
    QTest::addColumn<Option>("option");

    const struct {
        Option option;
        const char* name;
        bool window; // the window has a setting for it
    } options[] = {
        {Option::UserAgent, "the user agent is every request's", false},
        {Option::Header, "an extra header goes with every request", false},
        {Option::Cookie, "the cookie file's cookie goes with every request", true},
        {Option::RefererOn, "the images name the page as Referer, the page none", true},
        {Option::RefererOff, "no request names a Referer", true},
        {Option::RateLimit, "the rate limit holds back the page and the image", true},
        {Option::Lanes, "parallel lanes carry the options as the page does", true},
    };
    for (const auto& o : options)
        for (FrontEnd frontEnd : {FrontEnd::Window, FrontEnd::CommandLine})
            for (Command command : {Command::List, Command::Download})
                for (bool browser : {false, true}) {
                    if (frontEnd == FrontEnd::Window && !o.window)
                        continue;
                    const QByteArray row =
                        QByteArray(frontEnd == FrontEnd::Window ? "window " : "command line ") +
                        (command == Command::List ? "list " : "download ") +
                        (browser ? "browser: " : "classic: ") + o.name;
                    QTest::newRow(row.constData()) << frontEnd << command << browser << o.option;
                }
}

void RequestOptionsTest::optionReachesEveryRequest() {
    QFETCH(FrontEnd, frontEnd);
    QFETCH(Command, command);
    QFETCH(bool, browser);
    QFETCH(Option, option);
    const bool rate = option == Option::RateLimit;

    TestServer server;
    QByteArray page = "<html><body><img src=\"a.png\"></body></html>";
    QByteArray image = "PNGDATA";
    if (rate) {
        page += QByteArray(rateBodyBytes - page.size(), ' ');
        image = QByteArray(rateBodyBytes, 'P');
    }
    auto answer = [&](const Behaviour& behaviour) {
        return rate ? behaviour.pausedAfter(rateFirstBytes, ratePauseMs) : behaviour;
    };
    server.route("/", answer(serve::ok(page)));
    server.route("/a.png", answer(serve::ok(image, "image/png")));
    QTemporaryDir folder;
    QTemporaryDir state;
    const QString cookies = state.filePath(QStringLiteral("cookies.txt"));
    QVERIFY(writeFile(cookies, "127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tabc\n"));
    const QByteArray pageAddress = server.address("/");

    QElapsedTimer clock;
    if (frontEnd == FrontEnd::Window) {
        TemporarySettings settings;
        settings.put(QStringLiteral("Web Site"), text(pageAddress));
        settings.put(QStringLiteral("Text2"), folder.path() + u'/');
        settings.put(QStringLiteral("X"), QStringLiteral("1"));
        settings.put(QStringLiteral("X Filter"), QStringLiteral("PNG"));
        settings.put(QStringLiteral("Find Mode"),
                     browser ? QStringLiteral("browser") : QStringLiteral("classic"));
        if (option == Option::Cookie || option == Option::Lanes)
            settings.put(QStringLiteral("Cookies"), cookies);
        if (option == Option::Lanes)
            settings.put(QStringLiteral("Parallel"), QStringLiteral("2"));
        if (option == Option::RefererOn || option == Option::RefererOff)
            settings.put(QStringLiteral("Send Referer"),
                         option == Option::RefererOn ? QStringLiteral("1") : QStringLiteral("0"));
        if (rate)
            settings.put(QStringLiteral("Limit Rate"), QStringLiteral("100"));
        TestWindow test;
        Form1& window = test.load();
        clock.start();
        QTest::mouseClick(control(window, QStringLiteral("PushButton5")), Qt::LeftButton);
        QVERIFY(listingEnds(window));
        QCOMPARE(window.imageList().count(), 1);
        if (command == Command::Download) {
            QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
            QVERIFY(downloadEnds(window));
        }
        QCOMPARE(test.boxes.texts().last(), QStringLiteral("Done."));
    } else {
        QStringList args{command == Command::List ? QStringLiteral("list") : QStringLiteral("download"),
                         QStringLiteral("--filter"), QStringLiteral("PNG"), QStringLiteral("--find"),
                         browser ? QStringLiteral("browser") : QStringLiteral("classic")};
        switch (option) {
        case Option::UserAgent:
            args << QStringLiteral("--user-agent") << QStringLiteral("Probe/1");
            break;
        case Option::Header:
            args << QStringLiteral("--header") << QStringLiteral("X-Probe: yes");
            break;
        case Option::Cookie:
            args << QStringLiteral("--cookies") << cookies;
            break;
        case Option::RefererOn:
            break;
        case Option::RefererOff:
            args << QStringLiteral("--no-referer");
            break;
        case Option::RateLimit:
            args << QStringLiteral("--limit-rate") << QStringLiteral("100");
            break;
        case Option::Lanes:
            args << QStringLiteral("--parallel") << QStringLiteral("2") << QStringLiteral("--user-agent")
                 << QStringLiteral("Probe/1") << QStringLiteral("--header") << QStringLiteral("X-Probe: yes")
                 << QStringLiteral("--cookies") << cookies;
            break;
        }
        args << QStringLiteral("--") << text(pageAddress);
        if (command == Command::Download)
            args << folder.path();
        clock.start();
        const CliResult r = runVarnolux(args);
        QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
        if (command == Command::List)
            QCOMPARE(r.out, server.address("/a.png") + '\n');
    }
    const qint64 elapsed = clock.elapsed();

    if (command == Command::Download)
        QVERIFY(QFile::exists(folder.filePath(QStringLiteral("a.png"))));
    // Each address once: the page, then (for a download) the image.
    QList<QByteArray> expected{"/"};
    if (command == Command::Download)
        expected << "/a.png";
    QCOMPARE(server.distinctPaths(), expected);

    for (const RecordedRequest& request : server.requests()) {
        const bool image = request.path == "/a.png";
        switch (option) {
        case Option::UserAgent:
            QCOMPARE(request.header("User-Agent"), QByteArray("Probe/1"));
            break;
        case Option::Header:
            QCOMPARE(request.header("X-Probe"), QByteArray("yes"));
            break;
        case Option::Cookie:
            QCOMPARE(request.header("Cookie"), QByteArray("sid=abc"));
            break;
        case Option::RefererOn:
            QCOMPARE(request.header("Referer"), image ? pageAddress : QByteArray());
            break;
        case Option::RefererOff:
            QCOMPARE(request.header("Referer"), QByteArray());
            break;
        case Option::RateLimit:
            // Nothing else is asked of the request: the rate shows in the time below.
            QVERIFY(request.header("User-Agent").startsWith("Varnolux/"));
            break;
        case Option::Lanes:
            // The window has no user agent or header setting of its own.
            QCOMPARE(request.header("Cookie"), QByteArray("sid=abc"));
            if (frontEnd == FrontEnd::CommandLine) {
                QCOMPARE(request.header("User-Agent"), QByteArray("Probe/1"));
                QCOMPARE(request.header("X-Probe"), QByteArray("yes"));
            }
            break;
        }
    }
    // A lower bound only: each body the limit holds back takes at least a second.
    if (rate) {
        const qint64 bound = command == Command::Download ? 2 * limitedBodyMs : limitedBodyMs;
        QVERIFY2(elapsed >= bound, qPrintable(QString::number(elapsed)));
    }
}

void RequestOptionsTest::windowDownloadAfterRenderingCarriesTheBrowsersCookies_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QString>("before"); // "classic": a classic listing of the page before the
                                         // download; "no temporary folder": none to write to
    QTest::addColumn<QByteArrayList>("cookies");
    QTest::addColumn<QByteArray>("refererPath");

    // The server sets an HttpOnly cookie with the page; the page's script sets another.
    const QByteArray setsCookies = R"(<script>document.cookie = "fromscript=1; path=/";</script>
        <img src="a.png">)";
    QTest::newRow("the browser's cookies, HttpOnly and the setting's file's too, and the page as Referer")
        << setsCookies << QString() << QByteArrayList{"fromscript=1", "secret=2", "sid=abc"}
        << QByteArray("/");
    QTest::newRow("a page that replaced itself: the document shown at the end is the Referer")
        << QByteArray(R"(<script>document.cookie = "fromscript=1; path=/";
             setTimeout(() => location.replace('/shown.html'), 200);</script>)")
        << QString() << QByteArrayList{"fromscript=1", "secret=2", "sid=abc"} << QByteArray("/shown.html");
    QTest::newRow("a later classic listing leaves the browser's cookies behind")
        << setsCookies << u"classic"_s << QByteArrayList{"sid=abc"} << QByteArray("/");
    QTest::newRow("no temporary folder for the browser's cookies: said, and the setting's file goes")
        << setsCookies << u"no temporary folder"_s << QByteArrayList{"sid=abc"} << QByteArray("/");
}

void RequestOptionsTest::windowDownloadAfterRenderingCarriesTheBrowsersCookies() {
    QFETCH(QByteArray, page);
    QFETCH(QString, before);
    QFETCH(QByteArrayList, cookies);
    QFETCH(QByteArray, refererPath);
    if (QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty())
        QSKIP("chromium is not installed (scripts/setup installs it)");
    // Chromium reaches nothing but loopback: a proxy that refuses every connection and a resolver
    // that knows no names; its profile and our cookie file go to a folder the test looks into.
    QTemporaryDir temporary;
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", temporary.path().toUtf8());
    qputenv(
        "VARNOLUX_CHROMIUM_FLAGS",
        R"(--proxy-server=http://127.0.0.1:9 "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1")");
    const auto restore = qScopeGuard([&] {
        savedTmp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTmp);
        qunsetenv("VARNOLUX_CHROMIUM_FLAGS");
    });

    TestServer server;
    server.route("/", serve::ok(page).withHeader("Set-Cookie", "secret=2; Path=/; HttpOnly"));
    server.route("/shown.html", serve::ok("<img src=\"a.png\">"));
    server.route("/a.png", serve::ok("PNGDATA", "image/png"));
    QTemporaryDir folder;
    QTemporaryDir state;
    const QString cookieFile = state.filePath(QStringLiteral("cookies.txt"));
    QVERIFY(writeFile(cookieFile, "127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tabc\n"));
    TemporarySettings settings;
    settings.put(QStringLiteral("Web Site"), text(server.address("/")));
    settings.put(QStringLiteral("Text2"), folder.path() + u'/');
    settings.put(QStringLiteral("X"), QStringLiteral("1"));
    settings.put(QStringLiteral("X Filter"), QStringLiteral("PNG"));
    settings.put(QStringLiteral("Find Mode"), QStringLiteral("rendered"));
    settings.put(QStringLiteral("Cookies"), cookieFile);
    TestWindow test;
    Form1& window = test.load();
    QCOMPARE(test.onlineChecks, 1); // through the seam, never to the network

    QTest::mouseClick(control(window, QStringLiteral("PushButton5")), Qt::LeftButton);
    QVERIFY(listingEnds(window));
    QCOMPARE(test.boxes.texts().last(), QStringLiteral("Done."));
    if (before == u"classic"_s) {
        window.action(QStringLiteral("actionFindClassic"))->trigger();
        QTest::mouseClick(control(window, QStringLiteral("PushButton5")), Qt::LeftButton);
        QVERIFY(listingEnds(window));
    } else if (before == u"no temporary folder"_s) {
        qputenv("TMPDIR", temporary.filePath(QStringLiteral("gone")).toUtf8());
    }
    QCOMPARE(window.imageList().count(), 1);
    const qsizetype boxesBefore = test.boxes.texts().size();
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));
    const QStringList shown = test.boxes.texts().mid(boxesBefore);
    if (before == u"no temporary folder"_s) {
        QCOMPARE(shown.size(), 2);
        QVERIFY2(shown.front().contains(u"could not be kept"_s), qPrintable(shown.front()));
    }
    QCOMPARE(shown.last(), QStringLiteral("Done."));
    QVERIFY(QFile::exists(folder.filePath(QStringLiteral("a.png"))));

    // Our own request for the image, not the browser's.
    const QList<RecordedRequest> ours = ourRequests(server.requests(), "/a.png");
    QCOMPARE(ours.size(), 1);
    QCOMPARE(ours.front().cookies(), cookies);
    QCOMPARE(ours.front().header("Referer"), server.address(refererPath));
    // The browser's profile and the cookies' file went with the runs (the test's own folders stay).
    QTRY_COMPARE(
        QDir(temporary.path()).entryList({QStringLiteral("varnolux-*")}, QDir::AllEntries | QDir::Hidden),
        QStringList());
}

QTEST_MAIN(RequestOptionsTest)
#include "tst_requestoptions.moc"
