#include "app/eventhandler.h"
#include "app/messagedialog.h"
#include "app/slabel.h"
#include "app/slinklabel.h"
#include "app/startup.h"
#include "app/tarnwickwebserver.h"
#include "config/configuration.h"
#include "config/dialog/configdialog.h"
#include "config/session.h"
#include "net/addresslist.h"
#include "net/hostaddresses.h"
#include "net/outsideservices.h"
#include "net/reachabilitycheck.h"
#include "server/serverthread.h"
#include "server/tarnwicksocket.h"
#include "server/webserver.h"
#include "support/client.h"
#include "support/fakeservice.h"
#include "support/modals.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QtTest>

// The window, its dialogs and the address list, driven as a person would, offscreen.
class tst_Window : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void open(const QUrl &url) { opened.append(url); }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void modesAndSavedState();
    void startAndStop();
    void startQuestions();
    void viewAddress();
    void dataLimitBox();
    void statusHub();
    void settings_data();
    void settings();
    void users();
    void pageIsRemembered();
    void addressList();
    void reachabilityCheck();
    void helpDialog();

private:
    QList<QUrl> opened;
    FakeService outside;
    QTemporaryDir shared;
};

namespace {

Configuration *current()
{
    return Configuration::getCurrentConfig();
}

QPushButton *button(QWidget *parent, const QString &prefix)
{
    for (QPushButton *b : parent->findChildren<QPushButton *>()) {
        if (b->text().startsWith(prefix))
            return b;
    }
    qFatal("no button %s", qPrintable(prefix));
}

QString pathText(TarnwickWebServer &window)
{
    for (QLabel *label : window.findChildren<QLabel *>()) {
        if (dynamic_cast<SLinkLabel *>(label))
            return label->text();
    }
    return QString();
}

QStringList rows(QWidget *parent)
{
    const QTableWidget *table = parent->findChild<AddressList *>()->findChild<QTableWidget *>();
    QStringList found;
    for (int row = 0; row < table->rowCount(); ++row)
        found.append(table->item(row, 0)->text() + QLatin1Char(' ') + table->item(row, 1)->text());
    return found;
}

// Opens the settings dialog on a page and acts on it before it closes.
void inDialog(int page, const std::function<void(QWidget *)> &act)
{
    Modals modals({act});
    ConfigDialog dialog(nullptr, page);
    QCOMPARE(modals.unexpected, 0);
}

} // namespace

void tst_Window::initTestCase()
{
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open");
    OutsideServices::setServiceBases(outside.base(), outside.base(), 2000);
}

void tst_Window::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void tst_Window::init()
{
    // A first start: no settings saved, no window state.
    QDir(QString::fromLocal8Bit(*Configuration::ConfigDir)).removeRecursively();
    QDir().mkpath(QString::fromLocal8Bit(*Configuration::ConfigDir));
    Configuration defaults("config.dat");
    defaults.setParam(ParamWarningMode, 0);
    defaults.setParam(ParamPort, 0);
    QVERIFY(current()->apply(&defaults));
    delete Session::session;
    Session::session = nullptr;
    opened.clear();
    outside.bodies.clear();
}

