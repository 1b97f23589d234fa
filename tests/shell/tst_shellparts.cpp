#include "ShellTestSupport.h"

#include "core/ErrorTrap.h"
#include "shell/AppTitle.h"
#include "shell/CursorFile.h"
#include "shell/FileRoutines.h"
#include "shell/ProgressBarDisplay.h"
#include "shell/QtMessageBoxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QtEndian>

class TestShellParts : public QObject {
    Q_OBJECT
private slots:
    void appTitleRule_data();
    void appTitleRule();
    void messageBoxesShowCarriageReturnsAsLineBreaks_data();
    void messageBoxesShowCarriageReturnsAsLineBreaks();
    void progressBarShowsItsTextAsGiven_data();
    void progressBarShowsItsTextAsGiven();
    void shippedHandCursorReads();
    void cursorFileVariants_data();
    void cursorFileVariants();
    void damagedCursorFilesAreRefused_data();
    void damagedCursorFilesAreRefused();
    void fileExistsNeverFails_data();
    void fileExistsNeverFails();
    void desktopFolderEndsInOneSeparator_data();
    void desktopFolderEndsInOneSeparator();
};

// ---- Application title ----

void TestShellParts::appTitleRule_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::newRow("one word stays whole") << QStringLiteral("Varnolux") << QStringLiteral("Varnolux");
    QTest::newRow("short name still loses its last word")
        << QStringLiteral("Varnolux Image Saver") << QStringLiteral("Varnolux Image");
    // 40 characters exactly: seven words of four letters, one of five, and seven blanks.
    const QString forty = QStringLiteral("Abcd Efgh Ijkl Mnop Qrst Uvwx Yzab Cdefg");
    QVERIFY(forty.size() == 40);
    QTest::newRow("40 characters lose one word")
        << forty << QStringLiteral("Abcd Efgh Ijkl Mnop Qrst Uvwx Yzab");
    // 60 characters: ten five-letter words separated by blanks (59) and a final "s".
    const QString sixty = QStringLiteral("Aaaaa Bbbbb Ccccc Ddddd Eeeee Fffff Ggggg Hhhhh Iiiii Jjjjjs");
    QVERIFY(sixty.size() == 60);
    QTest::newRow("60 characters lose words until at most 40 remain")
        << sixty << QStringLiteral("Aaaaa Bbbbb Ccccc Ddddd Eeeee Fffff");
    QTest::newRow("41 characters ending in a long word")
        << QStringLiteral("Ab ") + QString(38, u'c') << QStringLiteral("Ab");
    QTest::newRow("long single word is cut at 40") << QString(60, u'z') << QString(40, u'z');
}

void TestShellParts::appTitleRule() {
    QFETCH(QString, name);
    QFETCH(QString, title);
    QCOMPARE(AppTitleFor(name), title);
}

// ---- Message boxes ----

void TestShellParts::messageBoxesShowCarriageReturnsAsLineBreaks_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("shownText");
    QTest::addColumn<QString>("shownTitle");
    QTest::addColumn<int>("shownIcon");
    QTest::newRow("bare CRs, no icon, application title")
        << QStringLiteral("a\r\rb") << int(MessageIcon::None) << QString() << QStringLiteral("a\n\nb")
        << QStringLiteral("Varnolux") << int(QMessageBox::NoIcon);
    QTest::newRow("CR LF is one break")
        << QStringLiteral("x\r\ny\r\n\r\nz") << int(MessageIcon::None) << QString()
        << QStringLiteral("x\ny\n\nz") << QStringLiteral("Varnolux") << int(QMessageBox::NoIcon);
    QTest::newRow("error report: warning icon and its own title")
        << ErrorTrap::messageText(QStringLiteral("D"), trapTags::formLoad, 132) << int(MessageIcon::Warning)
        << QStringLiteral("Application Error")
        << QStringLiteral(
               "D\nin Trevalin2021/08/31.Form1.Form_Load at line 132\n\nPlease email screenshot of "
               "this message to support@quennick.com")
        << QStringLiteral("Application Error") << int(QMessageBox::Warning);
    QTest::newRow("markup is shown as text")
        << QStringLiteral("<b>bold</b>") << int(MessageIcon::None) << QString()
        << QStringLiteral("<b>bold</b>") << QStringLiteral("Varnolux") << int(QMessageBox::NoIcon);
}

