#include "net/hostaddresses.h"
#include "server/threadsanitizer.h"
#include "support/rawclient.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

// A download on a plain socket that reads as fast as it can until the server closes,
// counting every byte; on a thread of its own, so that several read at once.
class Download
{
public:
    Download(quint16 port, const QByteArray &request)
    {
        m_thread = std::thread([this, port, request] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
                char buffer[256 * 1024];
                ssize_t n;
                while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                    m_received += n;
            }
            ::close(fd);
        });
    }
    ~Download() { m_thread.join(); }
    Download(const Download &) = delete;
    Download &operator=(const Download &) = delete;

    qint64 received() const { return m_received; }
    // The bytes received, once the server has closed the connection.
    qint64 finish()
    {
        m_thread.join();
        m_thread = std::thread([] {});
        return m_received;
    }

private:
    std::thread m_thread;
    std::atomic<qint64> m_received {0};
};

} // namespace

// tarnwick-serve as a script would run it.
class tst_Serve : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void usageErrors_data();
    void usageErrors();
    void helpAndVersion();
    void portInUse();
    void servesAFolderUntilTerminated();
    void terminatedDuringDownloads();
    void fewDescriptors();
    void totalsHoldEveryByteSent();
    void receivesUploads();

private:
    QByteArray run(const QStringList &arguments, int *status);
    static quint16 freePort();
    QTemporaryDir shared;
};

// tarnwick-serve running in the background, what it prints collected.
struct Serving
{
    QProcess process;
    QByteArray output;

    // Starts \a program and waits until it has named the last address it listens on.
    bool start(const QString &program, const QStringList &arguments)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] { output += process.readAll(); });
        process.start(program, arguments);
        const QByteArray ready
            = QStringLiteral("http://%1:").arg(listenAddresses(interfaceEntries()).last()).toUtf8();
        return QTest::qWaitFor([&] { return output.contains(ready); }, 20000);
    }
};

void tst_Serve::initTestCase()
{
    QFile file(shared.filePath(QStringLiteral("hello.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("hello");
}

QByteArray tst_Serve::run(const QStringList &arguments, int *status)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(TARNWICK_SERVE), arguments);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
    }
    *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAll();
}

quint16 tst_Serve::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

void tst_Serve::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::addRow("nothing to share") << QStringList() << "say what to share";
    QTest::addRow("bad port") << QStringList {"--port", "http", "folder", "/"} << "--port";
    QTest::addRow("missing folder") << QStringList {"folder", "/no/such/folder"} << "not a folder";
    QTest::addRow("folder given as file") << QStringList {"file", "/"} << "not a file";
    QTest::addRow("no download folder")
        << QStringList {"--download-dir", "/no/such", "receive"} << "download folder";
}

void tst_Serve::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    int status = 0;
    const QByteArray output = run(arguments, &status);
    QCOMPARE(status, 2);
    QVERIFY2(output.contains(message.toUtf8()), output.constData());
}

void tst_Serve::helpAndVersion()
{
    int status = -1;
    QVERIFY(run({"--help"}, &status).contains("Usage: tarnwick-serve"));
    QCOMPARE(status, 0);
    QCOMPARE(run({"--version"}, &status), QByteArray("tarnwick-serve 1.5.6\n"));
    QCOMPARE(status, 0);
}

void tst_Serve::portInUse()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any));
    int status = 0;
    const QByteArray output
        = run({"--port", QString::number(taken.serverPort()), "folder", shared.path()}, &status);
    QCOMPARE(status, 3);
    QVERIFY2(output.contains("Unable to start the server"), output.constData());
}

void tst_Serve::servesAFolderUntilTerminated()
{
    const quint16 port = freePort();
    QProcess process;
    QByteArray output;
    process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&process, &QProcess::readyRead, this, [&] { output += process.readAll(); });
    process.start(QStringLiteral(TARNWICK_SERVE), {"--port", QString::number(port), "folder", shared.path()});
    QVERIFY(process.waitForStarted());
    // The addresses the window lists, with the port.
    const QStringList addresses = listenAddresses(interfaceEntries());
    QTRY_VERIFY_WITH_TIMEOUT(
        output.contains(QStringLiteral("http://%1:%2/").arg(addresses.last()).arg(port).toUtf8()), 20000);
    for (const QString &address : addresses)
        QVERIFY2(output.contains(QStringLiteral("  http://%1:%2/\n").arg(address).arg(port).toUtf8()),
                 output.constData());
    QVERIFY2(!output.contains("Public address"), output.constData());

    const RawResponse response = RawClient::exchange(port, "GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(response.statusCode(), 202);
    QCOMPARE(response.body, QByteArray("hello"));
    QTRY_VERIFY(output.contains("Connection from 127.0.0.1"));

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    output += process.readAll();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == 0, output.constData());
    QVERIFY2(QRegularExpression(QStringLiteral("Sent [1-9][0-9]* bytes, received [1-9][0-9]* bytes"))
                 .match(QString::fromUtf8(output))
                 .hasMatch(),
             output.constData());
}

