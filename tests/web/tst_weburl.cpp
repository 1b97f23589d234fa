#include "web/WebUrl.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>
#include <map>

namespace {

QString dataDir() {
    return QStringLiteral(VARNOLUX_SOURCE_DIR "/../shared/wpt-url/");
}

// The web-platform tests' JSON files are arrays of comments (strings) and cases (objects).
QJsonArray loadCases(const QString& name) {
    QFile file(dataDir() + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).array();
}

// JavaScript strings may hold lone surrogates; the URL API sees them as U+FFFD.
QByteArray utf8(const QString& text) {
    QString clean = text;
    for (qsizetype i = 0; i < clean.size(); ++i) {
        const QChar c = clean.at(i);
        if (c.isHighSurrogate() && i + 1 < clean.size() && clean.at(i + 1).isLowSurrogate()) {
            ++i;
        } else if (c.isSurrogate()) {
            clean[i] = QChar::ReplacementCharacter;
        }
    }
    return clean.toUtf8();
}

// Without the data files each table has this one row, which skips.
constexpr char kAbsent[] = "data files absent";

bool absentRow() {
    return qstrcmp(QTest::currentDataTag(), kAbsent) == 0;
}

QByteArray rowName(int index, const QString& input) {
    return QByteArray::number(index) + ": " + utf8(input).left(60).toPercentEncoding(" :/?#[]@!$&'()*+,;=");
}

// A page encoding for the query, with just the characters the percent-encoding cases use;
// everything else outside ASCII is unmappable, as it is in those encodings.
WebUrl::QueryEncoder testEncoder(const QString& encoding) {
    static const std::map<QString, std::map<char32_t, QByteArray>> tables = {
        {QStringLiteral("windows-1252"), {{U'\u2020', "\x86"}}},
        {QStringLiteral("euc-kr"), {{U'\u2020', "\xa2\xd3"}}},
        {QStringLiteral("shift_jis"), {{U'\u2212', "\x81\x7c"}}},
        {QStringLiteral("big5"), {}},
        {QStringLiteral("gb18030"), {}},
        {QStringLiteral("iso-8859-2"), {}},
        {QStringLiteral("iso-2022-jp"), {}},
    };
    const auto table = tables.find(encoding);
    if (table == tables.end())
        return {};
    const bool iso2022jp = encoding == QStringLiteral("iso-2022-jp");
    const auto map = table->second;
    return [map, iso2022jp](QByteArrayView text) {
        QByteArray bytes;
        bool roman = false;
        for (const char32_t c : QString::fromUtf8(text).toUcs4()) {
            if (iso2022jp) {
                // Stateful: ESC ( J switches to JIS Roman, ESC ( B back to ASCII; SO, SI and ESC
                // themselves cannot be encoded.
                if (c == 0x0e || c == 0x0f || c == 0x1b) {
                    bytes += "&#65533;";
                } else if (c == U'\u203e') {
                    if (!roman)
                        bytes += "\x1b(J";
                    roman = true;
                    bytes += '~';
                } else if (c < 0x80) {
                    if (roman && (c == '\\' || c == '~')) {
                        bytes += "\x1b(B";
                        roman = false;
                    }
                    bytes += char(c);
                } else {
                    bytes += "&#" + QByteArray::number(uint(c)) + ';';
                }
                continue;
            }
            if (c < 0x80) {
                bytes += char(c);
            } else if (const auto found = map.find(c); found != map.end()) {
                bytes += found->second;
            } else {
                bytes += "&#" + QByteArray::number(uint(c)) + ';';
            }
        }
        if (roman)
            bytes += "\x1b(B";
        return bytes;
    };
}

} // namespace

class TestWebUrl : public QObject {
    Q_OBJECT
private slots:
    void urlTestData_data();
    void urlTestData();
    void toAscii_data();
    void toAscii();
    void queryEncoding_data();
    void queryEncoding();
    void pageLinks_data();
    void pageLinks();
    void browserReading_data();
    void browserReading();
    void realPageLinks_data();
    void realPageLinks();
    void hostileInput_data();
    void hostileInput();
};

