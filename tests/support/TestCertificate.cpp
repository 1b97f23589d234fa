#include "support/TestCertificate.h"

#include "support/CliRunner.h"

#include <QFile>
#include <QRandomGenerator>

namespace {
// Our own configuration, so the system's openssl.cnf adds no extensions of its own.
const char config[] = "[req]\n"
                      "distinguished_name = dn\n"
                      "prompt = no\n"
                      "[dn]\n"
                      "CN = unused\n"
                      "[ca]\n"
                      "basicConstraints = critical, CA:TRUE\n"
                      "keyUsage = critical, keyCertSign, cRLSign\n"
                      "subjectKeyIdentifier = hash\n"
                      "[server]\n"
                      "basicConstraints = critical, CA:FALSE\n"
                      "keyUsage = critical, digitalSignature\n"
                      "extendedKeyUsage = serverAuth\n"
                      "subjectAltName = IP:127.0.0.1, DNS:localhost\n"
                      "subjectKeyIdentifier = hash\n"
                      "authorityKeyIdentifier = keyid\n";
} // namespace

TestCertificate::TestCertificate() {
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot make a temporary folder: ") + m_dir.errorString();
        return;
    }
    QFile cnf(m_dir.filePath(QStringLiteral("openssl.cnf")));
    if (!cnf.open(QIODevice::WriteOnly) || cnf.write(config) != qint64(sizeof config - 1)) {
        m_error = QStringLiteral("cannot write ") + cnf.fileName();
        return;
    }
    cnf.close();

    // Distinct names and serials, so two instances' authorities can never be taken for each other.
    const QString tag = QString::number(QRandomGenerator::global()->generate64(), 16);
    const QStringList ecKey = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                               QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const bool made =
        openssl(QStringList{QStringLiteral("req"), QStringLiteral("-config"), cnf.fileName(),
                            QStringLiteral("-x509")} +
                ecKey +
                QStringList{QStringLiteral("-keyout"), m_dir.filePath(QStringLiteral("ca.key")),
                            QStringLiteral("-out"), caBundlePath(), QStringLiteral("-days"),
                            QStringLiteral("2"), QStringLiteral("-extensions"), QStringLiteral("ca"),
                            QStringLiteral("-subj"), QStringLiteral("/CN=Varnolux Test CA ") + tag}) &&
        openssl(QStringList{QStringLiteral("req"), QStringLiteral("-config"), cnf.fileName(),
                            QStringLiteral("-new")} +
                ecKey +
                QStringList{QStringLiteral("-keyout"), serverKeyPath(), QStringLiteral("-out"),
                            m_dir.filePath(QStringLiteral("server.csr")), QStringLiteral("-subj"),
                            QStringLiteral("/CN=127.0.0.1")}) &&
        openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                 m_dir.filePath(QStringLiteral("server.csr")), QStringLiteral("-CA"), caBundlePath(),
                 QStringLiteral("-CAkey"), m_dir.filePath(QStringLiteral("ca.key")),
                 QStringLiteral("-set_serial"), QStringLiteral("0x") + tag, QStringLiteral("-days"),
                 QStringLiteral("2"), QStringLiteral("-extfile"), cnf.fileName(),
                 QStringLiteral("-extensions"), QStringLiteral("server"), QStringLiteral("-out"),
                 serverCertificatePath()});
    if (!made)
        return;

    m_ca = QSslCertificate::fromPath(caBundlePath(), QSsl::Pem);
    const QList<QSslCertificate> server = QSslCertificate::fromPath(serverCertificatePath(), QSsl::Pem);
    QFile keyFile(serverKeyPath());
    if (keyFile.open(QIODevice::ReadOnly))
        m_key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
    if (m_ca.isEmpty() || server.isEmpty() || m_key.isNull()) {
        m_error = QStringLiteral("openssl made files that do not load as a certificate and key");
        return;
    }
    m_certificate = server.first();
}

QString TestCertificate::caBundlePath() const {
    return m_dir.filePath(QStringLiteral("ca.pem"));
}
QString TestCertificate::serverCertificatePath() const {
    return m_dir.filePath(QStringLiteral("server.pem"));
}
QString TestCertificate::serverKeyPath() const {
    return m_dir.filePath(QStringLiteral("server.key"));
}

bool TestCertificate::openssl(const QStringList& arguments) {
    CliOptions options;
    options.workingDirectory = m_dir.path();
    const CliResult result = runProcess(QStringLiteral("openssl"), arguments, options);
    if (result.finished && result.exitCode == 0)
        return true;
    m_error = QStringLiteral("openssl %1 failed: %2 %3")
                  .arg(arguments.value(0), result.errorString, QString::fromLocal8Bit(result.err).trimmed());
    return false;
}
