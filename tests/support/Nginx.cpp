#include "support/Nginx.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QByteArray quoted(const QString& path) {
    QByteArray bytes = QFile::encodeName(path);
    bytes.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + bytes + '"';
}

} // namespace

Nginx::Nginx(const QString& root, const QByteArray& extraServerDirectives)
    : m_root(QFileInfo(root).absoluteFilePath()), m_extra(extraServerDirectives) {}

Nginx::~Nginx() {
    stop();
    delete m_process;
}

QString Nginx::executable() {
    const QString debian = QStringLiteral("/usr/sbin/nginx");
    if (QFileInfo(debian).isExecutable())
        return debian;
    return QStandardPaths::findExecutable(QStringLiteral("nginx"));
}

QByteArray Nginx::base() const {
    return "http://127.0.0.1:" + QByteArray::number(m_port);
}

QUrl Nginx::url(const QByteArray& rawPath) const {
    return QUrl::fromEncoded(base() + rawPath, QUrl::TolerantMode);
}

QByteArray Nginx::accessLog() const {
    QFile log(m_dir.filePath(QStringLiteral("access.log")));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

bool Nginx::isRunning() const {
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool Nginx::start(int timeoutMs) {
    if (isRunning())
        return true;
    if (!installed()) {
        m_error = QStringLiteral("nginx is not installed");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot make a temporary folder: ") + m_dir.errorString();
        return false;
    }
    // The free port is only free when probed; another test may take it before nginx binds it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool portTaken = false;
        if (startOnce(timeoutMs, &portTaken))
            return true;
        if (!portTaken)
            return false;
    }
    return false;
}

bool Nginx::startOnce(int timeoutMs, bool* portTaken) {
    m_port = freePort();
    const QString dir = m_dir.path();
    const QByteArray errorLog = quoted(dir + QStringLiteral("/error.log"));
    QByteArray conf;
    // One process, no workers: nothing changes user (so a root-owned private folder is readable)
    // and stopping that process stops nginx entirely.
    conf += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    conf += "pid " + quoted(dir + QStringLiteral("/nginx.pid")) + ";\n";
    conf += "error_log " + errorLog + " warn;\n";
    conf += "events { worker_connections 256; }\n";
    conf += "http {\n";
    if (QFileInfo::exists(QStringLiteral("/etc/nginx/mime.types")))
        conf += "    include /etc/nginx/mime.types;\n";
    conf += "    default_type application/octet-stream;\n";
    conf += "    access_log " + quoted(dir + QStringLiteral("/access.log")) + ";\n";
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        const QString path = dir + QStringLiteral("/tmp_") + QLatin1StringView(kind);
        QDir().mkpath(path);
        conf += QByteArray("    ") + kind + "_temp_path " + quoted(path) + ";\n";
    }
    conf += "    server {\n";
    conf += "        listen 127.0.0.1:" + QByteArray::number(m_port) + ";\n";
    conf += "        server_name localhost;\n";
    conf += "        root " + quoted(m_root) + ";\n";
    conf += m_extra;
    conf += "\n    }\n}\n";

    const QString confPath = dir + QStringLiteral("/nginx.conf");
    QFile file(confPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(conf) != conf.size()) {
        m_error = QStringLiteral("cannot write ") + confPath;
        return false;
    }
    file.close();
    QFile::remove(dir + QStringLiteral("/error.log"));
    QFile::remove(dir + QStringLiteral("/nginx.pid"));

    delete m_process;
    m_process = new QProcess;
    m_process->setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_LINUX
    // Should the test process die, its child must not outlive it.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
    // -e: the compiled-in error log may not be writable; nginx opens it before reading conf.
    m_process->start(executable(), {QStringLiteral("-p"), dir, QStringLiteral("-c"), confPath,
                                    QStringLiteral("-e"), dir + QStringLiteral("/error.log")});
    if (waitUntilListening(timeoutMs))
        return true;

    QFile log(dir + QStringLiteral("/error.log"));
    const QByteArray logText = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    const QByteArray output = m_process->readAll();
    *portTaken = logText.contains("Address already in use");
    stop();
    m_error = QStringLiteral("nginx did not start: %1\n%2%3")
                  .arg(m_process ? m_process->errorString() : QString(), QString::fromLocal8Bit(logText),
                       QString::fromLocal8Bit(output));
    return false;
}

// nginx writes its pid file only once its listening socket is bound, and has no other start-up
// signal when it runs in the foreground, so look for that file every 20 ms.
bool Nginx::waitUntilListening(int timeoutMs) {
    const QString pidFile = m_dir.filePath(QStringLiteral("nginx.pid"));
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(m_process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(m_process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (QFileInfo(pidFile).size() > 0)
            loop.quit();
    });
    limit.start(timeoutMs);
    look.start(20);
    loop.exec();
    return isRunning() && QFileInfo(pidFile).size() > 0;
}

void Nginx::stop() {
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        // SIGTERM to the process's PID asks for a fast shutdown; SIGKILL if that is ignored.
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(m_process, &QProcess::finished, &loop, &QEventLoop::quit);
        m_process->terminate();
        limit.start(5000);
        loop.exec();
        if (m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(2000);
        }
    }
}
