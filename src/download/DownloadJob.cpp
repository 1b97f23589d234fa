#include "download/DownloadJob.h"

#include "core/Cancellation.h"
#include "core/DiskWriter.h"
#include "core/Ui.h"
#include "download/PartFile.h"

#include <QDateTime>

#include <limits>

namespace {

// Only blanks are trimmed from the address, as the request always did; tabs and the like are
// encoded into the request instead.
QByteArray trimBlanks(const QByteArray& text) {
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text[from] == ' ')
        ++from;
    while (to > from && text[to - 1] == ' ')
        --to;
    return text.sliced(from, to - from);
}

// Inside a numbered step: a failed result becomes the step's failure, in the result's own words.
void reportFailure(const net::Result& result) {
    if (!result.ok())
        throw StepFailure(net::reasonText(result));
}

// A header of the response as sent; a chunked body's framing overrides any length beside it.
QByteArray headerOf(const net::Response& response, QByteArrayView name) {
    if (response.chunked && name.compare(QByteArrayView("Content-Length"), Qt::CaseInsensitive) == 0)
        return {};
    for (const auto& [key, value] : response.headers)
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

bool success(int status) {
    return status >= 200 && status <= 299;
}

} // namespace

DownloadJob::DownloadJob(net::Transfers& loop, DiskWriter& writer, ProgressDisplay& bar, MessageBoxes& boxes)
    : m_loop(loop), m_writer(writer), m_bar(bar), m_boxes(boxes), m_trap(boxes, trapTags::downloadFile),
      m_context(std::make_unique<QObject>()), m_queued(std::make_shared<std::atomic<qint64>>(0)),
      m_writeFailed(std::make_shared<std::atomic<bool>>(false)),
      m_writeFailure(std::make_shared<net::Result>()) {
    m_retryTimer.setSingleShot(true);
    QObject::connect(&m_retryTimer, &QTimer::timeout, m_context.get(), [this] { startTry(); });
}

DownloadJob::~DownloadJob() {
    QObject::disconnect(m_cancelWatch);
    dropTransfer();
    // Whatever part file is left goes on the writer, after the bytes queued for it.
    if (m_part)
        m_writer.post([part = std::move(m_part)]() mutable { part.reset(); });
}

void DownloadJob::setOptions(const DownloadOptions& options) {
    m_retries = options.retries;
    m_keepExisting = options.onExists == OnExists::Skip;
}

void DownloadJob::DownloadFile(QByteArray address, const QString& destinationPath, Done done) {
    m_done = std::move(done);
    m_active = true;
    m_ending = false;
    m_destination = destinationPath;
    m_shown = QString::fromUtf8(address);
    m_requests = 0;
    m_tries = 1;
    m_state = {};
    m_result = {};
    m_writeFailed = std::make_shared<std::atomic<bool>>(false);
    m_writeFailure = std::make_shared<net::Result>();
    m_createFailed = false;
    m_cancelWatch = QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, m_context.get(),
                                     [this] { cancel(); });

    m_trap.step(100, [&] { m_bar.setText(QLatin1StringView("Downloading: ") + m_shown); });
    // https stays https: it is fetched over TLS, never rewritten to plain http.
    m_trap.step(102, [&] { m_requested = trimBlanks(address); });
    startTry();
}

