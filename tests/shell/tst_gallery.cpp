// The gallery window: the list's own ticks seen and given through it, its filter bar and sort
// orders, its keys, its settings and its place, with thumbnails handed in by the test.
#include "TestWindow.h"

#include "shell/GalleryModel.h"
#include "shell/GalleryWindow.h"
#include "shell/ImageListView.h"
#include "shell/PreviewWindow.h"
#include "shell/ThumbnailLoader.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>

namespace {

// Thumbnails as the test hands them in; records what the gallery asked for.
class FakeThumbnails : public ThumbnailSource {
public:
    QList<QList<QByteArray>> wants;
    int clears = 0;
    int runs = 0;
    QByteArray referer;
    QHash<QByteArray, Thumbnail> cache;

    void setRun(const GalleryRun& run) override {
        ++runs;
        referer = run.referer;
    }
    void want(const QList<QByteArray>& links) override { wants << links; }
    const Thumbnail* known(const QByteArray& link) const override {
        const auto found = cache.constFind(link);
        return found == cache.cend() ? nullptr : &*found;
    }
    void clear() override {
        ++clears;
        cache.clear();
    }
    void give(const QByteArray& link, QSize pixels, qint64 bytes, const QString& type) {
        Thumbnail thumbnail;
        thumbnail.link = link;
        thumbnail.pixelSize = pixels;
        thumbnail.bytes = bytes;
        thumbnail.type = type;
        if (pixels.isValid()) {
            thumbnail.image = QImage(pixels.scaled(thumbnails::edge, thumbnails::edge, Qt::KeepAspectRatio),
                                     QImage::Format_RGB32);
            thumbnail.image.fill(Qt::darkCyan);
        } else {
            thumbnail.message = type;
        }
        cache.insert(link, thumbnail);
        emit ready(cache[link]);
    }
};

QByteArray link(const char* name) {
    return QByteArray("http://127.0.0.1:9/pics/") + name;
}

// The five entries most tests list, with what their thumbnails tell.
struct Sample {
    const char* name;
    QSize pixels;
    qint64 bytes;
    const char* type; // nullptr: no thumbnail has come
};
const Sample samples[] = {
    {"a.jpg", QSize(640, 480), 50000, "JPEG"}, {"b.png", QSize(100, 100), 5000, "PNG"},
    {"c.gif", QSize(), -1, nullptr},           {"photo-BIG.jpg?w=2000", QSize(2000, 1000), 300000, "JPEG"},
    {"d.png", QSize(), 900, "HTML page"},
};

// A loaded window whose gallery takes its thumbnails from the test.
struct GalleryTest {
    TemporarySettings settings;
    TestWindow test;
    FakeThumbnails* fake = nullptr;
    Form1* window = nullptr;

    Form1& start() {
        Form1Seams seams = test.seams();
        seams.thumbnails = [this] {
            auto made = std::make_unique<FakeThumbnails>();
            fake = made.get();
            return made;
        };
        test.window = std::make_unique<Form1>(seams);
        window = test.window.get();
        window->Form_Load();
        window->show();
        return *window;
    }
    ImageListModel& list() { return window->findChild<ImageListView*>(QStringLiteral("ListView1"))->list(); }
    void fill(int count = int(std::size(samples))) {
        for (int i = 0; i < count; ++i) {
            const int entry =
                list().add(i < int(std::size(samples)) ? link(samples[i].name)
                                                       : link("many/") + QByteArray::number(i) + ".jpg");
            list().setTicked(entry, true);
        }
        list().flush();
    }
    GalleryWindow& open() {
        window->action(QStringLiteral("actionGallery"))->trigger();
        GalleryWindow* gallery = window->gallery();
        Q_ASSERT(gallery && gallery->isVisible());
        gallery->settle();
        return *gallery;
    }
    void giveSamples() {
        for (const Sample& sample : samples)
            if (sample.type)
                fake->give(link(sample.name), sample.pixels, sample.bytes, QString::fromLatin1(sample.type));
        window->gallery()->settle();
    }
    // The entries in the gallery's order.
    QList<int> shown() {
        QList<int> entries;
        GalleryWindow& gallery = *window->gallery();
        for (int row = 0; row < gallery.model().rowCount(); ++row)
            entries << gallery.entryOf(gallery.model().index(row, 0));
        return entries;
    }
    QList<int> ticked() {
        QList<int> entries;
        for (int entry = 1; entry <= list().count(); ++entry)
            if (list().ticked(entry))
                entries << entry;
        return entries;
    }
    template <typename T = QWidget> T* control(const char* name) {
        return window->gallery()->findChild<T*>(QString::fromLatin1(name));
    }
    void setControl(const QString& name, const QString& value) {
        QWidget* widget = window->gallery()->findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name));
        if (auto* spin = qobject_cast<QSpinBox*>(widget))
            spin->setValue(value.toInt());
        else if (auto* edit = qobject_cast<QLineEdit*>(widget))
            edit->setText(value);
        else if (auto* combo = qobject_cast<QComboBox*>(widget))
            combo->setCurrentIndex(combo->findData(value));
        window->gallery()->settle();
    }
};

