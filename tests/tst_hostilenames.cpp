// Hostile names, links and folders for the download run: nothing is ever written outside the
// chosen folder or through a planted link, a name the platform would misread fails its entry
// with a reason, a folder that cannot take the files is named before any request, and neither a
// full disk nor a killed program leaves a truncated file under the final name.
#include "core/Cancellation.h"
#include "download/DownloadRun.h"
#include "download/FileName.h"
#include "download/PartFile.h"
#include "net/RunSetup.h"
#include "support/CliRunner.h"
#include "support/FakeDownloadWindow.h"
#include "support/Files.h"
#include "support/RunToEnd.h"
#include "support/TestServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif
#include <unistd.h>

using fileName::Platform;

namespace {

const QByteArray oldBytes = "the old picture";

bool isPartName(const QString& name) {
    static const QRegularExpression part(QStringLiteral("^\\.varnolux-[A-Za-z0-9]{6}\\.part$"));
    return part.match(name).hasMatch();
}

// Draws the planted name first on every attempt, then a free one, so each temporary file the run
// creates has to get past the plant.
class PlantedPartNames {
public:
    explicit PlantedPartNames(QString planted) : m_planted(std::move(planted)) {
        PartFile::setNameSource(
            [this] { return m_draws++ % 2 == 0 ? m_planted : QStringLiteral(".varnolux-free00.part"); });
    }
    ~PlantedPartNames() { PartFile::setNameSource({}); }
    PlantedPartNames(const PlantedPartNames&) = delete;
    PlantedPartNames& operator=(const PlantedPartNames&) = delete;

private:
    QString m_planted;
    int m_draws = 0;
};

// Lowers the largest file this process may write, as a full disk would, for as long as it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        // Past the limit write() fails with EFBIG, unless SIGXFSZ ends the process first.
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit lowered = {bytes, m_saved.rlim_max};
        m_ok = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool ok() const { return m_ok; }

private:
    struct rlimit m_saved = {};
    void (*m_oldHandler)(int) = SIG_DFL;
    bool m_ok = false;
};

} // namespace

Q_DECLARE_METATYPE(Platform)

class TestHostileNames : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void checksNamesForEachPlatform_data();
    void checksNamesForEachPlatform();
    void nothingLandsOutsideTheFolder_data();
    void nothingLandsOutsideTheFolder();
    void linkAtTheDestinationIsReplaced_data();
    void linkAtTheDestinationIsReplaced();
    void plantAtTheTemporaryNameIsNeverWrittenThrough_data();
    void plantAtTheTemporaryNameIsNeverWrittenThrough();
    void badFolderIsNamedBeforeAnyRequest_data();
    void badFolderIsNamedBeforeAnyRequest();
    void folderRemovedDuringTheRunCostsItsEntries();
    void fullDiskKeepsTheOldFile();
    void killedProgramLeavesOnlyATemporaryFile();
};

void TestHostileNames::initTestCase() {
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "2000");
}

void TestHostileNames::cleanup() {
    Cancellation::reset();
    PartFile::setNameSource({});
}

