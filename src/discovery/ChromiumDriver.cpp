#include "discovery/ChromiumDriver.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace Qt::StringLiterals;

// What Chromium's pipe mode reads commands from and writes answers to.
constexpr int commandFd = 3;
constexpr int answerFd = 4;
// A message bigger than this is no answer of ours: the browser is not to be trusted with memory.
constexpr qsizetype maxMessage = 256 * 1024 * 1024;

QString envOf(const net::Environment& getenv, const char* name) {
    return QString::fromLocal8Bit(getenv(name));
}

} // namespace

void ChromiumDriver::evaluate(const QString& expression, Reply reply) {
    command(u"Runtime.evaluate"_s,
            QJsonObject{{u"expression"_s, expression}, {u"returnByValue"_s, true}, {u"awaitPromise"_s, true}},
            [reply = std::move(reply)](const QJsonObject& result, const QString& error) {
                if (!error.isEmpty())
                    return reply({}, error);
                if (result.contains(u"exceptionDetails"_s))
                    return reply({}, u"the page's script failed"_s);
                reply(result.value(u"result"_s).toObject(), {});
            });
}

QString chromiumProgram() {
    const QString named = qEnvironmentVariable("VARNOLUX_CHROMIUM");
    if (!named.isEmpty()) {
        const QFileInfo info(named);
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    }
    return QStandardPaths::findExecutable(u"chromium"_s);
}

QStringList chromiumProxyArguments(const net::Environment& getenv) {
    auto first = [&](std::initializer_list<const char*> names) {
        for (const char* n : names) {
            const QString v = envOf(getenv, n).trimmed();
            if (!v.isEmpty())
                return v;
        }
        return QString();
    };
    const QString all = first({"all_proxy", "ALL_PROXY"});
    const QString http = first({"http_proxy"});
    const QString https = first({"https_proxy", "HTTPS_PROXY"});
    const QString noProxy = first({"no_proxy", "NO_PROXY"});
    if ((all.isEmpty() && http.isEmpty() && https.isEmpty()) || noProxy == u"*")
        return {};
    QStringList rules;
    if (!http.isEmpty() || !all.isEmpty())
        rules << u"http="_s + (http.isEmpty() ? all : http);
    if (!https.isEmpty() || !all.isEmpty())
        rules << u"https="_s + (https.isEmpty() ? all : https);
    QStringList arguments{u"--proxy-server="_s + rules.join(u';')};
    QStringList bypass;
    for (const QString& entry : noProxy.split(u',', Qt::SkipEmptyParts)) {
        const QString host = entry.trimmed();
        if (host.isEmpty())
            continue;
        // curl's "example.org" covers its subdomains; Chromium's needs the "*." form for them.
        const QString bare = host.startsWith(u'.') ? host.mid(1) : host;
        bypass << bare;
        if (!bare.front().isDigit() && !bare.startsWith(u'['))
            bypass << u"*."_s + bare;
    }
    if (!bypass.isEmpty())
        arguments << u"--proxy-bypass-list="_s + bypass.join(u';');
    return arguments;
}

ChromiumProcess::ChromiumProcess(QString program, QStringList extraArguments)
    : m_program(std::move(program)), m_extra(std::move(extraArguments)) {}

ChromiumProcess::~ChromiumProcess() {
    stop();
}

QString ChromiumProcess::profilePath() const {
    return m_profile ? m_profile->path() : QString();
}

qint64 ChromiumProcess::processId() const {
    return m_process ? m_process->processId() : 0;
}

