#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Text for the command line's JSON output.
namespace json {

// A JSON string of the bytes, quotes included. Valid UTF-8 stays as it is; every byte that is
// not part of valid UTF-8 becomes a \u00XX escape of that byte, so nothing is lost and the
// output stays valid JSON. Quotes, backslashes and control characters are escaped.
QByteArray string(QByteArrayView bytes);

} // namespace json
