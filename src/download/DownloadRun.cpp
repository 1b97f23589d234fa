#include "download/DownloadRun.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Folders.h"
#include "download/Collision.h"
#include "download/DownloadArchive.h"
#include "download/DownloadHost.h"
#include "download/FileName.h"
#include "download/PartFile.h"
#include "net/RunSetup.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <vector>

#include <memory>

DownloadRun::DownloadRun(DownloadHost& host, const net::RunSetup& setup)
    : m_host(host), m_setup(setup), m_options(setup.options()) {}

DownloadRun::~DownloadRun() = default;

QString DownloadRun::notAnImageNote() {
    return QStringLiteral("saved, but its body is an HTML page, not an image");
}

QString DownloadRun::endMessage(int attempted, const QList<Failure>& failures, const QList<Note>& notes) {
    auto list = [](QString& text, const QList<Failure>& items) {
        const qsizetype listed = qMin<qsizetype>(items.size(), listedFailures);
        for (qsizetype i = 0; i < listed; ++i)
            text += u'\r' + QString::fromUtf8(items[i].link) + QLatin1StringView(": ") + items[i].reason;
        if (items.size() > listed)
            text += QStringLiteral("\rand %1 more.").arg(items.size() - listed);
    };
    // The heading counts every entry listed under it.
    QString text;
    if (failures.isEmpty() && notes.isEmpty())
        text = QStringLiteral("Done.");
    else if (notes.isEmpty())
        text = QStringLiteral("%1 of %2 downloads failed:").arg(failures.size()).arg(attempted);
    else if (failures.isEmpty())
        text = QStringLiteral("%1 of %2 downloads saved an HTML page, not an image:")
                   .arg(notes.size())
                   .arg(attempted);
    else
        text = QStringLiteral("%1 of %2 downloads failed and %3 saved an HTML page, not an image:")
                   .arg(failures.size())
                   .arg(attempted)
                   .arg(notes.size());
    list(text, failures);
    list(text, notes);
    return text;
}

QString DownloadRun::stoppedMessage(int saved, int attempted, const QList<Failure>& failures,
                                    const QList<Note>& notes) {
    QString text = QStringLiteral("Stopped: %1 of %2 downloads saved.").arg(saved).arg(attempted);
    const QString rest = endMessage(attempted, failures, notes);
    if (!failures.isEmpty() || !notes.isEmpty())
        text += u'\r' + rest;
    return text;
}

DownloadRun::Entry DownloadRun::decide(ErrorTrap& trap, int i) {
    ImageList& list = m_host.imageList();
    Entry entry;
    entry.index = i;
    trap.step(120, [&] {
        entry.link = list.text(i);
        entry.name = entry.link;
    });
    if (trap.condition(122, [&] { return entry.name.endsWith('/'); }))
        trap.step(124, [&] { entry.name.chop(1); });
    trap.step(126, [&] { entry.name = fileName::lastPart(entry.name); });
    ++m_attempted;
    m_host.entryStarted(i, m_attempted, entry.link);

    // The name must stay inside the folder; the folder text is read afresh, as typed now.
    net::Result usable = fileName::checkFileName(entry.name);
    trap.step(128, [&] {
        entry.folder = m_host.folderText();
        if (usable.ok() && entry.folder.isEmpty())
            usable = {net::Status::Failed, QStringLiteral("no destination folder is given")};
        // A folder removed or retyped during the run costs its entries, not a request each.
        else if (usable.ok() && !FolderExists(entry.folder))
            usable = net::Result::localFile(
                QStringLiteral("the folder %1 does not exist").arg(QDir::toNativeSeparators(entry.folder)));
        entry.path = fileName::pathInFolder(entry.folder, entry.name);
    });
    entry.refused = !usable.ok();
    entry.result.reason = net::reasonText(usable);
    return entry;
}

