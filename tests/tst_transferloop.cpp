// The run's one transfer loop: many requests at once over shared connections, the hosts'
// politeness kept for all of them, and the handler's contract under resets, GOAWAY, holds and
// cancellation.

#include "core/Cancellation.h"
#include "net/CurlLoop.h"
#include "net/RunSetup.h"
#include "support/Nginx.h"
#include "support/SequentialTransfer.h"
#include "support/TestCertificate.h"
#include "support/TestServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// Records what the loop tells about one transfer.
class Recorder : public net::TransferHandler {
public:
    enum class Hold {
        Never,
        EverySecondPieceByTimer, // Later, resumed a moment afterwards from the event loop
        EverySecondPieceAtOnce,  // Later, resumed from inside the very report
    };

    net::Transfers* loop = nullptr;
    net::Transfers::Id id = 0;
    QByteArray link;
    Hold hold = Hold::Never;
    bool cancelInHead = false;
    int heads = 0;
    int ends = 0;
    int piecesAfterEnd = 0;
    net::Response response;
    QByteArray received;
    net::Result result;
    std::function<void()> onFinished;

    void head(const net::Response& r) override {
        ++heads;
        response = r;
        if (cancelInHead)
            loop->cancel(id);
    }
    Take body(QByteArrayView piece) override {
        if (ends > 0)
            ++piecesAfterEnd;
        if (hold != Hold::Never && (m_pieces++ % 2) == 0) {
            if (hold == Hold::EverySecondPieceAtOnce)
                loop->resume(id);
            else
                QTimer::singleShot(5, [this] { loop->resume(id); });
            return Take::Later;
        }
        received += piece.toByteArray();
        return Take::Taken;
    }
    void finished(const net::Result& r) override {
        ++ends;
        result = r;
        if (onFinished)
            onFinished();
    }

private:
    int m_pieces = 0;
};

// A batch of recorded transfers on one loop.
struct Batch {
    std::vector<std::unique_ptr<Recorder>> recorders;

    Recorder& submit(net::Transfers& loop, const QByteArray& link,
                     net::Purpose purpose = net::Purpose::Image) {
        recorders.push_back(std::make_unique<Recorder>());
        Recorder& recorder = *recorders.back();
        recorder.loop = &loop;
        recorder.link = link;
        recorder.id = loop.submit(net::Request::of(link), recorder, purpose);
        return recorder;
    }
    int finished() const {
        int count = 0;
        for (const auto& recorder : recorders)
            count += recorder->ends > 0 ? 1 : 0;
        return count;
    }
    bool allFinished() const { return finished() == int(recorders.size()); }
    int ok() const {
        int count = 0;
        for (const auto& recorder : recorders)
            count += recorder->result.ok() && recorder->ends == 1 ? 1 : 0;
        return count;
    }
};

// Counts the requests a server is answering at once: arrived at the server, not yet finished at
// the client. The answers are delayed, so a request in flight stays so for a while.
struct InFlightCounter {
    int arrived = 0;
    int finished = 0;
    int most = 0;
    void arrive() { most = qMax(most, ++arrived - finished); }
};

QByteArray freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QByteArray::number(probe.serverPort());
}

} // namespace

Q_DECLARE_METATYPE(Behaviour)
Q_DECLARE_METATYPE(net::Status)

class TestTransferLoop : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void hostOf_data();
    void hostOf();
    void theRunsPageSharesTheLoop();
    void handlerContract_data();
    void handlerContract();
    void heldBytesAllArrive_data();
    void heldBytesAllArrive();
    void imagesInFlightKeepToTheCap_data();
    void imagesInFlightKeepToTheCap();
    void aRefusingHostIsPausedWhileOthersGoOn_data();
    void aRefusingHostIsPausedWhileOthersGoOn();
    void tooManyRequestsHalvesTheHostsConcurrency_data();
    void tooManyRequestsHalvesTheHostsConcurrency();
    void theWaitIsKeptPerHost_data();
    void theWaitIsKeptPerHost();
    void cancellationEndsEveryTransfer();
    void waitingForAConnectionIsNoSilence();
    void http2_data();
    void http2();

private:
    TestCertificate m_certificate;
};

