#pragma once

#include "core/Ui.h"
#include "discovery/DiscoveryState.h"
#include "discovery/FollowLinks.h"
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
    // While a rendered listing settles, or while linked pages are followed: how far it got, for
    // the bar or progress line; an empty text when it is over.
    virtual void renderingProgress(const QString& text) { (void)text; }
    // Which links the listing follows to pages of their own, and whether it keeps only the largest
    // size of a picture; the window takes them from its settings.
    virtual FollowMode followMode() const { return FollowMode::None; }
    virtual bool largestSizesOnly() const { return false; }
    // The entries added next came from the followed page at target (as linked); empty: from the
    // page itself.
    virtual void via(const QByteArray& target) { (void)target; }
    // A followed page that added nothing, in one line saying which and why.
    virtual void followWarning(const QString& text) { (void)text; }
};