void TestWebUrl::urlTestData_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QJsonValue>("base");
    QTest::addColumn<QJsonObject>("expected");
    const QJsonArray cases = loadCases(QStringLiteral("urltestdata.json"));
    if (cases.isEmpty())
        QTest::newRow(kAbsent) << QByteArray() << QJsonValue() << QJsonObject();
    int index = 0;
    for (const QJsonValue& value : cases) {
        if (!value.isObject())
            continue;
        const QJsonObject object = value.toObject();
        const QString input = object.value(QLatin1String("input")).toString();
        QTest::newRow(rowName(index++, input).constData())
            << utf8(input) << object.value(QLatin1String("base")) << object;
    }
}

void TestWebUrl::urlTestData() {
    if (absentRow())
        QSKIP("../shared/wpt-url/urltestdata.json is not there");
    QFETCH(QByteArray, input);
    QFETCH(QJsonValue, base);
    QFETCH(QJsonObject, expected);
    const bool failure = expected.value(QLatin1String("failure")).toBool();
    std::optional<WebUrl> baseUrl;
    if (base.isString()) {
        baseUrl = WebUrl::parse(utf8(base.toString()));
        if (!baseUrl) {
            QVERIFY2(failure, "the base does not parse");
            return;
        }
    }
    const std::optional<WebUrl> url = WebUrl::parse(input, baseUrl ? &*baseUrl : nullptr);
    if (failure) {
        QVERIFY2(!url, url ? url->href().constData() : "");
        return;
    }
    QVERIFY(url);
    auto field = [&](const char* name) { return utf8(expected.value(QLatin1String(name)).toString()); };
    QCOMPARE(url->href(), field("href"));
    QCOMPARE(url->protocol(), field("protocol"));
    QCOMPARE(url->username(), field("username"));
    QCOMPARE(url->password(), field("password"));
    QCOMPARE(url->host(), field("host"));
    QCOMPARE(url->hostname(), field("hostname"));
    QCOMPARE(url->port(), field("port"));
    QCOMPARE(url->pathname(), field("pathname"));
    QCOMPARE(url->search(), field("search"));
    QCOMPARE(url->hash(), field("hash"));
    // The serialisation parses back to itself.
    const std::optional<WebUrl> again = WebUrl::parse(url->href());
    QVERIFY(again);
    QCOMPARE(again->href(), url->href());
}

void TestWebUrl::toAscii_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QJsonValue>("output");
    const QJsonArray cases = loadCases(QStringLiteral("toascii.json"));
    if (cases.isEmpty())
        QTest::newRow(kAbsent) << QByteArray() << QJsonValue();
    int index = 0;
    for (const QJsonValue& value : cases) {
        if (!value.isObject())
            continue;
        const QJsonObject object = value.toObject();
        const QString input = object.value(QLatin1String("input")).toString();
        QTest::newRow(rowName(index++, input).constData())
            << utf8(input) << object.value(QLatin1String("output"));
    }
}

void TestWebUrl::toAscii() {
    if (absentRow())
        QSKIP("../shared/wpt-url/toascii.json is not there");
    QFETCH(QByteArray, input);
    QFETCH(QJsonValue, output);
    const std::optional<WebUrl> url = WebUrl::parse("https://" + input + "/x");
    if (output.isNull()) {
        QVERIFY2(!url, url ? url->href().constData() : "");
    } else {
        QVERIFY(url);
        QCOMPARE(url->host(), utf8(output.toString()));
        QCOMPARE(url->pathname(), QByteArray("/x"));
    }
    // The bare domain step, where no percent-decoding or URL syntax is in the way.
    if (!input.contains('%') && !input.contains('/') && !input.contains('?') && !input.contains('#') &&
        !input.contains(':') && !input.contains('[') && !input.contains('@') && !input.contains('\\')) {
        const std::optional<QByteArray> ascii = WebUrl::domainToAscii(input);
        const bool number = url && url->host() != WebUrl::domainToAscii(input).value_or(QByteArray());
        if (output.isNull())
            QVERIFY(!ascii || number);
        else if (!number)
            QCOMPARE(ascii.value_or("(failure)"), utf8(output.toString()));
    }
}

