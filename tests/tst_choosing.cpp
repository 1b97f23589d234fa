// Choosing what to keep, as a user runs the built program against a loopback server: patterns
// over the listed links, names made from a template, duplicates by content.

#include "support/CliRunner.h"
#include "support/Files.h"
#include "support/ImageBytes.h"
#include "support/TestServer.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

using namespace Qt::StringLiterals;
using namespace imagebytes;

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
    void templateNamesFiles_data();
    void templateNamesFiles();
    void namesFromThePage_data();
    void namesFromThePage();
    void followedPagesNameTheirImages_data();
    void followedPagesNameTheirImages();
    void badTemplateIsRefused_data();
    void badTemplateIsRefused();
    void dedupeKeepsOneCopy_data();
    void dedupeKeepsOneCopy();
    void sameNameEntriesInParallel_data();
    void sameNameEntriesInParallel();
    void dedupeInParallel_data();
    void dedupeInParallel();
    void aCopyOfWhatWasNotSavedIsSaved();
    void limitsChooseByWhatImagesAre_data();
    void limitsChooseByWhatImagesAre();
    void listProbesTheStartOnly();
    void probeNeverAwaitsWhatItDoesNotRead_data();
    void probeNeverAwaitsWhatItDoesNotRead();
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

namespace {

const QByteArray pngBytes = QByteArray("\x89PNG\r\n\x1A\n", 8) + QByteArray(100, 'p');
const QByteArray gifBytes = "GIF89a" + QByteArray(100, 'g');
const QByteArray jpegBytes = QByteArray("\xFF\xD8\xFF\xE0", 4) + QByteArray(100, 'j');
const QByteArray webpBytes = QByteArray("RIFF\x10\0\0\0WEBPVP8 ", 16) + QByteArray(100, 'w');

// The server's images: path -> body, all served as application/octet-stream unless the path
// says ".html".
void serveImages(TestServer& server) {
    const QList<std::pair<QByteArray, QByteArray>> images{
        {"/img/a.png", pngBytes},       {"/img/b", gifBytes},
        {"/img/c", "plain bytes"},      {"/img/photo.jpg", webpBytes},
        {"/img/photo.jpeg", jpegBytes}, {"/img/same1.png", pngBytes},
        {"/other/same2.png", pngBytes}, {"/img/q.png?size=large", pngBytes}};
    for (const auto& [path, body] : images)
        server.route(path, serve::ok(body, "application/octet-stream"));
    server.route("/img/typed", serve::ok(jpegBytes.mid(3), "image/jpeg"));
    server.setFallback([](const RecordedRequest&) { return serve::ok(pngBytes, "image/png"); });
}

// Runs download --input with the links (paths on the server) into folder.
CliResult downloadLinks(TestServer& server, const QList<QByteArray>& paths, const QStringList& options,
                        const QString& folder) {
    QByteArray links;
    for (const QByteArray& path : paths)
        links += server.address(path) + '\n';
    CliOptions input;
    input.input = links;
    return runVarnolux(QStringList{u"download"_s, u"--input"_s, u"-"_s} + options + QStringList{folder},
                       input);
}

QString sha256Of(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

void ChoosingTest::templateNamesFiles_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<QByteArray>>("paths");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says"); // on standard error, or empty

    using Paths = QList<QByteArray>;
    QTest::newRow("{name} names files as always")
        << QStringList{u"--output"_s, u"{name}"_s} << Paths{"/img/a.png", "/img/b"}
        << QStringList{u"a.png"_s, u"b"_s} << 0 << QString();
    QTest::newRow("folders and a zero-padded index")
        << QStringList{u"--output"_s, u"{host}/{index:03}-{stem}.{ext}"_s}
        << Paths{"/img/a.png", "/img/photo.jpeg"}
        << QStringList{u"127.0.0.1/001-a.png"_s, u"127.0.0.1/002-photo.jpeg"_s} << 0 << QString();
    QTest::newRow("{ext} the link lacks comes from the body's first bytes")
        << QStringList{u"--output"_s, u"{stem}.{ext}"_s} << Paths{"/img/b"} << QStringList{u"b.gif"_s} << 0
        << QString();
    QTest::newRow("{ext} the link lacks comes from the Content-Type when the bytes do not tell")
        << QStringList{u"--output"_s, u"{stem}.{ext}"_s} << Paths{"/img/typed"} << QStringList{u"typed.jpg"_s}
        << 0 << QString();
    QTest::newRow("an unknown {ext} takes its dot with it")
        << QStringList{u"--output"_s, u"{stem}.{ext}"_s} << Paths{"/img/c"} << QStringList{u"c"_s} << 0
        << QString();
    QTest::newRow("the query is no part of {stem} and {ext}")
        << QStringList{u"--output"_s, u"{stem}-large.{ext}"_s} << Paths{"/img/q.png?size=large"}
        << QStringList{u"q-large.png"_s} << 0 << QString();
    QTest::newRow("{sha256:N} names the content")
        << QStringList{u"--output"_s, u"by-hash/{sha256:12}.{ext}"_s} << Paths{"/img/a.png"}
        << QStringList{u"by-hash/"_s + sha256Of(pngBytes).left(12) + u".png"_s} << 0 << QString();
    QTest::newRow("{width} and {height} from the image's first bytes")
        << QStringList{u"--output"_s, u"{width}x{height}/{name}"_s} << Paths{"/img/real.png"}
        << QStringList{u"320x200/real.png"_s} << 0 << QString();
    QTest::newRow("{width} and {height} of what cannot be read are empty")
        << QStringList{u"--output"_s, u"{stem}-{width}x{height}.{ext}"_s} << Paths{"/img/a.png"}
        << QStringList{u"a-x.png"_s} << 0 << QString();
    QTest::newRow("braces doubled are braces")
        << QStringList{u"--output"_s, u"{{{index}}}.{ext}"_s} << Paths{"/img/a.png"}
        << QStringList{u"{1}.png"_s} << 0 << QString();
    QTest::newRow("a field that would be '..' becomes '_' and the line says so")
        << QStringList{u"--output"_s, u"x/{name}"_s} << Paths{"/img/.."} << QStringList{u"x/_"_s} << 0
        << u"{name} would make an unsafe name"_s;
    QTest::newRow("a field that would turn the text around becomes '_'")
        << QStringList{u"--output"_s, u"{stem}.{ext}"_s} << Paths{"/img/\xE2\x80\xAEgnp.exe"}
        << QStringList{u"_.exe"_s} << 0 << u"{stem} would make an unsafe name"_s;
    QTest::newRow("an empty result fails the entry with a reason")
        << QStringList{u"--output"_s, u"{page_host}"_s} << Paths{"/img/a.png"} << QStringList{} << 1
        << u"empty name"_s;
    QTest::newRow("a folder that is a symbolic link is not entered")
        << QStringList{u"--output"_s, u"link/{name}"_s} << Paths{"/img/a.png"} << QStringList{} << 1
        << u"symbolic link"_s;
    QTest::newRow("--on-exists rename numbers a name made from a template in its own folder")
        << QStringList{u"--output"_s, u"sub/{stem}.webp"_s, u"--on-exists"_s, u"rename"_s}
        << Paths{"/img/photo.jpg"}
        << QStringList{u"photo.webp"_s, u"sub/photo (1).webp"_s, u"sub/photo.webp"_s} << 0 << QString();
    QTest::newRow("--fix-ext: a WebP body under .jpg is saved as .webp")
        << QStringList{u"--fix-ext"_s} << Paths{"/img/photo.jpg"} << QStringList{u"photo.webp"_s} << 0
        << QString();
    QTest::newRow("--fix-ext: .jpeg of a JPEG stays")
        << QStringList{u"--fix-ext"_s} << Paths{"/img/photo.jpeg"} << QStringList{u"photo.jpeg"_s} << 0
        << QString();
    QTest::newRow("--fix-ext: a name without an extension gets one")
        << QStringList{u"--fix-ext"_s} << Paths{"/img/b"} << QStringList{u"b.gif"_s} << 0 << QString();
    QTest::newRow("--fix-ext with --on-exists rename takes the next free fixed name")
        << QStringList{u"--fix-ext"_s, u"--on-exists"_s, u"rename"_s} << Paths{"/img/photo.jpg"}
        << QStringList{u"photo (1).webp"_s, u"photo.webp"_s} << 0 << QString();
    QTest::newRow("--fix-ext with --on-exists skip keeps what exists under the fixed name")
        << QStringList{u"--fix-ext"_s, u"--on-exists"_s, u"skip"_s} << Paths{"/img/photo.jpg"}
        << QStringList{u"photo.webp"_s} << 0 << u"the file exists"_s;
}

void ChoosingTest::templateNamesFiles() {
    QFETCH(QStringList, options);
    QFETCH(QList<QByteArray>, paths);
    QFETCH(QStringList, files);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    TestServer server;
    serveImages(server);
    server.route("/img/real.png", serve::ok(realPng(320, 200), "image/png"));
    QTemporaryDir outside;
    const QString folder = outside.filePath(u"into"_s);
    QVERIFY(QDir().mkpath(folder));
    // A file already there under the fixed name, for the --on-exists rows; a planted link for the
    // symbolic-link row.
    if (options.contains(u"--on-exists"_s))
        QVERIFY(writeFile(folder + u"/photo.webp"_s, "before"));
    if (options.contains(u"sub/{stem}.webp"_s))
        QVERIFY(writeFile(folder + u"/sub/photo.webp"_s, "before"));
    if (options.contains(u"link/{name}"_s))
        QVERIFY(QFile::link(outside.path(), folder + u"/link"_s));
    const CliResult result = downloadLinks(server, paths, options, folder);
    QVERIFY2(result.finished, qPrintable(result.errorString));
    QVERIFY2(result.exitCode == exitCode, result.err.constData());
    QCOMPARE(filesUnder(folder), files);
    if (!says.isEmpty())
        QVERIFY2(QString::fromUtf8(result.err).contains(says), result.err.constData());
    // Nothing was written beside the folder, through the link or otherwise.
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{u"into"_s});
    if (options.contains(u"--on-exists"_s))
        QCOMPARE(readAll(folder + u"/photo.webp"_s), QByteArray("before"));
}

