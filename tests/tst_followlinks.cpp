#include "core/MemoryImageList.h"
#include "discovery/BrowserListing.h"
#include "discovery/FollowLinks.h"
#include "discovery/ListingJob.h"
#include "net/RunSetup.h"
#include "support/ScriptedTransfers.h"

#include <QEventLoop>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QByteArray page = "http://h.test/dir/page.html";

QStringList texts(const MemoryImageList& list) {
    QStringList out;
    for (int i = 1; i <= list.count(); ++i)
        out << QString::fromUtf8(list.text(i));
    return out;
}

// The page listed whole, keeping only the largest size of each picture.
QStringList largest(const QByteArray& markup, const QString& filterText) {
    MemoryImageList list;
    const ImageTypeFilter filter = cutFilterText(filterText);
    BrowserListing listing(list, filter);
    listing.setYield([] {});
    listing.setLargestOnly(true);
    listing.run(markup, page, "text/html");
    return texts(list);
}

// The same page as it arrives, a few bytes at a time.
QStringList largestInPieces(const QByteArray& markup, const QString& filterText) {
    MemoryImageList list;
    const ImageTypeFilter filter = cutFilterText(filterText);
    BrowserListing listing(list, filter);
    listing.setYield([] {});
    listing.setLargestOnly(true);
    listing.begin(page, "text/html");
    for (qsizetype cut = 7; cut < markup.size(); cut += 7) {
        QByteArray soFar = markup.first(cut);
        soFar.detach();
        listing.feed(soFar, false);
    }
    listing.feed(markup, true);
    return texts(list);
}

QStringList urls(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* u : list)
        out << QString::fromUtf8(u);
    return out;
}

QList<QByteArray> bytesList(std::initializer_list<const char*> list) {
    QList<QByteArray> out;
    for (const char* u : list)
        out << QByteArray(u);
    return out;
}

using Element = BrowserListing::RenderedElement;

Element element(const char* name, QList<std::pair<const char*, const char*>> attributes,
                qsizetype parent = -1,
                MarkupWalker::DomElement::Space space = MarkupWalker::DomElement::Space::Html) {
    Element e;
    e.element.name = name;
    e.element.space = space;
    for (const auto& [n, v] : attributes)
        e.element.attributes.append(MarkupWalker::DomAttribute{n, v});
    e.baseUrl = page;
    e.parent = parent;
    return e;
}

} // namespace

class TestFollowLinks : public QObject {
    Q_OBJECT

private slots:
    void largestSizes_data();
    void largestSizes();
    void largestSizesOfABuiltTree();
    void linksToFollow_data();
    void linksToFollow();
    void thumbnailsOfABuiltTree();
    void targets_data();
    void targets();
    void followHosts_data();
    void followHosts();
    void followerKeepsToParallelAndLinkOrder_data();
    void followerKeepsToParallelAndLinkOrder();
    void followerReadsOnlyPages_data();
    void followerReadsOnlyPages();
};

