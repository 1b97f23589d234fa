// The window beyond its classic layout: the menu bar and its settings, the outcome of a run, link
// lists and drops. Every contact with the outside goes to the recorders of TestWindow.
#include "TestWindow.h"

#include "core/Cancellation.h"
#include "shell/ImageListView.h"
#include "shell/PreviewWindow.h"
#include "support/TestServer.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QTest>

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

void sendDrop(QWidget* target, const QList<QByteArray>& links) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QByteArray& link : links)
        urls << QUrl::fromEncoded(link);
    data.setUrls(urls);
    const QPointF at = target->rect().center();
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
}

QStringList entries(Form1& window) {
    QStringList texts;
    for (int i = 1; i <= window.imageList().count(); ++i)
        texts << QString::fromUtf8(window.imageList().text(i)) +
                     (window.imageList().ticked(i) ? QStringLiteral(" [x]") : QStringLiteral(" [ ]"));
    return texts;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestWindowMenus : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void controlsKeepTheirPlacesBelowTheMenuBar_data();
    void controlsKeepTheirPlacesBelowTheMenuBar();
    void firstStartChecksTheDefaults_data();
    void firstStartChecksTheDefaults();
    void renderedChoiceNeedsChromium_data();
    void renderedChoiceNeedsChromium();
    void choiceIsStoredAndCheckedNextStart_data();
    void choiceIsStoredAndCheckedNextStart();
    void unknownStoredChoiceChecksTheDefault();
    void helpItemsShowTheButtonsTexts_data();
    void helpItemsShowTheButtonsTexts();
    void aboutNamesTheVersions();
    void entryActionsGoThroughTheSeams();

    void outcomesAfterARun();
    void untickOption_data();
    void untickOption();
    void marksGoWithClearListAndANewRun();
    void doubleClickChangesNothing();

    void dropOfLinks_data();
    void dropOfLinks();
    void saveListAs_data();
    void saveListAs();
    void failedSaveLeavesNothingHalfWritten_data();
    void failedSaveLeavesNothingHalfWritten();
    void openLinkList_data();
    void openLinkList();

private:
    std::unique_ptr<TemporarySettings> m_settings;
    std::unique_ptr<TestWindow> m_test;
    QTemporaryDir m_temp;
};

void TestWindowMenus::init() {
    Cancellation::reset();
    m_settings = std::make_unique<TemporarySettings>();
    m_test = std::make_unique<TestWindow>();
}

void TestWindowMenus::cleanup() {
    m_test.reset();
    m_settings.reset();
}

// ---- The menu bar and the layout ----

void TestWindowMenus::controlsKeepTheirPlacesBelowTheMenuBar_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("geometry");
    // The layout in pixels at 96 dots per inch, within the container.
    QTest::newRow("PushButton3") << QStringLiteral("PushButton3") << QStringLiteral("Form1Client")
                                 << QRect(8, 8, 256, 27);
    QTest::newRow("PushButton4") << QStringLiteral("PushButton4") << QStringLiteral("Form1Client")
                                 << QRect(272, 8, 256, 27);
    QTest::newRow("Frame2") << QStringLiteral("Frame2") << QStringLiteral("Form1Client")
                            << QRect(8, 40, 520, 53);
    QTest::newRow("txtWebsite") << QStringLiteral("txtWebsite") << QStringLiteral("Frame2")
                                << QRect(16, 18, 416, 23);
    QTest::newRow("PushButton9") << QStringLiteral("PushButton9") << QStringLiteral("Frame2")
                                 << QRect(439, 18, 64, 23);
    QTest::newRow("Frame1") << QStringLiteral("Frame1") << QStringLiteral("Form1Client")
                            << QRect(8, 97, 520, 51);
    QTest::newRow("Check1") << QStringLiteral("Check1") << QStringLiteral("Frame1") << QRect(16, 20, 64, 17);
    QTest::newRow("Check3") << QStringLiteral("Check3") << QStringLiteral("Frame1") << QRect(65, 20, 64, 17);
    QTest::newRow("Check4") << QStringLiteral("Check4") << QStringLiteral("Frame1")
                            << QRect(114, 20, 233, 17);
    QTest::newRow("Text1") << QStringLiteral("Text1") << QStringLiteral("Frame1") << QRect(343, 18, 87, 23);
    QTest::newRow("PushButton1") << QStringLiteral("PushButton1") << QStringLiteral("Frame1")
                                 << QRect(439, 18, 64, 23);
    QTest::newRow("PushButton5") << QStringLiteral("PushButton5") << QStringLiteral("Form1Client")
                                 << QRect(8, 156, 520, 27);
    QTest::newRow("ListView1") << QStringLiteral("ListView1") << QStringLiteral("Form1Client")
                               << QRect(8, 190, 520, 128);
    QTest::newRow("PushButton7") << QStringLiteral("PushButton7") << QStringLiteral("Form1Client")
                                 << QRect(8, 323, 256, 27);
    QTest::newRow("PushButton8") << QStringLiteral("PushButton8") << QStringLiteral("Form1Client")
                                 << QRect(272, 323, 256, 27);
    QTest::newRow("PushButton10") << QStringLiteral("PushButton10") << QStringLiteral("Form1Client")
                                  << QRect(8, 357, 520, 27);
    QTest::newRow("Frame3") << QStringLiteral("Frame3") << QStringLiteral("Form1Client")
                            << QRect(8, 386, 520, 53);
    QTest::newRow("Text2") << QStringLiteral("Text2") << QStringLiteral("Frame3") << QRect(16, 20, 440, 23);
    QTest::newRow("PushButton2") << QStringLiteral("PushButton2") << QStringLiteral("Frame3")
                                 << QRect(461, 20, 44, 23);
    QTest::newRow("PushButton6") << QStringLiteral("PushButton6") << QStringLiteral("Form1Client")
                                 << QRect(8, 446, 520, 27);
    QTest::newRow("ProgressBar1") << QStringLiteral("ProgressBar1") << QStringLiteral("Form1Client")
                                  << QRect(8, 481, 520, 27);
}

