// The window as a new user tries it: the first folder, the preview's place, link lists, pages
// saved under an image's link, the bar of a parallel run, File > Stop, Return and pasted
// addresses, failures to open a browser or a folder, and Save List As. The real window, its
// start-up online check through the test's seam, and servers on loopback only.
#include "TestWindow.h"

#include "core/Cancellation.h"
#include "shell/ImageListView.h"
#include "shell/PreviewWindow.h"
#include "shell/ProgressBarDisplay.h"
#include "support/TestServer.h"

#include <QAction>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

template <class T = QWidget> T* control(Form1& window, const QString& name) {
    T* found = window.findChild<T*>(name);
    if (!found)
        qFatal("no control %s", qPrintable(name));
    return found;
}

QAction* menuAction(Form1& window, const char* name) {
    QAction* found = window.action(QString::fromLatin1(name));
    if (!found)
        qFatal("no action %s", name);
    return found;
}

QStringList folderEntries(const QString& path) {
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Runs check every few milliseconds while a run holds the event loop, until it returns true.
class WhileRunning {
public:
    explicit WhileRunning(std::function<bool()> check) : m_check(std::move(check)) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (m_check())
                m_timer.stop();
        });
        m_timer.start();
    }

private:
    std::function<bool()> m_check;
    QTimer m_timer;
};

const QByteArray pngBytes = QByteArray::fromHex("89504e470d0a1a0a") + QByteArray(200, 'p');

} // namespace

class TestWindowUse : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void firstStartOffersAFolderThatExists_data();
    void firstStartOffersAFolderThatExists();
    void previewPlace_data();
    void previewPlace();
    void previewOfAWindowAtTheScreensLeftEdgeStaysOnTheScreen();
    void openLinkListTakesWebAddressesOnly_data();
    void openLinkListTakesWebAddressesOnly();
    void linkThatCannotBeRequestedFailsWithAReason();
    void pageSavedUnderAnImageLinkHasOneMeaning();
    void parallelRunBarShowsTheRun_data();
    void parallelRunBarShowsTheRun();
    void stopEndsTheRunAndKeepsWhatItHas_data();
    void stopEndsTheRunAndKeepsWhatItHas();
    void followLinksFromTheOptionsMenu();
    void stopWhileFollowingKeepsWhatWasListed();
    void returnInTheAddressBoxLists_data();
    void returnInTheAddressBoxLists();
    void addressEnteredInOnePieceLosesItsBlanks_data();
    void addressEnteredInOnePieceLosesItsBlanks();
    void failureToOpenIsShown_data();
    void failureToOpenIsShown();
    void saveListAsSuggestsAndNames_data();
    void saveListAsSuggestsAndNames();

private:
    std::unique_ptr<TemporarySettings> m_settings;
    std::unique_ptr<TestWindow> m_test;
    QTemporaryDir m_temp;
};

void TestWindowUse::init() {
    Cancellation::reset();
    m_settings = std::make_unique<TemporarySettings>();
    m_test = std::make_unique<TestWindow>();
}

void TestWindowUse::cleanup() {
    m_test.reset();
    m_settings.reset();
    Cancellation::reset();
}

// ---- The first folder ----

void TestWindowUse::firstStartOffersAFolderThatExists_data() {
    QTest::addColumn<bool>("desktop");    // whether the desktop folder exists
    QTest::addColumn<bool>("pictures");   // whether the pictures folder exists
    QTest::addColumn<QString>("stored");  // the folder stored before the start; empty: none
    QTest::addColumn<QString>("offered"); // desktop, pictures, home, or the stored text
    QTest::newRow("desktop there: the desktop") << true << true << QString() << "desktop";
    QTest::newRow("no desktop: the pictures folder") << false << true << QString() << "pictures";
    QTest::newRow("neither: the home folder") << false << false << QString() << "home";
    QTest::newRow("a stored folder stays, even one that is gone")
        << false << true << QStringLiteral("/gone/away/") << "/gone/away/";
}

