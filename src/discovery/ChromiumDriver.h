#pragma once

#include "net/WebPolicy.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

class QProcess;
class QSocketNotifier;
class QTemporaryDir;

// The browser that the rendered listing drives: one page in a headless Chromium, spoken to over
// the DevTools protocol. A seam: the job talks only to this, tests script it without a browser.
// Every call returns at once; answers come back through callbacks and signals on the event
// loop, so nothing waits on the GUI thread.
class ChromiumDriver : public QObject {
    Q_OBJECT
public:
    // A command's answer: its result, or (result empty) what the browser said went wrong.
    using Reply = std::function<void(const QJsonObject& result, const QString& error)>;

    // Starts the browser and opens the page everything else is sent to; ready() or failed().
    virtual void start() = 0;
    // Sends a command to the page ("Page.navigate", "Runtime.evaluate", ...).
    virtual void command(const QString& method, const QJsonObject& params, Reply reply = {}) = 0;
    // Ends the browser and everything it started; no signal comes after this.
    virtual void stop() = 0;

    // Runtime.evaluate of an expression whose value comes back as JSON.
    void evaluate(const QString& expression, Reply reply);

signals:
    void ready();
    // An event of the page's session: its method and params. The network events of a frame of
    // another site (its own process) come too, with "frameSession" added to their params, and
    // "Target.detachedFromTarget" with only that when such a frame is gone.
    void pageEvent(const QString& method, const QJsonObject& params);
    // The browser could not start, or ended on its own; the reason is worded for users.
    void failed(const QString& reason);
};

// The Chromium program to run: VARNOLUX_CHROMIUM when set, else "chromium" on PATH. Empty when
// there is none (or the named file cannot be run).
QString chromiumProgram();

// The proxy arguments that give Chromium the environment's proxy variables as curl reads them
// (http_proxy, https_proxy, all_proxy and their upper-case forms but HTTP_PROXY, no_proxy).
QStringList chromiumProxyArguments(const net::Environment& getenv);

// The real browser: Chromium started by QProcess with --remote-debugging-pipe (no TCP port that
// another local process could take), a fresh profile in a new folder under TMPDIR, headless,
// its sandbox on unless the program runs as root. Commands go to Chromium on its descriptor 3,
// answers and events come from its descriptor 4, as NUL-separated JSON messages.
class ChromiumProcess : public ChromiumDriver {
    Q_OBJECT
public:
    // program: the file to run; extraArguments go after ours (tests pin the resolver with them).
    ChromiumProcess(QString program, QStringList extraArguments = {});
    ~ChromiumProcess() override;

    void start() override;
    void command(const QString& method, const QJsonObject& params, Reply reply = {}) override;
    void stop() override;

    // The profile folder, while the browser runs.
    QString profilePath() const;
    qint64 processId() const;

private:
    // session: the page's, a frame's, or empty for the browser itself.
    void send(const QString& method, const QJsonObject& params, const QString& session, Reply reply);
    void followFrames(const QString& session);
    void readMessages();
    void writePending();
    void handle(const QJsonObject& message);
    void fail(const QString& reason);
    void closePipes();

    QString m_program;
    QStringList m_extra;
    std::unique_ptr<QTemporaryDir> m_profile;
    std::unique_ptr<QProcess> m_process;
    int m_toBrowser = -1;
    int m_fromBrowser = -1;
    std::unique_ptr<QSocketNotifier> m_readable;
    std::unique_ptr<QSocketNotifier> m_writable;
    QByteArray m_in;
    QByteArray m_out;
    QString m_target; // the page of ours
    QString m_session;
    QSet<QString> m_frameSessions; // frames of other sites, attached for their network only
    int m_nextId = 1;
    std::map<int, Reply> m_replies;
    bool m_stopped = false;
};
