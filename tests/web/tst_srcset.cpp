#include "web/Srcset.h"

#include <QTest>

using Urls = QList<QByteArray>;

class TestSrcset : public QObject {
    Q_OBJECT
private slots:
    void candidates_data();
    void candidates();
    void hostileInput_data();
    void hostileInput();
};

void TestSrcset::candidates_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<Urls>("expected");
    QTest::newRow("densities") << QByteArray("a.jpg 1x, b.jpg 2x") << Urls{"a.jpg", "b.jpg"};
    QTest::newRow("widths") << QByteArray("a.jpg 100w,b.jpg 200w") << Urls{"a.jpg", "b.jpg"};
    QTest::newRow("no descriptor") << QByteArray("a.jpg") << Urls{"a.jpg"};
    QTest::newRow("comma right after the URL ends the candidate")
        << QByteArray("a.jpg,b.jpg") << Urls{"a.jpg,b.jpg"};
    QTest::newRow("trailing commas are not part of the URL")
        << QByteArray("a.jpg,,, b.jpg") << Urls{"a.jpg", "b.jpg"};
    QTest::newRow("leading commas and spaces are skipped") << QByteArray(" ,, \t\na.jpg") << Urls{"a.jpg"};
    QTest::newRow("commas inside a data URL stay") << QByteArray("data:image/png;base64,AAAA 1x, b.png 2x")
                                                   << Urls{"data:image/png;base64,AAAA", "b.png"};
    QTest::newRow("every whitespace kind separates")
        << QByteArray("a.jpg\f1x,\rb.jpg\t2x") << Urls{"a.jpg", "b.jpg"};
    QTest::newRow("zero width drops") << QByteArray("a.jpg 0w, b.jpg 000w, c.jpg 10w") << Urls{"c.jpg"};
    QTest::newRow("width and density together drop") << QByteArray("a.jpg 100w 2x, b.jpg") << Urls{"b.jpg"};
    QTest::newRow("two densities drop") << QByteArray("a.jpg 1x 2x, b.jpg") << Urls{"b.jpg"};
    QTest::newRow("height needs a width") << QByteArray("a.jpg 100h, b.jpg 100w 100h") << Urls{"b.jpg"};
    QTest::newRow("height with density drops") << QByteArray("a.jpg 2x 100h") << Urls{};
    QTest::newRow("negative density drops")
        << QByteArray("a.jpg -1x, b.jpg -0x, c.jpg -0.0e5x") << Urls{"b.jpg", "c.jpg"};
    QTest::newRow("density forms") << QByteArray("a 1.5x, b .5x, c 1e2x, d 2E-1x, e 0x")
                                   << Urls{"a", "b", "c", "d", "e"};
    QTest::newRow("malformed densities drop")
        << QByteArray("a 1.x, b +1x, c 1e, d x, e 1..5x, f 1e+x") << Urls{};
    QTest::newRow("malformed widths drop") << QByteArray("a 1.5w, b -5w, c w, d 5W") << Urls{};
    QTest::newRow("unknown descriptor drops") << QByteArray("a.jpg 1q, b.jpg 2x") << Urls{"b.jpg"};
    QTest::newRow("huge width is a width") << QByteArray("a.jpg 99999999999999999999999w") << Urls{"a.jpg"};
    QTest::newRow("parentheses keep commas and spaces")
        << QByteArray("a.jpg (x, y) 1x, b.jpg") << Urls{"b.jpg"};
    QTest::newRow("unterminated parenthesis ends the value") << QByteArray("a.jpg 1x (, b.jpg 2x") << Urls{};
    QTest::newRow("space before the comma") << QByteArray("a.jpg 1x , b.jpg") << Urls{"a.jpg", "b.jpg"};
    QTest::newRow("empty and blank values") << QByteArray(" \t, ,") << Urls{};
    QTest::newRow("non-ASCII URL and descriptor")
        << QByteArray("caf\xc3\xa9.jpg 1x, b.jpg 1\xc3\x97") << Urls{"caf\xc3\xa9.jpg"};
}

void TestSrcset::candidates() {
    QFETCH(QByteArray, value);
    QFETCH(Urls, expected);
    Urls urls;
    for (const QByteArrayView url : srcsetUrls(value))
        urls << url.toByteArray();
    QCOMPARE(urls, expected);
}

void TestSrcset::hostileInput_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qsizetype>("count");
    QTest::newRow("300 KB URL") << QByteArray(300 * 1024, 'a') << qsizetype(1);
    QTest::newRow("300 KB of commas") << QByteArray(300 * 1024, ',') << qsizetype(0);
    QTest::newRow("100 000 candidates") << QByteArray("a 1x,").repeated(100000) << qsizetype(100000);
    QTest::newRow("300 KB in parentheses") << QByteArray("a (" + QByteArray(300 * 1024, ' ')) << qsizetype(0);
    QTest::newRow("300 KB negative density")
        << QByteArray("a -" + QByteArray(300 * 1024, '1') + "x") << qsizetype(0);
    QTest::newRow("NUL bytes are ordinary") << QByteArray("a\0b 1x", 6) << qsizetype(1);
    QTest::newRow("ends in whitespace after a descriptor") << QByteArray("a 1x   ") << qsizetype(1);
}

void TestSrcset::hostileInput() {
    QFETCH(QByteArray, value);
    QFETCH(qsizetype, count);
    const QList<QByteArrayView> urls = srcsetUrls(value);
    QCOMPARE(urls.size(), count);
    for (const QByteArrayView url : urls) {
        QVERIFY(url.data() >= value.constData());
        QVERIFY(url.data() + url.size() <= value.constData() + value.size());
    }
}

QTEST_GUILESS_MAIN(TestSrcset)
#include "tst_srcset.moc"
