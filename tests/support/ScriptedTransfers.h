#pragma once

#include "net/TransferLoop.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <map>
#include <utility>

// A transfer loop that plays scripts instead of talking to servers: per link, the response's
// status and headers, the body in pieces, and how it ends. Reports come from the event loop, one
// step per turn, as a real loop's would. It keeps the cap on transfers in flight and pauses a
// host that answered 429 or 503, and records every request, the most transfers it ever had in
// flight, and what was cancelled.
class ScriptedTransfers : public net::Transfers {
public:
    struct Script {
        int status = 200;
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
        // How the transfer ends once the body is handed over; before any body byte when
        // failsAtResponse (after a head when status is not 0).
        net::Result end;
        bool failsAtResponse = false;
        // submit() refuses the request with end (not a web address, say).
        bool refusesToStart = false;
        int delayMs = 0;           // before the head
        qsizetype pieceSize = 700; // the body comes in pieces of this size
        int pieceDelayMs = 0;      // between two pieces
    };

    // Each request of the link plays the next script, the last one again and again.
    void script(const QByteArray& link, QList<Script> scripts) { m_scripts[link] = std::move(scripts); }
    Script fallback;  // for links without a script of their own
    int pauseMs = 50; // how long a 429 or 503 pauses its host

    Id submit(const net::Request& request, net::TransferHandler& handler, net::Purpose purpose) override {
        requests << request;
        QList<Script>& scripts = m_scripts[request.link];
        const int played = m_played[request.link]++;
        const Script script =
            scripts.isEmpty() ? fallback : scripts.value(qMin<int>(played, scripts.size() - 1));
        if (script.refusesToStart) {
            handler.finished(script.end);
            return 0;
        }
        const Id id = ++m_lastId;
        m_transfers[id] = {request, &handler, script, purpose};
        QTimer::singleShot(0, &m_context, [this] { startWaiting(); });
        return id;
    }
    void resume(Id id) override {
        auto it = m_transfers.find(id);
        if (it == m_transfers.end() || !it->second.held)
            return;
        it->second.held = false;
        later(id, 0);
    }
    void cancel(Id id) override {
        auto it = m_transfers.find(id);
        if (it == m_transfers.end())
            return;
        cancelled << it->second.request.link;
        if (it->second.started)
            --inFlight;
        m_transfers.erase(it);
        QTimer::singleShot(0, &m_context, [this] { startWaiting(); });
    }
    void setMaxInFlight(int count) override { maxInFlight = count; }
    void setPauseListener(std::function<void(const net::HostPause&)> listener) override {
        m_listener = std::move(listener);
    }
    QList<net::HostPause> pausedHosts() const override {
        QList<net::HostPause> paused;
        for (const net::HostPause& pause : m_pauses)
            if (pause.until > QDateTime::currentDateTimeUtc())
                paused << pause;
        return paused;
    }

    static QByteArray hostOf(const QByteArray& link) {
        const QUrl url = QUrl::fromEncoded(link);
        return url.scheme().toUtf8() + "://" + url.host().toUtf8() + ':' + QByteArray::number(url.port(-1));
    }

    QList<net::Request> requests;
    QList<QByteArray> cancelled;
    int maxInFlight = 1;
    int inFlight = 0;
    int mostInFlight = 0;
    int held = 0; // pieces a handler did not take at once
    // Every request that went on the wire, with the number in flight it made.
    QList<std::pair<QByteArray, int>> started;

private:
    struct Running {
        net::Request request;
        net::TransferHandler* handler = nullptr;
        Script script;
        net::Purpose purpose = net::Purpose::Image;
        bool started = false;
        bool headDone = false;
        bool held = false;
        qsizetype at = 0;
    };

    bool paused(const QByteArray& host) const {
        for (const net::HostPause& pause : m_pauses)
            if (pause.host == host && pause.until > QDateTime::currentDateTimeUtc())
                return true;
        return false;
    }
    void startWaiting() {
        for (auto& [id, running] : m_transfers) {
            if (running.started || paused(hostOf(running.request.link)))
                continue;
            if (running.purpose == net::Purpose::Image && inFlight >= maxInFlight)
                break;
            running.started = true;
            ++inFlight;
            mostInFlight = qMax(mostInFlight, inFlight);
            started << std::pair{running.request.link, inFlight};
            later(id, running.script.delayMs);
        }
    }
    void later(Id id, int ms) {
        QTimer::singleShot(ms, &m_context, [this, id] { step(id); });
    }
    // By value: the result may live in the script of the transfer that ends here.
    void end(Id id, const net::Result result) {
        auto it = m_transfers.find(id);
        net::TransferHandler* handler = it->second.handler;
        const int status = it->second.script.status;
        const QByteArray host = hostOf(it->second.request.link);
        --inFlight;
        m_transfers.erase(it);
        if (status == 429 || status == 503) {
            const net::HostPause pause{host, QDateTime::currentDateTimeUtc().addMSecs(pauseMs), status};
            m_pauses.removeIf([&](const net::HostPause& known) { return known.host == host; });
            m_pauses << pause;
            if (m_listener)
                m_listener(pause);
            QTimer::singleShot(pauseMs + 1, &m_context, [this] { startWaiting(); });
        }
        handler->finished(result);
        QTimer::singleShot(0, &m_context, [this] { startWaiting(); });
    }
    void step(Id id) {
        auto it = m_transfers.find(id);
        if (it == m_transfers.end() || it->second.held)
            return;
        Running& running = it->second;
        const Script& script = running.script;
        if (!running.headDone) {
            running.headDone = true;
            if (script.status != 0) {
                net::Response response;
                response.status = script.status;
                response.finalAddress = running.request.link;
                response.headers = script.headers;
                running.handler->head(response);
                if (m_transfers.find(id) == m_transfers.end())
                    return;
            }
            if (script.failsAtResponse) {
                end(id, script.end);
                return;
            }
            if (script.status < 200 || script.status > 299) {
                end(id, {net::Status::HttpStatus, QString(), script.status});
                return;
            }
            later(id, 0);
            return;
        }
        if (running.at < script.body.size()) {
            const QByteArray piece = script.body.mid(running.at, script.pieceSize);
            const net::TransferHandler::Take taken = running.handler->body(piece);
            it = m_transfers.find(id);
            if (it == m_transfers.end())
                return;
            if (taken == net::TransferHandler::Take::Later) {
                ++held;
                it->second.held = true;
                return;
            }
            it->second.at += piece.size();
            later(id, script.pieceDelayMs);
            return;
        }
        end(id, script.end);
    }

    QObject m_context;
    Id m_lastId = 0;
    std::map<Id, Running> m_transfers; // in the order submitted
    QHash<QByteArray, QList<Script>> m_scripts;
    QHash<QByteArray, int> m_played;
    QList<net::HostPause> m_pauses;
    std::function<void(const net::HostPause&)> m_listener;
};
