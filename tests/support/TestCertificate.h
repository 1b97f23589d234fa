#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTemporaryDir>

// A throw-away certificate authority and a server certificate it signed for 127.0.0.1 and
// localhost, made with the openssl command line into a temporary folder that lives as long as
// this object. Each instance is its own authority, so a second instance is one the client does
// not trust:
//
//     TestCertificate trusted, untrusted;               // in initTestCase()
//     QVERIFY2(trusted.isValid(), qPrintable(trusted.errorString()));
//     qputenv("SSL_CERT_FILE", QFile::encodeName(trusted.caBundlePath()));
//     ...
//     server.useTls(trusted);    // verification succeeds
//     other.useTls(untrusted);   // verification fails
//
// SSL_CERT_FILE must be set before the program makes its first request: it is read once.
class TestCertificate {
public:
    TestCertificate();
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    // What went wrong making the files; empty when valid.
    QString errorString() const { return m_error; }

    // PEM file holding the authority's certificate: the bundle a client must trust.
    QString caBundlePath() const;
    QList<QSslCertificate> caCertificates() const { return m_ca; }

    // PEM files of the server certificate and its unencrypted key, e.g. for nginx.
    QString serverCertificatePath() const;
    QString serverKeyPath() const;
    QSslCertificate serverCertificate() const { return m_certificate; }
    QSslKey serverKey() const { return m_key; }

private:
    bool openssl(const QStringList& arguments);

    QTemporaryDir m_dir;
    QString m_error;
    QList<QSslCertificate> m_ca;
    QSslCertificate m_certificate;
    QSslKey m_key;
};
