#include "shell/Form1Layout.h"
#include "shell/Form1.h"
#include "shell/ImageListView.h"
#include "shell/ProgressBarDisplay.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHash>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <vector>

namespace layout {

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

} // namespace layout

namespace {

using namespace layout;

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

const QString listTooltip = QStringLiteral(
    "Double-click item to remove it. Move | line to right and out of window to reveal full names.");

} // namespace

void Form1::buildControls() {
    QHash<QString, QWidget*> byName;
    std::vector<std::pair<int, QWidget*>> tabOrder;
    for (const ControlRow& row : controlTable) {
        QWidget* parent = row.container.isEmpty() ? m_client : byName.value(QString(row.container));
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
    // The window's own background, below the menu bar.
    m_client->setMouseTracking(true);
    m_client->installEventFilter(this);
    m_hover.insert(m_client, HoverRule::Arrow);

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
