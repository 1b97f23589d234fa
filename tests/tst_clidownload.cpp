// 'varnolux download' as a user runs it: the built program against a loopback server and a real
// nginx, its exit codes, its lines, and the files it leaves.

#include "support/CliRunner.h"
#include "support/Files.h"
#include "support/Nginx.h"
#include "support/TestServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

} // namespace

class CliDownloadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void savesWhatTheListingFinds();
    void sendsTheUserAgentAndReferer_data();
    void sendsTheUserAgentAndReferer();
    void filterAndOptionEndWork();
    void pageThatCannotBeFetchedFails();
    void pageWithoutImagesSavesNothing();
    void savedHtmlPageIsNamedAsNoImage();
    void createDirsMakesTheFolderFirst_data();
    void createDirsMakesTheFolderFirst();
    void savesANginxSiteByteForByte();
};

void CliDownloadTest::initTestCase() {
    QVERIFY(QFileInfo(varnoluxExecutable()).isExecutable());
}

void CliDownloadTest::rejectsBadArguments_data() {
    QTest::addColumn<QStringList>("arguments"); // ADDRESS and FOLDER stand for real ones
    QTest::addColumn<QString>("says");          // %1 stands for the temporary folder

    QTest::newRow("nothing to download") << QStringList{} << QStringLiteral("ADDRESS and a FOLDER");
    QTest::newRow("no folder") << QStringList{QStringLiteral("ADDRESS")}
                               << QStringLiteral("ADDRESS and a FOLDER");
    QTest::newRow("one argument too many")
        << QStringList{QStringLiteral("ADDRESS"), QStringLiteral("FOLDER"), QStringLiteral("more")}
        << QStringLiteral("ADDRESS and a FOLDER");
    QTest::newRow("an unknown option")
        << QStringList{QStringLiteral("--fast"), QStringLiteral("ADDRESS"), QStringLiteral("FOLDER")}
        << QStringLiteral("unknown option '--fast'");
    QTest::newRow("a filter without its value")
        << QStringList{QStringLiteral("ADDRESS"), QStringLiteral("FOLDER"), QStringLiteral("--filter")}
        << QStringLiteral("needs a value");
    QTest::newRow("a folder that does not exist: named, in the command line's words")
        << QStringList{QStringLiteral("ADDRESS"), QStringLiteral("FOLDER/missing")}
        << QStringLiteral("varnolux: %1/missing: no such folder\n");
    QTest::newRow("a file where the folder should be")
        << QStringList{QStringLiteral("ADDRESS"), QStringLiteral("/dev/null")}
        << QStringLiteral("varnolux: /dev/null: not a folder\n");
    QTest::newRow("--create-dirs below a file: cannot be created")
        << QStringList{QStringLiteral("--create-dirs"), QStringLiteral("ADDRESS"),
                       QStringLiteral("/dev/null/new")}
        << QStringLiteral("varnolux: /dev/null/new: the folder cannot be created\n");
    // Nobody, root included, creates files in /proc.
    QTest::newRow("a folder that takes no new file")
        << QStringList{QStringLiteral("ADDRESS"), QStringLiteral("/proc")}
        << QStringLiteral("Cannot create a file in /proc/");
    QTest::newRow("a user agent with a line break")
        << QStringList{QStringLiteral("--user-agent"), QStringLiteral("x\r\nCookie: y"),
                       QStringLiteral("ADDRESS"), QStringLiteral("FOLDER")}
        << QStringLiteral("may not contain a line break");
    QTest::newRow("a user agent without its value")
        << QStringList{QStringLiteral("ADDRESS"), QStringLiteral("FOLDER"), QStringLiteral("--user-agent")}
        << QStringLiteral("needs a value");
    QTest::newRow("an empty filter") << QStringList{QStringLiteral("--filter="), QStringLiteral("ADDRESS"),
                                                    QStringLiteral("FOLDER")}
                                     << QStringLiteral("Select image filter first.");
}

