#include "ShellTestSupport.h"

#include "core/ErrorTrap.h"
#include "download/DownloadOptions.h"
#include "shell/SettingsStore.h"

#include <QFile>
#include <QTest>

class TestSettingsStore : public QObject {
    Q_OBJECT
private slots:
    void init() { m_settings = std::make_unique<TemporarySettings>(); }
    void cleanup() { m_settings.reset(); }

    void readsBackExactlyWhatWasWritten_data();
    void readsBackExactlyWhatWasWritten();
    void absentKeysGiveTheirDefaults_data();
    void absentKeysGiveTheirDefaults();
    void desktopDefaultFailsEvenWhenAFolderIsStored();
    void checkBoxKeysTickOnlyAtNumericOne_data();
    void checkBoxKeysTickOnlyAtNumericOne();
    void everyWriteReachesTheDiskAtOnce();
    void handEditedListValueReadsAsText();
    void damagedFileGivesDefaultsAndOneNotice();
    void unwritableLocationKeepsValuesAndTellsOnce();
    void downloadOptionsAreReadWithTheirRanges_data();
    void downloadOptionsAreReadWithTheirRanges();
    void pacingSettingsAreReadWithTheirRules_data();
    void pacingSettingsAreReadWithTheirRules();

private:
    std::unique_ptr<TemporarySettings> m_settings;
};

namespace {
QString desktop() {
    return QStringLiteral("/home/someone/Desktop/");
}
} // namespace

void TestSettingsStore::readsBackExactlyWhatWasWritten_data() {
    QTest::addColumn<int>("setting");
    QTest::addColumn<QString>("value");
    QTest::newRow("key with a blank, empty value") << int(Setting::WebSite) << QString();
    QTest::newRow("address with query")
        << int(Setting::WebSite) << QStringLiteral("http://host/a b?x=1&y=2#f");
    QTest::newRow("comma list stays one text") << int(Setting::XFilter) << QStringLiteral("BMP, PNG,,");
    QTest::newRow("leading and trailing blanks kept") << int(Setting::XFilter) << QStringLiteral("  JPG  ");
    QTest::newRow("non-ASCII path") << int(Setting::Text2) << QStringLiteral("/home/Zoë/Bilder – 写真/");
    QTest::newRow("backslashes") << int(Setting::Text2) << QStringLiteral("C:\\Images\\");
    QTest::newRow("INI punctuation") << int(Setting::LastFolderDot) << QStringLiteral("a;b#c=\"d\"[e]");
    QTest::newRow("text that looks like a typed value")
        << int(Setting::WebSite) << QStringLiteral("@Variant(x)");
    QTest::newRow("line breaks") << int(Setting::WebSite) << QStringLiteral("a\nb\r\tc");
    QTest::newRow("check box text kept as written") << int(Setting::Jpg) << QStringLiteral("1.0");
}

void TestSettingsStore::readsBackExactlyWhatWasWritten() {
    QFETCH(int, setting);
    QFETCH(QString, value);
    RecordingMessages boxes;
    {
        SettingsStore store(boxes, desktop);
        store.write(Setting(setting), value);
    }
    // A new store, as at the next start of the program.
    SettingsStore store(boxes, desktop);
    QCOMPARE(store.read(Setting(setting)), value);
    QVERIFY(boxes.messages.isEmpty());
}

void TestSettingsStore::absentKeysGiveTheirDefaults_data() {
    QTest::addColumn<int>("setting");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Web Site empty") << int(Setting::WebSite) << QString();
    QTest::newRow("Text2 the desktop folder") << int(Setting::Text2) << desktop();
    QTest::newRow("JPG 1") << int(Setting::Jpg) << QStringLiteral("1");
    QTest::newRow("GIF 1") << int(Setting::Gif) << QStringLiteral("1");
    QTest::newRow("X 0") << int(Setting::X) << QStringLiteral("0");
    QTest::newRow("X Filter BMP,PNG") << int(Setting::XFilter) << QStringLiteral("BMP,PNG");
    QTest::newRow("LastFolderDot empty") << int(Setting::LastFolderDot) << QString();
}

void TestSettingsStore::absentKeysGiveTheirDefaults() {
    QFETCH(int, setting);
    QFETCH(QString, expected);
    RecordingMessages boxes;
    SettingsStore store(boxes, desktop);
    QCOMPARE(store.read(Setting(setting)), expected);
    // Reading never creates a key.
    QVERIFY(m_settings->keys().isEmpty());
}

