#include "core/MemoryImageList.h"
#include "discovery/ListingHost.h"
#include "discovery/ListingJob.h"
#include "discovery/PageRetrieval.h"
#include "net/RunSetup.h"
#include "support/CliRunner.h"
#include "support/FakeListingWindow.h"
#include "support/ListToEnd.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

namespace {

using FakeWindow = FakeListingWindow;

const QByteArray page = R"(<html><img src="a.jpg"><img SRC="/b.gif"><a href="sub/">s</a>
<a href="c.png">c</a><img src="http://elsewhere/d.JPG"></html>)";

} // namespace

class TestListing : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void listsThePage();
    void thousandsOfSubPagesEndTheRun();
    void fetchFailures_data();
    void fetchFailures();
    void secureServer_data();
    void secureServer();
    void filterAndFolderChecks_data();
    void filterAndFolderChecks();
    void nonAsciiAddressIsRequestedAsBytes();
    void commandLine_data();
    void commandLine();
    void heldListInSlices_data();
    void heldListInSlices();

private:
    QTemporaryDir m_temp;
    TestCertificate m_trusted;
    TestCertificate m_untrusted;
};

void TestListing::initTestCase() {
    QVERIFY(m_temp.isValid());
    QVERIFY2(m_trusted.isValid(), qPrintable(m_trusted.errorString()));
    QVERIFY2(m_untrusted.isValid(), qPrintable(m_untrusted.errorString()));
    // Read once, when the network manager is first made.
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_trusted.caBundlePath()));
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "400");
    qputenv("TEMP", QFile::encodeName(m_temp.path()));
}

void TestListing::init() {
    QVERIFY(QDir(m_temp.path()).isEmpty());
}

void TestListing::listsThePage() {
    TestServer server;
    server.route("/dir/", serve::ok(page));
    FakeWindow window;
    window.address = QString::fromLatin1(server.address("/dir/"));
    window.list.add("left over from the last run");
    QList<Pointer> pointerWhileFetching;
    server.setFallback([&](const RecordedRequest&) { return serve::response(404, "Not Found"); });
    QObject::connect(&server, &TestServer::requestArrived,
                     [&] { pointerWhileFetching << window.mouse.pointer(); });

    DiscoveryState state;
    const net::NetworkRun network;
    ListingJob job(window, state, network.setup());
    QCOMPARE(listToEnd(job), ListingOutcome::Done);

    const QByteArray base = server.address("/dir");
    QCOMPARE(window.entries(),
             (QList<QByteArray>{base + "/a.jpg", base + "/b.gif", "http://elsewhere/d.JPG"}));
    QCOMPARE(window.boxes.texts(), QStringList{QStringLiteral("Done.")});
    QCOMPARE(pointerWhileFetching, QList<Pointer>{Pointer::Busy});
    QCOMPARE(window.mouse.pointer(), Pointer::Default);
    // Only the typed page is fetched; the sub-page link is taken off the stack unvisited.
    QCOMPARE(server.distinctPaths(), QList<QByteArray>{"/dir/"});
    QVERIFY(!state.PendingPages.has_value());
    QCOMPARE(state.PageBase, base);
    QCOMPARE(state.PageData, page);
    QVERIFY2(QDir(m_temp.path()).isEmpty(), "the temporary page file is removed");
}

void TestListing::thousandsOfSubPagesEndTheRun() {
    // Each sub-page is a pass of its own; passes that fetch nothing follow each other without
    // one call inside the other, however many there are.
    TestServer server;
    const QByteArray dir = server.address("/dir/");
    QByteArray body = "<img src=\"a.jpg\">";
    constexpr int pages = 50000;
    for (int i = 0; i < pages; ++i)
        body += "<a href=\"" + dir + "p" + QByteArray::number(i) + "\">p</a>";
    server.route("/dir/", serve::ok(body));
    FakeWindow window;
    window.address = QString::fromLatin1(dir);
    DiscoveryState state;
    const net::NetworkRun network;
    ListingJob job(window, state, network.setup());
    QCOMPARE(listToEnd(job), ListingOutcome::Done);
    QCOMPARE(window.entries(), QList<QByteArray>{dir + "a.jpg"});
    QCOMPARE(window.boxes.texts(), QStringList{QStringLiteral("Done.")});
    QCOMPARE(server.distinctPaths(), QList<QByteArray>{"/dir/"});
    QVERIFY(!state.PendingPages.has_value());
}