void CliDownloadTest::rejectsBadArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, says);

    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\">"));
    server.route("/a.jpg", serve::generated(100));
    QTemporaryDir dir;
    QStringList args{QStringLiteral("download")};
    for (QString a : arguments)
        args << a.replace(QStringLiteral("ADDRESS"), text(server.address("/")))
                    .replace(QStringLiteral("FOLDER"), dir.path());

    const CliResult r = runVarnolux(args);
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 2);
    if (says.contains(QStringLiteral("%1")))
        says = says.arg(dir.path());
    QVERIFY2(r.err.contains(says.toUtf8()), r.err.constData());
    // The window's words stay the window's.
    QVERIFY2(!r.err.contains("Please select another folder"), r.err.constData());
    QCOMPARE(folderEntries(dir.path()), QStringList());
    // Nothing is fetched before the arguments are known to be good.
    QVERIFY(!server.distinctPaths().contains("/a.jpg"));
}

void CliDownloadTest::sendsTheUserAgentAndReferer_data() {
    QTest::addColumn<QByteArray>("typed"); // the page address given; /old/ redirects to /gallery/
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("agent");
    QTest::addColumn<bool>("referer"); // the image request names the page where it ended up

    const QByteArray ours("Varnolux/" VARNOLUX_VERSION);
    QTest::newRow("by default: our agent, the page as Referer")
        << QByteArray("/gallery/") << QStringList{} << ours << true;
    QTest::newRow("--user-agent replaces ours on every request")
        << QByteArray("/gallery/")
        << QStringList{QStringLiteral("--user-agent"), QStringLiteral("Mozilla/5.0 (X11; Linux)")}
        << QByteArray("Mozilla/5.0 (X11; Linux)") << true;
    QTest::newRow("--user-agent=TEXT works too")
        << QByteArray("/gallery/") << QStringList{QStringLiteral("--user-agent=Fetcher 2")}
        << QByteArray("Fetcher 2") << true;
    QTest::newRow("--no-referer sends none")
        << QByteArray("/gallery/") << QStringList{QStringLiteral("--no-referer")} << ours << false;
    QTest::newRow("a redirected page: the Referer is its final address, not the typed one")
        << QByteArray("/old/") << QStringList{} << ours << true;
    QTest::newRow("a redirected page with --no-referer sends none")
        << QByteArray("/old/") << QStringList{QStringLiteral("--no-referer")} << ours << false;
}

void CliDownloadTest::sendsTheUserAgentAndReferer() {
    QFETCH(QByteArray, typed);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, agent);
    QFETCH(bool, referer);
    TestServer server;
    server.route("/old/", serve::redirect(server.address("/gallery/")));
    server.route("/gallery/", serve::ok("<img src=\"a.jpg\">"));
    // Links resolve against the typed address, so the image is asked for under it.
    server.route(typed + "a.jpg", serve::generated(100));
    QTemporaryDir dir;
    const CliResult r = runVarnolux(QStringList{QStringLiteral("download")} + options +
                                    QStringList{text(server.address(typed)), dir.path()});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    const QList<RecordedRequest>& requests = server.requests();
    QCOMPARE(requests.size(), typed == "/old/" ? 3 : 2);
    for (const RecordedRequest& request : requests)
        QCOMPARE(request.header("User-Agent"), agent);
    for (qsizetype i = 0; i + 1 < requests.size(); ++i)
        QCOMPARE(requests[i].header("Referer"), QByteArray());
    QCOMPARE(requests.last().path, typed + "a.jpg");
    QCOMPARE(requests.last().header("Referer"), referer ? server.address("/gallery/") : QByteArray());
    // The page and its image share one connection.
    QCOMPARE(requests.last().connection, requests.first().connection);
}

