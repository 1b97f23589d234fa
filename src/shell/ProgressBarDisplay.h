#pragma once

#include "core/Ui.h"

#include <QPointer>
#include <QProgressBar>

// A progress bar that shows a text exactly as given. QProgressBar's own format is a template in
// which "%p", "%v" and "%m" are replaced and a "%" cannot be written literally, so the text is
// kept apart from it.
class TextProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit TextProgressBar(QWidget* parent = nullptr) : QProgressBar(parent) {}
    QString text() const override { return m_text; }
    void setDisplayText(const QString& text);

private:
    QString m_text;
};

// The progress bar as the download engine and run see it.
class ProgressBarDisplay : public ProgressDisplay {
public:
    explicit ProgressBarDisplay(TextProgressBar* bar) : m_bar(bar) {}
    void setText(const QString& text) override;
    void setMaximum(int maximum) override;
    void setValue(int value) override;

private:
    QPointer<TextProgressBar> m_bar;
};
