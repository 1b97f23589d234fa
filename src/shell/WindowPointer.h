#pragma once

#include "core/Ui.h"

#include <QCursor>
#include <QPointer>

#include <optional>

class QWidget;

// The main window's mouse pointer: default arrow, busy (the wait cursor) or the hand loaded from
// the cursor file; without that file the hand state shows the arrow.
class WindowPointer : public MousePointer {
public:
    explicit WindowPointer(QWidget* window) : m_window(window) {}

    Pointer pointer() const override { return m_pointer; }
    void setPointer(Pointer pointer) override;

    void setHandCursor(const QCursor& cursor) { m_hand = cursor; }
    bool hasHandCursor() const { return m_hand.has_value(); }

private:
    QPointer<QWidget> m_window;
    Pointer m_pointer = Pointer::Default;
    std::optional<QCursor> m_hand;
};
