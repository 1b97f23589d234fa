// Options that must hold for the whole run, as a user runs the built program: secrets and the
// Referer across hosts and redirects (servers on 127.0.0.1 and 127.0.0.2), the rate limit, the
// number of tries, and file names that are not UTF-8.

#include "support/CliRunner.h"
#include "support/Files.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace {

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

// The folder's entries as the bytes the file system holds, sorted.
QList<QByteArray> rawEntries(const QString& folder) {
    QList<QByteArray> names;
    if (DIR* dir = ::opendir(QFile::encodeName(folder).constData())) {
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names << name;
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool writeRaw(const QString& folder, const QByteArray& name, const QByteArray& bytes) {
    const QByteArray path = QFile::encodeName(folder) + '/' + name;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    ::close(fd);
    return written;
}

QByteArray readRaw(const QString& folder, const QByteArray& name) {
    QFile file;
    const int fd = ::open((QFile::encodeName(folder) + '/' + name).constData(), O_RDONLY);
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return "<missing>";
    return file.readAll();
}

// The JSON object of a --json run for the link that ends in suffix.
QJsonObject jsonFor(const QByteArray& out, const QString& suffix) {
    for (const QByteArray& line : out.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value(QLatin1StringView("url")).toString().endsWith(suffix))
            return object;
    }
    return {};
}

// Removes what the folder holds by the bytes of each name, which QTemporaryDir cannot do for
// names that are not UTF-8.
struct RawCleanup {
    QString folder;
    ~RawCleanup() {
        for (const QByteArray& name : rawEntries(folder))
            ::unlink((QFile::encodeName(folder) + '/' + name).constData());
    }
};

enum class Route {
    SameHost,            // the page links an image on its own host
    RedirectToOtherHost, // ... which redirects to the other host
    LinkToOtherHost,     // the page links an image on the other host
    HttpsPageHttpLink,   // an https page links an http image (a redirect would be refused)
    ThreeHops,           // own host -> other host -> own host -> own host
    InputLink,           // --input names an image on the other host, which redirects to own
};

} // namespace

Q_DECLARE_METATYPE(Route)
Q_DECLARE_METATYPE(Behaviour)

class RunOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void headersGoOnlyWhereTheyMay_data();
    void headersGoOnlyWhereTheyMay();
    void rateLimitHoldsForTheWholeRun_data();
    void rateLimitHoldsForTheWholeRun();
    void triesCountTheRequestsSent_data();
    void triesCountTheRequestsSent();
    void namesKeepTheirBytes_data();
    void namesKeepTheirBytes();

private:
    std::unique_ptr<TestCertificate> m_certificate;
    bool m_secondHost = false;
};

void RunOptionsTest::initTestCase() {
    QVERIFY(QFileInfo(varnoluxExecutable()).isExecutable());
    m_certificate = std::make_unique<TestCertificate>();
    QVERIFY2(m_certificate->isValid(), qPrintable(m_certificate->errorString()));
    m_secondHost = TestServer("127.0.0.2").isListening();
}