void ChoosingTest::namesFromThePage_data() {
    QTest::addColumn<QString>("find");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("says"); // on standard error, or empty

    const QByteArray longText = "x" + QByteArray(10000, 'a');
    QByteArray accents = "x";
    for (int i = 0; i < 100; ++i)
        accents += "\xC3\xA9"; // é: two bytes each, the cut falls inside one
    for (const char* find : {"classic", "browser"}) {
        const QString mode = QString::fromLatin1(find);
        QTest::addRow("%s: {alt} of the img names its file", find)
            << mode << u"{alt}.{ext}"_s << QByteArray("<img src=\"/i/a.jpg\" alt=\"A cat\">")
            << QStringList{u"A cat.jpg"_s} << QString();
        QTest::addRow("%s: the first img of a link gives its alt", find)
            << mode << u"{alt}.{ext}"_s
            << QByteArray("<img src=\"/i/a.jpg\" alt=\"first\"><p><img src=\"/i/a.jpg\" alt=\"second\">")
            << QStringList{u"first.jpg"_s} << QString();
        QTest::addRow("%s: a link no img gave has no alt", find)
            << mode << u"{index}-{alt}.{ext}"_s
            << QByteArray("<a href=\"/i/a.jpg\">a</a><img src=\"/i/b.jpg\" alt=\"b\"><img src=\"/i/c.jpg\">")
            << QStringList{u"1-.jpg"_s, u"2-b.jpg"_s, u"3-.jpg"_s} << QString();
        QTest::addRow("%s: {page_title} with its references decoded and white space collapsed", find)
            << mode << u"{page_title}/{name}"_s
            << QByteArray("<title>\n  Tom &amp;\t Jerry </title><img src=\"/i/a.jpg\">")
            << QStringList{u"Tom & Jerry/a.jpg"_s} << QString();
        QTest::addRow("%s: a page without a title is named by its host", find)
            << mode << u"{page_title}/{name}"_s << QByteArray("<title> </title><img src=\"/i/a.jpg\">")
            << QStringList{u"127.0.0.1/a.jpg"_s} << QString();
        QTest::addRow("%s: the document's title, not an SVG's", find)
            << mode << u"{page_title}/{name}"_s
            << QByteArray("<svg><title>drawing</title></svg><title>Real</title><img src=\"/i/a.jpg\">")
            << QStringList{u"Real/a.jpg"_s} << QString();
        QTest::addRow("%s: '/' and '..' in an alt stay inside the folder", find)
            << mode << u"{alt}.{ext}"_s << QByteArray("<img src=\"/i/a.jpg\" alt=\"../../etc/passwd\">")
            << QStringList{u"___.._etc_passwd.jpg"_s} << u"{alt} held characters a file name cannot"_s;
        QTest::addRow("%s: an alt of dots makes no hidden file", find)
            << mode << u"{alt}.{ext}"_s << QByteArray("<img src=\"/i/a.jpg\" alt=\".profile\">")
            << QStringList{u"_profile.jpg"_s} << u"{alt} began with '.'"_s;
        QTest::addRow("%s: an empty alt makes no hidden file", find)
            << mode << u"{alt}.{ext}"_s << QByteArray("<img src=\"/i/a.jpg\">") << QStringList{u"_.jpg"_s}
            << u"so the name is not hidden"_s;
        QTest::addRow("%s: an alt of '..' is '_'", find)
            << mode << u"d/{alt}"_s << QByteArray("<img src=\"/i/a.jpg\" alt=\"..\">")
            << QStringList{u"d/_"_s} << u"{alt} would make an unsafe name"_s;
        QTest::addRow("%s: a title of '/' is '_'", find)
            << mode << u"{page_title}/{name}"_s << QByteArray("<title>/</title><img src=\"/i/a.jpg\">")
            << QStringList{u"_/a.jpg"_s} << u"{page_title} held characters"_s;
        QTest::addRow("%s: control characters in a title", find)
            << mode << u"{page_title}.{ext}"_s
            << QByteArray("<title>a&#1;b&#x7f;c</title><img src=\"/i/a.jpg\">") << QStringList{u"a_b_c.jpg"_s}
            << u"{page_title} held characters"_s;
        QTest::addRow("%s: a NUL in an alt never reaches the name", find)
            << mode << u"{alt}.{ext}"_s << QByteArray("<img src=\"/i/a.jpg\" alt=\"a&#0;b\">")
            << QStringList{u"a\uFFFDb.jpg"_s} << QString();
        QTest::addRow("%s: a text-direction override in an alt", find)
            << mode << u"{alt}.{ext}"_s << QByteArray("<img src=\"/i/a.jpg\" alt=\"x&#x202E;gnp.exe\">")
            << QStringList{u"x_gnp.exe.jpg"_s} << u"{alt} held characters"_s;
        QTest::addRow("%s: an alt of 10,000 characters is cut", find)
            << mode << u"{alt}.{ext}"_s << "<img src=\"/i/a.jpg\" alt=\"" + longText + "\">"
            << QStringList{QString::fromLatin1(longText.left(120)) + u".jpg"_s}
            << u"{alt} was cut to 120 bytes"_s;
        QTest::addRow("%s: a title of 10,000 characters and an alt both fit one name", find)
            << mode << u"{page_title} - {alt}.{ext}"_s
            << "<title>" + longText + "</title><img src=\"/i/a.jpg\" alt=\"" + longText + "\">"
            << QStringList{QString::fromLatin1(longText.left(120) + " - " + longText.left(120)) + u".jpg"_s}
            << u"{page_title} was cut to 120 bytes"_s;
        QTest::addRow("%s: an alt is cut at a character's end", find)
            << mode << u"{alt}.{ext}"_s << "<img src=\"/i/a.jpg\" alt=\"" + accents + "\">"
            << QStringList{QString::fromUtf8(accents.left(119)) + u".jpg"_s} << u"was cut"_s;
    }
    QTest::newRow("browser: an alt follows the src through the page's base")
        << u"browser"_s << u"{alt}.{ext}"_s
        << QByteArray("<base href=\"/i/\"><img src=\"a.jpg\" alt=\"based\">") << QStringList{u"based.jpg"_s}
        << QString();
    QTest::newRow("browser: a srcset's candidates carry the img's alt, a source's do not")
        << u"browser"_s << u"{alt}-{name}"_s
        << QByteArray("<picture><source srcset=\"/i/s.jpg\"><img src=\"/i/a.jpg\" srcset=\"/i/b.jpg 2x\" "
                      "alt=\"pic\"></picture><div style=\"background:url(/i/c.jpg)\"></div>")
        << QStringList{u"-c.jpg"_s, u"-s.jpg"_s, u"pic-a.jpg"_s, u"pic-b.jpg"_s} << QString();
}

