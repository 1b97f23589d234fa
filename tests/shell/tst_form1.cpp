// Mouse events go through the window system, so moves reach whatever control lies under them.
#define QTEST_QPA_MOUSE_HANDLING

#include "ShellTestSupport.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Product.h"
#include "shell/AppTitle.h"
#include "shell/Form1.h"
#include "shell/ImageListView.h"
#include "support/TestServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <utility>

#include "TestWindow.h"

namespace {

const QString supportLine =
    QStringLiteral("\r\rPlease email screenshot of this message to support@quennick.com");

QString report(const QString& description, int line) {
    return description + QStringLiteral("\r\nin Trevalin2021/08/31.Form1.Form_Load at line ") +
           QString::number(line) + supportLine;
}

template <class T = QWidget> T* control(Form1& window, const char* name) {
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

bool showWindow(Form1& window) {
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

void click(Form1& window, const char* name) {
    QTest::mouseClick(control(window, name), Qt::LeftButton);
}

// Where a move counts as over the named control itself: its middle, except for frames and the
// window, whose own background lies in a corner free of other controls.
void moveOver(Form1& window, const QString& name) {
    if (name == QLatin1StringView("Form1")) {
        QTest::mouseMove(window.clientArea(), QPoint(2, 2));
        return;
    }
    QWidget* target = window.findChild<QWidget*>(name);
    QVERIFY2(target, qPrintable(name));
    if (qobject_cast<QGroupBox*>(target))
        QTest::mouseMove(target, QPoint(target->width() - 4, target->height() - 4));
    else if (auto* list = qobject_cast<ImageListView*>(target))
        QTest::mouseMove(list->viewport(), list->viewport()->rect().center());
    else
        QTest::mouseMove(target, target->rect().center());
}

QString sampleAddress() {
    return QString(product::samplePage);
}

} // namespace

class TestForm1 : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowIsFixedAndMinimizableOnly();
    void controlsStayInsideTheirContainersWithoutOverlap();
    void centredWhenFirstShown();
    void fontsAreArialBold();
    void tabOrderFollowsTheLayout();
    void firstStartWritesTheRestoredKeys();
    void restoreOfStoredTicks_data();
    void restoreOfStoredTicks();
    void restoreKeepsTextsExactly();
    void clearedAddressComesBackEmpty();
    void onlineCheckRunsFirstUnderTheFullName();
    void homePageVisit_data();
    void homePageVisit();
    void failingStartupStepIsReportedAndStartupGoesOn_data();
    void failingStartupStepIsReportedAndStartupGoesOn();
    void missingDesktopGivesTwoReportsInOrder();
    void skin_data();
    void skin();
    void hoverRule_data();
    void hoverRule();
    void handStateShowsTheCursorFile_data();
    void handStateShowsTheCursorFile();
    void filterClicksAreSaved_data();
    void filterClicksAreSaved();
    void typingSavesEveryKeystroke_data();
    void typingSavesEveryKeystroke();
    void helpTexts_data();
    void helpTexts();
    void sampleSiteButton_data();
    void sampleSiteButton();
    void folderChooser_data();
    void folderChooser();
    void folderChooserOpensAtTheLastPick();
    void text2SelectsAllOnFocus_data();
    void text2SelectsAllOnFocus();
    void listButtons();
    void listingStopsBeforeFetching_data();
    void listingStopsBeforeFetching();
    void secondStartDuringARunIsIgnored();
    void closing_data();
    void closing();
    void listingRunFillsTheList();
    void listingRunFollowsTheFindMode_data();
    void listingRunFollowsTheFindMode();
    void closingDuringAFetchEndsTheRunAtOnce();
    void listingClickReturnsWhileThePageIsOnItsWay_data();
    void listingClickReturnsWhileThePageIsOnItsWay();
    void downloadRunSavesTheTickedImages();
    void closingDuringADownloadLeavesNoPartFile_data();
    void closingDuringADownloadLeavesNoPartFile();

private:
    QTemporaryDir m_temp;
    std::unique_ptr<TemporarySettings> m_settings;
    std::unique_ptr<TestWindow> m_test;
};

void TestForm1::initTestCase() {
    QVERIFY(m_temp.isValid());
    // The listing run's temporary page file goes here, where the tests can see it is removed.
    qputenv("TEMP", QFile::encodeName(m_temp.path()));
    // Long enough that a run which ignores the window closing would end by time-out, with a
    // message, rather than quietly.
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "10000");
}

void TestForm1::init() {
    Cancellation::reset();
    m_settings = std::make_unique<TemporarySettings>();
    m_test = std::make_unique<TestWindow>();
}

void TestForm1::cleanup() {
    m_test.reset();
    m_settings.reset();
    Cancellation::reset();
}

// ---- The window itself ----

void TestForm1::windowIsFixedAndMinimizableOnly() {
    Form1& window = m_test->load();
    // The client area keeps its size below the menu bar; the window grows by the bar.
    QCOMPARE(window.clientArea()->size(), QSize(536, 514));
    QCOMPARE(window.clientArea()->pos(), QPoint(0, window.menuBar()->height()));
    QCOMPARE(window.size(), QSize(536, 514 + window.menuBar()->height()));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(window.windowTitle(), QStringLiteral("Varnolux"));
    QCOMPARE(applicationTitle(), QStringLiteral("Varnolux"));
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    for (int size : {32, 48, 128, 256})
        QVERIFY2(sizes.contains(QSize(size, size)), qPrintable(QString::number(size)));
    QCOMPARE(window.palette().color(QPalette::Window), QColor(Qt::white));
    QCOMPARE(control(window, "ListView1")->toolTip(),
             QStringLiteral(
                 "Double-click item to remove it. Move | line to right and out of window to reveal full "
                 "names."));
    auto* list = control<ImageListView>(window, "ListView1");
    QCOMPARE(list->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral(" Web Site File(s)"));
    QCOMPARE(list->columnWidth(0), 467);
    QCOMPARE(control<QProgressBar>(window, "ProgressBar1")->text(), QStringLiteral("Progress Bar"));
    QVERIFY(control<QProgressBar>(window, "ProgressBar1")->isTextVisible());
}

