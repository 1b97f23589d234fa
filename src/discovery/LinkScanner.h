#pragma once

#include "discovery/DiscoveryState.h"

#include <QByteArray>
#include <QByteArrayView>

#include <functional>

class ImageList;

// Finds src="…" and href="…" values anywhere in the page bytes, makes them absolute by plain text
// rules and lists the image links that pass the filter; directory-like links under the typed
// address go on the stack of pages.
class LinkScanner {
public:
    // addressText reads the address box afresh each time it is needed.
    LinkScanner(DiscoveryState& state, ImageList& list, std::function<QByteArray()> addressText);

    // Scans PageData from position 1 to PageLength. While a page is arriving (startPage() until
    // pageComplete()), PageData holds what has arrived so far and each call scans it from where
    // the previous one stopped: an opening whose value the bytes so far do not close waits for
    // the next call. The links come out exactly as from one call over the whole page.
    void CollectData();
    // A page begins to arrive: the next calls of CollectData go through it as it grows.
    void startPage();
    // The page is all there: the next call of CollectData finishes it, as a call over the whole
    // page would.
    void pageComplete();

    // The value that starts at position s (counted from 1): s up to the byte before the next
    // double quote after s. Empty when no closing quote stands before the end of the page; such
    // a value is dropped.
    QByteArray GetLinkValue(qint64 s) const;
    // The link for the value at s: one leading "/" dropped; a value not starting with "http" (any
    // case) goes behind PageBase and "/".
    QByteArray MakeAbsolute(qint64 s) const;
    // Lists the link for the value at s when it passes the filter and is not listed yet.
    void AddImageLink(qint64 s);

    // The list links go to from now on (page retrieval holds a page's links back until its
    // fetch has succeeded).
    void setList(ImageList& list) { m_list = &list; }
    ImageList& list() const { return *m_list; }

    // Runs between slices of the scan so the window stays responsive; defaults to handling the
    // event loop's pending events.
    void setYield(std::function<void()> yield) { m_yield = std::move(yield); }
    // Only src="…" values: a followed page's images, not its links.
    void setImagesOnly(bool imagesOnly) { m_imagesOnly = imagesOnly; }

private:
    void handleSrc(qint64 valueStart);
    void handleHref(qint64 valueStart);
    void addLink(const QByteArray& link);
    bool maybeYield();

    DiscoveryState& m_state;
    ImageList* m_list;
    std::function<QByteArray()> m_addressText;
    std::function<void()> m_yield;
    qint64 m_sinceYield = 0;
    bool m_imagesOnly = false;
    // The page being scanned as it arrives: whether more is to come, the index (from 0) of the
    // next "=" to look at, and for an opening that waits for its closing quote, the index from
    // which the quote is still to be looked for.
    bool m_arriving = false;
    qsizetype m_next = 3;
    qsizetype m_quoteFrom = -1;
};

// Resolution of one value against a page base, as MakeAbsolute does it.
QByteArray resolveLink(QByteArrayView pageBase, QByteArrayView value);

// True for a column-sort link of a server-made directory listing: "/?C=" followed, at or after
// the position behind it, by ";O=", both with letter case ignored.
bool IsSortLink(QByteArrayView link);

// True when an entry of the list has exactly this text. Keeps the historic limit of 32,767
// entries: it fails with "Overflow" beyond it, and at exactly 32,767 when the text is absent.
bool IsListed(const ImageList& list, const QByteArray& text);
