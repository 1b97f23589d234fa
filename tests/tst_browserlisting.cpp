#include "core/MemoryImageList.h"
#include "discovery/BrowserListing.h"
#include "discovery/DiscoveryState.h"
#include "discovery/ListingJob.h"
#include "discovery/PageFacts.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QByteArray page = "http://h.test/dir/page.html";

QStringList listed(const QByteArray& markup, const QString& filterText = QStringLiteral("JPG,GIF"),
                   const QByteArray& contentType = "text/html", const QByteArray& url = page) {
    MemoryImageList list;
    const ImageTypeFilter filter = cutFilterText(filterText);
    BrowserListing listing(list, filter);
    listing.setYield([] {});
    listing.run(markup, url, contentType);
    QStringList out;
    for (int i = 1; i <= list.count(); ++i) {
        out << QString::fromUtf8(list.text(i));
        if (!list.ticked(i))
            out.last() += QStringLiteral(" (not ticked)");
    }
    return out;
}

// The page as it arrives, in pieces ending after each of the cuts (each piece a buffer of its
// own: the bytes so far move), then whole.
QStringList listedInPieces(const QByteArray& markup, const QList<qsizetype>& cuts,
                           const QByteArray& contentType = "text/html", const QByteArray& url = page) {
    MemoryImageList list;
    const ImageTypeFilter filter = cutFilterText(QStringLiteral("JPG,GIF"));
    BrowserListing listing(list, filter);
    listing.setYield([] {});
    listing.begin(url, contentType);
    for (const qsizetype cut : cuts) {
        QByteArray soFar = markup.first(cut);
        soFar.detach();
        listing.feed(soFar, false);
    }
    listing.feed(markup, true);
    QStringList out;
    for (int i = 1; i <= list.count(); ++i)
        out << QString::fromUtf8(list.text(i));
    return out;
}

QStringList urls(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* u : list)
        out << QString::fromUtf8(u);
    return out;
}

} // namespace

class TestBrowserListing : public QObject {
    Q_OBJECT

private slots:
    void contexts_data();
    void contexts();
    void filterRule_data();
    void filterRule();
    void hostilePages_data();
    void hostilePages();
    void capOfTheList();
    // A page read while it arrives lists exactly what the whole page lists, wherever it is cut.
    void pageInPieces_data();
    void pageInPieces();
    void fullListInPieces_data();
    void fullListInPieces();
    void realPagesInPieces_data();
    void realPagesInPieces();
    // The title and the alt texts names may be made of.
    void factsOfAPage_data();
    void factsOfAPage();

private:
    QTemporaryDir m_realPages;
};

