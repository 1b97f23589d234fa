#include "web/CssUrls.h"

#include <QTest>

using Urls = QList<QByteArray>;

class TestCssUrls : public QObject {
    Q_OBJECT
private slots:
    void declarations_data();
    void declarations();
    void styleSheet_data();
    void styleSheet();
    void hostileInput_data();
    void hostileInput();
};

void TestCssUrls::declarations_data() {
    QTest::addColumn<QByteArray>("css");
    QTest::addColumn<Urls>("expected");
    auto row = [](const char* name, const QByteArray& css, const Urls& expected) {
        QTest::newRow(name) << css << expected;
    };
    // Tokens: comments, strings, escapes, url tokens.
    row("unquoted, single- and double-quoted", "background-image: url(a.png), url('b.png'), url(\"c.png\")",
        {"a.png", "b.png", "c.png"});
    row("space inside url() around the value", "background: url(  a.png  )", {"a.png"});
    row("comment hides a url", "background: /* url(x.png) */ url(a.png)", {"a.png"});
    row("no comment inside a url token", "background: url(/*x*/a.png)", {"/*x*/a.png"});
    row("hex escape with its space", "background: url(a\\29 .png)", {"a).png"});
    row("escaped quote in a string", "background: url(\"a\\\"b.png\")", {"a\"b.png"});
    row("escaped newline continues a string", "background: url(\"a\\\nb.png\")", {"ab.png"});
    row("escape in the property name", "backgr\\6f und: url(a.png)", {"a.png"});
    row("NUL becomes U+FFFD", QByteArray("background: url(a\0.png)", 23), {"a\xef\xbf\xbd.png"});
    row("escape of zero becomes U+FFFD", "background: url(a\\0.png)", {"a\xef\xbf\xbd.png"});
    row("names ignore case", "BACKGROUND: URL(a.png)", {"a.png"});
    // Bad urls and strings drop the declaration.
    row("space inside a url token", "background: url(a b.png); color: red", {});
    row("quote inside a url token", "background: url(a\"b.png)", {});
    row("bad url remnants end at the parenthesis", "background: url(a b\\).png) ; list-style: url(c.png)",
        {"c.png"});
    row("newline ends a string badly", "background: url(\"a.png\n); list-style-image: url(b.png)", {"b.png"});
    row("unterminated url at the end", "background: url(a.png", {"a.png"});
    row("unterminated string at the end", "background: url(\"a.png", {"a.png"});
    // Unknown properties.
    row("star hack", "*background: url(a.png)", {});
    row("underscore hack", "_background: url(a.png)", {});
    row("unknown vendor property", "-ms-filter: url(a.png); behavior: url(b.htc)", {});
    row("custom property as written", "--hero: url(a.png) junk {", {"a.png"});
    // Values that do not parse for their property.
    row("IE \\9 hack", "background: url(a.png) no-repeat 0 0\\9", {});
    row("unknown keyword", "background: url(a.png) nonsense", {});
    row("colour only in the last layer", "background: red url(a.png), url(b.png)", {});
    row("two images in one layer", "background: url(a.png) url(b.png)", {});
    row("full background shorthand",
        "background: #fff url(a.png) no-repeat scroll right 10px top / 50% auto padding-box", {"a.png"});
    row("list-style shorthand", "list-style: square url(a.png) inside", {"a.png"});
    row("content with strings and counters", "content: url(a.png) \" \" counter(n) attr(title)", {"a.png"});
    row("content with a stray keyword", "content: url(a.png) bold", {});
    row("cursor with a fallback", "cursor: url(a.cur) 4 4, url(b.png), pointer", {"a.cur", "b.png"});
    row("cursor without a fallback", "cursor: url(a.cur)", {});
    row("image-set strings are URLs", "background-image: image-set(\"a.png\" 1x, url(b.png) 2x)",
        {"a.png", "b.png"});
    row("marker sets three longhands", "marker: url(m.svg#x)", {"m.svg#x", "m.svg#x", "m.svg#x"});
    row("mask shorthand", "-webkit-mask: url(m.svg) no-repeat center / contain", {"m.svg"});
    row("border-image shorthand", "border-image: url(b.png) 30 30 round", {"b.png"});
    row("filter list", "filter: url(f.svg#a) blur(2px)", {"f.svg#a"});
    row("var() in a shorthand leaves its longhands empty", "background: var(--x) url(a.png)", {});
    row("var() in a longhand keeps its value", "background-image: var(--x), url(a.png)", {"a.png"});
    // The last valid declaration of a property wins.
    row("later declaration replaces", "background: url(a.png); background: url(b.png)", {"b.png"});
    row("later declaration without image clears", "background: url(a.png); background: red", {});
    row("later invalid declaration is ignored", "background: url(a.png); background: url(b.png) foo",
        {"a.png"});
    row("prefixed gradient that does not exist",
        "background: url(a.png); background: -moz-linear-gradient(top, #fff, #000)", {"a.png"});
    row("standard gradient with a bare side",
        "background: url(a.png); background: linear-gradient(top, #fff, #000)", {"a.png"});
    row("webkit gradient with a bare side replaces",
        "background: url(a.png); background: -webkit-linear-gradient(top, #fff, #000)", {});
    row("shorthand and its longhand share one value", "background: url(a.png); background-image: url(b.png)",
        {"b.png"});
    row("a winner stands where it was declared",
        "background: url(a.png); list-style: url(b.png); background-image: url(c.png)", {"b.png", "c.png"});
    row("important beats a later normal one", "background: url(a.png) !important; background: url(b.png)",
        {"a.png"});
    row("important ones come after the others",
        "background-image: url(a.png) ! important; list-style-image: url(b.png)", {"b.png", "a.png"});
    row("CSS-wide keyword clears", "background: url(a.png); background: inherit", {});
    row("a rule in a style attribute is junk up to the next semicolon",
        "a { background: url(a.png) } list-style: url(b.png); list-style-image: url(c.png)", {"c.png"});
}