void TestListing::fetchFailures_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not found") << serve::response(404, "Not Found", {}, "<img src=\"x.jpg\">")
                               << QStringLiteral("HTTP 404 Not Found");
    QTest::newRow("server error") << serve::response(500, "Internal Server Error", {}, "<img src=\"x.jpg\">")
                                  << QStringLiteral("HTTP 500");
    QTest::newRow("silent server") << serve::stall() << QStringLiteral("no data arrived");
    QTest::newRow("headers then silence") << serve::headersThenStall() << QStringLiteral("no data arrived");
    QTest::newRow("body cut short") << serve::cutShort(1000, 10) << QString();
    QTest::newRow("redirect loop") << serve::redirect("/page/") << QString();
    QTest::newRow("redirect to ftp") << serve::redirect("ftp://127.0.0.1/x/") << QString();
}

void TestListing::fetchFailures() {
    QFETCH(Behaviour, behaviour);
    QFETCH(QString, reason);
    TestServer server;
    server.route("/page/", behaviour);
    FakeWindow window;
    window.address = QString::fromLatin1(server.address("/page/"));
    DiscoveryState state;
    const net::NetworkRun network;
    ListingJob job(window, state, network.setup());
    QCOMPARE(listToEnd(job), ListingOutcome::FetchFailed);
    QCOMPARE(window.list.count(), 0);
    QCOMPARE(window.boxes.messages.size(), 1);
    const QString message = window.boxes.texts().first();
    QVERIFY2(message.contains(window.address), qPrintable(message));
    QVERIFY2(message.contains(reason), qPrintable(message));
    QVERIFY(!message.contains(QLatin1StringView("Done.")));
    QCOMPARE(window.mouse.pointer(), Pointer::Default);
    QVERIFY2(QDir(m_temp.path()).isEmpty(), "the temporary page file is removed after a failure too");
}

void TestListing::secureServer_data() {
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<bool>("downgrade");
    QTest::addColumn<ListingOutcome>("outcome");
    QTest::newRow("trusted certificate: fetched over TLS") << true << false << ListingOutcome::Done;
    QTest::newRow("untrusted certificate: refused") << false << false << ListingOutcome::FetchFailed;
    QTest::newRow("redirect from https to http: refused") << true << true << ListingOutcome::FetchFailed;
}

void TestListing::secureServer() {
    QFETCH(bool, trusted);
    QFETCH(bool, downgrade);
    QFETCH(ListingOutcome, outcome);
    TestServer plain;
    plain.route("/dir/", serve::ok(page));
    TestServer secure;
    secure.useTls(trusted ? m_trusted : m_untrusted);
    secure.route("/dir/", downgrade ? serve::redirect(plain.address("/dir/")) : serve::ok(page));

    FakeWindow window;
    window.address = QString::fromLatin1(secure.address("/dir/"));
    QVERIFY(window.address.startsWith(QLatin1StringView("https://")));
    DiscoveryState state;
    const net::NetworkRun network;
    ListingJob job(window, state, network.setup());
    QCOMPARE(listToEnd(job), outcome);
    QVERIFY(plain.requests().isEmpty());
    if (outcome == ListingOutcome::Done) {
        // Relative links keep the scheme of the typed address.
        QCOMPARE(window.list.text(1), secure.address("/dir/a.jpg"));
        QVERIFY(window.list.text(1).startsWith("https://"));
    } else {
        QCOMPARE(window.list.count(), 0);
    }
}

