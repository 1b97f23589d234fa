#pragma once

#include "net/Transfer.h"

#include <QList>

#include <memory>
#include <vector>

#include <utility>

// A transfer that plays a script instead of talking to a server: the response's status and
// headers, the body bytes it hands over, and how it ends. It records every request started and
// every read asked for, so engine and run tests can check both without a network.
class ScriptedTransfer : public net::Transfer {
public:
    struct Script {
        int status = 200;
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
        // How the transfer ends once the body is handed over; a status other than Ok before any
        // body byte when failsAtResponse.
        net::Result end;
        bool failsAtResponse = false;
        // start() refuses the request with this result (not a web address, say).
        bool refusesToStart = false;
    };

    explicit ScriptedTransfer(Script script) : m_script(std::move(script)) {}

    bool start(const net::Request& request) override {
        requests << request;
        m_at = 0;
        m_ended = false;
        if (m_script.refusesToStart) {
            m_result = m_script.end;
            return false;
        }
        m_result = m_script.failsAtResponse ? m_script.end : net::Result();
        return true;
    }
    void expect(const QList<net::Request>& next) override { expected << next; }
    void waitForResponse() override {}
    QByteArray header(const QByteArray& name) const override {
        for (const auto& [key, value] : m_script.headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
    QByteArrayView nextChunk(qint64 size) override {
        reads << size;
        return take(size);
    }
    QByteArrayView nextPiece(qint64 size) override { return take(size); }
    void waitForEnd() override { m_ended = true; }
    void abort() override { aborted = true; }
    net::Result result() const override {
        // The end shows once the body is used up, as with a real transfer.
        return m_script.failsAtResponse || m_at >= m_script.body.size() || m_ended ? endResult() : m_result;
    }
    int status() const override { return m_script.refusesToStart ? 0 : m_script.status; }
    QByteArray finalAddress() const override {
        return requests.isEmpty() ? QByteArray() : requests.last().link;
    }

    QList<net::Request> requests;
    QList<QList<net::Request>> expected; // each expect() call
    QList<qint64> reads;
    bool aborted = false;

private:
    net::Result endResult() const { return m_script.end; }
    QByteArrayView take(qint64 size) {
        if (m_script.failsAtResponse || m_script.refusesToStart)
            return {};
        const qsizetype count = qsizetype(qMin<qint64>(size, m_script.body.size() - m_at));
        const QByteArrayView bytes(m_script.body.constData() + m_at, count);
        m_at += count;
        return bytes;
    }

    Script m_script;
    net::Result m_result;
    qsizetype m_at = 0;
    bool m_ended = false;
};

// Hands out transfers that play the same script for every request. The factory keeps each one
// it made, for the test to look at after the run that used it has ended.
class ScriptedFactory : public net::TransferFactory {
public:
    explicit ScriptedFactory(ScriptedTransfer::Script script) : m_script(std::move(script)) {}
    std::unique_ptr<net::Transfer> create() override {
        made.push_back(std::make_unique<ScriptedTransfer>(m_script));
        return std::make_unique<Lent>(*made.back());
    }
    std::vector<std::unique_ptr<ScriptedTransfer>> made;

private:
    // What the run owns: a stand-in for a transfer the factory keeps.
    class Lent : public net::Transfer {
    public:
        explicit Lent(ScriptedTransfer& real) : m_real(real) {}
        bool start(const net::Request& request) override { return m_real.start(request); }
        void expect(const QList<net::Request>& next) override { m_real.expect(next); }
        void waitForResponse() override { m_real.waitForResponse(); }
        QByteArray header(const QByteArray& name) const override { return m_real.header(name); }
        QByteArrayView nextChunk(qint64 size) override { return m_real.nextChunk(size); }
        QByteArrayView nextPiece(qint64 size) override { return m_real.nextPiece(size); }
        void waitForEnd() override { m_real.waitForEnd(); }
        void abort() override { m_real.abort(); }
        net::Result result() const override { return m_real.result(); }
        int status() const override { return m_real.status(); }
        QByteArray finalAddress() const override { return m_real.finalAddress(); }

    private:
        ScriptedTransfer& m_real;
    };

    ScriptedTransfer::Script m_script;
};
