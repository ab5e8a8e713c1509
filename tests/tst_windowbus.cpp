#include "app/tarnwickwebserver.h"
#include "config/configuration.h"
#include "config/session.h"
#include "net/outsideservices.h"
#include "server/serverthread.h"
#include "server/webserver.h"
#include "support/fakeservice.h"
#include "support/modalwatch.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QPushButton>
#include <QtTest>

// The window's bus face, called from a second connection on the private session bus
// that isolate.sh set up, while the window runs in this process with a real server.
class tst_WindowBus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void networkChange_data();
    void networkChange();
    void topApplication();

private:
    static QPushButton *startButton(TarnwickWebServer *window);

    QTemporaryDir shared;
    // Answers the reachability checks with nothing to show.
    FakeService outside;
};

static const QString Interface = QStringLiteral("com.vardle.WebServer");

// A call of the window's method, addressed to the connection that published it. Built by
// hand: QDBusInterface would introspect the window with a blocking call, which this
// thread, the one that answers it, cannot serve.
static QDBusMessage methodCall(const QDBusConnection &bus, const QString &method)
{
    return QDBusMessage::createMethodCall(bus.baseService(), QStringLiteral("/"), Interface, method);
}

void tst_WindowBus::initTestCase()
{
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    Configuration *settings = Configuration::getCurrentConfig();
    settings->setParam(ParamPort, 0); // a free port
    settings->setParam(ParamAuthMode, AuthNone);
    Session::getSession()->setParam(ParamOperatingMode, 0);
    Session::getSession()->setParam(ParamSharedPath, shared.path());
    OutsideServices::setServiceBases(outside.base(), outside.base());
}

void tst_WindowBus::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

QPushButton *tst_WindowBus::startButton(TarnwickWebServer *window)
{
    for (QPushButton *button : window->findChildren<QPushButton *>()) {
        if (button->text() == QLatin1String("&Start"))
            return button;
    }
    return nullptr;
}

void tst_WindowBus::networkChange_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("text"); // empty: no box

    QTest::addRow("on-line") << "OnLine" << true << "The server is accessible on the new IP address!";
    QTest::addRow("off-line") << "OffLine" << true
                              << "The server is not accessible on the removed IP address!";
    QTest::addRow("on-line, stopped") << "OnLine" << false << QString();
    QTest::addRow("off-line, stopped") << "OffLine" << false << QString();
}

void tst_WindowBus::networkChange()
{
    QFETCH(QString, method);
    QFETCH(bool, running);
    QFETCH(QString, text);
    Configuration::getCurrentConfig()->setParam(ParamWarningMode, 0);

    TarnwickWebServer window(nullptr);
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.registerObject(QStringLiteral("/"), &window, QDBusConnection::ExportScriptableSlots));
    if (running) {
        startButton(&window)->click();
        QCOMPARE(window.webServer()->getState(), 1);
    }
    Configuration::getCurrentConfig()->setParam(ParamWarningMode, 1);

    QDBusConnection client
        = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("client"));
    QVERIFY(client.isConnected());
    QDBusPendingCallWatcher call(client.asyncCall(methodCall(bus, method)));

    ModalWatch watch;
    bool answeredWhileBoxOpen = false;
    watch.then([&](QWidget *box) {
        // The caller has its answer before the owner has read the box.
        answeredWhileBoxOpen = QTest::qWaitFor([&] { return call.isFinished(); }, 5000);
        ModalWatch::press(QMessageBox::Ok)(box);
    });
    QTRY_VERIFY(call.isFinished());
    QVERIFY2(!call.isError(), qPrintable(call.error().message()));
    if (text.isEmpty()) {
        QTest::qWait(200);
        QCOMPARE(watch.seen(), 0);
    } else {
        QTRY_COMPARE(watch.seen(), 1);
        QVERIFY(answeredWhileBoxOpen);
        QCOMPARE(watch.titles.first(), QStringLiteral("Network connection changed"));
        QCOMPARE(watch.texts.first(), text);
    }
    QCOMPARE(window.webServer()->getState(), running ? 1 : 0);

    bus.unregisterObject(QStringLiteral("/"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    Configuration::getCurrentConfig()->setParam(ParamWarningMode, 0);
}

void tst_WindowBus::topApplication()
{
    TarnwickWebServer window(nullptr);
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.registerObject(QStringLiteral("/"), &window, QDBusConnection::ExportScriptableSlots));
    window.hide();

    QDBusConnection client
        = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("client"));
    QDBusPendingCallWatcher call(client.asyncCall(methodCall(bus, QStringLiteral("top_application"))));
    QTRY_VERIFY(call.isFinished());
    const QDBusReply<int> reply(call);
    QVERIFY(reply.isValid());
    QCOMPARE(reply.value(), 0);
    QVERIFY(window.isVisible());

    // Nothing but the scriptable slots is exported.
    QDBusPendingCallWatcher other(client.asyncCall(methodCall(bus, QStringLiteral("dataLimit"))));
    QTRY_VERIFY(other.isFinished());
    QVERIFY(other.isError());
    QCOMPARE(window.webServer()->getState(), 0);

    bus.unregisterObject(QStringLiteral("/"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}

QTEST_MAIN(tst_WindowBus)
#include "tst_windowbus.moc"