bool DownloadRun::claimDestination(Entry& entry) {
    if (m_archive && m_archive->contains(entry.link)) {
        entry.result.skipped = true;
        entry.result.reason = QStringLiteral("in the download archive");
        return false;
    }
    switch (m_options.onExists) {
    case OnExists::Replace:
        return true;
    case OnExists::Skip: {
        if (fileName::pathTaken(entry.path)) {
            entry.result.skipped = true;
            entry.result.reason = QStringLiteral("the file exists");
            return false;
        }
        return true;
    }
    case OnExists::Rename: {
        if (const net::Result reserved = collision::reserve(entry.folder, entry.name, entry.path);
            !reserved.ok()) {
            entry.result.reason = net::reasonText(reserved);
            return false;
        }
        entry.reserved = entry.path;
        return true;
    }
    }
    return true;
}

void DownloadRun::account(Entry& entry) {
    DownloadResult& result = entry.result;
    if (!entry.reserved.isEmpty() && !result.saved)
        fileName::removeFile(entry.reserved);
    if (result.saved) {
        ++m_saved;
        m_bytes += result.bytes;
        // The file is in place before its link is recorded, so a crash between the two costs a
        // second download at most, never a missing image.
        if (m_archive && !m_archiveFailed) {
            if (const net::Result recorded = m_archive->append(entry.link); !recorded.ok()) {
                m_archiveFailed = true;
                m_host.messages().show(net::reasonText(recorded));
            }
        }
        if (result.kind == BodyKind::Html)
            m_notes.append({entry.link, notAnImageNote()});
    } else if (result.skipped) {
        ++m_skipped;
    } else if (result.cancelled) {
        // Cut off by a stop, not failed: the stopped run says so once for all.
    } else {
        if (result.reason.isEmpty())
            result.reason = QStringLiteral("the download failed");
        m_failures.append({entry.link, result.reason});
    }
    m_host.entryFinished(entry.index, entry.link, entry.path, result);
}

bool DownloadRun::runSequential(ErrorTrap& trap, DownloadEngine& engine, int n) {
    ImageList& list = m_host.imageList();
    bool cancelled = false;
    for (int i = 1; i <= n && !cancelled; ++i) {
        trap.step(116, [&] { m_host.pointer().setPointer(Pointer::Busy); });
        // The tick is read when the run gets here, so a change made meanwhile counts.
        if (trap.condition(118, [&] { return list.ticked(i); })) {
            Entry entry = decide(trap, i);
            if (!entry.refused && claimDestination(entry)) {
                // Requests sent early would not keep the pause between requests to one host.
                if (!m_pacer) {
                    QList<QByteArray> coming = upcoming(i + 1, n);
                    coming.prepend(entry.link);
                    engine.expect(coming);
                }
                trap.step(130, [&] { entry.result = engine.DownloadFile(entry.link, entry.path); });
            }
            account(entry);
            cancelled = entry.result.cancelled || Cancellation::requested();
        }
        trap.step(132, [&] { m_host.progress().setValue(i); });
    }
    return cancelled;
}

namespace {

// The message boxes of a lane: what its downloads would show is shown by the run in its own
// thread once the entry is accounted for.
class CollectedMessages : public MessageBoxes {
public:
    struct Shown {
        QString text;
        MessageIcon icon;
        QString title;
    };
    void show(const QString& text, MessageIcon icon, const QString& title) override {
        m_shown.append({text, icon, title});
    }
    QList<Shown> take() { return std::exchange(m_shown, {}); }

private:
    QList<Shown> m_shown;
};

class NoBar : public ProgressDisplay {
public:
    void setText(const QString&) override {}
    void setMaximum(int) override {}
    void setValue(int) override {}
};

// One thread that downloads one entry at a time with its own transfer, and so its own
// connections. Everything but the thread itself is made and destroyed in it.
struct Lane {
    struct Work {
        std::unique_ptr<net::TransferFactory> factory;
        std::unique_ptr<net::Transfer> transfer;
        NoBar bar;
        CollectedMessages boxes;
        std::unique_ptr<DownloadEngine> engine;
    };
    QThread thread;
    QObject* context = nullptr;
    std::unique_ptr<Work> work;
    bool busy = false;
    QString host;
    QString path;
    // The current file's bytes so far and its length (-1 unknown), written by the lane's thread.
    std::atomic<qint64> received = 0;
    std::atomic<qint64> expected = -1;
};

QString hostOf(const QByteArray& link) {
    const QUrl url = QUrl::fromEncoded(net::wireAddress(link.trimmed()), QUrl::TolerantMode);
    return url.scheme().toLower() + QLatin1StringView("://") + url.host().toLower() + u':' +
           QString::number(url.port(-1));
}

} // namespace

