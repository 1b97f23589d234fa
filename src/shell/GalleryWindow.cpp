#include "shell/GalleryWindow.h"

#include "shell/ImageListView.h"
#include "shell/PreviewWindow.h"
#include "shell/SettingsStore.h"
#include "shell/ThumbnailLoader.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

// ---- The real source ----

LoaderThumbnails::LoaderThumbnails(ThumbnailLoader& loader, QObject* parent)
    : ThumbnailSource(parent), m_loader(&loader) {
    connect(m_loader, &ThumbnailLoader::ready, this, &ThumbnailSource::ready);
}

void LoaderThumbnails::setRun(const GalleryRun& run) {
    m_loader->setRun(run.options, run.referer, run.page, run.followedFrom);
}

void LoaderThumbnails::want(const QList<QByteArray>& links) {
    m_loader->want(links);
}

const Thumbnail* LoaderThumbnails::known(const QByteArray& link) const {
    return m_loader->known(link);
}

void LoaderThumbnails::clear() {
    m_loader->clear();
}

namespace {

// The cell: the thumbnail's square, then two lines of text under it.
constexpr int cellPadding = 6;
constexpr int textGap = 4;

int lineHeight(const QFontMetrics& metrics) {
    return metrics.height() + 2;
}

QSize cellSize(const QFontMetrics& metrics) {
    return {thumbnails::edge + 2 * cellPadding,
            thumbnails::edge + 2 * cellPadding + textGap + 2 * lineHeight(metrics)};
}

QString sizeText(qint64 bytes) {
    if (bytes < 0)
        return {};
    return QLocale::system().formattedDataSize(bytes, bytes < 1024 ? 0 : 1,
                                               QLocale::DataSizeTraditionalFormat);
}

QString dimensionsText(const QSize& pixels) {
    if (!pixels.isValid())
        return {};
    return QStringLiteral("%1 x %2").arg(pixels.width()).arg(pixels.height());
}

// Draws each entry of the grid from what the source and the gallery know of its link.
class GalleryDelegate : public QStyledItemDelegate {
public:
    GalleryDelegate(GalleryModel& model, ThumbnailSource& source, QObject* parent)
        : QStyledItemDelegate(parent), m_model(model), m_source(source) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        return cellSize(option.fontMetrics);
    }

    // Where the tick sits within a cell.
    static QRect checkRect(const QStyleOptionViewItem& option, const QWidget* widget) {
        const QStyle* style = widget ? widget->style() : QApplication::style();
        const int side = style->pixelMetric(QStyle::PM_IndicatorWidth, &option, widget);
        const QRect line = textLine(option, 0);
        return {line.left(), line.top() + (line.height() - side) / 2, side, side};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& given,
               const QModelIndex& index) const override {
        QStyleOptionViewItem option = given;
        initStyleOption(&option, index);
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        painter->save();
        // The selection and hover background, as the style draws it.
        option.text.clear();
        option.features &= ~QStyleOptionViewItem::HasCheckIndicator;
        option.showDecorationSelected = true;
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &option, painter, widget);

