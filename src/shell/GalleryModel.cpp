#include "shell/GalleryModel.h"

#include "download/DownloadOptions.h"
#include "shell/ImageListView.h"
#include "shell/ThumbnailLoader.h"

#include <QCollator>

namespace gallery {

QString typeName(const QString& format) {
    QString name = format.trimmed().toLower();
    // A content type: its subtype without parameters ("image/svg+xml; charset=utf-8" is "svg").
    if (const qsizetype semicolon = name.indexOf(u';'); semicolon >= 0)
        name = name.left(semicolon).trimmed();
    if (name.startsWith(QLatin1StringView("image/")))
        name = name.mid(6);
    if (name.startsWith(QLatin1StringView("x-")))
        name = name.mid(2);
    if (name == u"jpg" || name == u"jpe" || name == u"jfif" || name == u"pjpeg")
        return QStringLiteral("jpeg");
    if (name == u"tif")
        return QStringLiteral("tiff");
    if (name == u"svg+xml" || name == u"svgz")
        return QStringLiteral("svg");
    if (name == u"icon" || name == u"vnd.microsoft.icon" || name == u"cur")
        return QStringLiteral("ico");
    if (name == u"ms-bmp" || name == u"dib")
        return QStringLiteral("bmp");
    return name;
}

namespace {

// The path of a link: what comes before its query or fragment.
QByteArray pathOf(const QByteArray& link) {
    qsizetype end = link.size();
    for (char stop : {'?', '#'})
        if (const qsizetype at = link.indexOf(stop); at >= 0 && at < end)
            end = at;
    return link.left(end);
}

} // namespace

QString typeOfLink(const QByteArray& link) {
    const QByteArray path = pathOf(link);
    const QByteArray last = path.mid(path.lastIndexOf('/') + 1);
    const qsizetype dot = last.lastIndexOf('.');
    if (dot < 0 || dot + 1 >= last.size())
        return {};
    return typeName(QString::fromUtf8(last.mid(dot + 1)));
}

QString nameOfLink(const QByteArray& link) {
    QByteArray path = pathOf(link);
    while (path.endsWith('/'))
        path.chop(1);
    return QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1));
}

std::optional<qint64> parseSize(const QString& text) {
    QString size = text.trimmed();
    if (size.isEmpty())
        return 0;
    if (size.endsWith(u'b', Qt::CaseInsensitive))
        size.chop(1);
    // "2 m" is read as "2m".
    if (!size.isEmpty() && size.back().isLetter())
        size = size.chopped(1).trimmed() + size.back();
    // Zero asks for no limit, as an empty box does; the options' reading would refuse it.
    bool number = false;
    if (size.toDouble(&number) == 0 && number)
        return 0;
    return parseRate(size);
}

} // namespace gallery

bool GalleryFilter::accepts(const QByteArray& link, const GalleryFacts* facts) const {
    if (facts && facts->pixelSize.isValid() &&
        (facts->pixelSize.width() < minWidth || facts->pixelSize.height() < minHeight))
        return false;
    if (facts && facts->bytes >= 0 && facts->bytes < minBytes)
        return false;
    if (!type.isEmpty()) {
        const QString known = facts && !facts->type.isEmpty() ? facts->type : gallery::typeOfLink(link);
        if (!known.isEmpty() && known != type)
            return false;
    }
    if (!pattern.pattern().isEmpty() && pattern.isValid() &&
        !pattern.match(QString::fromUtf8(link)).hasMatch())
        return false;
    return true;
}

GalleryModel::GalleryModel(ImageListModel& list, QObject* parent)
    : QSortFilterProxyModel(parent), m_list(list) {
    setSourceModel(&list);
    connect(&list, &QAbstractItemModel::modelReset, this, [this] {
        m_rowOf.clear();
        m_rowsKnown = 0;
    });
    sort(0);
}

QByteArray GalleryModel::linkAt(const QModelIndex& index) const {
    const QModelIndex source = mapToSource(index);
    return source.isValid() ? m_list.text(source.row() + 1) : QByteArray();
}

QModelIndex GalleryModel::indexOf(const QByteArray& link) const {
    // Rows are only ever appended between two resets, so the table grows with the list.
    const int rows = m_list.rowCount();
    for (; m_rowsKnown < rows; ++m_rowsKnown)
        m_rowOf.insert(m_list.text(m_rowsKnown + 1), m_rowsKnown);
    const auto found = m_rowOf.constFind(link);
    if (found == m_rowOf.cend())
        return {};
    return mapFromSource(m_list.index(*found));
}

