// The download run over a recording window: which entries it fetches, under which names and into
// which folder, what the bar and pointer show, how a second start, "Uncheck All" and a closing
// window during a run come out, and what the final message says.

#include "core/Cancellation.h"
#include "download/DownloadRun.h"
#include "net/RunSetup.h"
#include "shell/ListOperations.h"
#include "support/FakeDownloadWindow.h"
#include "support/Files.h"
#include "support/RunToEnd.h"
#include "support/ScriptedTransfers.h"
#include "support/TestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

using TestHost = FakeDownloadWindow;

const QString folderMissing = QStringLiteral("Folder does not exist. Please select another folder.");

// A run set-up whose transfers are played by a scripted loop.
struct ScriptedRun {
    explicit ScriptedRun(net::RunOptions options = {}) : setup(loop, std::move(options)) {}
    ScriptedTransfers loop;
    net::RunSetup setup;
};

ScriptedTransfers::Script image(QByteArray body, int delayMs = 0) {
    ScriptedTransfers::Script script;
    script.headers = {{"Content-Length", QByteArray::number(body.size())}};
    script.body = std::move(body);
    script.delayMs = delayMs;
    return script;
}

// The most requests the server had in hand at once, each answered answerMs after it arrived.
int mostAtOnce(const QList<qint64>& arrivals, qint64 answerMs) {
    int most = 0;
    for (qint64 at : arrivals) {
        int overlapping = 0;
        for (qint64 other : arrivals)
            overlapping += other <= at && at < other + answerMs ? 1 : 0;
        most = qMax(most, overlapping);
    }
    return most;
}

} // namespace

class DownloadRunTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void namesEachFileInsideTheFolder_data();
    void namesEachFileInsideTheFolder();
    void finalMessageHeadingCountsWhatItLists_data();
    void finalMessageHeadingCountsWhatItLists();
    void addsTheMissingFinalSeparator();
    void replacesOrKeepsAnExistingFile_data();
    void replacesOrKeepsAnExistingFile();
    void unwritableFolderIsNamedBeforeAnyTransfer();
    void walksEveryEntryButFetchesOnlyTheTicked();
    void emptyListIsDoneAtOnce();
    void missingFolderStopsBeforeAnyEntry();
    void uncheckAllWhileWaitingSkipsTheRest();
    void clearListIsRefusedDuringTheRun();
    void secondStartIsIgnored();
    void startWhileAnotherRunIsActiveIsIgnored();
    void folderTypedDuringTheRunAppliesToLaterEntries();
    void finalMessageListsTheFailures_data();
    void finalMessageListsTheFailures();
    void closingTheWindowEndsTheRunQuietly();
    void tellsTheLoopEachRequestWithTheReferer();
    void keepsAtMostNRequestsOnTheWire_data();
    void keepsAtMostNRequestsOnTheWire();
    void keepsAtMostNRequestsAtTheServer_data();
    void keepsAtMostNRequestsAtTheServer();
    void aHostThatAsksToSlowDownWaitsWhileOthersGoOn_data();
    void aHostThatAsksToSlowDownWaitsWhileOthersGoOn();
    void aHostOnLoopbackThatAsksToSlowDown();
    void closingMidRunLeavesNoPartFile_data();
    void closingMidRunLeavesNoPartFile();
    void oneNameIsWrittenByOneEntryAtATime();
};

void DownloadRunTest::initTestCase() {
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "300");
}

void DownloadRunTest::cleanup() {
    Cancellation::reset();
}

