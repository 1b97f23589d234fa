#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Ui.h"
#include "shell/CommandCapture.h"
#include "shell/OnlineCheck.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace std::chrono_literals;

namespace {

class RecordingMessages : public MessageBoxes {
public:
    struct Shown {
        QString text;
        MessageIcon icon;
        QString title;
    };
    void show(const QString& text, MessageIcon icon, const QString& title) override {
        shown.append({text, icon, title});
    }
    QList<Shown> shown;
};

bool processAlive(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

} // namespace

// RunCommand and CheckOnline against stand-in shell scripts, never the real network.
class TestOnlineCheck : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_scripts = 0;

    // Writes a shell script and returns a command line that runs it.
    QString script(const QByteArray& body, bool executable = true) {
        const QString path = m_dir.filePath(QStringLiteral("stand-in %1.sh").arg(++m_scripts));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write a stand-in script");
        file.write("#!/bin/sh\n" + body + '\n');
        file.close();
        if (executable)
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return u'"' + path + u'"';
    }
    QString marker() const { return m_dir.filePath(QStringLiteral("ran")); }

private slots:
    void init() {
        QFile::remove(marker());
        Cancellation::reset();
    }
    void cleanup() { Cancellation::reset(); }

    void capture_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<bool>("wantOutput");
        QTest::addColumn<bool>("wantErrors");
        QTest::addColumn<bool>("convertFromOem");
        QTest::addColumn<QString>("expected");

        QTest::newRow("chunks written with pauses are joined in order")
            << QByteArray("printf 'one '; sleep 0.2; printf 'two '; sleep 0.2; printf three") << QString()
            << true << false << true << QStringLiteral("one two three");

        QString lines;
        for (int i = 0; i < 500; ++i)
            lines += QStringLiteral("line %1\n").arg(i, 3, 10, QLatin1Char('0'));
        QTest::newRow("output of many reads arrives whole")
            << QByteArray("i=0; while [ $i -lt 500 ]; do printf 'line %03d\\n' $i; i=$((i+1)); done")
            << QString() << true << false << true << lines;

        QString interleaved;
        for (int i = 0; i < 30; ++i)
            interleaved += QStringLiteral("out %1\nerr %1\n").arg(i);
        const QByteArray bothStreams =
            "i=0; while [ $i -lt 30 ]; do printf 'out %d\\n' $i; printf 'err %d\\n' $i >&2; "
            "i=$((i+1)); done";
        QTest::newRow("both streams share one channel in write order")
            << bothStreams << QString() << true << true << false << interleaved;
        QTest::newRow("only output wanted drops standard error")
            << QByteArray("printf 'out\\n'; printf 'err\\n' >&2; printf 'more\\n'") << QString() << true
            << false << false << QStringLiteral("out\nmore\n");
        QTest::newRow("only errors wanted drops standard output")
            << QByteArray("printf 'out\\n'; printf 'err\\n' >&2; printf 'more\\n' >&2") << QString() << false
            << true << false << QStringLiteral("err\nmore\n");

        const QByteArray nonAscii = "printf 'Antwort von 1.2.3.4: \\303\\251t\\303\\251 \\342\\202\\254\\n'";
        QTest::newRow("non-ASCII bytes are the locale's text, from OEM")
            << nonAscii << QString() << true << false << true
            << QStringLiteral("Antwort von 1.2.3.4: été €\n");
        QTest::newRow("non-ASCII bytes are the locale's text, plain")
            << nonAscii << QString() << true << false << false
            << QStringLiteral("Antwort von 1.2.3.4: été €\n");
        // One write of 1,025 bytes: the first read ends inside the two bytes of the accented letter.
        QTest::newRow("a character split by a read boundary stays whole")
            << QByteArray("printf '%s\\303\\251' \"$(head -c 1023 /dev/zero | tr '\\000' a)\"") << QString()
            << true << false << true << QString(1023, u'a') + u'é';