void TestForm1::controlsStayInsideTheirContainersWithoutOverlap() {
    Form1& window = m_test->load();
    const QStringList names = {
        QStringLiteral("PushButton1"),  QStringLiteral("PushButton2"), QStringLiteral("PushButton3"),
        QStringLiteral("PushButton4"),  QStringLiteral("PushButton5"), QStringLiteral("PushButton6"),
        QStringLiteral("PushButton7"),  QStringLiteral("PushButton8"), QStringLiteral("PushButton9"),
        QStringLiteral("PushButton10"), QStringLiteral("Frame1"),      QStringLiteral("Frame2"),
        QStringLiteral("Frame3"),       QStringLiteral("Check1"),      QStringLiteral("Check3"),
        QStringLiteral("Check4"),       QStringLiteral("Text1"),       QStringLiteral("Text2"),
        QStringLiteral("txtWebsite"),   QStringLiteral("ListView1"),   QStringLiteral("ProgressBar1")};
    QList<QWidget*> controls;
    for (const QString& name : names) {
        QWidget* widget = window.findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name));
        QVERIFY2(widget->parentWidget()->rect().contains(widget->geometry()), qPrintable(name));
        controls << widget;
    }
    // Controls in one container never cover each other. The filter's check boxes are the one
    // exception the layout has: each is wider than its caption and reaches under its right-hand
    // neighbour.
    const auto reachesUnder = [](QWidget* box, QWidget* right) {
        return qobject_cast<QCheckBox*>(box) && right->x() > box->x();
    };
    for (QWidget* a : controls)
        for (QWidget* b : controls)
            if (a != b && a->parentWidget() == b->parentWidget() && !reachesUnder(a, b) &&
                !reachesUnder(b, a))
                QVERIFY2(!a->geometry().intersects(b->geometry()),
                         qPrintable(a->objectName() + QStringLiteral(" / ") + b->objectName()));
    // The frames hold what the layout says they hold.
    QCOMPARE(control(window, "txtWebsite")->parentWidget()->objectName(), QStringLiteral("Frame2"));
    QCOMPARE(control(window, "PushButton9")->parentWidget()->objectName(), QStringLiteral("Frame2"));
    QCOMPARE(control(window, "Text1")->parentWidget()->objectName(), QStringLiteral("Frame1"));
    QCOMPARE(control(window, "PushButton1")->parentWidget()->objectName(), QStringLiteral("Frame1"));
    QCOMPARE(control(window, "Text2")->parentWidget()->objectName(), QStringLiteral("Frame3"));
    QCOMPARE(control(window, "PushButton2")->parentWidget()->objectName(), QStringLiteral("Frame3"));
}

void TestForm1::centredWhenFirstShown() {
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    const QPoint offset = window.frameGeometry().center() - window.screen()->availableGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
    // Later shows keep wherever the user moved the window.
    window.hide();
    window.move(10, 10);
    window.show();
    QCOMPARE(window.pos(), QPoint(10, 10));
}

void TestForm1::fontsAreArialBold() {
    Form1& window = m_test->load();
    const QStringList arial = {QStringLiteral("Arial"), QStringLiteral("Liberation Sans")};
    const QFontInfo text(control(window, "Check4")->font());
    QVERIFY2(arial.contains(text.family()), qPrintable(text.family()));
    QVERIFY(text.bold());
    QCOMPARE(control(window, "Check4")->font().pointSizeF(), 9.0);
    const QFontInfo button(control(window, "PushButton5")->font());
    QVERIFY2(arial.contains(button.family()), qPrintable(button.family()));
    QCOMPARE(control(window, "PushButton5")->font().pointSizeF(), 11.25);
}

void TestForm1::tabOrderFollowsTheLayout() {
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), control(window, "ListView1"));
    QStringList visited;
    for (int i = 0; i < 17; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    // Text1 is disabled and the progress bar takes no focus.
    QCOMPARE(visited,
             QStringList(
                 {QStringLiteral("Check1"), QStringLiteral("Check3"), QStringLiteral("Check4"),
                  QStringLiteral("PushButton1"), QStringLiteral("txtWebsite"), QStringLiteral("PushButton9"),
                  QStringLiteral("Text2"), QStringLiteral("PushButton2"), QStringLiteral("PushButton5"),
                  QStringLiteral("PushButton7"), QStringLiteral("PushButton8"), QStringLiteral("PushButton6"),
                  QStringLiteral("PushButton3"), QStringLiteral("PushButton4"),
                  QStringLiteral("PushButton10"), QStringLiteral("ListView1"), QStringLiteral("Check1")}));
}

// ---- Start-up ----

void TestForm1::firstStartWritesTheRestoredKeys() {
    Form1& window = m_test->load();
    const QString desktop = QDir::toNativeSeparators(m_test->desktop) + QDir::separator();
    QCOMPARE(control<QLineEdit>(window, "txtWebsite")->text(), QString());
    QCOMPARE(control<QLineEdit>(window, "Text2")->text(), desktop);
    QVERIFY(control<QCheckBox>(window, "Check1")->isChecked());
    QVERIFY(control<QCheckBox>(window, "Check3")->isChecked());
    QVERIFY(!control<QCheckBox>(window, "Check4")->isChecked());
    QCOMPARE(control<QLineEdit>(window, "Text1")->text(), QStringLiteral("BMP,PNG"));
    QVERIFY(!control(window, "Text1")->isEnabled());

    // Each key written by the control that changed; "X" and "LastFolderDot" are not.
    QCOMPARE(m_settings->keys(),
             QStringList({QStringLiteral("GIF"), QStringLiteral("JPG"), QStringLiteral("Text2"),
                          QStringLiteral("Web Site"), QStringLiteral("X Filter")}));
    QCOMPARE(m_settings->stored(QStringLiteral("Web Site")), QString());
    QCOMPARE(m_settings->stored(QStringLiteral("Text2")), desktop);
    QCOMPARE(m_settings->stored(QStringLiteral("JPG")), QStringLiteral("1"));
    QCOMPARE(m_settings->stored(QStringLiteral("GIF")), QStringLiteral("1"));
    QCOMPARE(m_settings->stored(QStringLiteral("X Filter")), QStringLiteral("BMP,PNG"));
    QVERIFY(m_test->boxes.messages.isEmpty());
}

