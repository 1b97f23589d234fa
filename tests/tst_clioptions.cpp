// The download options as a user runs them: the built program against the loopback server.

#include "support/CliRunner.h"
#include "support/Files.h"
#include "support/TestServer.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

using Answer = std::function<Behaviour(const RecordedRequest&)>;

Answer always(const Behaviour& behaviour) {
    return [behaviour](const RecordedRequest&) { return behaviour; };
}

// Retries wait a hundredth of the real time, so a test of back-off takes milliseconds.
CliOptions fastRetriesOptions() {
    CliOptions options;
    options.environment = {{QStringLiteral("VARNOLUX_RETRY_UNIT_MS"), QStringLiteral("10")}};
    return options;
}
const CliOptions fastRetries = fastRetriesOptions();

QList<QByteArray> errLines(const CliResult& r) {
    return r.err.trimmed().split('\n');
}

} // namespace

class CliOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void rejectsBadOptionValues_data();
    void rejectsBadOptionValues();
    void parallelRunsSaveEveryImage_data();
    void parallelRunsSaveEveryImage();
    void existingFilesFollowOnExists_data();
    void existingFilesFollowOnExists();
    void twoRenameRunsNeverShareAFile();
    void retriesFollowTheRules_data();
    void retriesFollowTheRules();
    void brokenBodiesResumeOrRestart_data();
    void brokenBodiesResumeOrRestart();
    void inputTakesLinksOnePerLine_data();
    void inputTakesLinksOnePerLine();
    void archiveFetchesOnlyWhatIsNew();
    void jsonKeepsEveryByte();
    void signalsCancelTheRun_data();
    void signalsCancelTheRun();
    void signalsCancelTheListingToo_data();
    void signalsCancelTheListingToo();
    void cookiesAndHeadersGoWithEveryRequest();
    void waitAndRateSlowTheRunDown();
};

void CliOptionsTest::rejectsBadOptionValues_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("says");

    auto row = [](const char* name, QStringList options, const char* says) {
        QTest::newRow(name) << options << QString::fromUtf8(says);
    };
    row("--parallel 0 is below the range", {QStringLiteral("--parallel"), QStringLiteral("0")},
        "option '--parallel' takes a whole number from 1 to 16, not '0'");
    row("--parallel 17 is above the range", {QStringLiteral("--parallel"), QStringLiteral("17")},
        "option '--parallel' takes a whole number from 1 to 16, not '17'");
    row("--parallel=abc is no number", {QStringLiteral("--parallel=abc")}, "option '--parallel'");
    row("--parallel 2.5 is no whole number", {QStringLiteral("--parallel"), QStringLiteral("2.5")},
        "option '--parallel'");
    row("--parallel without its value at the end", {QStringLiteral("--parallel")}, "needs a value");
    row("--retries -1 is below the range", {QStringLiteral("--retries"), QStringLiteral("-1")},
        "option '--retries' takes a whole number from 0 to 100, not '-1'");
    row("--retries 101 is above the range", {QStringLiteral("--retries=101")}, "option '--retries'");
    row("--retries x is no number", {QStringLiteral("--retries"), QStringLiteral("x")}, "option '--retries'");
    row("--on-exists takes only its three words",
        {QStringLiteral("--on-exists"), QStringLiteral("overwrite")},
        "option '--on-exists' takes replace, skip or rename, not 'overwrite'");
    row("--on-exists words are lower case", {QStringLiteral("--on-exists=Skip")}, "option '--on-exists'");
    row("--limit-rate with an unknown suffix", {QStringLiteral("--limit-rate"), QStringLiteral("5X")},
        "option '--limit-rate' takes bytes per second");
    row("--limit-rate 0 limits nothing", {QStringLiteral("--limit-rate=0")}, "option '--limit-rate'");
    row("--limit-rate below one byte", {QStringLiteral("--limit-rate=0.5")}, "option '--limit-rate'");
    row("--wait abc is no number", {QStringLiteral("--wait"), QStringLiteral("abc")},
        "option '--wait' takes seconds");
    row("--wait -1 is negative", {QStringLiteral("--wait=-1")}, "option '--wait'");
    row("--cookies of a missing file", {QStringLiteral("--cookies"), QStringLiteral("FOLDER/none.txt")},
        "option '--cookies': cannot read");
    row("--cookies of a folder", {QStringLiteral("--cookies"), QStringLiteral("FOLDER")},
        "option '--cookies': cannot read");
    row("--header with a line break", {QStringLiteral("--header"), QStringLiteral("X-A: 1\r\nX-B: 2")},
        "option '--header' may not contain a line break");
    row("--header naming Host", {QStringLiteral("--header"), QStringLiteral("host: example.org")},
        "option '--header' may not set host");
    row("--header naming Content-Length", {QStringLiteral("--header=Content-Length: 5")},
        "option '--header' may not set Content-Length");
    row("--header without a colon", {QStringLiteral("--header"), QStringLiteral("X-Flag")},
        "option '--header' takes \"Name: value\"");
    row("--download-archive that is a folder",
        {QStringLiteral("--download-archive"), QStringLiteral("FOLDER")},
        "option '--download-archive': cannot read");
    row("--referer goes with --input only", {QStringLiteral("--referer"), QStringLiteral("http://x/")},
        "option '--referer' goes with '--input'");
    row("--input of a folder",
        {QStringLiteral("NOADDRESS"), QStringLiteral("--input"), QStringLiteral("FOLDER")},
        "option '--input': ");
    row("--input of a missing file", {QStringLiteral("NOADDRESS"), QStringLiteral("--input=FOLDER/none")},
        "option '--input': cannot read");
}