void TestHostileNames::checksNamesForEachPlatform_data() {
    QTest::addColumn<QByteArray>("link");
    // Part of the reason on each platform; empty when the name is fine there.
    QTest::addColumn<QString>("posix");
    QTest::addColumn<QString>("windows");
    const QString fine;
    const QString separator = QStringLiteral("path separator");
    const QString control = QStringLiteral("control character");
    const QString colon = QStringLiteral("holds \":\"");
    const QString device = QStringLiteral("device name");

    QTest::newRow("a query that ends in /..")
        << QByteArray("http://h/a.png?x=/..") << QStringLiteral("names a folder")
        << QStringLiteral("names a folder");
    QTest::newRow("escaped dots and slash stay a literal name")
        << QByteArray("http://h/%2e%2e%2f%2e%2e%2fevil.png") << fine << fine;
    QTest::newRow("backslashes climb out on Windows")
        << QByteArray("http://h/a\\..\\..\\evil.png") << separator << separator;
    QTest::newRow("a drive-relative name") << QByteArray("http://h/C:evil.png") << fine << colon;
    QTest::newRow("an alternate data stream") << QByteArray("http://h/x.png::$DATA") << fine << colon;
    QTest::newRow("a NUL byte") << QByteArray("http://h/a.png\0.exe", 19) << control << control;
    QTest::newRow("an escape byte") << QByteArray("http://h/a\x1b[2Jb.png") << control << control;
    QTest::newRow("CON") << QByteArray("http://h/CON") << fine << device;
    QTest::newRow("com1 with an extension") << QByteArray("http://h/com1.png") << fine << device;
    QTest::newRow("LPT with a superscript digit") << QByteArray("http://h/LPT\xC2\xB9.gif") << fine << device;
    QTest::newRow("NUL before a blank and an extension") << QByteArray("http://h/NUL .jpg") << fine << device;
    QTest::newRow("a name that only starts like a device")
        << QByteArray("http://h/console.png") << fine << fine;
    QTest::newRow("a trailing dot") << QByteArray("http://h/a.png.") << fine
                                    << QStringLiteral("ends in a dot");
    QTest::newRow("a trailing blank")
        << QByteArray("http://h/a.png ") << fine << QStringLiteral("ends in a dot or a blank");
    QTest::newRow("a query mark") << QByteArray("http://h/img.php?id=7") << fine
                                  << QStringLiteral("holds \"?\"");
    QTest::newRow("255 bytes fit") << QByteArray("http://h/") + QByteArray(251, 'a') + ".png" << fine << fine;
    QTest::newRow("256 bytes do not")
        << QByteArray("http://h/") + QByteArray(252, 'a') + ".png" << QStringLiteral("256 bytes long")
        << QStringLiteral("256 characters long");
    // 128 two-byte letters: 256 bytes on disk, 128 characters for Windows.
    QByteArray accents;
    for (int i = 0; i < 128; ++i)
        accents += "\xC3\xA9";
    QTest::newRow("256 bytes in 128 letters")
        << QByteArray("http://h/") + accents << QStringLiteral("256 bytes long") << fine;
    QTest::newRow("a right-to-left override")
        << QByteArray("http://h/invoice\xE2\x80\xAEgnp.exe") << QStringLiteral("text-direction mark")
        << QStringLiteral("text-direction mark");
    QTest::newRow("a right-to-left isolate")
        << QByteArray("http://h/a\xE2\x81\xA7.png") << QStringLiteral("text-direction mark")
        << QStringLiteral("text-direction mark");
    // Saved as the link's bytes where names are bytes; Windows names are Unicode.
    QTest::newRow("a Latin-1 byte") << QByteArray("http://h/caf\xE9.png") << fine
                                    << QStringLiteral("\"caf\\xe9.png\" holds bytes that are not UTF-8");
    QTest::newRow("255 bytes with one that is not UTF-8 fit")
        << QByteArray("http://h/") + QByteArray(250, 'a') + "\xE9.png" << fine << QStringLiteral("not UTF-8");
    QTest::newRow("two final slashes leave no name")
        << QByteArray("http://h/dir//") << QStringLiteral("no file name") << QStringLiteral("no file name");
}

void TestHostileNames::checksNamesForEachPlatform() {
    QFETCH(QByteArray, link);
    QFETCH(QString, posix);
    QFETCH(QString, windows);

    const QByteArray name = fileName::ofLink(link);
    for (const auto& [platform, expected] :
         {std::pair{Platform::Posix, posix}, {Platform::Windows, windows}}) {
        const QString reason = net::reasonText(fileName::checkFileName(name, platform));
        const QString which =
            platform == Platform::Posix ? QStringLiteral("POSIX") : QStringLiteral("Windows");
        if (expected.isEmpty()) {
            QVERIFY2(reason.isEmpty(), qPrintable(which + QStringLiteral(": ") + reason));
            continue;
        }
        QVERIFY2(reason.contains(expected), qPrintable(which + QStringLiteral(": ") + reason));
        // The reason itself shows no raw control byte and does not turn around.
        for (QChar c : reason) {
            QVERIFY2(c.unicode() >= 0x20 && c.unicode() != 0x7F, qPrintable(reason));
            QVERIFY2(c.unicode() != 0x202E && c.unicode() != 0x2067, "a direction mark in the reason");
        }
    }
}