void TestBrowserListing::contexts_data() {
    QTest::addColumn<QByteArray>("markup");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("img attributes in markup order, quotes of every kind")
        << QByteArray("<img data-src='/b.jpg' src=c.jpg srcset=\"d.jpg 1x, e.jpg 2x\" data-original=f>")
        << urls({"http://h.test/b.jpg", "http://h.test/dir/c.jpg", "http://h.test/dir/d.jpg",
                 "http://h.test/dir/e.jpg", "http://h.test/dir/f"});
    QTest::newRow("references are decoded, a legacy one before = is not")
        << QByteArray("<img src='a.jpg?x=1&amp;y=2&copy=3&notit;&not;&lt'>")
        << urls({"http://h.test/dir/a.jpg?x=1&y=2&copy=3&notit;%C2%AC%3C"});
    QTest::newRow("scheme-relative and root-relative addresses")
        << QByteArray("<img src=//cdn.test/a.gif><img src=/root.gif><img src=../up.gif>")
        << urls({"http://cdn.test/a.gif", "http://h.test/root.gif", "http://h.test/up.gif"});
    QTest::newRow("the first base href counts, wherever it stands")
        << QByteArray("<img src=a.jpg><base href=http://other.test/x/><base href=http://third.test/>")
        << urls({"http://other.test/x/a.jpg"});
    QTest::newRow("a base without href does not count")
        << QByteArray("<base target=_top><base href=/b/><img src=a.jpg>") << urls({"http://h.test/b/a.jpg"});
    QTest::newRow("a base inside a template does not count")
        << QByteArray("<template><base href=http://t.test/></template><img src=a.jpg>")
        << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("a javascript: base leaves the page's address")
        << QByteArray("<base href='javascript:void(0)'><img src=a.jpg>") << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("comments, scripts, styles, textareas and titles hold no tags")
        << QByteArray("<!-- <img src=c.jpg> --><script>x='<img src=s.jpg>'</script><title><img src=t.jpg>"
                      "</title><textarea><img src=x.jpg></textarea><style>/* <img src=y.jpg> */</style>"
                      "<img src=ok.jpg>")
        << urls({"http://h.test/dir/ok.jpg"});
    QTest::newRow("an escaped script hides a script end tag")
        << QByteArray(
               "<script><!--<script></script><img src=hidden.jpg></script>--></script><img src=ok.jpg>")
        << urls({"http://h.test/dir/ok.jpg"});
    QTest::newRow("xmp, iframe, noembed and noframes are text")
        << QByteArray("<xmp><img src=a.jpg></xmp><iframe><img src=b.jpg></iframe><noembed><img src=c.jpg>"
                      "</noembed><noframes><img src=d.jpg></noframes><img src=ok.jpg>")
        << urls({"http://h.test/dir/ok.jpg"});
    QTest::newRow("noscript content is markup")
        << QByteArray("<noscript><img src=n.jpg></noscript>") << urls({"http://h.test/dir/n.jpg"});
    QTest::newRow("plaintext makes the rest of the page text")
        << QByteArray("<img src=a.jpg><plaintext><img src=b.jpg>") << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("an image start tag outside SVG is an img")
        << QByteArray("<image src=a.jpg srcset=b.jpg>")
        << urls({"http://h.test/dir/a.jpg", "http://h.test/dir/b.jpg"});
    QTest::newRow("SVG image: href before xlink:href, whichever stands first in the markup")
        << QByteArray("<svg><image xlink:href=x.png href=h.jpg></image><image xlink:href='only.gif'/></svg>")
        << urls({"http://h.test/dir/h.jpg", "http://h.test/dir/only.gif"});
    QTest::newRow("SVG's own a and img are not HTML's")
        << QByteArray("<svg><a href=a.jpg></a><foo src=b.jpg></foo></svg>") << QStringList();
    QTest::newRow("an img start tag leaves SVG content: what follows is HTML")
        << QByteArray("<svg><g><img src=a.jpg><image href=b.jpg>") << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("foreignObject and MathML text hold HTML")
        << QByteArray("<svg><foreignObject><image src=a.jpg></foreignObject></svg><math><mi><img src=b.jpg>")
        << urls({"http://h.test/dir/a.jpg", "http://h.test/dir/b.jpg"});
    QTest::newRow("after the svg ends, image is an img again")
        << QByteArray("<svg><image href=a.jpg></svg><image src=b.jpg>")
        << urls({"http://h.test/dir/a.jpg", "http://h.test/dir/b.jpg"});
    QTest::newRow("a self-closed svg holds nothing: what follows is HTML")
        << QByteArray("<svg/><image src=a.jpg>") << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("annotation-xml of text/html holds HTML, without the encoding it does not")
        << QByteArray("<math><annotation-xml encoding=TEXT/HTML><image src=a.jpg></annotation-xml>"
                      "<annotation-xml><image src=b.jpg>")
        << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("CDATA in SVG is text")
        << QByteArray("<svg><![CDATA[<image href=a.jpg>]]><image href=b.jpg></svg>")
        << urls({"http://h.test/dir/b.jpg"});
    QTest::newRow("CDATA in HTML is a bogus comment up to the first >")
        << QByteArray("<![CDATA[<img src=a.jpg>]]><img src=b.jpg>") << urls({"http://h.test/dir/b.jpg"});
    QTest::newRow("a source whose parent is not the picture")
        << QByteArray("<picture><span><source srcset=a.jpg></span><source srcset=b.jpg></picture>")
        << urls({"http://h.test/dir/b.jpg"});
    QTest::newRow("a block start closes an open p, not the picture around it")
        << QByteArray("<picture><p>x<div></div><source srcset=a.jpg></picture>")
        << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("an end tag that matches nothing open changes nothing")
        << QByteArray("<picture></span></b></p><source srcset=a.jpg></picture>")
        << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("a picture closed by its end tag no longer parents a source")
        << QByteArray("<picture><b></b></picture><source srcset=a.jpg>") << QStringList();
    QTest::newRow("a formatting element ends and the picture is the parent again")
        << QByteArray("<picture><b>x</b><source srcset=a.jpg></picture>")
        << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("template content is not walked, what follows is")
        << QByteArray(
               "<template><img src=t.jpg><template></template><img src=u.jpg></template><img src=a.jpg>")
        << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("source counts only inside picture")
        << QByteArray("<source srcset=out.jpg><picture><source srcset='p1.jpg 100w, p2.jpg 200w' "
                      "data-srcset=p3.jpg><img src=p4.jpg></picture><video><source srcset=v.jpg></video>")
        << urls({"http://h.test/dir/p1.jpg", "http://h.test/dir/p2.jpg", "http://h.test/dir/p3.jpg",
                 "http://h.test/dir/p4.jpg"});
    QTest::newRow("icons, preloads, og:image, itemprop, input image, poster")
        << QByteArray(
               "<link rel='shortcut ICON' href=/favicon><link rel=stylesheet href=s.css>"
               "<link rel=preload as=IMAGE href=p.jpg imagesrcset='q.jpg 2x'><link rel=preload as=font "
               "href=font.gif><meta property=OG:IMAGE content=og.jpg><meta name=twitter:image "
               "content=tw.jpg><meta itemprop='logo image' content=ip.jpg><meta name=description "
               "content=d.jpg><input type=IMAGE src=in.gif><input src=no.gif><video poster=v.jpg>")
        << urls({"http://h.test/favicon", "http://h.test/dir/p.jpg", "http://h.test/dir/q.jpg",
                 "http://h.test/dir/og.jpg", "http://h.test/dir/tw.jpg", "http://h.test/dir/ip.jpg",
                 "http://h.test/dir/in.gif", "http://h.test/dir/v.jpg"});
    QTest::newRow("a and area links need a filtered extension")
        << QByteArray("<a href=big.jpg>x</a><a href=page.html></a><area href=map.gif><a href=noext>")
        << urls({"http://h.test/dir/big.jpg", "http://h.test/dir/map.gif"});
    QTest::newRow("style attributes and style sheets, at their place")
        << QByteArray(
               "<div style=\"background:url('bg.jpg')\" data-x=1><img src=a.jpg style='x:1'></div>"
               "<style>@media screen { .a { background-image: url(m.jpg) } } .b{background:url(\"s.jpg\")}"
               "</style><img src=z.jpg>")
        << urls({"http://h.test/dir/bg.jpg", "http://h.test/dir/a.jpg", "http://h.test/dir/m.jpg",
                 "http://h.test/dir/s.jpg", "http://h.test/dir/z.jpg"});
    QTest::newRow("a style element of another type has no sheet")
        << QByteArray("<style type=text/less>.a{background:url(l.jpg)}</style><style type=TEXT/CSS>"
                      ".b{background:url(c.jpg)}</style>")
        << urls({"http://h.test/dir/c.jpg"});
    QTest::newRow("an SVG style element has a sheet")
        << QByteArray("<svg><style>.a{background-image:url(g.gif)}</style></svg>")
        << urls({"http://h.test/dir/g.gif"});
    QTest::newRow("an unclosed style element still has its sheet")
        << QByteArray("<style>.a{background:url(end.jpg)}") << urls({"http://h.test/dir/end.jpg"});
    QTest::newRow("each URL once, at its first place; empty, fragment and other schemes dropped")
        << QByteArray("<img src=a.jpg><img src=' a.jpg '><img src='  '><img src='#top'><img "
                      "src='javascript:x()'><img src='data:image/gif;base64,R0'><img src=mailto:a@b><img "
                      "src=https://s.test/b.gif><img srcset='a.jpg, b.gif'>")
        << urls({"http://h.test/dir/a.jpg", "https://s.test/b.gif", "http://h.test/dir/b.gif"});
    QTest::newRow("a repeated attribute keeps its first value")
        << QByteArray("<img src=first.jpg src=second.jpg>") << urls({"http://h.test/dir/first.jpg"});
    QTest::newRow("a pipe in the path is escaped as the browser escapes it")
        << QByteArray("<img src='/a|b/c.jpg?q=|'>") << urls({"http://h.test/a%7Cb/c.jpg?q=|"});
    QTest::newRow("a tag cut off by the end of the page is dropped")
        << QByteArray("<img src=a.jpg><img src=b.jpg") << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("an unterminated comment hides the rest")
        << QByteArray("<img src=a.jpg><!-- <img src=b.jpg>") << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("NUL bytes in a value become U+FFFD")
        << QByteArray("<img src='a\0b.jpg'>", 19) << urls({"http://h.test/dir/a%EF%BF%BDb.jpg"});
    QTest::newRow("invalid numeric references")
        << QByteArray("<img src='a&#0;&#x110000;&#xD800;&#x80;.jpg'>")
        << urls({"http://h.test/dir/a%EF%BF%BD%EF%BF%BD%EF%BF%BD%E2%82%AC.jpg"});
}

