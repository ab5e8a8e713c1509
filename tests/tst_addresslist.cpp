#include "app/eventhandler.h"
#include "config/configuration.h"
#include "net/addresslist.h"
#include "net/hostaddresses.h"
#include "net/outsideservices.h"
#include "server/tarnwicksocket.h"
#include "server/webserver.h"
#include "support/fakeservice.h"
#include "support/modalwatch.h"
#include "support/rawclient.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QTableWidget>
#include <QTcpServer>
#include <QtTest>

#include <memory>

// Records the links handed to the desktop's open-URL service.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public Q_SLOTS:
    void record(const QUrl &url) { opened.append(url); }
};

static const QByteArray PortCheckPath = "/tools/open-ports/check.php";
static const QByteArray DnsUpdatePath = "/cgi-bin/dynip.cgi";

// A port-check reply of exactly size bytes: the verdict at offset 9, the address after
// " on " at offset 36, then one byte, a double quote and filler.
static QByteArray portReply(const char *verdict, const char *address, int size)
{
    QByteArray body = "checked: " + QByteArray(verdict);
    body += QByteArray(36 - body.size(), '.') + " on " + address + " \"";
    return (body + QByteArray(qMax(0, size - int(body.size())), '.')).left(size);
}

static QByteArray dnsReply(bool updated)
{
    const QByteArray text = updated ? "has been updated" : "login failed....";
    return "<html><body>" + QByteArray(120, ' ') + text + "</body></html>";
}

// The list inside a window, with the status hub it reports to.
struct Host
{
    Host()
        : events(new EventHandler(&window))
        , list(new AddressList(&window))
        , table(list->findChild<QTableWidget *>())
    {
        EventHandler::eventHandler = events;
    }
    ~Host() { EventHandler::eventHandler = nullptr; }

    // Every row as "address port", joined by ", ".
    QString rows() const
    {
        QStringList texts;
        for (int row = 0; row < table->rowCount(); ++row)
            texts.append(table->item(row, 0)->text() + QLatin1Char(' ') + table->item(row, 1)->text());
        return texts.join(QLatin1String(", "));
    }
    QColor colour(int row) const { return table->item(row, 0)->foreground().color(); }
    QString status() const { return events->getStatusWidget()->text(); }

    QWidget window;
    EventHandler *events;
    AddressList *list;
    QTableWidget *table;
};

static QString localRows(int port)
{
    QStringList texts;
    for (const QString &address : listenAddresses(interfaceEntries()))
        texts.append(QStringLiteral("%1 %2").arg(address).arg(port));
    return texts.join(QLatin1String(", "));
}

static const QString NoConnection = QStringLiteral("<center>No internet connection</center>");

class tst_AddressList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void layout();
    void offLineSendsNothing();
    void portCheck_data();
    void portCheck();
    void portCheckRequest();
    void dnsUpdate();
    void dnsUpdateRefused();
    void dnsRequestSent_data();
    void dnsRequestSent();
    void dnsSettingsChangeRefreshes();
    void serviceNeverAnswers();
    void serviceDown();
    void stopWhilePending();
    void editPort_data();
    void editPort();

private:
    std::unique_ptr<FakeService> service;
    UrlRecorder recorder;
};

void tst_AddressList::initTestCase()
{
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "record");
}

void tst_AddressList::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void tst_AddressList::init()
{
    service = std::make_unique<FakeService>();
    OutsideServices::setServiceBases(service->base(), service->base());
    Configuration *settings = Configuration::getCurrentConfig();
    settings->setParam(ParamPort, 8080);
    settings->setParam(ParamWarningMode, 0);
    settings->setParam(ParamDnsEnabled, 0);
    settings->setParam(ParamDnsUser, QString());
    settings->setParam(ParamDnsPass, QString());
    TarnwickSocket::Received = 0;
    recorder.opened.clear();
}