void TestWindowMenus::controlsKeepTheirPlacesBelowTheMenuBar() {
    QFETCH(QString, name);
    QFETCH(QString, container);
    QFETCH(QRect, geometry);
    Form1& window = m_test->load();
    QWidget* widget = control(window, name);
    QCOMPARE(widget->parentWidget()->objectName(), container);
    QCOMPARE(widget->geometry(), geometry);
    // Nothing of the layout lies under the menu bar.
    const QPoint inWindow = widget->mapTo(&window, QPoint(0, 0));
    QVERIFY(inWindow.y() >= window.menuBar()->geometry().bottom());
    QCOMPARE(inWindow - window.clientArea()->pos(), widget->mapTo(window.clientArea(), QPoint(0, 0)));
}

void TestWindowMenus::firstStartChecksTheDefaults_data() {
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QString>("unchecked");
    QTest::newRow("find: classic") << "actionFindClassic"
                                   << "actionFindBrowser";
    QTest::newRow("parallel: one") << "actionParallel1"
                                   << "actionParallel16";
    QTest::newRow("exists: replace") << "actionExistsReplace"
                                     << "actionExistsRename";
    QTest::newRow("retries: none") << "actionRetries0"
                                   << "actionRetries5";
    QTest::newRow("referer sent, saved kept ticked") << "actionSendReferer"
                                                     << "actionUntickSaved";
}

void TestWindowMenus::firstStartChecksTheDefaults() {
    QFETCH(QString, checked);
    QFETCH(QString, unchecked);
    Form1& window = m_test->load();
    QVERIFY(window.action(checked)->isChecked());
    QVERIFY(!window.action(unchecked)->isChecked());
    // Showing the defaults writes nothing: a first start stores its five keys only.
    QCOMPARE(m_settings->keys().size(), 5);
}

void TestWindowMenus::choiceIsStoredAndCheckedNextStart_data() {
    QTest::addColumn<QString>("actionName");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("find as a browser") << "actionFindBrowser"
                                       << "Find Mode"
                                       << "browser";
    QTest::newRow("eight in parallel") << "actionParallel8"
                                       << "Parallel"
                                       << "8";
    QTest::newRow("skip existing files") << "actionExistsSkip"
                                         << "On Exists"
                                         << "skip";
    QTest::newRow("keep both files") << "actionExistsRename"
                                     << "On Exists"
                                     << "rename";
    QTest::newRow("three retries") << "actionRetries3"
                                   << "Retries"
                                   << "3";
    QTest::newRow("no referer") << "actionSendReferer"
                                << "Send Referer"
                                << "0";
    QTest::newRow("untick saved") << "actionUntickSaved"
                                  << "Untick Saved"
                                  << "1";
}

