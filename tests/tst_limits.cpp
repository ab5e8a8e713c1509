#include "support/rawclient.h"
#include "support/serverfixture.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

// How the server bounds the connections that take its threads, over real loopback
// connections.
class tst_Limits : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void slowRequestIsCutAtTheDeadline_data();
    void slowRequestIsCutAtTheDeadline();
    void longestWaitingMakesRoom();
    void excessIsAnsweredBusy_data();
    void excessIsAnsweredBusy();
    void acceptingResumesAfterDescriptorsRunOut();

private:
    // A client that has asked for a large file and reads no more than the answer's head:
    // its connection is being answered, and its thread stays busy in a send.
    std::unique_ptr<RawClient> downloading();
    // A client that has connected and sends nothing.
    std::unique_ptr<RawClient> silent();

    std::unique_ptr<ServerFixture> fixture;
};

namespace {

// Short enough for a test, long enough that a loaded machine still meets it.
constexpr int HeadWaitMs = 1500;

QByteArray get(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// The connection was ended by the server without a byte of answer.
bool cutOff(RawClient *client)
{
    const RawResponse response = client->readToEnd(2000);
    return response.raw.isEmpty()
        && (response.end == RawResponse::End::Closed || response.end == RawResponse::End::Reset);
}

} // namespace

void tst_Limits::init()
{
    fixture = std::make_unique<ServerFixture>();
    fixture->server->setHeadWait(HeadWaitMs);
    QVERIFY(fixture->start());
}

void tst_Limits::cleanup()
{
    fixture.reset();
}

std::unique_ptr<RawClient> tst_Limits::downloading()
{
    const QString path = fixture->sharedPath(QStringLiteral("big.bin"));
    if (!QFileInfo::exists(path)) {
        QFile big(path);
        if (!big.open(QIODevice::WriteOnly) || !big.resize(256 * 1024 * 1024))
            return nullptr;
    }
    auto client = std::make_unique<RawClient>();
    if (!client->connectTo(fixture->port()) || !client->send(get("/big.bin"))
        || client->readHead().statusCode() != 202)
        return nullptr;
    return client;
}

std::unique_ptr<RawClient> tst_Limits::silent()
{
    // Connected, and its thread has started.
    QSignalSpy accepted(fixture->server.get(), &WebServer::newConnection);
    auto client = std::make_unique<RawClient>();
    if (!client->connectTo(fixture->port()) || (accepted.isEmpty() && !accepted.wait(5000)))
        return nullptr;
    return client;
}

void tst_Limits::slowRequestIsCutAtTheDeadline_data()
{
    QTest::addColumn<QByteArray>("sentAtOnce");
    QTest::addColumn<QByteArray>("trickled"); // a byte every TrickleMs, for as long as the connection lasts

    const QByteArray head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: slow\r\nAccept: */*\r\n";
    QTest::addRow("nothing sent") << QByteArray() << QByteArray();
    QTest::addRow("request line trickled") << QByteArray() << head.repeated(4);
    QTest::addRow("header lines trickled") << head.left(16) << head.mid(16).repeated(4);
    QTest::addRow("head stops short") << head << QByteArray();
    QTest::addRow("login body trickled")
        << QByteArray("POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: 400\r\n\r\n")
        << "password=" + QByteArray(391, 'p');
}

void tst_Limits::slowRequestIsCutAtTheDeadline()
{
    QFETCH(QByteArray, sentAtOnce);
    QFETCH(QByteArray, trickled);
    constexpr int TrickleMs = 100;

    RawClient client;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(client.connectTo(fixture->port()));
    if (!sentAtOnce.isEmpty())
        QVERIFY(client.send(sentAtOnce));
    QTRY_COMPARE(fixture->server->threadCount(), 1);

    // The connection's thread is gone at the deadline while the client is still sending.
    for (qsizetype i = 0; fixture->server->threadCount() > 0 && timer.elapsed() < 4 * HeadWaitMs; ++i) {
        if (i < trickled.size())
            client.send(trickled.mid(i, 1));
        QTest::qWait(TrickleMs);
    }
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= HeadWaitMs - TrickleMs, QByteArray::number(elapsed).constData());
    QVERIFY2(elapsed < HeadWaitMs + 1000, QByteArray::number(elapsed).constData());

    const RawResponse response = client.readToEnd(2000);
    QVERIFY(response.raw.isEmpty());
    QVERIFY(response.end == RawResponse::End::Closed || response.end == RawResponse::End::Reset);
}

void tst_Limits::longestWaitingMakesRoom()
{
    fixture->server->setMaxConnections(4);
    fixture->server->setHeadWait(60000);
    ServerFixture::writeFile(fixture->sharedPath("a.txt"), "content");
    QSignalSpy accepted(fixture->server.get(), &WebServer::newConnection);

    // The oldest connection is being answered; the others wait for their heads.
    const std::unique_ptr<RawClient> answered = downloading();
    QVERIFY(answered);
    const std::unique_ptr<RawClient> first = silent();
    const std::unique_ptr<RawClient> second = silent();
    const std::unique_ptr<RawClient> third = silent();
    QVERIFY(first && second && third);
    QCOMPARE(fixture->server->threadCount(), 4);

    // Each new connection takes the place of the one that has waited longest.
    const std::unique_ptr<RawClient> fourth = silent();
    QVERIFY(fourth);
    QVERIFY(cutOff(first.get()));
    QTRY_COMPARE(fixture->server->threadCount(), 4);
    const RawResponse served = RawClient::exchange(fixture->port(), get("/a.txt"));
    QCOMPARE(served.statusCode(), 202);
    QCOMPARE(served.body, QByteArray("content"));
    QVERIFY(cutOff(second.get()));

    QVERIFY(third->holdOpen(200));
    QVERIFY(fourth->holdOpen(200));
    QVERIFY(answered->holdOpen(200));
    QCOMPARE(accepted.count(), 6);
}

void tst_Limits::excessIsAnsweredBusy_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addRow("nothing sent yet") << QByteArray();
    QTest::addRow("request sent") << get("/a.txt");
}

void tst_Limits::excessIsAnsweredBusy()
{
    QFETCH(QByteArray, request);
    fixture->server->setMaxConnections(2);
    ServerFixture::writeFile(fixture->sharedPath("a.txt"), "content");
    QSignalSpy accepted(fixture->server.get(), &WebServer::newConnection);

    std::unique_ptr<RawClient> one = downloading();
    std::unique_ptr<RawClient> two = downloading();
    QVERIFY(one && two);

    // Nothing waits for its head, so nothing can make room.
    RawClient excess;
    QVERIFY(excess.connectTo(fixture->port()));
    if (!request.isEmpty())
        QVERIFY(excess.send(request));
    const RawResponse busy = excess.readToEnd(2000);
    QCOMPARE(busy.raw,
             QByteArray("HTTP/1.1 503 Service Unavailable\r\nServer: TarnwickServer_1\r\n"
                        "Connection: close\r\n\r\n"));
    QVERIFY(busy.end == RawResponse::End::Closed || busy.end == RawResponse::End::Reset);
    QCOMPARE(fixture->server->threadCount(), 2);

    // Once the connections are gone, new ones are served again.
    one.reset();
    two.reset();
    QTRY_COMPARE(fixture->server->threadCount(), 0);
    QCOMPARE(RawClient::exchange(fixture->port(), get("/a.txt")).body, QByteArray("content"));
    // The window counts the connections served, not the one answered busy.
    QTRY_COMPARE(accepted.count(), 3);
    QTest::qWait(100);
    QCOMPARE(accepted.count(), 3);
}

void tst_Limits::acceptingResumesAfterDescriptorsRunOut()
{
    ServerFixture::writeFile(fixture->sharedPath("a.txt"), "content");
    QSignalSpy errors(fixture->server.get(), &QTcpServer::acceptError);

    // Every descriptor is taken but the client's, so the server cannot accept its
    // connection. The client connects without turning the event loop, in which the server
    // would accept.
    rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit few = saved;
    few.rlim_cur = qMin<rlim_t>(512, saved.rlim_max);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &few), 0);
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        held.push_back(fd);
    QVERIFY(!held.empty());
    ::close(held.back());
    held.pop_back();
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_port = htons(fixture->port());
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray request = get("/a.txt");
    const bool sent = client >= 0
        && ::connect(client, reinterpret_cast<const sockaddr *>(&server), sizeof server) == 0
        && ::send(client, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size();
    QTest::qWait(500);
    const qsizetype failedAccepts = errors.size();
    for (int fd : held)
        ::close(fd);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    QVERIFY(sent);
    QVERIFY(failedAccepts > 0);

    // Once descriptors are free again, the connection that waited is served.
    QByteArray answer;
    QDeadlineTimer deadline(5000);
    for (;;) {
        char buffer[4096];
        const ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            answer.append(buffer, n);
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || deadline.hasExpired())
            break;
        else
            QTest::qWait(20);
    }
    ::close(client);
    const RawResponse response = RawResponse::parse(answer, RawResponse::End::Closed);
    QCOMPARE(response.statusCode(), 202);
    QCOMPARE(response.body, QByteArray("content"));
}

QTEST_GUILESS_MAIN(tst_Limits)
#include "tst_limits.moc"