void TestForm1::restoreOfStoredTicks_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<QString>("storedAfter");
    QTest::newRow("JPG 1.0 ticks and is written back as 1")
        << QStringLiteral("JPG") << QStringLiteral("1.0") << QStringLiteral("Check1") << true
        << QStringLiteral("1");
    QTest::newRow("JPG 01 ticks") << QStringLiteral("JPG") << QStringLiteral("01") << QStringLiteral("Check1")
                                  << true << QStringLiteral("1");
    QTest::newRow("JPG 2 leaves it unticked and untouched")
        << QStringLiteral("JPG") << QStringLiteral("2") << QStringLiteral("Check1") << false
        << QStringLiteral("2");
    QTest::newRow("JPG yes leaves it unticked") << QStringLiteral("JPG") << QStringLiteral("yes")
                                                << QStringLiteral("Check1") << false << QStringLiteral("yes");
    QTest::newRow("GIF empty leaves it unticked")
        << QStringLiteral("GIF") << QString() << QStringLiteral("Check3") << false << QString();
    QTest::newRow("X 1 ticks the custom box") << QStringLiteral("X") << QStringLiteral("1")
                                              << QStringLiteral("Check4") << true << QStringLiteral("1");
    QTest::newRow("X 0 stays unticked") << QStringLiteral("X") << QStringLiteral("0")
                                        << QStringLiteral("Check4") << false << QStringLiteral("0");
}

void TestForm1::restoreOfStoredTicks() {
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(QString, box);
    QFETCH(bool, ticked);
    QFETCH(QString, storedAfter);
    m_settings->put(key, stored);
    Form1& window = m_test->load();
    QCOMPARE(control<QCheckBox>(window, box.toLatin1().constData())->isChecked(), ticked);
    QCOMPARE(m_settings->stored(key), storedAfter);
    // The custom list is usable exactly while its box is ticked.
    QCOMPARE(control(window, "Text1")->isEnabled(), control<QCheckBox>(window, "Check4")->isChecked());
}

void TestForm1::restoreKeepsTextsExactly() {
    const QString address = QStringLiteral("http://ex.org/Zoë päge/?a=1,2");
    const QString folder = QStringLiteral("/some where/Bilder – 写真");
    const QString custom = QStringLiteral(" png, JPEG,,");
    m_settings->put(QStringLiteral("Web Site"), address);
    m_settings->put(QStringLiteral("Text2"), folder);
    m_settings->put(QStringLiteral("X Filter"), custom);
    m_settings->put(QStringLiteral("LastFolderDot"), QStringLiteral("/last"));
    Form1& window = m_test->load();
    QCOMPARE(control<QLineEdit>(window, "txtWebsite")->text(), address);
    QCOMPARE(control<QLineEdit>(window, "Text2")->text(), folder);
    QCOMPARE(control<QLineEdit>(window, "Text1")->text(), custom);
    QCOMPARE(m_settings->stored(QStringLiteral("Web Site")), address);
    QCOMPARE(m_settings->stored(QStringLiteral("Text2")), folder);
    QCOMPARE(m_settings->stored(QStringLiteral("X Filter")), custom);
    QCOMPARE(m_settings->stored(QStringLiteral("LastFolderDot")), QStringLiteral("/last"));
}

void TestForm1::clearedAddressComesBackEmpty() {
    m_settings->put(QStringLiteral("Web Site"), QStringLiteral("http://a/"));
    {
        Form1& window = m_test->load();
        auto* box = control<QLineEdit>(window, "txtWebsite");
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Backspace);
        QCOMPARE(m_settings->stored(QStringLiteral("Web Site")), QString());
    }
    m_test = std::make_unique<TestWindow>();
    Form1& next = m_test->load();
    QCOMPARE(control<QLineEdit>(next, "txtWebsite")->text(), QString());
}

void TestForm1::onlineCheckRunsFirstUnderTheFullName() {
    m_settings->put(QStringLiteral("Web Site"), QStringLiteral("http://stored/"));
    QString addressDuringCheck, captionDuringCheck;
    m_test->onlineCheck = [&] {
        addressDuringCheck = control<QLineEdit>(*m_test->window, "txtWebsite")->text();
        captionDuringCheck = m_test->window->windowTitle();
    };
    m_test->load();
    QCOMPARE(m_test->onlineChecks, 1);
    // Nothing of the start-up has happened yet when the check runs.
    QCOMPARE(addressDuringCheck, QStringLiteral("http://"));
    QCOMPARE(captionDuringCheck, QString());
    QCOMPARE(applicationTitle(), QStringLiteral("Varnolux"));
}

void TestForm1::homePageVisit_data() {
    QTest::addColumn<int>("draw");
    QTest::addColumn<bool>("visits");
    QTest::newRow("7 visits") << 7 << true;
    QTest::newRow("1 does not") << 1 << false;
    QTest::newRow("100 does not") << 100 << false;
}

void TestForm1::homePageVisit() {
    QFETCH(int, draw);
    QFETCH(bool, visits);
    m_test->draw = draw;
    m_test->load();
    QCOMPARE(m_test->browserStarts,
             visits ? QList<QUrl>{QUrl(QStringLiteral("http://www.quennick.com/"))} : QList<QUrl>{});
}

