#include "shell/AppTitle.h"

#include "core/Product.h"

namespace {
QString& title() {
    static QString value = QString(product::name);
    return value;
}
} // namespace

QString applicationTitle() {
    return title();
}
void setApplicationTitle(const QString& newTitle) {
    title() = newTitle;
}

QString AppTitleFor(const QString& productName) {
    constexpr qsizetype maxLength = 40;
    QString text = productName;
    do {
        const qsizetype blank = text.lastIndexOf(u' ');
        if (blank < 0)
            return text.left(maxLength);
        text.truncate(blank);
    } while (text.size() > maxLength);
    return text;
}
