#pragma once

#include "core/Expected.h"
#include "net/Transfer.h"

#include <QByteArray>
#include <QImage>
#include <QPoint>
#include <QString>

// One image of a Windows cursor (.cur) file and the point of it that is the pointer's tip.
struct CursorImage {
    QImage image;
    QPoint hotSpot;
};

// Reads the first image of a .cur file (an .ico file is taken with its hot spot at the corner).
// Understands the images Windows itself writes into such files: PNG, and device-independent
// bitmaps of 1, 4, 8, 24 or 32 bits per pixel with their transparency mask. A failure when the
// bytes are no such file.
using CursorRead = Expected<CursorImage, net::Result>;
CursorRead parseCursorFile(const QByteArray& bytes);
CursorRead readCursorFile(const QString& path);
