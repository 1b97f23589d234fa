// The longest wait of the owning thread's event loop while the thumbnail loader fetches and decodes
// the thumbnails of many JPEGs from a loopback nginx: a timer that wants to fire every 5 ms notes
// the longest gap it sees. The gallery draws only when that loop turns, so this is the longest it
// could freeze because of the loader.
//
// Usage: bench_thumbnail_wait [COUNT [WIDTH HEIGHT]]   (1000 pictures of 2048 x 1536 by default)

#include "shell/ThumbnailLoader.h"
#include "support/Nginx.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// A photograph's worth of detail: noise over a gradient, so the JPEG is as large as a photo's.
QImage picture(int width, int height, quint32 seed) {
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int noise = int(random.bounded(64));
            line[x] = qRgb((x * 255 / width + noise) & 0xFF, (y * 255 / height + noise) & 0xFF,
                           (seed * 40 + noise) & 0xFF);
        }
    }
    return image;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = args.size() > 1 ? args[1].toInt() : 1000;
    const int width = args.size() > 3 ? args[2].toInt() : 2048;
    const int height = args.size() > 3 ? args[3].toInt() : 1536;

    // A few distinct pictures, each served under many names.
    QTemporaryDir root;
    constexpr int distinct = 8;
    qint64 servedBytes = 0;
    for (int k = 0; k < distinct; ++k)
        if (!picture(width, height, quint32(k + 1))
                 .save(root.filePath(QStringLiteral("p%1.jpg").arg(k)), "JPEG", 90))
            qFatal("cannot write the pictures");
    QList<QByteArray> paths;
    for (int k = 0; k < count; ++k) {
        const QString name = QStringLiteral("img%1.jpg").arg(k);
        const QString source = root.filePath(QStringLiteral("p%1.jpg").arg(k % distinct));
        if (!QFile::link(source, root.filePath(name)) && !QFile::copy(source, root.filePath(name)))
            qFatal("cannot name the pictures");
        servedBytes += QFileInfo(source).size();
        paths << "/" + name.toUtf8();
    }
    Nginx nginx(root.path(), "disable_symlinks off;\n");
    if (!nginx.start()) {
        std::fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorString()));
        return 1;
    }
    QList<QByteArray> links;
    for (const QByteArray& path : paths)
        links << nginx.base() + path;

    ThumbnailLoader loader;
    loader.setRun({}, nginx.base() + "/", nginx.base() + "/");
    int arrived = 0;
    int pictures = 0;
    QElapsedTimer clock;
    QObject::connect(&loader, &ThumbnailLoader::ready, [&](const Thumbnail& thumbnail) {
        ++arrived;
        pictures += thumbnail.image.isNull() ? 0 : 1;
        if (arrived == count)
            app.quit();
    });

    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setInterval(5);
    qint64 longest = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
    clock.start();
    sinceTick.start();
    tick.start();
    // The gallery scrolled to the end at once: every link wanted, the first most.
    loader.want(links);
    QTimer::singleShot(600000, &app, &QCoreApplication::quit);
    app.exec();
    longest = std::max(longest, sinceTick.elapsed());
    const double seconds = clock.elapsed() / 1000.0;
    std::printf("%d thumbnails (%d pictures) of %d x %d JPEGs, %.1f MB, in %.1f s (%.0f a second); "
                "cache %.1f MB\n",
                arrived, pictures, width, height, servedBytes / 1e6, seconds, arrived / seconds,
                loader.cacheCost() / 1e6);
    std::printf("event loop: longest wait %lld ms\n", static_cast<long long>(longest));
    return arrived == count ? 0 : 1;
}