        const QByteArray link = m_model.linkAt(index);
        const Thumbnail* thumbnail = m_source.known(link);
        const GalleryFacts* facts = m_model.facts(link);
        const QRect box = pictureBox(option.rect);
        if (thumbnail && !thumbnail->image.isNull()) {
            QImage image = thumbnail->image;
            if (image.width() > box.width() || image.height() > box.height())
                image = image.scaled(box.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
            const QRect at(QPoint(box.left() + (box.width() - image.width()) / 2,
                                  box.top() + (box.height() - image.height()) / 2),
                           image.size());
            painter->drawImage(at, image);
        } else {
            // No picture (yet): a quiet tile with the reason, or that it is on its way.
            painter->setRenderHint(QPainter::Antialiasing);
            QPainterPath tile;
            tile.addRoundedRect(QRectF(box).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
            const QPalette& palette = option.palette;
            painter->fillPath(tile, palette.color(QPalette::AlternateBase).darker(104));
            painter->setPen(palette.color(QPalette::Mid));
            painter->drawPath(tile);
            QString words = QStringLiteral("Loading...");
            if (thumbnail && !thumbnail->message.isEmpty())
                words = thumbnail->message;
            else if (thumbnail)
                words = QStringLiteral("No picture");
            QFont small = option.font;
            small.setPointSizeF(small.pointSizeF() * 0.9);
            painter->setFont(small);
            painter->setPen(palette.color(QPalette::PlaceholderText));
            painter->drawText(box.adjusted(10, 10, -10, -10), Qt::AlignCenter | Qt::TextWordWrap, words);
            painter->setFont(option.font);
        }

        // The last download's mark (saved, failed, skipped) in the picture's corner.
        if (const QIcon mark = index.data(Qt::DecorationRole).value<QIcon>(); !mark.isNull())
            mark.paint(painter, QRect(box.right() - 14, box.top() + 4, 10, 10));

        // The tick, then the dimensions and the size on one line, the name under them.
        QStyleOptionViewItem check = option;
        check.rect = checkRect(option, widget);
        check.state = check.state & ~QStyle::State_HasFocus;
        check.state |=
            index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
        style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, widget);

        const bool selected = option.state & QStyle::State_Selected;
        const QColor text = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        QColor quiet = text;
        quiet.setAlphaF(0.65f);
        const QRect first = textLine(option, 0).adjusted(check.rect.width() + 4, 0, 0, 0);
        const QString bytes = sizeText(thumbnail ? thumbnail->bytes : facts ? facts->bytes : -1);
        const QSize pixels = thumbnail ? thumbnail->pixelSize : facts ? facts->pixelSize : QSize();
        painter->setPen(text);
        painter->drawText(first, Qt::AlignLeft | Qt::AlignVCenter, dimensionsText(pixels));
        painter->setPen(quiet);
        painter->drawText(first, Qt::AlignRight | Qt::AlignVCenter, bytes);
        const QRect second = textLine(option, 1);
        const QString name = gallery::nameOfLink(link);
        painter->drawText(second, Qt::AlignHCenter | Qt::AlignVCenter,
                          option.fontMetrics.elidedText(name.isEmpty() ? QString::fromUtf8(link) : name,
                                                        Qt::ElideMiddle, second.width()));
        painter->restore();
    }

    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::MouseButtonRelease && type != QEvent::MouseButtonPress &&
            type != QEvent::MouseButtonDblClick)
            return false;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton ||
            !checkRect(option, option.widget).adjusted(-3, -3, 3, 3).contains(mouse->position().toPoint()))
            return false;
        // A press or double-click on the tick is taken here, so it neither starts a rubber band
        // nor opens the preview; the release toggles it.
        if (type == QEvent::MouseButtonRelease) {
            const bool ticked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
            model->setData(index, ticked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        }
        return true;
    }

private:
    static QRect pictureBox(const QRect& cell) {
        return {cell.left() + (cell.width() - thumbnails::edge) / 2, cell.top() + cellPadding,
                thumbnails::edge, thumbnails::edge};
    }
    static QRect textLine(const QStyleOptionViewItem& option, int line) {
        const QRect box = pictureBox(option.rect);
        const int height = lineHeight(option.fontMetrics);
        return {box.left(), box.bottom() + 1 + textGap + line * height, box.width(), height};
    }

    GalleryModel& m_model;
    ThumbnailSource& m_source;
};

const QString sortNames[] = {QStringLiteral("page"), QStringLiteral("dimensions"), QStringLiteral("size"),
                             QStringLiteral("name")};

GallerySort sortFromName(const QString& name) {
    for (int i = 0; i < 4; ++i)
        if (sortNames[i] == name)
            return GallerySort(i);
    return GallerySort::PageOrder;
}

