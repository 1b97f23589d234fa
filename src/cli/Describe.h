#pragma once

#include <QString>

// The texts that describe the command line to people and shells, all made from the one option
// table (cli/Options.h), so they never disagree with what the parser takes.
namespace cli {

// What --help prints.
QString usageText();

// The OPTIONS section of the manual page, from ".SH OPTIONS" to the line before the next section.
QString manualOptions();

enum class Shell { Bash, Zsh, Fish };
// A completion script for the shell, as its completion folders take it.
QString completion(Shell shell);

} // namespace cli
