#include "support/rawclient.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QTcpServer>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <sys/socket.h>

using End = RawResponse::End;

// A scripted server for the client to talk to: it records each piece that arrives and,
// once a request head is complete, writes its reply and then closes, resets or stays.
class Peer : public QObject
{
    Q_OBJECT

public:
    enum class After { Close, Reset, StayOpen };
    struct Script
    {
        QByteArray reply;
        After after = After::Close;
        bool answer = true; // false: read forever, answer never
        bool answerAtOnce = false; // answer on connecting, before any request
    };
    struct Arrival
    {
        qint64 atMs;
        QByteArray bytes;
    };

    explicit Peer(const Script &script)
        : m_script(script)
        , m_server(this) // moves with the peer to its thread
    {
        connect(&m_server, &QTcpServer::newConnection, this, &Peer::take);
    }

    bool listen(const QHostAddress &address) { return m_server.listen(address); }
    quint16 port() const { return m_server.serverPort(); }

    QByteArray received() const
    {
        QMutexLocker lock(&m_mutex);
        QByteArray all;
        for (const Arrival &arrival : m_arrivals)
            all += arrival.bytes;
        return all;
    }
    QList<Arrival> arrivals() const
    {
        QMutexLocker lock(&m_mutex);
        return m_arrivals;
    }
    // Reply bytes the peer could not yet hand to the system.
    qint64 unsent() const { return m_unsent; }
    // The client said that it has nothing more to send.
    bool sawEndOfData() const { return m_sawEnd; }

    // Ends the connection from the server side (runs on the peer's thread).
    void closeConnection()
    {
        if (m_socket)
            m_socket->disconnectFromHost();
    }

private:
    void take()
    {
        m_socket = m_server.nextPendingConnection();
        m_clock.start();
        connect(m_socket, &QIODevice::readyRead, this, &Peer::read);
        connect(m_socket, &QIODevice::readChannelFinished, this, [this] { m_sawEnd = true; });
        connect(m_socket, &QIODevice::bytesWritten, this, [this] { m_unsent = m_socket->bytesToWrite(); });
        if (m_script.answerAtOnce)
            reply();
    }

    void read()
    {
        const QByteArray bytes = m_socket->readAll();
        bool headComplete = false;
        {
            QMutexLocker lock(&m_mutex);
            m_arrivals.append({m_clock.elapsed(), bytes});
            m_seen += bytes;
            headComplete = m_seen.contains("\r\n\r\n");
        }
        if (headComplete && m_script.answer && !m_answered)
            reply();
    }

    void reply()
    {
        m_answered = true;
        m_socket->write(m_script.reply);
        m_unsent = m_socket->bytesToWrite();
        switch (m_script.after) {
        case After::Close:
            m_socket->disconnectFromHost(); // after the pending bytes have left
            break;
        case After::Reset: {
            m_socket->flush();
            const linger reset {1, 0};
            ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            m_socket->abort();
            break;
        }
        case After::StayOpen:
            break;
        }
    }

    Script m_script;
    QTcpServer m_server;
    QTcpSocket *m_socket = nullptr;
    QElapsedTimer m_clock;
    QByteArray m_seen;
    bool m_answered = false;
    std::atomic<qint64> m_unsent {0};
    std::atomic<bool> m_sawEnd {false};
    mutable QMutex m_mutex;
    QList<Arrival> m_arrivals;
};

// Runs a Peer on this thread or on a thread of its own. The blocking client may only talk
// to a peer on another thread; the event-loop client is tried against a peer on its own
// thread, which answers only while the client keeps the loop turning.
class PeerHost
{
public:
    PeerHost(const Peer::Script &script, RawClient::Wait wait)
        : m_peer(new Peer(script))
    {
        if (wait == RawClient::Wait::Blocking) {
            m_thread = std::make_unique<QThread>();
            m_peer->moveToThread(m_thread.get());
            m_thread->start();
        }
    }
    ~PeerHost()
    {
        if (m_thread) {
            QMetaObject::invokeMethod(
                m_peer, [this] { delete m_peer; }, Qt::BlockingQueuedConnection);
            m_thread->quit();
            m_thread->wait();
        } else {
            delete m_peer;
        }
    }

