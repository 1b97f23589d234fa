// JSON strings of the command line's output, and the download archive's reading of its lines.

#include "cli/Json.h"
#include "download/DownloadArchive.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QtTest>

class JsonTest : public QObject {
    Q_OBJECT

private slots:
    void bytesBecomeValidJson_data();
    void bytesBecomeValidJson();
    void archiveLinesAreWholeOrIgnored_data();
    void archiveLinesAreWholeOrIgnored();
};

void JsonTest::bytesBecomeValidJson_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("json");

    QTest::newRow("plain ASCII as it is") << QByteArray("http://a/b.jpg") << QByteArray("\"http://a/b.jpg\"");
    QTest::newRow("quote and backslash escaped") << QByteArray("a\"b\\c") << QByteArray("\"a\\\"b\\\\c\"");
    QTest::newRow("control characters escaped")
        << QByteArray("a\tb\nc\x01\x7F", 7) << QByteArray("\"a\\tb\\nc\\u0001\\u007f\"");
    QTest::newRow("valid UTF-8 kept") << QByteArray("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")
                                      << QByteArray("\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"");
    QTest::newRow("a Latin-1 byte as \\u00XX") << QByteArray("caf\xE9") << QByteArray("\"caf\\u00e9\"");
    QTest::newRow("a cut-off sequence byte by byte")
        << QByteArray("\xE2\x82") << QByteArray("\"\\u00e2\\u0082\"");
    QTest::newRow("an overlong form is no UTF-8")
        << QByteArray("\xC0\xAF") << QByteArray("\"\\u00c0\\u00af\"");
    QTest::newRow("an encoded surrogate is no UTF-8")
        << QByteArray("\xED\xA0\x80") << QByteArray("\"\\u00ed\\u00a0\\u0080\"");
    QTest::newRow("beyond U+10FFFF is no UTF-8")
        << QByteArray("\xF4\x90\x80\x80") << QByteArray("\"\\u00f4\\u0090\\u0080\\u0080\"");
    QTest::newRow("a NUL byte escaped") << QByteArray("a\0b", 3) << QByteArray("\"a\\u0000b\"");
}

void JsonTest::bytesBecomeValidJson() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, json);
    const QByteArray made = json::string(bytes);
    QCOMPARE(made, json);
    QJsonParseError error;
    QJsonDocument::fromJson("[" + made + "]", &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
}

void JsonTest::archiveLinesAreWholeOrIgnored_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QByteArray>>("links");

    QTest::newRow("one link per line") << QByteArray("http://a/1.jpg\nhttp://a/2.jpg\n")
                                       << QList<QByteArray>{"http://a/1.jpg", "http://a/2.jpg"};
    QTest::newRow("a last line without its line break is half-written")
        << QByteArray("http://a/1.jpg\nhttp://a/2.j") << QList<QByteArray>{"http://a/1.jpg"};
    QTest::newRow("CR LF line ends") << QByteArray("http://a/1.jpg\r\n")
                                     << QList<QByteArray>{"http://a/1.jpg"};
    QTest::newRow("blank lines left out")
        << QByteArray("\n\nhttp://a/1.jpg\n\n") << QList<QByteArray>{"http://a/1.jpg"};
    QTest::newRow("empty") << QByteArray() << QList<QByteArray>{};
}

void JsonTest::archiveLinesAreWholeOrIgnored() {
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, links);
    QSet<QByteArray> expected(links.begin(), links.end());
    QCOMPARE(DownloadArchive::linksOf(bytes), expected);
}

QTEST_GUILESS_MAIN(JsonTest)
#include "tst_json.moc"
