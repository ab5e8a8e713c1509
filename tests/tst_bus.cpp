#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QProcess>
#include <QtTest>

#include <csignal>

// The window program on a bus of the test's own, whose only service file is the one that
// gets installed: a call to the window's name starts it, as the desktop would.
class tst_Bus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void noBusExitsWithOne();
    void callStartsTheProgram();
};

void tst_Bus::noBusExitsWithOne()
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TARNWICK_PROGRAM), QStringList());
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 1);
}

void tst_Bus::callStartsTheProgram()
{
    const QString name = QStringLiteral("com.vardle.WebServer");
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QVERIFY(!bus->isServiceRegistered(name).value());
    QDBusInterface window(name, QStringLiteral("/"), name);
    window.setTimeout(60000);
    const QDBusReply<int> first = window.call(QStringLiteral("top_application"));
    QVERIFY2(first.isValid(), qPrintable(first.error().message()));
    QCOMPARE(first.value(), 0);
    const uint pid = bus->servicePid(name).value();
    QCOMPARE(window.call(QStringLiteral("OffLine")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(window.call(QStringLiteral("OnLine")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
    QVERIFY(QTest::qWaitFor([&] { return !bus->isServiceRegistered(name).value(); }, 10000));
}

QTEST_GUILESS_MAIN(tst_Bus)
#include "tst_bus.moc"