void CliOptionsTest::rejectsBadOptionValues() {
    QFETCH(QStringList, options);
    QFETCH(QString, says);
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\">"));
    server.route("/a.jpg", serve::generated(100));
    QTemporaryDir dir;
    // Options come first, except one whose value is missing, which must come last.
    const bool last = options == QStringList{QStringLiteral("--parallel")};
    QStringList positional{text(server.address("/")), dir.path()};
    if (options.removeAll(QStringLiteral("NOADDRESS")) > 0)
        positional.removeFirst();
    for (QString& option : options)
        option.replace(QStringLiteral("FOLDER"), dir.path());
    const CliResult r = runVarnolux(QStringList{QStringLiteral("download")} +
                                    (last ? positional + options : options + positional));
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(says.toUtf8()), r.err.constData());
    // Nothing at all is asked for before the arguments are known to be good.
    QCOMPARE(server.requests().size(), 0);
    QCOMPARE(folderEntries(dir.path()), QStringList());
}

void CliOptionsTest::parallelRunsSaveEveryImage_data() {
    QTest::addColumn<int>("parallel");
    QTest::newRow("one at a time") << 1;
    QTest::newRow("two at once") << 2;
    QTest::newRow("at most 6 to the one host of 16") << 16;
}

void CliOptionsTest::parallelRunsSaveEveryImage() {
    QFETCH(int, parallel);
    TestServer server;
    QByteArray page;
    constexpr int images = 40;
    for (int i = 0; i < images; ++i) {
        const QByteArray name = "/img" + QByteArray::number(i) + ".jpg";
        page += "<img src=\"" + name.mid(1) + "\">";
        server.route(name, serve::generated(3000 + 997 * i).delayed(i % 3 == 0 ? 30 : 0));
    }
    // Three links of one name: the first is slowest, the last is what must remain.
    page += "<img src=\"a/thumb.jpg\"><img src=\"b/thumb.jpg\"><img src=\"c/thumb.jpg\">";
    server.route("/a/thumb.jpg", serve::ok("first", "image/jpeg").delayed(300));
    server.route("/b/thumb.jpg", serve::ok("second", "image/jpeg").delayed(100));
    server.route("/c/thumb.jpg", serve::ok("third", "image/jpeg"));
    server.route("/", serve::ok(page));
    int open = 0;
    int mostOpen = 0;
    connect(&server, &TestServer::requestArrived, this, [&](const RecordedRequest& request) {
        Q_UNUSED(request);
        mostOpen = qMax(mostOpen, ++open);
    });
    QTemporaryDir dir;
    const CliResult r = runVarnolux({QStringLiteral("download"), QStringLiteral("--parallel"),
                                     QString::number(parallel), text(server.address("/")), dir.path()});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    for (int i = 0; i < images; ++i)
        QVERIFY(readAll(dir.filePath(QStringLiteral("img%1.jpg").arg(i))) ==
                generatedBytes(0, 3000 + 997 * i));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("thumb.jpg"))), QByteArray("third"));
    QCOMPARE(folderEntries(dir.path()).size(), images + 1);
    QVERIFY2(errLines(r).last().startsWith("Saved 43 of 43 images"), r.err.constData());
    // Over HTTP/1.1 a transfer at once needs a connection of its own: they count the transfers
    // at once (the page's may be one more), and more than one means they really ran together.
    if (parallel > 1) {
        QVERIFY2(server.connectionCount() <= qMin(parallel, 6) + 1,
                 qPrintable(QString::number(server.connectionCount())));
        QVERIFY2(server.connectionCount() > 1, qPrintable(QString::number(server.connectionCount())));
    }
}

