#pragma once

#include "web/CssTokenizer.h"

#include <QList>

#include <vector>

// The CSS properties whose values can hold a url(), and how a browser checks those values: a
// declaration that does not parse for its property is dropped, so its url() never loads.
namespace css {

// What one declaration sets: a url-carrying property (a shorthand sets its image longhand) and
// the URLs it then holds, possibly none ("background: red" clears an earlier image).
struct PropertyUrls {
    int slot;
    QList<QByteArray> urls;
};

// Custom properties ("--name") take slots from here on, one per name.
constexpr int kFirstCustomSlot = 1000;

// The url() values of tokens in order: url tokens, url("...") and image-set()'s strings.
QList<QByteArray> valueUrls(const std::vector<Token>& value, size_t begin, size_t end);

// Whether a lower-case property name is one whose value can hold a URL.
bool mayHoldUrls(const QByteArray& name);

// For a lower-case property name and its value (no "!important", no outer whitespace):
// false when the declaration is dropped (unknown property, value that does not parse).
// Properties that never hold a URL are reported as dropped too: they cannot change the answer.
bool propertyUrls(const QByteArray& name, const std::vector<Token>& value, std::vector<PropertyUrls>& out);

} // namespace css