void TestWindowMenus::choiceIsStoredAndCheckedNextStart() {
    QFETCH(QString, actionName);
    QFETCH(QString, key);
    QFETCH(QString, value);
    {
        Form1& window = m_test->load();
        window.action(actionName)->trigger();
        QCOMPARE(m_settings->stored(key), value);
    }
    m_test = std::make_unique<TestWindow>();
    Form1& again = m_test->load();
    QCOMPARE(again.action(actionName)->isChecked(), value != QLatin1StringView("0"));
}

void TestWindowMenus::renderedChoiceNeedsChromium_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("offered");
    QTest::newRow("without Chromium the choice is greyed and names the package")
        << QStringLiteral("/nonexistent/chromium") << false;
    QTest::newRow("with a Chromium to run the choice is stored") << QStringLiteral("/bin/true") << true;
}

void TestWindowMenus::renderedChoiceNeedsChromium() {
    QFETCH(QString, program);
    QFETCH(bool, offered);
    const QByteArray before = qgetenv("VARNOLUX_CHROMIUM");
    qputenv("VARNOLUX_CHROMIUM", program.toUtf8());
    Form1& window = m_test->load();
    QAction* rendered = window.action(QStringLiteral("actionFindRendered"));
    before.isNull() ? qunsetenv("VARNOLUX_CHROMIUM") : qputenv("VARNOLUX_CHROMIUM", before);
    QVERIFY(rendered);
    QCOMPARE(rendered->isEnabled(), offered);
    rendered->trigger();
    if (offered) {
        QCOMPARE(m_settings->stored(QStringLiteral("Find Mode")), QStringLiteral("rendered"));
        QCOMPARE(window.findMode(), FindMode::Rendered);
    } else {
        QVERIFY2(rendered->toolTip().contains(u"\"chromium\" package"), qPrintable(rendered->toolTip()));
        QCOMPARE(window.findMode(), FindMode::Classic);
    }
}

void TestWindowMenus::unknownStoredChoiceChecksTheDefault() {
    m_settings->put(QStringLiteral("Parallel"), QStringLiteral("3"));
    m_settings->put(QStringLiteral("On Exists"), QStringLiteral("overwrite"));
    Form1& window = m_test->load();
    QVERIFY(window.action(QStringLiteral("actionParallel1"))->isChecked());
    QVERIFY(window.action(QStringLiteral("actionExistsReplace"))->isChecked());
}

void TestWindowMenus::helpItemsShowTheButtonsTexts_data() {
    QTest::addColumn<QString>("actionName");
    QTest::addColumn<QString>("button");
    QTest::newRow("contact") << "actionHelpContact"
                             << "PushButton3";
    QTest::newRow("web site") << "actionHelpWebSite"
                              << "PushButton9";
    QTest::newRow("image filter") << "actionHelpFilter"
                                  << "PushButton1";
}

void TestWindowMenus::helpItemsShowTheButtonsTexts() {
    QFETCH(QString, actionName);
    QFETCH(QString, button);
    Form1& window = m_test->load();
    QTest::mouseClick(control(window, button), Qt::LeftButton);
    window.action(actionName)->trigger();
    const QStringList texts = m_test->boxes.texts();
    QCOMPARE(texts.size(), 2);
    QCOMPARE(texts.at(1), texts.at(0));
}

