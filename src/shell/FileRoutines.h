#pragma once

#include <QString>

// True when the file's modification time can be read. Never fails.
bool FileExists(const QString& path);

// The desktop folder given by the platform, ending in the native separator. Throws StepFailure
// when the platform gives none.
QString DesktopFolder(const QString& desktopLocation);

// Where the platform keeps the user's desktop; may be empty.
QString platformDesktopLocation();