void TestWindowUse::firstStartOffersAFolderThatExists() {
    QFETCH(bool, desktop);
    QFETCH(bool, pictures);
    QFETCH(QString, stored);
    QFETCH(QString, offered);
    if (!desktop)
        QVERIFY(QDir(m_test->desktop).removeRecursively());
    if (pictures)
        QVERIFY(QDir().mkpath(m_test->pictures));
    if (!stored.isEmpty())
        m_settings->put(QStringLiteral("Text2"), stored);
    const auto folder = [](const QString& path) {
        return QDir::toNativeSeparators(path) + QDir::separator();
    };
    const QString expected = offered == u"desktop"    ? folder(m_test->desktop)
                             : offered == u"pictures" ? folder(m_test->pictures)
                             : offered == u"home"     ? folder(m_test->home)
                                                      : offered;
    Form1& window = m_test->load();
    QCOMPARE(control<QLineEdit>(window, QStringLiteral("Text2"))->text(), expected);
    // Chosen once: what the first start shows is what is stored, and read back next time.
    QCOMPARE(m_settings->stored(QStringLiteral("Text2")), expected);
    QVERIFY(m_test->boxes.messages.isEmpty());
    QVERIFY(QDir().mkpath(m_test->desktop));
    m_test->window.reset();
    QCOMPARE(control<QLineEdit>(m_test->load(), QStringLiteral("Text2"))->text(), expected);
}

// ---- The preview's place ----

void TestWindowUse::previewPlace_data() {
    QTest::addColumn<QRect>("main");
    QTest::addColumn<QPoint>("at");
    // A preview of 420 x 440 on a screen of 1400 x 700.
    QTest::newRow("room on the right: on the right") << QRect(100, 50, 536, 560) << QPoint(644, 50);
    QTest::newRow("no room on the right: on the left") << QRect(800, 50, 536, 560) << QPoint(372, 50);
    QTest::newRow("at the left edge without room right: over it, on the screen")
        << QRect(0, 30, 1000, 560) << QPoint(0, 30);
    QTest::newRow("centred without room either side: over it") << QRect(300, 30, 800, 560) << QPoint(300, 30);
    QTest::newRow("partly off the left edge: over it, moved onto the screen")
        << QRect(-100, 0, 1200, 560) << QPoint(0, 0);
    QTest::newRow("low on the screen: raised to fit") << QRect(100, 500, 536, 560) << QPoint(644, 260);
}

void TestWindowUse::previewPlace() {
    QFETCH(QRect, main);
    QFETCH(QPoint, at);
    const QSize preview(420, 440);
    const QRect screen(0, 0, 1400, 700);
    const QPoint placed = ::previewPlace(main, preview, screen);
    QCOMPARE(placed, at);
    QVERIFY(screen.contains(QRect(placed, preview)));
}

void TestWindowUse::previewOfAWindowAtTheScreensLeftEdgeStaysOnTheScreen() {
    Form1& window = m_test->load();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect available = window.screen()->availableGeometry();
    window.move(available.topLeft());
    menuAction(window, "actionPreview")->trigger();
    QVERIFY(window.preview() && window.preview()->isVisible());
    const QRect placed = window.preview()->frameGeometry();
    QVERIFY2(available.contains(placed), qPrintable(QStringLiteral("%1,%2 %3x%4 on %5x%6")
                                                        .arg(placed.x())
                                                        .arg(placed.y())
                                                        .arg(placed.width())
                                                        .arg(placed.height())
                                                        .arg(available.width())
                                                        .arg(available.height())));
}

// ---- Link lists ----

