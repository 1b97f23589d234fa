#include "download/FileName.h"

#include <QDir>

namespace fileName {

namespace {
// The name as a user can read it in a message: control bytes shown as \xNN.
QString printable(const QByteArray& name) {
    QByteArray shown;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            shown += "\\x" + QByteArray::number(b, 16).rightJustified(2, '0');
        else
            shown += c;
    }
    return QString::fromUtf8(shown);
}
} // namespace

QByteArray ofLink(const QByteArray& link) {
    QByteArray name = link;
    if (name.endsWith('/'))
        name.chop(1);
    return name.sliced(name.lastIndexOf('/') + 1);
}

QString unsafeReason(const QByteArray& name) {
    if (name.isEmpty())
        return QStringLiteral("the link gives no file name");
    if (name == "." || name == "..")
        return QStringLiteral("the file name \"%1\" names a folder, not a file")
            .arg(QString::fromLatin1(name));
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\')
            return QStringLiteral("the file name \"%1\" holds a path separator").arg(printable(name));
        if (b < 0x20 || b == 0x7F)
            return QStringLiteral("the file name \"%1\" holds a control character").arg(printable(name));
    }
    return {};
}

QString withFinalSeparator(const QString& folder) {
    if (folder.endsWith(u'/') || folder.endsWith(QDir::separator()))
        return folder;
    return folder + QDir::separator();
}

} // namespace fileName
