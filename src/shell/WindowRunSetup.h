#pragma once

#include "net/RunSetup.h"

#include <QString>

#include <memory>

class MessageBoxes;
class SettingsStore;

// The set-up of one of the window's runs, listing or download, from its settings: the download
// options, whether the page is sent as Referer, the cookie file. A cookie file that cannot be read
// is named in a warning and left out; the run goes on as it would without the setting.
// browserCookies, when given, is the file of the cookies the browser ended a rendered listing
// with: it stands in for the setting's file, whose cookies the browser was given at its start.
std::unique_ptr<net::NetworkRun> windowRunSetup(const SettingsStore& store, MessageBoxes& messages,
                                                const QString& browserCookies = {});

// The request options of the window's settings for the preview's and the gallery's fetches: as
// windowRunSetup's, but a cookie file that cannot be read is left out without a word (the run
// that needs it says so).
net::RunOptions windowRequestOptions(const SettingsStore& store);

// Whether two sets of options make the same requests (what a transfer loop is made from).
bool sameRequestOptions(const net::RunOptions& a, const net::RunOptions& b);