void TestWindowUse::openLinkListTakesWebAddressesOnly_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("message"); // empty: none
    QTest::newRow("web addresses only: no word")
        << QByteArray("http://h/a.png\nhttps://h/b.png\n")
        << QStringList{QStringLiteral("http://h/a.png"), QStringLiteral("https://h/b.png")} << QString();
    QTest::newRow("one line that is no address")
        << QByteArray("http://h/a.png\nnot a url at all\n") << QStringList{QStringLiteral("http://h/a.png")}
        << QStringLiteral("1 line of %1 passed over: it is not a web address (http or https).");
    QTest::newRow("other schemes and no host: counted, comments are not")
        << QByteArray("# mine\nftp://h/a.png\nfile:///etc/passwd\nhttp://\nmailto:x@h\nHTTPS://h/c.png\n")
        << QStringList{QStringLiteral("HTTPS://h/c.png")}
        << QStringLiteral("4 lines of %1 passed over: they are not a web address (http or https).");
}

void TestWindowUse::openLinkListTakesWebAddressesOnly() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, list);
    QFETCH(QString, message);
    const QString path = m_temp.filePath(QStringLiteral("links.txt"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    Form1& window = m_test->load();
    m_test->fileAnswer = path;
    menuAction(window, "actionOpenLinkList")->trigger();
    QStringList entries;
    for (int i = 1; i <= window.imageList().count(); ++i)
        entries << QString::fromUtf8(window.imageList().text(i));
    QCOMPARE(entries, list);
    QCOMPARE(m_test->boxes.texts(),
             message.isEmpty() ? QStringList() : QStringList{message.arg(QDir::toNativeSeparators(path))});
}

void TestWindowUse::linkThatCannotBeRequestedFailsWithAReason() {
    TestServer server;
    server.route("/a.png", serve::ok(pngBytes, "image/png"));
    QTemporaryDir dir;
    m_settings->put(QStringLiteral("Text2"), dir.path() + QStringLiteral("/"));
    Form1& window = m_test->load();
    // Dropped on the list or listed by a page, such a link still reaches the run.
    window.imageList().setTicked(window.imageList().add("not a url at all"), true);
    window.imageList().setTicked(window.imageList().add(server.address("/a.png")), true);
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));
    // One message, the run's own: no report of the program's error.
    QCOMPARE(m_test->boxes.messages.size(), 1);
    const QString summary = m_test->boxes.texts().first();
    QVERIFY2(summary.startsWith(QStringLiteral("1 of 2 downloads failed:\rnot a url at all: ")),
             qPrintable(summary));
    auto& list = control<ImageListView>(window, QStringLiteral("ListView1"))->list();
    QCOMPARE(list.outcome(1), EntryOutcome::Failed);
    QVERIFY(list.outcomeNote(1).size() > QStringLiteral("Failed: ").size());
    QCOMPARE(list.outcome(2), EntryOutcome::Saved);
    QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("a.png")});
}

// ---- A page saved under an image's link ----

void TestWindowUse::pageSavedUnderAnImageLinkHasOneMeaning() {
    TestServer server;
    const QByteArray login = "<!DOCTYPE html><html><form>Sign in</form></html>";
    server.route("/login.jpg", serve::ok(login, "image/jpeg"));
    server.route("/a.png", serve::ok(pngBytes, "image/png"));
    QTemporaryDir dir;
    m_settings->put(QStringLiteral("Text2"), dir.path() + QStringLiteral("/"));
    Form1& window = m_test->load();
    for (const char* path : {"/login.jpg", "/a.png", "/missing.png"})
        window.imageList().setTicked(window.imageList().add(server.address(path)), true);
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));

    auto& list = control<ImageListView>(window, QStringLiteral("ListView1"))->list();
    list.flush();
    QCOMPARE(list.outcome(1), EntryOutcome::SavedNotImage);
    QCOMPARE(list.outcome(2), EntryOutcome::Saved);
    const QString tip = list.data(list.index(0), Qt::ToolTipRole).toString();
    QVERIFY2(tip.contains(QStringLiteral("HTML page")), qPrintable(tip));
    // Its mark is amber, unlike the green of a picture saved.
    const auto centre = [&](int row) {
        return list.data(list.index(row), Qt::DecorationRole)
            .value<QIcon>()
            .pixmap(10, 10)
            .toImage()
            .pixelColor(5, 5);
    };
    const QColor amber = centre(0);
    QVERIFY2(amber.red() > 200 && amber.green() > 120 && amber.green() < 200 && amber.blue() < 100,
             qPrintable(amber.name()));
    QVERIFY(centre(1) != amber);

    // The heading counts the two entries listed under it.
    QCOMPARE(m_test->boxes.messages.size(), 1);
    const QStringList lines = m_test->boxes.texts().first().split(u'\r');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], QStringLiteral("1 of 3 downloads failed and 1 saved an HTML page, not an image:"));

    // The preview names what the bytes are, not what the server called them.
    auto* view = control<ImageListView>(window, QStringLiteral("ListView1"));
    view->setCurrentIndex(view->model()->index(0, 0));
    menuAction(window, "actionPreview")->trigger();
    QVERIFY(window.preview());
    QTRY_VERIFY_WITH_TIMEOUT(!window.preview()->loading(), 10000);
    const QString info = window.preview()->infoText();
    QVERIFY2(info.contains(QStringLiteral("HTML page")) && !info.contains(QStringLiteral("image/jpeg")),
             qPrintable(info));
}