void DownloadRunTest::namesEachFileInsideTheFolder_data() {
    QTest::addColumn<QByteArray>("path"); // the link's path on the server
    QTest::addColumn<QString>("name");    // the file saved, or empty when the entry fails
    QTest::addColumn<QString>("reason");  // part of the failure's reason

    QTest::newRow("the last part of the link")
        << QByteArray("/dir/pic.jpg") << QStringLiteral("pic.jpg") << QString();
    QTest::newRow("a query stays in the name")
        << QByteArray("/img.php?id=7") << QStringLiteral("img.php?id=7") << QString();
    QTest::newRow("percent-escapes stay undecoded")
        << QByteArray("/a%20b.jpg") << QStringLiteral("a%20b.jpg") << QString();
    QTest::newRow("one final slash is dropped") << QByteArray("/dir/") << QStringLiteral("dir") << QString();
    QTest::newRow("two final slashes leave no name")
        << QByteArray("/dir//") << QString() << QStringLiteral("no file name");
    QTest::newRow("dot dot would climb out") << QByteArray("/x/..") << QString() << QStringLiteral("\"..\"");
    QTest::newRow("a lone dot names the folder")
        << QByteArray("/x/.") << QString() << QStringLiteral("\".\"");
    QTest::newRow("a backslash is a separator elsewhere")
        << QByteArray("/..\\..\\evil.jpg") << QString() << QStringLiteral("path separator");
    QTest::newRow("a control byte") << QByteArray("/a\x01.jpg") << QString()
                                    << QStringLiteral("control character");
    QTest::newRow("a NUL byte") << QByteArray("/a\0b.jpg", 8) << QString()
                                << QStringLiteral("control character");
}

void DownloadRunTest::namesEachFileInsideTheFolder() {
    QFETCH(QByteArray, path);
    QFETCH(QString, name);
    QFETCH(QString, reason);

    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(1500); });
    QTemporaryDir parent;
    QVERIFY(QDir(parent.path()).mkdir(QStringLiteral("images")));
    TestHost host;
    host.folder = parent.filePath(QStringLiteral("images")) + u'/';
    const QByteArray link = server.address(path);
    host.add(link);

    const net::NetworkRun network;
    DownloadRun run(host, network.setup());
    const DownloadOutcome outcome = runToEnd(run);

    QCOMPARE(folderEntries(parent.path()), QStringList{QStringLiteral("images")});
    if (name.isEmpty()) {
        QCOMPARE(outcome, DownloadOutcome::SomeFailed);
        QCOMPARE(folderEntries(host.folder), QStringList());
        QCOMPARE(host.boxes.messages.size(), 1);
        const QString message = host.boxes.messages.last().text;
        QVERIFY2(message.startsWith(QStringLiteral("1 of 1 downloads failed:\r") + QString::fromUtf8(link) +
                                    QLatin1StringView(": ")),
                 qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
        // A name that would leave the folder is never asked for.
        QCOMPARE(server.requests().size(), 0);
    } else {
        QCOMPARE(outcome, DownloadOutcome::Done);
        QCOMPARE(folderEntries(host.folder), QStringList{name});
        QCOMPARE(readAll(host.folder + name), generatedBytes(0, 1500));
        QCOMPARE(host.boxes.texts(), QStringList{QStringLiteral("Done.")});
    }
}

void DownloadRunTest::addsTheMissingFinalSeparator() {
    TestServer server;
    server.route("/pic.jpg", serve::generated(700));
    QTemporaryDir parent;
    QVERIFY(QDir(parent.path()).mkdir(QStringLiteral("Images")));
    TestHost host;
    host.folder = parent.filePath(QStringLiteral("Images"));
    host.add(server.address("/pic.jpg"));

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Done);
    // Not "Imagespic.jpg" beside the folder.
    QCOMPARE(folderEntries(parent.path()), QStringList{QStringLiteral("Images")});
    QCOMPARE(readAll(host.folder + QLatin1StringView("/pic.jpg")), generatedBytes(0, 700));
}

void DownloadRunTest::replacesOrKeepsAnExistingFile_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("a longer file is replaced by exactly the new bytes")
        << serve::generated(1000) << generatedBytes(0, 1000);
    QTest::newRow("a failed download leaves the file untouched")
        << serve::response(404, "Not Found", {}, "nothing here") << QByteArray(5000, 'o');
    QTest::newRow("a cut-off download leaves the file untouched")
        << serve::cutShort(8000, 3000) << QByteArray(5000, 'o');
}