void TestTransferLoop::initTestCase() {
    QVERIFY2(m_certificate.isValid(), qPrintable(m_certificate.errorString()));
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_certificate.caBundlePath()));
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "5000");
    // One "second" of Retry-After and back-off is 200 ms here.
    qputenv("VARNOLUX_RETRY_UNIT_MS", "200");
}

void TestTransferLoop::cleanup() {
    Cancellation::reset();
}

void TestTransferLoop::hostOf_data() {
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<QByteArray>("host");

    QTest::newRow("http's default port named")
        << QByteArray("http://Example.ORG/a.png") << QByteArray("http://example.org:80");
    QTest::newRow("https's default port named")
        << QByteArray("HTTPS://example.org/a") << QByteArray("https://example.org:443");
    QTest::newRow("an explicit default port is the same host")
        << QByteArray("https://example.org:443/b") << QByteArray("https://example.org:443");
    QTest::newRow("another port is another host")
        << QByteArray("http://example.org:8080/") << QByteArray("http://example.org:8080");
    QTest::newRow("credentials and path play no part")
        << QByteArray("http://user:pw@example.org/x?y#z") << QByteArray("http://example.org:80");
}

void TestTransferLoop::hostOf() {
    QFETCH(QByteArray, link);
    QFETCH(QByteArray, host);
    QCOMPARE(net::CurlLoop::hostOf(link), host);
}

// The run's page goes through the run's loop: it waits for a host the images made pause, and
// goes over the images' connection.
void TestTransferLoop::theRunsPageSharesTheLoop() {
    TestServer server;
    server.route("/refused", serve::response(429, "Too Many Requests", {{"Retry-After", "1"}}));
    server.route("/page", serve::ok("<img src=a.png>"));
    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivals;
    connect(&server, &TestServer::requestArrived, this, [&] { arrivals.append(clock.elapsed()); });
    const net::NetworkRun network;
    QVERIFY(network.setup().hasLoop());
    Recorder image;
    network.setup().loop().submit(net::Request::of(server.address("/refused")), image);
    QTRY_COMPARE(image.ends, 1);
    QCOMPARE(network.setup().loop().pausedHosts().size(), 1);
    Recorder page;
    network.setup().loop().submit(net::Request::of(server.address("/page")), page, net::Purpose::Page);
    QTRY_VERIFY_WITH_TIMEOUT(page.ends == 1, 10000);
    QVERIFY2(page.result.ok(), qPrintable(net::reasonText(page.result)));
    QCOMPARE(arrivals.size(), 2);
    QVERIFY2(arrivals.at(1) - arrivals.at(0) >= 180,
             qPrintable(QString::number(arrivals.at(1) - arrivals.at(0))));
    QCOMPARE(server.requests().at(1).connection, server.requests().at(0).connection);
}

void TestTransferLoop::handlerContract_data() {
    QTest::addColumn<Behaviour>("answer");
    QTest::addColumn<bool>("cancelInHead");
    QTest::addColumn<int>("heads");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<net::Status>("status");
    QTest::addColumn<int>("ends");

    QTest::newRow("success: head, body, one end")
        << serve::ok("hello") << false << 1 << QByteArray("hello") << net::Status::Ok << 1;
    QTest::newRow("an error status: head, no body, an HttpStatus end")
        << serve::response(404, "Not Found", {}, "missing") << false << 1 << QByteArray()
        << net::Status::HttpStatus << 1;
    QTest::newRow("redirects followed: one head for the final answer")
        << serve::redirect("/final") << false << 1 << QByteArray("at last") << net::Status::Ok << 1;
    QTest::newRow("cancelled inside head: nothing more")
        << serve::ok("hello") << true << 1 << QByteArray() << net::Status::Ok << 0;
    QTest::newRow("a lying length fails the transfer")
        << serve::ok("short").withDeclaredLength(100) << false << 1 << QByteArray("short")
        << net::Status::CutShort << 1;
}