void TestBrowserListing::contexts() {
    QFETCH(QByteArray, markup);
    QFETCH(QStringList, expected);
    QCOMPARE(listed(markup), expected);
}

void TestBrowserListing::filterRule_data() {
    QTest::addColumn<QByteArray>("href");
    QTest::addColumn<bool>("image");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("passes");
    QTest::newRow("image of a filtered type") << QByteArray("http://h/a.JPG") << true << "JPG,GIF" << true;
    QTest::newRow("image of a known type not in the filter")
        << QByteArray("http://h/a.png") << true << "JPG,GIF" << false;
    QTest::newRow("image without extension") << QByteArray("http://h/img/123") << true << "JPG" << true;
    QTest::newRow("image of an unknown type")
        << QByteArray("http://h/a.php?x=1.png") << true << "JPG" << true;
    QTest::newRow("the query is not part of the extension")
        << QByteArray("http://h/a.png?x.jpg") << true << "JPG" << false;
    QTest::newRow("the fragment is not part of the extension")
        << QByteArray("http://h/a.png#x.jpg") << true << "JPG" << false;
    QTest::newRow("a dot in the host is no extension")
        << QByteArray("http://h.png/") << true << "JPG" << true;
    QTest::newRow("only the last segment counts") << QByteArray("http://h/x.png/y") << true << "JPG" << true;
    QTest::newRow("a trailing dot is an empty extension")
        << QByteArray("http://h/a.") << true << "JPG" << true;
    QTest::newRow("link of a filtered type") << QByteArray("http://h/a.gif") << false << "JPG,GIF" << true;
    QTest::newRow("link without extension") << QByteArray("http://h/page") << false << "JPG,GIF" << false;
    QTest::newRow("link of an unknown type")
        << QByteArray("http://h/page.html") << false << "JPG,GIF" << false;
    QTest::newRow("a custom entry is matched as cut")
        << QByteArray("http://h/a.tar") << false << "JPG,tar" << true;
    QTest::newRow("an entry with a space does not match")
        << QByteArray("http://h/a.gif") << false << "JPG, GIF" << false;
    QTest::newRow("case of known types is ignored")
        << QByteArray("http://h/a.WebP") << true << "JPG" << false;
}