void TestListing::filterAndFolderChecks_data() {
    QTest::addColumn<bool>("jpg");
    QTest::addColumn<bool>("gif");
    QTest::addColumn<bool>("custom");
    QTest::addColumn<QString>("customText");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<ListingOutcome>("outcome");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("entriesLeft");
    const QString noFilter = QStringLiteral("Select image filter first.");
    const QString noFolder = QStringLiteral("Folder does not exist. Please select another folder.");
    const QString tmp = QDir::tempPath();
    QTest::newRow("no box ticked keeps the old list")
        << false << false << false << QString() << tmp << ListingOutcome::NoFilter << noFilter << 1;
    QTest::newRow("custom list of blanks only") << false << false << true << QStringLiteral("   ") << tmp
                                                << ListingOutcome::NoFilter << noFilter << 1;
    QTest::newRow("missing folder empties the list")
        << true << false << false << QString() << QStringLiteral("/no/such/folder")
        << ListingOutcome::NoFolder << noFolder << 0;
    QTest::newRow("empty folder text")
        << true << false << false << QString() << QString() << ListingOutcome::NoFolder << noFolder << 0;
    QTest::newRow("a file is not a folder")
        << true << false << false << QString() << QStringLiteral("/etc/hostname") << ListingOutcome::NoFolder
        << noFolder << 0;
}

void TestListing::filterAndFolderChecks() {
    QFETCH(bool, jpg);
    QFETCH(bool, gif);
    QFETCH(bool, custom);
    QFETCH(QString, customText);
    QFETCH(QString, folder);
    QFETCH(ListingOutcome, outcome);
    QFETCH(QString, message);
    QFETCH(int, entriesLeft);
    FakeWindow window;
    window.jpg = jpg;
    window.gif = gif;
    window.custom = custom;
    window.customText = customText;
    window.folder = folder;
    window.address = QStringLiteral("127.0.0.1:1/");
    window.list.add("old entry");
    DiscoveryState state;
    state.ImageFilter = ImageTypeFilter({"OLD"});
    const net::NetworkRun network;
    ListingJob job(window, state, network.setup());
    QCOMPARE(listToEnd(job), outcome);
    QCOMPARE(window.boxes.texts(), QStringList{message});
    QCOMPARE(window.list.count(), entriesLeft);
    QCOMPARE(window.mouse.pointer(), Pointer::Default);
    if (outcome == ListingOutcome::NoFilter) {
        QCOMPARE(state.ImageFilter.entries(), QList<QByteArray>{"OLD"});
        QVERIFY(window.mouse.changes.isEmpty());
    }
}

void TestListing::nonAsciiAddressIsRequestedAsBytes() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::ok(R"(<img src="b.jpg">)"); });
    FakeWindow window;
    window.address = QString::fromUtf8(server.address("/caf\xc3\xa9 x/"));
    DiscoveryState state;
    const net::NetworkRun network;
    ListingJob job(window, state, network.setup());
    QCOMPARE(listToEnd(job), ListingOutcome::Done);
    QCOMPARE(server.distinctPaths(), QList<QByteArray>{"/caf%C3%A9%20x/"});
    QCOMPARE(window.list.text(1), server.address("/caf\xc3\xa9 x/b.jpg"));
}

void TestListing::commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("err");
    // ADDRESS stands for the test server's page, DEAD for a refused one.
    QTest::newRow("default filter") << QStringList{QStringLiteral("list"), QStringLiteral("ADDRESS")} << 0
                                    << QByteArray("BASE/a.jpg\nBASE/b.gif\nhttp://elsewhere/d.JPG\n")
                                    << QString();
    QTest::newRow("custom filter after --")
        << QStringList{QStringLiteral("list"), QStringLiteral("--filter"), QStringLiteral("png,"),
                       QStringLiteral("--"), QStringLiteral("ADDRESS")}
        << 0 << QByteArray("BASE/c.png\n") << QString();
    QTest::newRow("page that cannot be fetched")
        << QStringList{QStringLiteral("list"), QStringLiteral("DEAD")} << 1 << QByteArray()
        << QStringLiteral("could not be fetched");
    QTest::newRow("blank filter") << QStringList{QStringLiteral("list"), QStringLiteral("--filter= "),
                                                 QStringLiteral("ADDRESS")}
                                  << 2 << QByteArray() << QStringLiteral("Select image filter first.");
    QTest::newRow("missing address") << QStringList{QStringLiteral("list")} << 2 << QByteArray()
                                     << QStringLiteral("ADDRESS");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("list"), QStringLiteral("--bogus"),
                                                   QStringLiteral("ADDRESS")}
                                    << 2 << QByteArray() << QStringLiteral("--bogus");
    QTest::newRow("unknown command") << QStringList{QStringLiteral("frobnicate")} << 2 << QByteArray()
                                     << QStringLiteral("unknown command");
}

