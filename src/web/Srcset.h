#pragma once

#include <QByteArrayView>
#include <QList>

// The URLs of a srcset attribute's image candidates, left to right, by the HTML standard's
// "parse a srcset attribute" algorithm: a candidate whose descriptors do not parse is dropped as
// the algorithm drops it. The views point into value (UTF-8).
QList<QByteArrayView> srcsetUrls(QByteArrayView value);