void RunOptionsTest::headersGoOnlyWhereTheyMay_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<Route>("route");
    // What each request of the route carries, the page's first: "V" the value given, "PAGE" the
    // page's full address, "ORIGIN" its origin, "" nothing.
    QTest::addColumn<QList<QByteArray>>("expected");

    const QByteArray v = "V";
    const QByteArray none;
    struct Kind {
        const char* name;
        QStringList options;
        QByteArray header;
        bool credential; // goes to the page's own scheme, host and port only
    };
    const QList<Kind> kinds{
        {"Authorization from --header",
         {QStringLiteral("--header"), QStringLiteral("Authorization: Bearer s3cret")},
         "Authorization",
         true},
        {"Cookie from --header",
         {QStringLiteral("--header"), QStringLiteral("Cookie: session=s3cret")},
         "Cookie",
         true},
        {"Proxy-Authorization from --header",
         {QStringLiteral("--header"), QStringLiteral("Proxy-Authorization: Basic czNjcmV0")},
         "Proxy-Authorization",
         true},
        {"an ordinary header",
         {QStringLiteral("--header"), QStringLiteral("Accept-Language: de")},
         "Accept-Language",
         false},
    };
    for (const Kind& kind : kinds) {
        const QByteArray only = kind.credential ? none : v;
        auto row = [&](const char* route, Route r, const QList<QByteArray>& expected) {
            QTest::addRow("%s, %s", kind.name, route) << kind.options << kind.header << r << expected;
        };
        row("same host", Route::SameHost, {v, v});
        row("redirect to another host", Route::RedirectToOtherHost, {v, v, only});
        row("link to another host", Route::LinkToOtherHost, {v, only});
        row("https page, http link", Route::HttpsPageHttpLink, {v, only});
        row("three hops through another host", Route::ThreeHops, {v, v, only, v, v});
        row("--input: the link's own host, not where it redirects", Route::InputLink, {v, only});
    }
    // The cookie file's rules stay: a cookie of 127.0.0.1 goes to any port of it, never to
    // 127.0.0.2.
    const QStringList jar{QStringLiteral("--cookies"), QStringLiteral("JAR")};
    QTest::newRow("Cookie from --cookies, same host")
        << jar << QByteArray("Cookie") << Route::SameHost << QList<QByteArray>{v, v};
    QTest::newRow("Cookie from --cookies, redirect to another host")
        << jar << QByteArray("Cookie") << Route::RedirectToOtherHost << QList<QByteArray>{v, v, none};
    QTest::newRow("Cookie from --cookies, link to another host")
        << jar << QByteArray("Cookie") << Route::LinkToOtherHost << QList<QByteArray>{v, none};
    QTest::newRow("Cookie from --cookies, three hops through another host")
        << jar << QByteArray("Cookie") << Route::ThreeHops << QList<QByteArray>{v, v, none, v, v};
    // strict-origin-when-cross-origin, for the request each hop actually sends.
    const QByteArray page = "PAGE";
    const QByteArray origin = "ORIGIN";
    QTest::newRow("Referer, same host")
        << QStringList() << QByteArray("Referer") << Route::SameHost << QList<QByteArray>{none, page};
    QTest::newRow("Referer, redirect to another host")
        << QStringList() << QByteArray("Referer") << Route::RedirectToOtherHost
        << QList<QByteArray>{none, page, origin};
    QTest::newRow("Referer, link to another host")
        << QStringList() << QByteArray("Referer") << Route::LinkToOtherHost
        << QList<QByteArray>{none, origin};
    QTest::newRow("Referer, https page, http link")
        << QStringList() << QByteArray("Referer") << Route::HttpsPageHttpLink
        << QList<QByteArray>{none, none};
    QTest::newRow("Referer, three hops through another host")
        << QStringList() << QByteArray("Referer") << Route::ThreeHops
        << QList<QByteArray>{none, page, origin, page, page};
}

