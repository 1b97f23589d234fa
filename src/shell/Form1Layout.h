#pragma once

#include <QColor>
#include <QFont>

class QWidget;

// The window's fixed layout: its size, the measure it is drawn in and its fonts. The table of
// controls and the builder that places them live in Form1Layout.cpp.
namespace layout {

// The client area below the menu bar, in twips.
inline constexpr int clientWidthTwips = 8040;
inline constexpr int clientHeightTwips = 7710;
inline constexpr int listColumnWidthTwips = 7000;

// 15 twips to a pixel at 96 dots per inch; Qt scales these device-independent pixels to the
// screen's real density.
int twips(int value);
QFont arialBold(qreal points);
void setBackground(QWidget* widget, const QColor& colour);

} // namespace layout