void DownloadRunTest::replacesOrKeepsAnExistingFile() {
    QFETCH(Behaviour, behaviour);
    QFETCH(QByteArray, after);

    TestServer server;
    server.route("/photo.jpg", behaviour);
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    QVERIFY(writeFile(host.folder + QLatin1StringView("photo.jpg"), QByteArray(5000, 'o')));
    host.add(server.address("/photo.jpg"));

    runToEnd(DownloadRun(host, net::NetworkRun().setup()));
    QCOMPARE(readAll(host.folder + QLatin1StringView("photo.jpg")), after);
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("photo.jpg")});
}

void DownloadRunTest::unwritableFolderIsNamedBeforeAnyTransfer() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(4000); });
    QTemporaryDir dir;
    TestHost host;
    // Permissions do not stop root; no one can create files in /proc.
    if (::geteuid() == 0) {
        host.folder = QStringLiteral("/proc/");
    } else {
        host.folder = dir.path() + u'/';
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }
    host.add(server.address("/a.jpg"));
    host.add(server.address("/b.jpg"));

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::FolderUnwritable);
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    // One message naming the folder, not one error report per entry after fetching it in vain.
    QCOMPARE(host.boxes.messages.size(), 1);
    const QString message = host.boxes.messages.first().text;
    QVERIFY2(message.startsWith(QStringLiteral("Cannot create a file in ")), qPrintable(message));
    QVERIFY2(message.endsWith(QStringLiteral(". Please select another folder.")), qPrintable(message));
    QCOMPARE(server.requests().size(), 0);
    QCOMPARE(host.bar.values, QList<int>{});
    QCOMPARE(host.mouse.changes, QList<Pointer>{});
    QVERIFY(!host.busy);
    QCOMPARE(folderEntries(dir.path()), QStringList());
}

void DownloadRunTest::walksEveryEntryButFetchesOnlyTheTicked() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(100); });
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    host.add(server.address("/1.jpg"), false);
    host.add(server.address("/2.jpg"), true);
    host.add(server.address("/3.jpg"), false);

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Done);
    QCOMPARE(server.distinctPaths(), QList<QByteArray>{"/2.jpg"});
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("2.jpg")});
    QCOMPARE(host.bar.maxima, QList<int>{3});
    QCOMPARE(host.bar.values, (QList<int>{1, 2, 3, 0}));
    QCOMPARE(host.bar.text(), QStringLiteral("Progress Bar"));
    QCOMPARE(host.mouse.changes,
             (QList<Pointer>{Pointer::Busy, Pointer::Busy, Pointer::Busy, Pointer::Default}));
    QCOMPARE(host.boxes.texts(), QStringList{QStringLiteral("Done.")});
    QVERIFY(!host.busy);

    // Nothing ticked: every entry is still walked, nothing is fetched, and the run is done.
    host.list.setTicked(2, false);
    host.bar.values.clear();
    server.clearRequests();
    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Done);
    QCOMPARE(server.requests().size(), 0);
    QCOMPARE(host.bar.values, (QList<int>{1, 2, 3, 0}));
    QCOMPARE(host.boxes.texts().last(), QStringLiteral("Done."));
}

void DownloadRunTest::emptyListIsDoneAtOnce() {
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Done);
    QCOMPARE(host.boxes.texts(), QStringList{QStringLiteral("Done.")});
    QCOMPARE(host.bar.maxima, QList<int>{0});

    // The folder test still runs on an empty list.
    host.folder = dir.filePath(QStringLiteral("gone/"));
    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::NoFolder);
    QCOMPARE(host.boxes.texts().last(), folderMissing);
}

void DownloadRunTest::missingFolderStopsBeforeAnyEntry() {
    TestServer server;
    TestHost host;
    host.folder = QStringLiteral("/no/such/folder/");
    host.add(server.address("/a.jpg"));
    host.add(server.address("/b.jpg"));

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::NoFolder);
    QCOMPARE(host.boxes.texts(), QStringList{folderMissing});
    QCOMPARE(host.bar.maxima, QList<int>{2});
    QCOMPARE(host.bar.values, QList<int>{});
    QCOMPARE(host.mouse.changes, QList<Pointer>{});
    QCOMPARE(server.requests().size(), 0);
    QVERIFY(!host.busy);
}

