#pragma once

#include <QString>

// True when the file's modification time can be read. Never fails.
bool FileExists(const QString& path);

// The desktop folder given by the platform, ending in the native separator. Throws StepFailure
// when the platform gives none.
QString DesktopFolder(const QString& desktopLocation);

// The folder a first start offers, as DesktopFolder gives it: the desktop folder when it exists,
// else the first of pictures and home that exists. When none exists the desktop folder stands,
// and an empty desktop location fails as in DesktopFolder.
QString firstStartFolder(const QString& desktop, const QString& pictures, const QString& home);

// Where the platform keeps the user's desktop; may be empty.
QString platformDesktopLocation();
