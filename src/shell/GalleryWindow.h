#pragma once

#include "net/RunSetup.h"
#include "shell/GalleryModel.h"
#include "shell/SettingsStore.h"

#include <QHash>
#include <QListView>
#include <QObject>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class ImageListModel;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSpinBox;
class ThumbnailLoader;
struct Thumbnail;

// The options and Referer the gallery's fetches go with, asked afresh for each new listing.
struct GalleryRun {
    net::RunOptions options;
    QByteArray referer;
    QByteArray page;
    QHash<QByteArray, QByteArray> followedFrom; // links of followed pages -> their page
};

// Where the gallery's thumbnails come from: the thumbnail loader, or a test's own.
class ThumbnailSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // The Referer is sent with each fetch (empty: none); the page is the one host the run's
    // credential lines may go to.
    virtual void setRun(const GalleryRun& run) = 0;
    // The links on show now, most wanted first.
    virtual void want(const QList<QByteArray>& links) = 0;
    virtual const Thumbnail* known(const QByteArray& link) const = 0;
    virtual void clear() = 0;

signals:
    void ready(const Thumbnail& thumbnail);
};

// The real source: the window's one ThumbnailLoader, which the preview reads too.
class LoaderThumbnails : public ThumbnailSource {
    Q_OBJECT
public:
    LoaderThumbnails(ThumbnailLoader& loader, QObject* parent = nullptr);
    void setRun(const GalleryRun& run) override;
    void want(const QList<QByteArray>& links) override;
    const Thumbnail* known(const QByteArray& link) const override;
    void clear() override;

private:
    ThumbnailLoader* m_loader;
};

// The grid: Space ticks, Return asks for the preview.
class GalleryView : public QListView {
    Q_OBJECT
public:
    explicit GalleryView(QWidget* parent);

signals:
    void toggleRequested();
    void previewRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// The companion window of View > Gallery: the window's list as a grid of thumbnails over the same
// model, so a tick given here is the list's tick, with a filter bar that hides and unticks what
// falls outside it and a choice of sort order. Only the entries on show (and a screenful ahead)
// are asked of the thumbnail source.
class GalleryWindow : public QWidget {
    Q_OBJECT
public:
    GalleryWindow(QWidget* parent, ImageListModel& list, SettingsStore& store,
                  std::unique_ptr<ThumbnailSource> thumbnails, std::function<GalleryRun()> run);
    ~GalleryWindow() override;

    // Shows the window at its stored place, or beside the main window's frame when it has none or
    // it would not lie wholly on a screen.
    void showBeside(const QRect& mainFrame, const QMargins& frameMargins, const QRect& available);
    // A new listing may have changed the Referer and the options: the next fetches use them.
    void refreshRun();

    GalleryModel& model() { return *m_model; }
    GalleryView* view() const { return m_view; }
    ThumbnailSource& thumbnails() { return *m_thumbnails; }
    // "showing X of Y, Z ticked"
    QString countText() const;
    // Where a cell's tick is drawn, in the grid's viewport.
    QRect tickRect(const QModelIndex& index) const;
    // The entry (numbered from 1) of a row of the grid; 0 for none.
    int entryOf(const QModelIndex& index) const;
    // Ticks or unticks the selected entries, or the current one when none is selected.
    void tickSelected(bool ticked);
    // Space: the selection's ticks all go one way, the way the first unticked one asks.
    void toggleSelected();
    // The links last asked of the source, most wanted first.
    QList<QByteArray> wanted() const { return m_wanted; }
    // Runs what the timers would run later now: the filter, the count, the wanted links.
    void settle();

signals:
    void previewRequested(int entry);
    void currentEntryChanged(int entry);
    void hidden();

protected:
    void hideEvent(QHideEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildFilterBar();
    void restoreSettings();
    void filterEdited();
    // store: the bar's values are stored where they differ from the settings.
    void applyFilter(bool store = true);
    void storeChanged();
    // The filter bar's values as the settings hold them.
    QList<std::pair<Setting, QString>> barValues() const;
    void sortChosen();
    void thumbnailReady(const Thumbnail& thumbnail);
    void askForVisible();
    void updateCount();
    void showContextMenu(const QPoint& at);
    void listReset();
    void rowsListed(int first, int last);
    QList<QModelIndex> selectedOrCurrent() const;

    ImageListModel& m_list;
    SettingsStore& m_store;
    std::unique_ptr<ThumbnailSource> m_thumbnails;
    std::function<GalleryRun()> m_run;
    GalleryModel* m_model;
    GalleryView* m_view;
    QSpinBox* m_minWidth = nullptr;
    QSpinBox* m_minHeight = nullptr;
    QLineEdit* m_minSize = nullptr;
    QComboBox* m_type = nullptr;
    QLineEdit* m_pattern = nullptr;
    QComboBox* m_sort = nullptr;
    QLabel* m_count = nullptr;
    QLabel* m_problem = nullptr;
    QMenu* m_menu = nullptr;
    // Each bundles a burst of changes into one pass.
    QTimer m_filterTimer;
    QTimer m_refreshTimer;
    QTimer m_visibleTimer;
    QTimer m_countTimer;
    QList<QByteArray> m_wanted;
    bool m_runSet = false;
    // The bar's values as last read or stored, each written again only once it differs.
    QHash<Setting, QString> m_restored;
    // Where the window was put when shown; a different one at its close is the user's and stored.
    QRect m_placed;
};