void TestWebUrl::queryEncoding_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("expected");
    const QJsonArray cases = loadCases(QStringLiteral("percent-encoding.json"));
    if (cases.isEmpty())
        QTest::newRow(kAbsent) << QByteArray() << QString() << QByteArray();
    int index = 0;
    for (const QJsonValue& value : cases) {
        if (!value.isObject())
            continue;
        const QJsonObject object = value.toObject();
        const QString input = object.value(QLatin1String("input")).toString();
        const QJsonObject outputs = object.value(QLatin1String("output")).toObject();
        for (auto it = outputs.begin(); it != outputs.end(); ++it) {
            const QByteArray name = rowName(index, input) + " in " + it.key().toUtf8();
            QTest::newRow(name.constData()) << utf8(input) << it.key() << it.value().toString().toUtf8();
        }
        ++index;
    }
}

void TestWebUrl::queryEncoding() {
    if (absentRow())
        QSKIP("../shared/wpt-url/percent-encoding.json is not there");
    QFETCH(QByteArray, input);
    QFETCH(QString, encoding);
    QFETCH(QByteArray, expected);
    const WebUrl::QueryEncoder encoder =
        encoding == QStringLiteral("utf-8") ? WebUrl::QueryEncoder() : testEncoder(encoding);
    if (encoding != QStringLiteral("utf-8") && !encoder)
        QSKIP("no test encoder for this encoding");
    const std::optional<WebUrl> url =
        WebUrl::parse("https://doesnotmatter.invalid/?" + input + "#" + input, nullptr, encoder);
    QVERIFY(url);
    QCOMPARE(url->search(), "?" + expected);
    // The fragment is always UTF-8, whatever the page.
    const std::optional<WebUrl> utf8Url = WebUrl::parse("https://doesnotmatter.invalid/?#" + input);
    QVERIFY(utf8Url);
    QCOMPARE(url->hash(), utf8Url->hash());
    // Only special URLs take the page's encoding.
    const std::optional<WebUrl> other = WebUrl::parse("sc://x/?" + input, nullptr, encoder);
    const std::optional<WebUrl> otherUtf8 = WebUrl::parse("sc://x/?" + input);
    QVERIFY(other && otherUtf8);
    QCOMPARE(other->href(), otherUtf8->href());
}