        QTest::newRow("no output is the empty text")
            << QByteArray(":") << QString() << true << true << true << QString();
        QTest::newRow("output ends when the pipe closes, not when the child exits")
            << QByteArray("(sleep 0.3; printf late) & printf 'early '") << QString() << true << false << true
            << QStringLiteral("early late");
        QTest::newRow("the child's input is empty, so a reader of it ends")
            << QByteArray("cat; printf done") << QString() << true << false << true << QStringLiteral("done");
        QTest::newRow("quoted arguments reach the command whole")
            << QByteArray("printf '%s|' \"$@\"") << QStringLiteral(" \"a b\" c") << true << false << true
            << QStringLiteral("a b|c|");
    }
    void capture() {
        QFETCH(QByteArray, body);
        QFETCH(QString, arguments);
        QFETCH(bool, wantOutput);
        QFETCH(bool, wantErrors);
        QFETCH(bool, convertFromOem);
        QFETCH(QString, expected);
        QCOMPARE(RunCommand(script(body) + arguments, wantOutput, wantErrors, convertFromOem), expected);
    }

    void commandThatCannotStart_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<bool>("wantErrors");
        QTest::newRow("missing program named by path")
            << QStringLiteral("/nonexistent/varnolux/ping -c 1") << false;
        QTest::newRow("missing program on the search path")
            << QStringLiteral("varnolux-no-such-ping -c 1") << true;
        QTest::newRow("blank command line") << QStringLiteral("   ") << false;
        QTest::newRow("file without execute permission") << script("printf 'bytes from'", false) << true;
    }
    void commandThatCannotStart() {
        QFETCH(QString, commandLine);
        QFETCH(bool, wantErrors);
        QCOMPARE(RunCommand(commandLine, true, wantErrors, true), commandCapture::failedToStart);
    }

    void neitherStreamIsError5() {
        const QString command = script("touch \"" + marker().toLocal8Bit() + '"');
        try {
            RunCommand(command, false, false, true);
            QFAIL("no failure raised");
        } catch (const StepFailure& failure) {
            QCOMPARE(QString::fromUtf8(failure.what()), QStringLiteral("Invalid procedure call or argument"));
        }
        QVERIFY2(!QFile::exists(marker()), "the command ran");
    }

    void pipeThatCannotBeMadeGivesEmptyText() {
#if defined(Q_OS_UNIX)
        const QString command = script("touch \"" + marker().toLocal8Bit() + "\"; printf 'bytes from'");
        // With the file limit just above the lowest free descriptor, only one new descriptor fits.
        const int lowestFree = ::open("/dev/null", O_RDONLY);
        QVERIFY(lowestFree >= 0);
        ::close(lowestFree);
        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(lowestFree) + 1;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &tight) == 0);
        const QString captured = RunCommand(command, true, false, true);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QCOMPARE(captured, QString());
        QVERIFY2(!QFile::exists(marker()), "the command ran");
#else
        QSKIP("needs a per-process file limit");