void TestWindowMenus::aboutNamesTheVersions() {
    Form1& window = m_test->load();
    menuAction(window, "actionAbout")->trigger();
    QCOMPARE(m_test->boxes.messages.size(), 1);
    const QString text = m_test->boxes.texts().first();
    QVERIFY2(text.contains(QStringLiteral("Varnolux " VARNOLUX_VERSION)), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Qt ") + QString::fromLatin1(qVersion())), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("libcurl ")), qPrintable(text));
}

void TestWindowMenus::entryActionsGoThroughTheSeams() {
    Form1& window = m_test->load();
    auto* list = control<ImageListView>(window, QStringLiteral("ListView1"));
    window.imageList().add("http://127.0.0.1:9/a b.png");
    window.imageList().add("http://127.0.0.1:9/c.png");
    list->list().flush();
    // Without a current entry there is nothing to copy.
    menuAction(window, "actionCopyLink")->trigger();
    QCOMPARE(m_test->clipboard, QString());
    list->setCurrentIndex(list->model()->index(0, 0));
    menuAction(window, "actionCopyLink")->trigger();
    QCOMPARE(m_test->clipboard, QStringLiteral("http://127.0.0.1:9/a b.png"));
    menuAction(window, "actionOpenInBrowser")->trigger();
    QCOMPARE(m_test->browserStarts.size(), 1);
    QCOMPARE(m_test->browserStarts.first().toEncoded(), QByteArray("http://127.0.0.1:9/a%20b.png"));
    // Nor does a link of another scheme reach the browser.
    window.imageList().add("file:///etc/passwd");
    list->list().flush();
    list->setCurrentIndex(list->model()->index(2, 0));
    menuAction(window, "actionOpenInBrowser")->trigger();
    QCOMPARE(m_test->browserStarts.size(), 1);
    QCOMPARE(m_test->boxes.messages.size(), 1);
    menuAction(window, "actionOpenFolder")->trigger();
    QCOMPARE(m_test->folderOpenings,
             QStringList{control<QLineEdit>(window, QStringLiteral("Text2"))->text()});
}

// ---- Results of a run ----

namespace {

// A run over three ticked entries: one saved, one failing with a 404, one whose file exists.
struct ThreeOutcomes {
    TestServer server;
    QTemporaryDir dir;
    QString folder = dir.path() + QStringLiteral("/");
    ThreeOutcomes() {
        server.route("/saved.png", serve::ok("PNGDATA", "image/png"));
        server.route("/kept.png", serve::ok("NEW", "image/png"));
        QFile kept(folder + QStringLiteral("kept.png"));
        if (kept.open(QIODevice::WriteOnly))
            kept.write("OLD");
    }
    void fill(Form1& window) {
        for (const char* path : {"/saved.png", "/missing.png", "/kept.png"})
            window.imageList().setTicked(window.imageList().add(server.address(path)), true);
    }
};

} // namespace

void TestWindowMenus::outcomesAfterARun() {
    ThreeOutcomes run;
    m_settings->put(QStringLiteral("Text2"), run.folder);
    m_settings->put(QStringLiteral("On Exists"), QStringLiteral("skip"));
    Form1& window = m_test->load();
    run.fill(window);
    QVERIFY(!menuAction(window, "actionTickFailed")->isEnabled());
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));

    auto& list = control<ImageListView>(window, QStringLiteral("ListView1"))->list();
    list.flush();
    QCOMPARE(list.outcome(1), EntryOutcome::Saved);
    QCOMPARE(list.outcome(2), EntryOutcome::Failed);
    QCOMPARE(list.outcome(3), EntryOutcome::Skipped);
    const QString reason = list.data(list.index(1), Qt::ToolTipRole).toString();
    QVERIFY2(reason.contains(QStringLiteral("404")), qPrintable(reason));
    QVERIFY(!list.data(list.index(0), Qt::DecorationRole).isNull());
    // The kept file stays as it was, the ticks stay, and the final message is the run's own.
    QCOMPARE(fileBytes(run.folder + QStringLiteral("kept.png")), QByteArray("OLD"));
    QCOMPARE(entries(window).join(QLatin1Char(',')).count(QStringLiteral("[x]")), 3);
    QCOMPARE(m_test->boxes.messages.size(), 1);
    QVERIFY(m_test->boxes.texts().first().contains(QStringLiteral("missing.png")));

    QVERIFY(menuAction(window, "actionTickFailed")->isEnabled());
    menuAction(window, "actionTickFailed")->trigger();
    QCOMPARE(window.imageList().ticked(1), false);
    QCOMPARE(window.imageList().ticked(2), true);
    QCOMPARE(window.imageList().ticked(3), false);
}

void TestWindowMenus::untickOption_data() {
    QTest::addColumn<bool>("untick");
    QTest::addColumn<QList<bool>>("ticks");
    QTest::newRow("off: every tick stays") << false << QList<bool>{true, true, true};
    QTest::newRow("on: only the saved entry is unticked") << true << QList<bool>{false, true, true};
}

