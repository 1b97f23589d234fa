#pragma once

#include "net/RunSetup.h"

#include <QString>

#include <memory>

// The set-up of one command's run, from its options as parsed: every request of the page and of
// the images carries them, in every find mode. A cookie file that cannot be read is a usage error:
// null, with the reason in *error. Malformed lines of it are named in one warning on standard
// error; libcurl skips them too.
std::unique_ptr<net::NetworkRun> cliRunSetup(const net::RunOptions& options, QString* error);