void TestFollowLinks::largestSizes_data() {
    QTest::addColumn<QByteArray>("markup");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("a picture with five sizes keeps its widest source")
        << QByteArray("<picture><source srcset='a-320.jpg 320w, a-640.jpg 640w' media='(max-width:600px)'>"
                      "<source srcset='a-1280.jpg 1280w, a-1920.jpg 1920w'><img src=a.jpg></picture>")
        << QStringLiteral("JPG") << urls({"http://h.test/dir/a-1920.jpg"});
    QTest::newRow("w descriptors win over x and src whatever their numbers")
        << QByteArray("<img src=s.jpg srcset='x.jpg 3x, w.jpg 200w'>") << QStringLiteral("JPG")
        << urls({"http://h.test/dir/w.jpg"});
    QTest::newRow("x descriptors: the greatest density; src counts as 1x")
        << QByteArray("<img src=one.jpg srcset='half.jpg 0.5x, two.jpg 2x, onehalf.jpg 1.5x'>")
        << QStringLiteral("JPG") << urls({"http://h.test/dir/two.jpg"});
    QTest::newRow("of equal sizes the first in markup order wins")
        << QByteArray("<img data-src=lazy.jpg src=src.jpg srcset='same.jpg 1x'>") << QStringLiteral("JPG")
        << urls({"http://h.test/dir/lazy.jpg"});
    QTest::newRow("only candidates the filter passes compete")
        << QByteArray("<img src=small.gif srcset='big.png 2000w, mid.gif 800w'>") << QStringLiteral("GIF")
        << urls({"http://h.test/dir/mid.gif"});
    QTest::newRow("lazy srcset attributes join the img's group")
        << QByteArray(
               "<img src=ph.gif data-srcset='l-1.jpg 100w, l-2.jpg 900w' data-lazy-srcset='z.jpg 500w'>")
        << QStringLiteral("JPG,GIF") << urls({"http://h.test/dir/l-2.jpg"});
    QTest::newRow("the kept candidate stands at its own place among other references")
        << QByteArray("<img src=before.gif><picture><source srcset='p-big.jpg 2x'><img src=p.jpg "
                      "style='background:url(bg.gif)'></picture><img src=after.gif>")
        << QStringLiteral("JPG,GIF")
        << urls({"http://h.test/dir/before.gif", "http://h.test/dir/p-big.jpg", "http://h.test/dir/bg.gif",
                 "http://h.test/dir/after.gif"});
    QTest::newRow("two pictures are two groups, an img outside them a group of its own")
        << QByteArray("<picture><source srcset='a2.jpg 2x'><img src=a1.jpg></picture>"
                      "<picture><source srcset='b1.jpg'><img src=b2.jpg srcset='b3.jpg 3x'></picture>"
                      "<img src=c1.jpg srcset='c2.jpg 2x'>")
        << QStringLiteral("JPG")
        << urls({"http://h.test/dir/a2.jpg", "http://h.test/dir/b3.jpg", "http://h.test/dir/c2.jpg"});
    QTest::newRow("a picture the page never closes ends with the page")
        << QByteArray("<picture><source srcset='u1.jpg 1x, u2.jpg 2x'><img src=u.jpg>")
        << QStringLiteral("JPG") << urls({"http://h.test/dir/u2.jpg"});
    QTest::newRow("a later base resolves the group's candidates")
        << QByteArray("<img src=a.jpg srcset='b.jpg 2x'><base href=http://other.test/>")
        << QStringLiteral("JPG") << urls({"http://other.test/b.jpg"});
    QTest::newRow("a size already listed is not listed twice")
        << QByteArray("<img src=big.jpg><img src=small.jpg srcset='big.jpg 2x'>") << QStringLiteral("JPG")
        << urls({"http://h.test/dir/big.jpg"});
    QTest::newRow("links, icons and CSS images are no sizes of a picture")
        << QByteArray("<link rel=icon href=i.png><a href=x.jpg>x</a><div style='background:url(d.jpg)'></div>"
                      "<img src=e.jpg srcset='f.jpg 2x'>")
        << QStringLiteral("JPG,PNG")
        << urls({"http://h.test/dir/i.png", "http://h.test/dir/x.jpg", "http://h.test/dir/d.jpg",
                 "http://h.test/dir/f.jpg"});
}

void TestFollowLinks::largestSizes() {
    QFETCH(QByteArray, markup);
    QFETCH(QString, filter);
    QFETCH(QStringList, expected);
    QCOMPARE(largest(markup, filter), expected);
    QCOMPARE(largestInPieces(markup, filter), expected);
}

void TestFollowLinks::largestSizesOfABuiltTree() {
    // picture(0) > source(1), img(2); then a lone img(3) and a div(4) after the picture.
    const QList<Element> tree{
        element("picture", {}),
        element("source", {{"srcset", "r-1.jpg 300w, r-2.jpg 900w"}}, 0),
        element("img", {{"src", "r.jpg"}}, 0),
        element("img", {{"src", "s1.jpg"}, {"srcset", "s2.jpg 2x"}}),
        element("div", {{"style", "background:url(d.jpg)"}}),
    };
    QList<Element> withPicture = tree;
    withPicture[1].element.inPicture = true;
    withPicture[2].element.inPicture = true;
    MemoryImageList list;
    const ImageTypeFilter filter = cutFilterText(QStringLiteral("JPG"));
    BrowserListing listing(list, filter);
    listing.setYield([] {});
    listing.setLargestOnly(true);
    listing.runElements(withPicture);
    QCOMPARE(texts(list),
             urls({"http://h.test/dir/r-2.jpg", "http://h.test/dir/s2.jpg", "http://h.test/dir/d.jpg"}));
    // What the browser fetched: the sizes it showed are no entries beside the larger ones listed.
    listing.addImages(
        {"http://h.test/dir/r-1.jpg", "http://h.test/dir/s1.jpg", "http://h.test/dir/late.jpg"});
    QCOMPARE(texts(list), urls({"http://h.test/dir/r-2.jpg", "http://h.test/dir/s2.jpg",
                                "http://h.test/dir/d.jpg", "http://h.test/dir/late.jpg"}));
}