void TestHostileNames::nothingLandsOutsideTheFolder_data() {
    QTest::addColumn<QByteArray>("path"); // the link's path on the server
    QTest::addColumn<QString>("saved");   // the file the run saves, or empty when the entry fails
    QTest::addColumn<QString>("reason");

    QTest::newRow("a query that ends in /..")
        << QByteArray("/a.png?x=/..") << QString() << QStringLiteral("names a folder");
    QTest::newRow("escaped dots and slash stay one name")
        << QByteArray("/%2e%2e%2f%2e%2e%2fevil.png") << QStringLiteral("%2e%2e%2f%2e%2e%2fevil.png")
        << QString();
    QTest::newRow("backslashes") << QByteArray("/a\\..\\..\\evil.png") << QString()
                                 << QStringLiteral("path separator");
    QTest::newRow("a NUL byte") << QByteArray("/a.png\0.exe", 11) << QString() << QStringLiteral("control");
    QTest::newRow("a right-to-left override")
        << QByteArray("/invoice\xE2\x80\xAEgnp.exe") << QString() << QStringLiteral("text-direction mark");
    QTest::newRow("a name of 256 bytes")
        << QByteArray("/") + QByteArray(252, 'a') + ".png" << QString() << QStringLiteral("256 bytes long");
#ifndef Q_OS_WIN
    QTest::newRow("CON is a file here") << QByteArray("/CON") << QStringLiteral("CON") << QString();
    QTest::newRow("a colon is a letter here")
        << QByteArray("/C:evil.png") << QStringLiteral("C:evil.png") << QString();
    QTest::newRow("a trailing dot stays") << QByteArray("/a.png.") << QStringLiteral("a.png.") << QString();
#endif
}

void TestHostileNames::nothingLandsOutsideTheFolder() {
    QFETCH(QByteArray, path);
    QFETCH(QString, saved);
    QFETCH(QString, reason);

    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(700); });
    QTemporaryDir parent;
    QVERIFY(QDir(parent.path()).mkdir(QStringLiteral("images")));
    FakeDownloadWindow window;
    window.folder = parent.filePath(QStringLiteral("images/"));
    const QByteArray link = server.address(path);
    window.add(link);
    window.add(server.address("/good.png"));

    const net::NetworkRun network;
    DownloadRun run(window, network.setup());
    runToEnd(run);

    QCOMPARE(folderEntries(parent.path()), QStringList{QStringLiteral("images")});
    QStringList expected{QStringLiteral("good.png")};
    if (!saved.isEmpty())
        expected << saved;
    expected.sort();
    QCOMPARE(folderEntries(window.folder), expected);
    if (saved.isEmpty()) {
        QCOMPARE(run.failures().size(), 1);
        QCOMPARE(run.failures().first().link, link);
        QVERIFY2(run.failures().first().reason.contains(reason), qPrintable(run.failures().first().reason));
        // A name that cannot be used is not even asked for.
        QVERIFY(!server.distinctPaths().contains(path));
    } else {
        QCOMPARE(readAll(window.folder + saved), generatedBytes(0, 700));
        QCOMPARE(window.boxes.texts(), QStringList{QStringLiteral("Done.")});
    }
}

void TestHostileNames::linkAtTheDestinationIsReplaced_data() {
    QTest::addColumn<QString>("points"); // "file", "folder" or "nowhere"
    QTest::newRow("a link to a file elsewhere") << QStringLiteral("file");
    QTest::newRow("a link to a folder elsewhere") << QStringLiteral("folder");
    QTest::newRow("a link to nothing") << QStringLiteral("nowhere");
}

void TestHostileNames::linkAtTheDestinationIsReplaced() {
    QFETCH(QString, points);

    TestServer server;
    server.route("/pic.png", serve::generated(3000));
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("precious"));
    if (points == u"file")
        QVERIFY(writeFile(target, "keep me"));
    else if (points == u"folder")
        QVERIFY(QDir(elsewhere.path()).mkdir(QStringLiteral("precious")));
    const QString destination = dir.filePath(QStringLiteral("pic.png"));
    QVERIFY(QFile::link(target, destination));

    FakeDownloadWindow window;
    window.folder = dir.path() + u'/';
    window.add(server.address("/pic.png"));
    QCOMPARE(runToEnd(DownloadRun(window, net::NetworkRun().setup())), DownloadOutcome::Done);

    // The link itself is replaced by the file; where it pointed nothing changed.
    QVERIFY(!QFileInfo(destination).isSymLink());
    QCOMPARE(readAll(destination), generatedBytes(0, 3000));
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("pic.png")});
    if (points == u"file")
        QCOMPARE(readAll(target), QByteArray("keep me"));
    else if (points == u"folder")
        QCOMPARE(folderEntries(target), QStringList());
    else
        QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(folderEntries(elsewhere.path()),
             points == u"nowhere" ? QStringList() : QStringList{QStringLiteral("precious")});
}

void TestHostileNames::plantAtTheTemporaryNameIsNeverWrittenThrough_data() {
    QTest::addColumn<QString>("plant"); // "link to a file", "link to nothing" or "file"
    QTest::newRow("a link to a file elsewhere") << QStringLiteral("link to a file");
    QTest::newRow("a link to nothing, which a write would create") << QStringLiteral("link to nothing");
    QTest::newRow("a file of someone else's") << QStringLiteral("file");
}