void RunOptionsTest::headersGoOnlyWhereTheyMay() {
    QFETCH(QStringList, options);
    QFETCH(QByteArray, header);
    QFETCH(Route, route);
    QFETCH(QList<QByteArray>, expected);
    if (!m_secondHost)
        QSKIP("127.0.0.2 cannot be bound on this machine: no second host to redirect to");

    TestServer own;
    TestServer other("127.0.0.2");
    TestServer secure;
    secure.useTls(*m_certificate);
    TestServer& pageServer = route == Route::HttpsPageHttpLink ? secure : own;
    const QByteArray pagePath = "/gallery/";
    const Behaviour image = serve::ok("picture", "image/jpeg");
    // Each request to watch, in the order the run makes them.
    QList<std::pair<TestServer*, QByteArray>> watched{{&pageServer, pagePath}};
    QByteArray link;
    CliOptions environment;
    environment.environment = {{QStringLiteral("SSL_CERT_FILE"), m_certificate->caBundlePath()}};
    switch (route) {
    case Route::SameHost:
        link = "same.jpg";
        own.route("/gallery/same.jpg", image);
        watched << std::pair{&own, QByteArray("/gallery/same.jpg")};
        break;
    case Route::RedirectToOtherHost:
        link = "moved.jpg";
        own.route("/gallery/moved.jpg", serve::redirect(other.address("/img.jpg")));
        other.route("/img.jpg", image);
        watched << std::pair{&own, QByteArray("/gallery/moved.jpg")}
                << std::pair{&other, QByteArray("/img.jpg")};
        break;
    case Route::LinkToOtherHost:
        link = other.address("/direct.jpg");
        other.route("/direct.jpg", image);
        watched << std::pair{&other, QByteArray("/direct.jpg")};
        break;
    case Route::HttpsPageHttpLink:
        link = own.address("/plain.jpg");
        own.route("/plain.jpg", image);
        watched << std::pair{&own, QByteArray("/plain.jpg")};
        break;
    case Route::ThreeHops:
        link = "hop.jpg";
        own.route("/gallery/hop.jpg", serve::redirect(other.address("/hop2"), 301));
        other.route("/hop2", serve::redirect(own.address("/hop3"), 307));
        own.route("/hop3", serve::redirect("/gallery/final.jpg", 302));
        own.route("/gallery/final.jpg", image);
        watched << std::pair{&own, QByteArray("/gallery/hop.jpg")} << std::pair{&other, QByteArray("/hop2")}
                << std::pair{&own, QByteArray("/hop3")} << std::pair{&own, QByteArray("/gallery/final.jpg")};
        break;
    case Route::InputLink:
        other.route("/given.jpg", serve::redirect(own.address("/img.jpg")));
        own.route("/img.jpg", image);
        watched = {{&other, "/given.jpg"}, {&own, "/img.jpg"}};
        environment.input = other.address("/given.jpg") + '\n';
        options << QStringLiteral("--input") << QStringLiteral("-");
        break;
    }
    pageServer.route(pagePath, serve::ok("<img src=\"" + link + "\">"));

    QTemporaryDir dir;
    QTemporaryDir state;
    const QString jar = state.filePath(QStringLiteral("cookies.txt"));
    QVERIFY(writeFile(jar, "127.0.0.1\tFALSE\t/\tFALSE\t0\tjar\ts3cret\n"));
    QByteArray value;
    for (QString& option : options) {
        option.replace(QLatin1StringView("JAR"), jar);
        if (option.startsWith(QString::fromLatin1(header) + u':'))
            value = option.sliced(header.size() + 1).trimmed().toUtf8();
    }
    if (options.contains(jar))
        value = "jar=s3cret";
    QStringList arguments = QStringList{QStringLiteral("download")} << options;
    if (route != Route::InputLink)
        arguments << text(pageServer.address(pagePath));
    const CliResult r = runVarnolux(arguments << dir.path(), environment);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());

    QCOMPARE(watched.size(), expected.size());
    for (qsizetype i = 0; i < watched.size(); ++i) {
        const auto& [server, path] = watched[i];
        QByteArray want = expected[i];
        if (want == "V")
            want = value;
        else if (want == "PAGE")
            want = pageServer.address(pagePath);
        else if (want == "ORIGIN")
            want = pageServer.base() + '/';
        const auto request = std::find_if(server->requests().cbegin(), server->requests().cend(),
                                          [&](const RecordedRequest& r) { return r.path == path; });
        QVERIFY2(request != server->requests().cend(), path.constData());
        QVERIFY2(request->header(header) == want,
                 qPrintable(QStringLiteral("request %1 (%2): %3 is \"%4\", not \"%5\"")
                                .arg(i)
                                .arg(text(server->address(path)), text(header), text(request->header(header)),
                                     text(want))));
    }
}

void RunOptionsTest::rateLimitHoldsForTheWholeRun_data() {
    QTest::addColumn<int>("images");
    QTest::addColumn<int>("kib"); // each
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("atLeastMs");

    // Lower bounds only, 80 % of the time the bytes take at the rate.
    QTest::newRow("three images one after the other, 300 KiB at 100k")
        << 3 << 100 << QStringList{QStringLiteral("--limit-rate"), QStringLiteral("100k")} << 2400;
    QTest::newRow("three lanes share the one rate")
        << 3 << 100
        << QStringList{QStringLiteral("--limit-rate"), QStringLiteral("100k"), QStringLiteral("--parallel"),
                       QStringLiteral("3")}
        << 2400;
    QTest::newRow("many small images, each one held back too")
        << 12 << 10 << QStringList{QStringLiteral("--limit-rate=40k")} << 2400;
}

void RunOptionsTest::rateLimitHoldsForTheWholeRun() {
    QFETCH(int, images);
    QFETCH(int, kib);
    QFETCH(QStringList, options);
    QFETCH(int, atLeastMs);

    TestServer server;
    QByteArray page;
    for (int i = 0; i < images; ++i) {
        const QByteArray name = "/i" + QByteArray::number(i) + ".jpg";
        page += "<img src=\"" + name.sliced(1) + "\">";
        server.route(name, serve::generated(kib * 1024, "image/jpeg"));
    }
    server.route("/", serve::ok(page));
    QTemporaryDir dir;
    QElapsedTimer clock;
    clock.start();
    const CliResult r = runVarnolux(QStringList{QStringLiteral("download")}
                                    << options << text(server.address("/")) << dir.path());
    const qint64 took = clock.elapsed();
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QVERIFY2(took >= atLeastMs, qPrintable(QStringLiteral("took %1 ms").arg(took)));
    for (int i = 0; i < images; ++i)
        QVERIFY(readAll(dir.filePath(QStringLiteral("i%1.jpg").arg(i))) == generatedBytes(0, kib * 1024));
}