void TestForm1::failingStartupStepIsReportedAndStartupGoesOn_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("description");
    QTest::newRow("online check at 100") << QStringLiteral("online") << 100 << QStringLiteral("No reply");
    QTest::newRow("unreadable hand cursor at 104")
        << QStringLiteral("cursor") << 104 << QStringLiteral("Invalid picture: not a cursor file");
    QTest::newRow("unreadable skin at 108") << QStringLiteral("skin") << 108 << QString();
    QTest::newRow("browser start at 110") << QStringLiteral("browser") << 110 << QStringLiteral("No browser");
}

void TestForm1::failingStartupStepIsReportedAndStartupGoesOn() {
    QFETCH(QString, fault);
    QFETCH(int, line);
    QFETCH(QString, description);
    const QDir folder(m_test->programFolder.path());
    if (fault == QLatin1StringView("online")) {
        m_test->onlineCheck = [] { throw StepFailure(QStringLiteral("No reply")); };
    } else if (fault == QLatin1StringView("cursor")) {
        QFile cursor(folder.filePath(QStringLiteral("HAND-M.CUR")));
        QVERIFY(cursor.open(QIODevice::WriteOnly));
        cursor.write("not a cursor at all");
    } else if (fault == QLatin1StringView("skin")) {
        // A folder where the skin file should be: it is there, but cannot be read.
        QVERIFY(folder.mkpath(QStringLiteral("x/o.cjs")));
        description = QStringLiteral("Skin file cannot be read: ") +
                      QDir::toNativeSeparators(folder.filePath(QStringLiteral("x/o.cjs")));
    } else {
        m_test->draw = 7;
    }
    Form1Seams seams = m_test->seams();
    if (fault == QLatin1StringView("browser"))
        seams.openBrowser = [](const QUrl&) -> bool { throw StepFailure(QStringLiteral("No browser")); };
    Form1 window(seams);
    window.Form_Load();

    QCOMPARE(m_test->boxes.messages.size(), 1);
    QCOMPARE(m_test->boxes.messages[0].text, report(description, line));
    QCOMPARE(m_test->boxes.messages[0].title, QStringLiteral("Application Error"));
    QCOMPARE(m_test->boxes.messages[0].icon, MessageIcon::Warning);
    // Everything after the failing step still happened.
    QCOMPARE(window.windowTitle(), QStringLiteral("Varnolux"));
    QCOMPARE(control<QLineEdit>(window, "Text1")->text(), QStringLiteral("BMP,PNG"));
    QVERIFY(!control(window, "Text1")->isEnabled());
    QVERIFY(control<QCheckBox>(window, "Check1")->isChecked());
}

void TestForm1::missingDesktopGivesTwoReportsInOrder() {
    m_settings->put(QStringLiteral("Text2"), QStringLiteral("/stored/"));
    m_test->desktop.clear();
    Form1& window = m_test->load();
    QCOMPARE(m_test->boxes.texts(),
             QStringList({report(QStringLiteral("Invalid procedure call or argument"), 132),
                          report(QStringLiteral("Invalid procedure call or argument"), 146)}));
    // The default is worked out before the stored value is looked at, so the box stays empty.
    QCOMPARE(control<QLineEdit>(window, "Text2")->text(), QString());
    QCOMPARE(m_settings->stored(QStringLiteral("Text2")), QStringLiteral("/stored/"));
    QVERIFY(control<QCheckBox>(window, "Check1")->isChecked());
}

void TestForm1::skin_data() {
    QTest::addColumn<bool>("present");
    QTest::newRow("with x/o.cjs: button face") << true;
    QTest::newRow("without: white") << false;
}

void TestForm1::skin() {
    QFETCH(bool, present);
    const QByteArray sheet("QPushButton { color: rgb(10, 20, 30); }");
    if (present) {
        const QDir folder(m_test->programFolder.path());
        QVERIFY(folder.mkpath(QStringLiteral("x")));
        QFile file(folder.filePath(QStringLiteral("x/o.cjs")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sheet);
    }
    Form1& window = m_test->load();
    const QColor expected = present ? QGuiApplication::palette().color(QPalette::Button) : QColor(Qt::white);
    QVERIFY(expected != QColor(Qt::white) || !present);
    for (const char* name : {"Check1", "Check3", "Check4", "Frame1", "Frame2", "Frame3"})
        QCOMPARE(control(window, name)->palette().color(QPalette::Window), expected);
    QCOMPARE(window.palette().color(QPalette::Window), expected);
    QCOMPARE(window.styleSheet(), present ? QString::fromUtf8(sheet) : QString());
    // Text boxes keep their white face either way.
    QCOMPARE(control(window, "Text2")->palette().color(QPalette::Base), QColor(Qt::white));
    QVERIFY(m_test->boxes.messages.isEmpty());
}

// ---- Mouse pointer ----

void TestForm1::hoverRule_data() {
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<int>("pointer");
    const auto path = [](std::initializer_list<const char*> names) {
        QStringList list;
        for (const char* name : names)
            list << QString::fromLatin1(name);
        return list;
    };
    const int hand = int(Pointer::Hand);
    const int arrow = int(Pointer::Default);
    const int busy = int(Pointer::Busy);
    QTest::newRow("push button: hand") << false << path({"PushButton5"}) << hand;
    QTest::newRow("button in a frame: hand") << false << path({"Form1", "PushButton9"}) << hand;
    QTest::newRow("JPG box: hand") << false << path({"Check1"}) << hand;
    QTest::newRow("button then GIF box keeps the hand") << false << path({"PushButton1", "Check3"}) << hand;
    QTest::newRow("frame then GIF box keeps the arrow")
        << false << path({"PushButton1", "Frame1", "Check3"}) << arrow;
    QTest::newRow("frame background: arrow") << false << path({"Check1", "Frame3"}) << arrow;
    QTest::newRow("list: arrow") << false << path({"PushButton7", "ListView1"}) << arrow;
    QTest::newRow("window background: arrow") << false << path({"PushButton3", "Form1"}) << arrow;
    QTest::newRow("text boxes and bar change nothing")
        << false << path({"PushButton6", "txtWebsite", "Text2", "ProgressBar1", "Check4"}) << hand;
    QTest::newRow("disabled custom list changes nothing") << false << path({"PushButton1", "Text1"}) << hand;
    QTest::newRow("busy stays over a button") << true << path({"PushButton5", "Check1"}) << busy;
    QTest::newRow("busy stays over the list and window")
        << true << path({"ListView1", "Form1", "Frame2"}) << busy;
}

void TestForm1::hoverRule() {
    QFETCH(bool, busy);
    QFETCH(QStringList, path);
    QFETCH(int, pointer);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    if (busy)
        window.pointer().setPointer(Pointer::Busy);
    for (const QString& name : path)
        moveOver(window, name);
    QCOMPARE(int(window.pointer().pointer()), pointer);
    if (busy)
        QCOMPARE(window.cursor().shape(), Qt::WaitCursor);
}

void TestForm1::handStateShowsTheCursorFile_data() {
    QTest::addColumn<bool>("file");
    QTest::addColumn<int>("shape");
    QTest::newRow("with HAND-M.CUR: its picture") << true << int(Qt::BitmapCursor);
    QTest::newRow("without: the arrow") << false << int(Qt::ArrowCursor);
}

void TestForm1::handStateShowsTheCursorFile() {
    QFETCH(bool, file);
    QFETCH(int, shape);
    if (file)
        QVERIFY(QFile::copy(QStringLiteral(VARNOLUX_SOURCE_DIR "/share/HAND-M.CUR"),
                            m_test->programFolder.filePath(QStringLiteral("HAND-M.CUR"))));
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    moveOver(window, QStringLiteral("PushButton4"));
    QCOMPARE(window.pointer().pointer(), Pointer::Hand);
    QCOMPARE(int(window.cursor().shape()), shape);
    if (file)
        QCOMPARE(window.cursor().hotSpot(), QPoint(11, 1));
    moveOver(window, QStringLiteral("Form1"));
    QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);
    QVERIFY(m_test->boxes.messages.isEmpty());
}