    bool listen(const QHostAddress &address)
    {
        bool ok = false;
        onPeerThread([&] { ok = m_peer->listen(address); });
        return ok;
    }
    void closeConnection()
    {
        onPeerThread([this] { m_peer->closeConnection(); });
    }
    Peer *operator->() const { return m_peer; }

private:
    template<typename Function>
    void onPeerThread(Function function)
    {
        if (m_thread)
            QMetaObject::invokeMethod(m_peer, function, Qt::BlockingQueuedConnection);
        else
            function();
    }

    Peer *m_peer;
    std::unique_ptr<QThread> m_thread;
};

static const QByteArray Request
    = "GET /a%20b?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Odd:  two  spaces \r\n\r\n";
static const QByteArray Reply = "HTTP/1.1 202 OK\r\nServer: Peer\r\nContent-Length: 5\r\n\r\nhello";

class tst_RawClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void header_data();
    void header();
    void statusCode_data();
    void statusCode();

    void exchange_data();
    void exchange();
    void splitWritesArriveApart_data();
    void splitWritesArriveApart();
    void resetIsReported_data();
    void resetIsReported();
    void timeoutIsHonoured_data();
    void timeoutIsHonoured();
    void readHeadLeavesTheBodyUnread_data();
    void readHeadLeavesTheBodyUnread();
    void earlyAnswerIsKept_data();
    void earlyAnswerIsKept();
    void holdOpenSeesTheServerClose_data();
    void holdOpenSeesTheServerClose();
    void finishSendingEndsTheData_data();
    void finishSendingEndsTheData();
    void nobodyListening();

private:
    static void addWaitModes();
};

void tst_RawClient::parse_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QList<QByteArray>>("headerLines");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("headComplete");

    QTest::addRow("full answer") << Reply << QByteArray("HTTP/1.1 202 OK")
                                 << QList<QByteArray>({"Server: Peer", "Content-Length: 5"})
                                 << QByteArray("hello") << true;
    QTest::addRow("status line only")
        << QByteArray("HTTP/1.1 404 Not Found\r\n\r\n") << QByteArray("HTTP/1.1 404 Not Found")
        << QList<QByteArray>() << QByteArray() << true;
    QTest::addRow("blank line in the body is body")
        << QByteArray("HTTP/1.1 202 OK\r\nA: 1\r\n\r\nx\r\n\r\nB: 2\r\n") << QByteArray("HTTP/1.1 202 OK")
        << QList<QByteArray>({"A: 1"}) << QByteArray("x\r\n\r\nB: 2\r\n") << true;
    QTest::addRow("bare LF does not end a line")
        << QByteArray("HTTP/1.1 202 OK\nA: 1\r\nB: 2\n\r\n\r\nbody") << QByteArray("HTTP/1.1 202 OK\nA: 1")
        << QList<QByteArray>({"B: 2\n"}) << QByteArray("body") << true;
    QTest::addRow("head cut off after a line")
        << QByteArray("HTTP/1.1 202 OK\r\nA: 1\r\n") << QByteArray("HTTP/1.1 202 OK")
        << QList<QByteArray>({"A: 1"}) << QByteArray() << false;
    QTest::addRow("head cut off inside a line")
        << QByteArray("HTTP/1.1 202 OK\r\nContent-Le") << QByteArray("HTTP/1.1 202 OK")
        << QList<QByteArray>({"Content-Le"}) << QByteArray() << false;
    QTest::addRow("empty header value kept")
        << QByteArray("HTTP/1.1 202 OK\r\nA:\r\n : b\r\n\r\n") << QByteArray("HTTP/1.1 202 OK")
        << QList<QByteArray>({"A:", " : b"}) << QByteArray() << true;
    QTest::addRow("nothing") << QByteArray() << QByteArray() << QList<QByteArray>() << QByteArray() << false;
}

void tst_RawClient::parse()
{
    QFETCH(QByteArray, raw);
    const RawResponse response = RawResponse::parse(raw, End::Closed);
    QTEST(response.statusLine, "statusLine");
    QTEST(response.headerLines, "headerLines");
    QTEST(response.body, "body");
    QTEST(response.headComplete, "headComplete");
    QCOMPARE(response.raw, raw);
    QCOMPARE(response.end, End::Closed);
}

