#pragma once

#include <QString>

// Whether a path names an existing directory. Never fails.
bool FolderExists(const QString& path);

class QFileDevice;

// Closes a file without waiting for the system to let go of it: the last close of a large file
// whose name is gone (a temporary page of 100 MB) frees its pages then, which takes a while, so
// that last reference is dropped on a worker thread. The file object is closed on return.
void closeWithoutWaiting(QFileDevice& file);