void TestTransferLoop::handlerContract() {
    QFETCH(Behaviour, answer);
    QFETCH(bool, cancelInHead);
    QFETCH(int, heads);
    QFETCH(QByteArray, body);
    QFETCH(net::Status, status);
    QFETCH(int, ends);
    TestServer server;
    server.route("/a", answer);
    server.route("/final", serve::ok("at last"));
    net::CurlLoop loop;
    Batch batch;
    auto& recorder = *batch.recorders.emplace_back(std::make_unique<Recorder>());
    recorder.loop = &loop;
    recorder.cancelInHead = cancelInHead;
    recorder.id = loop.submit(net::Request::of(server.address("/a")), recorder);
    QVERIFY(recorder.id != 0);
    if (ends == 0) {
        QTRY_COMPARE(recorder.heads, 1);
        QTest::qWait(200);
    } else {
        QTRY_VERIFY(batch.allFinished());
        QTest::qWait(50);
    }
    QCOMPARE(recorder.heads, heads);
    QCOMPARE(recorder.ends, ends);
    QCOMPARE(recorder.received, body);
    QCOMPARE(recorder.result.status, status);
    QCOMPARE(recorder.piecesAfterEnd, 0);

    // Not even a request: finished at once, and no id.
    Recorder refused;
    QCOMPARE(loop.submit(net::Request::of("ftp://example.org/a.png"), refused), net::Transfers::Id(0));
    QCOMPARE(refused.ends, 1);
    QCOMPARE(refused.result.status, net::Status::NotWebAddress);
}

void TestTransferLoop::heldBytesAllArrive_data() {
    QTest::addColumn<int>("hold");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("chunked");

    QTest::newRow("resumed later, large body")
        << int(Recorder::Hold::EverySecondPieceByTimer) << qint64(3 << 20) << false;
    QTest::newRow("resumed later, chunked")
        << int(Recorder::Hold::EverySecondPieceByTimer) << qint64(1 << 20) << true;
    QTest::newRow("resumed from inside the report")
        << int(Recorder::Hold::EverySecondPieceAtOnce) << qint64(2 << 20) << false;
}

void TestTransferLoop::heldBytesAllArrive() {
    QFETCH(int, hold);
    QFETCH(qint64, size);
    QFETCH(bool, chunked);
    TestServer server;
    server.route("/big", chunked ? serve::generated(size).chunked({4000, 70000}) : serve::generated(size));
    net::CurlLoop loop;
    loop.setMaxInFlight(3);
    Batch batch;
    for (int i = 0; i < 3; ++i) {
        Recorder& recorder = batch.submit(loop, server.address("/big"));
        recorder.hold = Recorder::Hold(hold);
    }
    QTRY_VERIFY_WITH_TIMEOUT(batch.allFinished(), 20000);
    for (const auto& recorder : batch.recorders) {
        QVERIFY2(recorder->result.ok(), qPrintable(net::reasonText(recorder->result)));
        QCOMPARE(recorder->received.size(), size);
        QVERIFY(recorder->received == generatedBytes(0, size));
    }
}

void TestTransferLoop::imagesInFlightKeepToTheCap_data() {
    QTest::addColumn<int>("cap");
    QTest::addColumn<int>("pages");
    QTest::addColumn<int>("expected");

    QTest::newRow("one at a time means one") << 1 << 0 << 1;
    QTest::newRow("two") << 2 << 0 << 2;
    QTest::newRow("eight, but HTTP/1.1 opens six connections to a host") << 8 << 0 << 6;
    QTest::newRow("pages do not count against the images' cap") << 1 << 2 << 3;
}

void TestTransferLoop::imagesInFlightKeepToTheCap() {
    QFETCH(int, cap);
    QFETCH(int, pages);
    QFETCH(int, expected);
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::ok("image").delayed(150); });
    InFlightCounter counter;
    connect(&server, &TestServer::requestArrived, this, [&] { counter.arrive(); });
    net::CurlLoop loop;
    loop.setMaxInFlight(cap);
    Batch batch;
    for (int i = 0; i < pages; ++i)
        batch.submit(loop, server.address("/page" + QByteArray::number(i)), net::Purpose::Page);
    for (int i = 0; i < 12; ++i)
        batch.submit(loop, server.address("/image" + QByteArray::number(i)));
    for (auto& recorder : batch.recorders)
        recorder->onFinished = [&] { ++counter.finished; };
    QTRY_VERIFY_WITH_TIMEOUT(batch.allFinished(), 20000);
    QCOMPARE(batch.ok(), 12 + pages);
    QCOMPARE(counter.most, expected);
}