QString geometryText(const QRect& rect) {
    return QStringLiteral("%1,%2,%3,%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
}

std::optional<QRect> geometryFromText(const QString& text) {
    const QStringList parts = text.split(u',');
    if (parts.size() != 4)
        return std::nullopt;
    int values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return std::nullopt;
    }
    if (values[2] < 200 || values[3] < 150 || values[2] > 20000 || values[3] > 20000)
        return std::nullopt;
    return QRect(values[0], values[1], values[2], values[3]);
}

} // namespace

// ---- The grid ----

GalleryView::GalleryView(QWidget* parent) : QListView(parent) {}

void GalleryView::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (event->key() == Qt::Key_Space && modifiers == Qt::NoModifier) {
        emit toggleRequested();
        event->accept();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && modifiers == Qt::NoModifier) {
        emit previewRequested();
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

// ---- The window ----

GalleryWindow::GalleryWindow(QWidget* parent, ImageListModel& list, SettingsStore& store,
                             std::unique_ptr<ThumbnailSource> thumbnails, std::function<GalleryRun()> run)
    : QWidget(parent, Qt::Window), m_list(list), m_store(store), m_thumbnails(std::move(thumbnails)),
      m_run(std::move(run)), m_model(new GalleryModel(list, this)), m_view(new GalleryView(this)) {
    setObjectName(QStringLiteral("GalleryWindow"));
    setWindowTitle(QStringLiteral("Gallery"));

    m_view->setObjectName(QStringLiteral("galleryView"));
    m_view->setViewMode(QListView::IconMode);
    m_view->setMovement(QListView::Static);
    m_view->setFlow(QListView::LeftToRight);
    m_view->setWrapping(true);
    m_view->setResizeMode(QListView::Adjust);
    // Every cell has the same size, which keeps the layout of thousands of entries cheap.
    m_view->setUniformItemSizes(true);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setSelectionRectVisible(true);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_view->setDragEnabled(false);
    m_view->setMouseTracking(true);
    m_view->setModel(m_model);
    m_view->setItemDelegate(new GalleryDelegate(*m_model, *m_thumbnails, m_view));
    const QSize cell = cellSize(m_view->fontMetrics());
    m_view->setGridSize(cell + QSize(8, 8));
    m_view->verticalScrollBar()->setSingleStep(cell.height() / 4);

    buildFilterBar();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    // Two rows, so the window can be made as narrow as two columns of pictures.
    auto* filters = new QHBoxLayout;
    auto* second = new QHBoxLayout;
    const auto labelled = [this](QHBoxLayout* row, const QString& text, QWidget* field) {
        auto* label = new QLabel(text, this);
        label->setBuddy(field);
        row->addWidget(label);
        row->addWidget(field);
        row->addSpacing(8);
    };
    labelled(filters, QStringLiteral("Min &width"), m_minWidth);
    labelled(filters, QStringLiteral("Min &height"), m_minHeight);
    labelled(filters, QStringLiteral("Min si&ze"), m_minSize);
    labelled(filters, QStringLiteral("&Type"), m_type);
    filters->addStretch(1);
    labelled(second, QStringLiteral("&Find"), m_pattern);
    second->setStretchFactor(m_pattern, 1);
    labelled(second, QStringLiteral("&Sort by"), m_sort);
    second->addWidget(m_count);
    layout->addLayout(filters);
    layout->addLayout(second);
    layout->addWidget(m_problem);
    layout->addWidget(m_view, 1);
    resize(4 * m_view->gridSize().width() + 60, 620);

    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("galleryMenu"));
    QAction* tick = m_menu->addAction(QStringLiteral("&Tick Selected"));
    tick->setObjectName(QStringLiteral("actionTickSelected"));
    connect(tick, &QAction::triggered, this, [this] { tickSelected(true); });
    QAction* untick = m_menu->addAction(QStringLiteral("&Untick Selected"));
    untick->setObjectName(QStringLiteral("actionUntickSelected"));
    connect(untick, &QAction::triggered, this, [this] { tickSelected(false); });
    m_menu->addSeparator();
    QAction* preview = m_menu->addAction(QStringLiteral("&Preview"));
    connect(preview, &QAction::triggered, this,
            [this] { emit previewRequested(entryOf(m_view->currentIndex())); });
    m_view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_view, &QWidget::customContextMenuRequested, this, &GalleryWindow::showContextMenu);

    for (QTimer* timer : {&m_filterTimer, &m_refreshTimer, &m_visibleTimer, &m_countTimer})
        timer->setSingleShot(true);
    // Typing in the filter bar filters once the typing pauses.
    m_filterTimer.setInterval(250);
    connect(&m_filterTimer, &QTimer::timeout, this, [this] { applyFilter(); });
    // Thumbnails that move entries arrive in bursts: the grid is re-sorted at most a few times a
    // second rather than under the user's pointer for each one.
    m_refreshTimer.setInterval(300);
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] {
        m_model->refresh();
        updateCount();
        m_visibleTimer.start();
    });
    m_visibleTimer.setInterval(40);
    connect(&m_visibleTimer, &QTimer::timeout, this, &GalleryWindow::askForVisible);
    m_countTimer.setInterval(50);
    connect(&m_countTimer, &QTimer::timeout, this, &GalleryWindow::updateCount);

    connect(m_view, &GalleryView::toggleRequested, this, &GalleryWindow::toggleSelected);
    connect(m_view, &GalleryView::previewRequested, this,
            [this] { emit previewRequested(entryOf(m_view->currentIndex())); });
    connect(m_view, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { emit previewRequested(entryOf(index)); });
    connect(m_view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { emit currentEntryChanged(entryOf(current)); });
    connect(m_view->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { m_visibleTimer.start(); });
    connect(m_thumbnails.get(), &ThumbnailSource::ready, this, &GalleryWindow::thumbnailReady);

    connect(&m_list, &QAbstractItemModel::modelReset, this, &GalleryWindow::listReset);
    connect(&m_list, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { rowsListed(first, last); });
    connect(&m_list, &QAbstractItemModel::dataChanged, this, [this] { m_countTimer.start(); });
    connect(m_model, &QAbstractItemModel::layoutChanged, this, [this] { m_visibleTimer.start(); });
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, [this] { m_visibleTimer.start(); });

    restoreSettings();
    updateCount();
}

