#include "web/PageEncoding.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

namespace {

constexpr char kAbsent[] = "data files absent";

QString dataDir() {
    return QStringLiteral(VARNOLUX_SOURCE_DIR "/../shared/html5lib-tests/encoding/");
}

// The page decoded as it arrives, in pieces ending after each of the cuts (each piece a buffer of
// its own: the bytes so far move), then whole. Every text so far must begin the whole text.
QByteArray decodedInPieces(const QByteArray& bytes, const QByteArray& contentType,
                           const QList<qsizetype>& cuts, const QByteArray& whole, QByteArray* encoding) {
    pageEncoding::StreamDecoder decoder(contentType);
    for (const qsizetype cut : cuts) {
        QByteArray soFar = bytes.first(cut);
        soFar.detach();
        const QByteArrayView text = decoder.feed(soFar, false);
        if (!whole.startsWith(text))
            return "the text after " + QByteArray::number(cut) + " bytes does not begin the whole";
    }
    const QByteArray text = decoder.feed(bytes, true).toByteArray();
    *encoding = decoder.encoding() ? decoder.encoding()->name : QByteArray("undecided");
    return text;
}

} // namespace

class TestPageEncoding : public QObject {
    Q_OBJECT

private slots:
    // The html5lib encoding cases, through the prescan of the first 1024 bytes. Their default
    // when nothing is found is windows-1252 (ours is UTF-8, as the browser's XHR parse has it).
    void prescanHtml5lib_data();
    void prescanHtml5lib();
    void labels_data();
    void labels();
    void sniff_data();
    void sniff();
    void decode_data();
    void decode();
    // A page decoded while it arrives gives the text and encoding of the whole, wherever the
    // pieces are cut: in a sequence, in the BOM, in the meta that names the charset.
    void decodeInPieces_data();
    void decodeInPieces();
};

void TestPageEncoding::prescanHtml5lib_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");
    const QStringList files = QDir(dataDir()).entryList({QStringLiteral("*.dat")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        QTest::newRow(kAbsent) << QByteArray() << QByteArray();
        return;
    }
    for (const QString& name : files) {
        QFile file(dataDir() + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        int index = 0;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (lines[i] != "#data")
                continue;
            QByteArray data;
            qsizetype k = i + 1;
            for (; k < lines.size() && lines[k] != "#encoding"; ++k)
                data += lines[k] + '\n';
            data.chop(1);
            const QByteArray expected = k + 1 < lines.size() ? lines[k + 1].trimmed() : QByteArray();
            QTest::newRow(qPrintable(name + u':' + QString::number(index++))) << data << expected;
            i = k;
        }
    }
}

void TestPageEncoding::prescanHtml5lib() {
    if (qstrcmp(QTest::currentDataTag(), kAbsent) == 0)
        QSKIP("../shared/html5lib-tests is absent: the encoding prescan cases were not run");
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    const pageEncoding::Sniffed sniffed = pageEncoding::sniff(data, {});
    QByteArray found = sniffed.bomLength > 0 ? sniffed.name : pageEncoding::prescan(data);
    if (found.isEmpty() && data.toLower().indexOf("<meta") >= 1024)
        QSKIP("the meta stands past the first 1024 bytes: only the tree builder of a navigation finds it, "
              "not the prescan (nor the browser's XHR parse that the listing follows)");
    if (found.isEmpty())
        found = "windows-1252";
    QCOMPARE(found, pageEncoding::forLabel(expected));
}

void TestPageEncoding::labels_data() {
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("case and surrounding spaces are ignored")
        << QByteArray(" \tUTF8\n") << QByteArray("UTF-8");
    QTest::newRow("latin1 means windows-1252") << QByteArray("latin1") << QByteArray("windows-1252");
    QTest::newRow("ascii means windows-1252") << QByteArray("us-ascii") << QByteArray("windows-1252");
    QTest::newRow("iso-8859-9 means windows-1254") << QByteArray("ISO-8859-9") << QByteArray("windows-1254");
    QTest::newRow("gb2312 means GBK") << QByteArray("gb2312") << QByteArray("GBK");
    QTest::newRow("sjis") << QByteArray("x-sjis") << QByteArray("Shift_JIS");
    QTest::newRow("utf-16 means little-endian") << QByteArray("utf-16") << QByteArray("UTF-16LE");
    QTest::newRow("iso-2022-kr is the replacement encoding")
        << QByteArray("iso-2022-kr") << QByteArray("replacement");
    QTest::newRow("unknown label") << QByteArray("utf-9") << QByteArray();
    QTest::newRow("inner space is not trimmed") << QByteArray("utf -8") << QByteArray();
    QTest::newRow("empty label") << QByteArray("") << QByteArray();
}

void TestPageEncoding::labels() {
    QFETCH(QByteArray, label);
    QFETCH(QByteArray, name);
    QCOMPARE(pageEncoding::forLabel(label), name);
}

