// Reading an image's width and height from its first bytes: whichever reader reads them, each
// format's header gives what it says, and what no reader can tell yet stays open.

#include "probe/ImageHeader.h"
#include "support/ImageBytes.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using State = ImageDimensions::State;

QByteArray encoded(int width, int height, const char* format) {
    return imagebytes::encoded(imagebytes::filled(width, height, Qt::darkCyan), format);
}

} // namespace

Q_DECLARE_METATYPE(State)

class ImageHeaderTest : public QObject {
    Q_OBJECT

private slots:
    void readsWhatTheHeaderSays_data();
    void readsWhatTheHeaderSays();
    void svgOpensNoFileOfThisMachine_data();
    void svgOpensNoFileOfThisMachine();
};

void ImageHeaderTest::readsWhatTheHeaderSays_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<State>("state");
    QTest::addColumn<QSize>("size");

    const QByteArray png = encoded(321, 123, "PNG");
    QTest::newRow("PNG") << png << true << State::Known << QSize(321, 123);
    // Qt's PNG reader reads on to the first chunk after the header before it tells.
    QTest::newRow("PNG cut inside its header chunks needs more")
        << png.left(40) << false << State::NeedMore << QSize();
    QTest::newRow("PNG signature over a header that is not one needs more")
        << QByteArray("\x89PNG\r\n\x1A\n", 8) + QByteArray(600, 'x') << false << State::NeedMore << QSize();
    QTest::newRow("PNG signature over a header that is not one, complete: unknown")
        << QByteArray("\x89PNG\r\n\x1A\n", 8) + QByteArray(600, 'x') << true << State::Unknown << QSize();
    QTest::newRow("JPEG") << encoded(640, 480, "JPEG") << true << State::Known << QSize(640, 480);
    QTest::newRow("JPEG with 100 KB of Exif: its first 64 KiB need more")
        << imagebytes::jpegWithExif(640, 480, 100000).left(64 * 1024) << false << State::NeedMore << QSize();
    QTest::newRow("JPEG with 100 KB of Exif: read once the frame is in")
        << imagebytes::jpegWithExif(640, 480, 100000) << true << State::Known << QSize(640, 480);
    QTest::newRow("JPEG cut before its frame, complete: unknown")
        << imagebytes::jpegWithExif(640, 480, 100000).left(64 * 1024) << true << State::Unknown << QSize();
    QTest::newRow("GIF claiming 65,535 x 65,535")
        << imagebytes::gifClaiming(65535, 65535) << true << State::Known << QSize(65535, 65535);
    QTest::newRow("BMP, named by no signature")
        << encoded(17, 9, "BMP") << true << State::Known << QSize(17, 9);
    if (QImageWriter::supportedImageFormats().contains("webp"))
        QTest::newRow("WebP") << encoded(50, 40, "WEBP") << true << State::Known << QSize(50, 40);
    QTest::newRow("SVG") << QByteArray(
                                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"300\"/>")
                         << true << State::Known << QSize(400, 300);
    QTest::newRow("HTML under an image's name: unknown")
        << "<!doctype html><title>login</title>" + QByteArray(600, ' ') << false << State::Unknown << QSize();
    QTest::newRow("a few bytes of nothing known yet need more")
        << QByteArray("\0\1\2", 3) << false << State::NeedMore << QSize();
    QTest::newRow("nothing, complete: unknown") << QByteArray() << true << State::Unknown << QSize();
}

void ImageHeaderTest::readsWhatTheHeaderSays() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, complete);
    QFETCH(State, state);
    QFETCH(QSize, size);
    const ImageDimensions read = probe::readDimensions(bytes, complete);
    QCOMPARE(read.state, state);
    if (state == State::Known)
        QCOMPARE(read.size, size);
}

void ImageHeaderTest::svgOpensNoFileOfThisMachine_data() {
    QTest::addColumn<QByteArray>("reference"); // the attribute naming the pipe; %1 stands for its path
    QTest::addColumn<bool>("complete");

    for (const bool complete : {true, false}) {
        QTest::addRow("href, %s", complete ? "whole" : "so far") << QByteArray("href=\"%1\"") << complete;
        QTest::addRow("xlink:href, %s", complete ? "whole" : "so far")
            << QByteArray("xlink:href=\"%1\"") << complete;
        QTest::addRow("file: address, %s", complete ? "whole" : "so far")
            << QByteArray("href=\"file://%1\"") << complete;
    }
}

// A picture from the web that names a pipe of this machine would, read naively, open it and wait
// for a writer that never comes, holding up the transfer loop. A watcher stands ready to answer
// such an opening, so a fault shows as a failure, not as a hung test.
void ImageHeaderTest::svgOpensNoFileOfThisMachine() {
    QFETCH(QByteArray, reference);
    QFETCH(bool, complete);
    if (!QImageReader::supportedImageFormats().contains("svg"))
        QSKIP("no SVG reader");
    QTemporaryDir folder;
    const QByteArray pipe = QFile::encodeName(folder.filePath(QStringLiteral("pipe")));
    QCOMPARE(mkfifo(pipe.constData(), 0600), 0);
    std::atomic<bool> opened = false;
    std::atomic<bool> done = false;
    std::thread watcher([&] {
        while (!done) {
            // Succeeds only while somebody has the pipe open for reading.
            const int fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                opened = true;
                ::close(fd);
            }
            usleep(1000);
        }
    });
    const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                           "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"300\" height=\"200\">"
                           "<image width=\"10\" height=\"10\" " +
                           QByteArray(reference).replace("%1", pipe) + "/></svg>";
    const ImageDimensions read = probe::readDimensions(svg, complete);
    done = true;
    watcher.join();
    QVERIFY(!opened);
    QCOMPARE(read.state, State::Known);
    QCOMPARE(read.size, QSize(300, 200));
}

QTEST_GUILESS_MAIN(ImageHeaderTest)
#include "tst_imageheader.moc"
