#include "discovery/PageRetrieval.h"

#include "core/Bytes.h"
#include "core/ErrorTrap.h"
#include "core/Folders.h"
#include "discovery/LinkScanner.h"
#include "net/Transfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryFile>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace {

bool startsWithHttp(QByteArrayView s) {
    return s.size() >= 4 && bytes::equalsNoCase(s.first(4), "http");
}

QByteArrayView lastDotPiece(QByteArrayView s) {
    return s.sliced(s.lastIndexOf('.') + 1);
}

// The folder for the temporary page file: TEMP when set, as before, else the platform's own.
QString temporaryFolder() {
    const QString temp = qEnvironmentVariable("TEMP");
    return !temp.isEmpty() && QFileInfo(temp).isDir() ? temp : QDir::tempPath();
}

} // namespace

// One address's fetch under way and what its end needs.
struct PageRetrieval::Visit {
    explicit Visit(ImageList& list) : held(list), scannerList(list) {}

    QTemporaryFile page;
    PageVisit visit;
    QByteArray body;
    PageResponse response;
    HeldImageList held;
    ImageList& scannerList;
    std::optional<PendingPageStack> pendingBefore;
    QByteArray dataBefore;
    qint32 lengthBefore = 0;
    PageReader reader;
    std::unique_ptr<PageFetch> fetch;
    Visited visited;
};

PageRetrieval::PageRetrieval(DiscoveryState& state, LinkScanner& scanner, MessageBoxes& boxes,
                             net::Transfers& loop)
    : m_state(state), m_scanner(scanner), m_boxes(boxes), m_loop(loop) {}

PageRetrieval::~PageRetrieval() {
    if (!m_visit)
        return;
    // Ended mid-fetch: nothing may point at the transfer's bytes, nor the scanner at the held list.
    m_visit->fetch.reset();
    m_state.PageData = std::move(m_visit->dataBefore);
    m_state.PageLength = m_visit->lengthBefore;
    m_scanner.setList(m_visit->scannerList);
}

void PageRetrieval::GetUrls(ImageList& list, const QByteArray& address, qint16 slot, qint32 pass,
                            Visited visited) {
    ErrorTrap trap(m_boxes, trapTags::getUrls);
    QByteArray s;
    QByteArray e;
    bool eligible = false;

    trap.step(100, [&] { s = address; });
    trap.step(102, [&] {
        if (s.startsWith('/'))
            s.remove(0, 1);
    });
    trap.step(104, [&] {
        if (!startsWithHttp(s))
            s = "http://" + s + "/";
    });
    trap.step(106, [&] {
        if (!s.endsWith('/'))
            s += '/';
    });
    if (trap.condition(108, [&] { return pass < 1; }))
        trap.step(110, [&] { eligible = true; });
    else
        trap.step(112, [&] { eligible = false; });
    trap.step(114, [&] { e = lastDotPiece(s).toByteArray(); });
    if (trap.condition(118, [&] { return m_state.ImageFilter.matchesPiece(e); }))
        trap.step(120, [&] { eligible = true; });
    if (trap.condition(124, [&] { return !eligible; })) {
        visited({});
        return;
    }
    if (trap.condition(126, [&] { return IsListed(list, s); })) {
        visited({});
        return;
    }
    trap.step(128, [&] { e = lastDotPiece(s).toByteArray(); });
    if (trap.condition(132, [&] { return m_state.ImageFilter.matchesPiece(e); })) {
        int entry = 0;
        trap.step(134, [&] { entry = list.add(s); });
        trap.step(136, [&] { list.setTicked(entry, true); });
        trap.step(138, [&] { list.scrollTo(entry); });
    }
    trap.step(142, [&] { SetPageAddress(address); });

    // A private file, created exclusively, rather than a fixed name in a shared folder that a
    // second copy or a planted link could interfere with. It is removed on every way out.
    m_visit = std::make_unique<Visit>(m_scanner.list());
    Visit& v = *m_visit;
    v.visited = std::move(visited);
    v.page.setFileTemplate(QDir(temporaryFolder()).filePath(QStringLiteral("HTML%1-XXXXXX.tmp").arg(slot)));
    trap.step(144, [&] {
        if (!v.page.open())
            throw StepFailure(QStringLiteral("Cannot create a temporary file in %1: %2")
                                  .arg(QDir::toNativeSeparators(temporaryFolder()), v.page.errorString()));
    });
    // The page is fetched under the scheme it was given: https stays https. The scanner reads
    // it while it arrives; what it finds waits in a held list, and the stack of pages in a copy,
    // until the fetch has succeeded.
    v.pendingBefore = m_state.PendingPages;
    // A fetch that fails leaves the last page's bytes as they were.
    v.dataBefore = m_state.PageData;
    v.lengthBefore = m_state.PageLength;
    v.reader = PageReader{
        .started =
            [this](const PageResponse&) {
                m_scanner.setList(m_visit->held);
                m_scanner.startPage();
            },
        .arrived =
            [this](QByteArrayView soFar) {
                m_state.PageData = QByteArray::fromRawData(soFar.data(), soFar.size());
                m_state.PageLength = qint32(soFar.size());
                m_scanner.CollectData();
            },
    };
    trap.step(148, [&] {
        v.fetch = DownloadToFile(
            m_loop, m_state.PageAddress, v.page,
            [this](const net::Result& fetched) { visitFetched(fetched); }, &v.body, &v.response, &v.reader);
    });
}