void TestCssUrls::declarations() {
    QFETCH(QByteArray, css);
    QFETCH(Urls, expected);
    Urls urls;
    cssUrlsOfDeclarations(css, urls);
    QCOMPARE(urls, expected);
}

void TestCssUrls::styleSheet_data() {
    QTest::addColumn<QByteArray>("css");
    QTest::addColumn<Urls>("expected");
    auto row = [](const char* name, const QByteArray& css, const Urls& expected) {
        QTest::newRow(name) << css << expected;
    };
    row("rule by rule", "a{background:url(a.png)} b{list-style:url(b.png)}", {"a.png", "b.png"});
    row("inside @media", "@media screen and (min-width: 10px) { a { background: url(a.png) } }", {"a.png"});
    row("@media inside @supports",
        "@supports (display:grid){@media print{a{background:url(a.png)}}} b{background:url(b.png)}",
        {"a.png", "b.png"});
    row("@import is not an image", "@import url(x.css); @import \"y.css\"; a{background:url(a.png)}",
        {"a.png"});
    row("@font-face is skipped", "@font-face{font-family:x;src:url(f.woff)} a{background:url(a.png)}",
        {"a.png"});
    row("@keyframes is skipped", "@keyframes k{from{background:url(k.png)}} a{background:url(a.png)}",
        {"a.png"});
    row("unknown at-rule with a block",
        "@page{background:url(p.png)} @-moz-document url-prefix(){a{background:url(m.png)}}", {});
    row("unknown pseudo-element drops the rule",
        "a::-moz-selection{background:url(a.png)} b{background:url(b.png)}", {"b.png"});
    row("one bad selector drops the list", "a, b:-ms-input-placeholder{background:url(a.png)}", {});
    row("webkit pseudo-elements are known", "a::-webkit-scrollbar-thumb:hover{background:url(a.png)}",
        {"a.png"});
    row("star-html hack", "*html a{background:url(a.png)} * html b{background:url(b.png)}", {"b.png"});
    row("functional pseudo-classes", "a:not(.x):nth-child(2n+1)>b~c+d[href$='.png']{background:url(a.png)}",
        {"a.png"});
    row("empty selector", "{background:url(a.png)} ,a{background:url(b.png)}", {});
    row("stray closing brace before a rule", "} a{background:url(a.png)} b{background:url(b.png)}",
        {"b.png"});
    row("HTML comment markers at the top", "<!-- a{background:url(a.png)} -->", {"a.png"});
    row("comments between and in rules", "/* x{background:url(x.png)} */a/**/{/**/background:url(a.png)/**/}",
        {"a.png"});
    row("unterminated block", "a{background:url(a.png)", {"a.png"});
    row("unterminated comment", "a{background:url(a.png)} /* b{background:url(b.png)}", {"a.png"});
    row("a bad declaration does not end the block", "a{*zoom:1;background:url(a.png)}", {"a.png"});
    row("duplicate in one rule, not across rules",
        "a{background:url(a.png);background:none} b{background:url(b.png)} c{background:url(c.png)}",
        {"b.png", "c.png"});
    row("nested rule after the rule's own declarations",
        "a{& b{background:url(b.png)} background:url(a.png)}", {"a.png", "b.png"});
    // Blocks without a URL are passed over quickly; they must end where the parser ends them.
    row("brace in a string of a block without URLs", "a{content:'}'} b{background:url(b.png)}", {"b.png"});
    row("brace in a comment of a block without URLs", "a{/* } */color:red} b{background:url(b.png)}",
        {"b.png"});
    row("an open parenthesis swallows the braces", "a{color:rgb(1,2 } b{background:url(b.png)}", {});
    row("brace inside brackets", "a{x:[}] } b{background:url(b.png)}", {"b.png"});
    row("newline ends a string in a block without URLs", "a{content:\"x\n} b{background:url(b.png)}",
        {"b.png"});
    row("escaped brace", "a{c\\}:1} b{background:url(b.png)}", {"b.png"});
    row("nested blocks without URLs", "a{b{c{}}} d{background:url(d.png)}", {"d.png"});
    row("bad url in a selector's block", "a{background:url(a b)} b{background:url(b.png)}", {"b.png"});
}

