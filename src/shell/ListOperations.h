#pragma once

class ImageList;
class MessageBoxes;
class MousePointer;

// The three buttons under the image list, each under its own error trap. A failure on one entry
// is reported and the walk goes on with the next.

// "Check All": ticks every entry.
void CheckAllEntries(ImageList& list, MessageBoxes& boxes);
// "Uncheck All": unticks every entry.
void UncheckAllEntries(ImageList& list, MessageBoxes& boxes);
// "Clear List": removes every entry, unless the busy pointer says a run is using the list.
void ClearList(ImageList& list, const MousePointer& pointer, MessageBoxes& boxes);