void ChoosingTest::namesFromThePage() {
    QFETCH(QString, find);
    QFETCH(QString, pattern);
    QFETCH(QByteArray, page);
    QFETCH(QStringList, files);
    QFETCH(QString, says);
    TestServer server;
    server.route("/page.html", serve::ok(page));
    server.setFallback([](const RecordedRequest&) { return serve::ok(jpegBytes, "image/jpeg"); });
    QTemporaryDir outside;
    const QString folder = outside.filePath(u"into"_s);
    QVERIFY(QDir().mkpath(folder));
    const CliResult result = runVarnolux({u"download"_s, u"--find"_s, find, u"--output"_s, pattern,
                                          QString::fromUtf8(server.address("/page.html")), folder});
    QVERIFY2(result.finished, qPrintable(result.errorString));
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(filesUnder(folder), files);
    if (!says.isEmpty())
        QVERIFY2(QString::fromUtf8(result.err).contains(says), result.err.constData());
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{u"into"_s});
}

namespace {

// Two entries that end with one name: the first in the list is slow, the second fast, so with
// room for both the second finishes first.
void serveSlowAndFast(TestServer& server) {
    server.route("/a/slow.png", serve::ok("slow bytes", "image/png").delayed(600));
    server.route("/b/fast.png", serve::ok("fast bytes", "image/png"));
    server.route("/c/other.png", serve::ok("other bytes", "image/png"));
    server.route("/a/x.png", serve::ok("slow bytes", "image/png").delayed(600));
    server.route("/b/x.png", serve::ok("slow bytes", "image/png"));
}

QList<QJsonObject> jsonLines(const QByteArray& out) {
    QList<QJsonObject> objects;
    for (const QByteArray& line : out.split('\n'))
        if (!line.trimmed().isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    return objects;
}

} // namespace

void ChoosingTest::sameNameEntriesInParallel_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("onExists");
    QTest::addColumn<int>("parallel");
    QTest::addColumn<QStringList>("files"); // name=content, sorted by name
    QTest::addColumn<QStringList>("statuses");