void tst_RawClient::header_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("count");

    QTest::addRow("exact name") << QByteArray("Content-Type") << QByteArray("text/html; charset=UTF-8") << 1;
    QTest::addRow("name in other case")
        << QByteArray("content-type") << QByteArray("text/html; charset=UTF-8") << 1;
    QTest::addRow("repeated: first value") << QByteArray("Set-Cookie") << QByteArray("a=1") << 2;
    QTest::addRow("value trimmed") << QByteArray("X-Pad") << QByteArray("in  side") << 1;
    QTest::addRow("space before the colon is another name") << QByteArray("X-Gap") << QByteArray() << 0;
    QTest::addRow("prefix of a name") << QByteArray("Content") << QByteArray() << 0;
    QTest::addRow("empty value") << QByteArray("X-Empty") << QByteArray("") << 1;
    QTest::addRow("missing") << QByteArray("Location") << QByteArray() << 0;
}

void tst_RawClient::header()
{
    QFETCH(QByteArray, name);
    const RawResponse response = RawResponse::parse("HTTP/1.1 202 OK\r\n"
                                                    "Content-Type: text/html; charset=UTF-8\r\n"
                                                    "Set-Cookie: a=1\r\n"
                                                    "X-Pad: \t in  side \r\n"
                                                    "X-Gap : 1\r\n"
                                                    "Set-Cookie: b=2\r\n"
                                                    "X-Empty: \t \r\n"
                                                    "\r\n",
                                                    End::Closed);
    QFETCH(int, count);
    QCOMPARE(response.header(name).isNull(), count == 0);
    QTEST(response.header(name), "value");
    QCOMPARE(response.headerCount(name), count);
}

void tst_RawClient::statusCode_data()
{
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<int>("code");

    QTest::addRow("success") << QByteArray("HTTP/1.1 202 OK") << 202;
    QTest::addRow("reason with spaces") << QByteArray("HTTP/1.1 501 Can't read file") << 501;
    QTest::addRow("older version") << QByteArray("HTTP/1.0 404 Not Found") << 404;
    QTest::addRow("no reason") << QByteArray("HTTP/1.1 202") << 202;
    QTest::addRow("two digits") << QByteArray("HTTP/1.1 20 OK") << -1;
    QTest::addRow("not a number") << QByteArray("HTTP/1.1 OK 202") << -1;
    QTest::addRow("not HTTP") << QByteArray("hello world") << -1;
    QTest::addRow("empty") << QByteArray() << -1;
}

void tst_RawClient::statusCode()
{
    QFETCH(QByteArray, statusLine);
    RawResponse response;
    response.statusLine = statusLine;
    QTEST(response.statusCode(), "code");
}

void tst_RawClient::addWaitModes()
{
    QTest::addColumn<RawClient::Wait>("wait");
    QTest::addRow("event loop, peer on this thread") << RawClient::Wait::EventLoop;
    QTest::addRow("blocking, peer on its own thread") << RawClient::Wait::Blocking;
}

void tst_RawClient::exchange_data()
{
    QTest::addColumn<RawClient::Wait>("wait");
    QTest::addColumn<QHostAddress>("host");
    const QHostAddress v4(QHostAddress::LocalHost);
    const QHostAddress v6(QHostAddress::LocalHostIPv6);
    QTest::addRow("event loop, 127.0.0.1") << RawClient::Wait::EventLoop << v4;
    QTest::addRow("event loop, ::1") << RawClient::Wait::EventLoop << v6;
    QTest::addRow("blocking, 127.0.0.1") << RawClient::Wait::Blocking << v4;
    QTest::addRow("blocking, ::1") << RawClient::Wait::Blocking << v6;
}

void tst_RawClient::exchange()
{
    QFETCH(RawClient::Wait, wait);
    QFETCH(QHostAddress, host);
    PeerHost peer({Reply}, wait);
    if (!peer.listen(host))
        QSKIP("This machine has no such loopback address");

    RawClient client(wait);
    QVERIFY(client.connectTo(peer->port(), host));
    QVERIFY(client.send(Request));
    const RawResponse response = client.readToEnd();

    QCOMPARE(peer->received(), Request);
    QCOMPARE(response.end, End::Closed);
    QCOMPARE(response.raw, Reply);
    QCOMPARE(response.statusLine, QByteArray("HTTP/1.1 202 OK"));
    QCOMPARE(response.headerLines, QList<QByteArray>({"Server: Peer", "Content-Length: 5"}));
    QCOMPARE(response.body, QByteArray("hello"));
    QVERIFY(!client.isOpen());
}

