#pragma once

#include "core/Ui.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Test doubles of the window seams that record what the code under test did with them.

// Records every message box instead of showing it, so nothing blocks.
class RecordingMessages : public MessageBoxes {
public:
    struct Message {
        QString text;
        MessageIcon icon = MessageIcon::None;
        QString title;
    };

    void show(const QString& text, MessageIcon icon = MessageIcon::None, const QString& title = {}) override {
        messages.append({text, icon, title});
        if (onShow)
            onShow(messages.last());
    }

    QStringList texts() const {
        QStringList out;
        for (const Message& m : messages)
            out.append(m.text);
        return out;
    }

    QList<Message> messages;
    // Called while the box would be open, e.g. to close the window or cancel the run.
    std::function<void(const Message&)> onShow;
};

// Records every pointer change, repeats included, in order.
class RecordingPointer : public MousePointer {
public:
    Pointer pointer() const override { return m_pointer; }
    void setPointer(Pointer pointer) override {
        m_pointer = pointer;
        changes.append(pointer);
    }

    QList<Pointer> changes;

private:
    Pointer m_pointer = Pointer::Default;
};

// Records every text, maximum and value set on the progress bar, in order; the last of each is
// what the bar shows.
class RecordingProgress : public ProgressDisplay {
public:
    void setText(const QString& text) override { texts.append(text); }
    void setMaximum(int maximum) override { maxima.append(maximum); }
    void setValue(int value) override { values.append(value); }

    QString text() const { return texts.isEmpty() ? QString() : texts.last(); }
    int maximum() const { return maxima.isEmpty() ? 0 : maxima.last(); }
    int value() const { return values.isEmpty() ? 0 : values.last(); }

    QStringList texts;
    QList<int> maxima;
    QList<int> values;
};
