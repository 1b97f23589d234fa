#include "shell/Form1.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Product.h"
#include "discovery/ListingJob.h"
#include "download/DownloadArchive.h"
#include "download/DownloadRun.h"
#include "net/CookieFile.h"
#include "net/RunSetup.h"
#include "shell/AppTitle.h"
#include "shell/CursorFile.h"
#include "shell/FileRoutines.h"
#include "shell/Form1Layout.h"
#include "shell/GalleryWindow.h"
#include "shell/HelpTexts.h"
#include "shell/ImageListView.h"
#include "shell/LinkListFile.h"
#include "shell/ListOperations.h"
#include "shell/OnlineCheck.h"
#include "shell/PreviewWindow.h"
#include "shell/ProgressBarDisplay.h"
#include "shell/QtMessageBoxes.h"
#include "shell/SettingsStore.h"
#include "shell/WindowRunSetup.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoopLocker>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QStandardPaths>
#include <QTime>
#include <QUrl>

#include <algorithm>

namespace {

using namespace layout;

QIcon programIcon() {
    QIcon icon;
    for (int size : {32, 48, 128, 256})
        icon.addFile(QStringLiteral(":/varnolux/icons/varnolux-%1.png").arg(size), QSize(size, size));
    return icon;
}

// Seeded from the clock's seconds since midnight, as a fresh start of the program would be.
int drawFromClock() {
    QRandomGenerator generator(quint32(QTime::currentTime().msecsSinceStartOfDay() / 1000));
    return int(generator.generateDouble() * 100) + 1;
}

QString chooseFolderWithDialog(QWidget* parent, const QString& prompt, const QString& initialFolder) {
    const QString folder = QFileDialog::getExistingDirectory(parent, prompt, initialFolder);
    return QDir::toNativeSeparators(folder);
}

} // namespace

Form1::Form1(Form1Seams seams) : QWidget(nullptr), m_seams(std::move(seams)), m_pointer(this) {
    if (!m_seams.messages)
        m_ownBoxes = std::make_unique<QtMessageBoxes>(this);
    m_boxes = m_seams.messages ? m_seams.messages : m_ownBoxes.get();
    if (!m_seams.checkOnline)
        m_seams.checkOnline = [](MessageBoxes& boxes) { CheckOnline(boxes); };
    if (!m_seams.drawOneToHundred)
        m_seams.drawOneToHundred = drawFromClock;
    if (!m_seams.openBrowser)
        m_seams.openBrowser = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    if (!m_seams.chooseFolder)
        m_seams.chooseFolder = chooseFolderWithDialog;
    if (!m_seams.desktopLocation)
        m_seams.desktopLocation = platformDesktopLocation;
    if (!m_seams.picturesLocation)
        m_seams.picturesLocation = [] {
            return QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        };
    if (!m_seams.homeLocation)
        m_seams.homeLocation = [] { return QDir::homePath(); };
    if (!m_seams.openFolder)
        m_seams.openFolder = [](const QString& folder) {
            return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
        };
    if (!m_seams.chooseSaveFile)
        m_seams.chooseSaveFile = [](QWidget* parent, const QString& caption, const QString& suggested) {
            QFileDialog dialog(parent, caption, suggested,
                               QStringLiteral("Text files (*.txt);;All files (*)"));
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            // A name typed without an extension is asked about, and saved, with ".txt".
            dialog.setDefaultSuffix(QStringLiteral("txt"));
            return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
                       ? dialog.selectedFiles().constFirst()
                       : QString();
        };
    if (!m_seams.chooseOpenFile)
        m_seams.chooseOpenFile = [](QWidget* parent, const QString& caption) {
            return QFileDialog::getOpenFileName(parent, caption, QString(),
                                                QStringLiteral("Text files (*.txt);;All files (*)"));
        };
    if (!m_seams.copyToClipboard)
        m_seams.copyToClipboard = [](const QString& text) { QGuiApplication::clipboard()->setText(text); };
    // Asked only while no folder is stored, and the first start stores the one it shows.
    m_store = std::make_unique<SettingsStore>(*m_boxes, [this] {
        return firstStartFolder(m_seams.desktopLocation(), m_seams.picturesLocation(),
                                m_seams.homeLocation());
    });

    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFont(arialBold(9));
    setBackground(this, Qt::white);
    // The controls keep their places in an area of their own; the menu bar sits above it and the
    // window grows by the bar's height.
    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("Form1Client"));
    setBackground(m_client, Qt::white);
    buildControls();
    buildMenus();
    const int barHeight = m_menuBar->sizeHint().height();
    m_menuBar->setGeometry(0, 0, twips(clientWidthTwips), barHeight);
    m_client->setGeometry(0, barHeight, twips(clientWidthTwips), twips(clientHeightTwips));
    setFixedSize(twips(clientWidthTwips), barHeight + twips(clientHeightTwips));
    setAcceptDrops(true);
    connectHandlers();
    m_progress = std::make_unique<ProgressBarDisplay>(ui.ProgressBar1);
}

