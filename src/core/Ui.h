#pragma once

#include <QByteArray>
#include <QString>

// The small interfaces through which the runs reach the window's controls. The window and the
// command-line mode each implement them; tests use recording doubles.

// The list of found image links. Entries are numbered from 1; an entry's text is the link's raw
// bytes exactly as the page held them.
class ImageList {
public:
    virtual ~ImageList() = default;

    virtual int count() const = 0;
    virtual void clear() = 0;
    // Appends an entry and returns its number.
    virtual int add(const QByteArray& text) = 0;
    virtual QByteArray text(int entry) const = 0;
    virtual bool ticked(int entry) const = 0;
    virtual void setTicked(int entry, bool ticked) = 0;
    virtual void scrollTo(int entry) = 0;
    // True when some entry's text equals text exactly. Lets the duplicate test avoid a linear pass.
    virtual bool contains(const QByteArray& text) const = 0;
};

enum class MessageIcon { None, Warning };

// Every message box of the program goes through here, so tests can record them.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows a modal box with an OK button and returns once it is closed. An empty title stands for
    // the application title. Bare carriage returns in text are line breaks.
    virtual void show(const QString& text, MessageIcon icon = MessageIcon::None,
                      const QString& title = {}) = 0;
};

// The window's mouse pointer, which doubles as the sign that a run is active.
enum class Pointer { Default = 0, Busy = 11, Hand = 99 };

class MousePointer {
public:
    virtual ~MousePointer() = default;
    virtual Pointer pointer() const = 0;
    virtual void setPointer(Pointer pointer) = 0;
};

// The progress bar: a position within a maximum, and a text shown on it.
class ProgressDisplay {
public:
    virtual ~ProgressDisplay() = default;
    virtual void setText(const QString& text) = 0;
    virtual void setMaximum(int maximum) = 0;
    virtual void setValue(int value) = 0;
};

// What every run, listing or download, reads from and shows on its window: the list, the message
// boxes, the pointer and the destination folder box. The window and the command-line mode each
// implement it; every text is read afresh when the run needs it.
class RunWindow {
public:
    virtual ~RunWindow() = default;

    virtual ImageList& imageList() = 0;
    virtual MessageBoxes& messages() = 0;
    virtual MousePointer& pointer() = 0;
    // The destination folder box.
    virtual QString folderText() const = 0;
};
