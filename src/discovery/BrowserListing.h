#pragma once

#include "web/MarkupWalker.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QSet>

#include <functional>
#include <memory>

class ImageList;
class ImageTypeFilter;

// The browser-mode listing of one fetched page: the page decoded as a browser decodes it, its
// references found by MarkupWalker, resolved against the base URL as browsers resolve them,
// filtered, and each listed once, ticked, in document order, up to the list's 32,767 entries.
//
// The page may be given whole (run) or as it arrives (begin, then feed with each piece): the list
// comes out the same. Since the first <base href> counts wherever it stands, what the page refers
// to is listed as soon as its base is known: at that element, or at the end of a page without one.
class BrowserListing {
public:
    BrowserListing(ImageList& list, const ImageTypeFilter& filter);
    ~BrowserListing();

    // Runs between slices of the work so the window stays responsive; defaults to handling the
    // event loop's pending events.
    void setYield(std::function<void()> yield) { m_yield = std::move(yield); }
    // Of each picture offered in several sizes (an img's src, srcset and lazy attributes, or a
    // picture's sources and img) only the largest candidate that passes the filter is listed.
    void setLargestOnly(bool largest) { m_largest = largest; }
    // Only the image contexts: a followed page's images, not its links.
    void setImagesOnly(bool imagesOnly) { m_imagesOnly = imagesOnly; }

    // page: the bytes as fetched; pageUrl: the address they finally came from; contentType: the
    // response's Content-Type header (its charset decides the encoding first).
    void run(const QByteArray& page, const QByteArray& pageUrl, const QByteArray& contentType);

    // A page read as it arrives: begin once the response's headers are in, then feed the whole
    // page so far (the earlier bytes unchanged, though they may have moved) after each piece,
    // final with the last. Once the walk is over (the end, a full list, the program closing),
    // later feeds do nothing.
    void begin(const QByteArray& pageUrl, const QByteArray& contentType);
    void feed(QByteArrayView bytes, bool final);
    bool begun() const { return m_reading != nullptr; }
    // An element of the tree a browser built, with the base URL its references resolve against.
    struct RenderedElement {
        MarkupWalker::DomElement element;
        QByteArray baseUrl;
        // Its parent element's index in the same list (always an earlier one); -1 for none.
        qsizetype parent = -1;
    };
    // Whether the element at index element stands inside the one at index ancestor.
    static bool isInside(const QList<RenderedElement>& elements, qsizetype element, qsizetype ancestor);
    // The same contexts, resolution, filter and once-only rule over a tree the browser built, in
    // the order given; entries already listed stay.
    void runElements(const QList<RenderedElement>& elements);
    // Absolute image addresses (a browser's own requests), listed as images after what is there.
    void addImages(const QList<QByteArray>& urls);

private:
    class Reading;

    ImageList& m_list;
    const ImageTypeFilter& m_filter;
    std::function<void()> m_yield;
    bool m_largest = false;
    bool m_imagesOnly = false;
    // Largest sizes only: the candidates of the tree's pictures that a larger one beat.
    QSet<QByteArray> m_smaller;
    std::unique_ptr<Reading> m_reading;
};

// The extension of a serialised http(s) URL's path: the text after the last "." of its last
// segment; false when that segment has no ".".
bool urlExtension(QByteArrayView href, QByteArrayView* extension);

// Whether a resolved reference is listed under the filter: a link only with an extension the
// filter names; an image also without an extension or with one that is no known image type.
bool passesBrowserFilter(QByteArrayView href, ReferenceContext context, const ImageTypeFilter& filter);
