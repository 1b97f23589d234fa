// The download run over a recording window: which entries it fetches, under which names and into
// which folder, what the bar and pointer show, how a second start, "Uncheck All" and a closing
// window during a run come out, and what the final message says.

#include "core/Cancellation.h"
#include "download/DownloadRun.h"
#include "net/RunSetup.h"
#include "shell/ListOperations.h"
#include "support/FakeDownloadWindow.h"
#include "support/Files.h"
#include "support/ScriptedTransfer.h"
#include "support/TestServer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

using TestHost = FakeDownloadWindow;

const QString folderMissing = QStringLiteral("Folder does not exist. Please select another folder.");

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
    void tellsTheTransferWhatComesNextAndTheReferer();
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
    const DownloadOutcome outcome = run.run();

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

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Done);
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

    DownloadRun(host, net::NetworkRun().setup()).run();
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

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::FolderUnwritable);
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

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Done);
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
    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Done);
    QCOMPARE(server.requests().size(), 0);
    QCOMPARE(host.bar.values, (QList<int>{1, 2, 3, 0}));
    QCOMPARE(host.boxes.texts().last(), QStringLiteral("Done."));
}

void DownloadRunTest::emptyListIsDoneAtOnce() {
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Done);
    QCOMPARE(host.boxes.texts(), QStringList{QStringLiteral("Done.")});
    QCOMPARE(host.bar.maxima, QList<int>{0});

    // The folder test still runs on an empty list.
    host.folder = dir.filePath(QStringLiteral("gone/"));
    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::NoFolder);
    QCOMPARE(host.boxes.texts().last(), folderMissing);
}

void DownloadRunTest::missingFolderStopsBeforeAnyEntry() {
    TestServer server;
    TestHost host;
    host.folder = QStringLiteral("/no/such/folder/");
    host.add(server.address("/a.jpg"));
    host.add(server.address("/b.jpg"));

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::NoFolder);
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

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Done);
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

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Done);
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
            [&] { second << DownloadRun(host, net::NetworkRun().setup()).run(); });

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Done);
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

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Ignored);
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

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Done);
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
    QCOMPARE(run.run(), DownloadOutcome::SomeFailed);
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

    QCOMPARE(DownloadRun(host, net::NetworkRun().setup()).run(), DownloadOutcome::Cancelled);
    // Nobody is left to read a message; nothing half-written stays behind.
    QCOMPARE(host.boxes.texts(), QStringList());
    QCOMPARE(folderEntries(dir.path()), QStringList());
    QVERIFY(!host.busy);
    QCOMPARE(host.mouse.pointer(), Pointer::Default);
}

void DownloadRunTest::tellsTheTransferWhatComesNextAndTheReferer() {
    ScriptedTransfer::Script script;
    script.headers = {{"Content-Length", "3"}};
    script.body = "GIF";
    ScriptedFactory factory(script);
    QTemporaryDir dir;
    TestHost host;
    host.folder = dir.path() + u'/';
    host.add("http://a.test/g/1.gif");
    host.add("http://a.test/g/2.gif", false); // unticked: never asked for
    host.add("http://a.test/g/..");           // no name to save under: never asked for
    host.add("https://cdn.test/3.gif");
    const net::RunSetup setup(factory, [script] {
        return std::unique_ptr<net::TransferFactory>(std::make_unique<ScriptedFactory>(script));
    });
    DownloadRun run(host, setup);
    run.setRefererPage("http://a.test/g/index.html");
    QCOMPARE(run.run(), DownloadOutcome::SomeFailed);

    QCOMPARE(factory.made.size(), 1);
    const ScriptedTransfer& transfer = *factory.made.front();
    auto links = [](const QList<net::Request>& requests) {
        QList<QByteArray> out;
        for (const net::Request& request : requests)
            out << request.link;
        return out;
    };
    // Before each fetch: the entry itself, then the ticked entries after it that have a name.
    QCOMPARE(transfer.expected.size(), 2);
    QCOMPARE(links(transfer.expected[0]),
             (QList<QByteArray>{"http://a.test/g/1.gif", "https://cdn.test/3.gif"}));
    QCOMPARE(links(transfer.expected[1]), QList<QByteArray>{"https://cdn.test/3.gif"});
    // The same requests are started, each naming the page; the transfer trims the Referer to what
    // each target may see.
    QCOMPARE(links(transfer.requests),
             (QList<QByteArray>{"http://a.test/g/1.gif", "https://cdn.test/3.gif"}));
    QCOMPARE(transfer.requests[0].referer, QByteArray("http://a.test/g/index.html"));
    QCOMPARE(transfer.requests[1].referer, QByteArray("http://a.test/g/index.html"));
    QCOMPARE(transfer.expected[0], transfer.requests.mid(0, 2));
    QCOMPARE(folderEntries(dir.path()), (QStringList{QStringLiteral("1.gif"), QStringLiteral("3.gif")}));
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