void CliOptionsTest::existingFilesFollowOnExists_data() {
    QTest::addColumn<QString>("onExists"); // empty: the default
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QList<QByteArray>>("contents");
    QTest::addColumn<bool>("fetched"); // whether a.jpg was asked for
    QTest::addColumn<QByteArray>("line");

    const QStringList base{QStringLiteral("a.jpg")};
    QTest::newRow("by default the new file replaces the old one")
        << QString() << base << QList<QByteArray>{"new"} << true << QByteArray("saved ");
    QTest::newRow("replace is the default said aloud")
        << QStringLiteral("replace") << base << QList<QByteArray>{"new"} << true << QByteArray("saved ");
    QTest::newRow("skip keeps the file and asks for nothing")
        << QStringLiteral("skip") << base << QList<QByteArray>{"old"} << false << QByteArray("skipped ");
    QTest::newRow("rename saves beside it as name (1).ext")
        << QStringLiteral("rename") << QStringList{QStringLiteral("a (1).jpg"), QStringLiteral("a.jpg")}
        << QList<QByteArray>{"new", "old"} << true << QByteArray("saved ");
}

void CliOptionsTest::existingFilesFollowOnExists() {
    QFETCH(QString, onExists);
    QFETCH(QStringList, files);
    QFETCH(QList<QByteArray>, contents);
    QFETCH(bool, fetched);
    QFETCH(QByteArray, line);
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\">"));
    server.route("/a.jpg", serve::ok("new", "image/jpeg"));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.jpg")), "old"));
    QStringList args{QStringLiteral("download")};
    if (!onExists.isEmpty())
        args << QStringLiteral("--on-exists") << onExists;
    const CliResult r = runVarnolux(args + QStringList{text(server.address("/")), dir.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(folderEntries(dir.path()), files);
    for (qsizetype i = 0; i < files.size(); ++i)
        QCOMPARE(readAll(dir.filePath(files[i])), contents[i]);
    QCOMPARE(server.distinctPaths().contains("/a.jpg"), fetched);
    QVERIFY2(errLines(r).first().startsWith(line + server.address("/a.jpg")), r.err.constData());
    QCOMPARE(errLines(r).last().endsWith("; 1 skipped."), !fetched);
}

void CliOptionsTest::twoRenameRunsNeverShareAFile() {
    TestServer server;
    QByteArray page;
    constexpr int links = 12;
    for (int i = 0; i < links; ++i) {
        // Twelve links, all saved as pic.jpg, each body telling which link it came from.
        const QByteArray path = "/d" + QByteArray::number(i) + "/pic.jpg";
        page += "<img src=\"" + path + "\">";
        server.route(path, serve::ok("body " + QByteArray::number(i), "image/jpeg").delayed(5 * (i % 4)));
    }
    server.route("/", serve::ok(page));
    QTemporaryDir dir;
    QList<QProcess*> runs;
    for (int run = 0; run < 2; ++run) {
        auto* process = new QProcess(this);
        process->setProgram(varnoluxExecutable());
        process->setArguments({QStringLiteral("download"), QStringLiteral("--on-exists"),
                               QStringLiteral("rename"), QStringLiteral("--parallel"), QStringLiteral("4"),
                               text(server.address("/")), dir.path()});
        process->start();
        runs << process;
    }
    // The server answers from this thread's event loop while both runs go on.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000 && std::any_of(runs.begin(), runs.end(), [](QProcess* p) {
               return p->state() != QProcess::NotRunning;
           }))
        QTest::qWait(20);
    for (QProcess* process : std::as_const(runs)) {
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QVERIFY2(process->exitCode() == 0, process->readAllStandardError().constData());
    }
    const QStringList names = folderEntries(dir.path());
    QCOMPARE(names.size(), 2 * links);
    // Every body was saved exactly twice, once by each run, and no file was written twice.
    QMap<QByteArray, int> bodies;
    for (const QString& name : names)
        ++bodies[readAll(dir.filePath(name))];
    QCOMPARE(bodies.size(), links);
    for (auto it = bodies.cbegin(); it != bodies.cend(); ++it)
        QVERIFY2(it.value() == 2, it.key().constData());
    QVERIFY(names.contains(QStringLiteral("pic.jpg")));
    QVERIFY(names.contains(QStringLiteral("pic (23).jpg")));
}

