// Twenty small script-built pages of the kinds real sites are made of (tests/rendered/), each with
// the listing the rendered mode must print for it: its own NN-name.expected, one line per entry,
// "document PATH" or "network PATH". The rendered mode must print exactly that; the browser mode
// is run beside it, and at the end the test prints the share of the expected lines each mode
// printed (its recall) and how many pages each matched exactly.
//
// VARNOLUX_WRITE_EXPECTED=1 writes what the rendered mode printed into the .expected files instead
// of comparing, for a new page: read every line against the page before committing it.
#include "support/CliRunner.h"
#include "support/TestServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTest>

namespace {

using namespace Qt::StringLiterals;

const QString pagesFolder = QStringLiteral(VARNOLUX_SOURCE_DIR "/tests/rendered");

const QString loopbackOnly =
    u"--proxy-server=http://127.0.0.1:9 \"--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1\""_s;
const QString filter = u"JPG,GIF,PNG,WEBP"_s;

QByteArray gif() {
    return QByteArray::fromBase64("R0lGODlhAQABAIAAAAAAAP///ywAAAAAAQABAAACAUwAOw==");
}

// The pages' folder as a site: its files by path, any other image path a small image. The consent
// page is the gallery once the request carries the consent cookie.
Behaviour site(const RecordedRequest& request) {
    QByteArray path =
        request.path.left(request.path.indexOf('?') < 0 ? request.path.size() : request.path.indexOf('?'));
    if (path == "/12-consent.html" && request.header("Cookie").contains("consent=yes"))
        path = "/12-consent.accepted.html";
    const QString file = QDir::cleanPath(pagesFolder + QString::fromUtf8(path));
    QFile f(file);
    if (file.startsWith(pagesFolder + u'/') && f.open(QIODevice::ReadOnly)) {
        const QByteArray type = path.endsWith(".css")    ? "text/css"
                                : path.endsWith(".json") ? "application/json"
                                                         : "text/html; charset=utf-8";
        return serve::ok(f.readAll(), type);
    }
    for (const char* ext : {".jpg", ".png", ".gif", ".webp"})
        if (path.endsWith(ext))
            return serve::ok(gif(), "image/gif");
    return serve::response(404, "Not Found", {}, "no");
}

// One listing's lines as "found path" ("found" empty in browser mode), the server's base taken off.
QByteArrayList linesOf(const QByteArray& json, const QByteArray& base) {
    QByteArrayList lines;
    for (const QByteArray& line : json.split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.isEmpty())
            continue;
        QByteArray url = entry.value(u"url"_s).toString().toUtf8();
        if (url.startsWith(base))
            url = url.mid(base.size());
        const QByteArray found = entry.value(u"found"_s).toString().toUtf8();
        lines << (found.isEmpty() ? url : found + ' ' + url);
    }
    return lines;
}

QByteArray urlOf(const QByteArray& line) {
    return line.mid(line.indexOf(' ') + 1);
}

struct Tally {
    int expected = 0;
    int found = 0;
    int exactPages = 0;
};

} // namespace

class TestRenderedRecall : public QObject {
    Q_OBJECT

private slots:
    void init();
    void listsWhatEachPageShows_data();
    void listsWhatEachPageShows();
    void cleanupTestCase();

private:
    Tally m_browser;
    Tally m_rendered;
    int m_pages = 0;
};

void TestRenderedRecall::init() {
    if (QStandardPaths::findExecutable(u"chromium"_s).isEmpty())
        QSKIP("chromium is not installed (scripts/setup installs it)");
}

void TestRenderedRecall::listsWhatEachPageShows_data() {
    QTest::addColumn<QString>("page");
    // The pages themselves: "NN-name.html"; "NN-name.more.html" is a page's second state.
    for (const QString& page : QDir(pagesFolder).entryList({u"[0-9][0-9]-*.html"_s}, QDir::Files, QDir::Name))
        if (page.count(u'.') == 1)
            QTest::newRow(qPrintable(page)) << page;
}

void TestRenderedRecall::listsWhatEachPageShows() {
    QFETCH(QString, page);
    TestServer server;
    server.setFallback(site);
    const QString address = QString::fromLatin1(server.address("/" + page.toUtf8()));
    QTemporaryDir tmp;
    CliOptions options;
    options.environment = {{u"VARNOLUX_CHROMIUM_FLAGS"_s, loopbackOnly}, {u"TMPDIR"_s, tmp.path()}};
    options.timeLimitMs = 60000;

    const CliResult rendered = runVarnolux(
        {u"list"_s, u"--find"_s, u"rendered"_s, u"--json"_s, u"--filter"_s, filter, address}, options);
    QVERIFY2(rendered.finished && rendered.exitCode == 0, rendered.err.constData());
    const CliResult browser = runVarnolux(
        {u"list"_s, u"--find"_s, u"browser"_s, u"--json"_s, u"--filter"_s, filter, address}, options);
    QVERIFY2(browser.finished && browser.exitCode == 0, browser.err.constData());
    const QByteArrayList got = linesOf(rendered.out, server.base());

    QFile expectedFile(pagesFolder + u'/' + page.chopped(5) + u".expected"_s);
    if (qEnvironmentVariableIntValue("VARNOLUX_WRITE_EXPECTED")) {
        QVERIFY(expectedFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
        expectedFile.write(got.join('\n') + '\n');
        return;
    }
    QVERIFY(expectedFile.open(QIODevice::ReadOnly));
    QByteArrayList expected = expectedFile.readAll().trimmed().split('\n');
    expected.removeAll(QByteArray());

    // Recall: the expected addresses each mode printed.
    QByteArrayList expectedUrls;
    for (const QByteArray& line : expected)
        expectedUrls << urlOf(line);
    const auto count = [&](const QByteArrayList& lines, Tally& tally) {
        QByteArrayList urls;
        for (const QByteArray& line : lines)
            urls << urlOf(line);
        tally.expected += int(expectedUrls.size());
        for (const QByteArray& url : expectedUrls)
            tally.found += urls.contains(url);
        tally.exactPages += urls == expectedUrls;
    };
    count(linesOf(browser.out, server.base()), m_browser);
    count(got, m_rendered);
    ++m_pages;

    QCOMPARE(got, expected);
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void TestRenderedRecall::cleanupTestCase() {
    if (!m_pages)
        return;
    for (const auto& [name, tally] : {std::pair("browser", m_browser), std::pair("rendered", m_rendered)})
        qInfo("recall of --find %s: %d of %d expected lines (%.1f%%), %d of %d pages exactly", name,
              tally.found, tally.expected, tally.expected ? 100.0 * tally.found / tally.expected : 0.0,
              tally.exactPages, m_pages);
}

QTEST_GUILESS_MAIN(TestRenderedRecall)
#include "tst_renderedrecall.moc"