// ---- The bar of a parallel run ----

void TestWindowUse::parallelRunBarShowsTheRun_data() {
    QTest::addColumn<int>("parallel");
    QTest::addColumn<bool>("lengths"); // whether the images announce their length
    QTest::newRow("four at once, lengths known") << 4 << true;
    QTest::newRow("two at once, no lengths") << 2 << false;
}

void TestWindowUse::parallelRunBarShowsTheRun() {
    QFETCH(int, parallel);
    QFETCH(bool, lengths);
    TestServer server;
    const int images = 8;
    for (int i = 0; i < images; ++i) {
        Behaviour slow = serve::generated(40000, "image/png").delayed(150).chunked({4000});
        if (lengths)
            slow = serve::generated(40000, "image/png").delayed(150);
        server.route(QByteArray("/") + QByteArray::number(i) + ".png", slow);
    }
    QTemporaryDir dir;
    m_settings->put(QStringLiteral("Text2"), dir.path() + QStringLiteral("/"));
    m_settings->put(QStringLiteral("Parallel"), QString::number(parallel));
    Form1& window = m_test->load();
    for (int i = 0; i < images; ++i)
        window.imageList().setTicked(
            window.imageList().add(server.address("/" + QByteArray::number(i) + ".png")), true);
    window.imageList().add(server.address("/unticked.png"));
    auto* bar = control<TextProgressBar>(window, QStringLiteral("ProgressBar1"));

    struct Seen {
        int value;
        int maximum;
        QString text;
    };
    QList<Seen> during;
    WhileRunning watch([&] {
        during.append({bar->value(), bar->maximum(), bar->text()});
        return false;
    });
    std::optional<Seen> atEnd;
    m_test->boxes.onShow = [&](const RecordingMessages::Message&) {
        atEnd = Seen{bar->value(), bar->maximum(), bar->text()};
    };
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));
    QCOMPARE(folderEntries(dir.path()).size(), images);

    // Mid-run the bar counts the run's entries and says so.
    const QString midText = QStringLiteral("Downloading %1 at once: ").arg(parallel);
    const bool counted = std::any_of(during.begin(), during.end(), [&](const Seen& seen) {
        return seen.text.startsWith(midText) &&
               seen.text.contains(QStringLiteral(" of %1 done").arg(images)) && seen.value > 0 &&
               seen.value < seen.maximum;
    });
    QVERIFY2(counted, qPrintable(during.isEmpty() ? QString() : during.last().text));
    for (qsizetype i = 1; i < during.size(); ++i)
        if (during[i].text.startsWith(midText) && during[i - 1].text.startsWith(midText))
            QVERIFY(during[i].value >= during[i - 1].value);
    // Its end is on show when the final message is.
    QVERIFY(atEnd.has_value());
    QVERIFY(atEnd->maximum > 0);
    QCOMPARE(atEnd->value, atEnd->maximum);
    QVERIFY2(atEnd->text.contains(QStringLiteral("%1 of %1 done").arg(images)), qPrintable(atEnd->text));
    QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Done.")});
    // And then the bar is as before the run.
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));
}