void TestBrowserListing::filterRule() {
    QFETCH(QByteArray, href);
    QFETCH(bool, image);
    QFETCH(QString, filter);
    QFETCH(bool, passes);
    QCOMPARE(passesBrowserFilter(href, image ? ReferenceContext::Image : ReferenceContext::Link,
                                 cutFilterText(filter)),
             passes);
}

void TestBrowserListing::hostilePages_data() {
    QTest::addColumn<QByteArray>("markup");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QStringList>("expected");
    QByteArray manyTags;
    for (int i = 0; i < 1000000; ++i)
        manyTags += "<b>";
    manyTags += "<img src=end.jpg>";
    QTest::newRow("a million tags") << manyTags << QByteArray("text/html")
                                    << urls({"http://h.test/dir/end.jpg"});
    QByteArray deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<div><span>";
    deep += "<picture><source srcset=deep.jpg></picture>";
    for (int i = 0; i < 200000; ++i)
        deep += "</i></span></div>";
    deep += "<img src=after.jpg>";
    QTest::newRow("deep nesting and unmatched end tags")
        << deep << QByteArray("text/html") << urls({"http://h.test/dir/after.jpg"});
    QTest::newRow("a 300 KB attribute value")
        << ("<img alt='" + QByteArray(300000, 'x') + "' src=a.jpg><img src='" + QByteArray(300000, 'y') +
            ".jpg'>")
        << QByteArray("text/html")
        << QStringList{QStringLiteral("http://h.test/dir/a.jpg"),
                       QStringLiteral("http://h.test/dir/") + QString(300000, u'y') + QStringLiteral(".jpg")};
    QTest::newRow("an endless script")
        << ("<img src=a.jpg><script>" + QByteArray(2000000, '<') + "<img src=b.jpg>")
        << QByteArray("text/html") << urls({"http://h.test/dir/a.jpg"});
    QTest::newRow("a page of ampersands")
        << ("<img src='" + QByteArray(200000, '&') + "'>") << QByteArray("text/html")
        << QStringList{QStringLiteral("http://h.test/dir/") + QString(200000, u'&')};
    QTest::newRow("long names that are almost references")
        << ("<img src='" + QByteArray("&CounterClockwiseContourIntegralX").repeated(5000) + "'>")
        << QByteArray("text/html")
        << QStringList{QStringLiteral("http://h.test/dir/") + QStringLiteral("%E2%88%B3X").repeated(0) +
                       QString::fromUtf8("&CounterClockwiseContourIntegralX").repeated(5000)};
    QTest::newRow("UTF-16 with a BOM")
        << QByteArray("\xFF\xFE<\0i\0m\0g\0 \0s\0r\0c\0=\0\xE9\0.\0g\0i\0f\0>\0", 32)
        << QByteArray("text/html") << urls({"http://h.test/dir/%C3%A9.gif"});
    QTest::newRow("a windows-1252 page by its meta")
        << QByteArray("<meta charset=latin1><img src='\xE9\x80.gif'>") << QByteArray("text/html")
        << urls({"http://h.test/dir/%C3%A9%E2%82%AC.gif"});
    QTest::newRow("an unknown charset label is ignored: UTF-8")
        << QByteArray("<img src='\xC3\xA9.gif'>") << QByteArray("text/html; charset=no-such-thing")
        << urls({"http://h.test/dir/%C3%A9.gif"});
    QTest::newRow("broken UTF-8") << QByteArray("<img src='\xC3.gif'>") << QByteArray("text/html")
                                  << urls({"http://h.test/dir/%EF%BF%BD.gif"});
    QTest::newRow("an empty page") << QByteArray() << QByteArray() << QStringList();
    QTest::newRow("only a less-than sign") << QByteArray("<") << QByteArray() << QStringList();
}

