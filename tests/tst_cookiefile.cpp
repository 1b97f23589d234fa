// The look at a Netscape cookie file before libcurl is given its name.

#include "net/CookieFile.h"
#include "support/Files.h"

#include <QTemporaryDir>
#include <QtTest>

class CookieFileTest : public QObject {
    Q_OBJECT

private slots:
    void countsMalformedLines_data();
    void countsMalformedLines();
    void namesWhyAFileCannotBeRead();
};

void CookieFileTest::countsMalformedLines_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("malformed");
    const QByteArray good = "example.org\tFALSE\t/\tFALSE\t0\tsid\tabc\n";
    QTest::newRow("an empty file") << QByteArray() << 0;
    QTest::newRow("comments and blank lines are no cookies")
        << QByteArray("# Netscape HTTP Cookie File\n\n  \n") << 0;
    QTest::newRow("a cookie of seven fields") << good << 0;
    QTest::newRow("CRLF line ends") << QByteArray("example.org\tTRUE\t/\tTRUE\t1700000000\tsid\tabc\r\n")
                                    << 0;
    QTest::newRow("an HttpOnly cookie is no comment")
        << QByteArray("#HttpOnly_example.org\tFALSE\t/\tFALSE\t0\tsid\tabc\n") << 0;
    QTest::newRow("an HttpOnly line is checked as a cookie")
        << QByteArray("#HttpOnly_example.org\tFALSE\n") << 1;
    QTest::newRow("an empty value is a cookie")
        << QByteArray("example.org\tFALSE\t/\tFALSE\t0\tsid\t\n") << 0;
    QTest::newRow("six fields") << QByteArray("example.org\tFALSE\t/\tFALSE\t0\tsid\n") << 1;
    QTest::newRow("eight fields") << QByteArray("example.org\tFALSE\t/\tFALSE\t0\tsid\tv\tx\n") << 1;
    QTest::newRow("blanks instead of tabs") << QByteArray("example.org FALSE / FALSE 0 sid abc\n") << 1;
    QTest::newRow("an expiry that is no number")
        << QByteArray("example.org\tFALSE\t/\tFALSE\tsoon\tsid\tv\n") << 1;
    QTest::newRow("flags are TRUE or FALSE") << QByteArray("example.org\tyes\t/\tFALSE\t0\tsid\tv\n") << 1;
    QTest::newRow("the secure flag too") << QByteArray("example.org\tTRUE\t/\ttrue\t0\tsid\tv\n") << 1;
    QTest::newRow("a cookie needs a domain") << QByteArray("\tFALSE\t/\tFALSE\t0\tsid\tv\n") << 1;
    QTest::newRow("a cookie needs a name") << QByteArray("example.org\tFALSE\t/\tFALSE\t0\t\tv\n") << 1;
    QTest::newRow("each bad line counts once") << QByteArray("junk\n" + good + "more junk\n") << 2;
}

void CookieFileTest::countsMalformedLines() {
    QFETCH(QByteArray, content);
    QFETCH(int, malformed);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("cookies.txt"));
    QVERIFY(writeFile(path, content));
    const net::CookieFileCheck check = net::checkCookieFile(path);
    QVERIFY(check.readable);
    QVERIFY(check.problem.isEmpty());
    QCOMPARE(check.malformedLines, malformed);
    // Looked at, never written.
    QCOMPARE(readAll(path), content);
}

void CookieFileTest::namesWhyAFileCannotBeRead() {
    QTemporaryDir dir;
    net::CookieFileCheck check = net::checkCookieFile(dir.path());
    QVERIFY(!check.readable);
    QVERIFY2(check.problem.startsWith(QStringLiteral("cannot read ")), qPrintable(check.problem));
    QVERIFY2(check.problem.endsWith(QStringLiteral(": it is a folder")), qPrintable(check.problem));
    check = net::checkCookieFile(dir.filePath(QStringLiteral("none.txt")));
    QVERIFY(!check.readable);
    QVERIFY2(check.problem.contains(QStringLiteral("none.txt")), qPrintable(check.problem));
}

QTEST_GUILESS_MAIN(CookieFileTest)
#include "tst_cookiefile.moc"
