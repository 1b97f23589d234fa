#include "core/MemoryImageList.h"
#include "discovery/LinkScanner.h"
#include "discovery/ListingJob.h"
#include "discovery/PageRetrieval.h"
#include "net/CurlLoop.h"
#include "support/ListToEnd.h"

#include <QTemporaryFile>
#include <QTest>

#include <memory>
#include <optional>

namespace {
class NoMessages : public MessageBoxes {
public:
    void show(const QString& text, MessageIcon, const QString&) override { shown << text; }
    QStringList shown;
};
} // namespace

class TestPageAddress : public QObject {
    Q_OBJECT
private slots:
    void setPageAddress_data();
    void setPageAddress();
    void addressWithoutSlashKeepsPreviousBase();
    void filterText_data();
    void filterText();
    void laterPassesAreIgnored_data();
    void laterPassesAreIgnored();
    void fetchThatCannotStartIsToldLater_data();
    void fetchThatCannotStartIsToldLater();
};

void TestPageAddress::setPageAddress_data() {
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<QByteArray>("pageAddress");
    QTest::addColumn<QByteArray>("pageBase");
    QTest::newRow("no scheme gets http and a final slash")
        << QByteArray("site/dir") << QByteArray("http://site/dir/") << QByteArray("http://site/dir");
    QTest::newRow("https keeps its scheme for fetching and for the base")
        << QByteArray("https://site/dir/page.html") << QByteArray("https://site/dir/page.html")
        << QByteArray("https://site/dir");
    QTest::newRow("the htm/tml test is case-sensitive")
        << QByteArray("site/dir/Page.HTML") << QByteArray("http://site/dir/Page.HTML/")
        << QByteArray("http://site/dir/Page.HTML");
    QTest::newRow("a query becomes part of the folder")
        << QByteArray("site/gallery.php?id=3") << QByteArray("http://site/gallery.php?id=3/")
        << QByteArray("http://site/gallery.php?id=3");
    QTest::newRow(".htm ends a file name")
        << QByteArray("http://site/a.htm") << QByteArray("http://site/a.htm") << QByteArray("http://site");
    QTest::newRow("an image address is treated as a folder")
        << QByteArray("site/a.jpg") << QByteArray("http://site/a.jpg/") << QByteArray("http://site/a.jpg");
    QTest::newRow("a leading slash is kept here")
        << QByteArray("/site/x") << QByteArray("http:///site/x/") << QByteArray("http:///site/x");
    QTest::newRow("HTTP in capitals counts as a scheme")
        << QByteArray("HTTP://Site/") << QByteArray("HTTP://Site/") << QByteArray("HTTP://Site");
    QTest::newRow("two letters are not an htm ending")
        << QByteArray("tm") << QByteArray("http://tm/") << QByteArray("http://tm");
}

void TestPageAddress::setPageAddress() {
    QFETCH(QByteArray, typed);
    QFETCH(QByteArray, pageAddress);
    QFETCH(QByteArray, pageBase);
    DiscoveryState state;
    MemoryImageList list;
    NoMessages messages;
    LinkScanner scanner(state, list, [] { return QByteArray(); });
    net::CurlLoop network;
    PageRetrieval retrieval(state, scanner, messages, network);
    retrieval.SetPageAddress(typed);
    QCOMPARE(state.PageAddress, pageAddress);
    QCOMPARE(state.PageBase, pageBase);
}

void TestPageAddress::addressWithoutSlashKeepsPreviousBase() {
    DiscoveryState state;
    state.PageBase = "http://before";
    MemoryImageList list;
    NoMessages messages;
    LinkScanner scanner(state, list, [] { return QByteArray(); });
    net::CurlLoop network;
    PageRetrieval retrieval(state, scanner, messages, network);
    retrieval.SetPageAddress("httpfoo.htm");
    QCOMPARE(state.PageAddress, QByteArray("httpfoo.htm"));
    QCOMPARE(state.PageBase, QByteArray("http://before"));
}