void PageRetrieval::visitFetched(const net::Result& fetched) {
    ErrorTrap trap(m_boxes, trapTags::getUrls);
    // The visit ends here; its fetch, whose report this is, goes with the next address.
    const std::unique_ptr<Visit> ended = std::move(m_visit);
    Visit& v = *ended;
    m_spent = std::move(v.fetch);
    v.visit.fetch = fetched;
    // The page's bytes so far are the transfer's: nothing may point at them any longer.
    m_state.PageData = std::move(v.dataBefore);
    m_state.PageLength = v.lengthBefore;
    m_scanner.setList(v.scannerList);
    m_scanner.pageComplete();
    if (trap.condition(150, [&] { return !v.visit.fetch.ok(); })) {
        m_state.PendingPages = std::move(v.pendingBefore);
        v.visited(v.visit);
        return;
    }
    v.pendingBefore.reset();
    m_state.PageFinalAddress = v.response.finalUrl;
    m_state.PageContentType = v.response.contentType;
    trap.step(158, [&] {
        const qint64 size = v.page.size();
        if (size > 0x7FFFFFFF)
            throw StepFailure(QStringLiteral("Overflow"));
        m_state.PageLength = qint32(size);
    });
    trap.step(162, [&] {
        // The bytes were kept as they arrived; the file is read back only if the two disagree.
        if (v.body.size() == m_state.PageLength) {
            m_state.PageData = std::move(v.body);
            return;
        }
        if (!v.page.seek(0))
            throw StepFailure(v.page.errorString());
        m_state.PageData = v.page.read(m_state.PageLength);
        if (m_state.PageData.size() != m_state.PageLength)
            throw StepFailure(QStringLiteral("Input past end of file"));
    });
    trap.step(164, [&] { closeWithoutWaiting(v.page); });
    // What arrived is scanned already; the scan finishes with the page's last bytes (a value the
    // end of the page leaves open), and the links found go to the list.
    trap.step(166, [&] {
        m_scanner.setList(v.held);
        m_scanner.CollectData();
        m_scanner.setList(v.scannerList);
        v.held.commit();
    });
    trap.step(170, [&] { RemoveFile(v.page.fileName()); });
    v.visit.scanned = true;
    v.visited(v.visit);
}

void PageRetrieval::SetPageAddress(const QByteArray& address) {
    QByteArray a = address;
    if (!startsWithHttp(address))
        a = "http://" + address;
    // A name ending in "htm" or "tml" is a file, the rest a folder. The test is case-sensitive.
    const QByteArray tail = address.size() >= 3 ? address.right(3) : QByteArray();
    if (tail != "htm" && tail != "tml" && !a.endsWith('/'))
        a += '/';
    m_state.PageAddress = a;
    const qsizetype slash = a.lastIndexOf('/');
    if (slash >= 0)
        m_state.PageBase = a.left(slash);
}