void TestWebUrl::pageLinks_data() {
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray page = "https://www.example.com/news/2024/story.html?id=7#top";
    QTest::newRow("root-relative goes to the server root")
        << page << QByteArray("/img/a.jpg") << QByteArray("https://www.example.com/img/a.jpg");
    QTest::newRow("scheme-relative keeps only the scheme")
        << page << QByteArray("//cdn.example.net/a.jpg") << QByteArray("https://cdn.example.net/a.jpg");
    QTest::newRow("relative goes under the page's folder")
        << page << QByteArray("pics/a.jpg") << QByteArray("https://www.example.com/news/2024/pics/a.jpg");
    QTest::newRow("dot segments climb but not above the root")
        << page << QByteArray("../../../../a.jpg") << QByteArray("https://www.example.com/a.jpg");
    QTest::newRow("query-only keeps the path")
        << page << QByteArray("?id=8") << QByteArray("https://www.example.com/news/2024/story.html?id=8");
    QTest::newRow("backslashes are slashes in http")
        << page << QByteArray("\\img\\a.jpg") << QByteArray("https://www.example.com/img/a.jpg");
    QTest::newRow("spaces and quotes are percent-encoded")
        << page << QByteArray("my pic\".jpg")
        << QByteArray("https://www.example.com/news/2024/my%20pic%22.jpg");
    QTest::newRow("non-ASCII path is UTF-8 percent-encoded")
        << page << QByteArray("caf\xc3\xa9.jpg")
        << QByteArray("https://www.example.com/news/2024/caf%C3%A9.jpg");
    QTest::newRow("IDNA host") << page << QByteArray("http://b\xc3\xbc\x63her.example/x.png")
                               << QByteArray("http://xn--bcher-kva.example/x.png");
    QTest::newRow("upper-case host and default port") << page << QByteArray("HTTP://CDN.Example.COM:80/A.JPG")
                                                      << QByteArray("http://cdn.example.com/A.JPG");
    QTest::newRow("invalid UTF-8 becomes U+FFFD")
        << page << QByteArray("a\xff\xe2\x82.jpg")
        << QByteArray("https://www.example.com/news/2024/a%EF%BF%BD%EF%BF%BD.jpg");
    QTest::newRow("NUL in a path is encoded")
        << page << QByteArray("a\0b.jpg", 7) << QByteArray("https://www.example.com/news/2024/a%00b.jpg");
    QTest::newRow("data: URL keeps its opaque path") << page << QByteArray("data:image/png;base64,iVBOR w0K")
                                                     << QByteArray("data:image/png;base64,iVBOR w0K");
}

void TestWebUrl::pageLinks() {
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const std::optional<WebUrl> baseUrl = WebUrl::parse(base);
    QVERIFY(baseUrl);
    const std::optional<WebUrl> url = WebUrl::parse(input, &*baseUrl);
    QVERIFY(url);
    QCOMPARE(url->href(), expected);
}

void TestWebUrl::browserReading_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("standard");
    QTest::addColumn<QByteArray>("browser");
    QTest::newRow("pipe in an http path")
        << QByteArray("https://h/fill|jpeg/a.jpg") << QByteArray("https://h/fill|jpeg/a.jpg")
        << QByteArray("https://h/fill%7Cjpeg/a.jpg");
    QTest::newRow("pipe in a query or fragment stays")
        << QByteArray("https://h/a?x|y#z|w") << QByteArray("https://h/a?x|y#z|w")
        << QByteArray("https://h/a?x|y#z|w");
    QTest::newRow("pipe in a non-special path stays")
        << QByteArray("sc://h/a|b") << QByteArray("sc://h/a|b") << QByteArray("sc://h/a|b");
    QTest::newRow("file paths read as the standard says")
        << QByteArray("file:///C|/a|b") << QByteArray("file:///C:/a|b") << QByteArray("file:///C:/a|b");
}

void TestWebUrl::browserReading() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, standard);
    QFETCH(QByteArray, browser);
    QCOMPARE(WebUrl::parse(input).value().href(), standard);
    QCOMPARE(WebUrl::parseAsBrowser(input).value().href(), browser);
}

// Every reference of 170 saved real pages, as Chromium resolved it against the page's base URL:
// the browser's reading, which differs from the standard's on one page ("|" in paths).
void TestWebUrl::realPageLinks_data() {
    QTest::addColumn<QString>("file");
    const QDir oracle(QStringLiteral(VARNOLUX_SOURCE_DIR "/../shared/realpages/oracle"));
    const QStringList files = oracle.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    if (files.isEmpty())
        QTest::newRow(kAbsent) << QString();
    for (const QString& name : files)
        QTest::newRow(name.toUtf8().constData()) << oracle.filePath(name);
}