void tst_AddressList::cleanup()
{
    service.reset();
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_AddressList::layout()
{
    Host host;
    QTableWidget *table = host.table;
    QCOMPARE(table->columnCount(), 2);
    QCOMPARE(table->horizontalHeaderItem(0)->text(), QStringLiteral("Listen Address"));
    QCOMPARE(table->horizontalHeaderItem(1)->text(), QStringLiteral(" Port "));
    QCOMPARE(table->horizontalHeader()->sectionResizeMode(0), QHeaderView::Stretch);
    QVERIFY(table->verticalHeader()->isHidden());
    QCOMPARE(table->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(table->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(host.list->minimumHeight(), 100);
    QCOMPARE(host.list->maximumHeight(), 130);

    QCOMPARE(host.rows(), QStringLiteral("None 8080"));
    const QTableWidgetItem *address = table->item(0, 0);
    const QTableWidgetItem *port = table->item(0, 1);
    QCOMPARE(address->foreground().color(), QColor(Qt::yellow));
    QCOMPARE(address->background().color(), QColor(Qt::lightGray));
    QCOMPARE(address->textAlignment(), int(Qt::AlignCenter));
    QCOMPARE(address->flags(), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    QCOMPARE(port->foreground().color(), QColor(Qt::darkCyan));
    QCOMPARE(port->background().color(), QColor(Qt::lightGray));
    QCOMPARE(port->textAlignment(), int(Qt::AlignCenter));
    QVERIFY(port->flags() & Qt::ItemIsEditable);
    QCOMPARE(host.list->getSelectedItemName(), QStringLiteral("None"));
}

void tst_AddressList::offLineSendsNothing()
{
    Host host;
    host.list->setOnLine(false);
    host.list->updateAll();
    QCOMPARE(host.rows(), localRows(8080));
    for (int row = 0; row < host.table->rowCount(); ++row)
        QCOMPARE(host.colour(row), QColor(Qt::gray));
    QCOMPARE(host.list->getSelectedItemName(), listenAddresses(interfaceEntries()).first());

    QTest::qWait(300);
    QCOMPARE(service->heads.size(), 0);
}

void tst_AddressList::portCheck_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("warnings");
    QTest::addColumn<QString>("address"); // empty: no row added
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<bool>("box");

    const QColor green(Qt::darkGreen);
    const QColor red(Qt::darkRed);
    QTest::addRow("reachable") << portReply("success", "203.0.113.7", 80) << 1 << "203.0.113.7" << green
                               << false;
    QTest::addRow("not reachable, warnings on")
        << portReply("failure", "203.0.113.7", 80) << 1 << "203.0.113.7" << red << true;
    QTest::addRow("not reachable, warnings off")
        << portReply("failure", "203.0.113.7", 80) << 0 << "203.0.113.7" << red << false;
    QTest::addRow("53 bytes") << portReply("success", "203.0.113.8", 53) << 0 << "203.0.113.8" << green
                              << false;
    QTest::addRow("100 bytes") << portReply("success", "203.0.113.9", 100) << 0 << "203.0.113.9" << green
                               << false;
    QTest::addRow("52 bytes: nothing")
        << portReply("success", "203.0.113.7", 52) << 1 << "" << QColor() << false;
    QTest::addRow("empty: nothing") << QByteArray() << 1 << "" << QColor() << false;
    QTest::addRow("no markers") << QByteArray(70, 'x') << 0 << QString(67, QLatin1Char('x')) << red << false;
}

void tst_AddressList::portCheck()
{
    QFETCH(QByteArray, body);
    QFETCH(int, warnings);
    QFETCH(QString, address);
    QFETCH(QColor, colour);
    QFETCH(bool, box);
    Configuration::getCurrentConfig()->setParam(ParamWarningMode, warnings);
    service->answer(PortCheckPath, body);

    Host host;
    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::Ok));
    host.list->updateAll();
    const QString local = localRows(8080);
    if (address.isEmpty()) {
        QTRY_COMPARE(TarnwickSocket::Received.load(), qint64(body.size()));
        QTRY_COMPARE(service->heads.size(), 1);
        QTest::qWait(100);
        QCOMPARE(host.rows(), local);
    } else {
        QTRY_COMPARE(host.rows(), local + QStringLiteral(", %1 8080").arg(address));
        QCOMPARE(host.colour(host.table->rowCount() - 1), colour);
    }
    QTest::qWait(100);
    QCOMPARE(watch.seen(), box ? 1 : 0);
    if (box) {
        QCOMPARE(watch.titles.first(), QStringLiteral("The red public IP address not accessible."));
        QCOMPARE(watch.texts.first(),
                 QStringLiteral("The server not accessible from intrenet read help pages."));
        QCOMPARE(watch.icons.first(), QMessageBox::Information);
    }
    QCOMPARE(host.status(), QString());
    QVERIFY(recorder.opened.isEmpty());
}

void tst_AddressList::portCheckRequest()
{
    const QByteArray body = portReply("success", "203.0.113.7", 90);
    service->answer(PortCheckPath, body);
    Configuration::getCurrentConfig()->setParam(ParamPort, 8123);

    Host host;
    host.list->updateAll();
    QTRY_COMPARE(host.table->rowCount(), int(listenAddresses(interfaceEntries()).size()) + 1);
    QCOMPARE(service->requestLines(),
             QList<QByteArray>({"GET /tools/open-ports/check.php?portNumber=8123 HTTP/1.1"}));
    QCOMPARE(service->header(0, "User-Agent"), QByteArray("TarnwickServer_1"));
    // Outside replies count into the traffic totals.
    QCOMPARE(TarnwickSocket::Received.load(), qint64(body.size()));
}

void tst_AddressList::dnsUpdate()
{
    Configuration *settings = Configuration::getCurrentConfig();
    settings->setParam(ParamDnsEnabled, 1);
    settings->setParam(ParamDnsUser, QStringLiteral("owner"));
    settings->setParam(ParamDnsPass, QStringLiteral("p&ss=1"));
    // The port check answers after the update, so the host name is recoloured.
    service->answer(PortCheckPath, portReply("success", "203.0.113.7", 80), 500);
    service->answer(DnsUpdatePath, dnsReply(true));

    Host host;
    host.list->updateAll();
    const QString hostName = OutsideServices::dnsHostName(QStringLiteral("owner"));
    const QString local = localRows(8080);
    QTRY_COMPARE(host.rows(), local + QStringLiteral(", %1 8080").arg(hostName));
    const int hostRow = host.table->rowCount() - 1;
    QCOMPARE(host.colour(hostRow), QColor(Qt::lightGray));

    QTRY_COMPARE(host.rows(), local + QStringLiteral(", %1 8080, 203.0.113.7 8080").arg(hostName));
    QCOMPARE(host.colour(hostRow), QColor(Qt::darkGreen));
    QVERIFY(service->requestLines().contains(
        "GET /cgi-bin/dynip.cgi?username=owner&password=p%26ss%3D1 HTTP/1.1"));
    QCOMPARE(TarnwickSocket::Received.load(), qint64(dnsReply(true).size() + 80));
    QVERIFY(recorder.opened.isEmpty());
}

void tst_AddressList::dnsUpdateRefused()
{
    Configuration *settings = Configuration::getCurrentConfig();
    settings->setParam(ParamDnsEnabled, 1);
    settings->setParam(ParamDnsUser, QStringLiteral("owner"));
    settings->setParam(ParamDnsPass, QStringLiteral("wrong"));
    service->answer(DnsUpdatePath, dnsReply(false));

    Host host;
    host.list->updateAll();
    // The provider's page opens in the browser; no host name is listed.
    QTRY_COMPARE(recorder.opened.size(), 1);
    QCOMPARE(recorder.opened.first(),
             OutsideServices::dnsUpdateUrl(QStringLiteral("owner"), QStringLiteral("wrong")));
    QCOMPARE(host.rows(), localRows(8080));
}

void tst_AddressList::dnsRequestSent_data()
{
    QTest::addColumn<int>("enabled");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("sent");

    QTest::addRow("enabled") << 1 << "owner"
                             << "secret" << true;
    QTest::addRow("disabled") << 0 << "owner"
                              << "secret" << false;
    QTest::addRow("empty password") << 1 << "owner"
                                    << "" << false;
    QTest::addRow("empty user") << 1 << ""
                                << "secret" << false;
}

void tst_AddressList::dnsRequestSent()
{
    QFETCH(int, enabled);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, sent);
    Configuration *settings = Configuration::getCurrentConfig();
    settings->setParam(ParamDnsEnabled, enabled);
    settings->setParam(ParamDnsUser, user);
    settings->setParam(ParamDnsPass, password);

    Host host;
    host.list->updateAll();
    QTRY_VERIFY(service->heads.size() >= 1);
    QTest::qWait(200);
    QCOMPARE(service->heads.size(), sent ? 2 : 1);
    QVERIFY(service->requestLines().first().startsWith("GET " + PortCheckPath + '?')
            || service->requestLines().last().startsWith("GET " + PortCheckPath + '?'));
}

