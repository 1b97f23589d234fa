#include "core/MemoryImageList.h"
#include "discovery/LinkScanner.h"
#include "discovery/ListingJob.h"

#include <QTest>

using Links = QList<QByteArray>;

namespace {

// A byte string literal that may hold NUL bytes.
template <size_t N> QByteArray raw(const char (&literal)[N]) {
    return QByteArray(literal, N - 1);
}

const QByteArray base = "http://h/d";

struct Scan {
    Links listed;
    Links pending;
};

Scan scan(const QByteArray& page, const QString& filter = QStringLiteral("JPG,GIF"),
          const QByteArray& address = "http://h/d/", const QByteArray& pageBase = base) {
    DiscoveryState state;
    state.ImageFilter = cutFilterText(filter);
    state.PendingPages.emplace();
    state.PageBase = pageBase;
    state.PageData = page;
    state.PageLength = qint32(page.size());
    MemoryImageList list;
    LinkScanner scanner(state, list, [&] { return address; });
    scanner.setYield([] {});
    scanner.CollectData();
    Scan result;
    for (int i = 1; i <= list.count(); ++i) {
        result.listed << list.text(i);
        if (!list.ticked(i))
            qWarning("entry %d is not ticked", i);
    }
    while (state.PendingPages->count() > 0) {
        result.pending.prepend(state.PendingPages->last());
        state.PendingPages->removeLast();
    }
    return result;
}

// The same page as it arrives: CollectData after each piece, PageData holding what has come.
// cuts are the lengths after which a piece ends.
Scan scanArriving(const QByteArray& page, const QList<qsizetype>& cuts,
                  const QString& filter = QStringLiteral("JPG,GIF"),
                  const QByteArray& address = "http://h/d/") {
    DiscoveryState state;
    state.ImageFilter = cutFilterText(filter);
    state.PendingPages.emplace();
    state.PageBase = base;
    MemoryImageList list;
    LinkScanner scanner(state, list, [&] { return address; });
    scanner.setYield([] {});
    scanner.startPage();
    for (const qsizetype cut : cuts) {
        // A copy of its own each time: the bytes so far may move between two pieces.
        state.PageData = page.first(cut);
        state.PageLength = qint32(cut);
        scanner.CollectData();
    }
    scanner.pageComplete();
    state.PageData = page;
    state.PageLength = qint32(page.size());
    scanner.CollectData();
    Scan result;
    for (int i = 1; i <= list.count(); ++i)
        result.listed << list.text(i);
    while (state.PendingPages->count() > 0) {
        result.pending.prepend(state.PendingPages->last());
        state.PendingPages->removeLast();
    }
    return result;
}

} // namespace

class TestLinkScanner : public QObject {
    Q_OBJECT
private slots:
    void collectData_data();
    void collectData();
    void resolution_data();
    void resolution();
    void linkValue_data();
    void linkValue();
    void sortLinks_data();
    void sortLinks();
    void pendingPagesKeepFirstCase();
    void pageReadWhileItArrives_data();
    void pageReadWhileItArrives();
    void isListedCap_data();
    void isListedCap();
    void scanNeverGrowsListPastCap();
    void entriesAreTickedAndScrolledIntoView();
    void hostilePages_data();
    void hostilePages();
};