void TestFollowLinks::linksToFollow_data() {
    QTest::addColumn<QByteArray>("markup");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("expected");
    const int thumbnails = int(FollowMode::Thumbnails);
    const int links = int(FollowMode::Links);

    QTest::newRow("thumbnails: links holding an img, picture, image input, SVG image or style url()")
        << QByteArray("<a href=1.html><img src=t.jpg></a><a href=2.html><picture></picture></a>"
                      "<a href=3.html><input type=IMAGE src=b.gif></a><a href=4.html><svg><image href=s.png/>"
                      "</svg></a><a href=5.html><span style='background-image:url(bg.png)'></span></a>"
                      "<a href=6.html><div><p><img></p></div></a>")
        << thumbnails
        << urls({"http://h.test/dir/1.html", "http://h.test/dir/2.html", "http://h.test/dir/3.html",
                 "http://h.test/dir/4.html", "http://h.test/dir/5.html", "http://h.test/dir/6.html"});
    QTest::newRow("thumbnails: text links, a style url on the link itself and areas are not thumbnails")
        << QByteArray("<a href=text.html>Next</a><a href=self.html style='background:url(x.png)'>x</a>"
                      "<map><area href=area.html></map><a href=t.html><img></a><img src=after.jpg>")
        << thumbnails << urls({"http://h.test/dir/t.html"});
    QTest::newRow("links: every a and area link, in link order")
        << QByteArray("<a href=a.html>A</a><map><area href=/b.html></map><a href=c.html><img></a>") << links
        << urls({"http://h.test/dir/a.html", "http://h.test/b.html", "http://h.test/dir/c.html"});
    QTest::newRow("a link the filter lists itself is listed, not followed")
        << QByteArray("<a href=full.jpg><img src=t.jpg></a><a href=page.php?id=1><img src=t2.jpg></a>")
        << thumbnails << urls({"http://h.test/dir/page.php?id=1"});
    QTest::newRow("javascript:, mailto: and fragment-only links are no targets; fragments go")
        << QByteArray("<a href='javascript:show(1)'><img></a><a href='mailto:a@b.test'><img></a>"
                      "<a href='#top'><img></a><a href=''><img></a><a href='p.html#photo'><img></a>")
        << thumbnails << urls({"http://h.test/dir/p.html"});
    QTest::newRow("the first base resolves the links, wherever it stands")
        << QByteArray("<a href=x.html><img></a><base href=http://b.test/g/>") << thumbnails
        << urls({"http://b.test/g/x.html"});
    QTest::newRow("links inside a template or a comment do not count")
        << QByteArray("<template><a href=t.html><img></a></template><!-- <a href=c.html><img></a> -->")
        << thumbnails << QStringList();
    QTest::newRow("duplicates stay for the targets to drop")
        << QByteArray("<a href=d.html><img></a><a href=d.html#2><img></a>") << thumbnails
        << urls({"http://h.test/dir/d.html", "http://h.test/dir/d.html"});
}

void TestFollowLinks::linksToFollow() {
    QFETCH(QByteArray, markup);
    QFETCH(int, mode);
    QFETCH(QStringList, expected);
    const ImageTypeFilter filter = cutFilterText(QStringLiteral("JPG,GIF"));
    QStringList found;
    for (const QByteArray& link : followLinksOfPage(markup, page, "text/html", FollowMode(mode), filter))
        found << QString::fromUtf8(link);
    QCOMPARE(found, expected);
}

void TestFollowLinks::thumbnailsOfABuiltTree() {
    // a(0) > div(1) > img(2); a(3) text only; a(4) > span with a style url(5); area(6).
    const QList<Element> tree{
        element("a", {{"href", "one.html#x"}}),   element("div", {}, 0),
        element("img", {{"src", "t.jpg"}}, 1),    element("a", {{"href", "text.html"}}),
        element("a", {{"href", "/two.html"}}),    element("span", {{"style", "background:url(s.png)"}}, 4),
        element("area", {{"href", "area.html"}}),
    };
    const ImageTypeFilter filter = cutFilterText(QStringLiteral("JPG,GIF"));
    QCOMPARE(followLinksOfElements(tree, FollowMode::Thumbnails, filter),
             bytesList({"http://h.test/dir/one.html", "http://h.test/two.html"}));
    QCOMPARE(followLinksOfElements(tree, FollowMode::Links, filter),
             bytesList({"http://h.test/dir/one.html", "http://h.test/dir/text.html", "http://h.test/two.html",
                        "http://h.test/dir/area.html"}));
}