// ---- File > Stop ----

void TestWindowUse::stopEndsTheRunAndKeepsWhatItHas_data() {
    QTest::addColumn<QString>("run"); // listing, or a download run with so many at once
    QTest::addColumn<int>("parallel");
    QTest::newRow("download, one at a time") << "download" << 1;
    QTest::newRow("download, three at once") << "download" << 3;
    QTest::newRow("listing") << "listing" << 1;
}

void TestWindowUse::stopEndsTheRunAndKeepsWhatItHas() {
    QFETCH(QString, run);
    QFETCH(int, parallel);
    TestServer server;
    server.route("/a.png", serve::ok(pngBytes, "image/png"));
    // Their heads arrive, so their part files are made, and then nothing more.
    server.route("/b.png", serve::headersThenStall(100000));
    server.route("/c.png", serve::headersThenStall(100000));
    server.route("/page.html", serve::stall());
    QTemporaryDir dir;
    m_settings->put(QStringLiteral("Text2"), dir.path() + QStringLiteral("/"));
    m_settings->put(QStringLiteral("Parallel"), QString::number(parallel));
    Form1& window = m_test->load();
    QAction* stop = menuAction(window, "actionStop");
    QCOMPARE(stop->shortcut(), QKeySequence(Qt::Key_Escape));
    QVERIFY(!stop->isEnabled());
    auto& list = control<ImageListView>(window, QStringLiteral("ListView1"))->list();
    int stopsEnabled = 0;
    if (run == u"listing") {
        control<QLineEdit>(window, QStringLiteral("txtWebsite"))
            ->setText(QString::fromUtf8(server.address("/page.html")));
        WhileRunning watch([&] {
            if (!server.distinctPaths().contains("/page.html"))
                return false;
            stopsEnabled += stop->isEnabled();
            stop->trigger();
            return true;
        });
        QTest::mouseClick(control(window, QStringLiteral("PushButton5")), Qt::LeftButton);
        QVERIFY(listingEnds(window));
        QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Stopped: 0 links listed.")});
    } else {
        for (const char* path : {"/a.png", "/b.png", "/c.png"})
            window.imageList().setTicked(window.imageList().add(server.address(path)), true);
        QElapsedTimer sinceSaved;
        WhileRunning watch([&] {
            if (list.outcome(1) != EntryOutcome::Saved)
                return false;
            // Once the part file of the stalled image is there.
            if (!sinceSaved.isValid())
                sinceSaved.start();
            const QStringList parts = folderEntries(dir.path()).filter(QStringLiteral(".part"));
            if (parts.isEmpty() && sinceSaved.elapsed() < 5000)
                return false;
            stopsEnabled += stop->isEnabled();
            stop->trigger();
            return true;
        });
        QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
        QVERIFY(downloadEnds(window));
        // What was saved stays, the transfers' part files are gone, the stalled ones have no mark.
        QCOMPARE(folderEntries(dir.path()), QStringList{QStringLiteral("a.png")});
        QCOMPARE(fileBytes(dir.filePath(QStringLiteral("a.png"))), pngBytes);
        QCOMPARE(list.outcome(1), EntryOutcome::Saved);
        QCOMPARE(list.outcome(2), EntryOutcome::None);
        QCOMPARE(m_test->boxes.messages.size(), 1);
        const QString summary = m_test->boxes.texts().first();
        QVERIFY2(summary.startsWith(QStringLiteral("Stopped: 1 of ")), qPrintable(summary));
        QVERIFY2(!summary.contains(QStringLiteral("b.png")), qPrintable(summary));
    }
    QCOMPARE(stopsEnabled, 1);
    QVERIFY(window.runState().idle());
    QVERIFY(!stop->isEnabled());
    // The stop was this run's: the next one goes ahead.
    QVERIFY(!Cancellation::requested());
    window.imageList().clear();
    window.imageList().setTicked(window.imageList().add(server.address("/a.png")), true);
    m_test->boxes.messages.clear();
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));
    QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Done.")});
}

