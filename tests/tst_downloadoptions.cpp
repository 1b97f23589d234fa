// The rules behind the download options that need no server: collision names, retry timing.

#include "download/Collision.h"
#include "download/DownloadOptions.h"
#include "support/Files.h"

#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(net::Result)

class DownloadOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void numberedNames_data();
    void numberedNames();
    void reserveTakesTheFirstFreeName();
    void backoffDoublesUpToItsCap_data();
    void backoffDoublesUpToItsCap();
    void retryAfterIsReadOrIgnored_data();
    void retryAfterIsReadOrIgnored();
    void onlyPassingFailuresAreRetried_data();
    void onlyPassingFailuresAreRetried();
    void retriesFollowTheStatusNotItsWords_data();
    void retriesFollowTheStatusNotItsWords();
    void ratesAreReadAsCurlReadsThem_data();
    void ratesAreReadAsCurlReadsThem();
};

void DownloadOptionsTest::numberedNames_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("numbered");

    QTest::newRow("before the extension") << QByteArray("thumb.jpg") << 1 << QByteArray("thumb (1).jpg");
    QTest::newRow("before the last extension only")
        << QByteArray("a.tar.gz") << 2 << QByteArray("a.tar (2).gz");
    QTest::newRow("no extension: at the end") << QByteArray("README") << 3 << QByteArray("README (3)");
    QTest::newRow("a leading dot starts no extension")
        << QByteArray(".hidden") << 1 << QByteArray(".hidden (1)");
    QTest::newRow("a query after the dot stays in the extension")
        << QByteArray("img.php?id=4") << 1 << QByteArray("img (1).php?id=4");
    QTest::newRow("numbers grow past one digit") << QByteArray("x.png") << 12 << QByteArray("x (12).png");
}

void DownloadOptionsTest::numberedNames() {
    QFETCH(QByteArray, name);
    QFETCH(int, n);
    QFETCH(QByteArray, numbered);
    QCOMPARE(collision::numbered(name, n), numbered);
}

void DownloadOptionsTest::reserveTakesTheFirstFreeName() {
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.jpg")), "old"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a (2).jpg")), "older"));
    // A dangling link takes its name as much as a file does.
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), dir.filePath(QStringLiteral("a (3).jpg"))));
    QStringList taken;
    for (int i = 0; i < 3; ++i) {
        QString path;
        const net::Result reserved = collision::reserve(dir.path(), "a.jpg", path);
        QVERIFY2(reserved.ok(), qPrintable(net::reasonText(reserved)));
        taken << QFileInfo(path).fileName();
        QCOMPARE(QFileInfo(path).size(), 0);
    }
    QCOMPARE(taken, (QStringList{QStringLiteral("a (1).jpg"), QStringLiteral("a (4).jpg"),
                                 QStringLiteral("a (5).jpg")}));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("a.jpg"))), QByteArray("old"));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("a (2).jpg"))), QByteArray("older"));
}

void DownloadOptionsTest::backoffDoublesUpToItsCap_data() {
    QTest::addColumn<int>("retry");
    QTest::addColumn<qint64>("seconds");
    QTest::newRow("first retry after 1 s") << 1 << qint64(1);
    QTest::newRow("then 2 s") << 2 << qint64(2);
    QTest::newRow("then 4 s") << 3 << qint64(4);
    QTest::newRow("32 s") << 6 << qint64(32);
    QTest::newRow("capped at 60 s") << 7 << qint64(60);
    QTest::newRow("still 60 s far on, no overflow") << 90 << qint64(60);
}

void DownloadOptionsTest::backoffDoublesUpToItsCap() {
    QFETCH(int, retry);
    QFETCH(qint64, seconds);
    QCOMPARE(retry::backoffMs(retry), seconds * retry::unitMs());
}

void DownloadOptionsTest::retryAfterIsReadOrIgnored_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("seconds"); // -1: the ordinary back-off applies

    QTest::newRow("seconds") << QByteArray("7") << qint64(7);
    QTest::newRow("blanks around seconds") << QByteArray(" 3 ") << qint64(3);
    QTest::newRow("an HTTP date 90 s ahead") << QByteArray("Wed, 09 Dec 2026 12:01:30 GMT") << qint64(90);
    QTest::newRow("an HTTP date in the past") << QByteArray("Wed, 09 Dec 2026 11:00:00 GMT") << qint64(-1);
    QTest::newRow("zero") << QByteArray("0") << qint64(-1);
    QTest::newRow("missing") << QByteArray() << qint64(-1);
    QTest::newRow("malformed") << QByteArray("soon") << qint64(-1);
    QTest::newRow("negative") << QByteArray("-5") << qint64(-1);
    QTest::newRow("a fraction") << QByteArray("1.5") << qint64(-1);
}