void TestFollowLinks::targets_data() {
    QTest::addColumn<QList<QByteArray>>("links");
    QTest::addColumn<QString>("hosts");
    QTest::addColumn<int>("max");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("the page itself and repeats are asked for once at most")
        << bytesList({"http://h.test/dir/page.html", "http://h.test/a.html", "http://h.test/a.html"})
        << QString() << 200 << bytesList({"http://h.test/a.html"});
    QTest::newRow("the page's own host, whatever the scheme and port; others only when named")
        << bytesList({"https://h.test:8443/s.html", "http://other.test/o.html", "http://H.TEST/u.html"})
        << QString() << 200 << bytesList({"https://h.test:8443/s.html", "http://H.TEST/u.html"});
    QTest::newRow("--follow-hosts adds hosts, letter case ignored")
        << bytesList({"http://other.test/o.html", "http://third.test/t.html", "http://127.0.0.2/i.html"})
        << QStringLiteral("OTHER.test,127.0.0.2") << 200
        << bytesList({"http://other.test/o.html", "http://127.0.0.2/i.html"});
    QTest::newRow("any allows every host") << bytesList({"http://other.test/o.html"}) << QStringLiteral("any")
                                           << 200 << bytesList({"http://other.test/o.html"});
    QTest::newRow("the first N after the host rule and the repeats")
        << bytesList({"http://x.test/1.html", "http://h.test/1.html", "http://h.test/1.html",
                      "http://h.test/2.html", "http://h.test/3.html"})
        << QString() << 2 << bytesList({"http://h.test/1.html", "http://h.test/2.html"});
}

void TestFollowLinks::targets() {
    QFETCH(QList<QByteArray>, links);
    QFETCH(QString, hosts);
    QFETCH(int, max);
    QFETCH(QList<QByteArray>, expected);
    FollowOptions options;
    options.mode = FollowMode::Links;
    options.max = max;
    if (!hosts.isEmpty()) {
        options.hosts = parseFollowHosts(hosts).value();
        options.anyHost = options.hosts.contains("any");
    }
    QCOMPARE(followTargets(links, page, options), expected);
}

void TestFollowLinks::followHosts_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("good");
    QTest::addColumn<QList<QByteArray>>("hosts");
    QTest::newRow("names and addresses, lower-cased")
        << QStringLiteral("Img.Example.ORG,127.0.0.2") << true << bytesList({"img.example.org", "127.0.0.2"});
    QTest::newRow("an IPv6 address, with or without brackets")
        << QStringLiteral("::1,[::2]") << true << bytesList({"[::1]", "[::2]"});
    QTest::newRow("any") << QStringLiteral("any") << true << bytesList({"any"});
    QTest::newRow("an empty list") << QString() << false << QList<QByteArray>();
    QTest::newRow("an empty entry") << QStringLiteral("a.test,,b.test") << false << QList<QByteArray>();
    QTest::newRow("a scheme") << QStringLiteral("http://a.test") << false << QList<QByteArray>();
    QTest::newRow("a port") << QStringLiteral("a.test:8080") << false << QList<QByteArray>();
    QTest::newRow("a path") << QStringLiteral("a.test/x") << false << QList<QByteArray>();
    QTest::newRow("a space") << QStringLiteral("a.test, b.test") << false << QList<QByteArray>();
}

void TestFollowLinks::followHosts() {
    QFETCH(QString, text);
    QFETCH(bool, good);
    QFETCH(QList<QByteArray>, hosts);
    QString why;
    const std::optional<QList<QByteArray>> parsed = parseFollowHosts(text, &why);
    QCOMPARE(parsed.has_value(), good);
    if (good)
        QCOMPARE(*parsed, hosts);
    else
        QVERIFY(!why.isEmpty());
}

namespace {

// What a follower handed on, in order: "target: link link" or "target! reason".
struct Followed {
    QStringList told;
    std::optional<net::Result> ended;
    QList<std::pair<int, int>> progress;
};

Followed followToEnd(ScriptedTransfers& loop, const net::RunOptions& options,
                     const QList<QByteArray>& targets) {
    const net::RunSetup setup(loop, options);
    FollowOptions follow;
    follow.mode = FollowMode::Thumbnails;
    Followed out;
    QEventLoop wait;
    LinkFollower::Hooks hooks;
    hooks.read = [](const FollowedPage& page) { return QList<QByteArray>{page.body}; };
    hooks.listed = [&](const FollowedPage& page, const QList<QByteArray>& links) {
        out.told << QString::fromUtf8(page.target + ": " + links.join(' '));
    };
    hooks.failed = [&](const QByteArray& target, const net::Result& why) {
        out.told << QString::fromUtf8(target) + u"! "_s + net::reasonText(why);
    };
    hooks.progress = [&](int done, int total) { out.progress << std::pair{done, total}; };
    hooks.ended = [&](const net::Result& result) {
        out.ended = result;
        wait.quit();
    };
    LinkFollower follower(setup, follow, std::move(hooks));
    follower.start(targets, "http://h.test/gallery/");
    if (!out.ended)
        wait.exec();
    return out;
}

ScriptedTransfers::Script htmlPage(const QByteArray& body, int delayMs = 0,
                                   const QByteArray& type = "text/html") {
    ScriptedTransfers::Script script;
    script.headers = {{"Content-Type", type}};
    script.body = body;
    script.delayMs = delayMs;
    return script;
}

} // namespace