// ---- Controls that save themselves ----

void TestForm1::filterClicksAreSaved_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("JPG") << QStringLiteral("Check1") << QStringLiteral("JPG") << QStringLiteral("0")
                         << QStringLiteral("1");
    QTest::newRow("GIF") << QStringLiteral("Check3") << QStringLiteral("GIF") << QStringLiteral("0")
                         << QStringLiteral("1");
    QTest::newRow("custom, which also switches the list")
        << QStringLiteral("Check4") << QStringLiteral("X") << QStringLiteral("1") << QStringLiteral("0");
}

void TestForm1::filterClicksAreSaved() {
    QFETCH(QString, box);
    QFETCH(QString, key);
    QFETCH(QString, first);
    QFETCH(QString, second);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    const QByteArray name = box.toLatin1();
    click(window, name.constData());
    QCOMPARE(m_settings->stored(key), first);
    QCOMPARE(control(window, "Text1")->isEnabled(), control<QCheckBox>(window, "Check4")->isChecked());
    click(window, name.constData());
    QCOMPARE(m_settings->stored(key), second);
    QCOMPARE(control(window, "Text1")->isEnabled(), control<QCheckBox>(window, "Check4")->isChecked());
}

void TestForm1::typingSavesEveryKeystroke_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("key");
    QTest::newRow("address") << QStringLiteral("txtWebsite") << QStringLiteral("Web Site");
    QTest::newRow("custom list") << QStringLiteral("Text1") << QStringLiteral("X Filter");
    QTest::newRow("destination folder") << QStringLiteral("Text2") << QStringLiteral("Text2");
}