    // k{width}.png: named once the body is there (the width of these bodies is unknown: "k.png").
    const QString late = u"k{width}.png"_s;
    const QStringList bothSaved{u"saved"_s, u"saved"_s};
    QTest::newRow("late names, replace, one at a time: the last in the list remains")
        << late << u"replace"_s << 1 << QStringList{u"k.png=fast bytes"_s} << bothSaved;
    QTest::newRow("late names, replace, 4 at once: the last finished remains")
        << late << u"replace"_s << 4 << QStringList{u"k.png=slow bytes"_s} << bothSaved;
    QTest::newRow("late names, rename, one at a time: numbered in list order")
        << late << u"rename"_s << 1 << QStringList{u"k (1).png=fast bytes"_s, u"k.png=slow bytes"_s}
        << bothSaved;
    QTest::newRow("late names, rename, 4 at once: numbered in the order they finish")
        << late << u"rename"_s << 4 << QStringList{u"k (1).png=slow bytes"_s, u"k.png=fast bytes"_s}
        << bothSaved;
    QTest::newRow("late names, skip, one at a time: the first in the list is kept")
        << late << u"skip"_s << 1 << QStringList{u"k.png=slow bytes"_s}
        << QStringList{u"saved"_s, u"skipped"_s};
    QTest::newRow("late names, skip, 4 at once: the first finished is kept")
        << late << u"skip"_s << 4 << QStringList{u"k.png=fast bytes"_s}
        << QStringList{u"skipped"_s, u"saved"_s};
    QTest::newRow("early names, replace, 4 at once: one name is written in list order")
        << u"k.png"_s << u"replace"_s << 4 << QStringList{u"k.png=fast bytes"_s} << bothSaved;
    QTest::newRow("early names, rename, 4 at once: numbered in list order")
        << u"k.png"_s << u"rename"_s << 4 << QStringList{u"k (1).png=fast bytes"_s, u"k.png=slow bytes"_s}
        << bothSaved;
}