void TestTransferLoop::aRefusingHostIsPausedWhileOthersGoOn_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<int>("pauseMs"); // in the shortened seconds of this test

    QTest::newRow("429 with Retry-After 2 holds the host that long") << 429 << QByteArray("2") << 400;
    QTest::newRow("503 with Retry-After 1") << 503 << QByteArray("1") << 200;
    QTest::newRow("429 without Retry-After: the first back-off") << 429 << QByteArray() << 200;
    QTest::newRow("an unreadable Retry-After: the first back-off") << 429 << QByteArray("soon") << 200;
}

void TestTransferLoop::aRefusingHostIsPausedWhileOthersGoOn() {
    QFETCH(int, status);
    QFETCH(QByteArray, retryAfter);
    QFETCH(int, pauseMs);
    TestServer busy;
    TestServer other("127.0.0.2");
    if (!other.isListening())
        QSKIP("127.0.0.2 is not a loopback address here");
    HeaderList headers;
    if (!retryAfter.isEmpty())
        headers.append({"Retry-After", retryAfter});
    busy.route("/refused", serve::response(status, "Slow Down", headers));
    busy.setFallback([](const RecordedRequest&) { return serve::ok("busy image"); });
    other.setFallback([](const RecordedRequest&) { return serve::ok("other image").delayed(20); });
    QElapsedTimer clock;
    clock.start();
    QList<qint64> busyArrivals, otherArrivals;
    connect(&busy, &TestServer::requestArrived, this, [&] { busyArrivals.append(clock.elapsed()); });
    connect(&other, &TestServer::requestArrived, this, [&] { otherArrivals.append(clock.elapsed()); });
    net::CurlLoop loop;
    loop.setMaxInFlight(1);
    QList<net::HostPause> told;
    loop.setPauseListener([&](const net::HostPause& pause) { told.append(pause); });
    Batch batch;
    batch.submit(loop, busy.address("/refused"));
    batch.submit(loop, busy.address("/a.png"));
    for (int i = 0; i < 4; ++i)
        batch.submit(loop, other.address("/b" + QByteArray::number(i) + ".png"));
    QTRY_COMPARE(told.size(), 1);
    // A page, which no cap holds back, waits for the paused host like the images.
    batch.submit(loop, busy.address("/page"), net::Purpose::Page);
    QCOMPARE(told.first().host, net::CurlLoop::hostOf(busy.base()));
    QCOMPARE(told.first().httpStatus, status);
    QCOMPARE(loop.pausedHosts().size(), 1);
    QVERIFY(told.first().until > QDateTime::currentDateTimeUtc());
    QTRY_VERIFY_WITH_TIMEOUT(batch.allFinished(), 10000);
    QCOMPARE(batch.recorders.front()->result.httpStatus, status);
    QCOMPARE(batch.ok(), 6);
    QCOMPARE(busyArrivals.size(), 3);
    QCOMPARE(otherArrivals.size(), 4);
    const qint64 refusedAt = busyArrivals.at(0);
    // Nothing went to the busy host before the pause was over; the other host went on meanwhile.
    QVERIFY2(busyArrivals.at(1) - refusedAt >= pauseMs - 20,
             qPrintable(
                 QStringLiteral("next request %1 ms after the refusal").arg(busyArrivals.at(1) - refusedAt)));
    QVERIFY2(otherArrivals.at(0) - refusedAt < pauseMs,
             qPrintable(
                 QStringLiteral("other host %1 ms after the refusal").arg(otherArrivals.at(0) - refusedAt)));
    QVERIFY(loop.pausedHosts().isEmpty());
}

void TestTransferLoop::tooManyRequestsHalvesTheHostsConcurrency_data() {
    QTest::addColumn<int>("cap");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("after");

    QTest::newRow("429 with six in flight: three") << 6 << 429 << 3;
    QTest::newRow("429 with two in flight: one") << 2 << 429 << 1;
    QTest::newRow("503 pauses but keeps the concurrency") << 6 << 503 << 6;
}