// ---- Following links ----

void TestWindowUse::followLinksFromTheOptionsMenu() {
    TestServer server;
    server.route("/g/", serve::ok("<a href=p1.html><img src=t1.jpg srcset='t1-2x.jpg 2x'></a>"
                                  "<a href=p2.html><img src=t2.jpg></a><a href=text.html>text</a>"));
    server.route("/g/p1.html", serve::ok("<img src=/full1.jpg srcset='/full1-big.jpg 1600w'>"));
    server.route("/g/p2.html",
                 serve::response(404, "Not Found", {{"Content-Type", "text/html"}}, "<img src=x.jpg>"));
    server.route("/g/text.html", serve::ok("<img src=/text.jpg>"));
    QTemporaryDir dir;
    m_settings->put(QStringLiteral("Text2"), dir.path() + QStringLiteral("/"));
    m_settings->put(QStringLiteral("Find Mode"), QStringLiteral("browser"));
    m_settings->put(QStringLiteral("Web Site"), QString::fromLatin1(server.address("/g/")));
    Form1& window = m_test->load();
    // Nothing is stored until chosen; the menus show the defaults.
    QVERIFY(menuAction(window, "actionFollowNone")->isChecked());
    QVERIFY(menuAction(window, "actionSizesAll")->isChecked());
    QCOMPARE(m_settings->stored(QStringLiteral("Follow Links")), std::nullopt);
    QCOMPARE(m_settings->stored(QStringLiteral("Picture Sizes")), std::nullopt);
    menuAction(window, "actionFollowThumbnails")->trigger();
    menuAction(window, "actionSizesLargest")->trigger();
    QCOMPARE(m_settings->stored(QStringLiteral("Follow Links")), std::optional(QStringLiteral("thumbnails")));
    QCOMPARE(m_settings->stored(QStringLiteral("Picture Sizes")), std::optional(QStringLiteral("largest")));

    QStringList barTexts;
    auto* bar = control<TextProgressBar>(window, QStringLiteral("ProgressBar1"));
    const QString idleText = bar->text();
    WhileRunning watch([&] {
        if (!bar->text().isEmpty() && bar->text() != idleText && !barTexts.contains(bar->text()))
            barTexts << bar->text();
        return false;
    });
    QTest::mouseClick(control(window, QStringLiteral("PushButton5")), Qt::LeftButton);
    QVERIFY(listingEnds(window));
    QStringList listed;
    for (int i = 1; i <= window.imageList().count(); ++i)
        listed << QString::fromUtf8(window.imageList().text(i).mid(server.base().size()));
    QCOMPARE(listed, (QStringList{u"/g/t1-2x.jpg"_s, u"/g/t2.jpg"_s, u"/full1-big.jpg"_s}));
    QCOMPARE(m_test->boxes.texts(),
             QStringList{u"Done.\r\r1 of 2 linked pages added nothing:\rThe linked page %1 adds nothing: the "
                         u"server answered HTTP 404 Not Found."_s.arg(
                             QString::fromLatin1(server.address("/g/p2.html")))});
    QVERIFY(!barTexts.isEmpty());
    for (const QString& text : std::as_const(barTexts))
        QVERIFY2(text.startsWith(u"Following links: "_s) && text.endsWith(u" of 2"_s), qPrintable(text));
}

