// Page fetches against servers that misbehave on purpose: every row either lists the page's
// images or fails with a message naming the page, and never hangs, crashes or leaves a file.
#include "core/MemoryImageList.h"
#include "core/Network.h"
#include "discovery/ListingHost.h"
#include "discovery/ListingJob.h"
#include "support/RecordingUi.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

class FakeWindow : public ListingHost {
public:
    ImageList& imageList() override { return list; }
    MessageBoxes& messages() override { return boxes; }
    MousePointer& pointer() override { return mouse; }
    bool filterTicked(FilterBox box) const override { return box != FilterBox::Custom; }
    QString customFilterText() const override { return {}; }
    QString addressText() const override { return address; }
    QString folderText() const override { return QDir::tempPath(); }

    MemoryImageList list;
    RecordingMessages boxes;
    RecordingPointer mouse;
    QString address;
};

const QByteArray page = R"(<img src="a.jpg">)";

QByteArray gzip(const QByteArray& bytes) {
    QProcess gz;
    gz.start(QStringLiteral("gzip"), {QStringLiteral("-c")});
    gz.write(bytes);
    gz.closeWriteChannel();
    gz.waitForFinished(-1);
    return gz.readAllStandardOutput();
}

} // namespace

class TestHostilePage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void hostileServer_data();
    void hostileServer();

private:
    QTemporaryDir m_temp;
    TestCertificate m_certificate;
};

void TestHostilePage::initTestCase() {
    QVERIFY(m_temp.isValid());
    QVERIFY2(m_certificate.isValid(), qPrintable(m_certificate.errorString()));
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_certificate.caBundlePath()));
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "300");
    qputenv("VARNOLUX_MAX_PAGE_BYTES", "3000000");
    qputenv("TEMP", QFile::encodeName(m_temp.path()));
}

void TestHostilePage::cleanupTestCase() {
    network::manager().clearConnectionCache();
}

void TestHostilePage::hostileServer_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<bool>("secure");
    // Empty: the fetch must fail. Otherwise the page bytes the scan must have seen.
    QTest::addColumn<QByteArray>("seen");
    // A body whose end cannot be told may also fail; if it does not, the scan saw no more than
    // the server sent.
    QTest::addColumn<bool>("mayFail");
    const QByteArray none;
    const QByteArray body75 = page + QByteArray(75 - page.size(), ' ');

    QTest::newRow("length 75, 5 bytes, close") << serve::cutShort(75, 5) << false << none << false;
    QTest::newRow("more body than the length")
        << serve::rawHeaders("Content-Length: 5\r\n", page) << false << page.left(5) << false;
    QTest::newRow("no length, ended by closing") << serve::ok(page).withoutLength() << false << page << false;
    // A length that is no usable number counts as no length: the body ends with the connection.
    QTest::newRow("length -1") << serve::rawHeaders("Content-Length: -1\r\n", page) << false << page << false;
    QTest::newRow("length abc") << serve::rawHeaders("Content-Length: abc\r\n", page) << false << page
                                << false;
    QTest::newRow("length beyond 64 bits")
        << serve::rawHeaders("Content-Length: 99999999999999999999\r\n", page) << false << page << false;
    QTest::newRow("two different lengths")
        << serve::rawHeaders("Content-Length: 5\r\nContent-Length: 17\r\n", page) << false << none << false;
    QTest::newRow("length beside chunked encoding")
        << serve::rawHeaders("Content-Length: 3\r\nTransfer-Encoding: chunked\r\n",
                             "11\r\n" + page + "\r\n0\r\n\r\n")
        << false << page << false;
    QTest::newRow("chunk size FFFFFFF4")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "FFFFFFF4\r\n" + page) << false << page
        << true;
    QTest::newRow("chunk size FFFFFFFFFFFFFFF4")
        << serve::rawHeaders("Transfer-Encoding: chunked\r\n", "FFFFFFFFFFFFFFF4\r\n" + page) << false << page
        << true;
    QTest::newRow("gzip page is read")
        << serve::ok(gzip(page)).withHeader("Content-Encoding", "gzip") << false << page << false;
    QTest::newRow("gzip bomb is stopped")
        << serve::ok(gzip(QByteArray(60 << 20, '\0'))).withHeader("Content-Encoding", "gzip") << false << none
        << false;
    QTest::newRow("body that never ends hits the page cap")
        << serve::generated(1LL << 40) << false << none << false;
    QTest::newRow("redirect loop") << serve::redirect("/page/") << false << none << false;
    QTest::newRow("redirect to file") << serve::redirect("file:///etc/passwd") << false << none << false;
    QTest::newRow("redirect to ftp") << serve::redirect("ftp://127.0.0.1/x/") << false << none << false;
    QTest::newRow("redirect from https to http")
        << serve::redirect("http://127.0.0.1:1/") << true << none << false;
    QTest::newRow("silent server") << serve::stall() << false << none << false;
    QTest::newRow("headers then stall") << serve::headersThenStall(1000) << false << none << false;
    QTest::newRow("a byte at a time, too slowly") << serve::trickle(body75, 150) << false << none << false;
    QTest::newRow("connection reset mid-body") << serve::reset(100000, 5000) << false << none << false;
    QTest::newRow("404 with a body") << serve::response(404, "Not Found", {}, page) << false << none << false;
    QTest::newRow("500 with a body") << serve::response(500, "Oops", {}, page) << false << none << false;
    QTest::newRow("a login page is still a page") << serve::ok(page) << true << page << false;
}

void TestHostilePage::hostileServer() {
    QFETCH(Behaviour, behaviour);
    QFETCH(bool, secure);
    QFETCH(QByteArray, seen);
    QFETCH(bool, mayFail);
    TestServer server;
    if (secure)
        server.useTls(m_certificate);
    server.route("/page/", behaviour);
    server.redirectChain("/chain/", 60, serve::ok(page));

    FakeWindow window;
    window.address = QString::fromLatin1(server.address("/page/"));
    DiscoveryState state;
    ListingJob job(window, state);
    const ListingOutcome outcome = job.PushButton5_Click();
    if (mayFail && outcome == ListingOutcome::Done) {
        QVERIFY2(seen.startsWith(state.PageData), state.PageData.constData());
    } else if (seen.isEmpty() || mayFail) {
        QCOMPARE(outcome, ListingOutcome::FetchFailed);
        QCOMPARE(window.list.count(), 0);
        QCOMPARE(window.boxes.messages.size(), 1);
        QVERIFY2(window.boxes.texts().first().contains(window.address),
                 qPrintable(window.boxes.texts().first()));
    } else {
        QCOMPARE(outcome, ListingOutcome::Done);
        QCOMPARE(state.PageData, seen);
    }
    QCOMPARE(window.mouse.pointer(), Pointer::Default);
    QVERIFY2(QDir(m_temp.path()).isEmpty(), "no temporary page file is left behind");
    network::manager().clearConnectionCache();
}

QTEST_GUILESS_MAIN(TestHostilePage)
#include "tst_hostilepage.moc"