void TestHostileNames::plantAtTheTemporaryNameIsNeverWrittenThrough() {
    QFETCH(QString, plant);

    TestServer server;
    server.route("/pic.png", serve::generated(3000));
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("precious"));
    const QString planted = QStringLiteral(".varnolux-AAAAAA.part");
    const QString plantPath = dir.filePath(planted);
    if (plant == u"link to a file") {
        QVERIFY(writeFile(target, "keep me"));
        QVERIFY(QFile::link(target, plantPath));
    } else if (plant == u"link to nothing") {
        QVERIFY(QFile::link(target, plantPath));
    } else {
        QVERIFY(writeFile(plantPath, "keep me"));
    }
    // Every temporary file of the run is first tried under the planted name.
    PlantedPartNames names(planted);

    FakeDownloadWindow window;
    window.folder = dir.path() + u'/';
    window.add(server.address("/pic.png"));
    QCOMPARE(runToEnd(DownloadRun(window, net::NetworkRun().setup())), DownloadOutcome::Done);

    QCOMPARE(readAll(dir.filePath(QStringLiteral("pic.png"))), generatedBytes(0, 3000));
    // The plant is left as it was, and nothing was written where it leads.
    QCOMPARE(folderEntries(dir.path()), (QStringList{planted, QStringLiteral("pic.png")}));
    if (plant == u"file") {
        QCOMPARE(readAll(plantPath), QByteArray("keep me"));
    } else {
        QVERIFY(QFileInfo(plantPath).isSymLink());
        if (plant == u"link to a file")
            QCOMPARE(readAll(target), QByteArray("keep me"));
        else
            QVERIFY(!QFileInfo::exists(target));
    }
}

void TestHostileNames::badFolderIsNamedBeforeAnyRequest_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    const QString missing = QStringLiteral("Folder does not exist. Please select another folder.");

    QTest::newRow("removed after it was chosen") << QStringLiteral("removed") << missing;
    QTest::newRow("a file, not a folder") << QStringLiteral("file") << missing;
    QTest::newRow("below a file") << QStringLiteral("below a file") << missing;
    // Permissions do not stop root; no one creates files in /proc.
    QTest::newRow("takes no new file")
        << QStringLiteral("read-only") << QStringLiteral(". Please select another folder.");
}

void TestHostileNames::badFolderIsNamedBeforeAnyRequest() {
    QFETCH(QString, kind);
    QFETCH(QString, message);

    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(500); });
    QTemporaryDir parent;
    FakeDownloadWindow window;
    const QString inside = parent.filePath(QStringLiteral("chosen"));
    if (kind == u"removed") {
        QVERIFY(QDir(parent.path()).mkdir(QStringLiteral("chosen")));
        window.folder = inside + u'/';
        QVERIFY(QDir(inside).removeRecursively());
    } else if (kind == u"file") {
        QVERIFY(writeFile(inside, oldBytes));
        window.folder = inside + u'/';
    } else if (kind == u"below a file") {
        QVERIFY(writeFile(inside, oldBytes));
        window.folder = inside + QStringLiteral("/sub/");
    } else if (::geteuid() == 0) {
        window.folder = QStringLiteral("/proc/");
    } else {
        QVERIFY(QDir(parent.path()).mkdir(QStringLiteral("chosen")));
        QVERIFY(QFile::setPermissions(inside, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        window.folder = inside + u'/';
    }
    window.add(server.address("/a.png"));
    window.add(server.address("/b.png"));

    const DownloadOutcome outcome = runToEnd(DownloadRun(window, net::NetworkRun().setup()));
    QFile::setPermissions(inside, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QVERIFY(outcome == DownloadOutcome::NoFolder || outcome == DownloadOutcome::FolderUnwritable);
    QCOMPARE(window.boxes.messages.size(), 1);
    QVERIFY2(window.boxes.texts().first().endsWith(message), qPrintable(window.boxes.texts().first()));
    QCOMPARE(server.requests().size(), 0);
    QCOMPARE(window.mouse.changes, QList<Pointer>{});
    // Nothing was made on the way: no folder, no temporary file, the file untouched.
    const QStringList left = folderEntries(parent.path());
    QVERIFY2(left.isEmpty() || left == QStringList{QStringLiteral("chosen")}, qPrintable(left.join(u' ')));
    if (kind == u"file" || kind == u"below a file")
        QCOMPARE(readAll(inside), oldBytes);
    else if (QFileInfo(inside).isDir())
        QCOMPARE(folderEntries(inside), QStringList());
}

void TestHostileNames::folderRemovedDuringTheRunCostsItsEntries() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(500); });
    QTemporaryDir parent;
    QVERIFY(QDir(parent.path()).mkdir(QStringLiteral("chosen")));
    const QString folder = parent.filePath(QStringLiteral("chosen"));
    FakeDownloadWindow window;
    window.folder = folder + u'/';
    window.add(server.address("/a.png"));
    window.add(server.address("/b.png"));
    window.add(server.address("/c.png"));
    // The folder goes while the run waits for the first answer.
    bool removed = false;
    connect(&server, &TestServer::requestArrived, this, [&] {
        if (!removed)
            removed = QDir(folder).removeRecursively();
    });

    const net::NetworkRun network;
    DownloadRun run(window, network.setup());
    QCOMPARE(runToEnd(run), DownloadOutcome::SomeFailed);
    QVERIFY(removed);
    QCOMPARE(run.failures().size(), 3);
    // The entries after the first learn it before they are fetched.
    for (int i = 1; i < 3; ++i)
        QVERIFY2(run.failures()[i].reason.contains(QStringLiteral("does not exist")),
                 qPrintable(run.failures()[i].reason));
    QCOMPARE(folderEntries(parent.path()), QStringList());
}