void CliDownloadTest::savesWhatTheListingFinds() {
    TestServer server;
    server.route("/gallery/", serve::ok("<html><img src=\"a.jpg\"><img src=\"b.GIF\"><img src=\"c.png\">"
                                        "<a href=\"gone.jpg\">x</a></html>"));
    server.route("/gallery/a.jpg", serve::generated(5000));
    server.route("/gallery/b.GIF", serve::generated(1025).chunked({300}));
    server.route("/gallery/c.png", serve::generated(10));
    QTemporaryDir dir;

    const CliResult r =
        runVarnolux({QStringLiteral("download"), text(server.address("/gallery/")), dir.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(folderEntries(dir.path()), (QStringList{QStringLiteral("a.jpg"), QStringLiteral("b.GIF")}));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("a.jpg"))), generatedBytes(0, 5000));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("b.GIF"))), generatedBytes(0, 1025));

    // Not on a terminal: one line per file, then the summary.
    const QList<QByteArray> lines = r.err.trimmed().split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], "saved " + server.address("/gallery/a.jpg") + " -> " +
                           QFile::encodeName(dir.filePath(QStringLiteral("a.jpg"))) + " (5000 bytes)");
    QCOMPARE(lines[1], "saved " + server.address("/gallery/b.GIF") + " -> " +
                           QFile::encodeName(dir.filePath(QStringLiteral("b.GIF"))) + " (1025 bytes)");
    QCOMPARE(lines[2],
             "failed " + server.address("/gallery/gone.jpg") + ": the server answered HTTP 404 Not Found");
    QVERIFY2(lines[3].startsWith("Saved 2 of 3 images into " + QFile::encodeName(dir.path())),
             lines[3].constData());
    QVERIFY2(lines[3].endsWith("; 1 failed."), lines[3].constData());
    QCOMPARE(r.out, QByteArray());
}

void CliDownloadTest::filterAndOptionEndWork() {
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\"><img src=\"c.png\">"));
    server.route("/a.jpg", serve::generated(100));
    server.route("/c.png", serve::generated(200));
    QTemporaryDir dir;

    const CliResult r =
        runVarnolux({QStringLiteral("download"), QStringLiteral("--filter"), QStringLiteral("png"),
                     QStringLiteral("--"), text(server.address("/")), dir.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("c.png")});
    QCOMPARE(readAll(dir.filePath(QStringLiteral("c.png"))), generatedBytes(0, 200));
}

