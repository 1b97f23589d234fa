#pragma once

#include "core/Ui.h"
#include "discovery/DiscoveryState.h"
#include "discovery/ListingHost.h"
#include "download/DownloadHost.h"
#include "download/DownloadOptions.h"
#include "shell/RunState.h"
#include "shell/SettingsStore.h"
#include "shell/WindowPointer.h"

#include <QHash>
#include <QWidget>

#include <functional>
#include <memory>

class DownloadUnderWay;
class ListingUnderWay;
enum class ListingOutcome;
enum class DownloadOutcome;
class GalleryWindow;
class ImageListView;
class PreviewWindow;
class ThumbnailLoader;
class ThumbnailSource;
class ProgressBarDisplay;
class QAction;
class QActionGroup;
class QMenu;
class QMenuBar;
class QMimeData;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class TextProgressBar;
class QUrl;
namespace net {
class HeldCookies;
}

// What the window asks of the world outside it. Each has a real default; tests replace them all, so
// that no test pings, starts a browser, opens a dialog or shows a real message box.
struct Form1Seams {
    // Null: real message boxes.
    MessageBoxes* messages = nullptr;
    std::function<void(MessageBoxes&)> checkOnline;
    // The draw of the home-page visit: a whole number from 1 to 100.
    std::function<int()> drawOneToHundred;
    // False when no program took the address.
    std::function<bool(const QUrl&)> openBrowser;
    // The folder chooser: the picked folder, or empty when the user cancels.
    std::function<QString(QWidget* parent, const QString& prompt, const QString& initialFolder)> chooseFolder;
    // The platform's desktop folder; empty when it has none.
    std::function<QString()> desktopLocation;
    // Where a first start looks when the desktop folder does not exist: the user's pictures
    // folder, then the home folder.
    std::function<QString()> picturesLocation;
    std::function<QString()> homeLocation;
    // Where the hand cursor and the skin are looked for; empty: the executable's folder.
    QString programFolder;
    // The system's file manager on a folder; false when none took it.
    std::function<bool(const QString& folder)> openFolder;
    // The file dialogs of Save List As and Open Link List: the chosen path, or empty on cancel.
    // Save List As offers the suggested path first.
    std::function<QString(QWidget* parent, const QString& caption, const QString& suggested)> chooseSaveFile;
    std::function<QString(QWidget* parent, const QString& caption)> chooseOpenFile;
    std::function<void(const QString& text)> copyToClipboard;
    // Where View > Gallery gets its thumbnails; null: the thumbnail loader.
    std::function<std::unique_ptr<ThumbnailSource>()> thumbnails;
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
    FollowMode followMode() const override;
    bool largestSizesOnly() const override;
    void renderingProgress(const QString& text) override;

    ProgressDisplay& progress() override;
    bool& DownloadBusy() override { return m_run.busyFlag(); }
    void entryStarted(int entry, int ordinal, const QByteArray& link) override;
    void entryFinished(int entry, const QByteArray& link, const QString& path,
                       const DownloadResult& result) override;
    SettingsStore& settings() { return *m_store; }
    DiscoveryState& discovery() { return m_discovery; }

    // The listing and the download run: a start while either is active is ignored.
    const RunState& runState() const { return m_run; }
    bool runActive() const { return m_run.active(); }
    // Runs work as the window's listing run; false, without running it, while another is active.
    bool runExclusively(const std::function<void()>& work);

    // The area below the menu bar that holds every control; 536 x 514 at 96 dots per inch.
    QWidget* clientArea() const { return m_client; }
    QMenuBar* menuBar() const { return m_menuBar; }
    // The menu action with that object name (e.g. "actionPreview"), for the tests and the menus.
    QAction* action(const QString& name) const;
    PreviewWindow* preview() const { return m_preview; }
    // The thumbnails of the listed images, made on first use: the gallery shows them, the preview
    // reads what they tell while its own fetch is on the way.
    ThumbnailLoader& thumbnails();
    GalleryWindow* gallery() const { return m_gallery; }

    // Edit > Tick Failed Only: ticks the entries the last run failed and unticks the rest.
    void tickFailedOnly();
    // Links dropped on the list: added at the end, ticked, each at most once. Returns how many.
    int addDroppedLinks(const QList<QByteArray>& links);
    // File > Save List As: the links, one a line; false, with a message, when it was not saved.
    bool saveLinkList(const QString& path, bool tickedOnly);
    // File > Open Link List: fills the list from a text file of links.
    bool openLinkList(const QString& path);
    // The entry the list's context menu or the Edit menu acts on; 0 when none.
    int currentEntry() const;
    // File > Stop: the active run ends at once, keeping what it listed or saved.
    void stopRun();
    // The name Save List As offers: links.txt in the destination folder.
    QString suggestedListPath() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildControls();
    void buildMenus();
    void connectHandlers();
    void syncMenus();
    void showListMenu(const QPoint& at);
    void showPreview(bool shown);
    void previewCurrentEntry();
    void showGallery(bool shown);
    // The gallery's current entry becomes the list's; asked, the preview opens on it.
    void followGallery(int entry, bool preview);
    void openCurrentInBrowser();
    void openDestinationFolder();
    // A change of the address box by the user: text entered in one piece is trimmed.
    void addressEdited(const QString& text);
    // After a run that was stopped: the run is over, so the next one may start.
    bool endStop();
    // The download run's end, told by the run itself.
    void downloadEnded(DownloadOutcome outcome);
    void listingEnded(ListingOutcome outcome);
    void copyCurrentLink();
    void saveListAs(bool tickedOnly);
    void openLinkListFromDialog();
    void showAbout();
    bool dropOnAddress(const QMimeData* data);
    // Drags over the address box and the list; true when the event was taken.
    bool dropFilter(QObject* watched, QEvent* event);
    // One exclusive group of menu items for a setting, each item storing its value when chosen.
    void addChoices(QMenu* menu, Setting setting, const QList<std::pair<QString, QString>>& items,
                    const QString& namePrefix);
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
    void pointerMoved(HoverRule hover);

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

    QWidget* m_client = nullptr;
    QMenuBar* m_menuBar = nullptr;
    QMenu* m_listMenu = nullptr;
    QAction* m_stop = nullptr;
    PreviewWindow* m_preview = nullptr;
    ThumbnailLoader* m_thumbnails = nullptr;
    GalleryWindow* m_gallery = nullptr;
    // The cookies a rendered listing ended with, kept for the gallery's fetches, and their lines.
    std::unique_ptr<net::HeldCookies> m_galleryCookies;
    QByteArray m_galleryCookieLines;
    Form1Seams m_seams;
    std::unique_ptr<MessageBoxes> m_ownBoxes;
    MessageBoxes* m_boxes = nullptr;
    WindowPointer m_pointer;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<ProgressBarDisplay> m_progress;
    DiscoveryState m_discovery;
    // The hover rule's entry for each widget that reports mouse moves.
    QHash<const QObject*, HoverRule> m_hover;
    RunState m_run;
    // The download run under way and what it needs until its end; one that has just ended, until
    // its report has returned.
    std::unique_ptr<DownloadUnderWay> m_download;
    std::unique_ptr<DownloadUnderWay> m_downloadEnded;
    // The same for a listing.
    std::unique_ptr<ListingUnderWay> m_listing;
    std::unique_ptr<ListingUnderWay> m_listingEnded;
    bool m_centred = false;
    // File > Stop was chosen during the active run; the window is closing.
    bool m_stopping = false;
    bool m_closing = false;
    // The address box's text now and before its last change.
    QString m_addressNow;
    QString m_addressBefore;
};
