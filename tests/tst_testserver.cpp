// Proves the shared test support does what other tests rely on, and shows how to use it.

#include "support/CliRunner.h"
#include "support/Nginx.h"
#include "support/SequentialTransfer.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(Behaviour)
Q_DECLARE_METATYPE(net::Status)

namespace {

struct Fetched {
    net::Status error = net::Status::Ok;
    int status = 0;
    QByteArray body;
};

// One GET through the program's own transfer engine, waited for as the program waits. Transfers
// of one factory share connections.
Fetched fetch(const QByteArray& link, net::TransferFactory* factory = nullptr) {
    net::CurlTransferFactory own;
    const std::unique_ptr<net::Transfer> transfer = (factory ? factory : &own)->create();
    transfer->start(net::Request::of(link));
    transfer->waitForResponse();
    Fetched result;
    for (QByteArray piece; !(piece = transfer->nextPiece(1 << 20).toByteArray()).isEmpty();)
        result.body += piece;
    transfer->waitForEnd();
    result.error = transfer->result().status;
    result.status = transfer->status();
    return result;
}
Fetched fetch(const QUrl& url, net::TransferFactory* factory = nullptr) {
    return fetch(url.toEncoded(), factory);
}

} // namespace

class TestServerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void responses_data();
    void responses();
    void redirects_data();
    void redirects();
    void keepAliveReusesTheConnection();
    void recordsRawPathAndHeaders();
    void stallsHoldTheRequestOpen();
    void tls_data();
    void tls();
    void cliRunnerKeepsTheServerServing();
    void nginxServesAFolder();

private:
    std::unique_ptr<TestCertificate> m_trusted;
    std::unique_ptr<TestCertificate> m_untrusted;
};

void TestServerTest::initTestCase() {
    m_trusted = std::make_unique<TestCertificate>();
    m_untrusted = std::make_unique<TestCertificate>();
    QVERIFY2(m_trusted->isValid(), qPrintable(m_trusted->errorString()));
    QVERIFY2(m_untrusted->isValid(), qPrintable(m_untrusted->errorString()));
    // Read once, when the network manager is first made: so before any request.
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_trusted->caBundlePath()));
}

void TestServerTest::responses_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    const QByteArray big = generatedBytes(0, 3 * 1024 * 1024 + 5);
    QTest::newRow("Content-Length frames the body")
        << serve::ok("hello") << false << 200 << QByteArray("hello");
    QTest::newRow("uneven chunks reassemble")
        << serve::generated(10000).chunked({1, 7, 4096}) << false << 200 << generatedBytes(0, 10000);
    QTest::newRow("no length: body ends at close")
        << serve::ok("until the end").withoutLength() << false << 200 << QByteArray("until the end");
    QTest::newRow("generated body streams in pieces") << serve::generated(big.size()) << false << 200 << big;
    QTest::newRow("custom pattern repeats")
        << serve::generated(7, "x", "ab") << false << 200 << QByteArray("abababa");
    QTest::newRow("trickled body arrives whole")
        << serve::trickle("slow", 2) << false << 200 << QByteArray("slow");
    QTest::newRow("raw response written verbatim")
        << serve::raw("HTTP/1.1 203 Odd\r\nContent-Length: 3\r\n\r\nabcdef") << false << 203
        << QByteArray("abc");
    QTest::newRow("raw header block replaces framing")
        << serve::rawHeaders("Content-Length: 2\r\n", "abcdef") << false << 200 << QByteArray("ab");
    QTest::newRow("error status: its body is not kept")
        << serve::response(503, "Busy", {}, "later") << true << 503 << QByteArray();
    QTest::newRow("cut short: fewer bytes than promised")
        << serve::cutShort(1000, 10) << true << 200 << QByteArray();
    QTest::newRow("reset mid-body") << serve::reset(100000, 1000) << true << 200 << QByteArray();
}

void TestServerTest::responses() {
    QFETCH(Behaviour, behaviour);
    QFETCH(bool, fails);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    TestServer server;
    QVERIFY(server.isListening());
    server.route("/r", behaviour);
    const Fetched got = fetch(server.url("/r"));
    QCOMPARE(got.error != net::Status::Ok, fails);
    QCOMPARE(got.status, status);
    if (!fails || !body.isEmpty())
        QCOMPARE(got.body, body);
}

void TestServerTest::redirects_data() {
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("loop");
    QTest::addColumn<net::Status>("error");
    QTest::addColumn<QList<QByteArray>>("paths");

    QTest::newRow("a chain of five is followed to its end")
        << 5 << false << net::Status::Ok
        << QList<QByteArray>{"/hop0", "/hop1", "/hop2", "/hop3", "/hop4", "/hop5"};
    QTest::newRow("a loop ends at the redirect limit")
        << 2 << true << net::Status::TooManyRedirects << QList<QByteArray>{"/hop0", "/hop1", "/hop2"};
}

void TestServerTest::redirects() {
    QFETCH(int, hops);
    QFETCH(bool, loop);
    QFETCH(net::Status, error);
    QFETCH(QList<QByteArray>, paths);

    TestServer server;
    const Behaviour last = loop ? serve::redirect("/hop0", 301) : serve::ok("landed");
    const QByteArray first = server.redirectChain("/hop", hops, last);
    QCOMPARE(first, QByteArray("/hop0"));
    const Fetched got = fetch(server.url(first));
    QCOMPARE(got.error, error);
    if (error == net::Status::Ok)
        QCOMPARE(got.body, QByteArray("landed"));
    QCOMPARE(server.distinctPaths(), paths);
    if (loop)
        QVERIFY(server.requests().size() > net::maxRedirects);
}