Form1::~Form1() {
    // A run still under way ends before the window it reports to: its jobs go, their part files
    // with them.
    m_download.reset();
    m_downloadEnded.reset();
    m_listing.reset();
    m_listingEnded.reset();
}

void Form1::connectHandlers() {
    connect(ui.PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(ui.PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(ui.PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(ui.PushButton4, &QPushButton::clicked, this, &Form1::PushButton4_Click);
    connect(ui.PushButton5, &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(ui.PushButton6, &QPushButton::clicked, this, &Form1::PushButton6_Click);
    connect(ui.PushButton7, &QPushButton::clicked, this, &Form1::PushButton7_Click);
    connect(ui.PushButton8, &QPushButton::clicked, this, &Form1::PushButton8_Click);
    connect(ui.PushButton9, &QPushButton::clicked, this, &Form1::PushButton9_Click);
    connect(ui.PushButton10, &QPushButton::clicked, this, &Form1::PushButton10_Click);
    // toggled fires for a click and for a change made in code, never for a value that stays.
    connect(ui.Check1, &QCheckBox::toggled, this, &Form1::Check1_Click);
    connect(ui.Check3, &QCheckBox::toggled, this, &Form1::Check3_Click);
    connect(ui.Check4, &QCheckBox::toggled, this, &Form1::Check4_Click);
    // textChanged likewise fires for typing and for setText, and only when the text differs.
    connect(ui.txtWebsite, &QLineEdit::textChanged, this, &Form1::txtWebsite_Change);
    connect(ui.txtWebsite, &QLineEdit::textEdited, this, &Form1::addressEdited);
    // Return in the address box lists the page, as the button below it does.
    connect(ui.txtWebsite, &QLineEdit::returnPressed, this, &Form1::PushButton5_Click);
    connect(ui.Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
    connect(ui.Text2, &QLineEdit::textChanged, this, &Form1::Text2_Change);
}

QString Form1::programFolder() const {
    if (!m_seams.programFolder.isEmpty())
        return m_seams.programFolder;
    // Built, the data files stand beside the executable; installed, the executable is in bin/ and
    // its data files in share/varnolux/.
    const QString beside = QCoreApplication::applicationDirPath();
    const QString installed = QDir(beside).absoluteFilePath(QStringLiteral("../share/varnolux"));
    return !QFileInfo::exists(beside + QLatin1StringView("/HAND-M.CUR")) && QFileInfo(installed).isDir()
               ? QDir::cleanPath(installed)
               : beside;
}

// ---- Start and end ----

void Form1::Form_Load() {
    ErrorTrap trap(messages(), trapTags::formLoad);
    trap.step(100, [&] { m_seams.checkOnline(messages()); });
    const QString cursorPath = programFolder() + QLatin1StringView("/HAND-M.CUR");
    if (trap.condition(102, [&] { return FileExists(cursorPath); })) {
        trap.step(104, [&] {
            const CursorRead hand = readCursorFile(cursorPath);
            if (!hand)
                throw StepFailure(net::reasonText(hand.failure()));
            m_pointer.setHandCursor(
                QCursor(QPixmap::fromImage(hand->image), hand->hotSpot.x(), hand->hotSpot.y()));
        });
    }
    trap.step(106, [&] {
        setWindowTitle(QString(product::name));
        setWindowIcon(programIcon());
        SetAppTitle();
    });
    trap.step(108, [&] { ApplySkin(); });
    trap.step(110, [&] { VisitHomePage(); });
    trap.step(130, [&] { ui.txtWebsite->setText(m_store->read(Setting::WebSite)); });
    trap.step(132, [&] { ui.Text2->setText(m_store->read(Setting::Text2)); });
    trap.step(134, [&] { ui.ListView1->addColumn(QStringLiteral(" Web Site File(s)")); });
    trap.step(136, [&] { ui.ListView1->setColumnWidth(0, twips(listColumnWidthTwips)); });
    trap.step(138, [&] { ui.Check1->setChecked(m_store->readTick(Setting::Jpg)); });
    trap.step(140, [&] { ui.Check3->setChecked(m_store->readTick(Setting::Gif)); });
    trap.step(142, [&] { ui.Check4->setChecked(m_store->readTick(Setting::X)); });
    trap.step(144, [&] { ui.Text1->setText(m_store->read(Setting::XFilter)); });
    trap.step(146, [&] { ui.Text2->setText(m_store->read(Setting::Text2)); });
    if (trap.condition(148, [&] { return ui.Check4->isChecked(); }))
        trap.step(150, [&] { ui.Text1->setEnabled(true); });
    else
        trap.step(152, [&] { ui.Text1->setEnabled(false); });
}

void Form1::SetAppTitle() {
    setApplicationTitle(AppTitleFor(QString(product::name)));
}

void Form1::ApplySkin() {
    const QString skinPath = programFolder() + QLatin1StringView("/x/o.cjs");
    if (!QFileInfo::exists(skinPath))
        return;
    const QColor buttonFace = QGuiApplication::palette().color(QPalette::Active, QPalette::Button);
    setBackground(this, buttonFace);
    setBackground(m_client, buttonFace);
    for (QWidget* child : findChildren<QWidget*>())
        if (qobject_cast<QCheckBox*>(child) || qobject_cast<QGroupBox*>(child))
            setBackground(child, buttonFace);
    // Our skins are Qt style sheets.
    QFile skin(skinPath);
    if (!skin.open(QIODevice::ReadOnly))
        throw StepFailure(QStringLiteral("Skin file cannot be read: ") + QDir::toNativeSeparators(skinPath));
    setStyleSheet(QString::fromUtf8(skin.readAll()));
}

void Form1::VisitHomePage() {
    if (m_seams.drawOneToHundred() == 7)
        m_seams.openBrowser(QUrl(QString(product::homePage)));
}

void Form1::showEvent(QShowEvent* event) {
    if (!m_centred) {
        m_centred = true;
        if (const QScreen* screen = this->screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QWidget::showEvent(event);
}

void Form1::closeEvent(QCloseEvent* event) {
    m_closing = true;
    // The companion window goes with the main one, so nothing keeps the program open.
    if (m_preview)
        m_preview->close();
    if (m_gallery)
        m_gallery->close();
    Form_Unload();
    event->accept();
}

void Form1::Form_Unload() {
    // Nothing is saved here: every setting was saved when it changed.
    if (m_run.active())
        Cancellation::request();
}

// ---- The hover rule and focus ----

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (dropFilter(watched, event))
        return true;
    if (event->type() == QEvent::MouseMove) {
        const auto hover = m_hover.constFind(watched);
        if (hover != m_hover.cend())
            pointerMoved(*hover);
    } else if (event->type() == QEvent::FocusIn && watched == ui.Text2) {
        Text2_GotFocus();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::pointerMoved(HoverRule hover) {
    // A run owns the busy pointer.
    if (m_pointer.pointer() == Pointer::Busy)
        return;
    if (hover == HoverRule::Hand)
        m_pointer.setPointer(Pointer::Hand);
    else if (hover == HoverRule::Arrow)
        m_pointer.setPointer(Pointer::Default);
}

void Form1::Text2_GotFocus() {
    // After the click that gave the focus has placed the cursor, so the selection survives it.
    QMetaObject::invokeMethod(
        ui.Text2, [box = ui.Text2] { box->setSelection(0, int(box->text().size())); }, Qt::QueuedConnection);
}

// ---- Controls that save themselves ----

void Form1::txtWebsite_Change() {
    m_addressBefore = std::exchange(m_addressNow, ui.txtWebsite->text());
    m_store->write(Setting::WebSite, ui.txtWebsite->text());
}
void Form1::Text1_Change() {
    m_store->write(Setting::XFilter, ui.Text1->text());
}
void Form1::Text2_Change() {
    m_store->write(Setting::Text2, ui.Text2->text());
}
void Form1::Check1_Click() {
    m_store->writeTick(Setting::Jpg, ui.Check1->isChecked());
}
void Form1::Check3_Click() {
    m_store->writeTick(Setting::Gif, ui.Check3->isChecked());
}

void Form1::Check4_Click() {
    ui.Text1->setEnabled(ui.Check4->isChecked());
    m_store->writeTick(Setting::X, ui.Check4->isChecked());
}

// ---- Buttons ----

void Form1::PushButton1_Click() {
    ErrorTrap trap(messages(), trapTags::pushButton1);
    trap.step(100, [&] { messages().show(helpText::imageFilter()); });
}

void Form1::PushButton2_Click() {
    ErrorTrap trap(messages(), trapTags::pushButton2);
    QString folder;
    trap.step(100, [&] {
        folder = m_seams.chooseFolder(this, QStringLiteral("Please select folder:"),
                                      m_store->read(Setting::LastFolderDot));
    });
    if (trap.condition(102, [&] { return folder.isEmpty(); }))
        return;
    trap.step(104, [&] { m_store->write(Setting::LastFolderDot, folder); });
    if (trap.condition(104, [&] { return !folder.endsWith(QDir::separator()); }))
        trap.step(106, [&] { ui.Text2->setText(folder + QDir::separator()); });
    else
        trap.step(108, [&] { ui.Text2->setText(folder); });
}

void Form1::PushButton3_Click() {
    ErrorTrap trap(messages(), trapTags::pushButton3);
    trap.step(100, [&] { messages().show(helpText::contact()); });
}

void Form1::PushButton4_Click() {
    ErrorTrap trap(messages(), trapTags::pushButton4);
    trap.step(100, [&] { ui.txtWebsite->setText(QString(product::samplePage)); });
    trap.step(102, [&] { ui.Check3->setChecked(true); });
}

// A listing with what it needs until its end: its set-up, the window's busy mark, and a hold on
// the application, so a window closed mid-listing leaves the program running until it has ended.
class ListingUnderWay {
public:
    explicit ListingUnderWay(RunState& run) : busy(std::in_place, run) {}
    std::optional<RunState::Guard> busy;
    std::unique_ptr<net::NetworkRun> network;
    std::unique_ptr<ListingJob> job;
    QEventLoopLocker keepRunning;
};

void Form1::PushButton5_Click() {
    // A click while a run is active (this listing or a download) is ignored.
    if (m_run.active() || m_listing)
        return;
    m_listing = std::make_unique<ListingUnderWay>(m_run);
    ListingUnderWay& listing = *m_listing;
    syncMenus();
    listing.network = windowRunSetup(*m_store, messages());
    listing.job = std::make_unique<ListingJob>(*this, m_discovery, listing.network->setup());
    // The click returns once the page's fetch is under way; the job tells its end.
    listing.job->start([this](ListingOutcome outcome) { listingEnded(outcome); });
}

void Form1::listingEnded(ListingOutcome outcome) {
    // The job is still in the middle of its report: it goes once that has returned.
    m_listingEnded = std::move(m_listing);
    QMetaObject::invokeMethod(
        this, [this] { m_listingEnded.reset(); }, Qt::QueuedConnection);
    m_listingEnded->busy.reset();
    // A stop that came as the run ended on its own leaves the run's own word standing.
    if (endStop() && outcome == ListingOutcome::Cancelled) {
        m_pointer.setPointer(Pointer::Default);
        messages().show(QStringLiteral("Stopped: %1 links listed.").arg(imageList().count()));
    }
    // The listed page is the Referer of its thumbnails from now on.
    if (m_gallery)
        m_gallery->refreshRun();
    // Once the run is over, so the menus are those of an idle window again.
    syncMenus();
}

void Form1::stopRun() {
    if (m_run.idle() || m_stopping)
        return;
    m_stopping = true;
    // The runs already end at once for a closing window; a stop asks the same of them.
    Cancellation::request();
}

bool Form1::endStop() {
    if (!m_stopping)
        return false;
    m_stopping = false;
    if (m_closing)
        return false;
    Cancellation::reset();
    return true;
}

bool Form1::runExclusively(const std::function<void()>& work) {
    // Both runs yield to the event loop, so a second click can arrive mid-run; it is ignored.
    {
        RunState::Guard listing(m_run);
        if (!listing)
            return false;
        syncMenus();
        work();
    }
    // Once the run is over, so the menus are those of an idle window again.
    syncMenus();
    return true;
}

// A download run with what it needs until its end: its set-up, its archive, and a hold on the
// application, so a window closed mid-run leaves the program running until the run has cleaned up.
class DownloadUnderWay {
public:
    // After a rendered listing, the cookies the browser ended with; it outlives the run's loop.
    std::unique_ptr<net::HeldCookies> browserCookies;
    std::unique_ptr<net::NetworkRun> network;
    DownloadArchive archive;
    std::unique_ptr<DownloadRun> run;
    QEventLoopLocker keepRunning;
};

void Form1::PushButton6_Click() {
    // The run tests and sets the window's one busy flag itself, so a click during a listing or
    // another download is ignored there.
    if (m_run.active() || m_download)
        return;
    ui.ListView1->list().clearOutcomes();
    // Held from here on, so a click while the archive's warning is open is ignored as well.
    m_download = std::make_unique<DownloadUnderWay>();
    DownloadUnderWay* download = m_download.get();
    // After a rendered listing the images go with the cookies the browser ended with, as the
    // page's own requests did; a file that cannot be kept is named and the run goes without.
    // It is a few kilobytes written once, like the cookie setting's file read by the set-up.
    if (!m_discovery.BrowserCookies.isEmpty()) {
        if (auto held = net::HeldCookies::write(m_discovery.BrowserCookies))
            download->browserCookies = std::move(*held);
        else
            messages().show(QStringLiteral("%1; the images are asked for without them.")
                                .arg(net::reasonText(held.failure())),
                            MessageIcon::Warning);
    }
    download->network = windowRunSetup(
        *m_store, messages(), download->browserCookies ? download->browserCookies->path() : QString());
    const DownloadOptions& options = download->network->setup().options();
    download->run = std::make_unique<DownloadRun>(*this, download->network->setup());
    DownloadRun& run = *download->run;
    run.setRefererPage(m_discovery.refererPage());
    run.setRefererPages(m_discovery.FollowedFrom);
    if (!options.archive.isEmpty()) {
        if (const net::Result opened = download->archive.open(options.archive); opened.ok())
            run.setArchive(&download->archive);
        else
            messages().show(
                QStringLiteral("The download archive %1; it is not used.").arg(net::reasonText(opened)),
                MessageIcon::Warning);
    }
    syncMenus();
    // The click returns at once; the run goes on through the event loop and tells its end.
    run.start({}, [this](DownloadOutcome outcome) { downloadEnded(outcome); });
}

void Form1::downloadEnded(DownloadOutcome outcome) {
    // The run is still in the middle of its report: it goes once that has returned.
    m_downloadEnded = std::move(m_download);
    QMetaObject::invokeMethod(
        this, [this] { m_downloadEnded.reset(); }, Qt::QueuedConnection);
    const DownloadRun& run = *m_downloadEnded->run;
    if (endStop() && outcome == DownloadOutcome::Cancelled) {
        m_pointer.setPointer(Pointer::Default);
        messages().show(
            DownloadRun::stoppedMessage(run.saved(), run.attempted(), run.failures(), run.notes()));
    }
    syncMenus();
}

void Form1::entryStarted(int entry, int ordinal, const QByteArray& link) {
    Q_UNUSED(entry);
    Q_UNUSED(link);
    // The download run marks itself busy once it has begun: its first entry enables File > Stop.
    if (ordinal == 1)
        syncMenus();
}

void Form1::entryFinished(int entry, const QByteArray& link, const QString& path,
                          const DownloadResult& result) {
    Q_UNUSED(link);
    ImageListModel& list = ui.ListView1->list();
    if (entry < 1 || entry > list.count())
        return;
    if (result.saved && result.kind == BodyKind::Html) {
        list.setOutcome(entry, EntryOutcome::SavedNotImage,
                        QStringLiteral("Saved as %1, but its body is an HTML page, not an image")
                            .arg(QDir::toNativeSeparators(path)));
        if (m_store->readTick(Setting::UntickSaved))
            list.setTicked(entry, false);
    } else if (result.saved) {
        list.setOutcome(entry, EntryOutcome::Saved,
                        QStringLiteral("Saved as %1").arg(QDir::toNativeSeparators(path)));
        if (m_store->readTick(Setting::UntickSaved))
            list.setTicked(entry, false);
    } else if (result.skipped) {
        list.setOutcome(entry, EntryOutcome::Skipped,
                        QStringLiteral("Skipped: %1 exists already").arg(QDir::toNativeSeparators(path)));
    } else if (!result.cancelled) {
        list.setOutcome(entry, EntryOutcome::Failed, QStringLiteral("Failed: %1").arg(result.reason));
    }
}

void Form1::tickFailedOnly() {
    ImageListModel& list = ui.ListView1->list();
    for (int entry = 1; entry <= list.count(); ++entry)
        list.setTicked(entry, list.outcome(entry) == EntryOutcome::Failed);
}

void Form1::PushButton7_Click() {
    checkAllEntries(imageList(), messages());
}
void Form1::PushButton8_Click() {
    uncheckAllEntries(imageList(), messages());
}

void Form1::PushButton9_Click() {
    ErrorTrap trap(messages(), trapTags::pushButton9);
    trap.step(100, [&] { messages().show(helpText::aboutProgram()); });
}

void Form1::PushButton10_Click() {
    if (m_run.active())
        return;
    clearList(imageList(), m_pointer, messages());
    syncMenus();
}

// ---- What the runs see ----

ImageList& Form1::imageList() {
    return ui.ListView1->list();
}
ProgressDisplay& Form1::progress() {
    return *m_progress;
}
void Form1::renderingProgress(const QString& text) {
    m_progress->setText(text);
}

bool Form1::filterTicked(FilterBox box) const {
    switch (box) {
    case FilterBox::Jpg:
        return ui.Check1->isChecked();
    case FilterBox::Gif:
        return ui.Check3->isChecked();
    case FilterBox::Custom:
        return ui.Check4->isChecked();
    }
    return false;
}

QString Form1::customFilterText() const {
    return ui.Text1->text();
}
QString Form1::addressText() const {
    return ui.txtWebsite->text();
}
FindMode Form1::findMode() const {
    const QString mode = m_store->read(Setting::FindMode);
    return mode == QLatin1StringView("browser")    ? FindMode::Browser
           : mode == QLatin1StringView("rendered") ? FindMode::Rendered
                                                   : FindMode::Classic;
}

FollowMode Form1::followMode() const {
    const QString mode = m_store->read(Setting::FollowLinks);
    return mode == QLatin1StringView("thumbnails") ? FollowMode::Thumbnails
           : mode == QLatin1StringView("links")    ? FollowMode::Links
                                                   : FollowMode::None;
}

bool Form1::largestSizesOnly() const {
    return m_store->read(Setting::PictureSizes) == QLatin1StringView("largest");
}

QString Form1::folderText() const {
    return ui.Text2->text();
}