void DownloadJob::startTry() {
    m_stale = false;
    m_held = false;
    m_headSeen = false;
    m_response = {};
    m_expected = -1;
    m_offset = 0;
    m_left = 0;
    m_received = 0;
    m_arrived = 0;
    m_takesRanges = false;
    m_etag.clear();
    m_lastModified.clear();
    m_chunk.clear();
    m_chunkSize = 0;
    m_outgoing.clear();
    m_head.clear();
    m_shownPercent = -1;
    m_result = {};
    // Resumed only into the bytes of the very same version, else the body starts again from zero.
    m_resumeFrom = m_state.resumable() && m_part ? m_partBytes : 0;
    m_before = m_state;
    m_state = {};
    if (Cancellation::requested()) {
        m_result.cancelled = true;
        m_result.reason = net::reasonText({net::Status::Cancelled});
        finish();
        return;
    }

    // A link that cannot be requested (no web address, say) is this entry's failure, told with its
    // reason like any other, and no fault of the program.
    m_refused.reset();
    const bool stepped = m_trap.step(104, [&] {
        net::Request request = net::Request::of(m_requested);
        request.identityEncoding = true;
        // The loop works out each request's Referer from the page, redirects included.
        request.referer = m_refererPage;
        if (m_resumeFrom > 0) {
            request.headers.append("Range: bytes=" + QByteArray::number(m_resumeFrom) + '-');
            request.headers.append("If-Range: " +
                                   (m_before.etag.isEmpty() ? m_before.lastModified : m_before.etag));
        }
        m_submitting = true;
        m_id = m_loop.submit(request, *this, net::Purpose::Image);
        m_submitting = false;
        if (m_id != 0)
            ++m_requests;
    });
    m_submitting = false;
    if (!stepped || m_id == 0) {
        const net::Result wire = m_refused.value_or(net::Result());
        giveUp(wire.ok() ? QStringLiteral("the request could not be started") : net::reasonText(wire), wire);
    }
}

void DownloadJob::head(const net::Response& response) {
    if (m_stale)
        return;
    m_headSeen = true;
    m_response = response;
    // The response is in; before, the wait was here.
    m_trap.step(106, [] {});
    // Anything but success ends with finished(), which tells why.
    if (!success(response.status))
        return;

    // -1: no usable "Content-Length"; the whole body is saved, however long it turns out.
    QString header;
    m_trap.step(110, [&] { header = QString::fromLatin1(headerOf(response, "Content-Length")); });
    m_trap.step(114, [&] { m_expected = DownloadEngine::expectedLength(header); });

    m_etag = headerOf(response, "ETag");
    m_lastModified = headerOf(response, "Last-Modified");
    if (m_resumeFrom > 0 && response.status == 206) {
        const QByteArray range = headerOf(response, "Content-Range").trimmed();
        const QByteArray wanted = "bytes " + QByteArray::number(m_resumeFrom) + '-' +
                                  QByteArray::number(m_before.total - 1) + '/' +
                                  QByteArray::number(m_before.total);
        const bool sameVersion =
            m_before.etag.isEmpty() ? m_lastModified == m_before.lastModified : m_etag == m_before.etag;
        if (range != wanted || !sameVersion || m_expected != m_before.total - m_resumeFrom) {
            // Not the rest of the same body: it starts again from zero, at once (not from inside
            // the loop's report).
            dropTransfer();
            m_state = {};
            QTimer::singleShot(0, m_context.get(), [this] { startTry(); });
            return;
        }
        m_offset = m_resumeFrom;
        m_expected += m_offset;
    }
    if (m_watch && m_offset == 0 && !m_watch->begin(response)) {
        declineBody();
        return;
    }
    m_trap.step(118, [&] { m_left = m_expected - m_offset; });
    m_trap.step(120, [&] { m_received = m_offset; });
    // Whether a broken-off body of this answer can be resumed by the next try.
    m_takesRanges = headerOf(response, "Accept-Ranges").trimmed() == "bytes" || m_offset > 0;

    // The body goes to a fresh file beside the destination and replaces it only when complete. A
    // failed file step is this procedure's report: its result is worded into the trap there.
    if (m_offset == 0) {
        if (m_part)
            m_writer.post([part = std::move(m_part)]() mutable { part.reset(); });
        m_part = std::make_shared<PartFile>();
        m_partBytes = 0;
        // A new file, with its own record of failed writes: those of the last one are no matter.
        m_writeFailed = std::make_shared<std::atomic<bool>>(false);
        m_writeFailure = std::make_shared<net::Result>();
        m_createFailed = false;
        // Created by the writer, before the bytes it is given, so the loop never waits on the
        // disk; a file that cannot be created fails its writes too, and is told as the create
        // step's failure once the writer is back.
        auto opened = std::make_shared<net::Result>();
        m_writer.postAnswering(
            [part = m_part, destination = m_destination, failed = m_writeFailed, failure = m_writeFailure,
             opened] {
                *opened = part->create(destination);
                if (opened->ok())
                    return false;
                *failure = *opened;
                *failed = true;
                return true;
            },
            m_context.get(),
            [this, part = m_part, opened] {
                if (part != m_part)
                    return;
                m_createFailed = true;
                writeFailed(*m_writeFailure);
            });
    }
}