QString count(int shown, int of, int ticked) {
    return QStringLiteral("showing %1 of %2, %3 ticked").arg(shown).arg(of).arg(ticked);
}

} // namespace

class TestGallery : public QObject {
    Q_OBJECT
private slots:
    void sizeText_data();
    void sizeText();
    void typeNames_data();
    void typeNames();
    void ticksFollowBothWays();
    void filterHidesAndUnticks_data();
    void filterHidesAndUnticks();
    void thumbnailArrivingLaterHidesAndUnticks();
    void sortOrders_data();
    void sortOrders();
    void keysTickTheSelection_data();
    void keysTickTheSelection();
    void selectAllActsOnWhatIsShown();
    void listOperationsShowInTheGallery_data();
    void listOperationsShowInTheGallery();
    void onlyTheVisibleEntriesAreWanted();
    void fetchesNameTheListedPage_data();
    void fetchesNameTheListedPage();
    void enterPreviewsTheCurrentEntry();
    void settingsWrittenOnlyWhenChanged();
    void placedWhollyOnScreen_data();
    void placedWhollyOnScreen();
    void closesWithTheMainWindow();
};

void TestGallery::sizeText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::newRow("empty: no limit") << "" << qint64(0) << true;
    QTest::newRow("bytes") << "20000" << qint64(20000) << true;
    QTest::newRow("k is 1024") << "20k" << qint64(20480) << true;
    QTest::newRow("M with a fraction and B") << "1.5MB" << qint64(1572864) << true;
    QTest::newRow("blank between number and unit") << " 2 m " << qint64(2097152) << true;
    QTest::newRow("words are no size") << "big" << qint64(0) << false;
    QTest::newRow("negative is no size") << "-5" << qint64(0) << false;
    QTest::newRow("a unit alone is no size") << "k" << qint64(0) << false;
}

void TestGallery::sizeText() {
    QFETCH(QString, text);
    QFETCH(qint64, bytes);
    QFETCH(bool, valid);
    const std::optional<qint64> parsed = gallery::parseSize(text);
    QCOMPARE(parsed.has_value(), valid);
    if (valid)
        QCOMPARE(*parsed, bytes);
}

void TestGallery::typeNames_data() {
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<QString>("type");
    QTest::newRow("JPG is JPEG") << QByteArray("http://h/a.JPG") << "jpeg";
    QTest::newRow("the query is no extension") << QByteArray("http://h/a.png?x=1.gif") << "png";
    QTest::newRow("no extension: unknown") << QByteArray("http://h/picture?id=3") << "";
    QTest::newRow("a dot in the host only: unknown") << QByteArray("http://h.example/") << "";
    QTest::newRow("tif is TIFF") << QByteArray("http://h/scan.tif#page") << "tiff";
}