void DownloadRunTest::uncheckAllWhileWaitingSkipsTheRest() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(2000); });
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    for (const char* path : {"/1.jpg", "/2.jpg", "/3.jpg", "/4.jpg"})
        host.add(server.address(path));
    // The first request arrives while the run waits for the first entry's server.
    RecordingMessages buttonBoxes;
    connect(&server, &TestServer::requestArrived, this, [&] { uncheckAllEntries(host.list, buttonBoxes); });

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Done);
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("1.jpg")});
    QCOMPARE(host.boxes.texts(), QStringList{QStringLiteral("Done.")});
    QCOMPARE(host.bar.values, (QList<int>{1, 2, 3, 4, 0}));
    QCOMPARE(buttonBoxes.texts(), QStringList());
}

void DownloadRunTest::clearListIsRefusedDuringTheRun() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(2000); });
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    host.add(server.address("/1.jpg"));
    host.add(server.address("/2.jpg"));
    RecordingMessages buttonBoxes;
    QList<int> countsAfterClear;
    connect(&server, &TestServer::requestArrived, this, [&] {
        clearList(host.list, host.mouse, buttonBoxes);
        countsAfterClear << host.list.count();
    });

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Done);
    QVERIFY(!countsAfterClear.isEmpty());
    for (int count : countsAfterClear)
        QCOMPARE(count, 2);
    QCOMPARE(folderEntries(dir.path()), (QStringList{QStringLiteral("1.jpg"), QStringLiteral("2.jpg")}));

    // After "Done." the list can be cleared.
    clearList(host.list, host.mouse, buttonBoxes);
    QCOMPARE(host.list.count(), 0);
    QCOMPARE(buttonBoxes.texts(), QStringList());
}

void DownloadRunTest::secondStartIsIgnored() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(2000); });
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    host.add(server.address("/1.jpg"));
    host.add(server.address("/2.jpg"));
    QList<DownloadOutcome> second;
    connect(&server, &TestServer::requestArrived, this,
            [&] { second << runToEnd(DownloadRun(host, net::NetworkRun().setup())); });

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Done);
    QVERIFY(!second.isEmpty());
    for (DownloadOutcome o : second)
        QCOMPARE(o, DownloadOutcome::Ignored);
    QCOMPARE(host.boxes.texts(), QStringList{QStringLiteral("Done.")});
    QCOMPARE(host.bar.maxima, QList<int>{2});
    QCOMPARE(folderEntries(dir.path()), (QStringList{QStringLiteral("1.jpg"), QStringLiteral("2.jpg")}));
    QVERIFY(!host.busy);
}

void DownloadRunTest::startWhileAnotherRunIsActiveIsIgnored() {
    // The window holds the flag during a listing run too.
    TestServer server;
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    host.add(server.address("/1.jpg"));
    host.busy = true;

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Ignored);
    QVERIFY(host.busy);
    QCOMPARE(host.boxes.texts(), QStringList());
    QCOMPARE(host.bar.maxima, QList<int>{});
    QCOMPARE(host.mouse.changes, QList<Pointer>{});
    QCOMPARE(server.requests().size(), 0);
}

void DownloadRunTest::folderTypedDuringTheRunAppliesToLaterEntries() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(300); });
    QTemporaryDir first;
    QTemporaryDir second;
    TestHost host;
    host.folder = first.path() + u'/';
    host.add(server.address("/1.jpg"));
    host.add(server.address("/2.jpg"));
    connect(&server, &TestServer::requestArrived, this, [&] { host.folder = second.path() + u'/'; });

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Done);
    QCOMPARE(folderEntries(first.path()), QStringList{QStringLiteral("1.jpg")});
    QCOMPARE(folderEntries(second.path()), QStringList{QStringLiteral("2.jpg")});
}

