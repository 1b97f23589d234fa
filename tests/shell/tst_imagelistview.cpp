#include "ShellTestSupport.h"

#include "core/ErrorTrap.h"
#include "shell/ImageListView.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

class TestImageListView : public QObject {
    Q_OBJECT
private slots:
    void entriesAreUsableBeforeTheViewHearsOfThem();
    void viewShowsEveryEntryAfterTheEventLoopRuns();
    void fortyThousandEntriesAddedOneByOne();
    void entryNumbersOutsideTheListFail_data();
    void entryNumbersOutsideTheListFail();
    void clearEmptiesListAndDuplicateIndex();
    void userTicksReachTheList();
    void doubleClickChangesNothing();
    void rawBytesAreKeptAndShownAsUtf8();
};

void TestImageListView::entriesAreUsableBeforeTheViewHearsOfThem() {
    ImageListModel list;
    QCOMPARE(list.add("http://h/a.jpg"), 1);
    QCOMPARE(list.add("http://h/b.gif"), 2);
    list.setTicked(2, true);
    // The scanner's duplicate test and the download run read the list at once, long before the
    // view has been told about the rows.
    QCOMPARE(list.count(), 2);
    QVERIFY(list.contains("http://h/a.jpg"));
    QVERIFY(!list.contains("http://h/A.jpg"));
    QCOMPARE(list.text(2), QByteArray("http://h/b.gif"));
    QVERIFY(!list.ticked(1));
    QVERIFY(list.ticked(2));
    QCOMPARE(list.rowCount(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(list.rowCount(), 2);
    QCOMPARE(list.data(list.index(1), Qt::CheckStateRole).toInt(), int(Qt::Checked));
}

void TestImageListView::viewShowsEveryEntryAfterTheEventLoopRuns() {
    ImageListView view;
    view.resize(300, 120);
    view.addColumn(QStringLiteral(" Web Site File(s)"));
    view.show();
    ImageList& list = view.list();
    QSignalSpy inserts(view.model(), &QAbstractItemModel::rowsInserted);
    for (int i = 1; i <= 50; ++i) {
        list.add(QByteArray("http://h/") + QByteArray::number(i) + ".jpg");
        list.setTicked(i, true);
        list.scrollTo(i);
    }
    QCoreApplication::processEvents();
    // One insertion for the whole batch, and the last entry scrolled into view.
    QCOMPARE(inserts.size(), 1);
    QCOMPARE(view.model()->rowCount(), 50);
    QCOMPARE(view.model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral(" Web Site File(s)"));
    const QRect last = view.visualRect(view.model()->index(49, 0));
    QVERIFY(view.viewport()->rect().intersects(last));
    QVERIFY(view.verticalScrollBar()->value() > 0);
}

void TestImageListView::fortyThousandEntriesAddedOneByOne() {
    ImageListView view;
    view.resize(400, 200);
    view.show();
    ImageList& list = view.list();
    constexpr int total = 40000;
    for (int i = 1; i <= total; ++i) {
        const QByteArray link = "http://h/img" + QByteArray::number(i) + ".gif";
        if (list.contains(link))
            QFAIL("a new link was taken for a listed one");
        QCOMPARE(list.add(link), i);
        list.setTicked(i, true);
        list.scrollTo(i);
        // The scanner lets the event loop run every few thousand entries.
        if (i % 4096 == 0)
            QCoreApplication::processEvents();
    }
    QCOMPARE(list.count(), total);
    // The last batch follows shortly after the last entry.
    QTRY_COMPARE(view.model()->rowCount(), total);
    QCOMPARE(list.text(total), QByteArray("http://h/img40000.gif"));
    QVERIFY(list.contains("http://h/img1.gif"));
    QVERIFY(list.ticked(12345));
    QCoreApplication::processEvents();
    QVERIFY(view.viewport()->rect().intersects(view.visualRect(view.model()->index(total - 1, 0))));
}

void TestImageListView::entryNumbersOutsideTheListFail_data() {
    QTest::addColumn<int>("entry");
    QTest::newRow("zero") << 0;
    QTest::newRow("one past the end") << 3;
    QTest::newRow("negative") << -1;
}

void TestImageListView::entryNumbersOutsideTheListFail() {
    QFETCH(int, entry);
    ImageListModel list;
    list.add("a");
    list.add("b");
    QVERIFY_THROWS_EXCEPTION(StepFailure, list.text(entry));
    QVERIFY_THROWS_EXCEPTION(StepFailure, list.ticked(entry));
    QVERIFY_THROWS_EXCEPTION(StepFailure, list.setTicked(entry, true));
    QVERIFY_THROWS_EXCEPTION(StepFailure, list.scrollTo(entry));
}

void TestImageListView::clearEmptiesListAndDuplicateIndex() {
    ImageListModel list;
    list.add("http://h/a.jpg");
    QCoreApplication::processEvents();
    list.add("http://h/b.jpg"); // still waiting for the view
    list.clear();
    QCOMPARE(list.count(), 0);
    QVERIFY(!list.contains("http://h/a.jpg"));
    QCoreApplication::processEvents();
    QCOMPARE(list.rowCount(), 0);
    QCOMPARE(list.add("http://h/a.jpg"), 1);
}

void TestImageListView::userTicksReachTheList() {
    ImageListView view;
    view.addColumn(QStringLiteral("h"));
    view.resize(300, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    ImageList& list = view.list();
    list.add("http://h/a.jpg");
    list.setTicked(1, true);
    QCoreApplication::processEvents();
    // A click on the check box in front of the entry.
    const QRect row = view.visualRect(view.model()->index(0, 0));
    const QPoint box(row.left() + 10, row.center().y());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, box);
    QVERIFY(!list.ticked(1));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, box);
    QVERIFY(list.ticked(1));
}

void TestImageListView::doubleClickChangesNothing() {
    ImageListView view;
    view.addColumn(QStringLiteral("h"));
    view.resize(300, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    ImageList& list = view.list();
    list.add("http://h/a.jpg");
    list.setTicked(1, true);
    list.add("http://h/b.jpg");
    QCoreApplication::processEvents();
    const QRect row = view.visualRect(view.model()->index(0, 0));
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, QPoint(row.center().x() + 40, row.center().y()));
    QCOMPARE(list.count(), 2);
    QVERIFY(list.ticked(1));
    QCOMPARE(list.text(1), QByteArray("http://h/a.jpg"));
    QVERIFY(!view.isPersistentEditorOpen(view.model()->index(0, 0)));
}

void TestImageListView::rawBytesAreKeptAndShownAsUtf8() {
    ImageListModel list;
    const QByteArray link("http://h/caf\xc3\xa9 \"x\".jpg");
    list.add(link);
    QCoreApplication::processEvents();
    QCOMPARE(list.text(1), link);
    QCOMPARE(list.data(list.index(0), Qt::DisplayRole).toString(), QString::fromUtf8(link));
}

QTEST_MAIN(TestImageListView)
#include "tst_imagelistview.moc"