void TestHostileNames::fullDiskKeepsTheOldFile() {
    TestServer server;
    server.route("/big.png", serve::generated(400'000));
    server.route("/small.png", serve::generated(1000));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("big.png")), oldBytes));
    FakeDownloadWindow window;
    window.folder = dir.path() + u'/';
    window.add(server.address("/big.png"));
    window.add(server.address("/small.png"));

    const net::NetworkRun network;
    DownloadRun run(window, network.setup());
    {
        FileSizeLimit limit(100'000);
        QVERIFY(limit.ok());
        QCOMPARE(runToEnd(run), DownloadOutcome::SomeFailed);
    }

    QCOMPARE(run.failures().size(), 1);
    QCOMPARE(run.failures().first().link, server.address("/big.png"));
    // The system's own reason, not "Unknown error".
    const QString reason = run.failures().first().reason;
    QVERIFY2(reason.startsWith(QStringLiteral("Cannot write ")) && reason.endsWith(qt_error_string(EFBIG)),
             qPrintable(reason));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("big.png"))), oldBytes);
    QCOMPARE(readAll(dir.filePath(QStringLiteral("small.png"))), generatedBytes(0, 1000));
    QCOMPARE(folderEntries(dir.path()),
             (QStringList{QStringLiteral("big.png"), QStringLiteral("small.png")}));
}

void TestHostileNames::killedProgramLeavesOnlyATemporaryFile() {
    TestServer server;
    server.route("/", serve::ok("<img src=\"pic.jpg\">"));
    // Part of the body, then the server keeps the program waiting.
    server.route("/pic.jpg", serve::generated(1'000'000).sendingOnly(200'000).thenEnd(serve::End::Stall));
    QTemporaryDir dir;
    const QString destination = dir.filePath(QStringLiteral("pic.jpg"));
    QVERIFY(writeFile(destination, oldBytes));

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VARNOLUX_IDLE_TIMEOUT_MS"), QStringLiteral("60000"));
    program.setProcessEnvironment(environment);
#ifdef Q_OS_LINUX
    program.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
    program.start(varnoluxExecutable(),
                  {QStringLiteral("download"), QString::fromLatin1(server.address("/")), dir.path()});
    QVERIFY(program.waitForStarted());
    // Killed once part of the body is on disk.
    auto partWithBytes = [&] {
        for (const QFileInfo& info : QDir(dir.path()).entryInfoList(QDir::Files | QDir::Hidden))
            if (isPartName(info.fileName()) && info.size() > 0)
                return true;
        return false;
    };
    QVERIFY2(QTest::qWaitFor(partWithBytes, 20000), qPrintable(folderEntries(dir.path()).join(u' ')));
    program.kill();
    QVERIFY(program.waitForFinished());
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);

    QCOMPARE(readAll(destination), oldBytes);
    const QStringList left = folderEntries(dir.path());
    QCOMPARE(left.size(), 2);
    QVERIFY2(left.contains(QStringLiteral("pic.jpg")), qPrintable(left.join(u' ')));
    QVERIFY2(isPartName(left.first()), qPrintable(left.join(u' ')));
}

QTEST_GUILESS_MAIN(TestHostileNames)
#include "tst_hostilenames.moc"