void TestWebUrl::realPageLinks() {
    if (absentRow())
        QSKIP("../shared/realpages/oracle is not there");
    QFETCH(QString, file);
    QFile json(file);
    QVERIFY(json.open(QIODevice::ReadOnly));
    const QJsonObject page = QJsonDocument::fromJson(json.readAll()).object();
    const QJsonObject document = page.value(QLatin1String("document")).toObject();
    const QByteArray origin = "http://127.0.0.1:8080";
    auto withOrigin = [&](const QJsonValue& value) {
        return utf8(value.toString()).replace("{origin}", origin);
    };
    const std::optional<WebUrl> base = WebUrl::parse(withOrigin(document.value(QLatin1String("base"))));
    QVERIFY(base);
    // The query of a page that is not UTF-8 is in the page's encoding, which this test does not have.
    const bool utf8Page = document.value(QLatin1String("charset")).toString() == QStringLiteral("UTF-8");
    int checked = 0;
    QByteArrayList mismatches;
    for (const QJsonValue& ref : page.value(QLatin1String("refs")).toArray()) {
        const QJsonArray fields = ref.toArray();
        const QByteArray value = utf8(fields.at(3).toString());
        const QByteArray expected = withOrigin(fields.at(0));
        const bool ascii = std::all_of(value.begin(), value.end(), [](char c) { return uchar(c) < 0x80; });
        if (!utf8Page && !ascii)
            continue;
        const std::optional<WebUrl> url = WebUrl::parseAsBrowser(value, &*base);
        if (!url || url->href() != expected)
            mismatches << value + "\n      got      " + (url ? url->href() : QByteArray("(failure)")) +
                              "\n      expected " + expected;
        ++checked;
    }
    QVERIFY2(mismatches.isEmpty(), mismatches.join("\n    ").constData());
    QVERIFY(checked > 0 || page.value(QLatin1String("refs")).toArray().isEmpty());
}

void TestWebUrl::hostileInput_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<qsizetype>("minimumLength");
    const QByteArray big(300 * 1024, 'a');
    QTest::newRow("300 KB path") << QByteArray("http://h/" + big) << true << big.size();
    QTest::newRow("300 KB of dot segments")
        << QByteArray("http://h/" + QByteArray(150 * 1024, '/').replace("/", "../")) << true << qsizetype(9);
    QTest::newRow("300 KB host") << QByteArray("http://" + big + "/") << true << big.size();
    QTest::newRow("300 KB of non-ASCII host")
        << QByteArray("http://" + QByteArray(100 * 1024, '\xe4') + "/") << false << qsizetype(0);
    QTest::newRow("300 KB of at-signs")
        << QByteArray("http://" + QByteArray(300 * 1024, '@') + "h/") << true << qsizetype(300 * 1024);
    QTest::newRow("300 KB IPv6 host")
        << QByteArray("http://[" + QByteArray(300 * 1024, ':') + "]/") << false << qsizetype(0);
    QTest::newRow("300 KB of tabs and newlines")
        << QByteArray("http://h/a" + QByteArray(300 * 1024, '\n') + "b") << true << qsizetype(11);
    QTest::newRow("huge IPv4 number")
        << QByteArray("http://0x" + QByteArray(1000, 'f') + "/") << false << qsizetype(0);
    QTest::newRow("huge port") << QByteArray("http://h:" + QByteArray(1000, '9') + "/") << false
                               << qsizetype(0);
    QTest::newRow("lone continuation bytes in a host")
        << QByteArray("http://\x80\x80/") << false << qsizetype(0);
    QTest::newRow("unterminated IPv6") << QByteArray("http://[::1") << false << qsizetype(0);
    QTest::newRow("percent at the end of a host") << QByteArray("http://h%") << false << qsizetype(0);
    QTest::newRow("truncated UTF-8 at the end") << QByteArray("http://h/\xf0\x9f") << true << qsizetype(18);
}

void TestWebUrl::hostileInput() {
    QFETCH(QByteArray, input);
    QFETCH(bool, parses);
    QFETCH(qsizetype, minimumLength);
    const std::optional<WebUrl> url = WebUrl::parse(input);
    QCOMPARE(bool(url), parses);
    if (url)
        QVERIFY(url->href().size() >= minimumLength);
}

QTEST_GUILESS_MAIN(TestWebUrl)
#include "tst_weburl.moc"
