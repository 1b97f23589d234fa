#pragma once

#include "core/Ui.h"
#include "discovery/DiscoveryState.h"
#include "discovery/RenderedListing.h"

#include <QString>

// What a listing run reads from its window beyond what every run does: the filter boxes, the
// address box and the find mode.
class ListingHost : public RunWindow {
public:
    virtual bool filterTicked(FilterBox box) const = 0;
    // The custom list of extensions.
    virtual QString customFilterText() const = 0;
    // The address box.
    virtual QString addressText() const = 0;
    // How the images are found; the window takes it from its settings.
    virtual FindMode findMode() const { return FindMode::Classic; }
    // A rendered listing tells where the entries it adds next were found.
    virtual void foundIn(FoundIn where) { (void)where; }
    // While a rendered listing settles: how far it got, for the bar or progress line; an empty
    // text when it is over.
    virtual void renderingProgress(const QString& text) { (void)text; }
};