void tst_Window::cleanup()
{
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_Window::modesAndSavedState()
{
    const QString file = shared.filePath(QStringLiteral("a.txt"));
    QFile(file).open(QIODevice::WriteOnly);
    {
        TarnwickWebServer window(nullptr);
        QVERIFY(pathText(window).contains(QStringLiteral("No folder selected")));
        QVERIFY(!button(&window, "&Start")->isEnabled());
        window.fileOrDirSelected(file);
        window.fileOrDirSelected(shared.path());
        window.fileOrDirSelected(file);
        QCOMPARE(window.findChild<QComboBox *>()->currentIndex(), 1);
        QVERIFY(pathText(window).contains(file));
        QVERIFY(button(&window, "&Start")->isEnabled());
        QCOMPARE(Session::getSession()->recentFiles, (QList<QString> {file, shared.path()}));
        window.setOperatingMode(2);
        QVERIFY(pathText(window).contains(QString::fromLocal8Bit(*Configuration::LangPath) + "upload.html"));
    }
    // The mode and what it shares come back at the next start.
    delete Session::session;
    Session::session = nullptr;
    TarnwickWebServer window(nullptr);
    QCOMPARE(window.findChild<QComboBox *>()->currentIndex(), 2);
    QCOMPARE(Session::getSession()->recentFiles.size(), 2);
}

void tst_Window::startAndStop()
{
    TarnwickWebServer window(nullptr);
    window.fileOrDirSelected(shared.path());
    button(&window, "&Start")->click();
    QCOMPARE(window.webServer()->getState(), 1);
    QVERIFY(button(&window, "&View")->isEnabled());
    QCOMPARE(Client::exchange(window.webServer()->serverPort(), "GET / HTTP/1.1\r\n\r\n").code(), 202);
    QCOMPARE(rows(&window).size(), listenAddresses(interfaceEntries()).size());

    button(&window, "&Stop")->click();
    QCOMPARE(window.webServer()->getState(), 0);
    QVERIFY(!button(&window, "&View")->isEnabled());
    QVERIFY(button(&window, "&Start")->isEnabled());
    QCOMPARE(rows(&window), QStringList {QStringLiteral("None 0")});
}

void tst_Window::startQuestions()
{
    TarnwickWebServer window(nullptr);
    current()->setParam(ParamWarningMode, 1);
    current()->setParam(ParamDownloadPath, shared.filePath(QStringLiteral("missing")));
    window.setOperatingMode(2);
    // Open access is asked about; a download folder that is not there stops the start.
    Modals modals({Modals::press(QMessageBox::No), Modals::press(QMessageBox::No)});
    window.start();
    QCOMPARE(modals.titles, (QStringList {QStringLiteral("The shared files are accessible for everyone."),
                                          QStringLiteral("The download directory is invalid.")}));
    QCOMPARE(window.webServer()->getState(), 0);
}

void tst_Window::viewAddress()
{
    TarnwickWebServer window(nullptr);
    window.fileOrDirSelected(shared.path());
    window.start();
    const QString first = listenAddresses(interfaceEntries()).first();
    current()->setParam(ParamPort, 80);
    window.linkActivated(QString());
    current()->setParam(ParamPort, 8081);
    window.linkActivated(QString());
    QCOMPARE(opened, (QList<QUrl> {QUrl(QStringLiteral("http://") + first),
                                   QUrl(QStringLiteral("http://%1:8081").arg(first))}));
}

void tst_Window::dataLimitBox()
{
    TarnwickWebServer window(nullptr);
    const qint64 sent = TarnwickSocket::Sent.exchange(5001234);
    const qint64 received = TarnwickSocket::Received.exchange(2999);
    TarnwickSocket::Limit = 5000000;
    Modals modals({Modals::press(QMessageBox::Ok)});
    window.dataLimit();
    TarnwickSocket::Sent = sent;
    TarnwickSocket::Received = received;
    TarnwickSocket::Limit = 0;
    QCOMPARE(modals.texts, QStringList {QStringLiteral(
                               "Max. data limit: 5000 KB reached\nServer stopped.\nSent bytes: 5001 KB\nReceived bytes: 2 KB")});
    QCOMPARE(modals.formats, QList<Qt::TextFormat> {Qt::PlainText});
}

void tst_Window::statusHub()
{
    TarnwickWebServer window(nullptr);
    EventHandler *hub = EventHandler::eventHandler;
    TarnwickSocket::Sent = 7000;
    TarnwickSocket::Received = 0;
    hub->newConnection(QStringLiteral("<b>10.0.0.1"));
    QCOMPARE(hub->getStatusWidget()->text(), QStringLiteral("<center>7KB Last connection: &lt;b&gt;10.0.0.1</center>"));
    // Each tick of the refresh shows the traffic so far.
    TarnwickSocket::Sent += 2000;
    hub->sendDataInfo();
    QVERIFY(hub->getStatusWidget()->text().startsWith(QStringLiteral("<center>9KB ")));
    // A file name a browser chose is shown as text; a second message waits for the first box.
    Modals modals({Modals::press(QMessageBox::Ok), Modals::press(QMessageBox::Ok)});
    QMetaObject::invokeMethod(hub, [hub] { hub->msg(QStringLiteral("second"), QStringLiteral("2")); },
                              Qt::QueuedConnection);
    hub->msg(QStringLiteral("File save error"), QStringLiteral("File: <img src=x>"));
    QCOMPARE(modals.titles, (QStringList {QStringLiteral("File save error"), QStringLiteral("second")}));
    QCOMPARE(modals.formats, (QList<Qt::TextFormat> {Qt::PlainText, Qt::PlainText}));
}

void tst_Window::settings_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("param");

    QTest::addRow("access mode") << 0 << "modeBox" << QVariant(1) << int(ParamAuthMode);
    QTest::addRow("password") << 0 << "passwordEdit" << QVariant(QStringLiteral("pw")) << int(ParamPassword);
    QTest::addRow("warnings") << 1 << "warningBox" << QVariant(true) << int(ParamWarningMode);
    QTest::addRow("port") << 1 << "portBox" << QVariant(9123) << int(ParamPort);
    QTest::addRow("connections") << 1 << "maxConnBox" << QVariant(7) << int(ParamMaxConn);
    QTest::addRow("data limit") << 1 << "dataLimitBox" << QVariant(1234) << int(ParamDataLimit);
    QTest::addRow("lifetime") << 1 << "lifetimeBox" << QVariant(120) << int(ParamLifetime);
    QTest::addRow("download path") << 1 << "pathEdit" << QVariant(QStringLiteral("/srv")) << int(ParamDownloadPath);
    QTest::addRow("dynamic DNS") << 2 << "dnsBox" << QVariant(true) << int(ParamDnsEnabled);
    QTest::addRow("DNS user") << 2 << "userEdit" << QVariant(QStringLiteral("me")) << int(ParamDnsUser);
    QTest::addRow("DNS password") << 2 << "passEdit" << QVariant(QStringLiteral("pw")) << int(ParamDnsPass);
    QTest::addRow("thumbnails") << 3 << "thumbnailBox" << QVariant(true) << int(ParamThumbnailView);
}