void TestWindowMenus::untickOption() {
    QFETCH(bool, untick);
    QFETCH(QList<bool>, ticks);
    ThreeOutcomes run;
    m_settings->put(QStringLiteral("Text2"), run.folder);
    m_settings->put(QStringLiteral("On Exists"), QStringLiteral("skip"));
    Form1& window = m_test->load();
    if (untick)
        menuAction(window, "actionUntickSaved")->trigger();
    run.fill(window);
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));
    QList<bool> after;
    for (int i = 1; i <= 3; ++i)
        after << window.imageList().ticked(i);
    QCOMPARE(after, ticks);
}

void TestWindowMenus::marksGoWithClearListAndANewRun() {
    ThreeOutcomes run;
    m_settings->put(QStringLiteral("Text2"), run.folder);
    m_settings->put(QStringLiteral("On Exists"), QStringLiteral("skip"));
    Form1& window = m_test->load();
    run.fill(window);
    auto& list = control<ImageListView>(window, QStringLiteral("ListView1"))->list();
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));
    QCOMPARE(list.outcome(2), EntryOutcome::Failed);

    // A second run over the first entry only, whose file is there now: the earlier marks of the
    // others are gone.
    window.imageList().setTicked(2, false);
    window.imageList().setTicked(3, false);
    QTest::mouseClick(control(window, QStringLiteral("PushButton6")), Qt::LeftButton);
    QVERIFY(downloadEnds(window));
    QCOMPARE(list.outcome(1), EntryOutcome::Skipped);
    QCOMPARE(list.outcome(2), EntryOutcome::None);
    QCOMPARE(list.outcome(3), EntryOutcome::None);
    QVERIFY(!list.anyFailed());

    QTest::mouseClick(control(window, QStringLiteral("PushButton10")), Qt::LeftButton);
    QCOMPARE(list.count(), 0);
    window.imageList().add(run.server.address("/saved.png"));
    QCOMPARE(list.outcome(1), EntryOutcome::None);
}

void TestWindowMenus::doubleClickChangesNothing() {
    Form1& window = m_test->load();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* view = control<ImageListView>(window, QStringLiteral("ListView1"));
    window.imageList().setTicked(window.imageList().add("http://127.0.0.1:9/a.png"), true);
    window.imageList().add("http://127.0.0.1:9/b.png");
    view->list().flush();
    const QStringList before = entries(window);
    const QRect row = view->visualRect(view->model()->index(1, 0));
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, row.center());
    QCOMPARE(entries(window), before);
    QVERIFY(!window.preview() || !window.preview()->isVisible());
    QVERIFY(m_test->boxes.messages.isEmpty());
    QVERIFY(m_test->browserStarts.isEmpty());
}

// ---- Link lists and drops ----

void TestWindowMenus::dropOfLinks_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("address");
    QTest::addColumn<QStringList>("list");
    QTest::newRow("on the address box: the address, stored")
        << "txtWebsite" << QStringList{QStringLiteral("http://127.0.0.1:9/page.html")}
        << QStringList{QStringLiteral("http://127.0.0.1:9/old.png [ ]")};
    QTest::newRow("on the window: the address")
        << "Form1" << QStringList{QStringLiteral("http://127.0.0.1:9/page.html")}
        << QStringList{QStringLiteral("http://127.0.0.1:9/old.png [ ]")};
    QTest::newRow("on the list: new links ticked, each once")
        << "list" << QStringList{QString()}
        << QStringList{QStringLiteral("http://127.0.0.1:9/old.png [ ]"),
                       QStringLiteral("http://127.0.0.1:9/page.html [x]"),
                       QStringLiteral("http://127.0.0.1:9/b.png [x]")};
}

void TestWindowMenus::dropOfLinks() {
    QFETCH(QString, target);
    QFETCH(QStringList, address);
    QFETCH(QStringList, list);
    Form1& window = m_test->load();
    window.imageList().add("http://127.0.0.1:9/old.png");
    QWidget* on = &window;
    if (target == QLatin1StringView("txtWebsite"))
        on = control(window, target);
    else if (target == QLatin1StringView("list"))
        on = control<ImageListView>(window, QStringLiteral("ListView1"))->viewport();
    sendDrop(on, {"http://127.0.0.1:9/page.html", "http://127.0.0.1:9/b.png", "http://127.0.0.1:9/old.png",
                  "http://127.0.0.1:9/b.png"});
    QCOMPARE(control<QLineEdit>(window, QStringLiteral("txtWebsite"))->text(), address.first());
    QCOMPARE(m_settings->stored(QStringLiteral("Web Site")), address.first());
    QCOMPARE(entries(window), list);
}