void tst_RawClient::splitWritesArriveApart_data()
{
    addWaitModes();
}

void tst_RawClient::splitWritesArriveApart()
{
    QFETCH(RawClient::Wait, wait);
    constexpr int PauseMs = 250;
    PeerHost peer({Reply}, wait);
    QVERIFY(peer.listen(QHostAddress(QHostAddress::LocalHost)));

    const QList<QByteArray> chunks = {"GET /a", " HTTP/1.1\r\nHost: x\r", "\n\r\n"};
    RawClient client(wait);
    QVERIFY(client.connectTo(peer->port()));
    QVERIFY(client.sendChunks(chunks, PauseMs));
    const RawResponse response = client.readToEnd();
    QCOMPARE(response.end, End::Closed);
    QCOMPARE(response.body, QByteArray("hello"));

    const QList<Peer::Arrival> arrivals = peer->arrivals();
    QCOMPARE(arrivals.size(), chunks.size());
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        QCOMPARE(arrivals.at(i).bytes, chunks.at(i));
        if (i > 0)
            QVERIFY2(arrivals.at(i).atMs - arrivals.at(i - 1).atMs >= PauseMs / 2,
                     qPrintable(QStringLiteral("chunk %1 came %2 ms after the one before")
                                    .arg(i)
                                    .arg(arrivals.at(i).atMs - arrivals.at(i - 1).atMs)));
    }
}

void tst_RawClient::resetIsReported_data()
{
    addWaitModes();
}

void tst_RawClient::resetIsReported()
{
    QFETCH(RawClient::Wait, wait);
    PeerHost peer({Reply, Peer::After::Reset}, wait);
    QVERIFY(peer.listen(QHostAddress(QHostAddress::LocalHost)));

    const RawResponse response = [&] {
        RawClient client(wait);
        client.connectTo(peer->port());
        client.send(Request);
        return client.readToEnd();
    }();
    QCOMPARE(response.end, End::Reset);
    // What came before the reset is kept.
    QCOMPARE(response.raw, Reply);
}

void tst_RawClient::timeoutIsHonoured_data()
{
    addWaitModes();
}

void tst_RawClient::timeoutIsHonoured()
{
    QFETCH(RawClient::Wait, wait);
    constexpr int TimeoutMs = 400;
    Peer::Script silent;
    silent.answer = false;
    PeerHost peer(silent, wait);
    QVERIFY(peer.listen(QHostAddress(QHostAddress::LocalHost)));

    RawClient client(wait);
    QVERIFY(client.connectTo(peer->port()));
    QVERIFY(client.send(Request));
    QElapsedTimer clock;
    clock.start();
    const RawResponse response = client.readToEnd(TimeoutMs);
    const qint64 waited = clock.elapsed();

    QCOMPARE(response.end, End::TimedOut);
    QVERIFY(response.raw.isEmpty());
    QVERIFY2(waited >= TimeoutMs - 5, qPrintable(QString::number(waited)));
    QVERIFY2(waited < TimeoutMs + 2000, qPrintable(QString::number(waited)));
    QVERIFY(client.isOpen());
    // The peer got the request, so the loop turned for it while the client waited.
    QTRY_COMPARE(peer->received(), Request);
}

void tst_RawClient::readHeadLeavesTheBodyUnread_data()
{
    addWaitModes();
}

