#pragma once

#include "net/RunSetup.h"

#include <memory>

class MessageBoxes;
class SettingsStore;

// The set-up of one of the window's runs, listing or download, from its settings: the download
// options, whether the page is sent as Referer, the cookie file. A cookie file that cannot be read
// is named in a warning and left out; the run goes on as it would without the setting.
std::unique_ptr<net::NetworkRun> windowRunSetup(const SettingsStore& store, MessageBoxes& messages);