void TestGallery::typeNames() {
    QFETCH(QByteArray, link);
    QFETCH(QString, type);
    QCOMPARE(gallery::typeOfLink(link), type);
    // What the bytes or the server say is named the same way.
    QCOMPARE(gallery::typeName(QStringLiteral("image/svg+xml; charset=utf-8")), QStringLiteral("svg"));
    QCOMPARE(gallery::typeName(QStringLiteral("image/x-icon")), QStringLiteral("ico"));
}

void TestGallery::ticksFollowBothWays() {
    GalleryTest t;
    t.start();
    t.fill();
    GalleryWindow& gallery = t.open();
    QCOMPARE(gallery.countText(), count(5, 5, 5));
    GalleryView* view = gallery.view();
    const QModelIndex first = gallery.model().index(0, 0);
    // A click on the tick in the grid is the list's tick.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, gallery.tickRect(first).center());
    QVERIFY(!t.list().ticked(1));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, gallery.tickRect(first).center());
    QVERIFY(t.list().ticked(1));
    // A click on the picture selects, and ticks nothing.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(first).center());
    QVERIFY(t.list().ticked(1));
    QCOMPARE(gallery.entryOf(view->currentIndex()), 1);
    // A tick given in the list shows in the grid and its count.
    t.list().setTicked(2, false);
    QCOMPARE(gallery.model().index(1, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    gallery.settle();
    QCOMPARE(gallery.countText(), count(5, 5, 4));
    // The gallery's current entry is the list's.
    view->setCurrentIndex(gallery.model().index(3, 0));
    QCOMPARE(t.window->currentEntry(), 4);
}

void TestGallery::filterHidesAndUnticks_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QList<int>>("shown");
    QTest::addColumn<bool>("problem");
    QTest::newRow("nothing set: every entry") << "galleryPattern"
                                              << "" << QList<int>{1, 2, 3, 4, 5} << false;
    QTest::newRow("min width: narrower hidden, unknown kept") << "galleryMinWidth"
                                                              << "200" << QList<int>{1, 3, 4, 5} << false;
    QTest::newRow("min height: lower hidden") << "galleryMinHeight"
                                              << "500" << QList<int>{3, 4, 5} << false;
    QTest::newRow("min size with k: smaller hidden, unknown kept") << "galleryMinSize"
                                                                   << "20k" << QList<int>{1, 3, 4} << false;
    QTest::newRow("min size not a size: shown, not applied") << "galleryMinSize"
                                                             << "huge" << QList<int>{1, 2, 3, 4, 5} << true;
    QTest::newRow("type: the bytes over the extension") << "galleryType"
                                                        << "png" << QList<int>{2} << false;
    QTest::newRow("type: the extension until fetched") << "galleryType"
                                                       << "gif" << QList<int>{3} << false;
    QTest::newRow("words in the link, letter case ignored") << "galleryPattern"
                                                            << "photo-big" << QList<int>{4} << false;
    QTest::newRow("regular expression") << "galleryPattern"
                                        << "/[ab]\\.(jpg|png)$" << QList<int>{1, 2} << false;
    QTest::newRow("invalid pattern: shown, not applied") << "galleryPattern"
                                                         << "photo(" << QList<int>{1, 2, 3, 4, 5} << true;
}

void TestGallery::filterHidesAndUnticks() {
    QFETCH(QString, control);
    QFETCH(QString, value);
    QFETCH(QList<int>, shown);
    QFETCH(bool, problem);
    GalleryTest t;
    t.start();
    t.fill();
    GalleryWindow& gallery = t.open();
    t.giveSamples();
    t.setControl(control, value);
    QCOMPARE(t.shown(), shown);
    // What is hidden is unticked in the list as well; what is shown keeps its tick.
    QCOMPARE(t.ticked(), shown);
    QCOMPARE(gallery.countText(), count(int(shown.size()), 5, int(shown.size())));
    QCOMPARE(!t.control<QLabel>("galleryProblem")->text().isEmpty(), problem);
    // Undoing the filter shows everything again; the ticks it took stay taken.
    t.setControl(control, control.startsWith(QLatin1StringView("galleryMin")) && control != u"galleryMinSize"
                              ? QStringLiteral("0")
                          : control == u"galleryType" ? QStringLiteral("all")
                                                      : QString());
    QCOMPARE(t.shown(), (QList<int>{1, 2, 3, 4, 5}));
    QCOMPARE(t.ticked(), shown);
}