void TestForm1::typingSavesEveryKeystroke() {
    QFETCH(QString, box);
    QFETCH(QString, key);
    m_settings->put(QStringLiteral("X"), QStringLiteral("1"));
    Form1& window = m_test->load();
    auto* edit = window.findChild<QLineEdit*>(box);
    edit->clear();
    const QString typed = QStringLiteral("ab, ü");
    QString soFar;
    for (QChar c : typed) {
        if (c.unicode() < 128) {
            QTest::keyClicks(edit, QString(c));
        } else {
            QTest::sendKeyEvent(QTest::Press, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
            QTest::sendKeyEvent(QTest::Release, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
        soFar += c;
        QCOMPARE(m_settings->stored(key), soFar);
    }
    // LastFolderDot belongs to the chooser alone.
    QCOMPARE(m_settings->stored(QStringLiteral("LastFolderDot")), std::nullopt);
}

// ---- Help buttons ----

void TestForm1::helpTexts_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("text");
    QTest::newRow("filter help") << QStringLiteral("PushButton1")
                                 << QStringLiteral(
                                        "You can input\r\rBMP,JPG,GIF,PNG,JPEG\r\rhere for example.");
    QTest::newRow("contact note") << QStringLiteral("PushButton3")
                                  << QStringLiteral("Questions? Please contact Team Quennick at "
                                                    "http://www.quennick.com/contact/");
    QTest::newRow("what the program does")
        << QStringLiteral("PushButton9")
        << QStringLiteral(
               "This software will download images from a web page (if the web page actually contains "
               "images)."
               "\r\rIt will open up the HTML file and scan for links to images within the HTML file and then "
               "save "
               "the actual images behind these links to your hard drive.\r\rFiles that are not HTML such as "
               "ASP or "
               "ASPX will not work with this software\r\n\r\nIf you have any questions you can email "
               "support@quennick.com");
}

void TestForm1::helpTexts() {
    QFETCH(QString, button);
    QFETCH(QString, text);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    click(window, button.toLatin1().constData());
    QCOMPARE(m_test->boxes.messages.size(), 1);
    QCOMPARE(m_test->boxes.messages[0].text, text);
    QCOMPARE(m_test->boxes.messages[0].icon, MessageIcon::None);
    QCOMPARE(m_test->boxes.messages[0].title, QString());
}

void TestForm1::sampleSiteButton_data() {
    QTest::addColumn<QString>("gifBefore");
    QTest::newRow("GIF unticked gets ticked") << QStringLiteral("0");
    QTest::newRow("GIF already ticked stays ticked") << QStringLiteral("1");
}

void TestForm1::sampleSiteButton() {
    QFETCH(QString, gifBefore);
    m_settings->put(QStringLiteral("GIF"), gifBefore);
    m_settings->put(QStringLiteral("JPG"), QStringLiteral("0"));
    m_settings->put(QStringLiteral("Web Site"), QStringLiteral("http://mine/"));
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    const QString folderBefore = control<QLineEdit>(window, "Text2")->text();
    click(window, "PushButton4");
    QVERIFY(sampleAddress().startsWith(QLatin1StringView("http://")));
    QVERIFY(sampleAddress().endsWith(u'/'));
    QCOMPARE(control<QLineEdit>(window, "txtWebsite")->text(), sampleAddress());
    QCOMPARE(m_settings->stored(QStringLiteral("Web Site")), sampleAddress());
    QVERIFY(control<QCheckBox>(window, "Check3")->isChecked());
    QCOMPARE(m_settings->stored(QStringLiteral("GIF")), QStringLiteral("1"));
    // Nothing else changes and no run starts.
    QVERIFY(!control<QCheckBox>(window, "Check1")->isChecked());
    QVERIFY(!control<QCheckBox>(window, "Check4")->isChecked());
    QCOMPARE(control<QLineEdit>(window, "Text2")->text(), folderBefore);
    QCOMPARE(window.imageList().count(), 0);
    QVERIFY(m_test->boxes.messages.isEmpty());
}

// ---- Destination folder ----

void TestForm1::folderChooser_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("text2");
    QTest::addColumn<std::optional<QString>>("lastFolder");
    const QString sep = QDir::separator();
    const QString pictures = QDir::toNativeSeparators(QStringLiteral("/data/Pictures"));
    QTest::newRow("folder gains a final separator") << pictures << pictures + sep << std::optional(pictures);
    QTest::newRow("root is taken as it is") << sep << sep << std::optional(sep);
    QTest::newRow("cancel changes nothing") << QString() << QString() << std::optional<QString>();
}

void TestForm1::folderChooser() {
    QFETCH(QString, answer);
    QFETCH(QString, text2);
    QFETCH(std::optional<QString>, lastFolder);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    const QString before = control<QLineEdit>(window, "Text2")->text();
    m_test->folderAnswer = answer;
    click(window, "PushButton2");
    const QString expected = text2.isEmpty() ? before : text2;
    QCOMPARE(control<QLineEdit>(window, "Text2")->text(), expected);
    QCOMPARE(m_settings->stored(QStringLiteral("Text2")), expected);
    QCOMPARE(m_settings->stored(QStringLiteral("LastFolderDot")), lastFolder);
    QVERIFY(m_test->boxes.messages.isEmpty());
}

void TestForm1::folderChooserOpensAtTheLastPick() {
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    m_test->folderAnswer = QStringLiteral("/first/pick");
    click(window, "PushButton2");
    // A folder typed afterwards does not move the chooser's starting point.
    auto* text2 = control<QLineEdit>(window, "Text2");
    text2->clear();
    QTest::keyClicks(text2, QStringLiteral("/typed/"));
    m_test->folderAnswer.clear();
    click(window, "PushButton2");
    QCOMPARE(m_test->folderQuestions, QStringList({QString(), QStringLiteral("/first/pick")}));
    QCOMPARE(text2->text(), QStringLiteral("/typed/"));
}

void TestForm1::text2SelectsAllOnFocus_data() {
    QTest::addColumn<bool>("byClick");
    QTest::newRow("by click") << true;
    QTest::newRow("by tab") << false;
}

void TestForm1::text2SelectsAllOnFocus() {
    QFETCH(bool, byClick);
    m_settings->put(QStringLiteral("Text2"), QStringLiteral("/home/me/Pictures/"));
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* text2 = control<QLineEdit>(window, "Text2");
    if (byClick) {
        QTest::mouseClick(text2, Qt::LeftButton, {}, QPoint(20, text2->height() / 2));
    } else {
        control(window, "PushButton9")->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCoreApplication::processEvents();
    QCOMPARE(QApplication::focusWidget(), text2);
    QCOMPARE(text2->selectedText(), QStringLiteral("/home/me/Pictures/"));
}

// ---- List buttons and the listing run ----

void TestForm1::listButtons() {
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    ImageList& list = window.imageList();
    for (int i = 1; i <= 3; ++i) {
        list.add("http://h/" + QByteArray::number(i) + ".jpg");
        list.setTicked(i, i != 2);
    }
    click(window, "PushButton8");
    QVERIFY(!list.ticked(1) && !list.ticked(2) && !list.ticked(3));
    click(window, "PushButton7");
    QVERIFY(list.ticked(1) && list.ticked(2) && list.ticked(3));
    window.pointer().setPointer(Pointer::Busy);
    click(window, "PushButton10");
    QCOMPARE(list.count(), 3);
    window.pointer().setPointer(Pointer::Default);
    click(window, "PushButton10");
    QCOMPARE(list.count(), 0);
    QVERIFY(m_test->boxes.messages.isEmpty());
}

void TestForm1::listingStopsBeforeFetching_data() {
    QTest::addColumn<bool>("filter");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("entriesAfter");
    QTest::newRow("no image type chosen")
        << false << QDir::tempPath() << QStringLiteral("Select image filter first.") << 2;
    QTest::newRow("missing folder empties the list")
        << true << QDir::tempPath() + QStringLiteral("/no such folder/")
        << QStringLiteral("Folder does not exist. Please select another folder.") << 0;
}

void TestForm1::listingStopsBeforeFetching() {
    QFETCH(bool, filter);
    QFETCH(QString, folder);
    QFETCH(QString, message);
    QFETCH(int, entriesAfter);
    if (!filter) {
        m_settings->put(QStringLiteral("JPG"), QStringLiteral("0"));
        m_settings->put(QStringLiteral("GIF"), QStringLiteral("0"));
    }
    m_settings->put(QStringLiteral("Text2"), folder);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    window.imageList().add("http://old/1.jpg");
    window.imageList().add("http://old/2.jpg");
    click(window, "PushButton5");
    QVERIFY(listingEnds(window));
    QCOMPARE(m_test->boxes.texts(), QStringList{message});
    QCOMPARE(window.imageList().count(), entriesAfter);
    QVERIFY(window.pointer().pointer() != Pointer::Busy);
    QVERIFY(!window.runActive());
}

void TestForm1::secondStartDuringARunIsIgnored() {
    m_settings->put(QStringLiteral("JPG"), QStringLiteral("0"));
    m_settings->put(QStringLiteral("GIF"), QStringLiteral("0"));
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    bool nestedRan = false;
    const bool ran = window.runExclusively([&] {
        QVERIFY(window.runActive());
        // Without the guard this click would show "Select image filter first.".
        click(window, "PushButton5");
        nestedRan = window.runExclusively([] {});
    });
    QVERIFY(ran);
    QVERIFY(!nestedRan);
    QVERIFY(m_test->boxes.messages.isEmpty());
    QVERIFY(!window.runActive());
    // Once the run is over the button works again.
    click(window, "PushButton5");
    QVERIFY(listingEnds(window));
    QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Select image filter first.")});
}

void TestForm1::closing_data() {
    QTest::addColumn<bool>("duringRun");
    QTest::newRow("during a run: the run is told to stop") << true;
    QTest::newRow("when idle: nothing to stop") << false;
}

void TestForm1::closing() {
    QFETCH(bool, duringRun);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    if (duringRun)
        window.runExclusively([&] { window.close(); });
    else
        window.close();
    QCOMPARE(Cancellation::requested(), duringRun);
    QVERIFY(!window.isVisible());
}

void TestForm1::listingRunFollowsTheFindMode_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::newRow("no key: the classic scan, double quotes only")
        << QString() << QList<QByteArray>{"/g/double.jpg"};
    QTest::newRow("classic") << QStringLiteral("classic") << QList<QByteArray>{"/g/double.jpg"};
    QTest::newRow("browser: every quoting and srcset")
        << QStringLiteral("browser") << QList<QByteArray>{"/g/single.jpg", "/g/double.jpg", "/g/set.gif"};
    QTest::newRow("an unknown value is the classic scan")
        << QStringLiteral("chrome") << QList<QByteArray>{"/g/double.jpg"};
}

void TestForm1::listingRunFollowsTheFindMode() {
    QFETCH(QString, mode);
    QFETCH(QList<QByteArray>, expected);
    TestServer server;
    server.route("/g/", serve::ok("<img src='single.jpg'><img src=\"double.jpg\" srcset=set.gif>"));
    m_settings->put(QStringLiteral("Web Site"), QString::fromLatin1(server.address("/g/")));
    m_settings->put(QStringLiteral("Text2"), m_temp.path());
    if (!mode.isNull())
        m_settings->put(QStringLiteral("Find Mode"), mode);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    click(window, "PushButton5");
    QVERIFY(listingEnds(window));
    QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Done.")});
    QList<QByteArray> listed;
    for (int i = 1; i <= window.imageList().count(); ++i)
        listed << window.imageList().text(i).mid(server.base().size());
    QCOMPARE(listed, expected);
    // Reading the key never writes it.
    QCOMPARE(m_settings->stored(QStringLiteral("Find Mode")),
             mode.isNull() ? std::nullopt : std::optional(mode));
}

void TestForm1::listingRunFillsTheList() {
    TestServer server;
    const QByteArray images = server.address("/img/");
    server.route("/gallery/", serve::ok("<html><img src=\"" + images + "a.jpg\"><a href=\"" + images +
                                        "b.GIF\">b</a><img src=\"" + images + "c.png\"><img src=\"" + images +
                                        "a.jpg\"></html>"));
    m_settings->put(QStringLiteral("Web Site"), QString::fromLatin1(server.address("/gallery/")));
    m_settings->put(QStringLiteral("Text2"), m_temp.path());
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    window.imageList().add("http://old/entry.jpg");

    // While "Done." is open the run is still going: the pointer is busy, the hover rule leaves
    // it so, and a second start is ignored.
    Pointer pointerAtDone = Pointer::Default;
    Qt::CursorShape shapeAtDone = Qt::ArrowCursor;
    bool secondStartTried = false;
    m_test->boxes.onShow = [&](const RecordingMessages::Message&) {
        if (std::exchange(secondStartTried, true))
            return;
        QVERIFY(window.runActive());
        moveOver(window, QStringLiteral("PushButton7"));
        pointerAtDone = window.pointer().pointer();
        shapeAtDone = window.cursor().shape();
        click(window, "PushButton5");
    };
    click(window, "PushButton5");
    QVERIFY(listingEnds(window));

    QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Done.")});
    QCOMPARE(pointerAtDone, Pointer::Busy);
    QCOMPARE(shapeAtDone, Qt::WaitCursor);
    ImageList& list = window.imageList();
    QCOMPARE(list.count(), 2);
    QCOMPARE(list.text(1), images + "a.jpg");
    QCOMPARE(list.text(2), images + "b.GIF");
    QVERIFY(list.ticked(1) && list.ticked(2));
    QTRY_COMPARE(control<ImageListView>(window, "ListView1")->model()->rowCount(), 2);
    QCOMPARE(window.pointer().pointer(), Pointer::Default);
    QVERIFY(!window.runActive());
    QCOMPARE(server.distinctPaths(), QList<QByteArray>{"/gallery/"});
    QCOMPARE(QDir(m_temp.path()).entryList(QDir::Files), QStringList());
}

void TestForm1::listingClickReturnsWhileThePageIsOnItsWay_data() {
    QTest::addColumn<QString>("mode");
    QTest::newRow("classic") << QStringLiteral("classic");
    QTest::newRow("browser") << QStringLiteral("browser");
}

void TestForm1::listingClickReturnsWhileThePageIsOnItsWay() {
    QFETCH(QString, mode);
    TestServer server;
    server.route("/slow/", serve::stall());
    m_settings->put(QStringLiteral("Web Site"), QString::fromLatin1(server.address("/slow/")));
    m_settings->put(QStringLiteral("Text2"), m_temp.path());
    m_settings->put(QStringLiteral("Find Mode"), mode);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    click(window, "PushButton5");
    // The click is back before the page has come: the window is free, the run still going.
    QVERIFY(window.runActive());
    QVERIFY(m_test->boxes.texts().isEmpty());
    QTRY_VERIFY(server.distinctPaths().contains("/slow/"));
    click(window, "PushButton5");
    window.stopRun();
    QVERIFY(listingEnds(window));
    QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Stopped: 0 links listed.")});
    QCOMPARE(window.pointer().pointer(), Pointer::Default);
    QCOMPARE(server.distinctPaths(), QList<QByteArray>{"/slow/"});
    // The stop was this run's alone: the next one goes ahead.
    QVERIFY(!Cancellation::requested());
}

void TestForm1::closingDuringAFetchEndsTheRunAtOnce() {
    TestServer server;
    server.route("/slow/", serve::stall());
    m_settings->put(QStringLiteral("Web Site"), QString::fromLatin1(server.address("/slow/")));
    m_settings->put(QStringLiteral("Text2"), m_temp.path());
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    // The user closes the window while the run waits for the page.
    connect(&server, &TestServer::requestArrived, &window, [&] { window.close(); });
    click(window, "PushButton5");
    QVERIFY(listingEnds(window));

    QVERIFY(Cancellation::requested());
    QVERIFY(!window.isVisible());
    QVERIFY(!window.runActive());
    // No "Done.", no failure message, no error report: nobody is left to read them.
    QCOMPARE(m_test->boxes.texts(), QStringList());
    QCOMPARE(window.imageList().count(), 0);
    QCOMPARE(QDir(m_temp.path()).entryList(QDir::Files), QStringList());
}

void TestForm1::downloadRunSavesTheTickedImages() {
    TestServer server;
    server.route("/a.jpg", serve::ok("AAAA", "image/jpeg"));
    server.route("/b.jpg", serve::ok("BBBBBBBB", "image/jpeg"));
    server.route("/c.jpg", serve::ok("CC", "image/jpeg"));
    const QString folder = m_temp.path() + QStringLiteral("/pics/");
    QVERIFY(QDir().mkpath(folder));
    m_settings->put(QStringLiteral("Text2"), folder);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    ImageList& list = window.imageList();
    for (const char* name : {"/a.jpg", "/b.jpg", "/c.jpg"})
        list.setTicked(list.add(server.address(name)), true);
    list.setTicked(2, false);

    // While "Done." is open the run is still active: a listing or a second download is ignored.
    m_test->boxes.onShow = [&](const RecordingMessages::Message&) {
        QVERIFY(window.runActive());
        QCOMPARE(window.pointer().pointer(), Pointer::Default);
        click(window, "PushButton5");
        click(window, "PushButton6");
    };
    click(window, "PushButton6");
    QVERIFY(downloadEnds(window));

    QCOMPARE(m_test->boxes.texts(), QStringList{QStringLiteral("Done.")});
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
             (QStringList{QStringLiteral("a.jpg"), QStringLiteral("c.jpg")}));
    QFile saved(folder + QStringLiteral("a.jpg"));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("AAAA"));
    QCOMPARE(list.count(), 3);
    QCOMPARE(control<QProgressBar>(window, "ProgressBar1")->text(), QStringLiteral("Progress Bar"));
    QVERIFY(!window.runActive());
    QCOMPARE(server.distinctPaths().size(), 2);
}