GalleryWindow::~GalleryWindow() = default;

void GalleryWindow::buildFilterBar() {
    const auto dimension = [this](const char* name) {
        auto* box = new QSpinBox(this);
        box->setObjectName(QString::fromLatin1(name));
        box->setRange(0, 100000);
        box->setSpecialValueText(QStringLiteral("any"));
        box->setSuffix(QStringLiteral(" px"));
        box->setAccelerated(true);
        box->setToolTip(QStringLiteral("Hides and unticks pictures smaller than this; a picture "
                                       "whose size is not known yet stays until it is."));
        connect(box, &QSpinBox::valueChanged, this, &GalleryWindow::filterEdited);
        return box;
    };
    m_minWidth = dimension("galleryMinWidth");
    m_minHeight = dimension("galleryMinHeight");
    m_minSize = new QLineEdit(this);
    m_minSize->setObjectName(QStringLiteral("galleryMinSize"));
    m_minSize->setPlaceholderText(QStringLiteral("any"));
    m_minSize->setMaximumWidth(80);
    m_minSize->setToolTip(QStringLiteral("The least number of bytes, as 20000, 20k or 1.5M"));
    connect(m_minSize, &QLineEdit::textChanged, this, &GalleryWindow::filterEdited);
    m_type = new QComboBox(this);
    m_type->setObjectName(QStringLiteral("galleryType"));
    for (const gallery::TypeChoice& choice : gallery::typeChoices)
        m_type->addItem(QString(choice.label), QString(choice.name));
    connect(m_type, &QComboBox::currentIndexChanged, this, &GalleryWindow::filterEdited);
    m_pattern = new QLineEdit(this);
    m_pattern->setObjectName(QStringLiteral("galleryPattern"));
    m_pattern->setPlaceholderText(QStringLiteral("text or pattern in the link"));
    m_pattern->setClearButtonEnabled(true);
    m_pattern->setMinimumWidth(140);
    m_pattern->setToolTip(QStringLiteral("Shows the links in which this is found: words as they "
                                         "are, or a regular expression; letter case is ignored"));
    connect(m_pattern, &QLineEdit::textChanged, this, &GalleryWindow::filterEdited);
    m_sort = new QComboBox(this);
    m_sort->setObjectName(QStringLiteral("gallerySort"));
    m_sort->addItems({QStringLiteral("Page order"), QStringLiteral("Dimensions"), QStringLiteral("Size"),
                      QStringLiteral("Name")});
    connect(m_sort, &QComboBox::currentIndexChanged, this, &GalleryWindow::sortChosen);
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("galleryCount"));
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("galleryProblem"));
    m_problem->setStyleSheet(QStringLiteral("color: #b00020;"));
    m_problem->setWordWrap(true);
    m_problem->hide();
}