void CliDownloadTest::pageThatCannotBeFetchedFails() {
    TestServer server;
    QTemporaryDir dir;
    const CliResult r =
        runVarnolux({QStringLiteral("download"), text(server.address("/nothing/")), dir.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("could not be fetched"), r.err.constData());
    QCOMPARE(folderEntries(dir.path()), QStringList());
}

void CliDownloadTest::pageWithoutImagesSavesNothing() {
    TestServer server;
    server.route("/", serve::ok("<html><p>No pictures here.</p></html>"));
    QTemporaryDir dir;
    const CliResult r = runVarnolux({QStringLiteral("download"), text(server.address("/")), dir.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.startsWith("Saved 0 of 0 images"), r.err.constData());
    QCOMPARE(folderEntries(dir.path()), QStringList());
}

void CliDownloadTest::savedHtmlPageIsNamedAsNoImage() {
    TestServer server;
    const QByteArray login = "<!DOCTYPE html><html><form>Sign in</form></html>";
    server.route("/", serve::ok("<img src=\"a.jpg\"><img src=\"b.jpg\">"));
    server.route("/a.jpg", serve::ok(login));
    server.route("/b.jpg", serve::ok("\xFF\xD8\xFF\xE0 a picture", "image/jpeg"));
    QTemporaryDir dir;

    const CliResult r = runVarnolux({QStringLiteral("download"), text(server.address("/")), dir.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    // Files are named by their link: the page is saved, and the run says what it is.
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(dir.filePath(QStringLiteral("a.jpg"))), login);
    const QList<QByteArray> lines = r.err.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], "saved " + server.address("/a.jpg") + " -> " +
                           QFile::encodeName(dir.filePath(QStringLiteral("a.jpg"))) + " (" +
                           QByteArray::number(login.size()) +
                           " bytes), but its body is an HTML page, not an image");
    QVERIFY2(lines[1].startsWith("saved " + server.address("/b.jpg")) && lines[1].endsWith(" bytes)"),
             lines[1].constData());
    QVERIFY2(lines[2].endsWith("; 1 saved file is an HTML page, not an image."), lines[2].constData());

    // The JSON line of the page says so too; that of the picture has an empty warning.
    QTemporaryDir again;
    const CliResult json = runVarnolux(
        {QStringLiteral("download"), QStringLiteral("--json"), text(server.address("/")), again.path()});
    QVERIFY2(json.finished && json.exitCode == 0, json.err.constData());
    const QList<QByteArray> objects = json.out.trimmed().split('\n');
    QCOMPARE(objects.size(), 3);
    const QJsonObject page = QJsonDocument::fromJson(objects[0]).object();
    const QJsonObject picture = QJsonDocument::fromJson(objects[1]).object();
    QCOMPARE(page.value(u"status").toString(), QStringLiteral("saved"));
    QCOMPARE(page.value(u"warning").toString(), QStringLiteral("its body is an HTML page, not an image"));
    QCOMPARE(picture.value(u"status").toString(), QStringLiteral("saved"));
    QVERIFY(picture.contains(u"warning"));
    QCOMPARE(picture.value(u"warning").toString(), QString());
}

void CliDownloadTest::createDirsMakesTheFolderFirst_data() {
    QTest::addColumn<QString>("below"); // the folder given, below a fresh temporary one
    QTest::addColumn<bool>("existsBefore");
    QTest::newRow("missing, with its parent") << QStringLiteral("new/deeper") << false;
    QTest::newRow("missing, one level") << QStringLiteral("new") << false;
    QTest::newRow("there already: used as it is") << QStringLiteral("here") << true;
}

void CliDownloadTest::createDirsMakesTheFolderFirst() {
    QFETCH(QString, below);
    QFETCH(bool, existsBefore);
    TestServer server;
    server.route("/", serve::ok("<img src=\"a.jpg\">"));
    server.route("/a.jpg", serve::ok("JPEGDATA", "image/jpeg"));
    QTemporaryDir dir;
    const QString folder = dir.filePath(below);
    if (existsBefore)
        QVERIFY(QDir().mkpath(folder));
    const CliResult r = runVarnolux(
        {QStringLiteral("download"), QStringLiteral("--create-dirs"), text(server.address("/")), folder});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
    QCOMPARE(readAll(QDir(folder).filePath(QStringLiteral("a.jpg"))), QByteArray("JPEGDATA"));
    // Without the option the same missing folder is refused, and nothing is created.
    QTemporaryDir other;
    const CliResult refused =
        runVarnolux({QStringLiteral("download"), text(server.address("/")), other.filePath(below)});
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains(": no such folder\n"), refused.err.constData());
    QCOMPARE(folderEntries(other.path()), QStringList());
}

void CliDownloadTest::savesANginxSiteByteForByte() {
    QTemporaryDir site;
    const QList<std::pair<QString, QByteArray>> files{
        {QStringLiteral("photos/one.jpg"), randomBytes(150'000)},
        {QStringLiteral("photos/two.jpg"), randomBytes(1024)},
        {QStringLiteral("photos/three.gif"), randomBytes(1025)},
        {QStringLiteral("art/big.jpg"), randomBytes(3'000'000)},
        {QStringLiteral("photos/empty.gif"), QByteArray()},
    };
    for (const auto& [path, bytes] : files)
        QVERIFY(writeFile(site.filePath(path), bytes));
    QVERIFY(writeFile(site.filePath(QStringLiteral("photos/index.html")),
                      "<html><body><img src=\"one.jpg\"><img src=\"two.jpg\">\n<a href=\"three.gif\">3</a>"
                      "<img src=\"../art/big.jpg\"><img src=\"empty.gif\"></body></html>"));
    Nginx nginx(site.path());
    VARNOLUX_START_NGINX_OR_SKIP(nginx);
    QTemporaryDir out;

    const CliResult r =
        runVarnolux({QStringLiteral("download"), text(nginx.base() + "/photos/index.html"), out.path()});
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QStringList names;
    for (const auto& [path, bytes] : files) {
        const QString name = QFileInfo(path).fileName();
        names << name;
        QVERIFY2(readAll(out.filePath(name)) == bytes, qPrintable(name));
    }
    names.sort();
    QCOMPARE(folderEntries(out.path()), names);
}

QTEST_GUILESS_MAIN(CliDownloadTest)
#include "tst_clidownload.moc"
