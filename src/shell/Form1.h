#pragma once

#include "core/Ui.h"
#include "discovery/DiscoveryState.h"
#include "discovery/ListingHost.h"
#include "download/DownloadHost.h"
#include "shell/WindowPointer.h"

#include <QHash>
#include <QWidget>

#include <functional>
#include <memory>

class ImageListView;
class ProgressBarDisplay;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class TextProgressBar;
class QUrl;
class SettingsStore;

// What the window asks of the world outside it. Each has a real default; tests replace them all, so
// that no test pings, starts a browser, opens a dialog or shows a real message box.
struct Form1Seams {
    // Null: real message boxes.
    MessageBoxes* messages = nullptr;
    std::function<void(MessageBoxes&)> checkOnline;
    // The draw of the home-page visit: a whole number from 1 to 100.
    std::function<int()> drawOneToHundred;
    std::function<void(const QUrl&)> openBrowser;
    // The folder chooser: the picked folder, or empty when the user cancels.
    std::function<QString(QWidget* parent, const QString& prompt, const QString& initialFolder)> chooseFolder;
    // The platform's desktop folder; empty when it has none.
    std::function<QString()> desktopLocation;
    // Where the hand cursor and the skin are looked for; empty: the executable's folder.
    QString programFolder;
};

// What a mouse move over a control does to the window's pointer.
enum class HoverRule { Hand, Arrow, Unchanged };

// The main window: every control in its fixed layout, the start-up that restores the user's last
// choices, the hover rule of the mouse pointer, and the click handlers of its buttons. Controls
// carry their design names as object names (PushButton1 ... PushButton10, Check1, txtWebsite, ...).
class Form1 : public QWidget, public ListingHost, public DownloadHost {
    Q_OBJECT
public:
    explicit Form1(Form1Seams seams = {});
    ~Form1() override;

    // The start-up sequence; runs before the window is first shown.
    void Form_Load();
    // The window is going away: a run in progress is told to stop at once.
    void Form_Unload();

    // ListingHost and DownloadHost
    ImageList& imageList() override;
    MessageBoxes& messages() override { return *m_boxes; }
    MousePointer& pointer() override { return m_pointer; }
    bool filterTicked(FilterBox box) const override;
    QString customFilterText() const override;
    QString addressText() const override;
    QString folderText() const override;
    FindMode findMode() const override;

    ProgressDisplay& progress() override;
    bool& DownloadBusy() override { return m_runActive; }
    SettingsStore& settings() { return *m_store; }
    DiscoveryState& discovery() { return m_discovery; }

    // One flag for the listing and the download run: a start while either is active is ignored.
    bool runActive() const { return m_runActive; }
    // Runs work as the window's one active run; false, without running it, while another is active.
    bool runExclusively(const std::function<void()>& work);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void connectHandlers();
    QString programFolder() const;

    void SetAppTitle();
    void ApplySkin();
    void VisitHomePage();

    void PushButton1_Click();
    void PushButton2_Click();
    void PushButton3_Click();
    void PushButton4_Click();
    void PushButton5_Click();
    void PushButton6_Click();
    void PushButton7_Click();
    void PushButton8_Click();
    void PushButton9_Click();
    void PushButton10_Click();
    void Check1_Click();
    void Check3_Click();
    void Check4_Click();
    void txtWebsite_Change();
    void Text1_Change();
    void Text2_Change();
    void Text2_GotFocus();
    void MouseMove(HoverRule hover);

    struct Controls {
        QPushButton* PushButton1 = nullptr;
        QPushButton* PushButton2 = nullptr;
        QPushButton* PushButton3 = nullptr;
        QPushButton* PushButton4 = nullptr;
        QPushButton* PushButton5 = nullptr;
        QPushButton* PushButton6 = nullptr;
        QPushButton* PushButton7 = nullptr;
        QPushButton* PushButton8 = nullptr;
        QPushButton* PushButton9 = nullptr;
        QPushButton* PushButton10 = nullptr;
        QGroupBox* Frame1 = nullptr;
        QGroupBox* Frame2 = nullptr;
        QGroupBox* Frame3 = nullptr;
        QCheckBox* Check1 = nullptr;
        QCheckBox* Check3 = nullptr;
        QCheckBox* Check4 = nullptr;
        QLineEdit* Text1 = nullptr;
        QLineEdit* Text2 = nullptr;
        QLineEdit* txtWebsite = nullptr;
        ImageListView* ListView1 = nullptr;
        TextProgressBar* ProgressBar1 = nullptr;
    } ui;

    Form1Seams m_seams;
    std::unique_ptr<MessageBoxes> m_ownBoxes;
    MessageBoxes* m_boxes = nullptr;
    WindowPointer m_pointer;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<ProgressBarDisplay> m_progress;
    DiscoveryState m_discovery;
    // The hover rule's entry for each widget that reports mouse moves.
    QHash<const QObject*, HoverRule> m_hover;
    bool m_runActive = false;
    bool m_centred = false;
};