void TestPageAddress::filterText_data() {
    QTest::addColumn<bool>("jpg");
    QTest::addColumn<bool>("gif");
    QTest::addColumn<bool>("custom");
    QTest::addColumn<QString>("customText");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QByteArray>>("entries");
    QTest::newRow("all boxes and a custom list")
        << true << true << true << QStringLiteral("BMP,PNG") << QStringLiteral("JPG,GIF,BMP,PNG")
        << QList<QByteArray>{"JPG", "GIF", "BMP", "PNG"};
    QTest::newRow("only one final comma is removed")
        << true << true << true << QStringLiteral("PNG,,") << QStringLiteral("JPG,GIF,PNG,,")
        << QList<QByteArray>{"JPG", "GIF", "PNG", ""};
    QTest::newRow("a space after a comma stays in the entry")
        << false << false << true << QStringLiteral("BMP, PNG") << QStringLiteral("BMP, PNG")
        << QList<QByteArray>{"BMP", " PNG"};
    QTest::newRow("a lone comma gives no entries at all")
        << false << false << true << QStringLiteral(",") << QStringLiteral(",") << QList<QByteArray>{};
    QTest::newRow("the custom list is ignored while its box is clear")
        << true << false << false << QStringLiteral("PNG") << QStringLiteral("JPG,")
        << QList<QByteArray>{"JPG"};
    QTest::newRow("a repeated type is kept twice")
        << true << true << true << QStringLiteral("JPG") << QStringLiteral("JPG,GIF,JPG")
        << QList<QByteArray>{"JPG", "GIF", "JPG"};
}

void TestPageAddress::filterText() {
    QFETCH(bool, jpg);
    QFETCH(bool, gif);
    QFETCH(bool, custom);
    QFETCH(QString, customText);
    QFETCH(QString, text);
    QFETCH(QList<QByteArray>, entries);
    QString built = BuildFilterText(jpg, gif, custom, customText);
    QCOMPARE(built, text);
    if (built.endsWith(u','))
        built.chop(1);
    QCOMPARE(cutFilterText(built).entries(), entries);
}

void TestPageAddress::laterPassesAreIgnored_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<qint32>("pass");
    QTest::addColumn<bool>("listed");
    // Only an entry ending in "/" can match the text after an address's last dot.
    QTest::newRow("later pass with ordinary types does nothing") << QStringLiteral("JPG,GIF") << 1 << false;
    QTest::newRow("an entry ending in a slash makes a later pass eligible")
        << QStringLiteral("JPG,y/") << 3 << true;
}

void TestPageAddress::laterPassesAreIgnored() {
    QFETCH(QString, filter);
    QFETCH(qint32, pass);
    QFETCH(bool, listed);
    DiscoveryState state;
    state.ImageFilter = cutFilterText(filter);
    state.PageAddress = "untouched";
    MemoryImageList list;
    NoMessages messages;
    LinkScanner scanner(state, list, [] { return QByteArray(); });
    net::CurlLoop network;
    PageRetrieval retrieval(state, scanner, messages, network);
    // Port 1 on loopback refuses at once, so an eligible pass fails its fetch without leaving the machine.
    const PageVisit visit = visitToEnd(retrieval, list, "127.0.0.1:1/x.y", 1, pass);
    QVERIFY(!visit);
    QCOMPARE(list.count(), listed ? 1 : 0);
    if (listed) {
        QCOMPARE(list.text(1), QByteArray("http://127.0.0.1:1/x.y/"));
        QVERIFY(list.ticked(1));
        QVERIFY(!visit.fetch.ok());
        QVERIFY(!net::reasonText(visit.fetch).isEmpty());
    } else {
        QCOMPARE(state.PageAddress, QByteArray("untouched"));
    }
    QVERIFY(messages.shown.isEmpty());
}

void TestPageAddress::fetchThatCannotStartIsToldLater_data() {
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<bool>("fileOpen");
    QTest::addColumn<int>("status");
    QTest::newRow("not a web address")
        << QByteArray("ftp://127.0.0.1/x/") << true << int(net::Status::Failed);
    QTest::newRow("no address at all") << QByteArray("") << true << int(net::Status::Failed);
    QTest::newRow("the page file is not open")
        << QByteArray("http://127.0.0.1:1/") << false << int(net::Status::LocalFile);
}

void TestPageAddress::fetchThatCannotStartIsToldLater() {
    QFETCH(QByteArray, address);
    QFETCH(bool, fileOpen);
    QFETCH(int, status);
    net::CurlLoop network;
    QTemporaryFile file;
    if (fileOpen)
        QVERIFY(file.open());
    std::optional<net::Result> told;
    int times = 0;
    const std::unique_ptr<PageFetch> fetch =
        DownloadToFile(network, address, file, [&](const net::Result& fetched) {
            told = fetched;
            ++times;
        });
    // Whoever starts a fetch is never told its end from inside the start.
    QVERIFY(!told);
    QTRY_VERIFY(told.has_value());
    QCOMPARE(int(told->status), status);
    QVERIFY(!net::reasonText(*told).isEmpty());
    QTest::qWait(20);
    QCOMPARE(times, 1);
}

QTEST_GUILESS_MAIN(TestPageAddress)
#include "tst_pageaddress.moc"