void CliOptionsTest::retriesFollowTheRules_data() {
    QTest::addColumn<int>("retries");
    QTest::addColumn<QList<Behaviour>>("answers"); // in turn, the last one repeated
    QTest::addColumn<int>("requests");             // image requests made
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QByteArray>("says");

    const Behaviour good = serve::ok("picture", "image/jpeg");
    const Behaviour busy = serve::response(503, "Service Unavailable");
    auto status = [](int code) { return serve::response(code, "Try Later"); };
    auto after = [](int code, const QByteArray& value) {
        return serve::response(code, "Slow Down").withHeader("Retry-After", value);
    };
    QTest::newRow("no retries by default: a 503 fails at once")
        << 0 << QList<Behaviour>{busy, good} << 1 << false << QByteArray("HTTP 503");
    QTest::newRow("503 then 200 is saved on the second try")
        << 1 << QList<Behaviour>{busy, good} << 2 << true << QByteArray("(7 bytes, 2 tries)");
    for (int code : {408, 429, 500, 502, 504})
        QTest::addRow("%d is tried again", code)
            << 2 << QList<Behaviour>{status(code), good} << 2 << true << QByteArray("2 tries");
    QTest::newRow("404 is final, retries or not")
        << 3 << QList<Behaviour>{serve::response(404, "Not Found"), good} << 1 << false
        << QByteArray("HTTP 404");
    QTest::newRow("the tries run out and the line says how many")
        << 2 << QList<Behaviour>{busy} << 3 << false
        << QByteArray("HTTP 503 Service Unavailable (after 3 tries)");
    QTest::newRow("429 with Retry-After in seconds is waited for")
        << 1 << QList<Behaviour>{after(429, "2"), good} << 2 << true << QByteArray("2 tries");
    QTest::newRow("Retry-After beyond 120 s fails with that reason")
        << 3 << QList<Behaviour>{after(503, "121"), good} << 1 << false
        << QByteArray("the server asks to wait more than 120 seconds");
    QTest::newRow("a malformed Retry-After gets the ordinary back-off")
        << 1 << QList<Behaviour>{after(503, "later"), good} << 2 << true << QByteArray("2 tries");
    QTest::newRow("a Retry-After in the past gets the ordinary back-off")
        << 1 << QList<Behaviour>{after(429, "Thu, 01 Jan 1970 00:00:00 GMT"), good} << 2 << true
        << QByteArray("2 tries");
    QTest::newRow("a connection reset mid-body is tried again")
        << 1 << QList<Behaviour>{serve::reset(5000, 1000), good} << 2 << true << QByteArray("2 tries");
    QTest::newRow("a body cut short without ranges starts again")
        << 1 << QList<Behaviour>{serve::cutShort(5000, 1000), good} << 2 << true << QByteArray("2 tries");
}

void CliOptionsTest::retriesFollowTheRules() {
    QFETCH(int, retries);
    QFETCH(QList<Behaviour>, answers);
    QFETCH(int, requests);
    QFETCH(bool, saved);
    QFETCH(QByteArray, says);
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\">"));
    QList<Answer> inTurn;
    for (const Behaviour& b : std::as_const(answers))
        inTurn << always(b);
    server.setFallback(serve::inTurn(inTurn));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.jpg")), "old"));
    const CliResult r = runVarnolux({QStringLiteral("download"), QStringLiteral("--retries"),
                                     QString::number(retries), text(server.address("/")), dir.path()},
                                    fastRetries);
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, saved ? 0 : 1);
    QCOMPARE(server.requests().size() - 1, requests);
    QVERIFY2(errLines(r).first().contains(says), r.err.constData());
    // A failed run keeps the old file; nothing else is left behind.
    QCOMPARE(readAll(dir.filePath(QStringLiteral("a.jpg"))),
             saved ? QByteArray("picture") : QByteArray("old"));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("a.jpg")});
}

