#include "shell/ImageListView.h"

#include "core/ErrorTrap.h"

#include <QHeaderView>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

ImageListModel::ImageListModel(QObject* parent) : QAbstractListModel(parent) {
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &ImageListModel::flush);
}

void ImageListModel::clear() {
    beginResetModel();
    removeAll();
    m_shown = 0;
    m_scrollTarget = 0;
    endResetModel();
}

int ImageListModel::add(const QByteArray& text) {
    const int entry = append(text);
    scheduleFlush();
    return entry;
}

void ImageListModel::setTicked(int entry, bool ticked) {
    Entry& target = at(entry);
    if (target.ticked == ticked)
        return;
    target.ticked = ticked;
    if (entry <= m_shown) {
        const QModelIndex changed = index(entry - 1);
        emit dataChanged(changed, changed, {Qt::CheckStateRole});
    }
}

void ImageListModel::scrollTo(int entry) {
    at(entry);
    m_scrollTarget = entry;
    scheduleFlush();
}

void ImageListModel::setHeader(const QString& header) {
    m_header = header;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void ImageListModel::scheduleFlush() {
    if (m_flushTimer.isActive())
        return;
    // The first entry after a pause shows at the next turn of the event loop; a steady stream
    // shows in batches.
    const qint64 since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : batchIntervalMs;
    m_flushTimer.start(int(std::clamp<qint64>(batchIntervalMs - since, 0, batchIntervalMs)));
}

void ImageListModel::flush() {
    m_flushTimer.stop();
    m_sinceFlush.start();
    if (count() > m_shown) {
        beginInsertRows({}, m_shown, count() - 1);
        m_shown = count();
        endInsertRows();
    }
    // Only the last request matters: the view scrolls once per batch.
    if (m_scrollTarget > 0 && m_scrollTarget <= m_shown) {
        const int row = m_scrollTarget - 1;
        m_scrollTarget = 0;
        emit scrollRequested(row);
    }
}

void ImageListModel::setOutcome(int entry, EntryOutcome outcome, const QString& note) {
    at(entry).extra = {outcome, note};
    if (entry <= m_shown) {
        const QModelIndex changed = index(entry - 1);
        emit dataChanged(changed, changed, {Qt::DecorationRole, Qt::ToolTipRole});
    }
}

void ImageListModel::clearOutcomes() {
    bool any = false;
    for (Entry& entry : entries()) {
        any = any || entry.extra.outcome != EntryOutcome::None;
        entry.extra = {};
    }
    if (any && m_shown > 0)
        emit dataChanged(index(0), index(m_shown - 1), {Qt::DecorationRole, Qt::ToolTipRole});
}

bool ImageListModel::anyFailed() const {
    return std::any_of(entries().begin(), entries().end(),
                       [](const Entry& entry) { return entry.extra.outcome == EntryOutcome::Failed; });
}

namespace {

// A filled dot, drawn rather than loaded so the mark needs no theme.
QIcon outcomeMark(EntryOutcome outcome) {
    static const auto draw = [](const QColor& colour) {
        QPixmap pixmap(10, 10);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(colour.darker(140));
        painter.setBrush(colour);
        painter.drawEllipse(QRectF(1, 1, 8, 8));
        return QIcon(pixmap);
    };
    static const QIcon saved = draw(QColor(0x2e, 0xa0, 0x43));
    static const QIcon failed = draw(QColor(0xd0, 0x30, 0x30));
    static const QIcon skipped = draw(QColor(0x9a, 0x9a, 0x9a));
    static const QIcon notImage = draw(QColor(0xf0, 0xa8, 0x20));
    switch (outcome) {
    case EntryOutcome::Saved:
        return saved;
    case EntryOutcome::SavedNotImage:
        return notImage;
    case EntryOutcome::Failed:
        return failed;
    case EntryOutcome::Skipped:
        return skipped;
    case EntryOutcome::None:
        break;
    }
    return {};
}

} // namespace

int ImageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_shown;
}

QVariant ImageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_shown || index.column() != 0)
        return {};
    const Entry& entry = entries()[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromUtf8(entry.text);
    case Qt::CheckStateRole:
        return entry.ticked ? Qt::Checked : Qt::Unchecked;
    case Qt::DecorationRole:
        if (entry.extra.outcome == EntryOutcome::None)
            return {};
        return outcomeMark(entry.extra.outcome);
    case Qt::ToolTipRole:
        // Unmarked entries have none, so the list's own help text shows over them.
        if (entry.extra.outcome == EntryOutcome::None)
            return {};
        return entry.extra.note;
    default:
        return {};
    }
}

bool ImageListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.row() >= m_shown || role != Qt::CheckStateRole)
        return false;
    setTicked(index.row() + 1, value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags ImageListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

QVariant ImageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_header;
    return {};
}

ImageListView::ImageListView(QWidget* parent) : QTreeView(parent), m_model(new ImageListModel(this)) {
    setModel(m_model);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    // Every row has the same height, which keeps layout and scrolling cheap for long lists.
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    // The user widens the column by dragging its edge to see long links in full.
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    connect(m_model, &ImageListModel::scrollRequested, this,
            [this](int row) { QTreeView::scrollTo(m_model->index(row), QAbstractItemView::EnsureVisible); });
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        emit currentEntryChanged(current.isValid() ? current.row() + 1 : 0);
    });
    // A reset drops the current row without a signal of its own.
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { emit currentEntryChanged(0); });
}

int ImageListView::currentEntry() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() + 1 : 0;
}

int ImageListView::entryAt(const QPoint& point) const {
    const QModelIndex at = indexAt(point);
    return at.isValid() ? at.row() + 1 : 0;
}

void ImageListView::addColumn(const QString& header) {
    m_model->setHeader(header);
}
