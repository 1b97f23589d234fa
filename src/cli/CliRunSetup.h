#pragma once

#include "core/Expected.h"
#include "net/RunSetup.h"
#include "net/Transfer.h"

#include <QString>

#include <memory>

// The set-up of one command's run, from its options as parsed: every request of the page and of
// the images carries them, in every find mode. A cookie file that cannot be read is a usage error:
// a failure worded for the command. Malformed lines of it are named in one warning on standard
// error; libcurl skips them too.
Expected<std::unique_ptr<net::NetworkRun>, net::Result> cliRunSetup(const net::RunOptions& options);
