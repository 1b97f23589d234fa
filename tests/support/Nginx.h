#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

class QProcess;

// A real nginx on a free port of 127.0.0.1 serving a folder, for end-to-end tests. It runs as
// one foreground process of the current user (root included), with its configuration, logs,
// pid file and temporary files in a folder of its own, and is stopped by the destructor.
//
//     Nginx nginx(folder);
//     VARNOLUX_START_NGINX_OR_SKIP(nginx);     // skips the test where nginx is not installed
//     ... fetch nginx.url("/a.png") ...
class Nginx {
public:
    // extraServerDirectives go inside the server block verbatim, e.g. "gzip on;\n" or a
    // "location = /old { return 301 /new; }".
    explicit Nginx(const QString& root, const QByteArray& extraServerDirectives = {});
    ~Nginx();
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    // The nginx program, or an empty string when it is not installed.
    static QString executable();
    static bool installed() { return !executable().isEmpty(); }

    // Starts nginx and waits (event loop, bounded) until it accepts connections. On failure
    // errorString() says why, with nginx's own error log.
    bool start(int timeoutMs = 10000);
    void stop();
    bool isRunning() const;
    QString errorString() const { return m_error; }

    quint16 port() const { return m_port; }
    QByteArray base() const; // "http://127.0.0.1:<port>"
    QUrl url(const QByteArray& rawPath) const;
    // nginx's access log so far, one line per request.
    QByteArray accessLog() const;

private:
    bool startOnce(int timeoutMs, bool* portTaken);
    bool waitUntilListening(int timeoutMs);

    QString m_root;
    QByteArray m_extra;
    QTemporaryDir m_dir;
    QProcess* m_process = nullptr;
    quint16 m_port = 0;
    QString m_error;
};

// Inside a test function: starts nginx, skipping the test when nginx is not installed and
// failing it when nginx will not start.
#define VARNOLUX_START_NGINX_OR_SKIP(nginx)                                                                  \
    do {                                                                                                     \
        if (!Nginx::installed())                                                                             \
            QSKIP("nginx is not installed (scripts/setup installs it)");                                     \
        QVERIFY2((nginx).start(), qPrintable((nginx).errorString()));                                        \
    } while (false)
