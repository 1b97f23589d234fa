// The rendered mode's speed and memory, for rendered_bench.sh: Chromium's start until the first
// navigation is answered, a static page's whole 'varnolux list --find rendered', and the peak
// memory (proportional set size, shared pages split among their sharers) of Chromium's processes
// next to varnolux's own during that listing.
//
//     rendered_bench VARNOLUX RUNS   prints one "name value" line per figure (medians, ms / MiB)
//
// The page is served on 127.0.0.1 by the loopback test server in this process; Chromium gets a
// proxy that refuses everything and a resolver that knows no names, so nothing leaves the machine.

#include "discovery/ChromiumDriver.h"
#include "support/TestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

using namespace Qt::StringLiterals;

const QStringList loopbackOnly{u"--proxy-server=http://127.0.0.1:9"_s,
                               u"--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"_s};

// A static page as many are, one screen high (so settling takes its minimum): a header, a
// stylesheet with a background, 24 thumbnails in a grid.
QByteArray staticPage() {
    QByteArray page = R"(<!doctype html><html><head><title>Gallery</title>
<link rel=stylesheet href=/site.css><link rel=icon href=/icon.png></head><body>
<header><img src=/logo.png alt=logo height=40><nav><a href=/a.html>A</a> <a href=/b.html>B</a></nav></header><main>)";
    for (int i = 0; i < 24; ++i)
        page += "<a href=/photos/" + QByteArray::number(i) + ".html><img src=/photos/" +
                QByteArray::number(i) + ".jpg width=150 height=100 alt=photo></a>\n";
    return page + "</main><footer>Static</footer></body></html>";
}

QByteArray gif() {
    return QByteArray::fromBase64("R0lGODlhAQABAIAAAAAAAP///ywAAAAAAQABAAACAUwAOw==");
}

double median(QList<double> values) {
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The proportional set size of one process in KiB, 0 once it is gone.
qint64 pssKiB(qint64 pid) {
    QFile file(u"/proc/%1/smaps_rollup"_s.arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith("Pss:"))
            return line.mid(4).trimmed().split(' ').front().toLongLong();
    return 0;
}

// Every process below root (not root itself), from the parent links in /proc.
QList<qint64> descendants(qint64 root) {
    QHash<qint64, QList<qint64>> children;
    for (const QString& name : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = name.toLongLong(&number);
        if (!number)
            continue;
        QFile stat(u"/proc/%1/stat"_s.arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // "pid (comm) state ppid ...": the name may hold blanks, so read after its last ')'.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            children[fields[1].toLongLong()] << pid;
    }
    QList<qint64> found;
    QList<qint64> todo{root};
    while (!todo.isEmpty()) {
        for (qint64 child : children.value(todo.takeLast())) {
            found << child;
            todo << child;
        }
    }
    return found;
}

// Chromium started until its page is attached, then until the navigation to address is answered.
std::pair<double, double> startToNavigation(const QString& program, const QByteArray& address) {
    QTemporaryDir tmp;
    qputenv("TMPDIR", tmp.path().toUtf8());
    ChromiumProcess browser(program, loopbackOnly);
    QEventLoop loop;
    QElapsedTimer clock;
    double ready = -1;
    double navigated = -1;
    QObject::connect(&browser, &ChromiumDriver::failed, &loop, [&](const QString& reason) {
        std::fprintf(stderr, "the browser failed: %s\n", qPrintable(reason));
        loop.quit();
    });
    QObject::connect(&browser, &ChromiumDriver::ready, &loop, [&] {
        ready = double(clock.nsecsElapsed()) / 1e6;
        browser.command(u"Page.enable"_s, {});
        browser.command(u"Page.navigate"_s, {{u"url"_s, QString::fromUtf8(address)}},
                        [&](const QJsonObject&, const QString&) {
                            navigated = double(clock.nsecsElapsed()) / 1e6;
                            loop.quit();
                        });
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    clock.start();
    browser.start();
    loop.exec();
    browser.stop();
    return {ready, navigated};
}

struct Listing {
    double ms = -1;
    double browserMiB = 0;
    double oursMiB = 0;
    int lines = 0;
};

// One 'varnolux list --find rendered' of address; with sample, its memory every 20 ms (which
// takes its share of the cores, so timed runs do not sample).
Listing listOnce(const QString& varnolux, const QByteArray& address, bool sample) {
    QTemporaryDir tmp;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"TMPDIR"_s, tmp.path());
    env.insert(
        u"VARNOLUX_CHROMIUM_FLAGS"_s,
        u"--proxy-server=http://127.0.0.1:9 \"--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1\""_s);
    process.setProcessEnvironment(env);
    Listing result;
    qint64 browserPeak = 0;
    qint64 oursPeak = 0;
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const qint64 pid = process.processId();
        if (pid <= 0)
            return;
        qint64 browser = 0;
        for (qint64 child : descendants(pid))
            browser += pssKiB(child);
        browserPeak = std::max(browserPeak, browser);
        oursPeak = std::max(oursPeak, pssKiB(pid));
    });
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    process.start(varnolux, {u"list"_s, u"--find"_s, u"rendered"_s, QString::fromUtf8(address)});
    if (sample)
        sampler.start();
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    sampler.stop();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    if (process.exitCode() != 0) {
        std::fprintf(stderr, "varnolux failed: %s\n", process.readAllStandardError().constData());
        return result;
    }
    result.ms = ms;
    result.lines = int(process.readAllStandardOutput().count('\n'));
    result.browserMiB = double(browserPeak) / 1024;
    result.oursMiB = double(oursPeak) / 1024;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fputs("usage: rendered_bench VARNOLUX RUNS\n", stderr);
        return 2;
    }
    const QString program = chromiumProgram();
    if (program.isEmpty()) {
        std::fputs("rendered_bench: no chromium to run (install the \"chromium\" package)\n", stderr);
        return 2;
    }
    const int runs = std::max(1, args.at(2).toInt());

    TestServer server;
    server.route("/page.html", serve::ok(staticPage()));
    server.route("/site.css",
                 serve::ok("body { background: url(/paper.png) } main a { margin: 8px }", "text/css"));
    server.setFallback([](const RecordedRequest&) { return serve::ok(gif(), "image/gif"); });
    QObject::connect(
        &server, &TestServer::requestArrived, &server, [&] { server.clearRequests(); }, Qt::QueuedConnection);
    const QByteArray address = server.address("/page.html");

    // One listing first, unmeasured: the page cache of Chromium's files is warm for every run.
    listOnce(args.at(1), address, false);
    QList<double> ready, navigated, listed, browserMiB, oursMiB;
    int lines = 0;
    for (int i = 0; i < runs; ++i) {
        const auto [r, n] = startToNavigation(program, address);
        if (r < 0 || n < 0)
            return 1;
        ready << r;
        navigated << n;
        const Listing timed = listOnce(args.at(1), address, false);
        const Listing sampled = listOnce(args.at(1), address, true);
        if (timed.ms < 0 || sampled.ms < 0)
            return 1;
        listed << timed.ms;
        browserMiB << sampled.browserMiB;
        oursMiB << sampled.oursMiB;
        lines = timed.lines;
    }
    std::printf("start_ready_ms %.0f\n", median(ready));
    std::printf("start_navigated_ms %.0f\n", median(navigated));
    std::printf("listing_ms %.0f\n", median(listed));
    std::printf("listing_lines %d\n", lines);
    std::printf("browser_peak_mib %.1f\n", median(browserMiB));
    std::printf("ours_peak_mib %.1f\n", median(oursMiB));
    return 0;
}