qint64 maxPageBytes() {
    constexpr qint64 largest = 0x7FFFFFFF;
    bool ok = false;
    const qint64 fromEnv = qEnvironmentVariable("VARNOLUX_MAX_PAGE_BYTES").toLongLong(&ok);
    return ok && fromEnv > 0 && fromEnv < largest ? fromEnv : largest;
}

namespace {

// Writes the page into its file on a thread of its own while the network delivers, so neither
// the transfer nor the window waits on the disk. The bytes come from the in-memory copy: the
// writer is told how far it is filled and reads only below that mark, and the copy never moves
// while the writer may read it (growing past its room waits for the writer first).
class PageFileWriter {
public:
    PageFileWriter(QFileDevice& file, const QByteArray& bytes) : m_file(file), m_bytes(bytes) {
        m_thread = std::thread([this] { work(); });
    }
    ~PageFileWriter() { finish(); }
    PageFileWriter(const PageFileWriter&) = delete;
    PageFileWriter& operator=(const PageFileWriter&) = delete;

    // The bytes below filled may be written.
    void filledTo(qsizetype filled) {
        {
            const std::lock_guard lock(m_mutex);
            m_filled = filled;
        }
        m_wake.notify_one();
    }
    // Waits until everything told is written (or writing failed), so the bytes may move.
    void drain() {
        std::unique_lock lock(m_mutex);
        m_drained.wait(lock, [this] { return m_written == m_filled || m_failed; });
    }
    // Writes the rest and stops; whether the file failed is failed() then.
    void finish() {
        if (!m_thread.joinable())
            return;
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        // What is left is at most the last piece or two: the writer keeps up with the network.
        m_thread.join();
    }
    // Writes the rest and stops without waiting for it: then() runs in context's thread once the
    // file is written or has failed, and is dropped if context is gone by then.
    void finishThen(QObject* context, std::function<void()> then) {
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
            m_thenContext = context;
            m_then = std::move(then);
        }
        m_wake.notify_one();
    }
    // The file's failure as a result; ok while writing goes well. Read once the writer is done.
    net::Result result() const {
        return m_failed ? net::Result(
                              net::Status::LocalFile,
                              QStringLiteral("the temporary file could not be written (%1)").arg(m_failure))
                        : net::Result();
    }
    bool failed() const { return m_failed; }

private:
    void work() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_written < m_filled || m_done; });
            if (m_written == m_filled) {
                if (!m_file.flush())
                    fail();
                break;
            }
            const qsizetype from = m_written;
            const qsizetype to = m_filled;
            const char* data = m_bytes.constData();
            lock.unlock();
            const bool ok = m_file.write(data + from, to - from) == to - from;
            lock.lock();
            if (!ok) {
                fail();
                break;
            }
            m_written = to;
            m_drained.notify_all();
        }
        m_drained.notify_all();
        // The last thing the thread does, so that joining it from then() does not wait.
        if (m_then)
            QMetaObject::invokeMethod(m_thenContext, std::move(m_then), Qt::QueuedConnection);
    }
    void fail() {
        m_failure = m_file.errorString();
        m_failed = true;
    }

    QFileDevice& m_file;
    const QByteArray& m_bytes;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    qsizetype m_filled = 0;
    qsizetype m_written = 0;
    bool m_done = false;
    QObject* m_thenContext = nullptr; // outlives the thread: its owner joins it first
    std::function<void()> m_then;
    std::atomic<bool> m_failed = false;
    QString m_failure;
};

