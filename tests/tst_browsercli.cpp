#include "support/CliRunner.h"
#include "support/TestServer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList args(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* a : list)
        out << QString::fromUtf8(a);
    return out;
}

} // namespace

class TestBrowserCli : public QObject {
    Q_OBJECT

private slots:
    void badFindValues_data();
    void badFindValues();
    void listsAsABrowser_data();
    void listsAsABrowser();
    void classicStaysTheDefault();
    void downloadFindsAsABrowser();
};

void TestBrowserCli::badFindValues_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("an unknown mode") << args({"list", "--find", "chrome", "http://127.0.0.1:9/"});
    QTest::newRow("the mode's case matters") << args({"list", "--find=Browser", "http://127.0.0.1:9/"});
    QTest::newRow("no value at the end") << args({"list", "http://127.0.0.1:9/", "--find"});
    QTest::newRow("download with an empty mode") << args({"download", "--find=", "http://127.0.0.1:9/", "."});
}

void TestBrowserCli::badFindValues() {
    QFETCH(QStringList, arguments);
    const CliResult r = runVarnolux(arguments);
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("'--find'"), r.err.constData());
    QCOMPARE(r.out, QByteArray());
}

void TestBrowserCli::listsAsABrowser_data() {
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("relative links resolve against the address after redirects")
        << QByteArray("/old") << QByteArray("{base}/new/a.jpg\n{base}/root.gif\n");
    QTest::newRow("the header's charset decodes the page")
        << QByteArray("/latin") << QByteArray("{base}/%C3%A9.gif\n");
    QTest::newRow("a typed address without scheme or slash is completed as in the classic run")
        << QByteArray("/dir") << QByteArray("{base}/dir/in-dir.jpg\n");
}

void TestBrowserCli::listsAsABrowser() {
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, expected);
    TestServer server;
    server.route("/old/", serve::redirect("/new/page.html"));
    server.route("/new/page.html", serve::ok("<img src=a.jpg><img src='/root.gif'><img src=x.png>"));
    server.route("/latin/", serve::ok("<img src='/\xE9.gif'>", "text/html; charset=ISO-8859-1"));
    server.route("/dir/", serve::ok("<img src=in-dir.jpg>"));
    QByteArray address = server.address(path);
    if (path == "/dir")
        address = address.mid(7); // "127.0.0.1:port/dir"
    const CliResult r =
        runVarnolux(args({"list", "--find", "browser", "--"}) << QString::fromLatin1(address));
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray(expected).replace("{base}", server.base()));
}

void TestBrowserCli::classicStaysTheDefault() {
    TestServer server;
    server.route("/p.html", serve::ok("<img src='single.jpg'><img src=\"double.jpg\">"));
    const QString address = QString::fromLatin1(server.address("/p.html"));
    const CliResult plain = runVarnolux(args({"list"}) << address);
    const CliResult classic = runVarnolux(args({"list", "--find", "classic"}) << address);
    QCOMPARE(plain.exitCode, 0);
    QCOMPARE(classic.exitCode, 0);
    QCOMPARE(classic.out, plain.out);
    // The classic scan knows only double quotes.
    QCOMPARE(plain.out, server.base() + "/double.jpg\n");
}

void TestBrowserCli::downloadFindsAsABrowser() {
    TestServer server;
    server.route("/g/", serve::ok("<img data-src='one.gif'><div style='background:url(two.jpg)'>"));
    server.route("/g/one.gif", serve::ok("GIF89a-one", "image/gif"));
    server.route("/g/two.jpg", serve::ok("\xFF\xD8\xFF-two", "image/jpeg"));
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const CliResult r = runVarnolux(args({"download", "--find=browser"})
                                    << QString::fromLatin1(server.address("/g/")) << folder.path());
    QVERIFY2(r.finished, qPrintable(r.errorString));
    QCOMPARE(r.exitCode, 0);
    QFile one(folder.filePath(QStringLiteral("one.gif")));
    QFile two(folder.filePath(QStringLiteral("two.jpg")));
    QVERIFY(one.open(QIODevice::ReadOnly));
    QVERIFY(two.open(QIODevice::ReadOnly));
    QCOMPARE(one.readAll(), QByteArray("GIF89a-one"));
    QCOMPARE(two.readAll(), QByteArray("\xFF\xD8\xFF-two"));
}

QTEST_GUILESS_MAIN(TestBrowserCli)
#include "tst_browsercli.moc"