void CliOptionsTest::brokenBodiesResumeOrRestart_data() {
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<QString>("second"); // how the retry is answered
    QTest::addColumn<bool>("resumed");   // the retry asked for the rest only
    QTest::addColumn<int>("requests");

    const QByteArray date = "Tue, 01 Dec 2026 10:00:00 GMT";
    QTest::newRow("same ETag: the rest is fetched into the same file")
        << QByteArray("\"v1\"") << QByteArray() << QStringLiteral("ranged") << true << 2;
    QTest::newRow("same Last-Modified: resumed too")
        << QByteArray() << date << QStringLiteral("ranged") << true << 2;
    QTest::newRow("no validator: starts again from zero")
        << QByteArray() << QByteArray() << QStringLiteral("ranged") << false << 2;
    QTest::newRow("a 200 to the range: the whole body from zero")
        << QByteArray("\"v1\"") << QByteArray() << QStringLiteral("whole") << true << 2;
    QTest::newRow("a Content-Range that does not match: from zero, never spliced")
        << QByteArray("\"v1\"") << QByteArray() << QStringLiteral("wrong range") << true << 3;
    QTest::newRow("another ETag on the 206: from zero")
        << QByteArray("\"v1\"") << QByteArray() << QStringLiteral("other etag") << true << 3;
}

void CliOptionsTest::brokenBodiesResumeOrRestart() {
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QFETCH(QString, second);
    QFETCH(bool, resumed);
    QFETCH(int, requests);
    constexpr qint64 size = 300'000;
    constexpr qint64 cut = 100'000;
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\">"));
    const Answer first = [=](const RecordedRequest& request) {
        return serve::ranged(request, size, etag, lastModified).sendingOnly(cut);
    };
    Answer retry = [=](const RecordedRequest& request) {
        return serve::ranged(request, size, etag, lastModified);
    };
    if (second == u"whole")
        retry = [=](const RecordedRequest& request) {
            Q_UNUSED(request);
            return serve::generated(size).withHeader("ETag", etag);
        };
    else if (second == u"wrong range" || second == u"other etag")
        retry = [=](const RecordedRequest& request) {
            if (request.header("Range").isEmpty())
                return serve::ranged(request, size, etag, lastModified);
            RecordedRequest shifted = request;
            // The rest of the body, but claiming to start 16 bytes later: spliced, it would look
            // almost right.
            for (auto& [name, value] : shifted.headers)
                if (name == "Range")
                    value = "bytes=" +
                            QByteArray::number(request.header("Range").mid(6).chopped(1).toLongLong() + 16) +
                            '-';
            Behaviour b =
                serve::ranged(shifted, size, second == u"other etag" ? "\"v2\"" : etag, lastModified);
            if (second == u"other etag")
                return serve::ranged(request, size, "\"v2\"", lastModified);
            return b;
        };
    server.setFallback(serve::inTurn({first, retry}));
    QTemporaryDir dir;
    const CliResult r = runVarnolux({QStringLiteral("download"), QStringLiteral("--retries"),
                                     QStringLiteral("2"), text(server.address("/")), dir.path()},
                                    fastRetries);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QVERIFY(readAll(dir.filePath(QStringLiteral("a.jpg"))) == generatedBytes(0, size));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("a.jpg")});
    const QList<RecordedRequest>& sent = server.requests();
    QCOMPARE(sent.size() - 1, requests);
    const QByteArray range = sent.at(2).header("Range");
    QCOMPARE(!range.isEmpty(), resumed);
    if (resumed) {
        const qint64 from = range.mid(6).chopped(1).toLongLong();
        QVERIFY2(from > 0 && from <= cut, range.constData());
        QCOMPARE(sent.at(2).header("If-Range"), etag.isEmpty() ? lastModified : etag);
    }
    // A restart after a mismatch asks for the whole body again.
    if (requests == 3)
        QCOMPARE(sent.at(3).header("Range"), QByteArray());
}

void CliOptionsTest::inputTakesLinksOnePerLine_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("referer");
    QTest::newRow("no Referer unless asked") << QStringList{} << QByteArray();
    QTest::newRow("--referer names one")
        << QStringList{QStringLiteral("--referer"), QStringLiteral("http://gallery.example/")}
        << QByteArray("http://gallery.example/");
}