net::TransferHandler::Take DownloadJob::body(QByteArrayView piece) {
    if (m_stale || m_ending)
        return Take::Taken;
    // The disk is behind: the loop keeps these bytes until the writer has caught up.
    if (*m_queued > maxQueuedBytes) {
        m_held = true;
        return Take::Later;
    }
    while (!piece.isEmpty()) {
        // Bytes beyond the announced length are not the image's.
        if (m_expected >= 0 && m_left == 0)
            break;
        const qint64 full =
            m_expected >= 0 ? qMin(m_left, DownloadEngine::chunkSize) : DownloadEngine::chunkSize;
        const qsizetype take = qsizetype(qMin<qint64>(full - m_chunk.size(), piece.size()));
        m_chunk.append(piece.first(take));
        piece = piece.sliced(take);
        m_arrived += take;
        if (m_chunk.size() == full) {
            takeChunk(m_chunk);
            m_chunk.clear();
            if (m_stale)
                return Take::Taken;
        }
    }
    if (m_outgoing.size() >= PartFile::bufferBytes)
        flushToDisk();
    return Take::Taken;
}

void DownloadJob::takeChunk(QByteArrayView chunk) {
    const qint64 size = chunk.size();
    if (m_expected >= 0) {
        m_trap.condition(126, [&] { return m_left != 0; });
        m_trap.step(134, [] {});
        m_trap.step(136, [] {});
        m_trap.step(138, [&] { m_left -= size; });
        m_trap.step(144, [&] { m_received = m_expected - m_left; });
        int percent = 0;
        m_trap.step(146, [&] { percent = DownloadEngine::percentDone(m_received, m_expected); });
        m_trap.step(148, [&] {
            // The text changes only with the percent; it is made anew only then.
            if (percent != m_shownPercent) {
                m_text = DownloadEngine::percentText(m_shown, percent);
                m_shownPercent = percent;
            }
            m_bar.setText(m_text);
        });
    } else {
        m_trap.step(136, [] {});
        m_trap.step(144, [&] { m_received += size; });
        m_trap.step(148, [&] { m_bar.setText(DownloadEngine::bytesText(m_shown, m_received)); });
    }
    if (m_head.size() < sniffLength)
        m_head += chunk.first(qMin(chunk.size(), sniffLength - m_head.size()));
    if (m_watch && !m_watch->take(chunk))
        declineBody();
    m_outgoing += chunk;
    m_partBytes += size;
    if (m_listener)
        m_listener(m_received, m_expected);
}

void DownloadJob::flushToDisk() {
    if (m_outgoing.isEmpty() || !m_part)
        return;
    QByteArray bytes = std::exchange(m_outgoing, {});
    const qint64 size = bytes.size();
    *m_queued += size;
    m_writer.post(
        [part = m_part, bytes = std::move(bytes), size, queued = m_queued, failed = m_writeFailed,
         failure = m_writeFailure] {
            if (!*failed) {
                if (net::Result written = part->write(bytes); !written.ok()) {
                    *failure = std::move(written);
                    *failed = true;
                }
            }
            *queued -= size;
        },
        m_context.get(),
        [this] {
            if (*m_writeFailed) {
                writeFailed(*m_writeFailure);
                return;
            }
            if (m_held && m_id != 0 && *m_queued <= maxQueuedBytes / 4) {
                m_held = false;
                m_loop.resume(m_id);
            }
        });
}

void DownloadJob::writeFailed(const net::Result& written) {
    // Once the body is complete the commit reports it.
    if (m_stale || m_ending)
        return;
    m_trap.step(m_createFailed ? 124 : 150, [&] { reportFailure(written); });
    noteResumePoint();
    giveUp(net::reasonText(written), {});
}

void DownloadJob::noteResumePoint() {
    if (m_takesRanges && m_expected > 0 && (!m_etag.isEmpty() || !m_lastModified.isEmpty())) {
        m_state.etag = m_etag;
        m_state.lastModified = m_lastModified;
        m_state.total = m_expected;
    }
}