void ChoosingTest::sameNameEntriesInParallel() {
    QFETCH(QString, pattern);
    QFETCH(QString, onExists);
    QFETCH(int, parallel);
    QFETCH(QStringList, files);
    QFETCH(QStringList, statuses);
    TestServer server;
    serveSlowAndFast(server);
    QTemporaryDir folder;
    const CliResult result = downloadLinks(server, {"/a/slow.png", "/b/fast.png"},
                                           {u"--json"_s, u"--output"_s, pattern, u"--on-exists"_s, onExists,
                                            u"--parallel"_s, QString::number(parallel)},
                                           folder.path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QStringList found;
    for (const QString& file : filesUnder(folder.path()))
        found << file + u'=' + QString::fromUtf8(readAll(folder.filePath(file)));
    QCOMPARE(found, files);
    // The lines come in the order the entries finish; each says what became of its own body.
    QStringList got(2);
    for (const QJsonObject& object : jsonLines(result.out)) {
        if (!object.contains(u"status"_s))
            continue;
        const bool slow = object.value(u"url"_s).toString().endsWith(u"slow.png"_s);
        got[slow ? 0 : 1] = object.value(u"status"_s).toString();
        if (object.value(u"status"_s) == u"saved"_s && onExists == u"rename"_s)
            QCOMPARE(readAll(object.value(u"path"_s).toString()),
                     slow ? QByteArray("slow bytes") : QByteArray("fast bytes"));
    }
    QCOMPARE(got, statuses);
}

void ChoosingTest::dedupeInParallel_data() {
    QTest::addColumn<QList<QByteArray>>("paths");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("files"); // name=content, sorted by name
    QTest::addColumn<int>("duplicates");

    using Paths = QList<QByteArray>;
    const Paths three{"/a/slow.png", "/b/fast.png", "/c/other.png"};
    for (const int parallel : {1, 4, 16}) {
        const QStringList lanes{u"--dedupe"_s, u"--parallel"_s, QString::number(parallel)};
        QTest::addRow("names from the hash, %d at once", parallel)
            << three << lanes + QStringList{u"--output"_s, u"{sha256:6}.png"_s}
            << QStringList{sha256Of("other bytes").left(6) + u".png=other bytes"_s,
                           sha256Of("slow bytes").left(6) + u".png=slow bytes"_s}
            << 1;
        // A copy takes no name: the names go to what is kept, in the order it is.
        QTest::addRow("one name renamed, %d at once", parallel)
            << three << lanes + QStringList{u"--output"_s, u"same.png"_s, u"--on-exists"_s, u"rename"_s}
            << QStringList{u"same (1).png=other bytes"_s, u"same.png=slow bytes"_s} << 1;
        QTest::addRow("the links' own names renamed, %d at once", parallel)
            << Paths{"/a/x.png", "/b/x.png"} << lanes + QStringList{u"--on-exists"_s, u"rename"_s}
            << QStringList{u"x.png=slow bytes"_s} << 1;
        QTest::addRow("one name replaced, %d at once", parallel)
            << Paths{"/a/slow.png", "/b/fast.png"} << lanes + QStringList{u"--output"_s, u"same.png"_s}
            << QStringList{u"same.png=slow bytes"_s} << 1;
    }
    QTest::newRow("a content whose file was replaced since is saved again")
        << QList<QByteArray>{"/a/slow.png", "/c/other.png", "/b/fast.png"}
        << QStringList{u"--dedupe"_s, u"--output"_s, u"same.png"_s} << QStringList{u"same.png=slow bytes"_s}
        << 0;
}

void ChoosingTest::dedupeInParallel() {
    QFETCH(QList<QByteArray>, paths);
    QFETCH(QStringList, options);
    QFETCH(QStringList, files);
    QFETCH(int, duplicates);
    TestServer server;
    serveSlowAndFast(server);
    // The fast one holds the slow one's content; the other finishes between them.
    server.route("/b/fast.png", serve::ok("slow bytes", "image/png"));
    server.route("/c/other.png", serve::ok("other bytes", "image/png").delayed(300));
    QTemporaryDir folder;
    const CliResult result = downloadLinks(server, paths, options + QStringList{u"--json"_s}, folder.path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QStringList found;
    for (const QString& file : filesUnder(folder.path()))
        found << file + u'=' + QString::fromUtf8(readAll(folder.filePath(file)));
    QCOMPARE(found, files);
    // Each copy names a file that was kept and holds its content.
    int copies = 0;
    for (const QJsonObject& object : jsonLines(result.out)) {
        if (object.value(u"status"_s) != u"duplicate"_s)
            continue;
        ++copies;
        const QString kept = object.value(u"duplicate_of"_s).toString();
        QCOMPARE(readAll(kept), QByteArray("slow bytes"));
        QVERIFY2(result.err.contains("duplicate of " + kept.toUtf8()), result.err.constData());
    }
    QCOMPARE(copies, duplicates);
}

void ChoosingTest::aCopyOfWhatWasNotSavedIsSaved() {
    // The first copy's name is taken by a folder: its file cannot be put in place, so the second
    // is no copy of anything kept.
    TestServer server;
    serveSlowAndFast(server);
    server.route("/b/fast.png", serve::ok("slow bytes", "image/png"));
    QTemporaryDir folder;
    const QString prefix = sha256Of("slow bytes").left(4);
    QVERIFY(QDir(folder.path()).mkdir(u"1-"_s + prefix + u".png"_s));
    const CliResult result = downloadLinks(
        server, {"/a/slow.png", "/b/fast.png"},
        {u"--json"_s, u"--dedupe"_s, u"--output"_s, u"{index}-{sha256:4}.png"_s}, folder.path());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(readAll(folder.filePath(u"2-"_s + prefix + u".png"_s)), QByteArray("slow bytes"));
    QVERIFY2(!result.out.contains("\"duplicate\""), result.out.constData());
}

void ChoosingTest::followedPagesNameTheirImages_data() {
    QTest::addColumn<QString>("find");
    QTest::newRow("classic") << u"classic"_s;
    QTest::newRow("browser") << u"browser"_s;
}

void ChoosingTest::followedPagesNameTheirImages() {
    QFETCH(QString, find);
    TestServer server;
    server.route("/page.html",
                 serve::ok("<title>Index</title><a href=\"/p2.html\"><img src=\"/i/t.jpg\" "
                           "alt=\"thumb\"></a><a href=\"/p3.html\"><img src=\"/i/t3.jpg\"></a>"));
    server.route("/p2.html", serve::ok("<title>Second</title><img src=\"/i/big.jpg\" alt=\"Big\">"));
    server.route("/p3.html",
                 serve::ok("<img src=\"/i/c.jpg\" alt=\"C\"><img src=\"/i/t.jpg\" alt=\"again\">"));
    server.setFallback([](const RecordedRequest&) { return serve::ok(jpegBytes, "image/jpeg"); });
    QTemporaryDir folder;
    const CliResult result = runVarnolux({u"download"_s, u"--find"_s, find, u"--follow"_s, u"thumbnails"_s,
                                          u"--output"_s, u"{page_title}/{alt}-{name}"_s,
                                          QString::fromUtf8(server.address("/page.html")), folder.path()});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    // Each image is named by the page it was found on first; an untitled page by its host.
    QCOMPARE(filesUnder(folder.path()), (QStringList{u"127.0.0.1/C-c.jpg"_s, u"Index/-t3.jpg"_s,
                                                     u"Index/thumb-t.jpg"_s, u"Second/Big-big.jpg"_s}));
}

void ChoosingTest::badTemplateIsRefused_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("says");
    QTest::newRow("'..' alone") << u".."_s << u"'..'"_s;
    QTest::newRow("'..' as a folder") << u"../{name}"_s << u"'..'"_s;
    QTest::newRow("'..' in the middle") << u"a/../{name}"_s << u"'..'"_s;
    QTest::newRow("'.' as a folder") << u"./{name}"_s << u"'.'"_s;
    QTest::newRow("an absolute path") << u"/tmp/{name}"_s << u"absolute"_s;
    QTest::newRow("a Windows drive") << u"C:{name}"_s << u"absolute"_s;
    QTest::newRow("an unknown field") << u"{nmae}"_s << u"unknown field {nmae}"_s;
    QTest::newRow("a field of a misspelt page")
        << u"{page_tilte}/{name}"_s << u"unknown field {page_tilte}"_s;
    QTest::newRow("an empty template") << QString() << u"needs a template"_s;
    QTest::newRow("an empty folder name") << u"a//{name}"_s << u"empty"_s;
    QTest::newRow("a final slash") << u"{host}/"_s << u"empty"_s;
    QTest::newRow("an unclosed brace") << u"{name"_s << u"without its '}'"_s;
    QTest::newRow("a lone closing brace") << u"name}"_s << u"without its '{'"_s;
    QTest::newRow("an index width without its zero") << u"{index:3}"_s << u"width"_s;
    QTest::newRow("a hash of no digits") << u"{sha256:0}"_s << u"width"_s;
    QTest::newRow("a backslash in the text") << u"a\\b{name}"_s << u"--output"_s;
    QTest::newRow("a control character in the text") << u"a\tb{name}"_s << u"--output"_s;
    QTest::newRow("10,000 characters") << QString(10000, u'a') << u"longer than"_s;
}

void ChoosingTest::badTemplateIsRefused() {
    QFETCH(QString, pattern);
    QFETCH(QString, says);
    TestServer server;
    serveImages(server);
    QTemporaryDir folder;
    const CliResult refused =
        downloadLinks(server, {"/img/a.png"}, QStringList{u"--output"_s, pattern}, folder.path());
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(QString::fromUtf8(refused.err).contains(says), refused.err.constData());
    QCOMPARE(server.requests().size(), 0);
    QCOMPARE(filesUnder(folder.path()), QStringList{});
}

void ChoosingTest::dedupeKeepsOneCopy_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("archiveBefore");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("statuses"); // --json status per link, in order
    QTest::addColumn<QString>("duplicateOf");  // on the duplicate's line

    const QByteArray hashLine = "#sha256 " + sha256Of(pngBytes).toLatin1() + " http://elsewhere/old.png\n";
    QTest::newRow("without --dedupe every copy is saved")
        << QStringList{} << QByteArray() << QStringList{u"a.png"_s, u"same1.png"_s, u"same2.png"_s}
        << QStringList{u"saved"_s, u"saved"_s, u"saved"_s} << QString();
    QTest::newRow("a content saved earlier in the run is not saved again")
        << QStringList{u"--dedupe"_s} << QByteArray() << QStringList{u"a.png"_s}
        << QStringList{u"saved"_s, u"duplicate"_s, u"duplicate"_s} << u"a.png"_s;
    QTest::newRow("a content recorded in the archive is not saved again")
        << QStringList{u"--dedupe"_s} << hashLine << QStringList{}
        << QStringList{u"duplicate"_s, u"duplicate"_s, u"duplicate"_s} << u"http://elsewhere/old.png"_s;
    QTest::newRow("an archive of links only still skips its links")
        << QStringList{u"--dedupe"_s} << QByteArray("http://127.0.0.1:PORT/img/a.png\n")
        << QStringList{u"same1.png"_s} << QStringList{u"skipped"_s, u"saved"_s, u"duplicate"_s}
        << u"same1.png"_s;
    QTest::newRow("with --output the duplicate names the file made")
        << QStringList{u"--dedupe"_s, u"--output"_s, u"{index}.{ext}"_s} << QByteArray()
        << QStringList{u"1.png"_s} << QStringList{u"saved"_s, u"duplicate"_s, u"duplicate"_s} << u"1.png"_s;
}

