#include "net/outsideservices.h"
#include "net/reachabilitycheck.h"
#include "server/tarnwicksocket.h"
#include "support/fakeservice.h"

#include <QtTest>

static const QByteArray PortCheckPath = "/tools/open-ports/check.php";

// The headless front end's open-port check, against a fake service on loopback.
class tst_ReachabilityCheck : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data();
    void answers();
    void neverAnswers();
    void serviceDown();
};

void tst_ReachabilityCheck::answers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("reachable");

    const QByteArray head = "checked: success" + QByteArray(20, '.') + " on 203.0.113.7 \"";
    const QByteArray closed = "checked: failure" + QByteArray(20, '.') + " on 203.0.113.7 \"";
    QTest::addRow("reachable") << head + QByteArray(20, '.') << true << "203.0.113.7" << true;
    QTest::addRow("not reachable") << closed + QByteArray(20, '.') << true << "203.0.113.7" << false;
    QTest::addRow("52 bytes") << QByteArray(52, '.') << false << "" << false;
    QTest::addRow("101 bytes") << head + QByteArray(101 - head.size(), '.') << false << "" << false;
}

void tst_ReachabilityCheck::answers()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, answered);
    QFETCH(QString, address);
    QFETCH(bool, reachable);
    FakeService service;
    service.answer(PortCheckPath, body);
    OutsideServices::setServiceBases(service.base(), service.base());
    TarnwickSocket::Received = 0;

    ReachabilityCheck check;
    QSignalSpy answers(&check, &ReachabilityCheck::answered);
    QSignalSpy failures(&check, &ReachabilityCheck::failed);
    check.start(8081);
    QTRY_COMPARE(answers.count() + failures.count(), 1);
    QCOMPARE(answers.count(), answered ? 1 : 0);
    if (answered) {
        QCOMPARE(answers.first().at(0).toString(), address);
        QCOMPARE(answers.first().at(1).toBool(), reachable);
    }
    QCOMPARE(service.requestLines(),
             QList<QByteArray>({"GET /tools/open-ports/check.php?portNumber=8081 HTTP/1.1"}));
    QCOMPARE(service.header(0, "User-Agent"), QByteArray("TarnwickServer_1"));
    QCOMPARE(TarnwickSocket::Received.load(), qint64(body.size()));
}

void tst_ReachabilityCheck::neverAnswers()
{
    FakeService service;
    service.neverAnswer(PortCheckPath);
    OutsideServices::setServiceBases(service.base(), service.base(), 300);

    ReachabilityCheck check;
    QSignalSpy failures(&check, &ReachabilityCheck::failed);
    check.start(8080);
    QTRY_COMPARE(failures.count(), 1);
    QTRY_COMPARE(service.closedUnanswered, 1);
}

void tst_ReachabilityCheck::serviceDown()
{
    OutsideServices::setServiceBases(FakeService::deadBase(), FakeService::deadBase());
    ReachabilityCheck check;
    QSignalSpy answers(&check, &ReachabilityCheck::answered);
    QSignalSpy failures(&check, &ReachabilityCheck::failed);
    check.start(8080);
    QTRY_COMPARE(failures.count(), 1);
    QCOMPARE(answers.count(), 0);
}

QTEST_GUILESS_MAIN(tst_ReachabilityCheck)
#include "tst_reachabilitycheck.moc"