void GalleryModel::setFilter(GalleryFilter filter) {
    m_filter = std::move(filter);
    m_filter.pattern.setPatternOptions(m_filter.pattern.patternOptions() |
                                       QRegularExpression::CaseInsensitiveOption);
    invalidateFilter();
}

void GalleryModel::setSortOrder(GallerySort order) {
    if (order == m_sort)
        return;
    m_sort = order;
    invalidate();
    sort(0);
}

const GalleryFacts* GalleryModel::facts(const QByteArray& link) const {
    const auto found = m_facts.constFind(link);
    return found == m_facts.cend() ? nullptr : &*found;
}

bool GalleryModel::learn(const Thumbnail& thumbnail) {
    GalleryFacts learnt{thumbnail.pixelSize, thumbnail.bytes,
                        thumbnail.type.isEmpty() ? QString() : gallery::typeName(thumbnail.type)};
    // A failed fetch tells nothing new; what an earlier one told stands.
    if (thumbnail.failed && !learnt.pixelSize.isValid() && learnt.bytes < 0)
        return false;
    const GalleryFacts* before = facts(thumbnail.link);
    const bool same = before && before->pixelSize == learnt.pixelSize && before->bytes == learnt.bytes &&
                      before->type == learnt.type;
    if (same)
        return false;
    const bool shownBefore = m_filter.accepts(thumbnail.link, before);
    m_facts.insert(thumbnail.link, learnt);
    // Most thumbnails leave their entry where it was: only a change of the filter's answer or a
    // sort by what they tell moves it.
    return shownBefore != m_filter.accepts(thumbnail.link, &learnt) || m_sort == GallerySort::Dimensions ||
           m_sort == GallerySort::Size;
}

void GalleryModel::forgetFacts() {
    m_facts.clear();
}

int GalleryModel::untickHidden(int first, int last) {
    if (last < 0)
        last = m_list.rowCount() - 1;
    int unticked = 0;
    for (int row = first; row <= last; ++row) {
        const int entry = row + 1;
        if (!m_list.ticked(entry))
            continue;
        const QByteArray link = m_list.text(entry);
        if (!m_filter.accepts(link, facts(link))) {
            m_list.setTicked(entry, false);
            ++unticked;
        }
    }
    return unticked;
}

void GalleryModel::refresh() {
    invalidate();
    sort(0);
}

int GalleryModel::tickedCount() const {
    int ticked = 0;
    for (int entry = 1, rows = m_list.rowCount(); entry <= rows; ++entry)
        ticked += m_list.ticked(entry) ? 1 : 0;
    return ticked;
}

QVariant GalleryModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::ToolTipRole)
        return QSortFilterProxyModel::data(index, role);
    const QModelIndex source = mapToSource(index);
    if (!source.isValid())
        return {};
    const QString link = QString::fromUtf8(m_list.text(source.row() + 1));
    const QString note = m_list.outcomeNote(source.row() + 1);
    return note.isEmpty() ? link : link + QLatin1Char('\n') + note;
}

bool GalleryModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (sourceParent.isValid())
        return false;
    const QByteArray link = m_list.text(sourceRow + 1);
    return m_filter.accepts(link, facts(link));
}

bool GalleryModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const int leftRow = left.row();
    const int rightRow = right.row();
    const QByteArray leftLink = m_list.text(leftRow + 1);
    const QByteArray rightLink = m_list.text(rightRow + 1);
    switch (m_sort) {
    case GallerySort::PageOrder:
        break;
    case GallerySort::Dimensions:
    case GallerySort::Size: {
        // Largest first; what is not known yet comes after everything known.
        const auto key = [this](const QByteArray& link) -> qint64 {
            const GalleryFacts* known = facts(link);
            if (!known)
                return -1;
            if (m_sort == GallerySort::Size)
                return known->bytes;
            return known->pixelSize.isValid() ? qint64(known->pixelSize.width()) * known->pixelSize.height()
                                              : -1;
        };
        const qint64 a = key(leftLink);
        const qint64 b = key(rightLink);
        if (a != b)
            return a > b;
        break;
    }
    case GallerySort::Name: {
        static const QCollator collator = [] {
            QCollator made;
            made.setNumericMode(true);
            made.setCaseSensitivity(Qt::CaseInsensitive);
            return made;
        }();
        if (const int order = collator.compare(gallery::nameOfLink(leftLink), gallery::nameOfLink(rightLink)))
            return order < 0;
        break;
    }
    }
    // Equal keys keep the page's order.
    return leftRow < rightRow;
}
