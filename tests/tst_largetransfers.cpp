// Large bodies from a real nginx, many times in a row, by the built program: a transfer that
// waits for its reader must never be taken for a silent server, and none may stall. Each run
// says how long it took. Only in the normal build: sanitized, these would take minutes.

#include "support/CliRunner.h"
#include "support/Nginx.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 MiB = 1 << 20;
// Every run must end well before this: a stall waits 30 s for the idle time-out.
constexpr int runLimitMs = 20000;

// A file of size bytes: one random mebibyte repeated, each copy stamped with its index, so a
// lost, doubled or shifted piece changes the hash.
bool writeImage(const QString& path, qint64 size) {
    QByteArray block(MiB, Qt::Uninitialized);
    auto* words = reinterpret_cast<quint32*>(block.data());
    QRandomGenerator::global()->fillRange(words, MiB / 4);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (qint64 at = 0; at < size; at += MiB) {
        const qint64 index = at / MiB;
        std::memcpy(block.data(), &index, sizeof index);
        if (file.write(block.constData(), qMin(MiB, size - at)) != qMin(MiB, size - at))
            return false;
    }
    return true;
}

QByteArray hashOf(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

bool writeText(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

} // namespace

class TestLargeTransfers : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void oneLargeImageTenTimes();
    void sixteenImagesInOneRun_data();
    void sixteenImagesInOneRun();
    void largePageListedTenTimes();

private:
    QTemporaryDir m_site;
    QTemporaryDir m_out;
    std::unique_ptr<Nginx> m_nginx;
};

void TestLargeTransfers::initTestCase() {
    QVERIFY(QFileInfo(varnoluxExecutable()).isExecutable());
    QVERIFY(m_site.isValid() && m_out.isValid());
    m_nginx = std::make_unique<Nginx>(m_site.path(), "sendfile on;\ntcp_nopush on;\n");
    VARNOLUX_START_NGINX_OR_SKIP(*m_nginx);
}

void TestLargeTransfers::oneLargeImageTenTimes() {
    QDir site(m_site.path());
    QVERIFY(site.mkpath(QStringLiteral("big")));
    const QString image = site.filePath(QStringLiteral("big/large.jpg"));
    QVERIFY(writeImage(image, 256 * MiB));
    QVERIFY(writeText(site.filePath(QStringLiteral("big/index.html")), "<img src=\"large.jpg\">"));
    const QByteArray expected = hashOf(image);

    const QString saved = QDir(m_out.path()).filePath(QStringLiteral("large.jpg"));
    CliOptions options;
    options.timeLimitMs = runLimitMs;
    for (int run = 1; run <= 10; ++run) {
        QElapsedTimer clock;
        clock.start();
        const CliResult r = runVarnolux(
            {QStringLiteral("download"), QString::fromLatin1(m_nginx->base() + "/big/"), m_out.path()},
            options);
        const qint64 ms = clock.elapsed();
        qInfo("256 MiB image, run %d: %lld ms", run, ms);
        QVERIFY2(r.finished && r.exitCode == 0,
                 qPrintable(
                     QStringLiteral("run %1: %2 %3").arg(run).arg(r.errorString, QString::fromUtf8(r.err))));
        QCOMPARE(hashOf(saved), expected);
        QVERIFY(QFile::remove(saved));
    }
    QVERIFY(QFile::remove(image));
}

void TestLargeTransfers::sixteenImagesInOneRun_data() {
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("one after another") << QStringList();
    QTest::newRow("four at once") << QStringList{QStringLiteral("--parallel"), QStringLiteral("4")};
}

void TestLargeTransfers::sixteenImagesInOneRun() {
    QFETCH(QStringList, extra);
    QDir site(m_site.path());
    QDir(site.filePath(QStringLiteral("many"))).removeRecursively();
    QVERIFY(site.mkpath(QStringLiteral("many")));
    // One file under sixteen names: nginx serves each as its own image.
    const QString image = site.filePath(QStringLiteral("many/source.bin"));
    QVERIFY(writeImage(image, 64 * MiB));
    const QByteArray expected = hashOf(image);
    QByteArray page;
    for (int i = 1; i <= 16; ++i) {
        const QString name = QStringLiteral("image%1.jpg").arg(i);
        QVERIFY(QFile::link(image, site.filePath(QStringLiteral("many/") + name)));
        page += "<img src=\"" + name.toLatin1() + "\">\n";
    }
    QVERIFY(writeText(site.filePath(QStringLiteral("many/index.html")), page));

    CliOptions options;
    options.timeLimitMs = 4 * runLimitMs;
    QElapsedTimer clock;
    clock.start();
    const CliResult r =
        runVarnolux(QStringList{QStringLiteral("download")} + extra +
                        QStringList{QString::fromLatin1(m_nginx->base() + "/many/"), m_out.path()},
                    options);
    qInfo("%lld ms", clock.elapsed());
    QVERIFY2(r.finished && r.exitCode == 0, qPrintable(r.errorString + QString::fromUtf8(r.err)));
    for (int i = 1; i <= 16; ++i) {
        const QString saved = QDir(m_out.path()).filePath(QStringLiteral("image%1.jpg").arg(i));
        QCOMPARE(hashOf(saved), expected);
        QVERIFY(QFile::remove(saved));
    }
}

void TestLargeTransfers::largePageListedTenTimes() {
    QDir site(m_site.path());
    QVERIFY(site.mkpath(QStringLiteral("page")));
    // 100 MB of text between two image links, so only the fetch and the scan take time.
    QByteArray filler;
    for (int i = 0; filler.size() < int(MiB); ++i)
        filler += "<p>Line " + QByteArray::number(i) + " of a long page, with nothing to list.</p>\n";
    filler.truncate(MiB);
    {
        QFile file(site.filePath(QStringLiteral("page/index.html")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<img src=\"first.jpg\">\n");
        for (int i = 0; i < 100; ++i)
            QCOMPARE(file.write(filler), filler.size());
        file.write("<img src=\"last.gif\">\n");
    }
    const QByteArray base = m_nginx->base() + "/page/";
    const QByteArray listed = base + "first.jpg\n" + base + "last.gif\n";

    CliOptions options;
    options.timeLimitMs = runLimitMs;
    for (int run = 1; run <= 10; ++run) {
        QElapsedTimer clock;
        clock.start();
        const CliResult r =
            runVarnolux({QStringLiteral("list"), QString::fromLatin1(base + "index.html")}, options);
        qInfo("100 MB page, list run %d: %lld ms", run, clock.elapsed());
        QVERIFY2(r.finished && r.exitCode == 0,
                 qPrintable(
                     QStringLiteral("run %1: %2 %3").arg(run).arg(r.errorString, QString::fromUtf8(r.err))));
        QCOMPARE(r.out, listed);
    }
}

QTEST_GUILESS_MAIN(TestLargeTransfers)
#include "tst_largetransfers.moc"