void TestBrowserListing::hostilePages() {
    QFETCH(QByteArray, markup);
    QFETCH(QByteArray, contentType);
    QFETCH(QStringList, expected);
    QCOMPARE(listed(markup, QStringLiteral("JPG,GIF"), contentType), expected);
}

void TestBrowserListing::capOfTheList() {
    // Past 32,767 entries nothing more is listed, the rest of the page is passed over.
    QByteArray markup;
    for (int i = 0; i < 40000; ++i)
        markup += "<img src=" + QByteArray::number(i) + ".jpg>";
    const QStringList out = listed(markup);
    QCOMPARE(out.size(), 32767);
    QCOMPARE(out.last(), QStringLiteral("http://h.test/dir/32766.jpg"));
}

void TestBrowserListing::pageInPieces_data() {
    QTest::addColumn<QByteArray>("markup");
    QTest::addColumn<QByteArray>("contentType");
    const QByteArray html = "text/html";

    QTest::newRow("a base after the images counts for them")
        << QByteArray("<img src=a.jpg><img srcset='b.gif 1x'><base href='/other/'><img src=c.jpg>") << html;
    QTest::newRow("only the first base counts")
        << QByteArray("<base target=x><img src=a.jpg><base href=//cdn.test/x/><base href=/y/><img src=b.jpg>")
        << html;
    QTest::newRow("a javascript: base leaves the page's address")
        << QByteArray("<img src=a.jpg><base href='javascript:void(0)'><img src=b.jpg>") << html;
    QTest::newRow("no base at all") << QByteArray("<p><img src=a.jpg><a href=b.GIF>b</a><img src=a.jpg>")
                                    << html;
    QTest::newRow("a tag name, an attribute value and a reference cut anywhere")
        << QByteArray("<IMG data-src='x&amp;y.jpg' src=\"&#x61;&#98;&lt.gif\" alt=&copy>") << html;
    QTest::newRow("comments, scripts and text that look like images")
        << QByteArray("<!-- <img src=c.jpg> --><script>var s='<img src=s.jpg>';</script>"
                      "<textarea><img src=t.jpg></textarea><img src=real.jpg>")
        << html;
    QTest::newRow("a style sheet and a style attribute")
        << QByteArray("<style>p{background:url('bg.gif')} /* url(no.jpg) */</style>"
                      "<div style='background-image:url(d.jpg)'></div>")
        << html;
    QTest::newRow("foreign content with CDATA")
        << QByteArray("<svg><![CDATA[<img src=no.jpg>]]><image href=svg.gif /></svg><img src=after.jpg>")
        << html;
    QTest::newRow("a template is passed over")
        << QByteArray("<template><img src=t.jpg></template><img src=u.jpg>") << html;
    QTest::newRow("CR LF pairs cut between CR and LF")
        << QByteArray("<img\r\nsrc=\"a\r\n.jpg\"\r\n><img src=b.jpg\r>") << html;
    QTest::newRow("UTF-8 sequences in values")
        << QByteArray("<img src='\xC3\xA9t\xC3\xA9.jpg'><img src='\xF0\x9F\x98\x80.gif'><img src='\xC3.gif'>")
        << html;
    QTest::newRow("a UTF-16 page") << QByteArray("\xFF\xFE<\0i\0m\0g\0 \0s\0r\0c\0=\0\xE9\0.\0g\0i\0f\0>\0",
                                                 32)
                                   << html;
    QTest::newRow("a meta charset the pieces cut")
        << QByteArray("<meta charset=windows-1252><img src='caf\xE9.jpg'>")
               .append(QByteArray(1100, ' '))
               .append("<img src='\x80.gif'>")
        << html;
    QTest::newRow("a charset from the header")
        << QByteArray("<img src='caf\xE9.jpg'>") << QByteArray("text/html; charset=iso-8859-1");
}

