#include "support/SequentialTransfer.h"

#include <QEventLoop>

namespace net {

namespace {

// One request read step by step: the loop's reports are kept until the reader asks for them.
class LoopTransfer : public Transfer, private TransferHandler {
public:
    LoopTransfer(std::shared_ptr<CurlLoop> loop, Purpose purpose)
        : m_loop(std::move(loop)), m_purpose(purpose) {}
    ~LoopTransfer() override { stop(); }

    bool start(const Request& request) override {
        stop();
        m_request = request;
        m_response = Response();
        m_headDone = false;
        m_ended = false;
        m_held = false;
        m_result = {};
        m_buffer.resize(0);
        m_readFrom = 0;
        m_id = m_loop->submit(request, *this, m_purpose);
        return m_id != 0 || m_result.status != Status::NotWebAddress;
    }
    void waitForResponse() override {
        waitUntil([this] { return m_headDone; });
    }
    QByteArray header(const QByteArray& name) const override { return m_response.header(name); }
    QByteArrayView nextChunk(qint64 size) override {
        if (size <= 0)
            return {};
        compact();
        waitUntil([&] { return buffered() >= size; });
        return take(size);
    }
    QByteArrayView nextPiece(qint64 size) override {
        if (size <= 0)
            return {};
        compact();
        waitUntil([&] { return buffered() > 0; });
        return take(size);
    }
    void waitForEnd() override {
        waitUntil([] { return false; });
    }
    void abort() override {
        if (!m_ended) {
            stop();
            m_ended = true;
            wake();
        }
    }
    Result result() const override { return m_result; }
    int status() const override { return m_headDone ? m_response.status : 0; }
    QByteArray finalAddress() const override {
        return m_headDone ? m_response.finalAddress : wireAddress(m_request.link);
    }

private:
    void head(const Response& response) override {
        m_response = response;
        m_headDone = true;
        if (response.status < 200 || response.status > 299)
            m_result = {Status::HttpStatus, QString::fromLatin1(response.phrase), response.status};
        wake();
    }
    Take body(QByteArrayView piece) override {
        if (buffered() >= CurlTransferFactory::bufferBytes) {
            m_held = true;
            return Take::Later;
        }
        // Bytes already read are dropped only here and in the reader's next call, so a view
        // handed out stays valid until then.
        if (m_readFrom > 0 && m_readFrom == m_buffer.size()) {
            m_buffer.resize(0);
            m_readFrom = 0;
        }
        m_buffer.append(piece.data(), piece.size());
        wake();
        return Take::Taken;
    }
    void finished(const Result& result) override {
        m_id = 0;
        m_ended = true;
        if (m_result.ok() || !result.ok())
            m_result = result;
        wake();
    }

    void stop() {
        if (m_id != 0)
            m_loop->cancel(std::exchange(m_id, 0));
    }
    qsizetype buffered() const { return m_buffer.size() - m_readFrom; }
    void compact() {
        if (m_readFrom == 0)
            return;
        if (m_readFrom == m_buffer.size()) {
            m_buffer.resize(0); // keeps the allocation
            m_readFrom = 0;
        } else if (m_readFrom >= m_buffer.size() / 2) {
            m_buffer.remove(0, m_readFrom);
            m_readFrom = 0;
        }
    }
    QByteArrayView take(qint64 size) {
        if (m_result.status == Status::Cancelled)
            return {};
        const qsizetype count = qsizetype(qMin<qint64>(size, buffered()));
        const QByteArrayView bytes(m_buffer.constData() + m_readFrom, count);
        m_readFrom += count;
        return bytes;
    }
    void resumeIfRoom() {
        if (m_held && m_id != 0 && buffered() <= CurlTransferFactory::bufferBytes / 2) {
            m_held = false;
            // May hand the kept bytes over at once, through body().
            m_loop->resume(m_id);
        }
    }
    template <typename Done> void waitUntil(Done done) {
        while (!done() && !m_ended) {
            resumeIfRoom();
            if (done() || m_ended)
                break;
            QEventLoop loop;
            m_wait = &loop;
            loop.exec();
            if (m_wait == &loop)
                m_wait = nullptr;
        }
    }
    // Quits the wait once: each quit wakes the event loop with a system call.
    void wake() {
        if (m_wait) {
            m_wait->quit();
            m_wait = nullptr;
        }
    }

    std::shared_ptr<CurlLoop> m_loop;
    Purpose m_purpose;
    Transfers::Id m_id = 0;
    Request m_request;
    Response m_response;
    bool m_headDone = false;
    bool m_ended = false;
    bool m_held = false;
    Result m_result;
    QByteArray m_buffer;
    qsizetype m_readFrom = 0;
    QEventLoop* m_wait = nullptr;
};

} // namespace

CurlTransferFactory::CurlTransferFactory(QByteArray userAgent) {
    CurlDefaults defaults;
    defaults.userAgent = std::move(userAgent);
    m_loop = std::make_shared<CurlLoop>(std::move(defaults));
}

CurlTransferFactory::CurlTransferFactory(CurlDefaults defaults)
    : m_loop(std::make_shared<CurlLoop>(std::move(defaults))) {}

CurlTransferFactory::CurlTransferFactory(std::shared_ptr<CurlLoop> loop, Purpose purpose)
    : m_loop(std::move(loop)), m_purpose(purpose) {}

CurlTransferFactory::~CurlTransferFactory() = default;

CurlDefaults CurlTransferFactory::defaults() const {
    return m_loop->defaults();
}

std::unique_ptr<Transfer> CurlTransferFactory::create() {
    return std::make_unique<LoopTransfer>(m_loop, m_purpose);
}

} // namespace net
