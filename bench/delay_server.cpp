// The loopback test server as a program for transfer_bench.sh: serves the files of a folder,
// starting every answer a fixed delay after its request, as a distant server would.
//
//     delay_server FOLDER DELAY_MS   prints "PORT\n" once it listens, then serves until killed

#include "support/TestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fputs("usage: delay_server FOLDER DELAY_MS\n", stderr);
        return 2;
    }
    const QDir root(args.at(1));
    const int delayMs = args.at(2).toInt();
    QHash<QByteArray, QByteArray> files;
    for (const QString& name : root.entryList(QDir::Files)) {
        QFile file(root.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            files.insert('/' + QFile::encodeName(name), file.readAll());
    }
    TestServer server;
    server.setFallback([&](const RecordedRequest& request) {
        const auto it = files.constFind(request.path);
        if (it == files.cend())
            return serve::response(404, "Not Found").delayed(delayMs);
        return serve::ok(*it, request.path.endsWith(".html") ? "text/html" : "image/jpeg").delayed(delayMs);
    });
    // Nothing is kept per request: a benchmark sends thousands.
    QObject::connect(
        &server, &TestServer::requestArrived, &server, [&] { server.clearRequests(); }, Qt::QueuedConnection);
    std::printf("%d\n", int(server.port()));
    std::fflush(stdout);
    return app.exec();
}
