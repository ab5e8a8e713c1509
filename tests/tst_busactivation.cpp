#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QProcess>
#include <QtTest>

#include <signal.h>
#include <sys/types.h>

// A bus of the test's own whose only service file is the one that gets installed, filled
// in with the build tree's program: a call to the window's name starts the program.
class tst_BusActivation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void callStartsTheProgram();
    void cleanupTestCase();

private:
    QTemporaryDir scratch;
    QProcess daemon;
    QString address;
    pid_t started = 0;
};

static const QString BusName = QStringLiteral("com.vardle.WebServer");
static const char ConnectionName[] = "activation";

void tst_BusActivation::initTestCase()
{
    QVERIFY(scratch.isValid());
    const QString socket = scratch.filePath(QStringLiteral("bus"));
    QFile config(scratch.filePath(QStringLiteral("bus.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Text));
    config.write(
        QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                       "<busconfig>\n"
                       "  <type>session</type>\n"
                       "  <listen>unix:path=%1</listen>\n"
                       "  <servicedir>%2</servicedir>\n"
                       "  <policy context=\"default\">\n"
                       "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                       "    <allow eavesdrop=\"true\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "  </policy>\n"
                       "</busconfig>\n")
            .arg(socket.toHtmlEscaped(), QStringLiteral(SERVICE_DIR).toHtmlEscaped())
            .toUtf8());
    config.close();

    // The program the bus starts inherits the daemon's environment: the scratch home
    // and the offscreen platform of isolate.sh, and this bus as its session bus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray("unix:path=") + QFile::encodeName(socket));

    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                  QStringLiteral("--config-file=") + config.fileName()});
    QVERIFY2(daemon.waitForStarted(), "dbus-daemon is needed");
    QVERIFY(QTest::qWaitFor([this] { return daemon.canReadLine(); }, 10000));
    address = QString::fromUtf8(daemon.readLine()).trimmed();
    QVERIFY(!address.isEmpty());
}

void tst_BusActivation::callStartsTheProgram()
{
    QDBusConnection bus = QDBusConnection::connectToBus(address, QLatin1String(ConnectionName));
    QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));
    QVERIFY(!bus.interface()->isServiceRegistered(BusName).value());

    const QDBusMessage call = QDBusMessage::createMethodCall(BusName, QStringLiteral("/"), BusName,
                                                             QStringLiteral("top_application"));
    // The call that starts the program is answered by its window.
    const QDBusReply<int> first = bus.call(call, QDBus::Block, 60000);
    QVERIFY2(first.isValid(), qPrintable(first.error().message()));
    QCOMPARE(first.value(), 0);

    const QDBusReply<uint> pid = bus.interface()->servicePid(BusName);
    QVERIFY2(pid.isValid(), qPrintable(pid.error().message()));
    started = pid_t(pid.value());

    const QDBusReply<int> reply = bus.call(call);
    QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
    QCOMPARE(reply.value(), 0);

    QCOMPARE(::kill(started, SIGTERM), 0);
    QVERIFY(QTest::qWaitFor([&] { return !bus.interface()->isServiceRegistered(BusName).value(); }, 10000));
    started = 0;
}

void tst_BusActivation::cleanupTestCase()
{
    // A program left behind by a failure would outlive the bus.
    if (started > 0)
        ::kill(started, SIGKILL);
    QDBusConnection::disconnectFromBus(QLatin1String(ConnectionName));
    daemon.terminate();
    daemon.waitForFinished(10000);
}

QTEST_GUILESS_MAIN(tst_BusActivation)
#include "tst_busactivation.moc"