void CliOptionsTest::inputTakesLinksOnePerLine() {
    QFETCH(QStringList, options);
    QFETCH(QByteArray, referer);
    TestServer server;
    server.route("/a.jpg", serve::ok("aaa", "image/jpeg"));
    server.route("/b.png", serve::ok("bb", "image/png"));
    QTemporaryDir dir;
    CliOptions run;
    // Blank lines, comments, CR LF line ends and blanks around a link are all taken in stride.
    run.input = "# from varnolux list\n\n" + server.address("/a.jpg") + "\r\n   " + server.address("/b.png") +
                "  \n#" + server.address("/c.jpg") + "\n";
    const CliResult r =
        runVarnolux(QStringList{QStringLiteral("download"), QStringLiteral("--input"), QStringLiteral("-")} +
                        options + QStringList{dir.path()},
                    run);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QCOMPARE(folderEntries(dir.path()), (QStringList{QStringLiteral("a.jpg"), QStringLiteral("b.png")}));
    QCOMPARE(server.paths(), (QList<QByteArray>{"/a.jpg", "/b.png"}));
    for (const RecordedRequest& request : server.requests())
        QCOMPARE(request.header("Referer"), referer);
}

void CliOptionsTest::archiveFetchesOnlyWhatIsNew() {
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\"><img src=\"b.jpg\">"));
    server.route("/a.jpg", serve::ok("aaa", "image/jpeg"));
    server.route("/b.jpg", serve::ok("bbb", "image/jpeg"));
    server.route("/c.jpg", serve::ok("ccc", "image/jpeg"));
    QTemporaryDir dir;
    QTemporaryDir state;
    const QString archive = state.filePath(QStringLiteral("seen.txt"));
    const QStringList args{QStringLiteral("download"), QStringLiteral("--download-archive"), archive,
                           text(server.address("/")), dir.path()};
    CliResult r = runVarnolux(args);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QCOMPARE(readAll(archive), server.address("/a.jpg") + '\n' + server.address("/b.jpg") + '\n');

    // A new image on the page, and a last line cut off while it was written: only those two are
    // fetched, and the archive ends up whole.
    server.route("/", serve::ok("<img src=\"a.jpg\"><img src=\"b.jpg\"><img src=\"c.jpg\">"));
    QVERIFY(writeFile(archive, server.address("/a.jpg") + '\n' + server.address("/b.jpg").chopped(3)));
    server.clearRequests();
    r = runVarnolux(args);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QCOMPARE(server.paths(), (QList<QByteArray>{"/", "/b.jpg", "/c.jpg"}));
    QVERIFY2(r.err.contains("skipped " + server.address("/a.jpg")), r.err.constData());
    QVERIFY2(errLines(r).last().contains("; 1 skipped"), r.err.constData());
    QCOMPARE(readAll(archive), server.address("/a.jpg") + '\n' + server.address("/b.jpg").chopped(3) + '\n' +
                                   server.address("/b.jpg") + '\n' + server.address("/c.jpg") + '\n');
}