void RunOptionsTest::triesCountTheRequestsSent_data() {
    QTest::addColumn<int>("retries");
    QTest::addColumn<QList<Behaviour>>("answers"); // for b.jpg, in turn, the last repeated
    QTest::addColumn<int>("requests");             // that the server receives for b.jpg
    QTest::addColumn<QString>("status");

    const Behaviour cut = serve::cutShort(5000, 2000);
    const Behaviour reset = serve::reset(5000, 2000);
    const Behaviour whole = serve::generated(5000, "image/jpeg");
    QTest::newRow("--retries 0: a body cut off mid-way is asked for once")
        << 0 << QList<Behaviour>{cut} << 1 << QStringLiteral("failed");
    QTest::newRow("--retries 0: a connection reset mid-body is asked for once")
        << 0 << QList<Behaviour>{reset} << 1 << QStringLiteral("failed");
    QTest::newRow("--retries 0: a 503 is asked for once")
        << 0 << QList<Behaviour>{serve::response(503, "Service Unavailable")} << 1
        << QStringLiteral("failed");
    QTest::newRow("--retries 1: cut off twice, two requests")
        << 1 << QList<Behaviour>{cut} << 2 << QStringLiteral("failed");
    QTest::newRow("--retries 2: cut off once, then whole")
        << 2 << QList<Behaviour>{cut, whole} << 2 << QStringLiteral("saved");
}

void RunOptionsTest::triesCountTheRequestsSent() {
    QFETCH(int, retries);
    QFETCH(QList<Behaviour>, answers);
    QFETCH(int, requests);
    QFETCH(QString, status);

    TestServer server;
    // The first image comes late, so the next ones are asked for early and end meanwhile.
    server.route("/", serve::ok("<img src=\"slow.jpg\"><img src=\"b.jpg\"><img src=\"c.jpg\">"));
    server.route("/slow.jpg", serve::generated(1000, "image/jpeg").delayed(500));
    server.route("/c.jpg", serve::generated(1000, "image/jpeg"));
    QList<std::function<Behaviour(const RecordedRequest&)>> turns;
    for (const Behaviour& answer : answers)
        turns << [answer](const RecordedRequest&) { return answer; };
    const auto b = serve::inTurn(turns);
    server.setFallback([b](const RecordedRequest& request) {
        return request.path == "/b.jpg" ? b(request) : serve::response(404, "Not Found");
    });
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("b.jpg")), "kept"));
    CliOptions fast;
    fast.environment = {{QStringLiteral("VARNOLUX_RETRY_UNIT_MS"), QStringLiteral("10")}};
    const CliResult r =
        runVarnolux({QStringLiteral("download"), QStringLiteral("--json"), QStringLiteral("--retries"),
                     QString::number(retries), text(server.address("/")), dir.path()},
                    fast);
    QVERIFY2(r.finished, qPrintable(r.errorString));

    QCOMPARE(server.paths().count("/b.jpg"), requests);
    const QJsonObject line = jsonFor(r.out, QStringLiteral("/b.jpg"));
    QCOMPARE(line.value(QLatin1StringView("status")).toString(), status);
    QCOMPARE(line.value(QLatin1StringView("tries")).toInt(), requests);
    // A failed link leaves the file there as it was.
    QCOMPARE(readAll(dir.filePath(QStringLiteral("b.jpg"))),
             status == QLatin1StringView("saved") ? generatedBytes(0, 5000) : QByteArray("kept"));
    QCOMPARE(server.paths().count("/slow.jpg"), 1);
    QCOMPARE(server.paths().count("/c.jpg"), 1);
}