void DownloadRunTest::finalMessageListsTheFailures_data() {
    QTest::addColumn<int>("good");
    QTest::addColumn<int>("bad");
    QTest::addColumn<int>("listed");
    QTest::addColumn<QString>("last");

    QTest::newRow("one of three failed") << 2 << 1 << 1 << QString();
    QTest::newRow("the first 20 are listed, then a count") << 0 << 25 << 20 << QStringLiteral("and 5 more.");
}

void DownloadRunTest::finalMessageListsTheFailures() {
    QFETCH(int, good);
    QFETCH(int, bad);
    QFETCH(int, listed);
    QFETCH(QString, last);

    TestServer server; // unknown paths get a 404
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    QList<QByteArray> failed;
    for (int i = 0; i < good; ++i) {
        const QByteArray path = "/good" + QByteArray::number(i) + ".jpg";
        server.route(path, serve::generated(100));
        host.add(server.address(path));
    }
    for (int i = 0; i < bad; ++i) {
        failed << server.address("/bad" + QByteArray::number(i) + ".jpg");
        host.add(failed.last());
    }

    const net::NetworkRun network;
    DownloadRun run(host, network.setup());
    QCOMPARE(runToEnd(run), DownloadOutcome::SomeFailed);
    QCOMPARE(run.saved(), good);
    QCOMPARE(run.failures().size(), bad);
    const QStringList lines = host.boxes.texts().last().split(u'\r');
    QCOMPARE(lines.first(), bad == 1 ? QStringLiteral("1 of %1 downloads failed:").arg(good + bad)
                                     : QStringLiteral("%1 of %2 downloads failed:").arg(bad).arg(good + bad));
    for (int i = 0; i < listed; ++i)
        QCOMPARE(lines.at(i + 1),
                 QString::fromUtf8(failed[i]) + QStringLiteral(": the server answered HTTP 404 Not Found"));
    QCOMPARE(lines.size(), 1 + listed + (last.isEmpty() ? 0 : 1));
    if (!last.isEmpty())
        QCOMPARE(lines.last(), last);
}

void DownloadRunTest::closingTheWindowEndsTheRunQuietly() {
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(3000).trickled(5); });
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    host.add(server.address("/1.jpg"));
    host.add(server.address("/2.jpg"));
    connect(&server, &TestServer::requestArrived, this,
            [] { QTimer::singleShot(50, [] { Cancellation::request(); }); });

    QCOMPARE(runToEnd(DownloadRun(host, net::NetworkRun().setup())), DownloadOutcome::Cancelled);
    // Nobody is left to read a message; nothing half-written stays behind.
    QCOMPARE(host.boxes.texts(), QStringList());
    QCOMPARE(folderEntries(dir.path()), QStringList());
    QVERIFY(!host.busy);
    QCOMPARE(host.mouse.pointer(), Pointer::Default);
}

void DownloadRunTest::tellsTheLoopEachRequestWithTheReferer() {
    ScriptedRun scripted;
    scripted.loop.fallback = image("GIF");
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    host.add("http://a.test/g/1.gif");
    host.add("http://a.test/g/2.gif", false); // unticked: never asked for
    host.add("http://a.test/g/..");           // no name to save under: never asked for
    host.add("https://cdn.test/3.gif");
    DownloadRun run(host, scripted.setup);
    run.setRefererPage("http://a.test/g/index.html");
    QCOMPARE(runToEnd(run), DownloadOutcome::SomeFailed);

    auto links = [](const QList<net::Request>& requests) {
        QList<QByteArray> out;
        for (const net::Request& request : requests)
            out << request.link;
        return out;
    };
    // Each entry is asked for once, in list order, naming the page; the loop trims the Referer to
    // what each target may see. Nothing is asked for early: one request at a time.
    QCOMPARE(links(scripted.loop.requests),
             (QList<QByteArray>{"http://a.test/g/1.gif", "https://cdn.test/3.gif"}));
    QCOMPARE(scripted.loop.requests[0].referer, QByteArray("http://a.test/g/index.html"));
    QCOMPARE(scripted.loop.requests[1].referer, QByteArray("http://a.test/g/index.html"));
    QCOMPARE(scripted.loop.mostInFlight, 1);
    QCOMPARE(scripted.loop.maxInFlight, 1);
    QCOMPARE(folderEntries(dir.path()), (QStringList{QStringLiteral("1.gif"), QStringLiteral("3.gif")}));
}

