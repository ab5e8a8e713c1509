#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QProcess>
#include <QXmlStreamReader>
#include <QtTest>

// Starts the window program as a user would and talks to it over the private session
// bus that isolate.sh set up for this test.
class tst_Bus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void noBusExitsWithOne();
    void answersOnTheBus();
    void secondCopyStillRuns();

private:
    static void start(QProcess *process);
    static bool waitForName();
};

static const QString BusName = QStringLiteral("com.vardle.WebServer");

void tst_Bus::start(QProcess *process)
{
    process->setProgram(QStringLiteral(TARNWICK_PROGRAM));
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start();
    QVERIFY(process->waitForStarted());
}

bool tst_Bus::waitForName()
{
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    return QTest::qWaitFor([bus] { return bus->isServiceRegistered(BusName).value(); }, 20000);
}

void tst_Bus::noBusExitsWithOne()
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    env.remove(QStringLiteral("DISPLAY"));
    process.setProcessEnvironment(env);
    process.setProgram(QStringLiteral(TARNWICK_PROGRAM));
    process.start();
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardError().contains("Cannot connect to the D-Bus session bus."));
}

void tst_Bus::answersOnTheBus()
{
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QProcess process;
    start(&process);
    QVERIFY(waitForName());

    // The name is claimed at once; the window is published once it is built.
    QDBusInterface window(BusName, QStringLiteral("/"), BusName);
    QDBusReply<int> reply;
    (void)QTest::qWaitFor([&] { return (reply = window.call(QStringLiteral("top_application"))).isValid(); },
                          20000);
    QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
    QCOMPARE(reply.value(), 0);
    QCOMPARE(window.call(QStringLiteral("OnLine")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(window.call(QStringLiteral("OffLine")).type(), QDBusMessage::ReplyMessage);

    // Exactly the three scriptable slots, nothing else of the window.
    QDBusInterface introspect(BusName, QStringLiteral("/"),
                              QStringLiteral("org.freedesktop.DBus.Introspectable"));
    QDBusReply<QString> xml = introspect.call(QStringLiteral("Introspect"));
    QVERIFY(xml.isValid());
    QStringList methods;
    int ourInterfaces = 0;
    int signalsAndProperties = 0;
    bool inOurs = false;
    QXmlStreamReader reader(xml.value());
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::EndElement && reader.name() == QLatin1String("interface"))
            inOurs = false;
        if (reader.tokenType() != QXmlStreamReader::StartElement)
            continue;
        const auto name = reader.attributes().value(QLatin1String("name"));
        if (reader.name() == QLatin1String("interface")) {
            inOurs = name == BusName;
            ourInterfaces += inOurs;
        } else if (inOurs && reader.name() == QLatin1String("method")) {
            methods.append(name.toString());
        } else if (inOurs
                   && (reader.name() == QLatin1String("signal")
                       || reader.name() == QLatin1String("property"))) {
            ++signalsAndProperties;
        }
    }
    QVERIFY(!reader.hasError());
    QCOMPARE(signalsAndProperties, 0);
    QCOMPARE(ourInterfaces, 1);
    QCOMPARE(methods, QStringList({"OffLine", "OnLine", "top_application"}));

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
}

void tst_Bus::secondCopyStillRuns()
{
    QProcess first;
    start(&first);
    QVERIFY(waitForName());

    // The name is taken; the second copy carries on without it.
    QProcess second;
    start(&second);
    QVERIFY(!second.waitForFinished(3000));
    QCOMPARE(second.state(), QProcess::Running);

    second.terminate();
    first.terminate();
    QVERIFY(second.waitForFinished(10000));
    QVERIFY(first.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(tst_Bus)
#include "tst_bus.moc"
