#pragma once

#include <QString>

// The command-line mode: "varnolux list …", "varnolux download …", --help, --version.
// Returns the process exit code.
int runCommandLine(int argc, char** argv);

// The usage text printed by --help and after a usage error.
QString commandLineUsage();
