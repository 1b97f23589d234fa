#include "download/DownloadRun.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "discovery/ListingJob.h"
#include "download/DownloadHost.h"
#include "download/FileName.h"
#include "download/PartFile.h"
#include "net/CurlTransfer.h"

#include <QDir>

#include <memory>

DownloadRun::DownloadRun(DownloadHost& host, net::TransferFactory* factory)
    : m_host(host), m_factory(factory) {}

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
    QString text;
    if (failures.isEmpty())
        text = QStringLiteral("Done.");
    else if (failures.size() == 1)
        text = QStringLiteral("1 of %1 downloads failed:").arg(attempted);
    else
        text = QStringLiteral("%1 of %2 downloads failed:").arg(failures.size()).arg(attempted);
    list(text, failures);
    list(text, notes);
    return text;
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
            if (fileName::checkFileName(fileName::ofLink(link)).isEmpty())
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
    QString unwritable;
    if (trap.condition(112, [&] { return !PartFile::canCreateIn(m_host.folderText(), &unwritable); })) {
        trap.step(112,
                  [&] { messages.show(unwritable + QLatin1StringView(". Please select another folder.")); });
        trap.step(146, [&] { busy = false; });
        return DownloadOutcome::FolderUnwritable;
    }

    std::unique_ptr<net::TransferFactory> ownFactory;
    if (!m_factory)
        ownFactory = std::make_unique<net::CurlTransferFactory>();
    const std::unique_ptr<net::Transfer> transfer = (m_factory ? m_factory : ownFactory.get())->create();
    DownloadEngine engine(*transfer, bar, messages);
    engine.setRefererPage(m_refererPage);
    engine.setProgressListener(
        [this](qint64 received, qint64 expected) { m_host.fileProgress(received, expected); });

    bool cancelled = false;
    int n = 0;
    trap.step(114, [&] { n = list.count(); });
    for (int i = 1; i <= n && !cancelled; ++i) {
        trap.step(116, [&] { m_host.pointer().setPointer(Pointer::Busy); });
        // The tick is read when the run gets here, so a change made meanwhile counts.
        if (trap.condition(118, [&] { return list.ticked(i); })) {
            QByteArray link;
            QByteArray name;
            trap.step(120, [&] {
                link = list.text(i);
                name = link;
            });
            if (trap.condition(122, [&] { return name.endsWith('/'); }))
                trap.step(124, [&] { name.chop(1); });
            trap.step(126, [&] { name = fileName::lastPart(name); });
            ++m_attempted;
            m_host.entryStarted(i, m_attempted, link);

            // The name must stay inside the folder; the folder text is read afresh, as typed now.
            QString reason = fileName::checkFileName(name);
            QString path;
            trap.step(128, [&] {
                const QString folder = m_host.folderText();
                if (reason.isEmpty() && folder.isEmpty())
                    reason = QStringLiteral("no destination folder is given");
                // A folder removed or retyped during the run costs its entries, not a request each.
                else if (reason.isEmpty() && !FolderExists(folder))
                    reason =
                        QStringLiteral("the folder %1 does not exist").arg(QDir::toNativeSeparators(folder));
                path = fileName::pathInFolder(folder, name);
            });
            DownloadResult result;
            result.reason = reason;
            if (reason.isEmpty()) {
                QList<QByteArray> coming = upcoming(i + 1, n);
                coming.prepend(link);
                engine.expect(coming);
                trap.step(130, [&] { result = engine.DownloadFile(link, path); });
            }
            if (result.saved) {
                ++m_saved;
                m_bytes += result.bytes;
                if (result.kind == BodyKind::Html)
                    m_notes.append({link, notAnImageNote()});
            } else {
                if (result.reason.isEmpty())
                    result.reason = QStringLiteral("the download failed");
                m_failures.append({link, result.reason});
            }
            m_host.entryFinished(i, link, path, result);
            cancelled = result.cancelled || Cancellation::requested();
        }
        trap.step(132, [&] { bar.setValue(i); });
    }
    trap.step(136, [&] { m_host.pointer().setPointer(Pointer::Default); });
    trap.step(138, [&] { bar.setValue(0); });
    trap.step(140, [&] { bar.setText(QStringLiteral("Progress Bar")); });
    // Nobody is left to read a message once the program is closing.
    if (!cancelled && options.announceEnd)
        trap.step(142, [&] { messages.show(endMessage(m_attempted, m_failures, m_notes)); });
    trap.step(146, [&] { busy = false; });
    if (cancelled)
        return DownloadOutcome::Cancelled;
    return m_failures.isEmpty() ? DownloadOutcome::Done : DownloadOutcome::SomeFailed;
}