void GalleryWindow::restoreSettings() {
    const QSignalBlocker blockWidth(m_minWidth), blockHeight(m_minHeight), blockSize(m_minSize),
        blockType(m_type), blockPattern(m_pattern), blockSort(m_sort);
    m_minWidth->setValue(qMax(0, m_store.read(Setting::GalleryMinWidth).trimmed().toInt()));
    m_minHeight->setValue(qMax(0, m_store.read(Setting::GalleryMinHeight).trimmed().toInt()));
    m_minSize->setText(m_store.read(Setting::GalleryMinSize));
    const int type = m_type->findData(m_store.read(Setting::GalleryType).trimmed().toLower());
    m_type->setCurrentIndex(type < 0 ? 0 : type);
    m_pattern->setText(m_store.read(Setting::GalleryPattern));
    const GallerySort sort = sortFromName(m_store.read(Setting::GallerySort).trimmed());
    m_sort->setCurrentIndex(int(sort));
    m_model->setSortOrder(sort);
    // What was read back is not written again.
    for (const auto& [setting, value] : barValues())
        m_restored.insert(setting, value);
    applyFilter(false);
}

void GalleryWindow::filterEdited() {
    m_filterTimer.start();
}

void GalleryWindow::applyFilter(bool store) {
    m_filterTimer.stop();
    GalleryFilter filter;
    filter.minWidth = m_minWidth->value();
    filter.minHeight = m_minHeight->value();
    QStringList problems;
    const std::optional<qint64> minBytes = gallery::parseSize(m_minSize->text());
    if (minBytes)
        filter.minBytes = *minBytes;
    else
        problems << QStringLiteral(
                        "The size \"%1\" is not a number of bytes (such as 20000, 20k or 1.5M); it "
                        "is not applied.")
                        .arg(m_minSize->text().trimmed());
    const QString type = m_type->currentData().toString();
    if (type != QLatin1StringView("all"))
        filter.type = type;
    filter.pattern.setPattern(m_pattern->text());
    const bool patternValid = filter.pattern.isValid();
    if (!patternValid) {
        problems << QStringLiteral("The pattern is not applied: %1 at character %2.")
                        .arg(filter.pattern.errorString())
                        .arg(filter.pattern.patternErrorOffset() + 1);
        filter.pattern.setPattern({});
    }
    const QString wrong = QStringLiteral("QLineEdit { background: #fde0e0; }");
    m_minSize->setStyleSheet(minBytes ? QString() : wrong);
    m_pattern->setStyleSheet(patternValid ? QString() : wrong);
    m_problem->setText(problems.join(u' '));
    m_problem->setVisible(!problems.isEmpty());
    m_model->setFilter(std::move(filter));
    // The filter acts while the gallery is open: what it hides will not be downloaded.
    if (isVisible())
        m_model->untickHidden();
    if (store)
        storeChanged();
    updateCount();
    m_visibleTimer.start();
}