void CliOptionsTest::jsonKeepsEveryByte() {
    TestServer server;
    // A Latin-1 byte and a quote in the links: neither is valid inside a JSON string as it is.
    server.route(
        "/", serve::ok("<img src=\"caf\xE9.jpg\"><img src=\"\xC3\xA9t\xC3\xA9.jpg\"><img src=\"gone.jpg\">"));
    server.route("/caf%E9.jpg", serve::ok("one", "image/jpeg"));
    server.route("/%C3%A9t%C3%A9.jpg", serve::ok("two", "image/jpeg"));
    QTemporaryDir dir;
    const CliResult list =
        runVarnolux({QStringLiteral("list"), QStringLiteral("--json"), text(server.address("/"))});
    QVERIFY2(list.finished && list.exitCode == 0, list.err.constData());
    QCOMPARE(list.out, "{\"url\": \"" + server.address("/caf\\u00e9.jpg") + "\"}\n{\"url\": \"" +
                           server.address("/\xC3\xA9t\xC3\xA9.jpg") + "\"}\n{\"url\": \"" +
                           server.address("/gone.jpg") + "\"}\n");

    const CliResult r = runVarnolux(
        {QStringLiteral("download"), QStringLiteral("--json"), text(server.address("/")), dir.path()});
    QVERIFY2(r.finished && r.exitCode == 1, r.err.constData());
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 4);
    QList<QJsonObject> objects;
    for (const QByteArray& line : lines) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(), line.constData());
        objects << document.object();
    }
    QCOMPARE(objects[0].value(u"status").toString(), QStringLiteral("saved"));
    QCOMPARE(objects[0].value(u"url").toString(), QString::fromLatin1(server.address("/caf\xE9.jpg")));
    QCOMPARE(objects[0].value(u"bytes").toInteger(), 3);
    QCOMPARE(objects[0].value(u"http_status").toInt(), 200);
    QCOMPARE(objects[0].value(u"tries").toInt(), 1);
    QVERIFY(objects[0].value(u"seconds").isDouble());
    QCOMPARE(objects[1].value(u"path").toString(), dir.filePath(QStringLiteral("\u00e9t\u00e9.jpg")));
    QCOMPARE(objects[2].value(u"status").toString(), QStringLiteral("failed"));
    QCOMPARE(objects[2].value(u"http_status").toInt(), 404);
    QVERIFY(objects[2].value(u"reason").toString().contains(QStringLiteral("404")));
    QCOMPARE(objects[3].value(u"summary").toBool(), true);
    QCOMPARE(objects[3].value(u"saved").toInt(), 2);
    QCOMPARE(objects[3].value(u"failed").toInt(), 1);
    // The lines for people stay on standard error.
    QVERIFY(r.err.contains("Saved 2 of 3 images"));
}

void CliOptionsTest::signalsCancelTheRun_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("SIGINT exits 130") << int(SIGINT) << 130;
    QTest::newRow("SIGTERM exits 143") << int(SIGTERM) << 143;
    QTest::newRow("SIGHUP exits 129") << int(SIGHUP) << 129;
}

void CliOptionsTest::signalsCancelTheRun() {
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\"><img src=\"slow.jpg\"><img src=\"c.jpg\">"));
    server.route("/a.jpg", serve::ok("aaa", "image/jpeg"));
    // Half the body, then nothing: the run is caught with a part file open.
    server.route("/slow.jpg", serve::generated(200000).sendingOnly(100000).thenEnd(Behaviour::End::Stall));
    server.route("/c.jpg", serve::ok("ccc", "image/jpeg"));
    QTemporaryDir dir;
    QProcess process;
    process.start(varnoluxExecutable(), {QStringLiteral("download"), text(server.address("/")), dir.path()});
    QVERIFY(process.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    auto partFiles = [&] {
        return QDir(dir.path()).entryList({QStringLiteral(".varnolux-*")}, QDir::Files | QDir::Hidden);
    };
    while (clock.elapsed() < 10000 && partFiles().isEmpty())
        QTest::qWait(10);
    QVERIFY(!partFiles().isEmpty());
    QTest::qWait(50);
    ::kill(pid_t(process.processId()), signal);
    while (clock.elapsed() < 20000 && process.state() != QProcess::NotRunning)
        QTest::qWait(10);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("a.jpg")});
    QVERIFY(partFiles().isEmpty());
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(err.contains("Saved 1 of 2 images"), err.constData());
}

void CliOptionsTest::signalsCancelTheListingToo_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("SIGINT while the page comes exits 130") << int(SIGINT) << 1 << 130;
    QTest::newRow("SIGHUP while the page comes exits 129") << int(SIGHUP) << 1 << 129;
    // Signals that come faster than the loop reads them are one request to stop.
    QTest::newRow("SIGTERM three times exits 143") << int(SIGTERM) << 3 << 143;
}

void CliOptionsTest::signalsCancelTheListingToo() {
    QFETCH(int, signal);
    QFETCH(int, times);
    QFETCH(int, exitCode);
    TestServer server;
    // Part of the page, then nothing: the run is caught listing.
    server.route("/", serve::ok(QByteArray("<img src=\"a.jpg\">") + QByteArray(100000, ' '))
                          .sendingOnly(1000)
                          .thenEnd(Behaviour::End::Stall));
    server.route("/a.jpg", serve::ok("aaa", "image/jpeg"));
    QTemporaryDir dir;
    QProcess process;
    process.start(varnoluxExecutable(), {QStringLiteral("download"), text(server.address("/")), dir.path()});
    QVERIFY(process.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && server.requests().isEmpty())
        QTest::qWait(10);
    QCOMPARE(server.requests().size(), 1);
    QTest::qWait(50);
    for (int i = 0; i < times; ++i)
        ::kill(pid_t(process.processId()), signal);
    while (clock.elapsed() < 20000 && process.state() != QProcess::NotRunning)
        QTest::qWait(10);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(folderEntries(dir.path()), QStringList());
    QCOMPARE(server.requests().size(), 1);
}