void DownloadOptionsTest::retryAfterIsReadOrIgnored() {
    QFETCH(QByteArray, value);
    QFETCH(qint64, seconds);
    const QDateTime now(QDate(2026, 12, 9), QTime(12, 0), Qt::UTC);
    const std::optional<qint64> ms = retry::retryAfterMs(value, now);
    if (seconds < 0)
        QVERIFY(!ms);
    else
        QCOMPARE(ms.value_or(-1), seconds * retry::unitMs());
}

void DownloadOptionsTest::onlyPassingFailuresAreRetried_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("retried");
    for (int status : {408, 429, 500, 502, 503, 504})
        QTest::addRow("HTTP %d is retried", status) << status << true;
    for (int status : {400, 401, 403, 404, 410, 501, 505})
        QTest::addRow("HTTP %d is final", status) << status << false;
}

void DownloadOptionsTest::onlyPassingFailuresAreRetried() {
    QFETCH(int, status);
    QFETCH(bool, retried);
    QCOMPARE(retry::retryableStatus(status), retried);
}

void DownloadOptionsTest::retriesFollowTheStatusNotItsWords_data() {
    QTest::addColumn<net::Result>("result");
    QTest::addColumn<bool>("retried");

    using net::Status;
    QTest::newRow("closed without answering") << net::Result(Status::NoAnswer) << true;
    QTest::newRow("unreachable server") << net::Result(Status::Connect, QStringLiteral("x")) << true;
    QTest::newRow("cut short") << net::Result(Status::CutShort) << true;
    QTest::newRow("chunk cut") << net::Result(Status::ChunkCut) << true;
    QTest::newRow("idle") << net::Result(Status::Idle) << true;
    QTest::newRow("too slow") << net::Result(Status::TooSlow) << true;
    QTest::newRow("503 passes") << net::Result(Status::HttpStatus, {}, 503) << true;
    QTest::newRow("404 stays") << net::Result(Status::HttpStatus, {}, 404) << false;
    QTest::newRow("words alone do not retry")
        << net::Result(Status::Failed, QStringLiteral("the server closed the connection without answering"))
        << false;
    QTest::newRow("a local file error")
        << net::Result(Status::LocalFile, QStringLiteral("Disk full")) << false;
    QTest::newRow("unknown host") << net::Result(Status::NameLookup, QStringLiteral("h")) << false;
    QTest::newRow("tls") << net::Result(Status::Tls) << false;
    QTest::newRow("too big") << net::Result(Status::TooBig) << false;
    QTest::newRow("cancelled") << net::Result(Status::Cancelled) << false;
}

void DownloadOptionsTest::retriesFollowTheStatusNotItsWords() {
    QFETCH(net::Result, result);
    QFETCH(bool, retried);
    QCOMPARE(retry::retryable(result), retried);
}

void DownloadOptionsTest::ratesAreReadAsCurlReadsThem_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("rate"); // -1: refused

    QTest::newRow("bytes per second") << QStringLiteral("2000") << qint64(2000);
    QTest::newRow("k is 1024") << QStringLiteral("500k") << qint64(500 * 1024);
    QTest::newRow("K too") << QStringLiteral("2K") << qint64(2048);
    QTest::newRow("M is 1024 squared") << QStringLiteral("1M") << qint64(1 << 20);
    QTest::newRow("G is 1024 cubed") << QStringLiteral("1g") << (qint64(1) << 30);
    QTest::newRow("a fraction with a suffix") << QStringLiteral("1.5M") << qint64(3 << 19);
    QTest::newRow("an unknown suffix") << QStringLiteral("5X") << qint64(-1);
    QTest::newRow("zero limits nothing") << QStringLiteral("0") << qint64(-1);
    QTest::newRow("a suffix alone") << QStringLiteral("k") << qint64(-1);
    QTest::newRow("negative") << QStringLiteral("-5k") << qint64(-1);
    QTest::newRow("blank") << QString() << qint64(-1);
}

void DownloadOptionsTest::ratesAreReadAsCurlReadsThem() {
    QFETCH(QString, text);
    QFETCH(qint64, rate);
    QCOMPARE(parseRate(text).value_or(-1), rate);
}

QTEST_GUILESS_MAIN(DownloadOptionsTest)
#include "tst_downloadoptions.moc"