void TestGallery::thumbnailArrivingLaterHidesAndUnticks() {
    GalleryTest t;
    t.start();
    t.fill();
    GalleryWindow& gallery = t.open();
    t.setControl(QStringLiteral("galleryMinWidth"), QStringLiteral("200"));
    QCOMPARE(t.shown(), (QList<int>{1, 2, 3, 4, 5}));
    t.fake->give(link("c.gif"), QSize(50, 50), 800, QStringLiteral("GIF"));
    // Unticked at once, hidden with the next refresh.
    QVERIFY(!t.list().ticked(3));
    QTRY_COMPARE(t.shown(), (QList<int>{1, 2, 4, 5}));
    // Entries listed while the gallery is open are held to its filter too.
    t.setControl(QStringLiteral("galleryPattern"), QStringLiteral("\\.jpg"));
    t.list().setTicked(t.list().add(link("later.png")), true);
    t.list().setTicked(t.list().add(link("later.jpg")), true);
    t.list().flush();
    gallery.settle();
    QVERIFY(!t.list().ticked(6));
    QVERIFY(t.list().ticked(7));
    QCOMPARE(t.shown(), (QList<int>{1, 4, 7}));
}

void TestGallery::sortOrders_data() {
    QTest::addColumn<QString>("order");
    QTest::addColumn<QList<int>>("entries");
    QTest::newRow("page order") << "page" << QList<int>{1, 2, 3, 4, 5};
    QTest::newRow("dimensions: most pixels first, unknown last in page order")
        << "dimensions" << QList<int>{4, 1, 2, 3, 5};
    QTest::newRow("size: largest first, unknown last") << "size" << QList<int>{4, 1, 2, 5, 3};
    QTest::newRow("name: the link's last part, letter case ignored") << "name" << QList<int>{1, 2, 3, 5, 4};
}

void TestGallery::sortOrders() {
    QFETCH(QString, order);
    QFETCH(QList<int>, entries);
    GalleryTest t;
    t.start();
    t.fill();
    t.open();
    t.giveSamples();
    auto* sort = t.control<QComboBox>("gallerySort");
    const QStringList names{QStringLiteral("page"), QStringLiteral("dimensions"), QStringLiteral("size"),
                            QStringLiteral("name")};
    sort->setCurrentIndex(int(names.indexOf(order)));
    t.window->gallery()->settle();
    QCOMPARE(t.shown(), entries);
    // The order is kept for the next start, and only once chosen.
    QCOMPARE(t.settings.stored(QStringLiteral("Gallery Sort")),
             order == u"page" ? std::optional<QString>() : std::optional<QString>(order));
}

void TestGallery::keysTickTheSelection_data() {
    QTest::addColumn<QList<int>>("untickedBefore");
    QTest::addColumn<QList<int>>("selected"); // the last is the current entry
    QTest::addColumn<QString>("how");
    QTest::addColumn<QList<int>>("ticked");
    QTest::newRow("Space toggles the current entry")
        << QList<int>{} << QList<int>{2} << "space" << QList<int>{1, 3, 4, 5};
    QTest::newRow("Space again ticks it back")
        << QList<int>{2} << QList<int>{2} << "space" << QList<int>{1, 2, 3, 4, 5};
    QTest::newRow("Space on a selection with an unticked entry ticks them all")
        << QList<int>{1, 3, 5} << QList<int>{1, 2, 3} << "space" << QList<int>{1, 2, 3, 4};
    QTest::newRow("Space on a ticked selection unticks them all")
        << QList<int>{} << QList<int>{1, 2, 4} << "space" << QList<int>{3, 5};
    QTest::newRow("Tick Selected") << QList<int>{1, 2, 3, 4, 5} << QList<int>{2, 5} << "actionTickSelected"
                                   << QList<int>{2, 5};
    QTest::newRow("Untick Selected") << QList<int>{} << QList<int>{3, 4} << "actionUntickSelected"
                                     << QList<int>{1, 2, 5};
}

