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
