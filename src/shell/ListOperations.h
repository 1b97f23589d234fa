#pragma once

class ImageList;
class MessageBoxes;
class MousePointer;

// The three buttons under the image list, each under its own error trap. A failure on one entry
// is reported and the walk goes on with the next.

// "Check All": ticks every entry.
void checkAllEntries(ImageList& list, MessageBoxes& boxes);
// "Uncheck All": unticks every entry.
void uncheckAllEntries(ImageList& list, MessageBoxes& boxes);
// "Clear List": removes every entry, unless the busy pointer says a run is using the list.
void clearList(ImageList& list, const MousePointer& pointer, MessageBoxes& boxes);