void TestPageEncoding::sniff_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("bom");
    const QByteArray meta1251 = "<meta charset=windows-1251><p>";
    QTest::newRow("a BOM wins over the header")
        << QByteArray("\xEF\xBB\xBF<p>") << QByteArray("text/html; charset=koi8-r") << QByteArray("UTF-8")
        << 3;
    QTest::newRow("UTF-16LE BOM") << QByteArray("\xFF\xFE<\0p\0", 6) << QByteArray("text/html")
                                  << QByteArray("UTF-16LE") << 2;
    QTest::newRow("UTF-16BE BOM") << QByteArray("\xFE\xFF\0<\0p", 6) << QByteArray() << QByteArray("UTF-16BE")
                                  << 2;
    QTest::newRow("the header's charset wins over the meta")
        << meta1251 << QByteArray("text/html; charset=\"ISO-8859-2\"") << QByteArray("ISO-8859-2") << 0;
    QTest::newRow("an unknown header charset is ignored")
        << meta1251 << QByteArray("text/html; charset=bogus") << QByteArray("windows-1251") << 0;
    QTest::newRow("meta http-equiv content")
        << QByteArray("<meta http-equiv=Content-Type content='text/html; charset=euc-jp'>") << QByteArray()
        << QByteArray("EUC-JP") << 0;
    QTest::newRow("meta content without http-equiv does not count")
        << QByteArray("<meta content='text/html; charset=euc-jp'>") << QByteArray() << QByteArray("UTF-8")
        << 0;
    QTest::newRow("a meta UTF-16 label means UTF-8")
        << QByteArray("<meta charset=utf-16le>") << QByteArray() << QByteArray("UTF-8") << 0;
    QTest::newRow("an unknown meta label is ignored")
        << QByteArray("<meta charset=klingon><meta charset=koi8-r>") << QByteArray() << QByteArray("KOI8-R")
        << 0;
    QTest::newRow("a meta inside a comment does not count")
        << QByteArray("<!-- <meta charset=koi8-r> -->") << QByteArray() << QByteArray("UTF-8") << 0;
    QTest::newRow("a meta after 1024 bytes does not count")
        << (QByteArray(1100, ' ') + "<meta charset=koi8-r>") << QByteArray() << QByteArray("UTF-8") << 0;
    QTest::newRow("nothing: UTF-8") << QByteArray("<p>plain") << QByteArray("text/html")
                                    << QByteArray("UTF-8") << 0;
    QTest::newRow("a meta cut off at the end")
        << QByteArray("<meta charset=\"koi8") << QByteArray() << QByteArray("UTF-8") << 0;
}

void TestPageEncoding::sniff() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, name);
    QFETCH(int, bom);
    const pageEncoding::Sniffed found = pageEncoding::sniff(bytes, contentType);
    QCOMPARE(found.name, name);
    QCOMPARE(int(found.bomLength), bom);
}

void TestPageEncoding::decode_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<int>("bom");
    QTest::addColumn<QByteArray>("utf8");
    QTest::newRow("valid UTF-8 stays")
        << QByteArray("a\xC3\xA9z") << QByteArray("UTF-8") << 0 << QByteArray("a\xC3\xA9z");
    QTest::newRow("the BOM is dropped")
        << QByteArray("\xEF\xBB\xBFx") << QByteArray("UTF-8") << 3 << QByteArray("x");
    QTest::newRow("a stray continuation byte is one U+FFFD")
        << QByteArray("a\x80z") << QByteArray("UTF-8") << 0 << QByteArray("a\xEF\xBF\xBDz");
    QTest::newRow("a truncated sequence is one U+FFFD")
        << QByteArray("a\xE2\x82z") << QByteArray("UTF-8") << 0 << QByteArray("a\xEF\xBF\xBDz");
    QTest::newRow("a surrogate encoded in UTF-8 is replaced per byte")
        << QByteArray("\xED\xA0\x80") << QByteArray("UTF-8") << 0
        << QByteArray("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    QTest::newRow("a sequence cut by the end of the page")
        << QByteArray("x\xF0\x9F") << QByteArray("UTF-8") << 0 << QByteArray("x\xEF\xBF\xBD");
    QTest::newRow("windows-1252 high bytes") << QByteArray("\x80\x81\xE9") << QByteArray("windows-1252") << 0
                                             << QByteArray("\xE2\x82\xAC\xC2\x81\xC3\xA9");
    QTest::newRow("UTF-16LE with a pair and a lone surrogate")
        << QByteArray("\xFF\xFE"
                      "a\0\x3D\xD8\x00\xDE\x00\xD8",
                      10)
        << QByteArray("UTF-16LE") << 2 << QByteArray("a\xF0\x9F\x98\x80\xEF\xBF\xBD");
    QTest::newRow("UTF-16BE with an odd last byte")
        << QByteArray("\0a\0", 3) << QByteArray("UTF-16BE") << 0 << QByteArray("a\xEF\xBF\xBD");
    QTest::newRow("Shift_JIS through the converters")
        << QByteArray("\x82\xA0") << QByteArray("Shift_JIS") << 0 << QByteArray("\xE3\x81\x82");
    QByteArray longShiftJis;
    for (int i = 0; i < 700000; ++i)
        longShiftJis += "a\x82\xA0"; // a sequence falls across a piece boundary of the decode
    QTest::newRow("a long Shift_JIS page decoded in pieces")
        << longShiftJis << QByteArray("Shift_JIS") << 0 << QByteArray("a\xE3\x81\x82").repeated(700000);
    QTest::newRow("the replacement encoding gives one U+FFFD")
        << QByteArray("anything") << QByteArray("replacement") << 0 << QByteArray("\xEF\xBF\xBD");
}

