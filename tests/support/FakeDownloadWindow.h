#pragma once

#include "core/MemoryImageList.h"
#include "download/DownloadHost.h"
#include "support/RecordingUi.h"

// The window as a download run sees it: the list in memory, the folder box as a plain field,
// message boxes, pointer and bar recorded. Header-only, so the support library needs no link to
// the download library.
class FakeDownloadWindow : public DownloadHost {
public:
    ImageList& imageList() override { return list; }
    MessageBoxes& messages() override { return boxes; }
    MousePointer& pointer() override { return mouse; }
    ProgressDisplay& progress() override { return bar; }
    QString folderText() const override { return folder; }
    bool& DownloadBusy() override { return busy; }

    // Adds an entry, ticked unless told otherwise.
    void add(const QByteArray& link, bool ticked = true) { list.setTicked(list.add(link), ticked); }

    MemoryImageList list;
    RecordingMessages boxes;
    RecordingPointer mouse;
    RecordingProgress bar;
    QString folder;
    bool busy = false;
};