void TestCssUrls::styleSheet() {
    QFETCH(QByteArray, css);
    QFETCH(Urls, expected);
    Urls urls;
    cssUrlsOfStyleSheet(css, urls);
    QCOMPARE(urls, expected);
}

void TestCssUrls::hostileInput_data() {
    QTest::addColumn<QByteArray>("css");
    QTest::addColumn<bool>("sheet");
    QTest::addColumn<qsizetype>("count");
    const QByteArray big(300 * 1024, 'a');
    QTest::newRow("300 KB url") << QByteArray("a{background:url(" + big + ")}") << true << qsizetype(1);
    QTest::newRow("300 KB string url") << QByteArray("a{background:url('" + big) << true << qsizetype(1);
    QTest::newRow("300 KB of open parentheses")
        << QByteArray("a{background:" + QByteArray(300 * 1024, '(')) << true << qsizetype(0);
    QTest::newRow("100 000 nested @media")
        << QByteArray("@media{").repeated(100000) + "a{background:url(a.png)}" << true << qsizetype(0);
    QTest::newRow("100 000 nested rules") << QByteArray("a{").repeated(100000) << true << qsizetype(0);
    QTest::newRow("100 000 declarations")
        << QByteArray("background:url(a.png);").repeated(100000) << false << qsizetype(1);
    QTest::newRow("100 000 custom properties") << [] {
        QByteArray css;
        for (int i = 0; i < 100000; ++i)
            css += "--p" + QByteArray::number(i) + ":url(a);";
        return css;
    }() << false << qsizetype(100000);
    QTest::newRow("unterminated comment")
        << QByteArray("a{background:url(a.png)}/*" + big) << true << qsizetype(1);
    QTest::newRow("backslash at the end") << QByteArray("a{background:url(a\\") << true << qsizetype(1);
    QTest::newRow("hex escape at the end") << QByteArray("a{background:url(a\\41") << true << qsizetype(1);
    QTest::newRow("invalid UTF-8") << QByteArray("a{background:url(\xff\xfe\xc3)}\xe2\x82") << true
                                   << qsizetype(1);
    QTest::newRow("NUL bytes everywhere") << QByteArray(1000, '\0') << true << qsizetype(0);
    QTest::newRow("lone at-sign and hash at the end") << QByteArray("a{b:c}@") << true << qsizetype(0);
}

void TestCssUrls::hostileInput() {
    QFETCH(QByteArray, css);
    QFETCH(bool, sheet);
    QFETCH(qsizetype, count);
    Urls urls;
    if (sheet)
        cssUrlsOfStyleSheet(css, urls);
    else
        cssUrlsOfDeclarations(css, urls);
    QCOMPARE(urls.size(), count);
}

QTEST_GUILESS_MAIN(TestCssUrls)
#include "tst_cssurls.moc"
