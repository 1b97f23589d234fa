// How long the window's list takes to show 40,000 links added one at a time, the way the link
// scanner adds them. Target: under one second, also when the event loop runs after every entry.
//   build/bench/bench_imagelist_fill            (event loop every 15 ms, as the scanner yields)
//   build/bench/bench_imagelist_fill --every    (event loop after every entry)
#include "shell/ImageListView.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool everyEntry = argc > 1 && std::strcmp(argv[1], "--every") == 0;
    constexpr int total = 40000;

    ImageListView view;
    view.addColumn(QStringLiteral(" Web Site File(s)"));
    view.resize(520, 128);
    view.show();
    QApplication::processEvents();

    ImageList& list = view.list();
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer slice;
    slice.start();
    for (int i = 1; i <= total; ++i) {
        const QByteArray link = "http://host.example/gallery/images/picture" + QByteArray::number(i) + ".jpg";
        if (!list.contains(link)) {
            const int entry = list.add(link);
            list.setTicked(entry, true);
            list.scrollTo(entry);
        }
        if (everyEntry || slice.elapsed() >= 15) {
            QApplication::processEvents();
            slice.restart();
        }
    }
    while (view.model()->rowCount() < total)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    view.repaint();
    const qint64 ms = clock.elapsed();
    std::printf("%d entries shown in %lld ms (%s)\n", total, static_cast<long long>(ms),
                everyEntry ? "event loop after every entry" : "event loop every 15 ms");
    return ms < 1000 ? 0 : 1;
}