void tst_AddressList::dnsSettingsChangeRefreshes()
{
    Host host;
    host.list->updateAll();
    QTRY_COMPARE(service->heads.size(), 1);

    // Another setting: no refresh.
    Configuration other("config.dat");
    other.setParam(ParamDnsEnabled, 0);
    other.setParam(ParamWarningMode, 1);
    host.list->configurationChanged(&other);
    QTest::qWait(200);
    QCOMPARE(service->heads.size(), 1);

    // The dynamic-DNS ones: the list asks again, with the new values.
    Configuration next("config.dat");
    next.setParam(ParamDnsEnabled, 1);
    next.setParam(ParamDnsUser, QStringLiteral("owner"));
    next.setParam(ParamDnsPass, QStringLiteral("secret"));
    QObject::connect(Configuration::getCurrentConfig(), &Configuration::configurationChanged, host.list,
                     &AddressList::configurationChanged);
    QVERIFY(Configuration::getCurrentConfig()->apply(&next));
    QTRY_COMPARE(service->heads.size(), 3);
    QVERIFY(
        service->requestLines().contains("GET /cgi-bin/dynip.cgi?username=owner&password=secret HTTP/1.1"));
}

void tst_AddressList::serviceNeverAnswers()
{
    OutsideServices::setServiceBases(service->base(), service->base(), 300);
    service->neverAnswer(PortCheckPath);

    Host host;
    host.list->updateAll();
    QTRY_COMPARE(host.status(), NoConnection);
    QCOMPARE(host.rows(), localRows(8080));
    QTRY_COMPARE(service->closedUnanswered, 1);

    // The next refresh clears the line.
    service->answer(PortCheckPath, QByteArray());
    host.list->updateAll();
    QCOMPARE(host.status(), QStringLiteral("<center></center>"));
}