void TestPageEncoding::decode() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, encoding);
    QFETCH(int, bom);
    QFETCH(QByteArray, utf8);
    QCOMPARE(pageEncoding::decode(bytes, {encoding, bom}), utf8);
}

void TestPageEncoding::decodeInPieces_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("contentType");
    const QByteArray html = "text/html";
    const QByteArray padding = QByteArray("<p>").append(QByteArray(1100, 'x'));

    QTest::newRow("UTF-8 with two-, three- and four-byte sequences")
        << QByteArray("<p>\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80</p>") << html;
    QTest::newRow("UTF-8 going bad late, then a sequence cut by the end")
        << QByteArray("\xC3\xA9\xE2\x82\xAC ok \x80 \xED\xA0\x80 \xF0\x9F") << html;
    QTest::newRow("a UTF-8 BOM") << QByteArray("\xEF\xBB\xBF<img src=\"\xC3\xA9.jpg\">") << html;
    QTest::newRow("UTF-16LE with a pair, a lone surrogate and an odd byte")
        << QByteArray("\xFF\xFE<\0p\0\x3D\xD8\x00\xDE\x00\xD8"
                      "a\0\x3D\xD8z",
                      18)
        << html;
    QTest::newRow("UTF-16BE") << QByteArray("\xFE\xFF\0<\0a\xD8\x3D\xDE\x00\0>", 12) << html;
    QTest::newRow("the header names a single-byte encoding")
        << QByteArray("<p>caf\xE9 \x80</p>") << QByteArray("text/html; charset=latin1");
    QTest::newRow("the header names Shift_JIS") << QByteArray("a\x82\xA0"
                                                              "b\x82\xA0\x82\xA0"
                                                              "c")
                                                << QByteArray("text/html;charset=\"Shift_JIS\"");
    QTest::newRow("the header names x-user-defined")
        << QByteArray("a\x80\xFF") << QByteArray("text/html; charset=x-user-defined");
    QTest::newRow("the header names the replacement encoding")
        << QByteArray("anything") << QByteArray("text/html; charset=iso-2022-kr");
    QTest::newRow("a BOM wins over the header") << QByteArray("\xEF\xBB\xBF"
                                                              "caf\xC3\xA9")
                                                << QByteArray("text/html; charset=windows-1252");
    QTest::newRow("a meta charset in a short page")
        << QByteArray("<meta charset=\"windows-1252\"><p>caf\xE9</p>") << html;
    QTest::newRow("a meta charset in a page longer than the prescan")
        << QByteArray("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=koi8-r\">\xC1\xC2")
               .append(padding)
               .append("\xC3")
        << html;
    QTest::newRow("a meta charset past the first 1024 bytes counts for nothing")
        << QByteArray(padding).append("<meta charset=\"windows-1252\">caf\xE9") << html;
    QTest::newRow("an empty page") << QByteArray() << html;
}

void TestPageEncoding::decodeInPieces() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, contentType);
    const pageEncoding::Sniffed sniffed = pageEncoding::sniff(bytes, contentType);
    const QByteArray whole = pageEncoding::decode(bytes, sniffed);
    QByteArray encoding;
    for (qsizetype cut = 0; cut <= bytes.size(); ++cut) {
        const QByteArray text = decodedInPieces(bytes, contentType, {cut}, whole, &encoding);
        QVERIFY2(
            text == whole,
            qPrintable(
                QStringLiteral("cut after %1 bytes: %2").arg(cut).arg(QString::fromLatin1(text.toHex(' ')))));
        QCOMPARE(encoding, sniffed.name);
    }
    QList<qsizetype> everyByte;
    for (qsizetype cut = 0; cut <= bytes.size(); ++cut)
        everyByte << cut;
    QCOMPARE(decodedInPieces(bytes, contentType, everyByte, whole, &encoding), whole);
    QList<qsizetype> random;
    for (qsizetype at = 0; at < bytes.size(); at += 1 + QRandomGenerator::global()->bounded(7))
        random << at;
    QCOMPARE(decodedInPieces(bytes, contentType, random, whole, &encoding), whole);
}

QTEST_GUILESS_MAIN(TestPageEncoding)
#include "tst_pageencoding.moc"