void TestWindowMenus::saveListAs_data() {
    QTest::addColumn<bool>("tickedOnly");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ticked links only") << true << QByteArray("http://h/a.png\nhttp://h/c d.png\n");
    QTest::newRow("all links") << false << QByteArray("http://h/a.png\nhttp://h/b.png\nhttp://h/c d.png\n");
}

void TestWindowMenus::saveListAs() {
    QFETCH(bool, tickedOnly);
    QFETCH(QByteArray, expected);
    Form1& window = m_test->load();
    window.imageList().setTicked(window.imageList().add("http://h/a.png"), true);
    window.imageList().add("http://h/b.png");
    window.imageList().setTicked(window.imageList().add("http://h/c d.png"), true);
    m_test->fileAnswer = m_temp.filePath(QStringLiteral("list.txt"));
    QFile::remove(m_test->fileAnswer);
    menuAction(window, tickedOnly ? "actionSaveTicked" : "actionSaveAll")->trigger();
    QCOMPARE(fileBytes(m_test->fileAnswer), expected);
    QVERIFY(m_test->boxes.messages.isEmpty());

    // What was saved opens as the same list.
    window.imageList().clear();
    menuAction(window, "actionOpenLinkList")->trigger();
    QCOMPARE(window.imageList().count(), int(expected.count('\n')));
}

void TestWindowMenus::failedSaveLeavesNothingHalfWritten_data() {
    QTest::addColumn<QString>("where");
    QTest::newRow("folder that is a file") << "afile/list.txt";
    QTest::newRow("name of a folder") << "afolder";
}

void TestWindowMenus::failedSaveLeavesNothingHalfWritten() {
    QFETCH(QString, where);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("afile")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("keep");
    file.close();
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("afolder")));
    Form1& window = m_test->load();
    window.imageList().add("http://h/a.png");
    QVERIFY(!window.saveLinkList(dir.filePath(where), false));
    QCOMPARE(m_test->boxes.messages.size(), 1);
    QVERIFY(m_test->boxes.texts().first().startsWith(QStringLiteral("The list cannot be saved as")));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("afile"), QStringLiteral("afolder")}));
    QCOMPARE(fileBytes(dir.filePath(QStringLiteral("afile"))), QByteArray("keep"));
}

void TestWindowMenus::openLinkList_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("size"); // grown to this size with zeros when larger than the content
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("message");
    QTest::newRow("links, blank lines, comments, CR LF, repeats")
        << QByteArray("# mine\r\nhttp://h/a.png\r\n\r\n  http://h/b.png  \nhttp://h/a.png\nhttp://h/c.png")
        << qint64(0)
        << QStringList{QStringLiteral("http://h/a.png [x]"), QStringLiteral("http://h/b.png [x]"),
                       QStringLiteral("http://h/c.png [x]")}
        << QString();
    QTest::newRow("above 16 MB: refused, list kept")
        << QByteArray("http://h/a.png\n") << qint64(17 * 1024 * 1024)
        << QStringList{QStringLiteral("http://h/old.png [ ]")} << QStringLiteral("too large");
    QTest::newRow("binary: refused, list kept")
        << QByteArray("\x89PNG\r\n\x1a\n\0\0\0", 11) << qint64(0)
        << QStringList{QStringLiteral("http://h/old.png [ ]")} << QStringLiteral("not a text file");
}

void TestWindowMenus::openLinkList() {
    QFETCH(QByteArray, content);
    QFETCH(qint64, size);
    QFETCH(QStringList, list);
    QFETCH(QString, message);
    const QString path = m_temp.filePath(QStringLiteral("links.txt"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    if (size > 0)
        QVERIFY(file.resize(size));
    file.close();
    Form1& window = m_test->load();
    window.imageList().add("http://h/old.png");
    m_test->fileAnswer = path;
    menuAction(window, "actionOpenLinkList")->trigger();
    QCOMPARE(entries(window), list);
    if (message.isEmpty()) {
        QVERIFY(m_test->boxes.messages.isEmpty());
    } else {
        QCOMPARE(m_test->boxes.messages.size(), 1);
        QVERIFY2(m_test->boxes.texts().first().contains(message), qPrintable(m_test->boxes.texts().first()));
    }
}

QTEST_MAIN(TestWindowMenus)
#include "tst_window.moc"