void TestWindowUse::stopWhileFollowingKeepsWhatWasListed() {
    TestServer server;
    // The classic scan: double quotes.
    server.route("/g/", serve::ok("<a href=\"p1.html\"><img src=\"t1.jpg\"></a>"
                                  "<a href=\"p2.html\"><img src=\"t2.jpg\"></a>"));
    server.route("/g/p1.html", serve::ok("<img src=\"full1.jpg\">"));
    server.route("/g/p2.html", serve::stall());
    QTemporaryDir dir;
    m_settings->put(QStringLiteral("Text2"), dir.path() + QStringLiteral("/"));
    m_settings->put(QStringLiteral("Follow Links"), QStringLiteral("thumbnails"));
    m_settings->put(QStringLiteral("Web Site"), QString::fromLatin1(server.address("/g/")));
    Form1& window = m_test->load();
    auto* bar = control<TextProgressBar>(window, QStringLiteral("ProgressBar1"));
    QString seen;
    WhileRunning watch([&] {
        // The first page is in and the second is on its way.
        if (bar->text() != u"Following links: 1 of 2"_s || !server.distinctPaths().contains("/g/p2.html"))
            return false;
        seen = bar->text();
        menuAction(window, "actionStop")->trigger();
        return true;
    });
    QTest::mouseClick(control(window, QStringLiteral("PushButton5")), Qt::LeftButton);
    QVERIFY(listingEnds(window));
    QCOMPARE(seen, u"Following links: 1 of 2"_s);
    QCOMPARE(m_test->boxes.texts(), QStringList{u"Stopped: 3 links listed."_s});
    QCOMPARE(window.imageList().text(3), server.address("/g/full1.jpg"));
    QVERIFY(window.runState().idle());
    QVERIFY(!Cancellation::requested());
}

// ---- The address box ----

void TestWindowUse::returnInTheAddressBoxLists_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter of the keypad") << int(Qt::Key_Enter);
}

void TestWindowUse::returnInTheAddressBoxLists() {
    QFETCH(int, key);
    TestServer server;
    server.route("/page.html", serve::ok("<img src=\"a.jpg\"><img src=\"b.gif\">"));
    Form1& window = m_test->load();
    auto* address = control<QLineEdit>(window, QStringLiteral("txtWebsite"));
    address->setText(QString::fromUtf8(server.address("/page.html")));
    QTest::keyClick(address, Qt::Key(key));
    QVERIFY(listingEnds(window));
    QCOMPARE(window.imageList().count(), 2);
    QCOMPARE(window.imageList().text(1), server.address("/a.jpg"));
    QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Done.")});
}

void TestWindowUse::addressEnteredInOnePieceLosesItsBlanks_data() {
    QTest::addColumn<QString>("how");    // paste, drop or typed
    QTest::addColumn<QString>("before"); // the box's text first, the cursor at its end
    QTest::addColumn<QString>("entered");
    QTest::addColumn<QString>("result");
    QTest::newRow("pasted with blanks and a line break")
        << "paste" << QString() << QStringLiteral("  http://127.0.0.1:9/page.html \n")
        << QStringLiteral("http://127.0.0.1:9/page.html");
    QTest::newRow("pasted with a tab after typed text")
        << "paste" << QStringLiteral("http://") << QStringLiteral("\t127.0.0.1:9/ ")
        << QStringLiteral("http://127.0.0.1:9/");
    QTest::newRow("pasted without blanks: as it is")
        << "paste" << QString() << QStringLiteral("http://127.0.0.1:9/a b/")
        << QStringLiteral("http://127.0.0.1:9/a b/");
    QTest::newRow("dropped text with blanks")
        << "drop" << QStringLiteral("old") << QStringLiteral("\r\n http://127.0.0.1:9/page.html  ")
        << QStringLiteral("http://127.0.0.1:9/page.html");
    QTest::newRow("dropped link with blanks")
        << "drop link" << QString() << QStringLiteral("  http://127.0.0.1:9/page.html  \r\n")
        << QStringLiteral("http://127.0.0.1:9/page.html");
    QTest::newRow("typed key by key: left as typed")
        << "typed" << QString() << QStringLiteral(" http://127.0.0.1:9/ ")
        << QStringLiteral(" http://127.0.0.1:9/ ");
}