void TestTransferLoop::tooManyRequestsHalvesTheHostsConcurrency() {
    QFETCH(int, cap);
    QFETCH(int, status);
    QFETCH(int, after);
    TestServer server;
    server.route("/first", serve::response(status, "Slow Down", {{"Retry-After", "1"}}).delayed(100));
    server.setFallback([](const RecordedRequest&) { return serve::ok("image").delayed(150); });
    // Counted from the refusal on, among the requests that arrived after it.
    InFlightCounter counter;
    bool refused = false;
    QSet<QByteArray> counted;
    connect(&server, &TestServer::requestArrived, this, [&](const RecordedRequest& request) {
        if (refused) {
            counted.insert(server.address(request.path));
            counter.arrive();
        }
    });
    net::CurlLoop loop;
    loop.setMaxInFlight(cap);
    loop.setPauseListener([&](const net::HostPause&) { refused = true; });
    Batch batch;
    batch.submit(loop, server.address("/first"));
    for (int i = 0; i < 24; ++i)
        batch.submit(loop, server.address("/image" + QByteArray::number(i)));
    for (auto& recorder : batch.recorders)
        recorder->onFinished = [&, link = recorder->link] {
            if (counted.contains(link))
                ++counter.finished;
        };
    QTRY_VERIFY_WITH_TIMEOUT(batch.allFinished(), 20000);
    QCOMPARE(batch.ok(), 24);
    QCOMPARE(counter.most, after);
}

void TestTransferLoop::theWaitIsKeptPerHost_data() {
    QTest::addColumn<int>("gapMs");

    QTest::newRow("no wait") << 0;
    QTest::newRow("a wait between two requests to one host") << 150;
}

void TestTransferLoop::theWaitIsKeptPerHost() {
    QFETCH(int, gapMs);
    TestServer first;
    TestServer second("127.0.0.2");
    if (!second.isListening())
        QSKIP("127.0.0.2 is not a loopback address here");
    QElapsedTimer clock;
    clock.start();
    QList<qint64> firstArrivals, secondArrivals;
    connect(&first, &TestServer::requestArrived, this, [&] { firstArrivals.append(clock.elapsed()); });
    connect(&second, &TestServer::requestArrived, this, [&] { secondArrivals.append(clock.elapsed()); });
    first.setFallback([](const RecordedRequest&) { return serve::ok("a"); });
    second.setFallback([](const RecordedRequest&) { return serve::ok("b"); });
    net::CurlLoop loop;
    loop.setMaxInFlight(8);
    loop.setHostGapMs(gapMs);
    Batch batch;
    for (int i = 0; i < 4; ++i) {
        batch.submit(loop, first.address("/a" + QByteArray::number(i)));
        batch.submit(loop, second.address("/b" + QByteArray::number(i)));
    }
    QTRY_VERIFY_WITH_TIMEOUT(batch.allFinished(), 10000);
    QCOMPARE(batch.ok(), 8);
    for (const QList<qint64>* arrivals : {&firstArrivals, &secondArrivals}) {
        QCOMPARE(arrivals->size(), 4);
        for (int i = 1; i < 4; ++i)
            QVERIFY2(
                arrivals->at(i) - arrivals->at(i - 1) >= gapMs - 15,
                qPrintable(
                    QStringLiteral("%1 ms between two requests").arg(arrivals->at(i) - arrivals->at(i - 1))));
    }
    // The hosts' waits run side by side, not one after the other.
    QVERIFY(qAbs(firstArrivals.at(3) - secondArrivals.at(3)) < gapMs + 100);
}

void TestTransferLoop::cancellationEndsEveryTransfer() {
    TestServer server;
    server.route("/stall", serve::stall());
    server.route("/huge", serve::generated(qint64(1) << 32));
    net::CurlLoop loop;
    loop.setMaxInFlight(4);
    Batch batch;
    for (int i = 0; i < 6; ++i) {
        batch.submit(loop, server.address("/stall"));
        batch.submit(loop, server.address("/huge"));
    }
    QTest::qWait(300);
    QElapsedTimer clock;
    clock.start();
    Cancellation::request();
    QTRY_VERIFY_WITH_TIMEOUT(batch.allFinished(), 1000);
    QVERIFY(clock.elapsed() < 1000);
    for (const auto& recorder : batch.recorders) {
        QCOMPARE(recorder->ends, 1);
        QCOMPARE(recorder->result.status, net::Status::Cancelled);
    }
    Recorder late;
    QCOMPARE(loop.submit(net::Request::of(server.address("/huge")), late), net::Transfers::Id(0));
    QCOMPARE(late.result.status, net::Status::Cancelled);
}