QList<std::pair<Setting, QString>> GalleryWindow::barValues() const {
    return {{Setting::GalleryMinWidth, QString::number(m_minWidth->value())},
            {Setting::GalleryMinHeight, QString::number(m_minHeight->value())},
            {Setting::GalleryMinSize, m_minSize->text()},
            {Setting::GalleryType, m_type->currentData().toString()},
            {Setting::GalleryPattern, m_pattern->text()},
            {Setting::GallerySort, sortNames[qBound(0, m_sort->currentIndex(), 3)]}};
}

void GalleryWindow::storeChanged() {
    // Only what the user changed: a value read back as it was ("40" from " 40") stays as written.
    for (const auto& [setting, value] : barValues()) {
        QString& before = m_restored[setting];
        if (value != before) {
            m_store.write(setting, value);
            before = value;
        }
    }
}

void GalleryWindow::sortChosen() {
    m_model->setSortOrder(GallerySort(qBound(0, m_sort->currentIndex(), 3)));
    storeChanged();
    m_visibleTimer.start();
}

void GalleryWindow::thumbnailReady(const Thumbnail& thumbnail) {
    const bool moves = m_model->learn(thumbnail);
    if (moves) {
        const QModelIndex shown = m_model->indexOf(thumbnail.link);
        const QModelIndex source = m_model->mapToSource(shown);
        // What now falls outside the filter is unticked at once and hidden with the next refresh.
        if (source.isValid() && isVisible())
            m_model->untickHidden(source.row(), source.row());
        m_refreshTimer.start();
    }
    const QModelIndex index = m_model->indexOf(thumbnail.link);
    if (index.isValid())
        m_view->update(index);
}

QList<QModelIndex> GalleryWindow::selectedOrCurrent() const {
    QList<QModelIndex> indexes = m_view->selectionModel()->selectedIndexes();
    if (indexes.isEmpty() && m_view->currentIndex().isValid())
        indexes << m_view->currentIndex();
    return indexes;
}

void GalleryWindow::tickSelected(bool ticked) {
    QList<int> entries;
    for (const QModelIndex& index : selectedOrCurrent())
        if (const int entry = entryOf(index))
            entries << entry;
    for (int entry : entries)
        m_list.setTicked(entry, ticked);
}

void GalleryWindow::toggleSelected() {
    bool anyUnticked = false;
    for (const QModelIndex& index : selectedOrCurrent())
        if (const int entry = entryOf(index))
            anyUnticked = anyUnticked || !m_list.ticked(entry);
    tickSelected(anyUnticked);
}

QRect GalleryWindow::tickRect(const QModelIndex& index) const {
    QStyleOptionViewItem option;
    option.initFrom(m_view);
    option.rect = m_view->visualRect(index);
    option.widget = m_view;
    return GalleryDelegate::checkRect(option, m_view);
}

int GalleryWindow::entryOf(const QModelIndex& index) const {
    const QModelIndex source = m_model->mapToSource(index);
    return source.isValid() ? source.row() + 1 : 0;
}

void GalleryWindow::showContextMenu(const QPoint& at) {
    const QModelIndex index = m_view->indexAt(at);
    if (index.isValid() && !m_view->selectionModel()->isSelected(index))
        m_view->setCurrentIndex(index);
    if (!index.isValid() && m_view->selectionModel()->selectedIndexes().isEmpty())
        return;
    m_menu->popup(m_view->viewport()->mapToGlobal(at));
}

void GalleryWindow::listReset() {
    // A new listing or a cleared list: nothing learnt of the old links matters.
    m_model->forgetFacts();
    m_thumbnails->clear();
    m_wanted.clear();
    m_runSet = false;
    updateCount();
}

void GalleryWindow::rowsListed(int first, int last) {
    if (isVisible())
        m_model->untickHidden(first, last);
    m_countTimer.start();
    m_visibleTimer.start();
}