void tst_Window::settings()
{
    QFETCH(int, page);
    QFETCH(QString, control);
    QFETCH(QVariant, value);
    QFETCH(int, param);
    const Configuration before("config.dat");

    inDialog(page, [&](QWidget *dialog) {
        QWidget *widget = dialog->findChild<QWidget *>(control);
        QPushButton *apply = dialog->findChild<QPushButton *>(QStringLiteral("applyButton"));
        QVERIFY(widget && !apply->isVisible());
        if (auto *spin = qobject_cast<QSpinBox *>(widget))
            spin->setValue(value.toInt());
        else if (auto *check = qobject_cast<QCheckBox *>(widget))
            check->setChecked(value.toBool());
        else if (auto *edit = qobject_cast<QLineEdit *>(widget))
            edit->setText(value.toString());
        else
            qobject_cast<QComboBox *>(widget)->setCurrentIndex(value.toInt());
        QVERIFY(apply->isVisible());
        apply->click();
        QVERIFY(!apply->isVisible());
        button(dialog, "&Close")->click();
    });
    // In force and saved, and nothing else changed.
    Configuration saved("config.dat");
    QVERIFY(saved.equals(current()));
    QCOMPARE(saved.getParam(param), value.typeId() == QMetaType::Bool ? QString::number(value.toInt()) : value.toString());
    QMap<int, QVariant> after = saved.paramMap(), unchanged = before.paramMap();
    after.remove(param);
    unchanged.remove(param);
    QCOMPARE(after, unchanged);
}

void tst_Window::users()
{
    inDialog(0, [](QWidget *dialog) {
        dialog->findChild<QComboBox *>(QStringLiteral("modeBox"))->setCurrentIndex(2);
        for (const QString &password : {QString(), QStringLiteral("pw")}) {
            Modals add({[&](QWidget *user) {
                const QList<QLineEdit *> fields = user->findChildren<QLineEdit *>();
                fields.at(0)->setText(QStringLiteral("anna"));
                fields.at(1)->setText(password);
                auto *buttons = user->findChild<QDialogButtonBox *>();
                buttons->button(QDialogButtonBox::Ok)->click();
                if (user->isVisible())
                    buttons->button(QDialogButtonBox::Cancel)->click();
            }});
            button(dialog, "Add user")->click();
        }
        dialog->findChild<QPushButton *>(QStringLiteral("applyButton"))->click();
        button(dialog, "&Close")->click();
    });
    QCOMPARE(current()->userList(), QList<QString> {QStringLiteral("anna:pw")});
    QCOMPARE(current()->getParam(ParamAuthMode, 0), int(AuthBasic));
}