void TestServerTest::keepAliveReusesTheConnection() {
    TestServer server;
    server.route("/a", serve::ok("a"));
    server.route("/b", serve::generated(5000).chunked({100}));
    server.route("/closes", serve::ok("c").withoutLength());
    net::CurlTransferFactory factory;
    for (const char* path : {"/a", "/b", "/a", "/closes", "/a"})
        QCOMPARE(fetch(server.url(path), &factory).error, net::Status::Ok);

    const QList<RecordedRequest>& requests = server.requests();
    QCOMPARE(server.distinctPaths(), QList<QByteArray>({"/a", "/b", "/closes"}));
    QCOMPARE(requests.at(0).connection, 1);
    QCOMPARE(requests.at(1).connection, 1);
    QCOMPARE(requests.at(2).connection, 1);
    QCOMPARE(requests.at(3).connection, 1);
    // A close-delimited body uses its connection up; the next request needs a new one.
    QCOMPARE(requests.last().path, QByteArray("/a"));
    QVERIFY(requests.last().connection > 1);
    QCOMPARE(server.connectionCount(), requests.last().connection);
}

void TestServerTest::recordsRawPathAndHeaders() {
    TestServer server;
    // Routes match the bytes on the wire, so a test can pin how a link was percent-encoded.
    server.route("/caf%C3%A9%20b.jpg?q=1", serve::ok("found"));
    const Fetched got = fetch(server.address("/caf\xc3\xa9 b.jpg?q=1"));
    QCOMPARE(got.body, QByteArray("found"));
    QCOMPARE(server.requests().size(), 1);
    const RecordedRequest& request = server.requests().first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, QByteArray("/caf%C3%A9%20b.jpg?q=1"));
    QCOMPARE(request.header("accept-encoding"), QByteArray("identity"));
    QVERIFY(request.header("User-Agent").startsWith("Varnolux/"));
}

void TestServerTest::stallsHoldTheRequestOpen() {
    TestServer server;
    server.route("/silent", serve::stall());
    server.route("/half", serve::headersThenStall(500));

    net::CurlTransferFactory factory;
    const std::unique_ptr<net::Transfer> silent = factory.create();
    silent->start(net::Request::of(server.address("/silent")));
    QVERIFY(server.waitForRequests(1));
    QVERIFY(silent->result().ok());

    const std::unique_ptr<net::Transfer> half = factory.create();
    half->start(net::Request::of(server.address("/half")));
    half->waitForResponse();
    QCOMPARE(half->status(), 200);
    QVERIFY(half->result().ok());
    QCOMPARE(server.requests().size(), 2);
    QVERIFY(server.requests().at(0).connection != server.requests().at(1).connection);
}

void TestServerTest::tls_data() {
    QTest::addColumn<bool>("trusted");
    QTest::newRow("certificate from the trusted bundle verifies") << true;
    QTest::newRow("certificate from another authority is refused") << false;
}

void TestServerTest::tls() {
    QFETCH(bool, trusted);
    TestServer server;
    server.useTls(trusted ? *m_trusted : *m_untrusted);
    QVERIFY(server.base().startsWith("https://127.0.0.1:"));
    server.route("/secure", serve::ok("secret"));
    const Fetched got = fetch(server.url("/secure"));
    if (trusted) {
        QCOMPARE(got.error, net::Status::Ok);
        QCOMPARE(got.body, QByteArray("secret"));
    } else {
        QCOMPARE(got.error, net::Status::Tls);
        QVERIFY(server.requests().isEmpty());
    }
}

void TestServerTest::cliRunnerKeepsTheServerServing() {
    const CliResult version = runVarnolux({QStringLiteral("--version")});
    QVERIFY2(version.finished, qPrintable(version.errorString));
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QByteArray("varnolux " VARNOLUX_VERSION "\n"));

    // The child fetches from this process's server while runVarnolux waits for it.
    TestServer server;
    server.route("/page", serve::ok("<html><img src=\"a.jpg\"></html>"));
    CliOptions options;
    options.environment = {{QStringLiteral("VARNOLUX_IDLE_TIMEOUT_MS"), QStringLiteral("5000")}};
    const CliResult listed =
        runVarnolux({QStringLiteral("list"), QString::fromLatin1(server.address("/page"))}, options);
    QVERIFY2(listed.finished, qPrintable(listed.errorString));
    QVERIFY(!server.requests().isEmpty());
    QVERIFY(server.requests().first().path.startsWith("/page"));

    CliOptions withInput;
    withInput.input = QByteArray("to stdin");
    const CliResult echoed = runProcess(QStringLiteral("cat"), {}, withInput);
    QCOMPARE(echoed.out, QByteArray("to stdin"));

    const CliResult missing = runProcess(QStringLiteral("/nonexistent/program"), {});
    QVERIFY(!missing.finished);
    QVERIFY(!missing.errorString.isEmpty());
}

void TestServerTest::nginxServesAFolder() {
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QFile image(root.filePath(QStringLiteral("pic.gif")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write("GIF89a-not-really");
    image.close();

    Nginx nginx(root.path());
    VARNOLUX_START_NGINX_OR_SKIP(nginx);
    const Fetched got = fetch(nginx.url("/pic.gif"));
    QCOMPARE(got.error, net::Status::Ok);
    QCOMPARE(got.body, QByteArray("GIF89a-not-really"));
    // nginx writes its log line after the last byte is sent, so it may come a moment later.
    QTRY_VERIFY(nginx.accessLog().contains("GET /pic.gif"));
    QCOMPARE(fetch(nginx.url("/absent.gif")).status, 404);
}

QTEST_GUILESS_MAIN(TestServerTest)
#include "tst_testserver.moc"
