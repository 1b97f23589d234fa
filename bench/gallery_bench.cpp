// The longest wait of the window's event loop while the gallery loads 1,000 thumbnails: a real
// nginx on 127.0.0.1 serves 1,000 JPEG pictures, the list is filled with their links, the gallery
// is shown and scrolled a page at a time, each page once its thumbnails have come (or once none
// has come for a while), so that every one of them is asked for. A timer that wants to fire every
// 5 ms notes the longest gap it sees; the window repaints only when the loop turns, so that is the
// longest the gallery could freeze. Target: under 50 ms.
//
// Usage: bench/gallery_bench [COUNT [PATIENCE_MS]]   (COUNT 1000; PATIENCE_MS 500: how long a page
// waits for its next thumbnail before the gallery scrolls on). Runs on the offscreen platform
// unless QT_QPA_PLATFORM names another. The settings live in a temporary folder.

#include "shell/GalleryWindow.h"
#include "shell/ImageListView.h"
#include "shell/SettingsStore.h"
#include "shell/ThumbnailLoader.h"
#include "support/Nginx.h"
#include "support/RecordingUi.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// Pictures of a few sizes, each of its own colours, so every thumbnail is decoded for real.
bool writePictures(const QString& folder, int count) {
    const QSize sizes[] = {{1600, 1200}, {800, 600}, {1200, 1600}, {640, 480}, {2000, 1000}};
    for (int i = 0; i < count; ++i) {
        QImage image(sizes[i % 5], QImage::Format_RGB32);
        QLinearGradient gradient(0, 0, image.width(), image.height());
        gradient.setColorAt(0, QColor::fromHsv((i * 37) % 360, 160, 220));
        gradient.setColorAt(1, QColor::fromHsv((i * 91) % 360, 200, 120));
        QPainter painter(&image);
        painter.fillRect(image.rect(), gradient);
        painter.setPen(Qt::white);
        painter.drawEllipse(image.rect().adjusted(40, 40, -40, -40));
        painter.end();
        if (!image.save(QStringLiteral("%1/picture%2.jpg").arg(folder).arg(i), "JPEG", 85))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const int patienceMs = argc > 2 ? QByteArray(argv[2]).toInt() : 500;
    if (count < 1 || patienceMs < 1) {
        std::fprintf(stderr, "usage: %s [COUNT [PATIENCE_MS]]\n", argv[0]);
        return 2;
    }

    QTemporaryDir settingsFolder;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsFolder.path());
    QTemporaryDir www;
    std::fprintf(stderr, "writing %d pictures...\n", count);
    if (!writePictures(www.path(), count)) {
        std::fprintf(stderr, "cannot write the pictures into %s\n", qPrintable(www.path()));
        return 1;
    }
    Nginx nginx(www.path());
    if (!Nginx::installed() || !nginx.start()) {
        std::fprintf(stderr, "nginx: %s\n",
                     Nginx::installed() ? qPrintable(nginx.errorString()) : "not installed");
        return 1;
    }

    RecordingMessages messages;
    SettingsStore store(messages, [] { return QString(); });
    ImageListModel list;
    ThumbnailLoader loader;
    GalleryWindow gallery(nullptr, list, store, std::make_unique<LoaderThumbnails>(loader),
                          [] { return GalleryRun{}; });
    gallery.resize(1000, 800);
    gallery.show();
    for (int i = 0; i < count; ++i)
        list.setTicked(list.add(nginx.base() + "/picture" + QByteArray::number(i) + ".jpg"), true);
    list.flush();

    QSet<QByteArray> shown;
    QElapsedTimer sinceThumbnail;
    sinceThumbnail.start();
    QObject::connect(&gallery.thumbnails(), &ThumbnailSource::ready, [&](const Thumbnail& thumbnail) {
        if (!thumbnail.image.isNull())
            shown.insert(thumbnail.link);
        sinceThumbnail.restart();
    });

    // The probe: the longest gap between two turns of a 5 ms timer.
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });

    // Scrolls on once every wanted thumbnail of the page is known, or none came for a while.
    QElapsedTimer clock;
    QList<QByteArray> scrolledFrom;
    QTimer scroll;
    scroll.setInterval(20);
    QObject::connect(&scroll, &QTimer::timeout, [&] {
        const QList<QByteArray> wanted = gallery.wanted();
        // The gallery asks for a page's pictures a moment after the scroll; until then the
        // last page's list stands.
        if (wanted == scrolledFrom && sinceThumbnail.elapsed() < patienceMs)
            return;
        bool pageDone = !wanted.isEmpty();
        // Facts from a header alone are no thumbnail yet: the page waits for the picture or
        // the reason there is none.
        for (const QByteArray& link : wanted) {
            const Thumbnail* known = gallery.thumbnails().known(link);
            pageDone =
                pageDone && known && (!known->image.isNull() || !known->message.isEmpty() || known->failed);
        }
        if (!pageDone && sinceThumbnail.elapsed() < patienceMs)
            return;
        QScrollBar* bar = gallery.view()->verticalScrollBar();
        if (bar->value() >= bar->maximum()) {
            scroll.stop();
            app.quit();
            return;
        }
        scrolledFrom = wanted;
        bar->setValue(bar->value() + bar->pageStep());
        sinceThumbnail.restart();
    });

    QTimer::singleShot(0, [&] {
        clock.start();
        sinceTick.start();
        tick.start();
        scroll.start();
    });
    app.exec();
    const qint64 seconds = clock.elapsed() / 1000;
    std::printf("gallery: %d entries, %lld thumbnails shown in %lld s; longest event-loop wait %lld ms "
                "(target under 50 ms): %s\n",
                count, static_cast<long long>(shown.size()), static_cast<long long>(seconds),
                static_cast<long long>(longest), longest < 50 ? "met" : "NOT met");
    return 0;
}