void ChoosingTest::dedupeKeepsOneCopy() {
    QFETCH(QStringList, options);
    QFETCH(QByteArray, archiveBefore);
    QFETCH(QStringList, files);
    QFETCH(QStringList, statuses);
    QFETCH(QString, duplicateOf);
    TestServer server;
    serveImages(server);
    QTemporaryDir folder;
    QTemporaryDir other;
    const QString archive = other.filePath(u"seen.txt"_s);
    QVERIFY(writeFile(archive, archiveBefore.replace("PORT", QByteArray::number(server.port()))));
    const CliResult result =
        downloadLinks(server, {"/img/a.png", "/img/same1.png", "/other/same2.png"},
                      options + QStringList{u"--json"_s, u"--download-archive"_s, archive}, folder.path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(filesUnder(folder.path()), files);
    QStringList got;
    for (const QByteArray& line : result.out.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.contains(u"status"_s))
            got << object.value(u"status"_s).toString();
        if (object.value(u"status"_s).toString() == u"duplicate"_s)
            QVERIFY(object.value(u"duplicate_of"_s).toString().endsWith(duplicateOf));
        if (object.value(u"status"_s).toString() == u"saved"_s && options.contains(u"--dedupe"_s))
            QCOMPARE(
                object.value(u"sha256"_s).toString(),
                sha256Of(readAll(folder.filePath(object.value(u"path"_s).toString().section(u'/', -1)))));
    }
    QCOMPARE(got, statuses);
    if (!duplicateOf.isEmpty())
        QVERIFY2(QString::fromUtf8(result.err).contains(u"duplicate of "_s), result.err.constData());
    // Each saved link is recorded with its content's hash when the run hashes; old lines stay.
    const QByteArray recorded = readAll(archive);
    QVERIFY(recorded.startsWith(archiveBefore));
    if (options.contains(u"--dedupe"_s) && statuses.first() == u"saved"_s)
        QVERIFY(recorded.contains("#sha256 " + sha256Of(pngBytes).toLatin1() + ' ' +
                                  server.address("/img/a.png")));
    if (!options.contains(u"--dedupe"_s))
        QVERIFY(!recorded.contains("#sha256"));
}

