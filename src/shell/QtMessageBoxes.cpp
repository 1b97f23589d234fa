#include "shell/QtMessageBoxes.h"

#include "shell/AppTitle.h"

#include <QMessageBox>

QString messageBoxText(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1StringView("\r\n"), QLatin1StringView("\n"));
    shown.replace(u'\r', u'\n');
    return shown;
}

void QtMessageBoxes::show(const QString& text, MessageIcon icon, const QString& title) {
    QMessageBox box(m_parent);
    box.setWindowTitle(title.isEmpty() ? applicationTitle() : title);
    // Page addresses and failure texts are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(messageBoxText(text));
    box.setIcon(icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}