void tst_AddressList::serviceDown()
{
    OutsideServices::setServiceBases(FakeService::deadBase(), FakeService::deadBase());

    Host host;
    host.list->updateAll();
    QTRY_COMPARE(host.status(), NoConnection);
    QCOMPARE(host.rows(), localRows(8080));
}

void tst_AddressList::stopWhilePending()
{
    Configuration *settings = Configuration::getCurrentConfig();
    settings->setParam(ParamWarningMode, 1);
    settings->setParam(ParamDnsEnabled, 1);
    settings->setParam(ParamDnsUser, QStringLiteral("owner"));
    settings->setParam(ParamDnsPass, QStringLiteral("secret"));
    service->neverAnswer(PortCheckPath);
    service->answer(DnsUpdatePath, dnsReply(true), 300);

    Host host;
    ModalWatch watch;
    host.list->updateAll();
    QTRY_COMPARE(service->heads.size(), 2);
    host.list->showStopped();
    QCOMPARE(host.rows(), QStringLiteral("None 8080"));

    // Both requests are given up: the connections close and no result ever shows.
    QTRY_COMPARE(service->closedUnanswered, 1);
    QTest::qWait(500);
    QCOMPARE(host.rows(), QStringLiteral("None 8080"));
    QCOMPARE(host.status(), QString());
    QCOMPARE(watch.seen(), 0);
    QCOMPARE(TarnwickSocket::Received.load(), qint64(0));
}

void tst_AddressList::editPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("changes");

    QTest::addRow("same port") << "same" << false;
    QTest::addRow("new port") << "new" << true;
    QTest::addRow("not a number") << "8o8o" << true;
}

void tst_AddressList::editPort()
{
    QFETCH(QString, typed);
    QFETCH(bool, changes);
    const QString configFile = QDir::homePath() + QLatin1String("/.tarnwickServer/config.dat");
    QFile::remove(configFile);

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const int oldPort = probe.serverPort();
    probe.close();
    Configuration *settings = Configuration::getCurrentConfig();
    settings->setParam(ParamPort, oldPort);

    WebServer server;
    QVERIFY(server.start());
    QCOMPARE(server.serverPort(), oldPort);
    Host host;
    host.list->setOnLine(false);
    host.list->updateAll();
    QSignalSpy announced(settings, &Configuration::configurationChanged);

    int newPort = oldPort;
    QString text = QString::number(oldPort);
    if (typed == QLatin1String("new")) {
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        newPort = probe.serverPort();
        probe.close();
        text = QString::number(newPort);
    } else if (typed != QLatin1String("same")) {
        newPort = 0;
        text = typed;
    }
    host.table->item(0, 1)->setText(text);

    if (!changes) {
        QCOMPARE(announced.count(), 0);
        QVERIFY(!QFile::exists(configFile));
        QCOMPARE(server.serverPort(), oldPort);
        return;
    }
    QCOMPARE(announced.count(), 1);
    QCOMPARE(settings->getParam(ParamPort, -1), newPort);
    QCOMPARE(Configuration("config.dat").getParam(ParamPort, -1), newPort);
    QCOMPARE(server.getState(), 1);
    if (newPort != 0) {
        QCOMPARE(server.serverPort(), newPort);
        RawClient client;
        QVERIFY(client.connectTo(newPort, QHostAddress(QHostAddress::LocalHost), 2000));
    }
}

QTEST_MAIN(tst_AddressList)
#include "tst_addresslist.moc"