void TestWindowUse::addressEnteredInOnePieceLosesItsBlanks() {
    QFETCH(QString, how);
    QFETCH(QString, before);
    QFETCH(QString, entered);
    QFETCH(QString, result);
    Form1& window = m_test->load();
    auto* address = control<QLineEdit>(window, QStringLiteral("txtWebsite"));
    address->setText(before);
    address->end(false);
    if (how == u"paste") {
        QGuiApplication::clipboard()->setText(entered);
        QTest::keySequence(address, QKeySequence::Paste);
    } else if (how.startsWith(u"drop")) {
        QMimeData data;
        if (how == u"drop link")
            data.setData(QStringLiteral("text/uri-list"), entered.toUtf8());
        else
            data.setText(entered);
        const QPoint at = address->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(address, &enter);
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(address, &drop);
    } else {
        QTest::keyClicks(address, entered);
    }
    QCOMPARE(address->text(), result);
    QCOMPARE(m_settings->stored(QStringLiteral("Web Site")), result);
}

// ---- Opening a browser or a folder ----

void TestWindowUse::failureToOpenIsShown_data() {
    QTest::addColumn<QString>("what"); // browser or folder
    QTest::addColumn<bool>("fails");
    QTest::addColumn<QString>("message"); // empty: none
    QTest::newRow("browser opens: no word") << "browser" << false << QString();
    QTest::newRow("no browser: said")
        << "browser" << true
        << QStringLiteral("No program could open http://127.0.0.1:9/a.png in a browser.");
    QTest::newRow("folder opens: no word") << "folder" << false << QString();
    QTest::newRow("no file manager: said")
        << "folder" << true << QStringLiteral("No program could open the folder %1.");
}

void TestWindowUse::failureToOpenIsShown() {
    QFETCH(QString, what);
    QFETCH(bool, fails);
    QFETCH(QString, message);
    m_test->openingFails = fails;
    Form1& window = m_test->load();
    auto* view = control<ImageListView>(window, QStringLiteral("ListView1"));
    window.imageList().add("http://127.0.0.1:9/a.png");
    view->list().flush();
    view->setCurrentIndex(view->model()->index(0, 0));
    menuAction(window, what == u"browser" ? "actionOpenInBrowser" : "actionOpenFolder")->trigger();
    QCOMPARE(m_test->browserStarts.size() + m_test->folderOpenings.size(), 1);
    const QString folder = control<QLineEdit>(window, QStringLiteral("Text2"))->text();
    if (message.contains(QStringLiteral("%1")))
        message = message.arg(folder);
    QCOMPARE(m_test->boxes.texts(), message.isEmpty() ? QStringList() : QStringList{message});
    if (!message.isEmpty())
        QCOMPARE(m_test->boxes.messages.first().icon, MessageIcon::Warning);
}

// ---- Save List As ----

void TestWindowUse::saveListAsSuggestsAndNames_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("saved");
    QTest::newRow("no extension: .txt added") << "mine"
                                              << "mine.txt";
    QTest::newRow("a hidden name without one: .txt added") << ".mine"
                                                           << ".mine.txt";
    QTest::newRow("an extension of its own: kept") << "mine.csv"
                                                   << "mine.csv";
    QTest::newRow("dots in the name: kept") << "my.links.txt"
                                            << "my.links.txt";
}

void TestWindowUse::saveListAsSuggestsAndNames() {
    QFETCH(QString, typed);
    QFETCH(QString, saved);
    m_settings->put(QStringLiteral("Text2"), m_temp.path() + QStringLiteral("/"));
    Form1& window = m_test->load();
    window.imageList().setTicked(window.imageList().add("http://h/a.png"), true);
    QTemporaryDir elsewhere;
    m_test->fileAnswer = elsewhere.filePath(typed);
    menuAction(window, "actionSaveAll")->trigger();
    QCOMPARE(m_test->saveSuggestions, QStringList{QDir(m_temp.path()).filePath(QStringLiteral("links.txt"))});
    QCOMPARE(folderEntries(elsewhere.path()), QStringList{saved});
    QCOMPARE(fileBytes(elsewhere.filePath(saved)), QByteArray("http://h/a.png\n"));
    QVERIFY(m_test->boxes.messages.isEmpty());
}

QTEST_MAIN(TestWindowUse)
#include "tst_windowuse.moc"