void TestBrowserListing::pageInPieces() {
    QFETCH(QByteArray, markup);
    QFETCH(QByteArray, contentType);
    const QStringList whole = listed(markup, QStringLiteral("JPG,GIF"), contentType);
    QVERIFY(!whole.isEmpty());
    for (qsizetype cut = 0; cut <= markup.size(); ++cut)
        QVERIFY2(listedInPieces(markup, {cut}, contentType) == whole,
                 qPrintable(QStringLiteral("cut after %1 bytes").arg(cut)));
    QList<qsizetype> everyByte;
    for (qsizetype cut = 0; cut <= markup.size(); ++cut)
        everyByte << cut;
    QCOMPARE(listedInPieces(markup, everyByte, contentType), whole);
}

void TestBrowserListing::fullListInPieces_data() {
    QTest::addColumn<QByteArray>("markup");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("last");
    QByteArray images;
    for (int i = 0; i < 40000; ++i)
        images += "<img src=" + QByteArray::number(i) + ".jpg>";
    QTest::newRow("no base: the first 32,767 images") << images << QStringLiteral("http://h.test/dir/0.jpg")
                                                      << QStringLiteral("http://h.test/dir/32766.jpg");
    QTest::newRow("a base once the list is full still counts for every image")
        << images + "<base href=/b/>" << QStringLiteral("http://h.test/b/0.jpg")
        << QStringLiteral("http://h.test/b/32766.jpg");
    QTest::newRow("a base in a comment once the list is full counts for nothing")
        << images + "<!-- <base href=/b/> -->" << QStringLiteral("http://h.test/dir/0.jpg")
        << QStringLiteral("http://h.test/dir/32766.jpg");
    QTest::newRow("two links that only the later base makes one are listed once")
        << QByteArray("<img src=/x/0.jpg>") + images + "<base href=/x/>"
        << QStringLiteral("http://h.test/x/0.jpg") << QStringLiteral("http://h.test/x/32766.jpg");
}

