#pragma once

#include <QByteArray>
#include <QHash>

// What a listing learnt of its links beyond their addresses, for names made of it: the title of
// the page each link was found on and the alt text of the first img element that gave it. Read
// only when a name asks for them; the list itself stays a list of texts.
struct LinkFacts {
    // The listed page's title, white space collapsed; empty when it has none.
    QByteArray pageTitle;
    // Links found on a followed page -> that page's title.
    QHash<QByteArray, QByteArray> followedTitles;
    // Link -> the alt attribute of the first img element (in page order) that gave it.
    QHash<QByteArray, QByteArray> alts;

    const QByteArray& titleOf(const QByteArray& link) const {
        const auto followed = followedTitles.constFind(link);
        return followed != followedTitles.cend() ? *followed : pageTitle;
    }
    void clear() { *this = {}; }
};