void ChromiumProcess::start() {
    // A TMPDIR that does not exist reads as no folder at all, which would put the profile into
    // the current folder.
    const QString temporaryFolder = QDir::tempPath();
    if (temporaryFolder.isEmpty())
        return fail(u"the temporary folder %1 for the browser's profile does not exist"_s.arg(
            QDir::toNativeSeparators(qEnvironmentVariable("TMPDIR"))));
    m_profile =
        std::make_unique<QTemporaryDir>(QDir(temporaryFolder).filePath(u"varnolux-chromium-XXXXXX"_s));
    if (!m_profile->isValid())
        return fail(
            u"a folder for the browser's profile could not be created (%1)"_s.arg(m_profile->errorString()));

    int toBrowser[2];
    int fromBrowser[2];
    if (::pipe2(toBrowser, O_CLOEXEC) != 0)
        return fail(
            u"the browser's pipe could not be made (%1)"_s.arg(QString::fromLocal8Bit(strerror(errno))));
    if (::pipe2(fromBrowser, O_CLOEXEC) != 0) {
        ::close(toBrowser[0]);
        ::close(toBrowser[1]);
        return fail(
            u"the browser's pipe could not be made (%1)"_s.arg(QString::fromLocal8Bit(strerror(errno))));
    }
    m_toBrowser = toBrowser[1];
    m_fromBrowser = fromBrowser[0];
    ::fcntl(m_toBrowser, F_SETFL, ::fcntl(m_toBrowser, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_fromBrowser, F_SETFL, ::fcntl(m_fromBrowser, F_GETFL) | O_NONBLOCK);
    const int childReads = toBrowser[0];
    const int childWrites = fromBrowser[1];

    // The profile and Chromium's own temporary files (its singleton socket's folder above all,
    // which a killed browser leaves behind) in the one folder that goes at the end.
    const QString profile = m_profile->filePath(u"profile"_s);
    const QString temporary = m_profile->filePath(u"tmp"_s);
    if (!QDir().mkpath(profile) || !QDir().mkpath(temporary))
        return fail(
            u"a folder for the browser's profile could not be created in %1"_s.arg(m_profile->path()));
    QStringList arguments{
        u"--headless"_s,
        u"--remote-debugging-pipe"_s,
        u"--user-data-dir="_s + profile,
        u"--no-first-run"_s,
        u"--no-default-browser-check"_s,
        u"--disable-background-networking"_s,
        u"--disable-component-update"_s,
        u"--disable-sync"_s,
        u"--disable-default-apps"_s,
        u"--disable-extensions"_s,
        u"--disable-breakpad"_s,
        u"--disable-features=Translate,MediaRouter,OptimizationHints,DialMediaRouteProvider"_s,
        u"--password-store=basic"_s,
        u"--use-mock-keychain"_s,
        u"--mute-audio"_s,
        u"--hide-scrollbars"_s};
    // Chromium refuses to start its sandbox as root; everyone else keeps it.
    if (::geteuid() == 0)
        arguments << u"--no-sandbox"_s;
    arguments << chromiumProxyArguments([](const char* name) { return qgetenv(name); });
    arguments << m_extra;
    arguments << u"about:blank"_s;

    m_process = std::make_unique<QProcess>();
    m_process->setProgram(m_program);
    m_process->setArguments(arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"TMPDIR"_s, temporary);
    m_process->setProcessEnvironment(environment);
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->setStandardErrorFile(QProcess::nullDevice());
    m_process->setChildProcessModifier([childReads, childWrites] {
        // Only async-signal-safe calls here. A group of its own, so the whole browser can be
        // ended at once; the two pipe ends moved out of the way first, then onto 3 and 4.
        ::setpgid(0, 0);
        const int reads = ::fcntl(childReads, F_DUPFD, 10);
        const int writes = ::fcntl(childWrites, F_DUPFD, 10);
        if (reads < 0 || writes < 0 || ::dup2(reads, commandFd) < 0 || ::dup2(writes, answerFd) < 0)
            ::_exit(127);
        ::close(reads);
        ::close(writes);
    });
    connect(m_process.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            fail(u"the browser %1 could not be started (%2)"_s.arg(m_program, m_process->errorString()));
    });
    connect(m_process.get(), &QProcess::finished, this,
            [this](int, QProcess::ExitStatus) { fail(u"the browser ended unexpectedly"_s); });
    m_process->start();
    ::close(childReads);
    ::close(childWrites);
    if (m_stopped || !m_process)
        return;

    m_readable = std::make_unique<QSocketNotifier>(m_fromBrowser, QSocketNotifier::Read);
    connect(m_readable.get(), &QSocketNotifier::activated, this, [this] { readMessages(); });
    m_writable = std::make_unique<QSocketNotifier>(m_toBrowser, QSocketNotifier::Write);
    m_writable->setEnabled(false);
    connect(m_writable.get(), &QSocketNotifier::activated, this, [this] { writePending(); });

    // Downloads a page starts are refused (headless Chromium would save them in ~/Downloads),
    // then a page of our own is opened and attached to, its messages flattened into this pipe.
    send(u"Browser.setDownloadBehavior"_s, {{u"behavior"_s, u"deny"_s}}, QString(), {});
    send(u"Target.createTarget"_s, {{u"url"_s, u"about:blank"_s}}, QString(),
         [this](const QJsonObject& created, const QString& error) {
             if (!error.isEmpty())
                 return fail(u"the browser could not open a page (%1)"_s.arg(error));
             m_target = created.value(u"targetId"_s).toString();
             send(u"Target.attachToTarget"_s,
                  {{u"targetId"_s, created.value(u"targetId"_s).toString()}, {u"flatten"_s, true}}, QString(),
                  [this](const QJsonObject& attached, const QString& error) {
                      if (!error.isEmpty())
                          return fail(u"the browser could not open a page (%1)"_s.arg(error));
                      m_session = attached.value(u"sessionId"_s).toString();
                      followFrames(m_session);
                      // Every other page (a window the page opens despite the pop-up blocker)
                      // is closed as soon as it is known; nothing of it is listened to.
                      send(u"Target.setDiscoverTargets"_s, {{u"discover"_s, true}}, QString(), {});
                      emit ready();
                  });
         });
}