void tst_Window::pageIsRemembered()
{
    inDialog(2, [](QWidget *dialog) { button(dialog, "&Close")->click(); });
    inDialog(-1, [](QWidget *dialog) {
        QCOMPARE(dialog->findChild<QListWidget *>()->currentRow(), 2);
        dialog->close();
    });
}

void tst_Window::addressList()
{
    outside.bodies.insert("/tools/open-ports/check.php",
                          "<html>xx success                 Port is open on 203.0.113.9x\"/></html>");
    current()->setParam(ParamDnsEnabled, 1);
    current()->setParam(ParamDnsUser, QStringLiteral("me"));
    current()->setParam(ParamDnsPass, QStringLiteral("pw"));
    outside.bodies.insert("/cgi-bin/dynip.cgi", QByteArray(120, ' ') + "has been updated");
    QTcpServer probe;
    probe.listen(QHostAddress::Any);
    const quint16 port = probe.serverPort();
    probe.close();
    current()->setParam(ParamPort, port);
    TarnwickWebServer window(nullptr);
    window.webServer()->configurationChanged(current());
    window.fileOrDirSelected(shared.path());
    window.start();
    QStringList local;
    for (const QString &address : listenAddresses(interfaceEntries()))
        local.append(QStringLiteral("%1 %2").arg(address).arg(port));
    QTRY_COMPARE(rows(&window).size(), local.size() + 2);
    QVERIFY(rows(&window).contains(QStringLiteral("203.0.113.9 %1").arg(port)));
    QVERIFY(rows(&window).contains(QStringLiteral("me.dynip.example.org %1").arg(port)));
    QVERIFY(outside.requests.contains("GET /cgi-bin/dynip.cgi?username=me&password=pw HTTP/1.1"));

    // The port cell moves the running server.
    probe.listen(QHostAddress::Any);
    const quint16 next = probe.serverPort();
    probe.close();
    auto *table = window.findChild<AddressList *>()->findChild<QTableWidget *>();
    table->item(0, 0)->setText(QString::number(next));
    QCOMPARE(current()->getParam(ParamPort, 0), int(port));
    table->item(0, 1)->setText(QString::number(next));
    QTRY_COMPARE(window.webServer()->serverPort(), next);
    QCOMPARE(current()->getParam(ParamPort, 0), int(next));

}

void tst_Window::reachabilityCheck()
{
    const QByteArray reply = "<html>xx                  Port is closed on 198.51.100.1x\"/></html>";
    outside.bodies.insert("/tools/open-ports/check.php", reply);
    const qint64 received = TarnwickSocket::Received;
    ReachabilityCheck check;
    QSignalSpy answered(&check, &ReachabilityCheck::answered);
    check.start(8080);
    QVERIFY(answered.wait());
    QCOMPARE(answered.at(0), (QVariantList {QStringLiteral("198.51.100.1"), false}));
    QCOMPARE(TarnwickSocket::Received - received, reply.size());
}

void tst_Window::helpDialog()
{
    // A help page opens in a dialog of its own; of its links only web pages go to the browser.
    inDialog(1, [](QWidget *dialog) {
        Modals help({[](QWidget *page) {
            Slabel *text = page->findChild<Slabel *>();
            QVERIFY(text->text().contains(QStringLiteral("port")));
            Q_EMIT text->linkActivated(QStringLiteral("file:///etc/passwd"));
            Q_EMIT text->linkActivated(QStringLiteral("http://example.org/help"));
            page->close();
        }});
        for (QLabel *label : dialog->findChildren<QLabel *>()) {
            if (label->text().contains(QStringLiteral("Port")))
                Q_EMIT label->linkActivated(QStringLiteral("port"));
        }
        QCOMPARE(help.titles, QStringList {QStringLiteral("Help")});
        dialog->close();
    });
    QCOMPARE(opened, QList<QUrl> {QUrl(QStringLiteral("http://example.org/help"))});
    char *argv[] = {nullptr, const_cast<char *>("root")};
    QCOMPARE(QByteArray(Startup::firstArgument(2, argv)), QByteArray("root"));
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
