#include "net/outsideservices.h"

#include <QtTest>

using namespace OutsideServices;

// A port-check reply as the service sends it: the verdict word at byte offset `at`,
// the public address after " on " at offset 36, one byte and a double quote after it,
// then filler up to `size` bytes.
static QByteArray portReply(const QByteArray &verdict, const QByteArray &address, int size, int at = 9)
{
    QByteArray body = QByteArray(at, '.') + verdict;
    body += QByteArray(qMax(0, 36 - int(body.size())), '.');
    body += " on " + address + " \"";
    body += QByteArray(qMax(0, size - int(body.size())), '.');
    return body;
}

class tst_OutsideServices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaultHosts();
    void urls_data();
    void urls();
    void request();
    void replyKind_data();
    void replyKind();
    void portCheck_data();
    void portCheck();
    void dnsUpdated_data();
    void dnsUpdated();
    void hostName();
};

void tst_OutsideServices::defaultHosts()
{
    QCOMPARE(portCheckUrl(8080).toString(),
             QLatin1String("http://") + QLatin1String(PortCheckHost)
                 + QLatin1String("/tools/open-ports/check.php?portNumber=8080"));
    QCOMPARE(dnsUpdateUrl(QStringLiteral("me"), QStringLiteral("pw")).toString(),
             QLatin1String("http://") + QLatin1String(DnsUpdateHost)
                 + QLatin1String("/cgi-bin/dynip.cgi?username=me&password=pw"));
    QCOMPARE(OutsideServices::request(portCheckUrl(80)).transferTimeout(), RequestTimeoutMs);
}

void tst_OutsideServices::urls_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("query");

    QTest::addRow("plain") << "owner"
                           << "secret" << QByteArray("username=owner&password=secret");
    QTest::addRow("separators") << "me&you"
                                << "a=b#c" << QByteArray("username=me%26you&password=a%3Db%23c");
    QTest::addRow("blank, plus and percent") << "my name"
                                             << "1+1%" << QByteArray("username=my%20name&password=1%2B1%25");
    QTest::addRow("not ASCII") << QString::fromUtf8("j\xc3\xb8rn") << "x"
                               << QByteArray("username=j%C3%B8rn&password=x");
}

void tst_OutsideServices::urls()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QByteArray, query);
    setServiceBases(QUrl(QStringLiteral("http://127.0.0.1:1")), QUrl(QStringLiteral("http://127.0.0.1:2")));

    const QUrl url = dnsUpdateUrl(user, password);
    QCOMPARE(url.toEncoded(), "http://127.0.0.1:2/cgi-bin/dynip.cgi?" + query);
    QCOMPARE(portCheckUrl(8080).toEncoded(),
             QByteArray("http://127.0.0.1:1/tools/open-ports/check.php?portNumber=8080"));
}

void tst_OutsideServices::request()
{
    setServiceBases(QUrl(QStringLiteral("http://127.0.0.1:1")), QUrl(QStringLiteral("http://127.0.0.1:2")),
                    250);
    const QNetworkRequest request = OutsideServices::request(portCheckUrl(80));
    QCOMPARE(request.rawHeader("User-Agent"), QByteArray("TarnwickServer_1"));
    QCOMPARE(request.transferTimeout(), 250);
    QCOMPARE(request.url(), portCheckUrl(80));
}

void tst_OutsideServices::replyKind_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("kind");

    QTest::addRow("empty") << 0 << int(ReplyKind::Ignored);
    QTest::addRow("52 bytes") << 52 << int(ReplyKind::Ignored);
    QTest::addRow("53 bytes") << 53 << int(ReplyKind::PortCheck);
    QTest::addRow("100 bytes") << 100 << int(ReplyKind::PortCheck);
    QTest::addRow("101 bytes") << 101 << int(ReplyKind::DnsUpdate);
    QTest::addRow("a page") << 4000 << int(ReplyKind::DnsUpdate);
}

void tst_OutsideServices::replyKind()
{
    QFETCH(int, size);
    QFETCH(int, kind);
    QCOMPARE(int(OutsideServices::replyKind(QByteArray(size, 'x'))), kind);
}

void tst_OutsideServices::portCheck_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QString>("address");

    QTest::addRow("reachable") << portReply("success", "203.0.113.7", 80) << true << "203.0.113.7";
    QTest::addRow("not reachable") << portReply("failure", "203.0.113.7", 80) << false << "203.0.113.7";
    QTest::addRow("success too early")
        << portReply("success", "203.0.113.7", 80, 8) << false << "203.0.113.7";
    QTest::addRow("success late") << portReply("xx success", "198.51.100.1", 60, 20) << true
                                  << "198.51.100.1";
    QTest::addRow("' on ' before offset 36 only")
        << QByteArray("abc on 203.0.113.9 \"" + QByteArray(40, '.')) << false << " on 203.0.113.9";
    QTest::addRow("no ' on ': first 3 bytes cut")
        << QByteArray("abc203.0.113.8 \"") << false << "203.0.113.8";
    QTest::addRow("no quote") << QByteArray(36, '.') + " on 203.0.113.5" << false << "203.0.113.5";
    QTest::addRow("quote right after ' on '") << QByteArray(36, '.') + " on \"..." << false << "";
    QTest::addRow("zero byte ends the text")
        << QByteArray(36, '.') + QByteArray(" on 203.0\0.113.5 \"", 18) << false << "203.0";
    QTest::addRow("empty") << QByteArray() << false << "";
    QTest::addRow("one byte") << QByteArray("\"") << false << "";
    QTest::addRow("ends with ' on '") << QByteArray(36, '.') + " on " << false << "";
}

void tst_OutsideServices::portCheck()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, reachable);
    QFETCH(QString, address);

    const PortCheckResult result = parsePortCheck(body);
    QCOMPARE(result.reachable, reachable);
    QCOMPARE(result.publicAddress, address);
}

void tst_OutsideServices::dnsUpdated_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("updated");

    QTest::addRow("marker at 120") << QByteArray(120, '.') + "has been updated" << true;
    QTest::addRow("marker later") << QByteArray(300, '.') + "has been updated" + QByteArray(50, '.') << true;
    QTest::addRow("marker at 119") << QByteArray(119, '.') + "has been updated" + QByteArray(50, '.')
                                   << false;
    QTest::addRow("refusal page") << QByteArray(500, '.') + "bad password" << false;
    QTest::addRow("short body with the marker") << QByteArray("has been updated") << false;
    QTest::addRow("empty") << QByteArray() << false;
}

void tst_OutsideServices::dnsUpdated()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, updated);
    QCOMPARE(OutsideServices::dnsUpdated(body), updated);
}

void tst_OutsideServices::hostName()
{
    QCOMPARE(dnsHostName(QStringLiteral("owner")), QLatin1String("owner") + QLatin1String(DnsDomainSuffix));
    QVERIFY(QByteArray(DnsDomainSuffix).startsWith('.'));
}

QTEST_GUILESS_MAIN(tst_OutsideServices)
#include "tst_outsideservices.moc"
