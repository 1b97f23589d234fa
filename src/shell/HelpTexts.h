#pragma once

#include <QString>

// The texts of the three help buttons. Bare carriage returns are line breaks.
namespace helpText {
// "Help" of the image filter.
QString imageFilter();
// "Help" at the top: the contact note.
QString contact();
// "Help" of the web-site frame: what the program does.
QString aboutProgram();
} // namespace helpText