void TestListing::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QString, err);
    TestServer server;
    server.route("/dir/", serve::ok(page));
    for (QString& a : arguments) {
        a.replace(QLatin1StringView("ADDRESS"), QString::fromLatin1(server.address("/dir/")));
        a.replace(QLatin1StringView("DEAD"), QStringLiteral("http://127.0.0.1:1/"));
    }
    const CliResult result = runVarnolux(arguments);
    QVERIFY2(result.finished, qPrintable(result.errorString));
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out, out.replace("BASE", server.address("/dir")));
    QVERIFY2(QString::fromUtf8(result.err).contains(err), result.err.constData());
}

void TestListing::heldListInSlices_data() {
    QTest::addColumn<int>("listed");    // entries in the list before the page's
    QTest::addColumn<int>("held");      // entries the page adds
    QTest::addColumn<int>("tickEvery"); // every n-th held entry is ticked, then unticked again
    QTest::newRow("nothing held") << 3 << 0 << 1;
    QTest::newRow("one") << 0 << 1 << 1;
    QTest::newRow("one whole slice") << 2 << 85 << 1;             // 256 steps
    QTest::newRow("a slice and a bit") << 0 << 128 << 1;          // 385 steps
    QTest::newRow("two slices and one step") << 1 << 256 << 1000; // 513 steps
    QTest::newRow("the list's cap") << 5 << 32767 << 7;
}

// A list handed over a slice at a time ends exactly as one handed over at once: the same
// entries in the same order, the same ticks, the same entry scrolled to.
void TestListing::heldListInSlices() {
    QFETCH(int, listed);
    QFETCH(int, held);
    QFETCH(int, tickEvery);
    MemoryImageList atOnce;
    MemoryImageList inSlices;
    for (MemoryImageList* list : {&atOnce, &inSlices})
        for (int i = 0; i < listed; ++i)
            list->add("http://host/before" + QByteArray::number(i));
    auto fill = [&](HeldImageList& h) {
        for (int i = 0; i < held; ++i) {
            const int entry = h.add("http://host/" + QByteArray::number(i) + ".jpg");
            h.setTicked(entry, true);
            if (i % tickEvery == 0)
                h.setTicked(entry, false);
        }
        if (held > 0)
            h.scrollTo(listed + held / 2 + 1);
    };
    HeldImageList whole(atOnce);
    fill(whole);
    whole.commit();
    HeldImageList sliced(inSlices);
    fill(sliced);
    int slices = 1;
    while (!sliced.commitFor(0))
        ++slices;
    QCOMPARE(inSlices.count(), atOnce.count());
    for (int i = 1; i <= atOnce.count(); ++i) {
        QCOMPARE(inSlices.text(i), atOnce.text(i));
        QCOMPARE(inSlices.ticked(i), atOnce.ticked(i));
    }
    QCOMPARE(inSlices.scrolledTo(), atOnce.scrolledTo());
    // With no time to spare, each slice is 256 steps (an add, a tick, perhaps an untick each).
    const int steps =
        held * 2 + (tickEvery > 0 ? (held + tickEvery - 1) / tickEvery : 0) + (held > 0 ? 1 : 0);
    QCOMPARE(slices, qMax(1, (steps + 255) / 256));
    // The held list is empty again and takes a new page.
    QCOMPARE(sliced.count(), inSlices.count());
}

QTEST_GUILESS_MAIN(TestListing)
#include "tst_listing.moc"
