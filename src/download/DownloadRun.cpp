#include "download/DownloadRun.h"

#include "core/Cancellation.h"
#include "core/DiskWriter.h"
#include "core/ErrorTrap.h"
#include "core/Folders.h"
#include "download/Collision.h"
#include "download/DownloadArchive.h"
#include "download/DownloadHost.h"
#include "download/DownloadJob.h"
#include "download/FileName.h"
#include "download/KeepRules.h"
#include "download/PartFile.h"
#include "net/RunSetup.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <limits>

DownloadRun::DownloadRun(DownloadHost& host, const net::RunSetup& setup)
    : m_host(host), m_setup(setup), m_options(setup.options()) {}

DownloadRun::~DownloadRun() {
    // A run ended early by its owner: its jobs go first, their files with the writer.
    m_active.clear();
    m_done.clear();
    if (m_running)
        m_setup.loop().setPauseListener({});
}

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

    // The name must stay inside the folder; the folder text is read afresh, as typed now. A
    // template checks the names it makes itself.
    net::Result usable =
        m_rules && m_rules->hasTemplate() ? net::Result() : fileName::checkFileName(entry.name);
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
    if (usable.ok() && m_rules && m_rules->names()) {
        const KeepRules::Decision decided = m_rules->decide(
            {i, entry.link, m_refererPage, m_refererPages.value(entry.link, m_refererPage)}, entry.folder);
        usable = decided.failure;
        if (!decided.path.isEmpty())
            entry.path = decided.path;
        entry.late = decided.late;
        entry.notes = decided.notes;
    }
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
    // A name made once the body is known meets what exists then.
    if (entry.late)
        return true;
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
        // A name made from a template is numbered in its own folder, under its own name.
        const bool templated = m_rules && m_rules->hasTemplate();
        const QString folder = templated ? QFileInfo(entry.path).path() : entry.folder;
        const QByteArray name =
            templated ? fileName::nativePath(QFileInfo(entry.path).fileName()) : entry.name;
        if (const net::Result reserved = collision::reserve(folder, name, entry.path); !reserved.ok()) {
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
    result.notes = entry.notes + result.notes;
    if (!entry.reserved.isEmpty() &&
        (!result.saved || (!result.path.isEmpty() && result.path != entry.reserved)))
        fileName::removeFile(entry.reserved);
    // A content counted as kept when it was named, whose file then did not stay.
    if (m_rules && !result.saved && !result.sha256.isEmpty() && result.duplicateOf.isEmpty())
        m_rules->notSaved(result.sha256, !result.path.isEmpty() ? result.path : entry.path);
    if (result.saved) {
        ++m_saved;
        m_bytes += result.bytes;
        // The file is in place before its link is recorded, so a crash between the two costs a
        // second download at most, never a missing image.
        if (m_archive && !m_archiveFailed) {
            if (const net::Result recorded = m_archive->append(entry.link, result.sha256); !recorded.ok()) {
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
    // A name made late has no path until it is made: the place-holder is nobody's file.
    const QString path = !result.path.isEmpty() ? result.path : entry.late ? QString() : entry.path;
    m_host.entryFinished(entry.index, entry.link, path, result);
}

namespace {

// What a job of a parallel run shows on a bar: nothing, the run's own text stands there.
class NoBar : public ProgressDisplay {
public:
    void setText(const QString&) override {}
    void setMaximum(int) override {}
    void setValue(int) override {}
};

NoBar& noBar() {
    static NoBar bar;
    return bar;
}

} // namespace

QString DownloadRun::pauseText(const net::HostPause& pause, bool over) {
    QString host = QString::fromUtf8(pause.host);
    if (const qsizetype scheme = host.indexOf(QLatin1StringView("://")); scheme >= 0)
        host = host.mid(scheme + 3);
    const QString until = pause.until.toLocalTime().toString(QStringLiteral("HH:mm:ss"));
    return QStringLiteral("%1 asked to slow down (%2): %3 %4")
        .arg(host)
        .arg(pause.httpStatus)
        .arg(over ? QStringLiteral("paused until") : QStringLiteral("waiting until"), until);
}

void DownloadRun::hostPaused(const net::HostPause& pause) {
    auto same = std::find_if(m_pauses.begin(), m_pauses.end(),
                             [&](const net::HostPause& known) { return known.host == pause.host; });
    if (same != m_pauses.end())
        *same = pause;
    else
        m_pauses.append(pause);
    m_host.hostPaused(pause);
    if (parallel())
        showProgress();
    else
        m_trap->step(130, [&] { m_host.progress().setText(pauseText(pause)); });
}

void DownloadRun::showProgress() {
    // The bar shows the run, not one file: entries done of those ticked, each file in transfer
    // counting for its share of bytes where its length is known.
    ProgressDisplay& bar = m_host.progress();
    static const QLocale numbers(QLocale::English);
    m_total = qMax(m_total, m_finished + int(m_active.size()));
    qint64 value = qint64(m_finished) * m_unit;
    qint64 received = 0;
    qint64 expected = 0;
    bool lengthsKnown = true;
    for (const auto& active : m_active) {
        received += active->received;
        if (active->expected > 0) {
            expected += active->expected;
            value += qMin(active->received, active->expected) * m_unit / active->expected;
        } else {
            lengthsKnown = false;
        }
    }
    QString text =
        QStringLiteral("Downloading %1 at once: %2 of %3 done").arg(m_lanes).arg(m_finished).arg(m_total);
    if (!m_active.empty() && received > 0)
        text += lengthsKnown
                    ? QStringLiteral(", %1 of %2 KB in transfer")
                          .arg(numbers.toString((received + 1023) / 1024),
                               numbers.toString((expected + 1023) / 1024))
                    : QStringLiteral(", %1 KB in transfer").arg(numbers.toString((received + 1023) / 1024));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const net::HostPause& pause : std::as_const(m_pauses))
        if (pause.until > now)
            text += QLatin1StringView("; ") + pauseText(pause);
    m_trap->step(132, [&] {
        bar.setMaximum(qMax(1, m_total * m_unit));
        bar.setValue(int(qMin<qint64>(value, qint64(m_total) * m_unit)));
        bar.setText(text);
    });
}

void DownloadRun::start(Options options, std::function<void(DownloadOutcome)> ended) {
    m_runOptions = options;
    m_ended = std::move(ended);
    m_trap = std::make_unique<ErrorTrap>(m_host.messages(), trapTags::pushButton6);
    ErrorTrap& trap = *m_trap;
    MessageBoxes& messages = m_host.messages();
    ImageList& list = m_host.imageList();
    ProgressDisplay& bar = m_host.progress();
    bool& busy = m_host.DownloadBusy();
    auto endNow = [this](DownloadOutcome outcome) {
        if (const auto ended = std::exchange(m_ended, {}))
            ended(outcome);
    };

    if (m_running || trap.condition(100, [&] { return busy; })) {
        endNow(DownloadOutcome::Ignored);
        return;
    }
    trap.step(102, [&] { busy = true; });
    m_attempted = 0;
    m_saved = 0;
    m_bytes = 0;
    m_skipped = 0;
    m_failures.clear();
    m_notes.clear();
    m_pauses.clear();

    trap.step(110, [&] { bar.setMaximum(list.count()); });
    if (trap.condition(112, [&] { return !FolderExists(m_host.folderText()); })) {
        trap.step(112, [&] {
            messages.show(QStringLiteral("Folder does not exist. Please select another folder."));
        });
        trap.step(146, [&] { busy = false; });
        endNow(DownloadOutcome::NoFolder);
        return;
    }
    // A folder that takes no new file (read-only, or a system folder) is named now, once, and not
    // after every entry was fetched in vain.
    net::Result writable;
    if (trap.condition(112, [&] { return !(writable = PartFile::canCreateIn(m_host.folderText())).ok(); })) {
        trap.step(112, [&] {
            messages.show(net::reasonText(writable) + QLatin1StringView(". Please select another folder."));
        });
        trap.step(146, [&] { busy = false; });
        endNow(DownloadOutcome::FolderUnwritable);
        return;
    }

    trap.step(114, [&] { m_count = list.count(); });
    m_running = true;
    m_cancelled = Cancellation::requested();
    m_next = 1;
    m_finished = 0;
    m_held.reset();
    m_lanes = qBound(1, m_options.parallel, DownloadOptions::maxParallel);
    m_rules.reset();
    if (auto rules = std::make_unique<KeepRules>(m_options); rules->watches()) {
        rules->setArchive(m_archive);
        rules->setLinkFacts(&m_facts);
        rules->setDimensionReader(m_readDimensions);
        m_rules = std::move(rules);
    }
    if (!m_writer)
        m_writer = std::make_unique<DiskWriter>();
    net::Transfers& loop = m_setup.loop();
    loop.setMaxInFlight(m_lanes);
    loop.setPauseListener([this](const net::HostPause& pause) { hostPaused(pause); });
    m_cancelWatch = QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, &m_context,
                                     [this] { cancelAll(); });
    if (parallel()) {
        m_total = 0;
        trap.step(132, [&] {
            for (int j = 1; j <= m_count; ++j)
                m_total += list.ticked(j) ? 1 : 0;
        });
        m_unit = m_total > 0 && m_total <= std::numeric_limits<int>::max() / 100 ? 100 : 1;
        m_ticker.setInterval(100);
        QObject::disconnect(&m_ticker, nullptr, &m_context, nullptr);
        QObject::connect(&m_ticker, &QTimer::timeout, &m_context, [this] { showProgress(); });
        showProgress();
        m_ticker.start();
    }
    pump();
}

void DownloadRun::pump() {
    if (m_pumping || !m_running)
        return;
    m_pumping = true;
    // Jobs done are freed only where none of them is in the middle of its report.
    if (m_inReport == 0)
        m_done.clear();
    ErrorTrap& trap = *m_trap;
    ImageList& list = m_host.imageList();
    while (!m_cancelled) {
        // Decided only when there is room on the wire for it, so a tick changed meanwhile counts.
        // The cap counts requests on the wire: a file being put in place holds no connection.
        if (std::count_if(m_active.begin(), m_active.end(), [](const auto& a) { return a->onWire; }) >=
            m_lanes)
            break;
        if (!m_held) {
            if (m_next > m_count)
                break;
            trap.step(116, [&] { m_host.pointer().setPointer(Pointer::Busy); });
            const int index = m_next++;
            if (!trap.condition(118, [&] { return list.ticked(index); })) {
                if (!parallel())
                    entryDone(index);
                continue;
            }
            m_held = decide(trap, index);
            if (m_held->refused) {
                Entry refused = std::move(*m_held);
                m_held.reset();
                account(refused);
                entryDone(refused.index);
                continue;
            }
        }
        // One name is written by one entry at a time, in list order, so the last of them is what
        // remains.
        const bool nameBusy = m_options.onExists != OnExists::Rename &&
                              std::any_of(m_active.begin(), m_active.end(), [&](const auto& active) {
                                  return active->entry.path == m_held->path;
                              });
        if (nameBusy)
            break;
        Entry entry = std::move(*m_held);
        m_held.reset();
        if (!claimDestination(entry)) {
            account(entry);
            entryDone(entry.index);
            continue;
        }
        startJob(std::move(entry));
    }
    m_pumping = false;
    if (m_active.empty() && (m_cancelled || (!m_held && m_next > m_count))) {
        // The owner may delete the run once told of its end: never from inside a job's report.
        if (m_inReport > 0)
            QTimer::singleShot(0, &m_context, [this] { pump(); });
        else
            end();
    }
}

void DownloadRun::startJob(Entry entry) {
    auto active = std::make_unique<Active>();
    Active* self = active.get();
    self->entry = std::move(entry);
    self->job = std::make_unique<DownloadJob>(m_setup.loop(), *m_writer,
                                              parallel() ? noBar() : m_host.progress(), m_host.messages());
    self->job->setRefererPage(m_setup.refererFor(m_refererPages.value(self->entry.link, m_refererPage)));
    self->job->setOptions(m_options);
    if (m_rules && m_rules->watches())
        self->job->setWatch(m_rules->watch({self->entry.index, self->entry.link, m_refererPage,
                                            m_refererPages.value(self->entry.link, m_refererPage)},
                                           self->entry.folder, self->entry.path, self->entry.late));
    if (parallel())
        self->job->setProgressListener([self](qint64 received, qint64 expected) {
            self->received = received;
            self->expected = expected;
        });
    else
        self->job->setProgressListener(
            [this](qint64 received, qint64 expected) { m_host.fileProgress(received, expected); });
    // One at a time, each entry is done, bar and all, before the next tick is read; in parallel a
    // file being put in place gives its place on the wire to the next.
    if (parallel())
        self->job->setOffWireListener([this, self] {
            self->onWire = false;
            QTimer::singleShot(0, &m_context, [this] { pump(); });
        });
    m_active.push_back(std::move(active));
    m_trap->step(130, [&] {
        self->job->DownloadFile(self->entry.link, self->entry.path,
                                [this, self](const DownloadResult& result) { jobDone(self, result); });
    });
}

void DownloadRun::jobDone(Active* active, const DownloadResult& result) {
    active->entry.result = result;
    account(active->entry);
    m_cancelled = m_cancelled || result.cancelled || Cancellation::requested();
    // Those done before have returned from their reports, unless this one is told inside one.
    if (m_inReport == 0)
        m_done.clear();
    auto it =
        std::find_if(m_active.begin(), m_active.end(), [&](const auto& a) { return a.get() == active; });
    // The job is in the middle of its report: it goes once that has returned.
    m_done.splice(m_done.end(), m_active, it);
    entryDone(active->entry.index);
    // The next entry is taken up from here, so that one at a time leaves no gap on the wire.
    ++m_inReport;
    pump();
    --m_inReport;
}

void DownloadRun::entryDone(int index) {
    if (parallel()) {
        ++m_finished;
        showProgress();
    } else {
        m_trap->step(132, [&] { m_host.progress().setValue(index); });
    }
}

void DownloadRun::cancelAll() {
    if (!m_running)
        return;
    m_cancelled = true;
    // Each job ends once its temporary file is gone; the run ends with the last of them.
    for (const auto& active : m_active)
        active->job->cancel();
    QTimer::singleShot(0, &m_context, [this] { pump(); });
}

void DownloadRun::end() {
    m_running = false;
    m_ticker.stop();
    QObject::disconnect(m_cancelWatch);
    m_setup.loop().setPauseListener({});
    ErrorTrap& trap = *m_trap;
    MessageBoxes& messages = m_host.messages();
    ProgressDisplay& bar = m_host.progress();
    const bool cancelled = m_cancelled || Cancellation::requested();
    // Its end stays on show until the final message has been read.
    if (parallel() && !cancelled) {
        m_total = m_finished;
        showProgress();
        trap.step(132, [&] {
            bar.setText(QStringLiteral("Downloaded %1 at once: %2 of %2 done").arg(m_lanes).arg(m_finished));
        });
    }
    trap.step(136, [&] { m_host.pointer().setPointer(Pointer::Default); });
    const auto resetBar = [&] {
        trap.step(138, [&] { bar.setValue(0); });
        trap.step(140, [&] { bar.setText(QStringLiteral("Progress Bar")); });
    };
    if (!parallel())
        resetBar();
    // Nobody is left to read a message once the program is closing.
    if (!cancelled && m_runOptions.announceEnd)
        trap.step(142, [&] {
            QString text = endMessage(m_attempted, m_failures, m_notes);
            for (const net::HostPause& pause : std::as_const(m_pauses))
                text += u'\r' + pauseText(pause, true);
            messages.show(text);
        });
    if (parallel())
        resetBar();
    trap.step(146, [&] { m_host.DownloadBusy() = false; });
    const DownloadOutcome outcome = cancelled              ? DownloadOutcome::Cancelled
                                    : m_failures.isEmpty() ? DownloadOutcome::Done
                                                           : DownloadOutcome::SomeFailed;
    if (const auto ended = std::exchange(m_ended, {}))
        ended(outcome);
}
