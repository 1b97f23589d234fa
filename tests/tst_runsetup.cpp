// The rules of a run set-up that no single request shows: which Referer the images get, and what
// each transfer of a lane may take of the run's rate.
#include "net/CurlLoop.h"
#include "net/RateLimit.h"
#include "net/RunSetup.h"
#include "support/ScriptedTransfers.h"

#include <QDir>
#include <QTest>

class RunSetupTest : public QObject {
    Q_OBJECT
private slots:
    void refererOfTheImages_data();
    void refererOfTheImages();
    void theImagesShareThePagesRate_data();
    void theImagesShareThePagesRate();
    void cookieFileIsNamedByItsFullPath();
};

namespace {} // namespace

void RunSetupTest::refererOfTheImages_data() {
    QTest::addColumn<bool>("sendReferer");
    QTest::addColumn<QByteArray>("given");
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray page = "http://a.test/g/";
    const QByteArray given = "http://b.test/";
    QTest::newRow("the page by default") << true << QByteArray() << page << page;
    QTest::newRow("none when the page is not to be sent") << false << QByteArray() << page << QByteArray();
    QTest::newRow("none for links that came without a page")
        << true << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("a given one for links without a page") << true << given << QByteArray() << given;
    QTest::newRow("a given one even when the page is not sent") << false << given << QByteArray() << given;
}

void RunSetupTest::refererOfTheImages() {
    QFETCH(bool, sendReferer);
    QFETCH(QByteArray, given);
    QFETCH(QByteArray, page);
    ScriptedTransfers loop;
    net::RunOptions options;
    options.sendReferer = sendReferer;
    options.referer = given;
    const net::RunSetup setup(loop, options);
    QTEST(setup.refererFor(page), "expected");
}

void RunSetupTest::theImagesShareThePagesRate_data() {
    QTest::addColumn<qint64>("rate");
    QTest::addColumn<bool>("eachLink");
    QTest::newRow("no limit stays no limit") << qint64(0) << false;
    QTest::newRow("a limit is one budget for the page and the images") << qint64(1000) << false;
    QTest::newRow("links without a page keep their own origins on the loop") << qint64(1000) << true;
}

void RunSetupTest::theImagesShareThePagesRate() {
    QFETCH(qint64, rate);
    QFETCH(bool, eachLink);
    net::RunOptions options;
    options.limitRate = rate;
    options.credentialsForEachLink = eachLink;
    options.parallel = 4;
    const net::NetworkRun network(options);
    // The page and the images go over the one loop and draw on its one budget, never a share of
    // their own: a share would let the images take more than the rate, and round a small rate
    // down to no limit.
    const auto& loop = dynamic_cast<const net::CurlLoop&>(network.setup().loop());
    const std::shared_ptr<net::RateLimit> budget = loop.defaults().rateLimit;
    QCOMPARE(bool(budget), rate > 0);
    if (budget)
        QCOMPARE(budget->bytesPerSecond(), rate);
    QCOMPARE(loop.defaults().credentialsForEachLink, eachLink);
}

void RunSetupTest::cookieFileIsNamedByItsFullPath() {
    net::RunOptions options;
    options.userAgent = "Probe/1";
    options.headers = {"X-Probe: yes"};
    options.cookieFile = QStringLiteral("cookies.txt");
    const net::CurlDefaults defaults = net::requestDefaults(options);
    // libcurl reads the file later, wherever the program's current folder is then.
    QCOMPARE(defaults.cookieFile,
             QFile::encodeName(QDir::current().absoluteFilePath(QStringLiteral("cookies.txt"))));
    QCOMPARE(defaults.userAgent, QByteArray("Probe/1"));
    QCOMPARE(defaults.headers, QList<QByteArray>{"X-Probe: yes"});
    QVERIFY(net::requestDefaults(net::RunOptions()).cookieFile.isEmpty());
}

QTEST_GUILESS_MAIN(RunSetupTest)
#include "tst_runsetup.moc"
