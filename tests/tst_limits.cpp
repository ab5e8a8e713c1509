#include "support/rawclient.h"
#include "support/serverfixture.h"

#include <QElapsedTimer>
#include <QtTest>

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

private:
    std::unique_ptr<ServerFixture> fixture;
};

namespace {

// Short enough for a test, long enough that a loaded machine still meets it.
constexpr int HeadWaitMs = 1500;

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

QTEST_GUILESS_MAIN(tst_Limits)
#include "tst_limits.moc"