void TestShellParts::messageBoxesShowCarriageReturnsAsLineBreaks() {
    QFETCH(QString, text);
    QFETCH(int, icon);
    QFETCH(QString, title);
    QFETCH(QString, shownText);
    QFETCH(QString, shownTitle);
    QFETCH(int, shownIcon);

    // Look at the real box while it is open, then close it with its one button.
    QString seenText, seenTitle;
    int seenIcon = -1;
    QList<QAbstractButton*> buttons;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        seenText = box->text();
        seenTitle = box->windowTitle();
        seenIcon = int(box->icon());
        buttons = box->buttons();
        box->button(QMessageBox::Ok)->click();
    });
    QtMessageBoxes boxes;
    boxes.show(text, MessageIcon(icon), title);
    QCOMPARE(seenText, shownText);
    QCOMPARE(seenTitle, shownTitle);
    QCOMPARE(seenIcon, shownIcon);
    QCOMPARE(buttons.size(), 1);
}

// ---- Progress bar ----

void TestShellParts::progressBarShowsItsTextAsGiven_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("design text") << QStringLiteral("Progress Bar");
    QTest::newRow("percent done") << QStringLiteral("42%");
    QTest::newRow("text that looks like a placeholder") << QStringLiteral("%p %v %m %%");
}

void TestShellParts::progressBarShowsItsTextAsGiven() {
    QFETCH(QString, text);
    TextProgressBar bar;
    bar.setRange(0, 10);
    bar.setValue(3);
    ProgressBarDisplay display(&bar);
    display.setText(text);
    QCOMPARE(bar.text(), text);
}

// ---- Cursor files ----

namespace {

void put16(QByteArray& out, quint16 v) {
    v = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&v), 2);
}
void put32(QByteArray& out, quint32 v) {
    v = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&v), 4);
}

// A cursor file around one image: directory, entry with the hot spot, then the image bytes.
QByteArray cursorAround(const QByteArray& image, int size, QPoint hotSpot, quint16 type = 2) {
    QByteArray out;
    put16(out, 0);
    put16(out, type);
    put16(out, 1);
    out.append(char(size));
    out.append(char(size));
    out.append(char(0));
    out.append(char(0));
    put16(out, quint16(hotSpot.x()));
    put16(out, quint16(hotSpot.y()));
    put32(out, quint32(image.size()));
    put32(out, 22);
    return out + image;
}

QByteArray dibHeader(int size, int bits, int paletteSize) {
    QByteArray out;
    put32(out, 40);
    put32(out, quint32(size));
    put32(out, quint32(size * 2));
    put16(out, 1);
    put16(out, quint16(bits));
    for (int i = 0; i < 6; ++i)
        put32(out, i == 4 ? quint32(paletteSize) : 0);
    return out;
}

// An 8 x 8 monochrome cursor: black and white columns, and the right half transparent.
QByteArray monochromeCursor() {
    QByteArray image = dibHeader(8, 1, 2);
    put32(image, 0x000000); // palette: black
    put32(image, 0xffffff); //          white
    for (int y = 0; y < 8; ++y) {
        image.append(char(0xAA)); // 1 0 1 0 ...: white, black, white, black
        image.append(QByteArray(3, '\0'));
    }
    for (int y = 0; y < 8; ++y) {
        image.append(char(0x0F)); // mask: the right four pixels are transparent
        image.append(QByteArray(3, '\0'));
    }
    return cursorAround(image, 8, QPoint(2, 3));
}

// A 4 x 4 24-bit cursor in pure red whose top-left pixel is transparent.
QByteArray trueColourCursor() {
    QByteArray image = dibHeader(4, 24, 0);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x)
            image.append("\x00\x00\xff", 3);
    }
    for (int row = 0; row < 4; ++row) {
        // Rows are stored bottom-up: the last stored row is the top one.
        image.append(char(row == 3 ? 0x80 : 0x00));
        image.append(QByteArray(3, '\0'));
    }
    return cursorAround(image, 4, QPoint(1, 1));
}

QByteArray pngCursor() {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(qRgba(0, 128, 0, 255));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return cursorAround(png, 16, QPoint(15, 0));
}

} // namespace

