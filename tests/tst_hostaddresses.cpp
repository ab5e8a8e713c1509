#include "net/hostaddresses.h"

#include <QtTest>

Q_DECLARE_METATYPE(QList<AddressEntry>)

static AddressEntry ipv4(const char *ip, const char *broadcast)
{
    return {QHostAddress(QLatin1String(ip)),
            broadcast ? QHostAddress(QLatin1String(broadcast)) : QHostAddress()};
}

class tst_HostAddresses : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listenAddresses_data();
    void listenAddresses();
    void thisMachine();
};

void tst_HostAddresses::listenAddresses_data()
{
    QTest::addColumn<QList<AddressEntry>>("entries");
    QTest::addColumn<QStringList>("addresses");

    const AddressEntry loopback = ipv4("127.0.0.1", nullptr);
    const AddressEntry loopbackWithBroadcast = ipv4("127.0.0.1", "127.255.255.255");
    const AddressEntry lan = ipv4("192.168.1.20", "192.168.1.255");
    const AddressEntry wifi = ipv4("10.0.0.7", "10.255.255.255");
    const AddressEntry ipv6 = {QHostAddress(QStringLiteral("fe80::1")), QHostAddress()};
    const AddressEntry pointToPoint = ipv4("10.8.0.2", nullptr);

    QTest::addRow("nothing") << QList<AddressEntry>() << QStringList {"127.0.0.1"};
    QTest::addRow("loopback only") << QList<AddressEntry> {loopback} << QStringList {"127.0.0.1"};
    QTest::addRow("loopback with a broadcast address")
        << QList<AddressEntry> {loopbackWithBroadcast} << QStringList {"127.0.0.1"};
    QTest::addRow("two interfaces, in order")
        << QList<AddressEntry> {loopback, lan, ipv6, wifi} << QStringList {"192.168.1.20", "10.0.0.7"};
    QTest::addRow("same address twice")
        << QList<AddressEntry> {lan, wifi, lan} << QStringList {"192.168.1.20", "10.0.0.7"};
    QTest::addRow("IPv6 and point-to-point left out")
        << QList<AddressEntry> {ipv6, pointToPoint} << QStringList {"127.0.0.1"};
}

void tst_HostAddresses::listenAddresses()
{
    QFETCH(QList<AddressEntry>, entries);
    QFETCH(QStringList, addresses);
    QCOMPARE(::listenAddresses(entries), addresses);
}

void tst_HostAddresses::thisMachine()
{
    // Whatever the machine has, the list is never empty and holds IPv4 addresses only.
    const QStringList addresses = ::listenAddresses(interfaceEntries());
    QVERIFY(!addresses.isEmpty());
    for (const QString &address : addresses)
        QCOMPARE(QHostAddress(address).protocol(), QAbstractSocket::IPv4Protocol);
}

QTEST_GUILESS_MAIN(tst_HostAddresses)
#include "tst_hostaddresses.moc"
