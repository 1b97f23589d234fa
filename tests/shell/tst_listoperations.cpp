#include "ShellTestSupport.h"

#include "core/ErrorTrap.h"
#include "core/MemoryImageList.h"
#include "shell/ListOperations.h"

#include <QTest>

namespace {

// A list on which ticking some entries fails, as a control can refuse an operation.
class FailingList : public MemoryImageList {
public:
    QList<int> failOn;
    void setTicked(int entry, bool ticked) override {
        if (failOn.contains(entry))
            throw StepFailure(QStringLiteral("Entry %1 refused").arg(entry));
        MemoryImageList::setTicked(entry, ticked);
    }
};

class FixedPointer : public MousePointer {
public:
    explicit FixedPointer(Pointer pointer) : m_pointer(pointer) {}
    Pointer pointer() const override { return m_pointer; }
    void setPointer(Pointer pointer) override { m_pointer = pointer; }

private:
    Pointer m_pointer;
};

QString ticks(const ImageList& list) {
    QString result;
    for (int i = 1; i <= list.count(); ++i)
        result += list.ticked(i) ? u'x' : u'.';
    return result;
}

} // namespace

class TestListOperations : public QObject {
    Q_OBJECT
private slots:
    void tickAll_data();
    void tickAll();
    void failingEntryIsReportedAndSkipped_data();
    void failingEntryIsReportedAndSkipped();
    void clearList_data();
    void clearList();
};

void TestListOperations::tickAll_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("check");
    QTest::addColumn<QString>("after");
    QTest::newRow("Check All on an empty list") << QString() << true << QString();
    QTest::newRow("Uncheck All on an empty list") << QString() << false << QString();
    QTest::newRow("Check All ticks every entry")
        << QStringLiteral(".x..x") << true << QStringLiteral("xxxxx");
    QTest::newRow("Uncheck All unticks every entry")
        << QStringLiteral("xx.x") << false << QStringLiteral("....");
}

void TestListOperations::tickAll() {
    QFETCH(QString, before);
    QFETCH(bool, check);
    QFETCH(QString, after);
    MemoryImageList list;
    for (qsizetype i = 0; i < before.size(); ++i) {
        list.add("http://h/" + QByteArray::number(i) + ".jpg");
        list.setTicked(int(i + 1), before[i] == u'x');
    }
    RecordingMessages boxes;
    if (check)
        checkAllEntries(list, boxes);
    else
        uncheckAllEntries(list, boxes);
    QCOMPARE(ticks(list), after);
    QVERIFY(boxes.messages.isEmpty());
}

void TestListOperations::failingEntryIsReportedAndSkipped_data() {
    QTest::addColumn<bool>("check");
    QTest::addColumn<QString>("tag");
    QTest::newRow("Check All") << true << QStringLiteral("in Trevalin2021/08/31.Form1.PushButton7_Click ");
    QTest::newRow("Uncheck All") << false << QStringLiteral("in Trevalin2021/08/31.Form1.PushButton8_Click ");
}

void TestListOperations::failingEntryIsReportedAndSkipped() {
    QFETCH(bool, check);
    QFETCH(QString, tag);
    FailingList list;
    for (int i = 1; i <= 4; ++i) {
        list.add("http://h/" + QByteArray::number(i) + ".jpg");
        list.setTicked(i, !check);
    }
    list.failOn = {2, 3};
    RecordingMessages boxes;
    if (check)
        checkAllEntries(list, boxes);
    else
        uncheckAllEntries(list, boxes);
    // The failing entries keep their tick, the walk goes on, one report per failure in order.
    QCOMPARE(ticks(list), check ? QStringLiteral("x..x") : QStringLiteral(".xx."));
    QCOMPARE(boxes.messages.size(), 2);
    QCOMPARE(boxes.messages[0].text,
             QStringLiteral("Entry 2 refused\r\n") + tag +
                 QStringLiteral("at line 102\r\rPlease email screenshot of this message to "
                                "support@quennick.com"));
    QVERIFY(boxes.messages[1].text.startsWith(QStringLiteral("Entry 3 refused\r\n")));
    QCOMPARE(boxes.messages[1].title, QStringLiteral("Application Error"));
}

void TestListOperations::clearList_data() {
    QTest::addColumn<int>("pointer");
    QTest::addColumn<int>("entriesBefore");
    QTest::addColumn<int>("entriesAfter");
    QTest::newRow("clears when idle") << int(Pointer::Default) << 3 << 0;
    QTest::newRow("clears with the hand pointer") << int(Pointer::Hand) << 3 << 0;
    QTest::newRow("refuses while a run shows busy") << int(Pointer::Busy) << 3 << 3;
    QTest::newRow("empty list stays empty") << int(Pointer::Default) << 0 << 0;
}

void TestListOperations::clearList() {
    QFETCH(int, pointer);
    QFETCH(int, entriesBefore);
    QFETCH(int, entriesAfter);
    MemoryImageList list;
    for (int i = 1; i <= entriesBefore; ++i)
        list.add("http://h/" + QByteArray::number(i) + ".gif");
    RecordingMessages boxes;
    FixedPointer mouse{Pointer(pointer)};
    ::clearList(list, mouse, boxes);
    QCOMPARE(list.count(), entriesAfter);
    QCOMPARE(mouse.pointer(), Pointer(pointer));
    QVERIFY(boxes.messages.isEmpty());
}

QTEST_GUILESS_MAIN(TestListOperations)
#include "tst_listoperations.moc"
