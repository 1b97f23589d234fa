#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// The url() references of CSS as a browser's CSS parser keeps them, in order, each value with its
// CSS escapes decoded (UTF-8), still to be resolved against the page's base URL. A declaration
// whose property is unknown or whose value does not parse for its property is dropped, and of a
// property declared twice in one block only the last valid declaration counts.

// A style attribute's declaration list.
void cssUrlsOfDeclarations(QByteArrayView declarations, QList<QByteArray>& out);
// A <style> element's style sheet: the style rules' declarations, also inside @media and
// @supports; not @import and not @font-face.
void cssUrlsOfStyleSheet(QByteArrayView sheet, QList<QByteArray>& out);