void RunOptionsTest::namesKeepTheirBytes_data() {
    QTest::addColumn<QList<QByteArray>>("links"); // as the page writes them
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<QByteArray>>("existing"); // files there before the run
    QTest::addColumn<QList<QByteArray>>("files");    // afterwards, sorted
    QTest::addColumn<QList<QByteArray>>("paths");    // the JSON path of each link, after the folder

    QTest::newRow("two Latin-1 names one byte apart stay two files")
        << QList<QByteArray>{"caf\xE9.jpg", "caf\xE8.jpg"} << QStringList() << QList<QByteArray>()
        << QList<QByteArray>{"caf\xE8.jpg", "caf\xE9.jpg"}
        << QList<QByteArray>{"\"caf\\u00e9.jpg\"", "\"caf\\u00e8.jpg\""};
    QTest::newRow("a UTF-8 name is saved as it is")
        << QList<QByteArray>{"caf\xC3\xA9.jpg"} << QStringList() << QList<QByteArray>()
        << QList<QByteArray>{"caf\xC3\xA9.jpg"} << QList<QByteArray>{"\"caf\xC3\xA9.jpg\""};
    QTest::newRow("UTF-8 beside a stray byte")
        << QList<QByteArray>{"\xC3\xA9t\xE9.jpg"} << QStringList() << QList<QByteArray>()
        << QList<QByteArray>{"\xC3\xA9t\xE9.jpg"} << QList<QByteArray>{"\"\xC3\xA9t\\u00e9.jpg\""};
    QTest::newRow("the UTF-8 form of a surrogate is three stray bytes")
        << QList<QByteArray>{"x\xED\xA0\x80.jpg"} << QStringList() << QList<QByteArray>()
        << QList<QByteArray>{"x\xED\xA0\x80.jpg"} << QList<QByteArray>{"\"x\\u00ed\\u00a0\\u0080.jpg\""};
    QTest::newRow("--on-exists rename numbers such a name")
        << QList<QByteArray>{"caf\xE9.jpg"}
        << QStringList{QStringLiteral("--on-exists"), QStringLiteral("rename")}
        << QList<QByteArray>{"caf\xE9.jpg"} << QList<QByteArray>{"caf\xE9 (1).jpg", "caf\xE9.jpg"}
        << QList<QByteArray>{"\"caf\\u00e9 (1).jpg\""};
    QTest::newRow("--on-exists skip finds such a name")
        << QList<QByteArray>{"caf\xE9.jpg"}
        << QStringList{QStringLiteral("--on-exists"), QStringLiteral("skip")}
        << QList<QByteArray>{"caf\xE9.jpg"} << QList<QByteArray>{"caf\xE9.jpg"}
        << QList<QByteArray>{"\"caf\\u00e9.jpg\""};
}

void RunOptionsTest::namesKeepTheirBytes() {
    QFETCH(QList<QByteArray>, links);
    QFETCH(QStringList, options);
    QFETCH(QList<QByteArray>, existing);
    QFETCH(QList<QByteArray>, files);
    QFETCH(QList<QByteArray>, paths);

    TestServer server;
    QByteArray page;
    for (const QByteArray& link : links) {
        page += "<img src=\"" + link + "\">";
        // The link goes on the wire percent-encoded; each answers with its own name.
        server.route('/' + link.toPercentEncoding("()"), serve::ok(link, "image/jpeg"));
    }
    server.route("/", serve::ok(page, "text/html; charset=windows-1252"));
    QTemporaryDir dir;
    const RawCleanup cleanup{dir.path()};
    for (const QByteArray& name : existing)
        QVERIFY(writeRaw(dir.path(), name, "old"));
    const CliResult r = runVarnolux(QStringList{QStringLiteral("download"), QStringLiteral("--json")}
                                    << options << text(server.address("/")) << dir.path());
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());

    QCOMPARE(rawEntries(dir.path()), files);
    const QByteArray folder = QFile::encodeName(QDir(dir.path()).path()) + '/';
    const QList<QByteArray> lines = r.out.split('\n');
    for (qsizetype i = 0; i < links.size(); ++i) {
        // The line as written: the bytes that are not UTF-8 as \u00XX.
        const QByteArray want = "\"path\": \"" + folder + paths[i].sliced(1);
        QVERIFY2(lines.value(i).contains(want), lines.value(i).constData());
        const bool skipped = options.contains(QLatin1StringView("skip"));
        QCOMPARE(readRaw(dir.path(), links[i]), skipped              ? QByteArray("old")
                                                : existing.isEmpty() ? links[i]
                                                                     : "old");
    }
}

QTEST_GUILESS_MAIN(RunOptionsTest)
#include "tst_runoptions.moc"