void DownloadRunTest::keepsAtMostNRequestsOnTheWire_data() {
    QTest::addColumn<int>("parallel");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("most");
    QTest::newRow("one at a time: never a second request early") << 1 << 6 << 1;
    QTest::newRow("two at once") << 2 << 6 << 2;
    QTest::newRow("eight at once") << 8 << 12 << 8;
    QTest::newRow("eight allowed, three entries") << 8 << 3 << 3;
    QTest::newRow("beyond the bound: sixteen") << 40 << 20 << 16;
}

void DownloadRunTest::keepsAtMostNRequestsOnTheWire() {
    QFETCH(int, parallel);
    QFETCH(int, entries);
    QFETCH(int, most);
    net::RunOptions options;
    options.parallel = parallel;
    ScriptedRun scripted(options);
    scripted.loop.fallback = image(generatedBytes(0, 3000), 20);
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    QStringList names;
    for (int i = 0; i < entries; ++i) {
        host.add("http://a.test/" + QByteArray::number(i) + ".jpg");
        names << QString::number(i) + QLatin1StringView(".jpg");
    }
    DownloadRun run(host, scripted.setup);
    QCOMPARE(runToEnd(run), DownloadOutcome::Done);

    QCOMPARE(scripted.loop.mostInFlight, most);
    QCOMPARE(scripted.loop.requests.size(), entries);
    // Asked for in list order.
    for (int i = 0; i < entries; ++i)
        QCOMPARE(scripted.loop.requests[i].link, "http://a.test/" + QByteArray::number(i) + ".jpg");
    names.sort();
    QStringList saved = folderEntries(dir.path());
    saved.sort();
    QCOMPARE(saved, names);
    QCOMPARE(host.boxes.texts(), QStringList{QStringLiteral("Done.")});
}

void DownloadRunTest::keepsAtMostNRequestsAtTheServer_data() {
    QTest::addColumn<int>("parallel");
    QTest::newRow("--parallel 1: one request at the server at a time") << 1;
    QTest::newRow("--parallel 2") << 2;
    QTest::newRow("--parallel 8") << 8;
}

void DownloadRunTest::keepsAtMostNRequestsAtTheServer() {
    QFETCH(int, parallel);
    // A request beyond the six connections to one host waits for one, and its wait and answer
    // stay within the idle time-out of these tests.
    constexpr int answerMs = 100;
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::generated(2000).delayed(answerMs); });
    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivals;
    connect(&server, &TestServer::requestArrived, this, [&] { arrivals << clock.elapsed(); });
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    const int entries = 2 * parallel + 1;
    for (int i = 0; i < entries; ++i)
        host.add(server.address("/" + QByteArray::number(i) + ".jpg"));
    net::RunOptions options;
    options.parallel = parallel;
    const net::NetworkRun network(options);
    DownloadRun run(host, network.setup());
    QCOMPARE(runToEnd(run), DownloadOutcome::Done);

    QCOMPARE(folderEntries(dir.path()).size(), entries);
    // A request arrives only once one of those before it was answered (less a margin for the
    // answer on its way back).
    QCOMPARE(mostAtOnce(arrivals, answerMs - 30), qMin(parallel, net::RunOptions::maxPerHost));
}

void DownloadRunTest::aHostThatAsksToSlowDownWaitsWhileOthersGoOn_data() {
    QTest::addColumn<int>("parallel");
    QTest::newRow("one at a time") << 1;
    QTest::newRow("four at once") << 4;
}