void TestGallery::keysTickTheSelection() {
    QFETCH(QList<int>, untickedBefore);
    QFETCH(QList<int>, selected);
    QFETCH(QString, how);
    QFETCH(QList<int>, ticked);
    GalleryTest t;
    t.start();
    t.fill();
    GalleryWindow& gallery = t.open();
    for (int entry : untickedBefore)
        t.list().setTicked(entry, false);
    GalleryView* view = gallery.view();
    view->setFocus();
    for (int entry : selected)
        view->selectionModel()->setCurrentIndex(gallery.model().index(entry - 1, 0),
                                                QItemSelectionModel::Select);
    if (how == u"space")
        QTest::keyClick(view, Qt::Key_Space);
    else
        gallery.findChild<QAction*>(how)->trigger();
    QCOMPARE(t.ticked(), ticked);
}

void TestGallery::selectAllActsOnWhatIsShown() {
    GalleryTest t;
    t.start();
    t.fill();
    GalleryWindow& gallery = t.open();
    t.setControl(QStringLiteral("galleryPattern"), QStringLiteral("\\.png"));
    QCOMPARE(t.ticked(), (QList<int>{2, 5}));
    // A tick given in the main window to a hidden entry stands.
    t.list().setTicked(1, true);
    gallery.view()->setFocus();
    QTest::keyClick(gallery.view(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(gallery.view(), Qt::Key_Space);
    QCOMPARE(t.ticked(), QList<int>{1});
    QTest::keyClick(gallery.view(), Qt::Key_Space);
    QCOMPARE(t.ticked(), (QList<int>{1, 2, 5}));
    gallery.settle();
    QCOMPARE(gallery.countText(), count(2, 5, 3));
}

void TestGallery::listOperationsShowInTheGallery_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QList<int>>("ticked");
    QTest::addColumn<QString>("countText");
    QTest::newRow("Check All") << "PushButton7" << QList<int>{1, 2, 3, 4, 5} << count(5, 5, 5);
    QTest::newRow("Uncheck All") << "PushButton8" << QList<int>{} << count(5, 5, 0);
    QTest::newRow("Clear List") << "PushButton10" << QList<int>{} << count(0, 0, 0);
    QTest::newRow("Tick Failed Only") << "tickFailedOnly" << QList<int>{2} << count(5, 5, 1);
}

void TestGallery::listOperationsShowInTheGallery() {
    QFETCH(QString, button);
    QFETCH(QList<int>, ticked);
    QFETCH(QString, countText);
    GalleryTest t;
    t.start();
    t.fill();
    GalleryWindow& gallery = t.open();
    t.list().setTicked(1, false);
    t.list().setTicked(4, false);
    t.list().setOutcome(2, EntryOutcome::Failed, QStringLiteral("Failed: 404"));
    // The link in full over its picture, with the run's word on it.
    QCOMPARE(gallery.model().index(1, 0).data(Qt::ToolTipRole).toString(),
             QString::fromUtf8(link("b.png")) + QStringLiteral("\nFailed: 404"));
    if (button == u"tickFailedOnly")
        t.window->tickFailedOnly();
    else
        QTest::mouseClick(t.window->findChild<QWidget*>(button), Qt::LeftButton);
    gallery.settle();
    QCOMPARE(gallery.countText(), countText);
    for (int row = 0; row < gallery.model().rowCount(); ++row) {
        const int entry = gallery.entryOf(gallery.model().index(row, 0));
        QCOMPARE(gallery.model().index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked,
                 ticked.contains(entry));
    }
    if (button == u"PushButton10")
        QVERIFY(t.fake->clears > 0);
}

void TestGallery::onlyTheVisibleEntriesAreWanted() {
    GalleryTest t;
    t.start();
    t.fill(300);
    GalleryWindow& gallery = t.open();
    gallery.resize(640, 480);
    gallery.settle();
    QList<QByteArray> wanted = gallery.wanted();
    QCOMPARE(t.fake->wants.last(), wanted);
    QVERIFY(!wanted.isEmpty());
    // The first on show first; a screenful ahead at most, never the far end.
    QCOMPARE(wanted.first(), t.list().text(1));
    QVERIFY(wanted.size() < 100);
    QVERIFY(!wanted.contains(t.list().text(300)));
    QCOMPARE(t.fake->runs, 1);

    gallery.view()->scrollToBottom();
    gallery.settle();
    wanted = gallery.wanted();
    QVERIFY(wanted.contains(t.list().text(300)));
    QVERIFY(!wanted.contains(t.list().text(1)));
    // A thumbnail is drawn where its entry is: the count and order stay.
    t.fake->give(t.list().text(300), QSize(400, 300), 1234, QStringLiteral("JPEG"));
    gallery.settle();
    QCOMPARE(gallery.countText(), count(300, 300, 300));

    // Closed, it asks for nothing.
    gallery.close();
    QVERIFY(t.fake->wants.last().isEmpty());
    QVERIFY(!t.window->action(QStringLiteral("actionGallery"))->isChecked());
}

void TestGallery::fetchesNameTheListedPage_data() {
    QTest::addColumn<bool>("sendReferer");
    QTest::newRow("Referer on: the page") << true;
    QTest::newRow("Referer off: none") << false;
}

void TestGallery::fetchesNameTheListedPage() {
    QFETCH(bool, sendReferer);
    GalleryTest t;
    t.start();
    t.window->discovery().PageFinalAddress = "http://127.0.0.1:9/first.html";
    t.fill();
    t.window->action(QStringLiteral("actionSendReferer"))->setChecked(sendReferer);
    t.open();
    QCOMPARE(t.fake->referer, sendReferer ? QByteArray("http://127.0.0.1:9/first.html") : QByteArray());
    // A new listing of another page: its thumbnails name that page.
    QTest::mouseClick(t.window->findChild<QWidget*>(QStringLiteral("PushButton10")), Qt::LeftButton);
    t.window->discovery().PageFinalAddress = "http://127.0.0.1:9/second.html";
    t.fill();
    t.window->gallery()->settle();
    QCOMPARE(t.fake->runs, 2);
    QCOMPARE(t.fake->referer, sendReferer ? QByteArray("http://127.0.0.1:9/second.html") : QByteArray());
}

void TestGallery::enterPreviewsTheCurrentEntry() {
    GalleryTest t;
    t.start();
    t.fill();
    GalleryWindow& gallery = t.open();
    GalleryView* view = gallery.view();
    view->setFocus();
    view->setCurrentIndex(gallery.model().index(2, 0));
    QTest::keyClick(view, Qt::Key_Return);
    QVERIFY(t.window->preview() && t.window->preview()->isVisible());
    QCOMPARE(t.window->preview()->link(), t.list().text(3));
    QVERIFY(t.window->action(QStringLiteral("actionPreview"))->isChecked());
    // Moving on in the gallery moves the preview along.
    view->setCurrentIndex(gallery.model().index(3, 0));
    QCOMPARE(t.window->preview()->link(), t.list().text(4));
}

void TestGallery::settingsWrittenOnlyWhenChanged() {
    GalleryTest t;
    // As a hand-edited file may hold it: read as 40, and left as it stands until changed.
    t.settings.put(QStringLiteral("Gallery Min Height"), QStringLiteral(" 40"));
    t.start();
    const QStringList firstStart = t.settings.keys();
    t.fill();
    GalleryWindow& gallery = t.open();
    t.giveSamples();
    gallery.close();
    // Opened and closed as it came: nothing stored.
    QCOMPARE(t.settings.keys(), firstStart);

    t.open();
    t.setControl(QStringLiteral("galleryMinWidth"), QStringLiteral("150"));
    t.setControl(QStringLiteral("galleryType"), QStringLiteral("jpeg"));
    t.setControl(QStringLiteral("galleryPattern"), QStringLiteral("photo"));
    t.window->gallery()->move(20, 30);
    t.window->gallery()->resize(640, 360);
    t.window->gallery()->close();
    QCOMPARE(t.settings.stored(QStringLiteral("Gallery Min Width")), QStringLiteral("150"));
    QCOMPARE(t.settings.stored(QStringLiteral("Gallery Type")), QStringLiteral("jpeg"));
    QCOMPARE(t.settings.stored(QStringLiteral("Gallery Pattern")), QStringLiteral("photo"));
    QCOMPARE(t.settings.stored(QStringLiteral("Gallery Geometry")), QStringLiteral("20,30,640,360"));
    QCOMPARE(t.settings.stored(QStringLiteral("Gallery Min Height")), QStringLiteral(" 40"));
    QVERIFY(!t.settings.stored(QStringLiteral("Gallery Sort")));

    // The next start restores them all.
    t.window->close();
    t.test.window.reset();
    t.start();
    t.fill();
    GalleryWindow& again = t.open();
    QCOMPARE(t.control<QSpinBox>("galleryMinWidth")->value(), 150);
    QCOMPARE(t.control<QSpinBox>("galleryMinHeight")->value(), 40);
    QCOMPARE(t.control<QComboBox>("galleryType")->currentData().toString(), QStringLiteral("jpeg"));
    QCOMPARE(t.control<QLineEdit>("galleryPattern")->text(), QStringLiteral("photo"));
    QCOMPARE(again.pos(), QPoint(20, 30));
    QCOMPARE(again.size(), QSize(640, 360));
    QCOMPARE(t.shown(), QList<int>{4});
}

void TestGallery::placedWhollyOnScreen_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QRect>("expected"); // empty: anywhere wholly on the screen
    QTest::newRow("first time: beside the main window") << "" << QRect();
    QTest::newRow("stored place on the screen: kept") << "10,20,640,400" << QRect(10, 20, 640, 400);
    QTest::newRow("stored place off the screen: size kept, placed anew") << "5000,5000,640,400" << QRect();
    QTest::newRow("malformed: placed anew") << "10,20,wide" << QRect();
}