// Room for bytes in one go, in memory the kernel may back with large pages: a 100 MB page then
// costs a few dozen page faults instead of tens of thousands.
void reserveLarge(QByteArray& bytes, qsizetype size) {
    bytes.reserve(size);
#ifdef MADV_HUGEPAGE
    constexpr quintptr huge = 2 << 20;
    if (size < qsizetype(4 * huge))
        return;
    const auto first = (quintptr(bytes.constData()) + huge - 1) & ~(huge - 1);
    const auto last = (quintptr(bytes.constData()) + quintptr(size)) & ~(huge - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

} // namespace

QString pageFetchFailure(const QByteArray& address, const net::Result& fetch) {
    return QStringLiteral("The page %1 could not be fetched: %2.")
        .arg(QString::fromUtf8(address), net::reasonText(fetch));
}

namespace {

// One page's fetch on the loop: each piece goes to the in-memory copy, the file's writer and the
// reader as it arrives; the end is reported once, from the event loop.
class LoopPageFetch : public PageFetch, private net::TransferHandler {
public:
    LoopPageFetch(net::Transfers& loop, QFileDevice& file, PageFetched fetched, QByteArray* body,
                  PageResponse* response, const PageReader* reader)
        : m_loop(loop), m_file(file), m_fetched(std::move(fetched)), m_bytes(body ? *body : m_own),
          m_response(response), m_reader(reader ? *reader : PageReader{}) {}
    ~LoopPageFetch() override {
        if (m_id != 0)
            m_loop.cancel(std::exchange(m_id, 0));
    }

    void start(const QByteArray& address) {
        net::Request request;
        request.link = address;
        request.identityEncoding = false;
        request.maxBodyBytes = maxPageBytes();
        m_limit = request.maxBodyBytes;
        m_bytes.clear();
        m_submitting = true;
        m_id = m_loop.submit(request, *this, net::Purpose::Page);
        m_submitting = false;
        if (m_early)
            report(*m_early);
    }

    // Ends before it began, with this failure.
    void fail(const net::Result& result) { report(result); }

private:
    void head(const net::Response& response) override {
        m_head = response;
        m_headDone = true;
        if (response.status < 200 || response.status > 299)
            return;
        // Only a page that comes is read; an error page's body is not.
        if (m_reader.started)
            m_reader.started(PageResponse{response.finalAddress, response.header("Content-Type")});
        // Room for an announced length, within reason: a lying server gets no more than this.
        const qint64 announced = response.header("Content-Encoding").isEmpty()
                                     ? response.header("Content-Length").toLongLong()
                                     : 0;
        if (announced > 0)
            reserveLarge(m_bytes, qsizetype(qMin<qint64>(announced, qMin<qint64>(m_limit, 256 << 20))));
        m_writer = std::make_unique<PageFileWriter>(m_file, m_bytes);
    }
    Take body(QByteArrayView piece) override {
        if (!m_writer)
            m_writer = std::make_unique<PageFileWriter>(m_file, m_bytes);
        if (m_writer->failed()) {
            // The file cannot take the page: the transfer ends, from the event loop, with the file's failure.
            QMetaObject::invokeMethod(
                &m_context,
                [this] {
                    if (m_id != 0)
                        m_loop.cancel(std::exchange(m_id, 0));
                    m_writer->finish();
                    report(m_writer->result());
                },
                Qt::QueuedConnection);
            return Take::Later;
        }
        if (m_bytes.size() + piece.size() > m_bytes.capacity()) {
            // The copy is about to move: the writer must be done with where it is now.
            m_writer->drain();
            m_bytes.reserve(qMax(m_bytes.capacity() * 2, m_bytes.size() + piece.size()));
        }
        m_bytes.append(piece);
        m_writer->filledTo(m_bytes.size());
        // The writer reads the same bytes meanwhile; the reader only reads them as well.
        if (m_reader.arrived)
            m_reader.arrived(m_bytes);
        return Take::Taken;
    }
    void finished(const net::Result& result) override {
        m_id = 0;
        // The page is in; its file may lag behind the network. The fetch ends once the file is
        // written too, and the loop does not wait for it meanwhile.
        if (m_writer && !m_submitting && !m_writerEnding) {
            m_writerEnding = true;
            m_writer->finishThen(&m_context, [this, result] { finished(result); });
            return;
        }
        net::Result ended = result;
        if (ended.ok() && m_headDone && (m_head.status < 200 || m_head.status > 299))
            ended = {net::Status::HttpStatus, QString::fromLatin1(m_head.phrase), m_head.status};
        if (ended.status == net::Status::NotWebAddress)
            ended = {net::Status::Failed, QStringLiteral("it is not a valid web address")};
        if (m_writer)
            m_writer->finish();
        if (ended.ok() && m_writer && m_writer->failed())
            ended = m_writer->result();
        if (ended.ok() && m_response) {
            m_response->finalUrl = m_head.finalAddress;
            m_response->contentType = m_head.header("Content-Type");
        }
        if (m_submitting) {
            // Refused before it began: told once the submission has returned.
            m_early = ended;
            return;
        }
        report(ended);
    }
    void report(const net::Result& result) {
        // Told from the event loop, never from inside the submission.
        if (m_reported)
            return;
        m_reported = true;
        QMetaObject::invokeMethod(
            &m_context, [fetched = m_fetched, result] { fetched(result); }, Qt::QueuedConnection);
    }

    net::Transfers& m_loop;
    QFileDevice& m_file;
    PageFetched m_fetched;
    QByteArray m_own;
    QByteArray& m_bytes;
    PageResponse* m_response;
    PageReader m_reader;
    qint64 m_limit = 0;
    net::Transfers::Id m_id = 0;
    net::Response m_head;
    bool m_headDone = false;
    bool m_submitting = false;
    bool m_reported = false;
    std::optional<net::Result> m_early;
    // Declared before the writer, so the writer's thread is joined before the context goes.
    QObject m_context;
    std::unique_ptr<PageFileWriter> m_writer;
    bool m_writerEnding = false; // the writer was told to finish; finished() goes on when it has
};

} // namespace

std::unique_ptr<PageFetch> DownloadToFile(net::Transfers& loop, const QByteArray& address, QFileDevice& file,
                                          PageFetched fetched, QByteArray* body, PageResponse* response,
                                          const PageReader* reader) {
    auto fetch = std::make_unique<LoopPageFetch>(loop, file, std::move(fetched), body, response, reader);
    if (!file.isOpen())
        fetch->fail({net::Status::LocalFile, QStringLiteral("the temporary file could not be created")});
    else
        fetch->start(address);
    return fetch;
}

void HeldImageList::clear() {
    m_list.clear();
    discard();
}

int HeldImageList::add(const QByteArray& text) {
    m_texts.push_back(text);
    m_ticks.push_back(false);
    m_held.insert(text);
    m_steps.push_back({Step::Add, int(m_texts.size()) - 1});
    return count();
}

QByteArray HeldImageList::text(int entry) const {
    const int i = heldIndex(entry);
    return i < 0 ? m_list.text(entry) : m_texts.at(std::size_t(i));
}

bool HeldImageList::ticked(int entry) const {
    const int i = heldIndex(entry);
    return i < 0 ? m_list.ticked(entry) : bool(m_ticks.at(std::size_t(i)));
}

void HeldImageList::setTicked(int entry, bool ticked) {
    const int i = heldIndex(entry);
    if (i < 0) {
        m_list.setTicked(entry, ticked);
        return;
    }
    m_ticks.at(std::size_t(i)) = ticked;
    m_steps.push_back({ticked ? Step::Tick : Step::Untick, i});
}

void HeldImageList::scrollTo(int entry) {
    const int i = heldIndex(entry);
    if (i < 0) {
        m_list.scrollTo(entry);
        return;
    }
    m_steps.push_back({Step::Scroll, i});
}

void HeldImageList::commit() {
    while (!commitFor(std::numeric_limits<qint64>::max())) {
    }
}

bool HeldImageList::commitFor(qint64 budgetMs) {
    QElapsedTimer clock;
    clock.start();
    m_entries.reserve(m_texts.size());
    while (m_stepsDone < m_steps.size()) {
        const Step& step = m_steps[m_stepsDone++];
        switch (step.kind) {
        case Step::Add:
            m_entries.push_back(m_list.add(m_texts[std::size_t(step.entry)]));
            break;
        case Step::Tick:
        case Step::Untick:
            m_list.setTicked(m_entries[std::size_t(step.entry)], step.kind == Step::Tick);
            break;
        case Step::Scroll:
            m_list.scrollTo(m_entries[std::size_t(step.entry)]);
            break;
        }
        if (m_stepsDone % 256 == 0 && m_stepsDone < m_steps.size() && clock.elapsed() >= budgetMs)
            return false;
    }
    discard();
    return true;
}

void HeldImageList::discard() {
    m_texts.clear();
    m_ticks.clear();
    m_held.clear();
    m_steps.clear();
    m_stepsDone = 0;
    m_entries.clear();
}

void RemoveFile(const QString& path) {
    if (QFile::remove(path) || !QFile::exists(path))
        return;
    // A second, forced attempt for a file that was made read-only.
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner);
    QFile::remove(path);
}
