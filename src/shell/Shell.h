#pragma once

// Opens the main window and runs the event loop until it closes; the QApplication exists already.
int runWindow();
