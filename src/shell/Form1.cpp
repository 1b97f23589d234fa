#include "shell/Form1.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Product.h"
#include "discovery/ListingJob.h"
#include "download/DownloadRun.h"
#include "download/ListOperations.h"
#include "net/CurlTransfer.h"
#include "shell/AppTitle.h"
#include "shell/CursorFile.h"
#include "shell/FileRoutines.h"
#include "shell/HelpTexts.h"
#include "shell/ImageListView.h"
#include "shell/OnlineCheck.h"
#include "shell/ProgressBarDisplay.h"
#include "shell/QtMessageBoxes.h"
#include "shell/SettingsStore.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QTime>
#include <QUrl>

#include <algorithm>

namespace {

enum class Kind { PushButton, Frame, TextBox, CheckBox, List, ProgressBar };

// One control of the window. Positions are in twips within the container (none: the window).
struct ControlRow {
    QLatin1StringView name;
    Kind kind;
    QLatin1StringView container;
    QLatin1StringView caption;
    int left, top, width, height;
    int tab;
    HoverRule hover;
};

using L = QLatin1StringView;

// The window's layout, top to bottom; containers come before what they hold.
constexpr ControlRow controlTable[] = {
    {L("PushButton3"), Kind::PushButton, L(""), L("Help"), 120, 120, 3840, 405, 18, HoverRule::Hand},
    {L("PushButton4"), Kind::PushButton, L(""), L("Load Sample/Example Website"), 4080, 120, 3840, 405, 19,
     HoverRule::Hand},
    {L("Frame2"), Kind::Frame, L(""), L("Web Site"), 120, 600, 7800, 795, 7, HoverRule::Arrow},
    {L("txtWebsite"), Kind::TextBox, L("Frame2"), L("http://"), 240, 270, 6240, 345, 8, HoverRule::Unchanged},
    {L("PushButton9"), Kind::PushButton, L("Frame2"), L("Help"), 6585, 270, 960, 345, 9, HoverRule::Hand},
    {L("Frame1"), Kind::Frame, L(""), L("Image Filter"), 120, 1455, 7800, 770, 1, HoverRule::Arrow},
    {L("Check1"), Kind::CheckBox, L("Frame1"), L("JPG"), 240, 300, 960, 255, 2, HoverRule::Hand},
    {L("Check3"), Kind::CheckBox, L("Frame1"), L("GIF"), 975, 300, 960, 255, 3, HoverRule::Unchanged},
    {L("Check4"), Kind::CheckBox, L("Frame1"), L("Custom (List separated by commas):"), 1710, 300, 3495, 255,
     4, HoverRule::Unchanged},
    {L("Text1"), Kind::TextBox, L("Frame1"), L(""), 5145, 270, 1305, 345, 5, HoverRule::Unchanged},
    {L("PushButton1"), Kind::PushButton, L("Frame1"), L("Help"), 6585, 270, 960, 345, 6, HoverRule::Hand},
    {L("PushButton5"), Kind::PushButton, L(""), L("Start Listing Web Image Files"), 120, 2340, 7800, 405, 13,
     HoverRule::Hand},
    {L("ListView1"), Kind::List, L(""), L(""), 120, 2850, 7800, 1920, 0, HoverRule::Arrow},
    {L("PushButton7"), Kind::PushButton, L(""), L("Check All"), 120, 4850, 3840, 405, 14, HoverRule::Hand},
    {L("PushButton8"), Kind::PushButton, L(""), L("Uncheck All"), 4080, 4850, 3840, 405, 15, HoverRule::Hand},
    {L("PushButton10"), Kind::PushButton, L(""), L("Clear List"), 120, 5360, 7800, 405, 20, HoverRule::Hand},
    {L("Frame3"), Kind::Frame, L(""), L("Save Results To This Folder"), 120, 5790, 7800, 795, 10,
     HoverRule::Arrow},
    {L("Text2"), Kind::TextBox, L("Frame3"), L(""), 240, 300, 6600, 345, 11, HoverRule::Unchanged},
    {L("PushButton2"), Kind::PushButton, L("Frame3"), L("..."), 6915, 300, 660, 345, 12, HoverRule::Hand},
    {L("PushButton6"), Kind::PushButton, L(""), L("Start Downloading Selected Images"), 120, 6690, 7800, 405,
     16, HoverRule::Hand},
    {L("ProgressBar1"), Kind::ProgressBar, L(""), L("Progress Bar"), 120, 7210, 7800, 405, 17,
     HoverRule::Unchanged},
};

constexpr int clientWidthTwips = 8040;
constexpr int clientHeightTwips = 7710;
constexpr int listColumnWidthTwips = 7000;

const QString listTooltip = QStringLiteral(
    "Double-click item to remove it. Move | line to right and out of window to reveal full names.");

// 15 twips to a pixel at 96 dots per inch; Qt scales these device-independent pixels to the
// screen's real density.
int twips(int value) {
    return qRound(value / 15.0);
}

QFont arialBold(qreal points) {
    // Arial's metric-compatible stand-in where Arial itself is missing, so captions fit as laid out.
    static const bool substituted = [] {
        QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
        return true;
    }();
    Q_UNUSED(substituted);
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

void setBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

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
        m_seams.openBrowser = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    if (!m_seams.chooseFolder)
        m_seams.chooseFolder = chooseFolderWithDialog;
    if (!m_seams.desktopLocation)
        m_seams.desktopLocation = platformDesktopLocation;
    m_store = std::make_unique<SettingsStore>(*m_boxes,
                                              [this] { return DesktopFolder(m_seams.desktopLocation()); });

    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(twips(clientWidthTwips), twips(clientHeightTwips));
    setFont(arialBold(9));
    setBackground(this, Qt::white);
    buildControls();
    connectHandlers();
    m_progress = std::make_unique<ProgressBarDisplay>(ui.ProgressBar1);
}

Form1::~Form1() = default;

void Form1::buildControls() {
    QHash<QString, QWidget*> byName;
    std::vector<std::pair<int, QWidget*>> tabOrder;
    for (const ControlRow& row : controlTable) {
        QWidget* parent = row.container.isEmpty() ? this : byName.value(QString(row.container));
        Q_ASSERT(parent);
        const QString caption(row.caption);
        QWidget* control = nullptr;
        switch (row.kind) {
        case Kind::PushButton: {
            auto* button = new QPushButton(caption, parent);
            button->setFont(arialBold(11.25));
            control = button;
            break;
        }
        case Kind::Frame: {
            auto* frame = new QGroupBox(caption, parent);
            setBackground(frame, Qt::white);
            control = frame;
            break;
        }
        case Kind::TextBox: {
            auto* box = new QLineEdit(caption, parent);
            QPalette palette = box->palette();
            palette.setColor(QPalette::Base, Qt::white);
            box->setPalette(palette);
            control = box;
            break;
        }
        case Kind::CheckBox: {
            auto* box = new QCheckBox(caption, parent);
            setBackground(box, Qt::white);
            control = box;
            break;
        }
        case Kind::List: {
            auto* list = new ImageListView(parent);
            list->setToolTip(listTooltip);
            control = list;
            break;
        }
        case Kind::ProgressBar: {
            auto* bar = new TextProgressBar(parent);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(true);
            bar->setAlignment(Qt::AlignCenter);
            bar->setDisplayText(caption);
            control = bar;
            break;
        }
        }
        control->setObjectName(QString(row.name));
        control->setGeometry(twips(row.left), twips(row.top), twips(row.width), twips(row.height));
        byName.insert(control->objectName(), control);
        tabOrder.emplace_back(row.tab, control);

        // Every control answers mouse moves itself, so a move over a control never reaches the
        // frame or window around it.
        control->setAttribute(Qt::WA_NoMousePropagation);
        m_hover.insert(control, row.hover);
        if (row.hover != HoverRule::Unchanged) {
            control->setMouseTracking(true);
            control->installEventFilter(this);
        }
    }

    const auto find = [&byName](const char* name) { return byName.value(QString::fromLatin1(name)); };
    ui.PushButton1 = qobject_cast<QPushButton*>(find("PushButton1"));
    ui.PushButton2 = qobject_cast<QPushButton*>(find("PushButton2"));
    ui.PushButton3 = qobject_cast<QPushButton*>(find("PushButton3"));
    ui.PushButton4 = qobject_cast<QPushButton*>(find("PushButton4"));
    ui.PushButton5 = qobject_cast<QPushButton*>(find("PushButton5"));
    ui.PushButton6 = qobject_cast<QPushButton*>(find("PushButton6"));
    ui.PushButton7 = qobject_cast<QPushButton*>(find("PushButton7"));
    ui.PushButton8 = qobject_cast<QPushButton*>(find("PushButton8"));
    ui.PushButton9 = qobject_cast<QPushButton*>(find("PushButton9"));
    ui.PushButton10 = qobject_cast<QPushButton*>(find("PushButton10"));
    ui.Frame1 = qobject_cast<QGroupBox*>(find("Frame1"));
    ui.Frame2 = qobject_cast<QGroupBox*>(find("Frame2"));
    ui.Frame3 = qobject_cast<QGroupBox*>(find("Frame3"));
    ui.Check1 = qobject_cast<QCheckBox*>(find("Check1"));
    ui.Check3 = qobject_cast<QCheckBox*>(find("Check3"));
    ui.Check4 = qobject_cast<QCheckBox*>(find("Check4"));
    ui.Text1 = qobject_cast<QLineEdit*>(find("Text1"));
    ui.Text2 = qobject_cast<QLineEdit*>(find("Text2"));
    ui.txtWebsite = qobject_cast<QLineEdit*>(find("txtWebsite"));
    ui.ListView1 = qobject_cast<ImageListView*>(find("ListView1"));
    ui.ProgressBar1 = qobject_cast<TextProgressBar*>(find("ProgressBar1"));

    // The list's inner parts report moves of their own; they count as the list.
    for (QWidget* part :
         {static_cast<QWidget*>(ui.ListView1->viewport()), static_cast<QWidget*>(ui.ListView1->header()),
          ui.ListView1->header()->viewport()}) {
        part->setMouseTracking(true);
        part->setAttribute(Qt::WA_NoMousePropagation);
        part->installEventFilter(this);
        m_hover.insert(part, HoverRule::Arrow);
    }
    // The window's own background.
    setMouseTracking(true);
    installEventFilter(this);
    m_hover.insert(this, HoverRule::Arrow);

    // Frames and the progress bar take no focus; chaining them would pull their children out of
    // place, so only controls that take focus go into the chain.
    std::erase_if(tabOrder, [](const auto& entry) { return entry.second->focusPolicy() == Qt::NoFocus; });
    std::stable_sort(tabOrder.begin(), tabOrder.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);
    ui.ListView1->setFocus();

    ui.Text2->installEventFilter(this);
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
            QString reason;
            const std::optional<CursorImage> hand = readCursorFile(cursorPath, &reason);
            if (!hand)
                throw StepFailure(reason);
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
    Form_Unload();
    event->accept();
}

void Form1::Form_Unload() {
    // Nothing is saved here: every setting was saved when it changed.
    if (m_runActive)
        Cancellation::request();
}

// ---- The hover rule and focus ----

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        const auto hover = m_hover.constFind(watched);
        if (hover != m_hover.cend())
            MouseMove(*hover);
    } else if (event->type() == QEvent::FocusIn && watched == ui.Text2) {
        Text2_GotFocus();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::MouseMove(HoverRule hover) {
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

void Form1::PushButton5_Click() {
    runExclusively([this] {
        net::CurlTransferFactory network;
        ListingJob job(*this, m_discovery, &network);
        job.PushButton5_Click();
    });
}

void Form1::PushButton6_Click() {
    // The run tests and sets the window's one busy flag itself, so a click during a listing or
    // another download is ignored there.
    net::CurlTransferFactory network;
    DownloadRun run(*this, &network);
    run.setRefererPage(m_discovery.PageAddress);
    run.PushButton6_Click();
}

void Form1::PushButton7_Click() {
    CheckAllEntries(imageList(), messages());
}
void Form1::PushButton8_Click() {
    UncheckAllEntries(imageList(), messages());
}

void Form1::PushButton9_Click() {
    ErrorTrap trap(messages(), trapTags::pushButton9);
    trap.step(100, [&] { messages().show(helpText::aboutProgram()); });
}

void Form1::PushButton10_Click() {
    ClearList(imageList(), m_pointer, messages());
}

bool Form1::runExclusively(const std::function<void()>& work) {
    // Both runs yield to the event loop, so a second click can arrive mid-run; it is ignored.
    if (m_runActive)
        return false;
    m_runActive = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m_runActive};
    work();
    return true;
}

// ---- What the runs see ----

ImageList& Form1::imageList() {
    return ui.ListView1->list();
}
ProgressDisplay& Form1::progress() {
    return *m_progress;
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
    return m_store->read(Setting::FindMode) == QLatin1StringView("browser") ? FindMode::Browser
                                                                            : FindMode::Classic;
}

QString Form1::folderText() const {
    return ui.Text2->text();
}