void ChoosingTest::limitsChooseByWhatImagesAre_data() {
    QTest::addColumn<Behaviour>("image");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("kept");    // by list and by download alike
    QTest::addColumn<int>("width");    // as --json reports it; -1: null
    QTest::addColumn<QString>("says"); // on download's standard error, or empty

    const QStringList wide{u"--min-width"_s, u"100"_s};
    QTest::newRow("wide enough is kept")
        << serve::ok(realPng(300, 50), "image/png") << wide << true << 300 << QString();
    QTest::newRow("too narrow is left out")
        << serve::ok(realPng(10, 500), "image/png") << wide << false << 10 << u"narrower than 100"_s;
    QTest::newRow("too low is left out")
        << serve::ok(realPng(500, 10), "image/png") << QStringList{u"--min-height"_s, u"20"_s} << false << 500
        << u"lower than 20"_s;
    QTest::newRow("a header claiming 100,000 x 100,000 is read, never decoded")
        << serve::ok(pngClaiming(100000, 100000), "image/png") << wide << true << 100000 << QString();
    QTest::newRow("a PNG bomb: 30,000 x 30,000 of zeros in 3 MB")
        << serve::ok(pngClaiming(30000, 30000, 60 << 20), "image/png") << wide << true << 30000 << QString();
    QTest::newRow("a GIF claiming 65,535 x 65,535 over a small body")
        << serve::ok(gifClaiming(65535, 65535), "image/gif") << wide << true << 65535 << QString();
    QTest::newRow("a truncated header is kept as unreadable")
        << serve::ok(QByteArray("\x89PNG\r\n\x1A\n\0\0", 10), "image/png") << wide << true << -1
        << u"cannot be read"_s;
    QTest::newRow("an HTML page under an image's link is kept as unreadable")
        << serve::ok("<!doctype html><title>login</title>" + QByteArray(600, ' '), "text/html") << wide
        << true << -1 << u"cannot be read"_s;
    QTest::newRow("a 0-byte image is kept as unreadable")
        << serve::ok(QByteArray(), "image/png") << wide << true << -1 << u"cannot be read"_s;
    QTest::newRow("a 0-byte image is left out by --min-bytes")
        << serve::ok(QByteArray(), "image/png") << QStringList{u"--min-bytes"_s, u"1"_s} << false << -1
        << u"fewer than 1"_s;
    QTest::newRow("--max-bytes leaves out a body its length shows too large")
        << serve::generated(3 << 20, "image/png") << QStringList{u"--max-bytes"_s, u"1M"_s} << false << -1
        << u"more than 1048576"_s;
    QTest::newRow("--max-bytes stops a body without a length once it is over")
        << serve::generated(3 << 20, "image/png").withoutLength() << QStringList{u"--max-bytes"_s, u"1M"_s}
        << false << -1 << u"more than 1048576"_s;
    QTest::newRow(
        "a JPEG with 1 MB of Exif before its frame: read in full by download, unknown to list's 64 KiB")
        << serve::ok(jpegWithExif(640, 480, 1 << 20), "image/jpeg") << QStringList{u"--min-width"_s, u"600"_s}
        << true << -1 << QString();
    QTest::newRow("--min-bytes in k") << serve::ok(realPng(300, 300) + QByteArray(3000, 'x'), "image/png")
                                      << QStringList{u"--min-bytes"_s, u"2k"_s} << true << 300 << QString();
    QTest::newRow("a length of 10 over a large body counts 10 bytes")
        << serve::generated(2 << 20, "image/png").withDeclaredLength(10)
        << QStringList{u"--min-bytes"_s, u"100"_s} << false << -1 << u"fewer than 100"_s;
    QTest::newRow("an SVG's size is read; its entities and scripts are not followed")
        << serve::ok("<?xml version=\"1.0\"?><!DOCTYPE svg [<!ENTITY x SYSTEM \"/secret\">]>"
                     "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"300\">"
                     "<script>fetch('/secret')</script><image href=\"/secret\"/><text>&x;</text></svg>",
                     "image/svg+xml")
        << wide << true << -2 << QString();
}

