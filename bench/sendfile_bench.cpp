// Serves a generated file with TarnwickSocket::sendFile over loopback to plain readers and
// prints the throughput, first for one download, then for several at once.
//
//   sendfile_bench [size in MiB, default 1024] [parallel downloads, default 4]

#include "loopback.h"
#include "server/tarnwicksocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr size_t ReadBuffer = 256 * 1024;

bool generate(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(MiB, Qt::Uninitialized);
    QRandomGenerator random(1);
    random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
    for (qint64 done = 0; done < size; done += block.size()) {
        if (file.write(block.constData(), qMin<qint64>(block.size(), size - done)) <= 0)
            return false;
    }
    return true;
}

// Runs downloads at once; returns the bytes all readers got and the seconds it took.
qint64 run(const QString &path, int downloads, double *seconds)
{
    std::vector<std::unique_ptr<QThread>> senders;
    std::vector<std::thread> readers;
    std::vector<qint64> received(static_cast<size_t>(downloads), 0);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < downloads; ++i) {
        int server = -1;
        int reader = -1;
        if (!connectLoopback(&server, &reader))
            return 0;
        senders.emplace_back(QThread::create([server, path] {
            TarnwickSocket socket;
            ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);
            socket.open(server);
            socket.write("HTTP/1.1 202 OK\r\n\r\n");
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                socket.sendFile(file.handle(), 0, file.size());
            socket.abort();
        }));
        senders.back()->start();
        readers.emplace_back([reader, &received, i] {
            std::vector<char> buffer(ReadBuffer);
            qint64 total = 0;
            for (;;) {
                const ssize_t n = ::recv(reader, buffer.data(), buffer.size(), 0);
                if (n <= 0)
                    break;
                total += n;
            }
            ::close(reader);
            received[static_cast<size_t>(i)] = total;
        });
    }
    for (auto &reader : readers)
        reader.join();
    *seconds = clock.nsecsElapsed() / 1e9;
    for (auto &sender : senders)
        sender->wait();
    qint64 total = 0;
    for (qint64 n : received)
        total += n;
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 size = (argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024) * MiB;
    const int parallel = argc > 2 ? QByteArray(argv[2]).toInt() : 4;
    if (size <= 0 || parallel <= 0) {
        std::fprintf(stderr, "usage: sendfile_bench [size MiB] [parallel downloads]\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("payload.bin"));
    if (!dir.isValid() || !generate(path, size)) {
        std::fprintf(stderr, "cannot write the payload file\n");
        return 1;
    }

    for (int downloads : {1, parallel}) {
        double seconds = 0;
        const qint64 bytes = run(path, downloads, &seconds);
        const qint64 expected = downloads * (size + 19); // the header is 19 bytes
        std::printf("%d download(s) of %lld MiB: %.0f MiB/s%s\n", downloads, size / MiB,
                    bytes / MiB / seconds, bytes == expected ? "" : " (short!)");
    }
    return 0;
}
