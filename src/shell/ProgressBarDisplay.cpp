#include "shell/ProgressBarDisplay.h"

void TextProgressBar::setDisplayText(const QString& text) {
    if (text == m_text)
        return;
    m_text = text;
    update();
}

void ProgressBarDisplay::setText(const QString& text) {
    if (m_bar)
        m_bar->setDisplayText(text);
}

void ProgressBarDisplay::setMaximum(int maximum) {
    if (m_bar)
        m_bar->setMaximum(maximum);
}

void ProgressBarDisplay::setValue(int value) {
    if (m_bar)
        m_bar->setValue(value);
}
