#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>

// What a page refers to, as the elements of its parsed tree say it: an image it shows, or a
// page or file it links to.
enum class ReferenceContext { Image, Link };

// Goes through a page (UTF-8) as a browser's parser builds its tree with scripting disabled, and
// reports, in tree order, the first <base href> and every attribute value or style sheet URL
// that names an image or a link. Only as much of the tree is kept as those answers need: the
// open elements with their namespaces, so that <svg>, <math>, <template>, <picture> and the
// text-only elements (<style>, <script>, <textarea>, <title>...) are told apart.
class MarkupWalker {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
        // A base element's href, the first one in tree order; value not yet resolved.
        virtual void base(QByteArrayView href) { (void)href; }
        // A single URL value (attribute value or CSS url()), not yet trimmed or resolved.
        virtual void reference(QByteArrayView value, ReferenceContext context) = 0;
        // Called every so many tokens; false stops the walk (the program is closing).
        virtual bool keepGoing() { return true; }
    };

    // Only the base is wanted: the walk ends at the first base element with an href. keepGoing
    // is asked as the handler's is.
    static bool findBase(QByteArrayView page, QByteArray& href, const std::function<bool()>& keepGoing = {});

    static void walk(QByteArrayView page, Handler& handler);
};