void TestFollowLinks::followerKeepsToParallelAndLinkOrder_data() {
    QTest::addColumn<int>("parallel");
    QTest::newRow("one at a time by default") << 1;
    QTest::newRow("--parallel 3") << 3;
    QTest::newRow("--parallel 16, more than there are pages") << 16;
}

void TestFollowLinks::followerKeepsToParallelAndLinkOrder() {
    QFETCH(int, parallel);
    ScriptedTransfers loop;
    QList<QByteArray> targets;
    QStringList expected;
    for (int i = 0; i < 8; ++i) {
        const QByteArray target = "http://h.test/p" + QByteArray::number(i) + ".html";
        targets << target;
        // The first pages answer last.
        loop.script(target, {htmlPage("full" + QByteArray::number(i), (8 - i) * 15)});
        expected << QString::fromUtf8(target + ": full" + QByteArray::number(i));
    }
    net::RunOptions options;
    options.parallel = parallel;
    const Followed followed = followToEnd(loop, options, targets);
    QVERIFY(followed.ended && followed.ended->ok());
    QCOMPARE(followed.told, expected);
    QCOMPARE(loop.mostInFlight, qMin(parallel, 8));
    QCOMPARE(followed.progress.first(), (std::pair{0, 8}));
    QCOMPARE(followed.progress.last(), (std::pair{8, 8}));
    for (const net::Request& request : std::as_const(loop.requests)) {
        QCOMPARE(request.referer, QByteArray("http://h.test/gallery/"));
        QCOMPARE(request.maxBodyBytes, FollowOptions::maxPageBytes);
        QVERIFY(!request.identityEncoding);
    }
}

void TestFollowLinks::followerReadsOnlyPages_data() {
    QTest::addColumn<QList<std::pair<QByteArray, QByteArray>>>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("told");
    QTest::addColumn<bool>("cancelledAtHead");
    using Headers = QList<std::pair<QByteArray, QByteArray>>;
    QTest::newRow("HTML with a charset") << Headers{{"Content-Type", "text/html; charset=utf-8"}} << 200
                                         << u"http://h.test/p.html: body"_s << false;
    QTest::newRow("XHTML, letter case ignored") << Headers{{"Content-Type", "Application/XHTML+XML"}} << 200
                                                << u"http://h.test/p.html: body"_s << false;
    QTest::newRow("no type at all is read as a page")
        << Headers{} << 200 << u"http://h.test/p.html: body"_s << false;
    QTest::newRow("an image ends at its headers")
        << Headers{{"Content-Type", "image/jpeg"}} << 200
        << u"http://h.test/p.html! it is not an HTML page (image/jpeg)"_s << true;
    QTest::newRow("a page longer than 16 MiB ends at its headers")
        << Headers{{"Content-Type", "text/html"}, {"Content-Length", "16777217"}} << 200
        << u"http://h.test/p.html! the page is larger than 16777216 bytes, the most a page may hold"_s
        << true;
    QTest::newRow("an error answer adds nothing")
        << Headers{{"Content-Type", "text/html"}} << 404
        << u"http://h.test/p.html! the server answered HTTP 404"_s << false;
}

void TestFollowLinks::followerReadsOnlyPages() {
    using Headers = QList<std::pair<QByteArray, QByteArray>>;
    QFETCH(Headers, headers);
    QFETCH(int, status);
    QFETCH(QString, told);
    QFETCH(bool, cancelledAtHead);
    ScriptedTransfers loop;
    ScriptedTransfers::Script script;
    script.status = status;
    script.headers = headers;
    script.body = "body";
    loop.script("http://h.test/p.html", {script});
    const Followed followed = followToEnd(loop, {}, {"http://h.test/p.html"});
    QVERIFY(followed.ended && followed.ended->ok());
    QCOMPARE(followed.told, QStringList{told});
    QCOMPARE(loop.cancelled.contains("http://h.test/p.html"), cancelledAtHead);
}

QTEST_GUILESS_MAIN(TestFollowLinks)
#include "tst_followlinks.moc"