void TestBrowserListing::fullListInPieces() {
    QFETCH(QByteArray, markup);
    QFETCH(QString, first);
    QFETCH(QString, last);
    const QStringList whole = listed(markup);
    QCOMPARE(whole.size(), 32767);
    QCOMPARE(whole.first(), first);
    QCOMPARE(whole.last(), last);
    QRandomGenerator random(7);
    QList<qsizetype> cuts;
    for (qsizetype at = 0; at < markup.size(); at += 1 + random.bounded(20000))
        cuts << at;
    QCOMPARE(listedInPieces(markup, cuts), whole);
}

void TestBrowserListing::realPagesInPieces_data() {
    QTest::addColumn<QString>("path");
    const QString archive = QStringLiteral(VARNOLUX_SOURCE_DIR "/../shared/realpages/pages.tar.xz");
    if (!QFile::exists(archive) || !m_realPages.isValid()) {
        QTest::newRow("absent") << QString();
        return;
    }
    QProcess tar;
    tar.start(QStringLiteral("tar"),
              {QStringLiteral("-xJf"), archive, QStringLiteral("-C"), m_realPages.path()});
    QVERIFY(tar.waitForFinished(60000) && tar.exitCode() == 0);
    const QStringList names =
        QDir(m_realPages.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names)
        QTest::newRow(name.toUtf8().constData())
            << m_realPages.filePath(name + QStringLiteral("/index.html"));
}

