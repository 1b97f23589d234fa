#pragma once

#include "core/StoredImageList.h"

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>

#include <vector>

// What the last download run made of an entry; shown as a small mark in front of its link.
// SavedNotImage: saved, but the body is an HTML page rather than a picture (an amber mark).
enum class EntryOutcome { None, Saved, Failed, Skipped, SavedNotImage };

// What the window keeps of an entry beside its text and tick.
struct EntryMark {
    EntryOutcome outcome = EntryOutcome::None;
    QString note; // the words of the mark's tooltip (a failure's reason)
};

// The found image links as a checkable one-column model. Runs add entries one at a time, often
// tens of thousands in a row, and let the event loop run in between. Each announcement of new
// rows makes the view lay out every row again, so the model buffers new entries and announces
// them in batches at most a few times a second; every ImageList operation sees the buffered
// entries at once.
class ImageListModel : public QAbstractListModel, public StoredImageList<EntryMark> {
    Q_OBJECT
public:
    explicit ImageListModel(QObject* parent = nullptr);

    // ImageList: what the stored entries do, announced to the views.
    void clear() override;
    int add(const QByteArray& text) override;
    void setTicked(int entry, bool ticked) override;
    void scrollTo(int entry) override;

    // The outcome mark of an entry and the words its tooltip gives (a failure's reason).
    void setOutcome(int entry, EntryOutcome outcome, const QString& note = {});
    EntryOutcome outcome(int entry) const { return at(entry).extra.outcome; }
    QString outcomeNote(int entry) const { return at(entry).extra.note; }
    void clearOutcomes();
    bool anyFailed() const;

    void setHeader(const QString& header);
    // Announces buffered entries to the views now rather than with the next batch.
    void flush();
    // The least time between two batches.
    static constexpr int batchIntervalMs = 50;

    // QAbstractItemModel
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    // After a flush: the row that the last scrollTo asked for.
    void scrollRequested(int row);

private:
    void scheduleFlush();

    // Entries 1 .. m_shown are known to the views; later ones wait for the next flush.
    int m_shown = 0;
    int m_scrollTarget = 0;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
    QString m_header;
};

// The list control: one column headed by the model's header, a check box in front of every
// entry, no editing, and a double-click that does nothing.
class ImageListView : public QTreeView {
    Q_OBJECT
public:
    explicit ImageListView(QWidget* parent = nullptr);

    ImageListModel& list() { return *m_model; }
    // The entry the user is on (numbered from 1); 0 when none.
    int currentEntry() const;
    // The entry under a point of the viewport; 0 when none.
    int entryAt(const QPoint& point) const;

    // Adds the one column with its header text.
    void addColumn(const QString& header);

signals:
    void currentEntryChanged(int entry);

private:
    ImageListModel* m_model;
};