void DownloadJob::finished(const net::Result& result) {
    if (m_submitting) {
        m_refused = result;
        return;
    }
    if (m_stale || m_ending)
        return;
    m_id = 0;
    // A success whose body then broke off is told below, with the count.
    if (!result.ok() && (!m_headSeen || !success(m_response.status))) {
        giveUp(net::reasonText(result), result);
        return;
    }
    if (!m_headSeen) {
        giveUp(QStringLiteral("the download failed"), result);
        return;
    }
    if (m_expected >= 0) {
        if (m_left > 0) {
            // A body shorter than announced is a failed download, not an image.
            QString failure = QStringLiteral("the body ended after %1 of %2 bytes")
                                  .arg(m_offset + m_arrived)
                                  .arg(m_expected);
            if (!result.ok())
                failure += QLatin1StringView(" (") + net::reasonText(result) + u')';
            m_result.bytes = m_received;
            noteResumePoint();
            giveUp(failure, result);
            return;
        }
    } else if (!m_chunk.isEmpty()) {
        // The last chunk is whatever came after the last whole one.
        const QByteArray last = std::exchange(m_chunk, {});
        takeChunk(last);
        if (m_stale)
            return;
    }
    m_result.bytes = m_received;
    // The body is complete only when the transfer ended without a fault.
    if (!result.ok()) {
        noteResumePoint();
        giveUp(net::reasonText(result), result);
        return;
    }
    // Without a length nothing tells an empty body from a connection closed before it began: only
    // a length of 0 vouches for an empty file.
    if (m_expected < 0 && m_received == 0) {
        giveUp(QStringLiteral("no body arrived, and without a length of 0 an empty body cannot be told "
                              "from a broken one"),
               result);
        return;
    }
    bodyEnded();
}

void DownloadJob::bodyEnded() {
    if (m_offWire)
        std::exchange(m_offWire, {})();
    // The watch may name the file now, or not keep it.
    const BodyWatch::Placement placed = m_watch ? m_watch->place() : BodyWatch::Placement();
    m_result.sha256 = placed.sha256;
    m_result.notes = placed.notes;
    m_result.duplicateOf = placed.duplicateOf;
    m_result.path = placed.path;
    m_result.width = placed.width;
    m_result.height = placed.height;
    m_result.contentType = placed.contentType;
    if (!placed.failure.ok()) {
        giveUp(net::reasonText(placed.failure), {});
        return;
    }
    if (placed.declined) {
        m_result.httpStatus = m_response.status;
        m_result.skipped = true;
        m_result.reason = placed.reason;
        finish();
        return;
    }
    // rename() replaces the destination in one step, and replaces a symbolic link itself instead
    // of writing through it. The last bytes and the rename go the way of every write.
    struct Outcome {
        net::Result saved;
        bool existed = false;
    };
    auto outcome = std::make_shared<Outcome>();
    m_ending = true;
    m_writer.post(
        [part = m_part, bytes = std::exchange(m_outgoing, {}), failed = m_writeFailed, keep = m_keepExisting,
         outcome, destination = placed.path] {
            if (!destination.isEmpty())
                part->setDestination(destination);
            if (!*failed && !bytes.isEmpty())
                outcome->saved = part->write(bytes);
            // A write that failed before left a file short of bytes: it is never put in place.
            if (*failed && outcome->saved.ok())
                outcome->saved =
                    net::Result::localFile(QStringLiteral("Cannot write %1").arg(part->fileName()));
            if (!outcome->saved.ok())
                return;
            outcome->saved = keep ? part->commitKeeping(&outcome->existed) : part->commit();
        },
        m_context.get(),
        [this, outcome] {
            m_ending = false;
            // The body's last bytes could not be written: the write step's failure, as any other.
            if (*m_writeFailed) {
                writeFailed(*m_writeFailure);
                return;
            }
            if (!m_trap.step(152, [&] {
                    // A file that appeared meanwhile under a name to be kept is no fault.
                    if (!outcome->existed)
                        reportFailure(outcome->saved);
                })) {
                giveUp(outcome->saved.ok() ? QStringLiteral("the file could not be saved")
                                           : net::reasonText(outcome->saved),
                       {});
                return;
            }
            m_result.httpStatus = m_response.status;
            if (outcome->existed) {
                m_result.skipped = true;
                m_result.reason = QStringLiteral("the file exists");
            } else {
                m_result.saved = true;
                m_result.kind = sniffBody(m_head);
                // In place: nothing of the temporary file is left for the writer to remove.
                m_part.reset();
            }
            m_trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
            finish(Told::FromEventLoop);
        });
}