void DownloadRunTest::aHostThatAsksToSlowDownWaitsWhileOthersGoOn() {
    QFETCH(int, parallel);
    qputenv("VARNOLUX_RETRY_UNIT_MS", "1");
    net::RunOptions options;
    options.parallel = parallel;
    options.retries = 3;
    ScriptedRun scripted(options);
    scripted.loop.pauseMs = 30;
    ScriptedTransfers::Script refusal;
    refusal.status = 429;
    refusal.headers = {{"Retry-After", "0"}};
    refusal.failsAtResponse = true;
    refusal.end = {net::Status::HttpStatus, QStringLiteral("Too Many Requests"), 429};
    scripted.loop.fallback = image(generatedBytes(0, 1500), 5);
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    for (int i = 0; i < 3; ++i) {
        const QByteArray busy = "http://busy.test/b" + QByteArray::number(i) + ".jpg";
        scripted.loop.script(busy, {refusal});
        host.add(busy);
        host.add("http://calm.test/c" + QByteArray::number(i) + ".jpg");
    }
    DownloadRun run(host, scripted.setup);
    QCOMPARE(runToEnd(run), DownloadOutcome::SomeFailed);

    // Each image of the busy host was asked for four times, then failed with the server's words.
    QCOMPARE(run.failures().size(), 3);
    for (const DownloadRun::Failure& failure : run.failures()) {
        QVERIFY(failure.link.startsWith("http://busy.test/"));
        QCOMPARE(failure.reason, QStringLiteral("the server answered HTTP 429 Too Many Requests"));
    }
    int busyRequests = 0;
    for (const net::Request& request : std::as_const(scripted.loop.requests))
        busyRequests += request.link.startsWith("http://busy.test/") ? 1 : 0;
    QCOMPARE(busyRequests, 12);
    QCOMPARE(folderEntries(dir.path()),
             (QStringList{QStringLiteral("c0.jpg"), QStringLiteral("c1.jpg"), QStringLiteral("c2.jpg")}));
    // The pause is named in the final message, with until when.
    QCOMPARE(run.pauses().size(), 1);
    QCOMPARE(run.pauses().first().host, QByteArray("http://busy.test:-1"));
    const QString message = host.boxes.texts().last();
    QVERIFY2(message.contains(QStringLiteral("asked to slow down (429): paused until ")),
             qPrintable(message));
}

void DownloadRunTest::aHostOnLoopbackThatAsksToSlowDown() {
    // The calm images come from a second loopback address while the first keeps refusing.
    TestServer busy;
    TestServer calm("127.0.0.2");
    if (!calm.isListening())
        QSKIP("127.0.0.2 is not available on this machine");
    qputenv("VARNOLUX_RETRY_UNIT_MS", "20");
    busy.setFallback([](const RecordedRequest&) {
        return serve::response(429, "Too Many Requests", {{"Retry-After", "1"}}, "slow down");
    });
    calm.setFallback([](const RecordedRequest&) { return serve::generated(1500); });
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    for (int i = 0; i < 2; ++i) {
        host.add(busy.address("/b" + QByteArray::number(i) + ".jpg"));
        host.add(calm.address("/c" + QByteArray::number(i) + ".jpg"));
    }
    net::RunOptions options;
    options.parallel = 2;
    options.retries = 3;
    const net::NetworkRun network(options);
    DownloadRun run(host, network.setup());
    QCOMPARE(runToEnd(run), DownloadOutcome::SomeFailed);
    qunsetenv("VARNOLUX_RETRY_UNIT_MS");

    QCOMPARE(run.failures().size(), 2);
    QCOMPARE(busy.requests().size(), 8);
    QCOMPARE(folderEntries(dir.path()), (QStringList{QStringLiteral("c0.jpg"), QStringLiteral("c1.jpg")}));
    QVERIFY(!run.pauses().isEmpty());
}

void DownloadRunTest::closingMidRunLeavesNoPartFile_data() {
    QTest::addColumn<int>("parallel");
    QTest::newRow("one at a time") << 1;
    QTest::newRow("four at once") << 4;
}