bool DownloadRun::runParallel(ErrorTrap& trap, int n) {
    ImageList& list = m_host.imageList();
    const int lanes = qMin(m_options.parallel, DownloadOptions::maxParallel);
    // Made here first, so it lives in this thread and not in a lane's.
    Cancellation::instance();
    std::vector<std::unique_ptr<Lane>> pool;
    QObject home; // completions come back to this thread through it
    QEventLoop* waiting = nullptr;
    struct Done {
        Lane* lane;
        Entry entry;
        QList<CollectedMessages::Shown> shown;
    };
    QList<Done> done;

    for (int l = 0; l < lanes; ++l) {
        auto lane = std::make_unique<Lane>();
        lane->context = new QObject;
        lane->context->moveToThread(&lane->thread);
        lane->thread.start();
        pool.push_back(std::move(lane));
    }
    auto start = [&](Lane& lane, Entry entry) {
        lane.busy = true;
        lane.received = 0;
        lane.expected = -1;
        lane.host = hostOf(entry.link);
        lane.path = entry.path;
        Lane* self = &lane;
        QMetaObject::invokeMethod(lane.context, [this, self, entry, &home, &done, &waiting]() mutable {
            if (!self->work) {
                self->work = std::make_unique<Lane::Work>();
                self->work->factory = m_setup.laneTransfers();
                self->work->transfer = self->work->factory->create();
                self->work->engine = std::make_unique<DownloadEngine>(*self->work->transfer, self->work->bar,
                                                                      self->work->boxes);
                self->work->engine->setRefererPage(m_setup.refererFor(m_refererPage));
                self->work->engine->setOptions(m_options);
                self->work->engine->setPacer(m_pacer);
                self->work->engine->setProgressListener([self](qint64 received, qint64 expected) {
                    self->received = received;
                    self->expected = expected;
                });
            }
            entry.result = self->work->engine->DownloadFile(entry.link, entry.path);
            QList<CollectedMessages::Shown> shown = self->work->boxes.take();
            QMetaObject::invokeMethod(&home, [self, entry, shown, &done, &waiting] {
                done.append({self, entry, shown});
                if (waiting)
                    waiting->quit();
            });
        });
    };
    auto busyLanes = [&] {
        return int(std::count_if(pool.begin(), pool.end(), [](const auto& lane) { return lane->busy; }));
    };
    // The bar shows the run, not one file: entries done of those ticked, each file in transfer
    // counting for its share of bytes where its length is known.
    ProgressDisplay& bar = m_host.progress();
    int total = 0;
    trap.step(132, [&] {
        for (int j = 1; j <= n; ++j)
            total += list.ticked(j) ? 1 : 0;
    });
    const int unit = total > 0 && total <= std::numeric_limits<int>::max() / 100 ? 100 : 1;
    int finished = 0;
    const QLocale numbers(QLocale::English);
    auto showProgress = [&] {
        total = qMax(total, finished + busyLanes());
        qint64 value = qint64(finished) * unit;
        qint64 received = 0;
        qint64 expected = 0;
        bool lengthsKnown = true;
        for (const auto& lane : pool) {
            if (!lane->busy)
                continue;
            const qint64 got = lane->received;
            const qint64 length = lane->expected;
            received += got;
            if (length > 0) {
                expected += length;
                value += qMin(got, length) * unit / length;
            } else {
                lengthsKnown = false;
            }
        }
        QString text =
            QStringLiteral("Downloading %1 at once: %2 of %3 done").arg(lanes).arg(finished).arg(total);
        if (busyLanes() > 0 && received > 0)
            text +=
                lengthsKnown
                    ? QStringLiteral(", %1 of %2 KB in transfer")
                          .arg(numbers.toString((received + 1023) / 1024),
                               numbers.toString((expected + 1023) / 1024))
                    : QStringLiteral(", %1 KB in transfer").arg(numbers.toString((received + 1023) / 1024));
        trap.step(132, [&] {
            bar.setMaximum(qMax(1, total * unit));
            bar.setValue(int(qMin<qint64>(value, qint64(total) * unit)));
            bar.setText(text);
        });
    };
    QTimer ticker;
    ticker.setInterval(100);
    QObject::connect(&ticker, &QTimer::timeout, &home, showProgress);
    showProgress();
    ticker.start();

    // Takes in what has come back, in the order it came.
    bool cancelled = false;
    auto collect = [&] {
        while (!done.isEmpty()) {
            Done d = done.takeFirst();
            d.lane->busy = false;
            d.lane->path.clear();
            for (const auto& box : std::as_const(d.shown))
                m_host.messages().show(box.text, box.icon, box.title);
            account(d.entry);
            cancelled = cancelled || d.entry.result.cancelled || Cancellation::requested();
            ++finished;
            showProgress();
        }
    };
    auto waitForOne = [&] {
        if (done.isEmpty()) {
            QEventLoop loop;
            waiting = &loop;
            loop.exec();
            waiting = nullptr;
        }
        collect();
    };

    std::optional<Entry> held; // decided, waiting for its host or its file name to be free
    for (int i = 1; (i <= n || held) && !cancelled;) {
        if (!held) {
            while (busyLanes() == lanes)
                waitForOne();
            if (cancelled)
                break;
            trap.step(116, [&] { m_host.pointer().setPointer(Pointer::Busy); });
            const int index = i++;
            // The tick is read when a lane is free for the entry, so a change made meanwhile counts.
            if (!trap.condition(118, [&] { return list.ticked(index); }))
                continue;
            held = decide(trap, index);
            if (held->refused) {
                account(*held);
                ++finished;
                showProgress();
                held.reset();
                continue;
            }
        }
        // At most so many to one host; one name is written by one entry at a time, in list order,
        // so the last of them is what remains.
        const QString host = hostOf(held->link);
        auto blocked = [&] {
            int toHost = 0;
            for (const auto& lane : pool) {
                if (!lane->busy)
                    continue;
                if (lane->host == host)
                    ++toHost;
                if (m_options.onExists != OnExists::Rename && lane->path == held->path)
                    return true;
            }
            return toHost >= DownloadOptions::maxPerHost || busyLanes() == lanes;
        };
        while (blocked() && !cancelled)
            waitForOne();
        if (cancelled)
            break;
        Entry entry = std::move(*held);
        held.reset();
        if (!claimDestination(entry)) {
            account(entry);
            ++finished;
            showProgress();
            continue;
        }
        auto free = std::find_if(pool.begin(), pool.end(), [](const auto& lane) { return !lane->busy; });
        start(**free, std::move(entry));
    }
    while (busyLanes() > 0)
        waitForOne();
    ticker.stop();
    // Its end stays on show until the final message has been read.
    if (!cancelled && !Cancellation::requested()) {
        total = finished;
        showProgress();
        trap.step(132, [&] {
            bar.setText(QStringLiteral("Downloaded %1 at once: %2 of %2 done").arg(lanes).arg(finished));
        });
    }
    for (auto& lane : pool) {
        Lane* self = lane.get();
        QThread* homeThread = QThread::currentThread();
        QMetaObject::invokeMethod(
            self->context,
            [self, homeThread] {
                self->work.reset();
                self->context->moveToThread(homeThread);
            },
            Qt::BlockingQueuedConnection);
        lane->thread.quit();
        lane->thread.wait();
        delete lane->context;
    }
    return cancelled || Cancellation::requested();
}