void DownloadJob::giveUp(const QString& reason, const net::Result& wire) {
    // What a next try may go on from must be in the file by then.
    if (m_state.resumable() && !*m_writeFailed)
        flushToDisk();
    m_result.saved = false;
    m_result.reason = reason;
    m_result.cancelled = m_result.cancelled || wire.status == net::Status::Cancelled;
    m_result.httpStatus = m_headSeen ? m_response.status : 0;
    m_state.retryable = retry::retryable(wire);
    if (wire.status == net::Status::HttpStatus)
        m_state.retryAfterMs =
            retry::retryAfterMs(headerOf(m_response, "Retry-After"), QDateTime::currentDateTimeUtc());
    dropTransfer();
    m_trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
    afterTry();
}

void DownloadJob::afterTry() {
    // What the server received: a try that restarted from zero sent two, one that could not start
    // sent none.
    m_result.tries = m_requests;
    if (m_result.saved || m_result.skipped || m_result.cancelled || !m_state.retryable ||
        m_tries > m_retries) {
        finish();
        return;
    }
    qint64 wait = retry::backoffMs(m_tries);
    if (m_state.retryAfterMs) {
        if (*m_state.retryAfterMs > retry::maxRetryAfterSeconds * retry::unitMs()) {
            m_result.reason +=
                QStringLiteral("; the server asks to wait more than %1 seconds before another try")
                    .arg(retry::maxRetryAfterSeconds);
            finish();
            return;
        }
        wait = *m_state.retryAfterMs;
    }
    // A host that asked the run to slow down is paused by the loop for every request to it: the
    // next try waits there, in line with the others.
    if (m_result.httpStatus == 429 || m_result.httpStatus == 503)
        wait = 0;
    ++m_tries;
    m_retryTimer.start(int(qMin<qint64>(wait, std::numeric_limits<int>::max())));
}

void DownloadJob::cancel() {
    if (!m_active || m_ending)
        return;
    m_retryTimer.stop();
    dropTransfer();
    m_result.saved = false;
    m_result.cancelled = true;
    if (m_result.reason.isEmpty())
        m_result.reason = net::reasonText({net::Status::Cancelled});
    m_trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
    finish();
}

void DownloadJob::declineBody() {
    const BodyWatch::Placement refused = m_watch->refusal();
    dropTransfer();
    m_result.saved = false;
    m_result.skipped = true;
    m_result.reason = refused.reason;
    m_result.httpStatus = m_response.status;
    m_result.bytes = m_received;
    m_result.width = refused.width;
    m_result.height = refused.height;
    m_result.contentType = refused.contentType;
    m_trap.step(154, [&] { m_bar.setText(QStringLiteral("Progress Bar")); });
    finish();
}

void DownloadJob::dropTransfer() {
    m_stale = true;
    m_held = false;
    if (const net::Transfers::Id id = std::exchange(m_id, 0); id != 0)
        m_loop.cancel(id);
}

void DownloadJob::finish(Told told) {
    m_ending = true;
    m_retryTimer.stop();
    QObject::disconnect(m_cancelWatch);
    m_result.tries = m_requests;
    // Told only once the temporary file is gone (or in place): nothing half-written is left when
    // the caller hears of the end.
    auto report = [this] {
        m_active = false;
        m_ending = false;
        const Done done = std::move(m_done);
        m_done = {};
        if (done)
            done(m_result);
    };
    std::shared_ptr<PartFile> part = std::exchange(m_part, {});
    if (!part) {
        // No disk work is left to wait for; told from the event loop all the same, never from
        // inside a call to this job.
        if (told == Told::FromEventLoop)
            report();
        else
            QTimer::singleShot(0, m_context.get(), report);
        return;
    }
    m_writer.post([part = std::move(part)]() mutable { part.reset(); }, m_context.get(), report);
}