void TestShellParts::shippedHandCursorReads() {
    const auto cursor = readCursorFile(QStringLiteral(VARNOLUX_SOURCE_DIR "/share/HAND-M.CUR"));
    QVERIFY2(cursor, qPrintable(cursor ? QString() : net::reasonText(cursor.failure())));
    QCOMPARE(cursor->image.size(), QSize(32, 32));
    // The hot spot is the fingertip: opaque there, transparent in the corners.
    QCOMPARE(cursor->hotSpot, QPoint(11, 1));
    QVERIFY(qAlpha(cursor->image.pixel(11, 2)) > 128);
    QCOMPARE(qAlpha(cursor->image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(cursor->image.pixel(31, 31)), 0);
}

void TestShellParts::cursorFileVariants_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("hotSpot");
    QTest::addColumn<QPoint>("probe");
    QTest::addColumn<uint>("probeColour");
    QTest::addColumn<QPoint>("transparentAt");
    QTest::newRow("1-bit with palette and mask") << monochromeCursor() << QSize(8, 8) << QPoint(2, 3)
                                                 << QPoint(1, 0) << uint(0xff000000) << QPoint(5, 5);
    QTest::newRow("24-bit, mask rows bottom-up") << trueColourCursor() << QSize(4, 4) << QPoint(1, 1)
                                                 << QPoint(3, 3) << uint(0xffff0000) << QPoint(0, 0);
    QTest::newRow("PNG image") << pngCursor() << QSize(16, 16) << QPoint(15, 0) << QPoint(4, 4)
                               << uint(0xff008000) << QPoint(-1, -1);
}

void TestShellParts::cursorFileVariants() {
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QFETCH(QPoint, hotSpot);
    QFETCH(QPoint, probe);
    QFETCH(uint, probeColour);
    QFETCH(QPoint, transparentAt);
    const auto cursor = parseCursorFile(bytes);
    QVERIFY2(cursor, qPrintable(cursor ? QString() : net::reasonText(cursor.failure())));
    QCOMPARE(cursor->image.size(), size);
    QCOMPARE(cursor->hotSpot, hotSpot);
    QCOMPARE(uint(cursor->image.pixel(probe)), probeColour);
    if (transparentAt.x() >= 0)
        QCOMPARE(qAlpha(cursor->image.pixel(transparentAt)), 0);
}

void TestShellParts::damagedCursorFilesAreRefused_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = trueColourCursor();
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("a bitmap, not a cursor") << QByteArray("BM") + QByteArray(60, '\0');
    QTest::newRow("directory only") << good.left(6);
    QTest::newRow("image cut short") << good.left(good.size() - 20);
    QByteArray offsetPastEnd = good;
    offsetPastEnd[18] = char(0x7f);
    QTest::newRow("image offset past the end") << offsetPastEnd;
    QByteArray compressed = good;
    compressed[22 + 16] = 1; // BI_RLE8
    QTest::newRow("compressed bitmap") << compressed;
    QTest::newRow("PNG signature with garbage")
        << cursorAround(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(40, 'x'), 16, QPoint());
}

void TestShellParts::damagedCursorFilesAreRefused() {
    QFETCH(QByteArray, bytes);
    const auto cursor = parseCursorFile(bytes);
    QVERIFY(!cursor);
    QVERIFY(net::reasonText(cursor.failure()).startsWith(QStringLiteral("Invalid picture")));
}

// ---- File routines ----

void TestShellParts::fileExistsNeverFails_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exists");
    QTest::newRow("a file") << QStringLiteral(VARNOLUX_SOURCE_DIR "/share/HAND-M.CUR") << true;
    QTest::newRow("a folder has a time too") << QStringLiteral(VARNOLUX_SOURCE_DIR "/share") << true;
    QTest::newRow("missing") << QStringLiteral(VARNOLUX_SOURCE_DIR "/share/none.cur") << false;
    QTest::newRow("empty path") << QString() << false;
    QTest::newRow("below a file") << QStringLiteral(VARNOLUX_SOURCE_DIR "/share/HAND-M.CUR/x") << false;
}

void TestShellParts::fileExistsNeverFails() {
    QFETCH(QString, path);
    QFETCH(bool, exists);
    QCOMPARE(FileExists(path), exists);
}

void TestShellParts::desktopFolderEndsInOneSeparator_data() {
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("folder");
    const QString sep = QDir::separator();
    QTest::newRow("separator added") << QStringLiteral("/home/u/Desktop")
                                     << QDir::toNativeSeparators(QStringLiteral("/home/u/Desktop")) + sep;
    QTest::newRow("no second separator")
        << QStringLiteral("/home/u/Desktop/") << QDir::toNativeSeparators(QStringLiteral("/home/u/Desktop/"));
}

void TestShellParts::desktopFolderEndsInOneSeparator() {
    QFETCH(QString, location);
    QFETCH(QString, folder);
    QCOMPARE(DesktopFolder(location), folder);
    QVERIFY_THROWS_EXCEPTION(StepFailure, DesktopFolder(QString()));
}

QTEST_MAIN(TestShellParts)
#include "tst_shellparts.moc"