#endif
    }

    void cancelledBeforeStartRunsNothing() {
        Cancellation::request();
        QCOMPARE(RunCommand(script("touch \"" + marker().toLocal8Bit() + '"'), true, false, true), QString());
        QVERIFY2(!QFile::exists(marker()), "the command ran");
    }

    void cutShortWaitKillsTheChild_data() {
        QTest::addColumn<bool>("byCancellation");
        QTest::newRow("the program closing ends the wait") << true;
        QTest::newRow("the time limit ends the wait") << false;
    }
    void cutShortWaitKillsTheChild() {
        QFETCH(bool, byCancellation);
        const QString pidFile = m_dir.filePath(QStringLiteral("pid"));
        QFile::remove(pidFile);
        const QByteArray pidPath = pidFile.toLocal8Bit();
        // Without an interruption the child would hold the pipe open for an hour.
        const QString command = script("printf started; echo $$ > \"" + pidPath + ".new\"; mv \"" + pidPath +
                                       ".new\" \"" + pidPath + "\"; exec sleep 3600");
        QFileSystemWatcher watcher({m_dir.path()});
        if (byCancellation) {
            connect(&watcher, &QFileSystemWatcher::directoryChanged, this, [&] {
                if (QFile::exists(pidFile))
                    Cancellation::request();
            });
        }
        const QString captured = RunCommand(command, true, false, true, byCancellation ? 0ms : 2000ms);
        QVERIFY2(QStringLiteral("started").startsWith(captured), qPrintable(captured));
        QTRY_VERIFY(QFile::exists(pidFile));
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const qint64 pid = file.readAll().trimmed().toLongLong();
        QVERIFY(pid > 0);
        // The child is killed and then reaped once its end is noticed.
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), 10000);
    }

    void checkOnline_data() {
        QTest::addColumn<QByteArray>("standIn");
        QTest::addColumn<bool>("warns");
        QTest::newRow("Windows reply line is online")
            << QByteArray("printf 'Pinging x [1.2.3.4] with 32 bytes of data:\\r\\n"
                          "Reply from 1.2.3.4: bytes=32 time=14ms TTL=117\\r\\n'")
            << false;
        QTest::newRow("Windows reply in other letter case is online")
            << QByteArray("printf 'Antwort von 1.2.3.4: BYTES=32 Zeit=14ms TTL=117\\r\\n'") << false;
        QTest::newRow("Linux reply line is online")
            << QByteArray("printf 'PING x (1.2.3.4) 56(84) bytes of data.\\n"
                          "64 bytes from 1.2.3.4: icmp_seq=1 ttl=117 time=14.2 ms\\n'")
            << false;
        QTest::newRow("Linux reply in other letter case is online")
            << QByteArray("printf '64 Bytes From 1.2.3.4: icmp_seq=1 ttl=117 time=14.2 ms\\n'") << false;
        QTest::newRow("reply line split across chunks is online")
            << QByteArray("printf '64 by'; sleep 0.2; printf 'tes fr'; sleep 0.2; printf 'om 1.2.3.4\\n'")
            << false;
        QTest::newRow("Linux header and 100% packet loss warns")
            << QByteArray("printf 'PING x (1.2.3.4) 56(84) bytes of data.\\n\\n--- x ping statistics ---\\n"
                          "1 packets transmitted, 0 received, 100%% packet loss, time 0ms\\n'")
            << true;
        QTest::newRow("Linux destination unreachable warns")
            << QByteArray("printf 'From 10.0.0.1 icmp_seq=1 Destination Host Unreachable\\n'") << true;
        QTest::newRow("Windows request timed out warns")
            << QByteArray("printf 'Pinging x [1.2.3.4] with 32 bytes of data:\\r\\nRequest timed out.\\r\\n'")
            << true;
        QTest::newRow("Windows reply without bytes= warns")
            << QByteArray("printf 'Reply from 192.168.1.1: Destination host unreachable.\\r\\n'") << true;
        QTest::newRow("unknown host on standard error is not read and warns")
            << QByteArray("printf 'ping: x: Name or service not known\\n' >&2; printf '64 bytes from' >&2")
            << true;
        QTest::newRow("empty output warns") << QByteArray(":") << true;
        QTest::newRow("missing ping warns") << QByteArray() << true;
    }
    void checkOnline() {
        QFETCH(QByteArray, standIn);
        QFETCH(bool, warns);
        RecordingMessages boxes;
        CheckOnline(boxes, standIn.isNull() ? QStringLiteral("/nonexistent/varnolux/ping") : script(standIn));
        QCOMPARE(boxes.shown.size(), warns ? 1 : 0);
        if (warns) {
            QCOMPARE(boxes.shown[0].text,
                     QStringLiteral("You must be online to use this software accurately."));
            QCOMPARE(boxes.shown[0].icon, MessageIcon::None);
            QCOMPARE(boxes.shown[0].title, QString());
        }
    }

    void closingProgramShowsNoWarning() {
        RecordingMessages boxes;
        Cancellation::request();
        CheckOnline(boxes, QStringLiteral("/nonexistent/varnolux/ping"));
        QCOMPARE(boxes.shown.size(), 0);
    }

    // The system's own ping against the loopback address: its reply line must count as online.
    void systemPingOnLoopbackIsOnline() {
        if (QStandardPaths::findExecutable(QStringLiteral("ping")).isEmpty())
            QSKIP("no ping installed");
        const QString command = QStringLiteral("ping -c 1 -W 2 127.0.0.1");
        const QString complaint = RunCommand(command, false, true, false);
        if (!complaint.isEmpty())
            QSKIP(qPrintable(QStringLiteral("ping cannot run here: ") + complaint));
        RecordingMessages boxes;
        CheckOnline(boxes, command);
        QCOMPARE(boxes.shown.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestOnlineCheck)
#include "tst_onlinecheck.moc"