void GalleryWindow::refreshRun() {
    m_runSet = false;
    if (isVisible())
        m_visibleTimer.start();
}

void GalleryWindow::askForVisible() {
    m_visibleTimer.stop();
    if (!isVisible()) {
        if (!m_wanted.isEmpty()) {
            m_wanted.clear();
            m_thumbnails->want({});
        }
        return;
    }
    const int rows = m_model->rowCount();
    const QRect viewport = m_view->viewport()->rect();
    // The rows are laid out in their order, line by line: the first on show is found by halving.
    int low = 0;
    int high = rows;
    while (low < high) {
        const int middle = (low + high) / 2;
        if (m_view->visualRect(m_model->index(middle, 0)).bottom() < viewport.top())
            low = middle + 1;
        else
            high = middle;
    }
    QList<QByteArray> links;
    int row = low;
    for (; row < rows; ++row) {
        const QRect rect = m_view->visualRect(m_model->index(row, 0));
        if (rect.top() > viewport.bottom())
            break;
        links << m_model->linkAt(m_model->index(row, 0));
    }
    // A screenful ahead, so scrolling on finds its pictures on the way.
    const int ahead = qMax(1, int(links.size()));
    for (int more = 0; more < ahead && row < rows; ++more, ++row)
        links << m_model->linkAt(m_model->index(row, 0));
    if (!m_runSet && m_run) {
        m_thumbnails->setRun(m_run());
        m_runSet = true;
    }
    if (links == m_wanted)
        return;
    m_wanted = links;
    m_thumbnails->want(links);
}

QString GalleryWindow::countText() const {
    return m_count->text();
}

void GalleryWindow::updateCount() {
    m_countTimer.stop();
    m_count->setText(QStringLiteral("showing %1 of %2, %3 ticked")
                         .arg(m_model->rowCount())
                         .arg(m_list.rowCount())
                         .arg(m_model->tickedCount()));
}

void GalleryWindow::settle() {
    if (m_filterTimer.isActive())
        applyFilter();
    if (m_refreshTimer.isActive()) {
        m_refreshTimer.stop();
        m_model->refresh();
    }
    updateCount();
    askForVisible();
}

void GalleryWindow::showBeside(const QRect& mainFrame, const QMargins& frameMargins, const QRect& available) {
    const std::optional<QRect> stored = geometryFromText(m_store.read(Setting::GalleryGeometry));
    bool placed = false;
    if (stored) {
        resize(stored->size());
        // Its place stands only where the whole frame is on one screen now.
        const QRect frame = QRect(stored->topLeft(), stored->size().grownBy(frameMargins));
        for (const QScreen* screen : QGuiApplication::screens())
            if (screen->availableGeometry().contains(frame)) {
                move(stored->topLeft());
                placed = true;
                break;
            }
    }
    if (!placed) {
        QSize size = this->size();
        // Never larger than the screen's area.
        size = size.boundedTo(available.size().shrunkBy(frameMargins));
        resize(size);
        move(previewPlace(mainFrame, size.grownBy(frameMargins), available));
    }
    // The grid has the keys from the start: arrows, Space and Return work at once.
    m_view->setFocus();
    show();
    m_placed = QRect(pos(), size());
}

void GalleryWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_visibleTimer.start();
}

void GalleryWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Opening the gallery applies its filter to what was listed meanwhile.
    m_model->untickHidden();
    updateCount();
    m_visibleTimer.start();
}

void GalleryWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    const QRect now(pos(), size());
    if (m_placed.isValid() && now != m_placed) {
        const QString text = geometryText(now);
        if (m_store.read(Setting::GalleryGeometry) != text)
            m_store.write(Setting::GalleryGeometry, text);
    }
    m_placed = {};
    // Nothing is fetched for a window nobody sees.
    m_wanted.clear();
    m_thumbnails->want({});
    emit hidden();
}