// Twelve at once to one HTTP/1.1 host: six wait inside libcurl for a connection, longer than the
// idle time-out, and must not fail for it.
void TestTransferLoop::waitingForAConnectionIsNoSilence() {
    const QByteArray saved = qgetenv("VARNOLUX_IDLE_TIMEOUT_MS");
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", "400");
    TestServer server;
    server.setFallback([](const RecordedRequest&) { return serve::ok("image").delayed(300); });
    net::CurlLoop loop;
    loop.setMaxInFlight(12);
    Batch batch;
    for (int i = 0; i < 12; ++i)
        batch.submit(loop, server.address("/image" + QByteArray::number(i)));
    qputenv("VARNOLUX_IDLE_TIMEOUT_MS", saved);
    QTRY_VERIFY_WITH_TIMEOUT(batch.allFinished(), 10000);
    for (const auto& recorder : batch.recorders)
        QVERIFY2(recorder->result.ok(), qPrintable(net::reasonText(recorder->result)));
    QCOMPARE(server.connectionCount(), 6);
}

void TestTransferLoop::http2_data() {
    QTest::addColumn<QByteArray>("directives");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("parallel");
    QTest::addColumn<int>("resets");
    QTest::addColumn<int>("mostConnections");
    QTest::addColumn<int>("fewestConnections");

    QTest::newRow("many streams share one connection") << QByteArray() << 100 << 16 << 0 << 1 << 1;
    // libcurl gives up a connection that had a stream reset; the streams beside it go on anew.
    QTest::newRow("a reset stream fails that image only")
        << QByteArray("location = /reset.gif { return 444; }\n") << 40 << 16 << 1 << 8 << 1;
    QTest::newRow("GOAWAY after ten streams: the rest go again on new connections")
        << QByteArray("keepalive_requests 10;\n") << 40 << 16 << 0 << 40 << 4;
}

void TestTransferLoop::http2() {
    QFETCH(QByteArray, directives);
    QFETCH(int, count);
    QFETCH(int, parallel);
    QFETCH(int, resets);
    QFETCH(int, mostConnections);
    QFETCH(int, fewestConnections);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (int i = 0; i < count; ++i) {
        QFile image(root.filePath(QStringLiteral("i%1.gif").arg(i)));
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write("GIF89a " + QByteArray::number(i) + QByteArray(20000, 'x'));
    }
    const QByteArray tlsPort = freePort();
    Nginx nginx(root.path(), "listen 127.0.0.1:" + tlsPort + " ssl http2;\nssl_certificate " +
                                 QFile::encodeName(m_certificate.serverCertificatePath()) +
                                 ";\nssl_certificate_key " +
                                 QFile::encodeName(m_certificate.serverKeyPath()) +
                                 ";\nadd_header X-Connection $connection always;\n" + directives);
    VARNOLUX_START_NGINX_OR_SKIP(nginx);
    const QByteArray base = "https://127.0.0.1:" + tlsPort;
    net::CurlLoop loop;
    loop.setMaxInFlight(parallel);
    Batch batch;
    for (int i = 0; i < count; ++i) {
        if (i == count / 2 && resets > 0)
            batch.submit(loop, base + "/reset.gif");
        batch.submit(loop, base + "/i" + QByteArray::number(i) + ".gif");
    }
    QTRY_VERIFY_WITH_TIMEOUT(batch.allFinished(), 20000);
    QSet<QByteArray> connections;
    int failed = 0;
    for (int i = 0; i < int(batch.recorders.size()); ++i) {
        const Recorder& recorder = *batch.recorders[std::size_t(i)];
        QCOMPARE(recorder.ends, 1);
        if (!recorder.result.ok()) {
            ++failed;
            QCOMPARE(recorder.heads, 0);
            continue;
        }
        connections.insert(recorder.response.header("X-Connection"));
        QVERIFY(recorder.received.startsWith("GIF89a "));
        QVERIFY(recorder.received.endsWith(QByteArray(20000, 'x')));
    }
    QCOMPARE(failed, resets);
    QCOMPARE(batch.ok(), count);
    QVERIFY2(connections.size() <= mostConnections && connections.size() >= fewestConnections,
             qPrintable(QStringLiteral("%1 connections").arg(connections.size())));
    QVERIFY(nginx.accessLog().contains("HTTP/2.0\""));
}

QTEST_GUILESS_MAIN(TestTransferLoop)
#include "tst_transferloop.moc"
