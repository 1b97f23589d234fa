// The rules of a run set-up that no single request shows: which Referer the images get, and what
// each transfer of a lane may take of the run's rate.
#include "net/RunSetup.h"

#include <QDir>
#include <QTest>

class RunSetupTest : public QObject {
    Q_OBJECT
private slots:
    void refererOfTheImages_data();
    void refererOfTheImages();
    void lanesShareTheRate_data();
    void lanesShareTheRate();
    void cookieFileIsNamedByItsFullPath();
};

namespace {

class NoTransfers : public net::TransferFactory {
public:
    std::unique_ptr<net::Transfer> create() override { return nullptr; }
};

} // namespace

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
    NoTransfers transfers;
    net::RunOptions options;
    options.sendReferer = sendReferer;
    options.referer = given;
    const net::RunSetup setup(
        transfers, [] { return std::make_unique<NoTransfers>(); }, options);
    QTEST(setup.refererFor(page), "expected");
}

void RunSetupTest::lanesShareTheRate_data() {
    QTest::addColumn<qint64>("rate");
    QTest::addColumn<int>("lanes");
    QTest::addColumn<qint64>("perLane");
    QTest::newRow("no limit stays no limit") << qint64(0) << 4 << qint64(0);
    QTest::newRow("one lane takes it all") << qint64(1000) << 1 << qint64(1000);
    QTest::newRow("four lanes a quarter each") << qint64(1000) << 4 << qint64(250);
    // Rounding down to 0 would lift the limit altogether.
    QTest::newRow("never less than a byte a second") << qint64(3) << 16 << qint64(1);
}

void RunSetupTest::lanesShareTheRate() {
    QFETCH(qint64, rate);
    QFETCH(int, lanes);
    net::RunOptions options;
    options.limitRate = rate;
    QTEST(net::requestDefaults(options, lanes).maxBytesPerSecond, "perLane");
    // The page and a run one image after another keep the whole rate.
    QCOMPARE(net::requestDefaults(options).maxBytesPerSecond, rate);
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