void tst_Serve::terminatedDuringDownloads()
{
    QFile big(shared.filePath(QStringLiteral("big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.resize(256 * 1024 * 1024));
    big.close();

    const quint16 port = freePort();
    Serving serving;
    QVERIFY2(serving.start(QStringLiteral(TARNWICK_SERVE),
                           {"--port", QString::number(port), "folder", shared.path()}),
             serving.output.constData());
    QProcess &process = serving.process;
    QByteArray &output = serving.output;

    // Browsers that stop reading leave their connections stuck in sends.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        QVERIFY(clients.back()->connectTo(port));
        QVERIFY(clients.back()->send("GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n"));
        QCOMPARE(clients.back()->readHead().statusCode(), 202);
    }

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    output += process.readAll();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == 0, output.constData());
    QVERIFY(QFile::remove(big.fileName()));
}

void tst_Serve::fewDescriptors()
{
    // A descriptor limit that leaves room for some 40 connections, and many more idle ones.
    const quint16 port = freePort();
    Serving serving;
    QVERIFY2(serving.start(QStringLiteral("/bin/sh"),
                           {"-c", "ulimit -n 256 && exec \"$0\" \"$@\"", TARNWICK_SERVE, "--port",
                            QString::number(port), "folder", shared.path()}),
             serving.output.constData());
    QProcess &process = serving.process;
    QByteArray &output = serving.output;

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 150; ++i) {
        idle.push_back(std::make_unique<RawClient>(RawClient::Wait::Blocking));
        QVERIFY(idle.back()->connectTo(port));
    }
    // The connections closed to make room have ended.
    QTest::qWait(500);
    const RawResponse response = RawClient::exchange(port, "GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(response.statusCode(), 202);
    QCOMPARE(response.body, QByteArray("hello"));

    idle.clear();
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, output.constData());
}

void tst_Serve::totalsHoldEveryByteSent()
{
#ifdef TARNWICK_THREAD_SANITIZER
    // The race detector ends this test process when it starts the server again beside its
    // download threads ("starting new threads after multi-threaded fork"); the plain and
    // address-sanitizer runs cover it.
    QSKIP("not under the thread sanitizer");
#endif
    QFile big(shared.filePath(QStringLiteral("totals.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly));
    const qint64 size = 1024 * 1024 * 1024;
    QVERIFY(big.resize(size));
    big.close();
    const auto removeBig = qScopeGuard([&] { QFile::remove(big.fileName()); });
    const QByteArray request("GET /totals.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    constexpr int Downloads = 8;

    // A thread caught in the middle of a send counts its bytes a moment after the stop; the
    // totals printed at the end must hold them. Several runs, as the moment varies.
    for (int round = 0; round < 3; ++round) {
        const quint16 port = freePort();
        Serving serving;
        QVERIFY2(serving.start(QStringLiteral(TARNWICK_SERVE),
                               {"--port", QString::number(port), "folder", shared.path()}),
                 serving.output.constData());
        QProcess &process = serving.process;
        QByteArray &output = serving.output;

        std::vector<std::unique_ptr<Download>> downloads;
        for (int i = 0; i < Downloads; ++i)
            downloads.push_back(std::make_unique<Download>(port, request));
        for (const auto &download : downloads)
            QTRY_VERIFY_WITH_TIMEOUT(download->received() > 16 * 1024 * 1024, 20000);
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        qint64 received = 0;
        for (const auto &download : downloads)
            received += download->finish();

        const QRegularExpressionMatch totals
            = QRegularExpression(QStringLiteral("Sent (\\d+) bytes, received (\\d+) bytes"))
                  .match(QString::fromUtf8(output));
        QVERIFY2(totals.hasMatch(), output.constData());
        QVERIFY(received < Downloads * size);
        QCOMPARE(totals.captured(1).toLongLong(), received);
        QCOMPARE(totals.captured(2).toLongLong(), Downloads * request.size());
    }
}

void tst_Serve::receivesUploads()
{
    QTemporaryDir downloads;
    const quint16 port = freePort();
    Serving serving;
    QVERIFY2(serving.start(QStringLiteral(TARNWICK_SERVE),
                           {"--port", QString::number(port), "--download-dir", downloads.path(), "receive"}),
             serving.output.constData());
    QProcess &process = serving.process;
    QByteArray &output = serving.output;

    // The upload page, then a file sent as curl -F sends it.
    const RawResponse page = RawClient::exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(page.statusCode(), 202);
    QVERIFY(page.body.contains("action=\"/upload\""));

    QByteArray content(3 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 % 251);
    const QByteArray boundary = "------------------------d74496d66958873e";
    const QByteArray body = "--" + boundary
        + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"sent.bin\"\r\n"
          "Content-Type: application/octet-stream\r\n\r\n"
        + content + "\r\n--" + boundary + "--\r\n";
    const RawResponse answer = RawClient::exchange(
        port,
        "POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\nContent-Type: multipart/form-data; boundary=" + boundary + "\r\n\r\n" + body);
    QCOMPARE(answer.statusCode(), 202);
    QVERIFY(answer.body.contains("<meta name=\"upload-result\" content=\"stored\">"));
    QFile stored(downloads.filePath(QStringLiteral("sent.bin")));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == content);

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    output += process.readAll();
    QVERIFY2(process.exitCode() == 0, output.constData());
}

QTEST_GUILESS_MAIN(tst_Serve)
#include "tst_serve.moc"