void TestGallery::placedWhollyOnScreen() {
    QFETCH(QString, stored);
    QFETCH(QRect, expected);
    GalleryTest t;
    if (!stored.isEmpty())
        t.settings.put(QStringLiteral("Gallery Geometry"), stored);
    t.start();
    GalleryWindow& gallery = t.open();
    const QRect available = t.window->screen()->availableGeometry();
    QVERIFY2(available.contains(gallery.frameGeometry()), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                         .arg(gallery.frameGeometry().x())
                                                                         .arg(gallery.frameGeometry().y())
                                                                         .arg(gallery.width())
                                                                         .arg(gallery.height())));
    if (!expected.isEmpty())
        QCOMPARE(QRect(gallery.pos(), gallery.size()), expected);
    if (stored.startsWith(QLatin1StringView("5000")))
        QCOMPARE(gallery.size(), QSize(640, 400));
    // Placed by the program, not moved by the user: nothing stored at its close.
    gallery.close();
    QCOMPARE(t.settings.stored(QStringLiteral("Gallery Geometry")),
             stored.isEmpty() ? std::optional<QString>() : std::optional<QString>(stored));
}

void TestGallery::closesWithTheMainWindow() {
    GalleryTest t;
    t.start();
    t.fill();
    GalleryWindow& gallery = t.open();
    t.window->close();
    QVERIFY(!gallery.isVisible());
    QVERIFY(t.fake->wants.last().isEmpty());
    t.test.window.reset();
}

QTEST_MAIN(TestGallery)
#include "tst_gallery.moc"