void TestSettingsStore::desktopDefaultFailsEvenWhenAFolderIsStored() {
    m_settings->put(QStringLiteral("Text2"), QStringLiteral("/stored/"));
    RecordingMessages boxes;
    SettingsStore store(boxes, []() -> QString { throw StepFailure(QStringLiteral("no desktop")); });
    QVERIFY_THROWS_EXCEPTION(StepFailure, store.read(Setting::Text2));
    // Keys without the desktop default are unaffected.
    QCOMPARE(store.read(Setting::XFilter), QStringLiteral("BMP,PNG"));
}

void TestSettingsStore::checkBoxKeysTickOnlyAtNumericOne_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("ticked");
    QTest::newRow("1 ticks") << QStringLiteral("1") << true;
    QTest::newRow("1.0 ticks") << QStringLiteral("1.0") << true;
    QTest::newRow("01 ticks") << QStringLiteral("01") << true;
    QTest::newRow("leading blanks skipped") << QStringLiteral("  1") << true;
    QTest::newRow("number followed by text") << QStringLiteral("1abc") << true;
    QTest::newRow("exponent") << QStringLiteral("0.1e1") << true;
    QTest::newRow("2 does not") << QStringLiteral("2") << false;
    QTest::newRow("0 does not") << QStringLiteral("0") << false;
    QTest::newRow("empty does not") << QString() << false;
    QTest::newRow("a word does not") << QStringLiteral("yes") << false;
    QTest::newRow("minus one does not") << QStringLiteral("-1") << false;
    QTest::newRow("1.5 does not") << QStringLiteral("1.5") << false;
    QTest::newRow("text before the number does not") << QStringLiteral("x1") << false;
}

void TestSettingsStore::checkBoxKeysTickOnlyAtNumericOne() {
    QFETCH(QString, stored);
    QFETCH(bool, ticked);
    m_settings->put(QStringLiteral("JPG"), stored);
    RecordingMessages boxes;
    SettingsStore store(boxes, desktop);
    QCOMPARE(store.readTick(Setting::Jpg), ticked);
}

void TestSettingsStore::everyWriteReachesTheDiskAtOnce() {
    RecordingMessages boxes;
    SettingsStore store(boxes, desktop);
    const QString address = QStringLiteral("http://ex");
    // As if typed: one write per character, each readable by another process at once.
    for (qsizetype n = 1; n <= address.size(); ++n) {
        store.write(Setting::WebSite, address.left(n));
        QCOMPARE(m_settings->stored(QStringLiteral("Web Site")), address.left(n));
    }
    store.writeTick(Setting::X, true);
    QCOMPARE(m_settings->stored(QStringLiteral("X")), QStringLiteral("1"));
    store.writeTick(Setting::X, false);
    QCOMPARE(m_settings->stored(QStringLiteral("X")), QStringLiteral("0"));
}

void TestSettingsStore::handEditedListValueReadsAsText() {
    QDir().mkpath(m_settings->path() + QStringLiteral("/Quennick"));
    QFile file(m_settings->fileName());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Varnolux]\nX%20Filter=BMP,PNG\n");
    file.close();
    RecordingMessages boxes;
    SettingsStore store(boxes, desktop);
    QCOMPARE(store.read(Setting::XFilter), QStringLiteral("BMP,PNG"));
}

void TestSettingsStore::damagedFileGivesDefaultsAndOneNotice() {
    QDir().mkpath(m_settings->path() + QStringLiteral("/Quennick"));
    const QByteArray damaged("[Varnolux\nJPG=0\nWeb%20Site=http://kept/\n");
    QFile file(m_settings->fileName());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(damaged);
    file.close();

    RecordingMessages boxes;
    SettingsStore store(boxes, desktop);
    QCOMPARE(store.readTick(Setting::Jpg), true);
    QCOMPARE(store.read(Setting::WebSite), QString());
    store.write(Setting::WebSite, QStringLiteral("http://new/"));
    store.writeTick(Setting::Jpg, false);
    // Values written this session are read back from memory.
    QCOMPARE(store.read(Setting::WebSite), QStringLiteral("http://new/"));
    QCOMPARE(store.readTick(Setting::Jpg), false);
    QVERIFY(!store.saving());
    QCOMPARE(boxes.messages.size(), 1);
    QVERIFY(boxes.messages[0].text.contains(QStringLiteral("Settings cannot be saved")));
    // The damaged file is left as the user had it.
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), damaged);
}