void TestBrowserListing::realPagesInPieces() {
    QFETCH(QString, path);
    if (path.isEmpty())
        QSKIP("../shared/realpages is absent: the real pages were not read in pieces");
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray markup = file.readAll();
    const QByteArray url = "http://127.0.0.1/" + QFileInfo(path).dir().dirName().toUtf8() + "/index.html";
    const QStringList whole = listed(markup, QStringLiteral("JPG,GIF"), "text/html", url);
    // Pieces as a network gives them: of any size from a byte to a few dozen kilobytes.
    QRandomGenerator random(quint32(qHash(path)));
#ifdef VARNOLUX_SANITIZED
    const int firstRound = 1;
#else
    const int firstRound = 0;
#endif
    for (int round = firstRound; round < 3; ++round) {
        QList<qsizetype> cuts;
        for (qsizetype at = random.bounded(64); at < markup.size();
             at += 1 + random.bounded(round == 0 ? 64 : 40000))
            cuts << at;
        QCOMPARE(listedInPieces(markup, cuts, "text/html", url), whole);
    }
}

void TestBrowserListing::factsOfAPage_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<bool>("classic");
    QTest::addColumn<QByteArray>("title");
    QTest::addColumn<QStringList>("alts"); // link=alt, sorted

    QTest::newRow("the first title counts")
        << QByteArray("<title>one</title><title>two</title>") << false << QByteArray("one") << QStringList{};
    QTest::newRow("a title in a template is no title")
        << QByteArray("<template><title>t</title></template><title>real</title>") << false
        << QByteArray("real") << QStringList{};
    QTest::newRow("a title in the body counts")
        << QByteArray("<body><p>text<title>late</title>") << false << QByteArray("late") << QStringList{};
    QTest::newRow("a title never closed runs to the end") << QByteArray("<title>open <b>not a tag") << false
                                                          << QByteArray("open <b>not a tag") << QStringList{};
    QTest::newRow("a title of 100,000 bytes is kept to 64 KiB")
        << "<title>" + QByteArray(100000, 'a') + "</title>" << false << QByteArray(64 * 1024, 'a')
        << QStringList{};
    QTest::newRow("a legacy encoding is decoded")
        << QByteArray("<meta charset=windows-1252><title>caf\xE9</title>") << false
        << QByteArray("caf\xC3\xA9") << QStringList{};
    QTest::newRow("an img's srcset carries its alt, its style's url() does not")
        << QByteArray("<img src=a.jpg srcset=\"b.jpg 2x\" alt=\"x\" style=\"background:url(c.jpg)\">")
        << false << QByteArray() << QStringList{u"http://h/d/a.jpg=x"_s, u"http://h/d/b.jpg=x"_s};
    QTest::newRow("an <image> is an img, an image input is not")
        << QByteArray("<image src=a.jpg alt=i><input type=image src=b.jpg alt=b>") << false << QByteArray()
        << QStringList{u"http://h/d/a.jpg=i"_s};
    QTest::newRow("an img without alt gives an empty one, and is the first")
        << QByteArray("<img src=a.jpg><img src=a.jpg alt=late>") << false << QByteArray()
        << QStringList{u"http://h/d/a.jpg="_s};
    QTest::newRow("an SVG image is no img")
        << QByteArray("<svg><image href=a.jpg alt=s /></svg>") << false << QByteArray() << QStringList{};
    QTest::newRow("classic: the value as written behind the page's folder")
        << QByteArray("<img src=\"/i/a.jpg\" alt=\"c\"><img src=\"http://o/b.jpg\" alt=\"o\">") << true
        << QByteArray() << QStringList{u"http://h/d/i/a.jpg=c"_s, u"http://o/b.jpg=o"_s};
}

void TestBrowserListing::factsOfAPage() {
    QFETCH(QByteArray, page);
    QFETCH(bool, classic);
    QFETCH(QByteArray, title);
    QFETCH(QStringList, alts);
    const PageFacts facts = readPageFacts(page, "text/html", {"http://h/d/page.html", classic, "http://h/d"});
    QCOMPARE(facts.title, title);
    QStringList got;
    for (auto it = facts.alts.cbegin(); it != facts.alts.cend(); ++it)
        got << QString::fromUtf8(it.key() + '=' + it.value());
    got.sort();
    QCOMPARE(got, alts);
}

QTEST_GUILESS_MAIN(TestBrowserListing)
#include "tst_browserlisting.moc"
