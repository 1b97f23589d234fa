#pragma once

#include <QByteArray>
#include <QHash>
#include <QRegularExpression>
#include <QSize>
#include <QSortFilterProxyModel>
#include <QString>

#include <optional>

class ImageListModel;
struct Thumbnail;

// What the gallery has learnt of one link from its thumbnail; kept after the picture itself has
// left the loader's cache, so filters and sort orders stay put.
struct GalleryFacts {
    QSize pixelSize;   // invalid: unknown
    qint64 bytes = -1; // -1: unknown
    QString type;      // a gallery type name ("jpeg", "png", ...), or the served type lower-cased
};

namespace gallery {

// The picture types the filter offers: the name stored and matched, and the one shown.
struct TypeChoice {
    QLatin1StringView name;
    QLatin1StringView label;
};
inline constexpr TypeChoice typeChoices[] = {
    {QLatin1StringView("all"), QLatin1StringView("All types")},
    {QLatin1StringView("jpeg"), QLatin1StringView("JPEG")},
    {QLatin1StringView("png"), QLatin1StringView("PNG")},
    {QLatin1StringView("gif"), QLatin1StringView("GIF")},
    {QLatin1StringView("webp"), QLatin1StringView("WebP")},
    {QLatin1StringView("svg"), QLatin1StringView("SVG")},
    {QLatin1StringView("avif"), QLatin1StringView("AVIF")},
    {QLatin1StringView("bmp"), QLatin1StringView("BMP")},
    {QLatin1StringView("ico"), QLatin1StringView("ICO")},
    {QLatin1StringView("tiff"), QLatin1StringView("TIFF")},
};

// The type name of a format name, file extension or content type ("JPG", "image/svg+xml", "PNG");
// what names no picture type is given back lower-cased ("html page").
QString typeName(const QString& format);
// The type a link's own extension names; empty when it has none.
QString typeOfLink(const QByteArray& link);
// The last "/"-part of a link, without its query: the name the gallery shows and sorts by.
QString nameOfLink(const QByteArray& link);
// A minimum size as typed: a number of bytes with an optional k, M or G (1024-based); empty is 0.
// Nothing when it is not one.
std::optional<qint64> parseSize(const QString& text);

} // namespace gallery

// What the filter bar keeps. Whatever is not known of an entry yet (its dimensions before its
// thumbnail has come, its type when the link has no extension) does not hide it.
struct GalleryFilter {
    int minWidth = 0;
    int minHeight = 0;
    qint64 minBytes = 0;
    QString type;               // a gallery type name; empty: every type
    QRegularExpression pattern; // found anywhere in the link, letter case ignored; empty: any link

    bool accepts(const QByteArray& link, const GalleryFacts* facts) const;
};

enum class GallerySort { PageOrder, Dimensions, Size, Name };

// The gallery's view of the window's list: the same entries and ticks (the tick is the list's own
// check state), filtered and sorted by what the thumbnails told.
class GalleryModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit GalleryModel(ImageListModel& list, QObject* parent = nullptr);

    ImageListModel& list() const { return m_list; }
    // The link of a row of this model, exactly as listed.
    QByteArray linkAt(const QModelIndex& index) const;
    // The row of this model that shows a link; invalid when it is hidden or not listed.
    QModelIndex indexOf(const QByteArray& link) const;

    const GalleryFilter& filter() const { return m_filter; }
    void setFilter(GalleryFilter filter);
    GallerySort sortOrder() const { return m_sort; }
    void setSortOrder(GallerySort order);

    const GalleryFacts* facts(const QByteArray& link) const;
    // Records what a thumbnail told; true when the entry's place (shown or not, its rank) changes.
    bool learn(const Thumbnail& thumbnail);
    void forgetFacts();

    // Unticks the entries of the list's rows from first to last that the filter hides; how many.
    int untickHidden(int first = 0, int last = -1);
    // Filters and sorts again after facts changed.
    void refresh();
    int tickedCount() const;

    // The link in full as the tooltip, with the last download's word on it.
    QVariant data(const QModelIndex& index, int role) const override;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    ImageListModel& m_list;
    GalleryFilter m_filter;
    GallerySort m_sort = GallerySort::PageOrder;
    QHash<QByteArray, GalleryFacts> m_facts;
    // The row of each listed link, for the thumbnails that come back by link.
    mutable QHash<QByteArray, int> m_rowOf;
    mutable int m_rowsKnown = 0;
};
