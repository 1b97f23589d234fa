// The longest wait of the event loop while the program fetches: a timer that wants to fire every
// 5 ms notes the longest gap it sees during a download run of one page's images and during a
// listing run of one page. The window repaints only when the loop turns, so this is the longest
// it could freeze.
//
// Usage: bench_loop_wait DOWNLOAD_PAGE_URL FOLDER LIST_PAGE_URL
//        bench_loop_wait list|download ARGUMENTS...
// The second form runs that command line of the program in this process, with every option the
// command takes (--parallel 16, --find browser, ...), its output where the command puts it, and
// prints "event loop: longest wait N ms" on standard error at the end.
// With VARNOLUX_LOOP_WAIT_TRACE=MS set, a watchdog prints the stack of the loop's thread on
// standard error each time the loop has not turned for MS ms: where the long waits are.

#include "cli/CliDownloadHost.h"
#include "cli/CliHost.h"
#include "cli/Commands.h"
#include "core/Product.h"
#include "discovery/ListingJob.h"
#include "download/DownloadRun.h"
#include "net/RunSetup.h"
#include "support/ListToEnd.h"
#include "support/RunToEnd.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

namespace {

std::atomic<qint64> lastTurnNs{0};

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void printStack(int) {
    void* frames[64];
    const int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    static const char end[] = "----\n";
    (void)!write(STDERR_FILENO, end, sizeof end - 1);
}

// Interrupts the loop's thread once per wait longer than thresholdMs, to print where it is.
void startWatchdog(qint64 thresholdMs) {
    // backtrace() loads its unwinder on first use, which allocates: never inside the handler.
    void* warmUp[1];
    backtrace(warmUp, 1);
    std::signal(SIGUSR2, printStack);
    const pthread_t loopThread = pthread_self();
    std::thread([loopThread, thresholdMs] {
        qint64 reported = -1;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const qint64 last = lastTurnNs.load();
            if (last != 0 && last != reported && nowNs() - last > thresholdMs * 1000000) {
                reported = last;
                pthread_kill(loopThread, SIGUSR2);
            }
        }
    }).detach();
}

// The command line's listing: no folder to check, no "Done." to show.
ListingJob::Options noFolderNoDone() {
    ListingJob::Options options;
    options.checkFolder = false;
    options.announceDone = false;
    return options;
}

qint64 longestWaitDuring(const std::function<bool()>& work) {
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setInterval(5);
    qint64 longest = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.restart());
        lastTurnNs = nowNs();
    });
    sinceTick.start();
    lastTurnNs = nowNs();
    tick.start();
    if (!work())
        return -1;
    return std::max(longest, sinceTick.elapsed());
}

// The list or download command to its end, the event loop turning meanwhile.
int commandToEnd(const QString& command, const QStringList& args) {
    std::optional<int> exitCode;
    QEventLoop wait;
    const auto start = command == QLatin1StringView("list") ? cli::startList : cli::startDownload;
    const auto running = start(args, [&](int code) {
        exitCode = code;
        wait.quit();
    });
    if (!exitCode)
        wait.exec();
    return *exitCode;
}

} // namespace

int main(int argc, char** argv) {
    // As the program's command line runs (see runCommandLine).
    if (argc > 1 && (qstrcmp(argv[1], "list") == 0 || qstrcmp(argv[1], "download") == 0) &&
        !qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    if (const int traceMs = qEnvironmentVariableIntValue("VARNOLUX_LOOP_WAIT_TRACE"); traceMs > 0)
        startWatchdog(traceMs);
    QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    if (command == QLatin1StringView("list") || command == QLatin1StringView("download")) {
        // As the program's own entry sets it up: settings and messages name the product.
        QCoreApplication::setApplicationName(product::name);
        args.removeFirst();
        int exitCode = 0;
        const qint64 wait = longestWaitDuring([&] {
            exitCode = commandToEnd(command, args);
            return true;
        });
        std::fflush(stdout);
        std::fprintf(stderr, "event loop: longest wait %lld ms\n", static_cast<long long>(wait));
        return exitCode;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DOWNLOAD_PAGE_URL FOLDER LIST_PAGE_URL\n", argv[0]);
        return 2;
    }
    const QString downloadPage = QString::fromLocal8Bit(argv[1]);
    const QString folder = QString::fromLocal8Bit(argv[2]);
    const QString listPage = QString::fromLocal8Bit(argv[3]);

    const qint64 download = longestWaitDuring([&] {
        const net::NetworkRun network;
        CliHost listing(downloadPage, nullptr);
        DiscoveryState state;
        ListingJob job(listing, state, network.setup());
        if (listToEnd(job, QStringLiteral("JPG"), noFolderNoDone()) != ListingOutcome::Done)
            return false;
        CliDownloadHost host(listing.list(), folder, stderr, false);
        DownloadRun run(host, network.setup());
        return runToEnd(run, {.announceEnd = false}) == DownloadOutcome::Done;
    });
    const qint64 list = longestWaitDuring([&] {
        const net::NetworkRun network;
        CliHost listing(listPage, nullptr);
        DiscoveryState state;
        ListingJob job(listing, state, network.setup());
        return listToEnd(job, QStringLiteral("JPG,GIF,PNG"), noFolderNoDone()) == ListingOutcome::Done;
    });
    std::printf("event loop: longest wait during the download %lld ms, during the page listing %lld ms\n",
                static_cast<long long>(download), static_cast<long long>(list));
    return download < 0 || list < 0 ? 1 : 0;
}
