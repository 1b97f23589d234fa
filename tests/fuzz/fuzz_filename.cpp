// Fuzz target for how the download run names a file: arbitrary link bytes and folder text, through
// the name derivation and the name check of both platforms, to the path the file would get.
// Input layout: folder text, "\n", link bytes (no "\n": the whole input is the link).
#include "download/FileName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstddef>
#include <cstdint>

namespace {

void require(bool holds) {
    if (!holds)
        __builtin_trap();
}

// A reason is shown to the user: no raw control byte, no mark that turns the text around.
void checkShowable(const QString& reason) {
    for (QChar c : reason) {
        const char16_t u = c.unicode();
        require(u >= 0x20 && u != 0x7F);
        require(u != 0x061C && u != 0x200E && u != 0x200F && !(u >= 0x202A && u <= 0x202E) &&
                !(u >= 0x2066 && u <= 0x2069));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype cut = input.indexOf('\n');
    const QString folder = cut < 0 ? QStringLiteral("images/") : QString::fromUtf8(input.left(cut));
    const QByteArray link = cut < 0 ? input : input.mid(cut + 1);

    // The run's own steps: one final "/" dropped, then the last "/"-separated part.
    QByteArray stepwise = link;
    if (stepwise.endsWith('/'))
        stepwise.chop(1);
    stepwise = fileName::lastPart(stepwise);
    const QByteArray name = fileName::ofLink(link);
    require(name == stepwise);
    require(!name.contains('/'));

    for (fileName::Platform platform : {fileName::Platform::Posix, fileName::Platform::Windows}) {
        const QString reason = net::reasonText(fileName::checkFileName(name, platform));
        if (!reason.isEmpty()) {
            checkShowable(reason);
            continue;
        }
        // An accepted name is one plain name, the same once the file system spells it.
        require(!name.isEmpty() && name != "." && name != ".." && !name.contains('\\'));
        const QString decoded = fileName::decodeName(name);
        require(!decoded.isEmpty() && decoded != u"." && decoded != u"..");
        require(!decoded.contains(u'/') && !decoded.contains(u'\\') && !decoded.contains(QChar(0)));
        if (platform == fileName::Platform::Posix) {
            // Saved as its very bytes.
            require(fileName::nativePath(decoded) == name);
            require(name.size() <= fileName::maxNameLength);
        } else {
            require(decoded.size() <= fileName::maxNameLength);
            require(!decoded.endsWith(u'.') && !decoded.endsWith(u' '));
            for (QChar c : u"<>:\"|?*")
                require(!decoded.contains(c));
        }
        // The joined path stays directly inside the folder.
        if (!folder.isEmpty()) {
            const QString path = QDir::cleanPath(fileName::pathInFolder(folder, name));
            require(QFileInfo(path).fileName() == decoded);
            require(QFileInfo(path).path() == QDir::cleanPath(folder));
        }
    }
    return 0;
}