void TestForm1::closingDuringADownloadLeavesNoPartFile_data() {
    QTest::addColumn<bool>("destroyed");
    QTest::newRow("closed: the run is cancelled and ends") << false;
    QTest::newRow("destroyed: the run goes with the window") << true;
}

void TestForm1::closingDuringADownloadLeavesNoPartFile() {
    QFETCH(bool, destroyed);
    TestServer server;
    server.route("/old.jpg", serve::headersThenStall(100000));
    const QString folder = m_temp.path() + QStringLiteral("/keep/");
    QVERIFY(QDir().mkpath(folder));
    QFile old(folder + QStringLiteral("old.jpg"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("previous bytes");
    old.close();
    m_settings->put(QStringLiteral("Text2"), folder);
    Form1& window = m_test->load();
    QVERIFY(showWindow(window));
    window.imageList().setTicked(window.imageList().add(server.address("/old.jpg")), true);
    bool arrived = false;
    connect(&server, &TestServer::requestArrived, &window, [&] {
        arrived = true;
        if (!destroyed)
            QTimer::singleShot(50, &window, [&] { window.close(); });
    });
    click(window, "PushButton6");
    // The click has returned while the image is still on its way.
    QVERIFY(window.runActive());

    if (destroyed) {
        QVERIFY(QTest::qWaitFor([&] { return arrived; }, 60000));
        QTest::qWait(50);
        m_test->window.reset();
    } else {
        QVERIFY(downloadEnds(window));
        QVERIFY(Cancellation::requested());
        QVERIFY(!window.isVisible());
        QVERIFY(!window.runActive());
    }
    QCOMPARE(m_test->boxes.texts(), QStringList());
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("old.jpg")});
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("previous bytes"));
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
