#include "shell/WindowPointer.h"

#include <QWidget>

void WindowPointer::setPointer(Pointer pointer) {
    m_pointer = pointer;
    if (!m_window)
        return;
    switch (pointer) {
    case Pointer::Busy:
        m_window->setCursor(Qt::WaitCursor);
        break;
    case Pointer::Hand:
        if (m_hand)
            m_window->setCursor(*m_hand);
        else
            m_window->setCursor(Qt::ArrowCursor);
        break;
    case Pointer::Default:
        m_window->setCursor(Qt::ArrowCursor);
        break;
    }
}