void DownloadRunTest::closingMidRunLeavesNoPartFile() {
    QFETCH(int, parallel);
    net::RunOptions options;
    options.parallel = parallel;
    ScriptedRun scripted(options);
    ScriptedTransfers::Script slow = image(generatedBytes(0, 200'000));
    slow.pieceSize = 1000;
    slow.pieceDelayMs = 5;
    scripted.loop.fallback = slow;
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    for (int i = 0; i < 8; ++i)
        host.add("http://a.test/" + QByteArray::number(i) + ".jpg");
    QTimer::singleShot(100, [] { Cancellation::request(); });
    QElapsedTimer clock;
    clock.start();
    DownloadRun run(host, scripted.setup);
    QCOMPARE(runToEnd(run), DownloadOutcome::Cancelled);

    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(folderEntries(dir.path()), QStringList());
    QCOMPARE(scripted.loop.inFlight, 0);
    QCOMPARE(scripted.loop.cancelled.size(), parallel);
    QCOMPARE(host.boxes.texts(), QStringList());
    QVERIFY(!host.busy);
}

void DownloadRunTest::oneNameIsWrittenByOneEntryAtATime() {
    net::RunOptions options;
    options.parallel = 4;
    ScriptedRun scripted(options);
    scripted.loop.script("http://a.test/x/pic.jpg", {image("first", 20)});
    scripted.loop.script("http://b.test/y/pic.jpg", {image("second", 5)});
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    host.add("http://a.test/x/pic.jpg");
    host.add("http://b.test/y/pic.jpg");
    DownloadRun run(host, scripted.setup);
    QCOMPARE(runToEnd(run), DownloadOutcome::Done);

    // The later entry of the list is what remains, as when they go one after another.
    QCOMPARE(scripted.loop.mostInFlight, 1);
    QCOMPARE(readAll(dir.filePath(QStringLiteral("pic.jpg"))), QByteArray("second"));
}

void DownloadRunTest::finalMessageHeadingCountsWhatItLists_data() {
    QTest::addColumn<int>("failed");
    QTest::addColumn<int>("pages"); // saved bodies that are HTML pages
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<QString>("heading");
    QTest::newRow("nothing to list") << 0 << 0 << false << "Done.";
    QTest::newRow("one failure") << 1 << 0 << false << "1 of 5 downloads failed:";
    QTest::newRow("two failures") << 2 << 0 << false << "2 of 5 downloads failed:";
    QTest::newRow("a page only") << 0 << 1 << false << "1 of 5 downloads saved an HTML page, not an image:";
    QTest::newRow("failures and pages")
        << 1 << 2 << false << "1 of 5 downloads failed and 2 saved an HTML page, not an image:";
    QTest::newRow("stopped with nothing to list") << 0 << 0 << true << "Stopped: 3 of 5 downloads saved.";
    QTest::newRow("stopped after a failure") << 1 << 0 << true << "Stopped: 3 of 5 downloads saved.";
}

void DownloadRunTest::finalMessageHeadingCountsWhatItLists() {
    QFETCH(int, failed);
    QFETCH(int, pages);
    QFETCH(bool, stopped);
    QFETCH(QString, heading);
    QList<DownloadRun::Failure> failures;
    for (int i = 0; i < failed; ++i)
        failures.append({"http://h/f" + QByteArray::number(i) + ".png", QStringLiteral("HTTP 404")});
    QList<DownloadRun::Note> notes;
    for (int i = 0; i < pages; ++i)
        notes.append({"http://h/p" + QByteArray::number(i) + ".png", DownloadRun::notAnImageNote()});
    const QString text = stopped ? DownloadRun::stoppedMessage(3, 5, failures, notes)
                                 : DownloadRun::endMessage(5, failures, notes);
    QStringList lines = text.split(u'\r');
    QCOMPARE(lines.takeFirst(), heading);
    // Under a stop's heading the run's own heading follows when there is something to list.
    if (stopped && failed + pages > 0)
        QVERIFY(lines.takeFirst().endsWith(u':'));
    QCOMPARE(lines.size(), failed + pages);
    for (const QString& line : std::as_const(lines))
        QVERIFY2(line.startsWith(QStringLiteral("http://h/")), qPrintable(line));
}

QTEST_GUILESS_MAIN(DownloadRunTest)
#include "tst_downloadrun.moc"
