#pragma once

#include "core/Ui.h"
#include "discovery/DiscoveryState.h"

#include <QString>

// What a listing run reads from and shows on its window. The window and the command-line mode
// each implement it; every text is read afresh when the run needs it.
class ListingHost {
public:
    virtual ~ListingHost() = default;

    virtual ImageList& imageList() = 0;
    virtual MessageBoxes& messages() = 0;
    virtual MousePointer& pointer() = 0;

    virtual bool filterTicked(FilterBox box) const = 0;
    // The custom list of extensions.
    virtual QString customFilterText() const = 0;
    // The address box.
    virtual QString addressText() const = 0;
    // The destination folder box.
    virtual QString folderText() const = 0;
    // How the images are found; the window takes it from its settings.
    virtual FindMode findMode() const { return FindMode::Classic; }
};