void tst_RawClient::readHeadLeavesTheBodyUnread()
{
    QFETCH(RawClient::Wait, wait);
    // Far more than the system buffers of both ends hold.
    constexpr qsizetype BodySize = 24 * 1024 * 1024;
    const QByteArray head = "HTTP/1.1 202 OK\r\nContent-Length: " + QByteArray::number(BodySize) + "\r\n\r\n";
    const QByteArray body(BodySize, 'b');
    PeerHost peer({head + body}, wait);
    QVERIFY(peer.listen(QHostAddress(QHostAddress::LocalHost)));

    RawClient client(wait);
    QVERIFY(client.connectTo(peer->port()));
    QVERIFY(client.send(Request));
    const RawResponse headOnly = client.readHead();
    QCOMPARE(headOnly.end, End::Open);
    QVERIFY(headOnly.headComplete);
    QCOMPARE(headOnly.raw, head);
    QCOMPARE(headOnly.header("Content-Length"), QByteArray::number(BodySize));
    QVERIFY(headOnly.body.isEmpty());

    // The client stays slow: the peer cannot get rid of its reply.
    QVERIFY(client.holdOpen(500));
    QVERIFY2(peer->unsent() > 0, "the peer sent the whole body to a client that does not read");

    const RawResponse full = client.readToEnd();
    QCOMPARE(full.end, End::Closed);
    QCOMPARE(full.body.size(), BodySize);
    QVERIFY(full.body == body);
    QCOMPARE(peer->unsent(), 0);
}

void tst_RawClient::earlyAnswerIsKept_data()
{
    addWaitModes();
}

void tst_RawClient::earlyAnswerIsKept()
{
    // A server may answer and close before the request is complete; the answer must
    // survive the client's late writes and the end of the connection.
    QFETCH(RawClient::Wait, wait);
    Peer::Script early {Reply};
    early.answerAtOnce = true;
    PeerHost peer(early, wait);
    QVERIFY(peer.listen(QHostAddress(QHostAddress::LocalHost)));

    RawClient client(wait);
    QVERIFY(client.connectTo(peer->port()));
    QVERIFY(!client.holdOpen(5000)); // the answer and the close arrive
    client.send(Request); // too late: the connection is gone
    const RawResponse response = client.readToEnd();
    QCOMPARE(response.raw, Reply);
    QVERIFY2(response.end == End::Closed || response.end == End::Reset,
             QMetaEnum::fromType<End>().valueToKey(int(response.end)));
}

void tst_RawClient::finishSendingEndsTheData_data()
{
    addWaitModes();
}

void tst_RawClient::finishSendingEndsTheData()
{
    QFETCH(RawClient::Wait, wait);
    Peer::Script silent;
    silent.answer = false;
    PeerHost peer(silent, wait);
    QVERIFY(peer.listen(QHostAddress(QHostAddress::LocalHost)));

    RawClient client(wait);
    QVERIFY(client.connectTo(peer->port()));
    QVERIFY(client.send(Request));
    QVERIFY(client.holdOpen(200));
    QVERIFY(!peer->sawEndOfData());

    client.finishSending();
    // The peer, a Qt socket, closes once it has seen the end.
    const RawResponse response = client.readToEnd(5000);
    QVERIFY(response.end == End::Closed || response.end == End::Reset);
    QTRY_VERIFY(peer->sawEndOfData());
    QCOMPARE(peer->received(), Request);
}

void tst_RawClient::holdOpenSeesTheServerClose_data()
{
    addWaitModes();
}

void tst_RawClient::holdOpenSeesTheServerClose()
{
    QFETCH(RawClient::Wait, wait);
    Peer::Script staying;
    staying.answer = false;
    PeerHost peer(staying, wait);
    QVERIFY(peer.listen(QHostAddress(QHostAddress::LocalHost)));

    RawClient client(wait);
    QVERIFY(client.connectTo(peer->port()));
    QVERIFY(client.holdOpen(200)); // idle: nothing sent, nothing read

    peer.closeConnection();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!client.holdOpen(5000));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(client.readToEnd(1000).end, End::Closed);
}

void tst_RawClient::nobodyListening()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress(QHostAddress::LocalHost)));
        port = probe.serverPort();
    }
    RawClient client;
    QVERIFY(!client.connectTo(port));
    QVERIFY(!client.isOpen());
    QVERIFY(!client.send(Request));
    QCOMPARE(client.readToEnd(100).end, End::NotConnected);
    QCOMPARE(RawClient::exchange(port, Request, 1000).end, End::NotConnected);
}

QTEST_GUILESS_MAIN(tst_RawClient)
#include "tst_rawclient.moc"
