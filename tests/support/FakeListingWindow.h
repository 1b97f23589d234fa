#pragma once

#include "core/MemoryImageList.h"
#include "discovery/ListingHost.h"
#include "support/RecordingUi.h"

#include <QDir>

// The window as a listing run sees it: filter boxes, address and folder as plain fields, the list
// in memory, message boxes and pointer recorded.
class FakeListingWindow : public ListingHost {
public:
    ImageList& imageList() override { return list; }
    MessageBoxes& messages() override { return boxes; }
    MousePointer& pointer() override { return mouse; }
    bool filterTicked(FilterBox box) const override {
        return box == FilterBox::Jpg ? jpg : box == FilterBox::Gif ? gif : custom;
    }
    QString customFilterText() const override { return customText; }
    QString addressText() const override { return address; }
    QString folderText() const override { return folder; }

    QList<QByteArray> entries() const {
        QList<QByteArray> out;
        for (int i = 1; i <= list.count(); ++i)
            out << list.text(i);
        return out;
    }

    MemoryImageList list;
    RecordingMessages boxes;
    RecordingPointer mouse;
    bool jpg = true;
    bool gif = true;
    bool custom = false;
    QString customText = QStringLiteral("BMP,PNG");
    QString address;
    QString folder = QDir::tempPath();
};
