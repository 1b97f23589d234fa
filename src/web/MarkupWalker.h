#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <QList>

#include <functional>
#include <memory>

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

        // One picture offered in several sizes: an img's src, srcset and lazy-loading attributes,
        // or a picture's sources and its img, told between groupStart() and groupEnd(), each
        // candidate with the size its descriptor gives it. By default a candidate is an image
        // reference like any other.
        struct Size {
            enum class Kind { None, Width, Density };
            Kind kind = Kind::None; // no descriptor: 1x
            double value = 1;
        };
        virtual void candidate(QByteArrayView value, Size size) {
            (void)size;
            reference(value, ReferenceContext::Image);
        }
        virtual void groupStart() {}
        virtual void groupEnd() {}

        // Asked once: with true the walk also tells which links hold an image.
        virtual bool wantsAnchors() const { return false; }
        // An HTML a element with an href, the n-th (from 0) in tree order; its href follows as a
        // link reference.
        virtual void anchor(qsizetype n) { (void)n; }
        // An image-context element (img, picture, input type=image, SVG image, or an element whose
        // style attribute holds a url()) stands inside the n-th anchor.
        virtual void imageInAnchor(qsizetype n) { (void)n; }

        // Asked once: with true the walk also tells the text of the document's title element and
        // which references are an img's own.
        virtual bool wantsFacts() const { return false; }
        // The first HTML title element's text (references decoded, white space as written, at
        // most maxTitleBytes), told once at its end.
        virtual void title(QByteArrayView text) { (void)text; }
        // An HTML img element's own attributes are told between these two: its alt attribute
        // (empty when it has none) first.
        virtual void imgStart(QByteArrayView alt) { (void)alt; }
        virtual void imgEnd() {}
    };
    // A title longer than this is cut: it only ever names things.
    static constexpr qsizetype maxTitleBytes = 64 * 1024;

    // Only the base is wanted: the walk ends at the first base element with an href. keepGoing
    // is asked as the handler's is.
    static bool findBase(QByteArrayView page, QByteArray& href, const std::function<bool()>& keepGoing = {});

    static void walk(QByteArrayView page, Handler& handler);

    // The same walk over a page that arrives in pieces: each feed goes as far as the text so far
    // allows and goes on from there at the next. The handler hears exactly what walk() over the
    // whole page would tell it, in the same order.
    class Stream {
    public:
        explicit Stream(Handler& handler);
        ~Stream();
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;

        // page: the whole text so far (UTF-8), the earlier bytes unchanged though they may have
        // moved; final: nothing more follows.
        void feed(QByteArrayView page, bool final);
        // The page ended, or the handler stopped the walk.
        bool over() const;
        // How far the text has been walked: what lies before is done with.
        qsizetype position() const;

    private:
        struct Walking;
        std::unique_ptr<Walking> m_walking;
    };
    struct DomAttribute {
        QByteArray name; // the qualified name ("src", "xlink:href")
        QByteArray value;
    };
    // One element of a tree that a browser built with scripts on, as a script in the page reads
    // it: what the contexts need to know of it, and nothing of its place but its parent.
    struct DomElement {
        enum class Space { Html, Svg, MathMl, Other };
        QByteArray name; // its local name, in lower case
        Space space = Space::Html;
        bool inPicture = false; // its parent is an HTML picture element (its sizes join the picture's)
        QList<DomAttribute> attributes; // in the order of its attribute list
        bool hasSheet = false;          // a style element with a CSS style sheet
        QByteArray sheet;               // that sheet's rules as the browser serialises them
    };
    // Reports the references of one such element, by the same contexts as the walk: the base is
    // the caller's (each element has its own base URL in a live tree).
    static void element(const DomElement& element, Handler& handler);
};