void TestSettingsStore::unwritableLocationKeepsValuesAndTellsOnce() {
    // A plain file where the store's folder should be: nothing can be written below it, even
    // by a user who may write anywhere.
    QFile blocker(m_settings->path() + QStringLiteral("/Quennick"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    RecordingMessages boxes;
    SettingsStore store(boxes, desktop);
    store.write(Setting::WebSite, QStringLiteral("http://a/"));
    store.write(Setting::WebSite, QStringLiteral("http://ab/"));
    store.writeTick(Setting::Gif, false);
    QCOMPARE(store.read(Setting::WebSite), QStringLiteral("http://ab/"));
    QCOMPARE(store.readTick(Setting::Gif), false);
    QCOMPARE(boxes.messages.size(), 1);
    QVERIFY(boxes.messages[0].text.startsWith(QStringLiteral("Settings cannot be saved to ")));
    QCOMPARE(boxes.messages[0].icon, MessageIcon::None);
}

void TestSettingsStore::downloadOptionsAreReadWithTheirRanges_data() {
    QTest::addColumn<QString>("parallel"); // stored texts; empty: never written
    QTest::addColumn<QString>("onExists");
    QTest::addColumn<QString>("retries");
    QTest::addColumn<int>("expectParallel");
    QTest::addColumn<int>("expectOnExists");
    QTest::addColumn<int>("expectRetries");

    QTest::newRow("never written: one at a time, replace, no retry")
        << QString() << QString() << QString() << 1 << int(OnExists::Replace) << 0;
    QTest::newRow("stored values are used") << QStringLiteral("8") << QStringLiteral("rename")
                                            << QStringLiteral("3") << 8 << int(OnExists::Rename) << 3;
    QTest::newRow("the range ends are allowed") << QStringLiteral("16") << QStringLiteral("skip")
                                                << QStringLiteral("100") << 16 << int(OnExists::Skip) << 100;
    QTest::newRow("out of range or hand-damaged values fall back to the defaults")
        << QStringLiteral("17") << QStringLiteral("Overwrite") << QStringLiteral("-1") << 1
        << int(OnExists::Replace) << 0;
    QTest::newRow("no number at all") << QStringLiteral("many") << QStringLiteral("") << QStringLiteral("2x")
                                      << 1 << int(OnExists::Replace) << 0;
}

void TestSettingsStore::downloadOptionsAreReadWithTheirRanges() {
    QFETCH(QString, parallel);
    QFETCH(QString, onExists);
    QFETCH(QString, retries);
    RecordingMessages boxes;
    SettingsStore store(boxes, desktop);
    if (!parallel.isEmpty())
        store.write(Setting::Parallel, parallel);
    if (!onExists.isEmpty())
        store.write(Setting::OnExists, onExists);
    if (!retries.isEmpty())
        store.write(Setting::Retries, retries);
    const DownloadOptions options = storedDownloadOptions(store);
    QTEST(options.parallel, "expectParallel");
    QTEST(int(options.onExists), "expectOnExists");
    QTEST(options.retries, "expectRetries");
    // None of the others is set here: they stay off.
    QCOMPARE(options.limitRate, 0);
    QCOMPARE(options.waitMs, 0);
    QVERIFY(options.cookieFile.isEmpty() && options.archive.isEmpty());
}

void TestSettingsStore::pacingSettingsAreReadWithTheirRules_data() {
    QTest::addColumn<QString>("limitRate");
    QTest::addColumn<QString>("wait");
    QTest::addColumn<qint64>("expectRate");
    QTest::addColumn<qint64>("expectWaitMs");
    QTest::newRow("as the command line takes them")
        << QStringLiteral("500k") << QStringLiteral("1.5") << qint64(500 * 1024) << qint64(1500);
    QTest::newRow("malformed values are off")
        << QStringLiteral("5X") << QStringLiteral("abc") << qint64(0) << qint64(0);
    QTest::newRow("a negative wait is off") << QString() << QStringLiteral("-1") << qint64(0) << qint64(0);
}

void TestSettingsStore::pacingSettingsAreReadWithTheirRules() {
    QFETCH(QString, limitRate);
    QFETCH(QString, wait);
    RecordingMessages boxes;
    SettingsStore store(boxes, desktop);
    store.write(Setting::LimitRate, limitRate);
    store.write(Setting::Wait, wait);
    const DownloadOptions options = storedDownloadOptions(store);
    QTEST(options.limitRate, "expectRate");
    QTEST(options.waitMs, "expectWaitMs");
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