void ChromiumProcess::command(const QString& method, const QJsonObject& params, Reply reply) {
    send(method, params, m_session, std::move(reply));
}

void ChromiumProcess::followFrames(const QString& session) {
    // Frames of other sites run in processes of their own, each a target of its own: attached to
    // (held at their start until their network is listened to), their requests count for the
    // quiet network as the page's own do.
    send(u"Target.setAutoAttach"_s,
         {{u"autoAttach"_s, true},
          {u"waitForDebuggerOnStart"_s, true},
          {u"flatten"_s, true},
          {u"filter"_s, QJsonArray{QJsonObject{{u"type"_s, u"iframe"_s}, {u"exclude"_s, false}},
                                   QJsonObject{{u"exclude"_s, true}}}}},
         session, {});
}

void ChromiumProcess::send(const QString& method, const QJsonObject& params, const QString& session,
                           Reply reply) {
    if (m_stopped || m_toBrowser < 0)
        return;
    const int id = m_nextId++;
    QJsonObject message{{u"id"_s, id}, {u"method"_s, method}, {u"params"_s, params}};
    if (!session.isEmpty())
        message.insert(u"sessionId"_s, session);
    m_out += QJsonDocument(message).toJson(QJsonDocument::Compact);
    m_out += '\0';
    if (reply)
        m_replies.emplace(id, std::move(reply));
    writePending();
}

void ChromiumProcess::writePending() {
    while (!m_out.isEmpty() && m_toBrowser >= 0) {
        const ssize_t n = ::write(m_toBrowser, m_out.constData(), size_t(m_out.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0)
            return fail(u"the browser stopped listening"_s);
        m_out.remove(0, n);
    }
    if (m_writable)
        m_writable->setEnabled(!m_out.isEmpty());
}

void ChromiumProcess::readMessages() {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_fromBrowser, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0)
            return fail(u"the browser ended unexpectedly"_s);
        m_in.append(buffer, n);
        if (m_in.size() > maxMessage)
            return fail(u"the browser sent a message too big to read"_s);
    }
    qsizetype start = 0;
    for (qsizetype end; (end = m_in.indexOf('\0', start)) >= 0; start = end + 1) {
        const QJsonDocument doc =
            QJsonDocument::fromJson(QByteArrayView(m_in).sliced(start, end - start).toByteArray());
        if (doc.isObject())
            handle(doc.object());
        if (m_stopped)
            return;
    }
    m_in.remove(0, start);
}

