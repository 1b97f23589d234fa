#include "core/ErrorTrap.h"

#include "core/Cancellation.h"
#include "core/Product.h"

QString ErrorTrap::messageText(const QString& description, QLatin1StringView tag, int line) {
    return description + QLatin1StringView("\r\n") + tag + QLatin1StringView("at line ") +
           QString::number(line) + QLatin1StringView("\r\rPlease email screenshot of this message to ") +
           product::supportEmail;
}

void ErrorTrap::report(const QString& description) {
    // Once the program is closing nobody is left to read the box.
    if (Cancellation::requested())
        return;
    m_boxes.show(messageText(description, m_tag, m_line), MessageIcon::Warning,
                 QStringLiteral("Application Error"));
}