void TestLinkScanner::collectData_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<Links>("listed");
    QTest::addColumn<Links>("pending");

    const QString jg = QStringLiteral("JPG,GIF");
    const QByteArray addr = "http://h/d/";
    QTest::newRow("attribute names in any case are found")
        << QByteArray(R"(<img SRC="a.jpg"><img Src="b.gif"><a HREF="c.jpg"><a hReF="d.JPG">)") << jg << addr
        << Links{base + "/a.jpg", base + "/b.gif", base + "/c.jpg", base + "/d.JPG"} << Links{};
    QTest::newRow("blanks around the equals sign, single quotes and bare values are not openings")
        << QByteArray(R"(<img src = "a.jpg"><img src='b.jpg'><img src=c.jpg><img src ="d.jpg">)") << jg
        << addr << Links{} << Links{};
    QTest::newRow("a name ending in src counts, srcset does not")
        << QByteArray(R"(<img data-src="a.jpg" srcset="b.jpg 2x" lowsrc="c.gif">)") << jg << addr
        << Links{base + "/a.jpg", base + "/c.gif"} << Links{};
    QTest::newRow("openings in comments, scripts and text count too")
        << QByteArray(R"(<!-- src="a.jpg" --><script>x='href="b.gif"'</script> plain src="c.jpg" text)") << jg
        << addr << Links{base + "/a.jpg", base + "/b.gif", base + "/c.jpg"} << Links{};
    QTest::newRow("an opening inside another value is found as well")
        << QByteArray(R"(<a title="see src="x.jpg" here" href="y.gif">)") << jg << addr
        << Links{base + "/x.jpg", base + "/y.gif"} << Links{};
    QTest::newRow("a page shorter than five bytes yields nothing")
        << QByteArray("src=") << jg << addr << Links{} << Links{};
    QTest::newRow("a quote as the page's last byte has no value")
        << QByteArray(R"(<img src=")") << jg << addr << Links{} << Links{};
    QTest::newRow("a value without its closing quote is dropped")
        << QByteArray(R"(<img src="a.jpg"><img src="b.jpg)") << jg << addr << Links{base + "/a.jpg"}
        << Links{};
    // The file:// test is exact: FILE:// is only a relative value.
    QTest::newRow("links holding @ or file:// are never listed")
        << QByteArray(R"(<img src="me@x.jpg"><a href="mailto:a@b.gif"><img src="file:///c/a.jpg"><img )"
                      R"(src="FILE:///c/b.jpg">)")
        << jg << addr << Links{base + "/FILE:///c/b.jpg"} << Links{};
    QTest::newRow("href to a page is listed only when its type is in the filter")
        << QByteArray(R"(<a href="page.html"><a href="other.htm">)") << QStringLiteral("JPG,html") << addr
        << Links{base + "/page.html"} << Links{};
    QTest::newRow("directory-like hrefs under the typed address go on the stack, not the list")
        << QByteArray(R"(<a href="sub/"><a href="http://elsewhere/x/"><a href="more">)")
        << QStringLiteral("JPG,") << addr << Links{} << Links{base + "/sub/", base + "/more"};
    QTest::newRow("the address test ignores letter case")
        << QByteArray(R"(<a href="HTTP://H/D/Sub">)") << jg << addr << Links{} << Links{"HTTP://H/D/Sub"};
    QTest::newRow("an empty address box puts every directory-like link under it")
        << QByteArray(R"(<a href="http://elsewhere/x/">)") << jg << QByteArray() << Links{}
        << Links{"http://elsewhere/x/"};
    QTest::newRow("column-sort links of a directory listing are not pages")
        << QByteArray(R"(<a href="?C=N;O=D"><a href="?c=m;o=a"><a href="x;O=D/?C=N"><a href="?C=S">)") << jg
        << addr << Links{} << Links{base + "/x;O=D/?C=N", base + "/?C=S"};
    QTest::newRow("the same directory link twice, in other case, is stacked once")
        << QByteArray(R"(<a href="Sub/"><a href="sub/"><a href="SUB/">)") << jg << addr << Links{}
        << Links{base + "/Sub/"};
    QTest::newRow("filter entries match in either case")
        << QByteArray(R"(<img src="a.JPG"><img src="b.jpg"><img src="c.Png">)") << QStringLiteral("jpg,PNG")
        << addr << Links{base + "/a.JPG", base + "/b.jpg", base + "/c.Png"} << Links{};
    QTest::newRow("a query or fragment after the extension keeps the link out")
        << QByteArray(R"(<img src="a.jpg?w=100"><img src="b.jpg#top"><img src="c.jpg/">)") << jg << addr
        << Links{} << Links{};
    QTest::newRow("links differing only in case are both listed")
        << QByteArray(R"(<img src="A.jpg"><img src="a.jpg">)") << jg << addr
        << Links{base + "/A.jpg", base + "/a.jpg"} << Links{};
    QTest::newRow("a link found twice, or matching two entries, is listed once")
        << QByteArray(R"(<img src="a.jpg"><a href="a.jpg"><img src="a.jpg">)")
        << QStringLiteral("JPG,jpg,JPG") << addr << Links{base + "/a.jpg"} << Links{};
    QTest::newRow("JPEG and JPG are different types")
        << QByteArray(R"(<img src="a.jpeg"><img src="b.jpg">)") << QStringLiteral("JPEG") << addr
        << Links{base + "/a.jpeg"} << Links{};
    QTest::newRow("an entry written with its dot or a space never matches")
        << QByteArray(R"(<img src="a.png"><img src="b.bmp">)") << QStringLiteral(".png, BMP") << addr
        << Links{} << Links{};
    QTest::newRow("the piece is cut from the whole link, not the last segment")
        << QByteArray(R"(<img src="http://site.com/pic">)") << QStringLiteral("com/pic") << addr
        << Links{"http://site.com/pic"} << Links{};
    QTest::newRow("a link ending in a dot needs an empty entry")
        << QByteArray(R"(<img src="a."><img src="b.">)") << QStringLiteral("JPG,,GIF") << addr
        << Links{base + "/a.", base + "/b."} << Links{};
    QTest::newRow("page bytes are kept as bytes")
        << raw("<img src=\"caf\xc3\xa9.jpg\"><img src=\"\xff\x00\x01.gif\">") << jg << addr
        << Links{base + "/caf\xc3\xa9.jpg", base + raw("/\xff\x00\x01.gif")} << Links{};
    QTest::newRow("a UTF-16 page has no openings in byte terms")
        << raw("\xff\xfes\0r\0c\0=\0\"\0a\0.\0j\0p\0g\0\"\0") << jg << addr << Links{} << Links{};
}

void TestLinkScanner::collectData() {
    QFETCH(QByteArray, page);
    QFETCH(QString, filter);
    QFETCH(QByteArray, address);
    QFETCH(Links, listed);
    QFETCH(Links, pending);
    const Scan result = scan(page, filter, address);
    QCOMPARE(result.listed, listed);
    QCOMPARE(result.pending, pending);
}

void TestLinkScanner::resolution_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("link");
    QTest::newRow("relative name goes behind the base") << QByteArray("a.jpg") << base + "/a.jpg";
    QTest::newRow("one leading slash goes under the base, not the root")
        << QByteArray("/img/a.jpg") << base + "/img/a.jpg";
    QTest::newRow("two leading slashes keep the second") << QByteArray("//cdn/a.jpg") << base + "//cdn/a.jpg";
    QTest::newRow("dot segments are not resolved") << QByteArray("../a.jpg") << base + "/../a.jpg";
    QTest::newRow("current-folder segment is kept") << QByteArray("./a.jpg") << base + "/./a.jpg";
    QTest::newRow("a bare query goes behind the base") << QByteArray("?page=2") << base + "/?page=2";
    QTest::newRow("HTTPS in capitals is absolute")
        << QByteArray("HTTPS://x/a.jpg") << QByteArray("HTTPS://x/a.jpg");
    QTest::newRow("any value starting with http is absolute")
        << QByteArray("httpfoo.jpg") << QByteArray("httpfoo.jpg");
    QTest::newRow("a slash before http is dropped first")
        << QByteArray("/http://x/a.jpg") << QByteArray("http://x/a.jpg");
    QTest::newRow("short values are relative") << QByteArray("htt") << base + "/htt";
}

void TestLinkScanner::resolution() {
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, link);
    QCOMPARE(resolveLink(base, value), link);
}

void TestLinkScanner::linkValue_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("value up to the next quote")
        << QByteArray(R"(src="a.jpg" x)") << qint64(6) << QByteArray("a.jpg");
    QTest::newRow("an empty value runs on to the next quote")
        << QByteArray(R"(<img src=""><img alt="x">)") << qint64(11) << QByteArray(R"("><img alt=)");
    QTest::newRow("the byte at the start is never the closing quote")
        << QByteArray(R"(src=""")") << qint64(6) << QByteArray(R"(")");
    QTest::newRow("no closing quote gives no value")
        << QByteArray(R"(src="abc)") << qint64(6) << QByteArray();
    QTest::newRow("a start behind the page gives no value")
        << QByteArray(R"(src=")") << qint64(6) << QByteArray();
}

void TestLinkScanner::linkValue() {
    QFETCH(QByteArray, page);
    QFETCH(qint64, start);
    QFETCH(QByteArray, value);
    DiscoveryState state;
    state.PageData = page;
    state.PageLength = qint32(page.size());
    MemoryImageList list;
    LinkScanner scanner(state, list, [] { return QByteArray(); });
    QCOMPARE(scanner.GetLinkValue(start), value);
}

void TestLinkScanner::sortLinks_data() {
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<bool>("sort");
    QTest::newRow("column sort link") << QByteArray("http://h/d/?C=N;O=D") << true;
    QTest::newRow("letter case ignored") << QByteArray("http://h/d/?c=m;o=a") << true;
    QTest::newRow(";O= only before /?C=") << QByteArray("http://h/;O=D/?C=N") << false;
    QTest::newRow("/?C= without ;O=") << QByteArray("http://h/d/?C=N") << false;
    QTest::newRow(";O= right behind /?C=") << QByteArray("/?C=;O=") << true;
    QTest::newRow("overlapping /?C=;O= is not enough") << QByteArray("/?C;O=") << false;
}

void TestLinkScanner::sortLinks() {
    QFETCH(QByteArray, link);
    QFETCH(bool, sort);
    QCOMPARE(IsSortLink(link), sort);
}

void TestLinkScanner::pendingPagesKeepFirstCase() {
    PendingPageStack stack;
    stack.add("typed");
    QVERIFY(stack.addKeyed("http://h/A/", "http://h/A/"));
    QVERIFY(!stack.addKeyed("http://h/a/", "http://h/a/"));
    QCOMPARE(stack.count(), 2);
    QCOMPARE(stack.last(), QByteArray("http://h/A/"));
    stack.removeLast();
    // Removing an item frees its key.
    QVERIFY(stack.addKeyed("http://h/a/", "http://h/a/"));
    QCOMPARE(stack.last(), QByteArray("http://h/a/"));
}

void TestLinkScanner::isListedCap_data() {
    QTest::addColumn<int>("entries");
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("expected"); // 0 false, 1 true, 2 overflow
    QTest::newRow("below the cap, absent") << 32766 << false << 0;
    QTest::newRow("below the cap, present") << 32766 << true << 1;
    QTest::newRow("at the cap, present") << 32767 << true << 1;
    QTest::newRow("at the cap, absent overflows") << 32767 << false << 2;
    QTest::newRow("past the cap overflows even when present") << 32768 << true << 2;
}

void TestLinkScanner::isListedCap() {
    QFETCH(int, entries);
    QFETCH(bool, present);
    QFETCH(int, expected);
    MemoryImageList list;
    for (int i = 0; i < entries; ++i)
        list.add(QByteArray::number(i));
    const QByteArray text = present ? QByteArray::number(entries - 1) : QByteArray("absent");
    int got = -1;
    try {
        got = IsListed(list, text) ? 1 : 0;
    } catch (const std::exception&) {
        got = 2;
    }
    QCOMPARE(got, expected);
}

void TestLinkScanner::scanNeverGrowsListPastCap() {
    QByteArray page;
    for (int i = 0; i < 32800; ++i)
        page += "<img src=\"" + QByteArray::number(i) + ".jpg\">";
    QCOMPARE(scan(page).listed.size(), 32767);
}

void TestLinkScanner::entriesAreTickedAndScrolledIntoView() {
    DiscoveryState state;
    state.ImageFilter = cutFilterText(QStringLiteral("JPG"));
    state.PageBase = base;
    state.PageData = R"(<img src="a.jpg"><img src="b.jpg">)";
    state.PageLength = qint32(state.PageData.size());
    MemoryImageList list;
    LinkScanner scanner(state, list, [] { return QByteArray(); });
    scanner.setYield([] {});
    scanner.CollectData();
    QCOMPARE(list.count(), 2);
    QVERIFY(list.ticked(1) && list.ticked(2));
    QCOMPARE(list.scrolledTo(), 2);
}

void TestLinkScanner::hostilePages_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QByteArray>("pageBase");
    QTest::addColumn<Links>("listed");
    const QByteArray megabyte(1 << 20, 'a');
    QTest::newRow("a one-megabyte value") << "<img src=\"" + megabyte + ".jpg\">" << QStringLiteral("JPG")
                                          << base << Links{base + "/" + megabyte + ".jpg"};
    // Each opening's value runs to the next opening's quote: linear, not quadratic.
    QTest::newRow("a million openings in a row")
        << QByteArray("src=\"").repeated(1000000) << QStringLiteral("x/d/src=") << QByteArray("http://h.x/d")
        << Links{"http://h.x/d/src="};
    QTest::newRow("NUL and invalid UTF-8 around the openings")
        << raw("\0\xc3(\0src=\"\xfe\xff.gif\"\0\x80href=\"\xc0\xaf.jpg\"\0") << QStringLiteral("JPG,GIF")
        << base << Links{base + "/\xfe\xff.gif", base + "/\xc0\xaf.jpg"};
    QTest::newRow("an opening as the last bytes of the page")
        << QByteArray("xxxxxxxxxx href=\"") << QStringLiteral("JPG") << base << Links{};
}

void TestLinkScanner::hostilePages() {
    QFETCH(QByteArray, page);
    QFETCH(QString, filter);
    QFETCH(QByteArray, pageBase);
    QFETCH(Links, listed);
    QCOMPARE(scan(page, filter, "http://h/d/", pageBase).listed, listed);
}

void TestLinkScanner::pageReadWhileItArrives_data() {
    QTest::addColumn<QByteArray>("page");

    QTest::newRow("openings and values of every kind, cut anywhere")
        << QByteArray(R"(<a HREF="sub/">x</a><img Src="/a.jpg"><a href="b.gif">b</a><img data-src="c.JPG">)");
    QTest::newRow("an empty value runs on to the next quote")
        << QByteArray(R"(<img src="" alt="x.jpg"><img src="d.gif">)");
    QTest::newRow("a value the page never closes")
        << QByteArray(R"(<img src="a.jpg"><img src="never-closed.jpg)");
    QTest::newRow("the opening's quote is the page's last byte")
        << QByteArray(R"(<img src="a.gif"><img src=")");
    QTest::newRow("an opening inside another value") << QByteArray(R"(<a title="src="in.jpg"">t</a>)");
    QTest::newRow("sort links, mail and file links") << QByteArray(
        R"(<a href="/d/?C=N;O=D">n</a><a href="mailto:a@b.jpg">m</a><img src="file://x/y.gif">)");
    QTest::newRow("the same link twice and in another case") << QByteArray(
        R"(<a href="http://h/d/Sub">1</a><a href="http://h/d/sub">2</a><img src="a.jpg"><img src="a.jpg">)");
    QTest::newRow("bytes outside ASCII and NUL bytes")
        << raw("<img src=\"\xc3\xa9t\xc3\xa9.jpg\">\0<img src=\"z\0.gif\">");
}

void TestLinkScanner::pageReadWhileItArrives() {
    QFETCH(QByteArray, page);
    const Scan whole = scan(page);
    // One cut at every position, and the page byte by byte.
    for (qsizetype cut = 0; cut <= page.size(); ++cut) {
        const Scan arriving = scanArriving(page, {cut});
        QVERIFY2(arriving.listed == whole.listed && arriving.pending == whole.pending,
                 qPrintable(QStringLiteral("cut after %1 bytes").arg(cut)));
    }
    QList<qsizetype> everyByte;
    for (qsizetype cut = 1; cut <= page.size(); ++cut)
        everyByte << cut;
    const Scan byteByByte = scanArriving(page, everyByte);
    QCOMPARE(byteByByte.listed, whole.listed);
    QCOMPARE(byteByByte.pending, whole.pending);
}

QTEST_GUILESS_MAIN(TestLinkScanner)
#include "tst_linkscanner.moc"