void ChromiumProcess::handle(const QJsonObject& message) {
    if (message.contains(u"id"_s)) {
        const auto it = m_replies.find(message.value(u"id"_s).toInt());
        if (it == m_replies.end())
            return;
        const Reply reply = std::move(it->second);
        m_replies.erase(it);
        const QJsonObject error = message.value(u"error"_s).toObject();
        if (!error.isEmpty())
            reply({}, error.value(u"message"_s).toString(u"unknown error"_s));
        else
            reply(message.value(u"result"_s).toObject(), {});
        return;
    }
    const QString method = message.value(u"method"_s).toString();
    const QString session = message.value(u"sessionId"_s).toString();
    if (method == u"Target.detachedFromTarget"_s) {
        const QString gone = message.value(u"params"_s).toObject().value(u"sessionId"_s).toString();
        if (gone == m_session)
            return fail(u"the browser closed the page"_s);
        // A frame of another site went away: what it had in flight ends with it.
        if (m_frameSessions.remove(gone))
            emit pageEvent(method, {{u"frameSession"_s, gone}});
        return;
    }
    if (method == u"Target.attachedToTarget"_s &&
        (session == m_session || m_frameSessions.contains(session))) {
        const QJsonObject params = message.value(u"params"_s).toObject();
        const QString child = params.value(u"sessionId"_s).toString();
        if (params.value(u"targetInfo"_s).toObject().value(u"type"_s).toString() == u"iframe"_s &&
            !child.isEmpty()) {
            m_frameSessions.insert(child);
            followFrames(child);
            send(u"Network.enable"_s, {}, child, {});
        }
        // Held until now, so not one of its requests goes unseen.
        send(u"Runtime.runIfWaitingForDebugger"_s, {}, child, {});
        return;
    }
    if (m_frameSessions.contains(session)) {
        // Only its network is heard, and each event says whose it is.
        if (method.startsWith(u"Network."_s)) {
            QJsonObject params = message.value(u"params"_s).toObject();
            params.insert(u"frameSession"_s, session);
            emit pageEvent(method, params);
        }
        return;
    }
    if (method == u"Target.targetCreated"_s && !message.contains(u"sessionId"_s)) {
        const QJsonObject info = message.value(u"params"_s).toObject().value(u"targetInfo"_s).toObject();
        const QString id = info.value(u"targetId"_s).toString();
        if (info.value(u"type"_s).toString() == u"page"_s && !m_target.isEmpty() && id != m_target)
            send(u"Target.closeTarget"_s, {{u"targetId"_s, id}}, QString(), {});
        return;
    }
    if (message.value(u"sessionId"_s).toString() == m_session && !m_session.isEmpty())
        emit pageEvent(method, message.value(u"params"_s).toObject());
}

void ChromiumProcess::fail(const QString& reason) {
    if (m_stopped)
        return;
    stop();
    emit failed(reason);
}

void ChromiumProcess::closePipes() {
    // Deleted later: this may run inside one of their own signals.
    for (std::unique_ptr<QSocketNotifier>* notifier : {&m_readable, &m_writable})
        if (*notifier) {
            (*notifier)->setEnabled(false);
            notifier->release()->deleteLater();
        }
    if (m_toBrowser >= 0)
        ::close(m_toBrowser);
    if (m_fromBrowser >= 0)
        ::close(m_fromBrowser);
    m_toBrowser = m_fromBrowser = -1;
}

void ChromiumProcess::stop() {
    if (m_stopped)
        return;
    m_stopped = true;
    m_replies.clear();
    closePipes();
    if (m_process) {
        m_process->disconnect(this);
        const qint64 pid = m_process->processId();
        // The whole group: the browser's zygote, renderers and helpers go with it.
        if (pid > 0)
            ::kill(-pid_t(pid), SIGKILL);
        if (m_process->state() != QProcess::NotRunning)
            m_process->waitForFinished(2000);
        m_process.release()->deleteLater();
    }
    if (m_profile) {
        // A helper that was still writing when it was killed may leave a file behind once.
        if (!m_profile->remove()) {
            QThread::msleep(50);
            QDir(m_profile->path()).removeRecursively();
        }
        m_profile.reset();
    }
}