void ChoosingTest::limitsChooseByWhatImagesAre() {
    QFETCH(Behaviour, image);
    QFETCH(QStringList, options);
    QFETCH(bool, kept);
    QFETCH(int, width);
    QFETCH(QString, says);
    TestServer server;
    server.route("/page.html", serve::ok("<img src=\"/img/picture.png\">"));
    server.route("/img/picture.png", image);
    const QString page = QString::fromUtf8(server.address("/page.html"));

    // What list cannot see in an image's first 64 KiB keeps it.
    const bool listKept = kept || QByteArray(QTest::currentDataTag()).contains("without a length");
    const CliResult listed = runVarnolux(QStringList{u"list"_s, u"--json"_s, u"--filter"_s, u"PNG"_s} +
                                         options + QStringList{page});
    QVERIFY2(listed.exitCode == 0, listed.err.constData());
    const QList<QByteArray> objects =
        listed.out.trimmed().isEmpty() ? QList<QByteArray>() : listed.out.trimmed().split('\n');
    QCOMPARE(objects.size(), listKept ? 1 : 0);
    if (kept && width != -2) {
        const QJsonObject object = QJsonDocument::fromJson(objects.first()).object();
        QCOMPARE(object.value(u"width"_s).isNull() ? -1 : object.value(u"width"_s).toInt(), width);
    }
    // The probe asked for the start of the image only.
    for (const RecordedRequest& request : server.requests())
        if (request.path == "/img/picture.png")
            QCOMPARE(request.header("Range"), QByteArray("bytes=0-65535"));

    QTemporaryDir folder;
    const CliResult saved = runVarnolux(QStringList{u"download"_s, u"--json"_s, u"--filter"_s, u"PNG"_s} +
                                        options + QStringList{page, folder.path()});
    QVERIFY2(saved.exitCode == 0, saved.err.constData());
    QCOMPARE(filesUnder(folder.path()), kept ? QStringList{u"picture.png"_s} : QStringList{});
    if (!says.isEmpty())
        QVERIFY2(QString::fromUtf8(saved.err).contains(says), saved.err.constData());
    for (const RecordedRequest& request : server.requests())
        QVERIFY2(request.path != "/secret", "an SVG's reference was followed");
    // Download reads as much of a header as its reader asks for.
    if (QByteArray(QTest::currentDataTag()).startsWith("a JPEG with 1 MB"))
        QCOMPARE(QJsonDocument::fromJson(saved.out.split('\n').first()).object().value(u"width"_s).toInt(),
                 640);
}

void ChoosingTest::listProbesTheStartOnly() {
    // 2 MiB of image from a server that answers ranges: the probe asks for 64 KiB and learns the
    // whole length from the answer.
    const QByteArray image = realPng(800, 600).leftJustified(2 << 20, 'z');
    TestServer server;
    server.route("/page.html", serve::ok("<img src=\"/a.png\"><img src=\"/b.png\">"));
    QList<QByteArray> ranges;
    server.setFallback([&](const RecordedRequest& request) {
        ranges << request.header("Range");
        const QByteArray part = image.left(64 * 1024);
        return serve::response(206, "Partial Content",
                               {{"Content-Type", "image/png"},
                                {"Content-Range", "bytes 0-65535/" + QByteArray::number(image.size())}},
                               part);
    });
    const CliResult listed = runVarnolux({u"list"_s, u"--json"_s, u"--filter"_s, u"PNG"_s, u"--parallel"_s,
                                          u"2"_s, u"--min-width"_s, u"640"_s, u"--max-bytes"_s, u"4M"_s,
                                          QString::fromUtf8(server.address("/page.html"))});
    QVERIFY2(listed.exitCode == 0, listed.err.constData());
    const QList<QByteArray> objects = listed.out.trimmed().split('\n');
    QCOMPARE(objects.size(), 2);
    // In list order, whichever probe ended first.
    QVERIFY(objects[0].contains("/a.png") && objects[1].contains("/b.png"));
    const QJsonObject first = QJsonDocument::fromJson(objects[0]).object();
    QCOMPARE(first.value(u"width"_s).toInt(), 800);
    QCOMPARE(first.value(u"height"_s).toInt(), 600);
    QCOMPARE(first.value(u"bytes"_s).toInteger(), qint64(image.size()));
    QCOMPARE(first.value(u"content_type"_s).toString(), u"image/png"_s);
    QCOMPARE(ranges, (QList<QByteArray>{"bytes=0-65535", "bytes=0-65535"}));
}

void ChoosingTest::probeNeverAwaitsWhatItDoesNotRead_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<qint64>("sentAtOnce"); // the rest comes a minute later
    QTest::addColumn<int>("width");         // as --json reports it; -1: null

    QTest::newRow("a header in the first piece: read there, the rest not awaited")
        << realPng(300, 50).leftJustified(2 << 20, 'z') << qint64(4096) << 300;
    QTest::newRow("a JPEG whose frame is past 64 KiB: cut at 64 KiB, the rest not awaited")
        << jpegWithExif(640, 480, 1 << 20) << qint64(80 * 1024) << -1;
}

void ChoosingTest::probeNeverAwaitsWhatItDoesNotRead() {
    QFETCH(QByteArray, image);
    QFETCH(qint64, sentAtOnce);
    QFETCH(int, width);
    // The server ignores the range and sends the whole image, stalling after its first bytes for
    // longer than the run may take.
    TestServer server;
    server.route("/page.html", serve::ok("<img src=\"/img/picture.png\">"));
    server.route("/img/picture.png", serve::ok(image, "image/png").pausedAfter(sentAtOnce, 60000));
    CliOptions options;
    options.timeLimitMs = 15000;
    const CliResult listed = runVarnolux({u"list"_s, u"--json"_s, u"--filter"_s, u"PNG"_s, u"--min-width"_s,
                                          u"100"_s, QString::fromUtf8(server.address("/page.html"))},
                                         options);
    QVERIFY2(!listed.timedOut, "the probe waited for bytes past those it reads");
    QVERIFY2(listed.exitCode == 0, listed.err.constData());
    QVERIFY2(!listed.err.contains("could not be probed"), listed.err.constData());
    const QJsonObject object = QJsonDocument::fromJson(listed.out.trimmed()).object();
    QCOMPARE(object.value(u"width"_s).isNull() ? -1 : object.value(u"width"_s).toInt(), width);
}

QTEST_GUILESS_MAIN(ChoosingTest)
#include "tst_choosing.moc"
