#pragma once

#include "discovery/BrowserListing.h"

#include <QByteArray>
#include <QHash>
#include <QList>

// A page's title and the alt text of its img elements, keyed by the links the listing made of
// their sources. A walk of its own over the page, made only when a name asks for them.
struct PageFacts {
    QByteArray title; // white space stripped and collapsed, as a browser shows it
    QHash<QByteArray, QByteArray> alts;
};

// How the img sources become links: as the browser mode resolves them (the page's address, or
// its first <base href>), or as the classic scanner does (plain text behind classicBase).
struct FactsResolution {
    QByteArray pageUrl;
    bool classic = false;
    QByteArray classicBase;
};

// The facts of fetched bytes, decoded as a browser decodes them.
PageFacts readPageFacts(const QByteArray& page, const QByteArray& contentType,
                        const FactsResolution& resolution);

// The facts of a tree a browser built: each img resolved against its own base URL; the title as
// the browser gave it.
PageFacts readRenderedFacts(const QList<BrowserListing::RenderedElement>& elements, const QByteArray& title);

// ASCII white space stripped from both ends and each run of it made one space.
QByteArray collapsedWhitespace(QByteArrayView text);
