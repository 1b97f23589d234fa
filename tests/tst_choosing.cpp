// Choosing what to keep, as a user runs the built program against a loopback server: patterns
// over the listed links, names made from a template, duplicates by content.

#include "support/CliRunner.h"
#include "support/Files.h"
#include "support/TestServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using namespace Qt::StringLiterals;

QStringList lines(const QByteArray& out) {
    QStringList found = QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
    return found;
}

// Every file under the folder, as paths relative to it, sorted; hidden ones (part files) too.
QStringList filesUnder(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

// The page every listing test reads: links whose last parts tell them apart.
const QByteArray gallery =
    "<img src=\"/big/cat.jpg\"><img src=\"/thumbs/cat.jpg\"><img src=\"/big/dog.gif\">"
    "<img src=\"/big/bird.JPG\"><img src=\"/thumbs/dog.gif\"><a href=\"/big/x.png\">x</a>";

} // namespace

class ChoosingTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void patternsChooseLinks_data();
    void patternsChooseLinks();
    void badPatternIsRefused_data();
    void badPatternIsRefused();
};

void ChoosingTest::initTestCase() {
    QVERIFY(QFileInfo(varnoluxExecutable()).isExecutable());
}

void ChoosingTest::patternsChooseLinks_data() {
    QTest::addColumn<QStringList>("options");
    // The last two "/"-parts of each link listed, in order.
    QTest::addColumn<QStringList>("expected");

    const QStringList all{u"big/cat.jpg"_s, u"thumbs/cat.jpg"_s, u"big/dog.gif"_s, u"big/bird.JPG"_s,
                          u"thumbs/dog.gif"_s};
    QTest::newRow("no pattern lists what the type filter passes") << QStringList{} << all;
    QTest::newRow("a match keeps only links it is found in")
        << QStringList{u"--match"_s, u"/big/"_s}
        << QStringList{u"big/cat.jpg"_s, u"big/dog.gif"_s, u"big/bird.JPG"_s};
    QTest::newRow("two matches keep a link either finds")
        << QStringList{u"--match"_s, u"cat"_s, u"--match=bird"_s}
        << QStringList{u"big/cat.jpg"_s, u"thumbs/cat.jpg"_s, u"big/bird.JPG"_s};
    QTest::newRow("an exclude leaves out what it finds")
        << QStringList{u"--exclude"_s, u"thumbs"_s}
        << QStringList{u"big/cat.jpg"_s, u"big/dog.gif"_s, u"big/bird.JPG"_s};
    QTest::newRow("an exclude wins over a match")
        << QStringList{u"--match"_s, u"cat"_s, u"--exclude"_s, u"thumbs"_s} << QStringList{u"big/cat.jpg"_s};
    QTest::newRow("letter case counts unless the pattern says otherwise")
        << QStringList{u"--match"_s, u"\\.jpg$"_s} << QStringList{u"big/cat.jpg"_s, u"thumbs/cat.jpg"_s};
    QTest::newRow("(?i) ignores letter case")
        << QStringList{u"--match"_s, u"(?i)\\.jpg$"_s}
        << QStringList{u"big/cat.jpg"_s, u"thumbs/cat.jpg"_s, u"big/bird.JPG"_s};
    QTest::newRow("patterns come after the type filter: a matching PNG stays out")
        << QStringList{u"--match"_s, u"x\\.png"_s} << QStringList{};
    QTest::newRow("the pattern sees the absolute link, host included")
        << QStringList{u"--match"_s, u"^http://127\\.0\\.0\\.1:[0-9]+/thumbs/"_s}
        << QStringList{u"thumbs/cat.jpg"_s, u"thumbs/dog.gif"_s};
}

void ChoosingTest::patternsChooseLinks() {
    QFETCH(QStringList, options);
    QFETCH(QStringList, expected);
    TestServer server;
    server.route("/gallery.html", serve::ok(gallery));
    const CliResult listed = runVarnolux(QStringList{u"list"_s} + options +
                                         QStringList{QString::fromUtf8(server.address("/gallery.html"))});
    QVERIFY2(listed.finished, qPrintable(listed.errorString));
    QVERIFY2(listed.exitCode == 0, listed.err.constData());
    QStringList tails;
    for (const QString& line : lines(listed.out))
        tails << line.section(u'/', -2);
    QCOMPARE(tails, expected);

    // The download run saves exactly what the listing lists, and --input reads through the same
    // patterns.
    QTemporaryDir folder;
    const CliResult saved =
        runVarnolux(QStringList{u"download"_s} + options +
                    QStringList{QString::fromUtf8(server.address("/gallery.html")), folder.path()});
    QCOMPARE(saved.exitCode, expected.isEmpty() ? 0 : 1); // the test server has no images: 404s
    QCOMPARE(int(server.requests().size()), 2 + expected.size());

    QTemporaryDir inputFolder;
    QByteArray links;
    for (const char* path :
         {"/big/cat.jpg", "/thumbs/cat.jpg", "/big/dog.gif", "/big/bird.JPG", "/thumbs/dog.gif"})
        links += server.address(path) + '\n';
    server.clearRequests();
    CliOptions input;
    input.input = links;
    const CliResult fromInput = runVarnolux(
        QStringList{u"download"_s, u"--input"_s, u"-"_s} + options + QStringList{inputFolder.path()}, input);
    QStringList asked;
    for (const RecordedRequest& request : server.requests())
        asked << QString::fromUtf8(request.path).section(u'/', -2);
    QCOMPARE(asked, expected);
    Q_UNUSED(fromInput);
}

void ChoosingTest::badPatternIsRefused_data() {
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("an unclosed group in --match") << u"--match"_s << u"(big"_s;
    QTest::newRow("an unclosed class in --exclude") << u"--exclude"_s << u"[a-"_s;
    QTest::newRow("a quantifier with nothing before it") << u"--match"_s << u"*.jpg"_s;
    QTest::newRow("an unknown escape") << u"--exclude"_s << u"\\k"_s;
}

void ChoosingTest::badPatternIsRefused() {
    QFETCH(QString, option);
    QFETCH(QString, pattern);
    TestServer server;
    server.route("/gallery.html", serve::ok(gallery));
    QTemporaryDir folder;
    for (const QStringList& command :
         {QStringList{u"list"_s, option, pattern, QString::fromUtf8(server.address("/gallery.html"))},
          QStringList{u"download"_s, option, pattern, QString::fromUtf8(server.address("/gallery.html")),
                      folder.path()}}) {
        const CliResult refused = runVarnolux(command);
        QCOMPARE(refused.exitCode, 2);
        const QString err = QString::fromUtf8(refused.err);
        QVERIFY2(err.contains(option) && err.contains(pattern), qPrintable(err));
        QVERIFY(refused.out.isEmpty());
    }
    // Refused before anything is fetched.
    QCOMPARE(server.requests().size(), 0);
    QCOMPARE(filesUnder(folder.path()), QStringList{});
}

QTEST_GUILESS_MAIN(ChoosingTest)
#include "tst_choosing.moc"
