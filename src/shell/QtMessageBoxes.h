#pragma once

#include "core/Ui.h"

#include <QPointer>

class QWidget;

// Texts built with bare carriage returns as line breaks, as a message box shows them.
QString messageBoxText(const QString& text);

// The program's message boxes: modal QMessageBoxes with an OK button only, titled with the
// application title unless the caller gives a title.
class QtMessageBoxes : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : m_parent(parent) {}
    void show(const QString& text, MessageIcon icon = MessageIcon::None, const QString& title = {}) override;

private:
    QPointer<QWidget> m_parent;
};
