#pragma once

#include <QString>

// Whether a path names an existing directory. Never fails.
bool FolderExists(const QString& path);