QList<QByteArray> DownloadRun::upcoming(int from, int count) const {
    // Only a hint for the transfer: the tick is still read again when the run gets there.
    QList<QByteArray> links;
    try {
        const ImageList& list = m_host.imageList();
        for (int j = from; j <= count && j < from + lookAhead && links.size() < expectedAhead; ++j) {
            if (!list.ticked(j))
                continue;
            const QByteArray link = list.text(j);
            const QByteArray name = fileName::ofLink(link);
            if (!fileName::checkFileName(name).ok() || (m_archive && m_archive->contains(link)))
                continue;
            // A file to be kept is not asked for, not even early.
            if (m_options.onExists == OnExists::Skip &&
                fileName::pathTaken(fileName::pathInFolder(m_host.folderText(), name)))
                continue;
            links << link;
        }
    } catch (const std::exception&) {
    }
    return links;
}

DownloadOutcome DownloadRun::run(Options options) {
    ErrorTrap trap(m_host.messages(), trapTags::pushButton6);
    MessageBoxes& messages = m_host.messages();
    ImageList& list = m_host.imageList();
    ProgressDisplay& bar = m_host.progress();
    bool& busy = m_host.DownloadBusy();

    if (trap.condition(100, [&] { return busy; }))
        return DownloadOutcome::Ignored;
    trap.step(102, [&] { busy = true; });
    m_attempted = 0;
    m_saved = 0;
    m_bytes = 0;
    m_failures.clear();
    m_notes.clear();

    trap.step(110, [&] { bar.setMaximum(list.count()); });
    if (trap.condition(112, [&] { return !FolderExists(m_host.folderText()); })) {
        trap.step(112, [&] {
            messages.show(QStringLiteral("Folder does not exist. Please select another folder."));
        });
        trap.step(146, [&] { busy = false; });
        return DownloadOutcome::NoFolder;
    }
    // A folder that takes no new file (read-only, or a system folder) is named now, once, and not
    // after every entry was fetched in vain.
    net::Result writable;
    if (trap.condition(112, [&] { return !(writable = PartFile::canCreateIn(m_host.folderText())).ok(); })) {
        trap.step(112, [&] {
            messages.show(net::reasonText(writable) + QLatin1StringView(". Please select another folder."));
        });
        trap.step(146, [&] { busy = false; });
        return DownloadOutcome::FolderUnwritable;
    }

    bool cancelled = false;
    int n = 0;
    trap.step(114, [&] { n = list.count(); });
    m_skipped = 0;
    if (m_options.parallel > 1) {
        cancelled = runParallel(trap, n);
    } else {
        const std::unique_ptr<net::Transfer> transfer = m_setup.transfers().create();
        DownloadEngine engine(*transfer, bar, messages);
        engine.setRefererPage(m_setup.refererFor(m_refererPage));
        engine.setOptions(m_options);
        engine.setPacer(m_pacer);
        engine.setProgressListener(
            [this](qint64 received, qint64 expected) { m_host.fileProgress(received, expected); });
        cancelled = runSequential(trap, engine, n);
    }
    trap.step(136, [&] { m_host.pointer().setPointer(Pointer::Default); });
    // A parallel run's bar shows the run's end until its final message is closed.
    const bool parallel = m_options.parallel > 1;
    const auto resetBar = [&] {
        trap.step(138, [&] { bar.setValue(0); });
        trap.step(140, [&] { bar.setText(QStringLiteral("Progress Bar")); });
    };
    if (!parallel)
        resetBar();
    // Nobody is left to read a message once the program is closing.
    if (!cancelled && options.announceEnd)
        trap.step(142, [&] { messages.show(endMessage(m_attempted, m_failures, m_notes)); });
    if (parallel)
        resetBar();
    trap.step(146, [&] { busy = false; });
    if (cancelled)
        return DownloadOutcome::Cancelled;
    return m_failures.isEmpty() ? DownloadOutcome::Done : DownloadOutcome::SomeFailed;
}