void CliOptionsTest::cookiesAndHeadersGoWithEveryRequest() {
    TestServer server;
    // Only a request with the session cookie and the header gets its answer.
    server.setFallback([](const RecordedRequest& request) {
        if (!request.header("Cookie").contains("session=abc123") || request.header("X-Token") != "t1")
            return serve::response(403, "Forbidden");
        if (request.path == "/")
            return serve::ok("<img src=\"a.jpg\">");
        return serve::ok("picture", "image/jpeg");
    });
    QTemporaryDir dir;
    QTemporaryDir state;
    const QString cookies = state.filePath(QStringLiteral("cookies.txt"));
    const QByteArray file = "# Netscape HTTP Cookie File\n"
                            "127.0.0.1\tFALSE\t/\tFALSE\t0\tsession\tabc123\n"
                            "this line is no cookie\n"
                            "other.example\tTRUE\t/\tFALSE\t0\telsewhere\t1\n";
    QVERIFY(writeFile(cookies, file));
    const CliResult r = runVarnolux({QStringLiteral("download"), QStringLiteral("--cookies"), cookies,
                                     QStringLiteral("--header"), QStringLiteral("X-Token: t1"),
                                     text(server.address("/")), dir.path()});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QCOMPARE(readAll(dir.filePath(QStringLiteral("a.jpg"))), QByteArray("picture"));
    QCOMPARE(r.err.count("warning"), 1);
    QVERIFY2(r.err.contains("1 malformed line of"), r.err.constData());
    for (const RecordedRequest& request : server.requests())
        QVERIFY(!request.header("Cookie").contains("elsewhere"));
    // Read, never written back.
    QCOMPARE(readAll(cookies), file);
}

void CliOptionsTest::waitAndRateSlowTheRunDown() {
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\"><img src=\"b.jpg\"><img src=\"c.jpg\">"));
    for (const QByteArray path : {"/a.jpg", "/b.jpg", "/c.jpg"})
        server.route(path, serve::generated(1000));
    server.route("/big.jpg", serve::generated(3 * 1024 * 1024));
    QList<qint64> arrivals;
    QElapsedTimer clock;
    clock.start();
    connect(&server, &TestServer::requestArrived, this,
            [&](const RecordedRequest&) { arrivals << clock.elapsed(); });
    QTemporaryDir dir;
    CliResult r = runVarnolux({QStringLiteral("download"), QStringLiteral("--wait"), QStringLiteral("0.2"),
                               QStringLiteral("--parallel"), QStringLiteral("3"), text(server.address("/")),
                               dir.path()});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QCOMPARE(arrivals.size(), 4);
    // The page counts as a request to the host too; the lanes keep the pause between them. The
    // pause spaces the requests as the program sends them, and this process notes each arrival
    // when its own event loop gets to it: one note taken late (a loaded machine, a sanitized
    // build) shortens the next gap but not the whole span. Without the pause the gaps are a few
    // milliseconds.
    for (qsizetype i = 1; i < arrivals.size(); ++i)
        QVERIFY2(arrivals[i] - arrivals[i - 1] >= 150,
                 qPrintable(QString::number(arrivals[i] - arrivals[i - 1])));
    QVERIFY2(arrivals.last() - arrivals.first() >= 3 * 190,
             qPrintable(QString::number(arrivals.last() - arrivals.first())));

    // A lower bound only: 3 MiB at 1 MiB/s cannot take much less than 3 s.
    CliOptions run;
    run.input = server.address("/big.jpg") + '\n';
    clock.restart();
    r = runVarnolux({QStringLiteral("download"), QStringLiteral("--limit-rate"), QStringLiteral("1M"),
                     QStringLiteral("--input"), QStringLiteral("-"), dir.path()},
                    run);
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QVERIFY2(clock.elapsed() >= 1500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(readAll(dir.filePath(QStringLiteral("big.jpg"))) == generatedBytes(0, 3 * 1024 * 1024));
}

QTEST_GUILESS_MAIN(CliOptionsTest)
#include "tst_clioptions.moc"
