#include "app/eventhandler.h"
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
#include "server/tarnwicksocket.h"
#include "server/webserver.h"
#include "support/client.h"
#include "support/fakeservice.h"
#include "support/modals.h"
#include "support/qrreader.h"

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
    void unreadableSettings();
    void viewAddress();
    void statusHub();
    void settings_data();
    void settings();
    void users();
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

QLabel *pathLabel(TarnwickWebServer &window)
{
    for (QLabel *label : window.findChildren<QLabel *>()) {
        if (dynamic_cast<SLinkLabel *>(label))
            return label;
    }
    return nullptr;
}

// Every cell of the address table reads at a contrast of 4.5:1 or more.
void checkContrast(const QTableWidget *table)
{
    const auto lum = [](const QColor &c) { // relative luminance, plus the 0.05 of the ratio
        const auto lin = [](qreal v) { return v <= 0.04045 ? v / 12.92 : qPow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF()) + 0.05;
    };
    for (int cell = 0; cell < 2 * table->rowCount(); ++cell) {
        const QTableWidgetItem *item = table->item(cell / 2, cell % 2);
        QVERIFY2(lum(item->background().color()) >= 4.5 * lum(item->foreground().color()),
                 qPrintable(item->text()));
    }
}

QStringList rows(QWidget *parent)
{
    const QTableWidget *table = parent->findChild<AddressList *>()->findChild<QTableWidget *>();
    checkContrast(table);
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
        QVERIFY(pathLabel(window)->text().contains(QStringLiteral("No folder selected")));
        QVERIFY(!button(&window, "&Start")->isEnabled());
        window.fileOrDirSelected(file);
        window.fileOrDirSelected(shared.path());
        window.fileOrDirSelected(file);
        // Alt+B opens the file chooser, which lists every file, also one without a dot in its name.
        QFile(shared.filePath(QStringLiteral("README"))).open(QIODevice::WriteOnly);
        Modals chooser({[](QWidget *dialog) {
            const QListView *list = dialog->findChild<QListView *>(QStringLiteral("listView"));
            QTRY_COMPARE(list->model()->rowCount(list->rootIndex()), 2); // a.txt and README
        }});
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_B, Qt::AltModifier);
        QTRY_COMPARE(chooser.titles.size(), 1);
        QCOMPARE(window.findChild<QComboBox *>()->currentIndex(), 1);
        QVERIFY(pathLabel(window)->text().contains(file));
        QVERIFY(button(&window, "&Start")->isEnabled());
        QCOMPARE(Session::getSession()->recentFiles, (QList<QString> {file, shared.path()}));
        window.setOperatingMode(2);
        QVERIFY(pathLabel(window)->text().contains(QString::fromLocal8Bit(*Configuration::LangPath)
                                                   + "upload.html"));
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

    // Nothing left to share: a stop does not offer Start.
    button(&window, "&Start")->click();
    window.setOperatingMode(1);
    button(&window, "&Stop")->click();
    QVERIFY(!button(&window, "&Start")->isEnabled());
    // Stopped, a new port is saved and shown whole.
    auto *table = window.findChild<AddressList *>()->findChild<QTableWidget *>();
    table->item(0, 1)->setText(QStringLiteral("65535"));
    QCOMPARE(Configuration("config.dat").getParam(ParamPort, 0), 65535);
    QTRY_VERIFY(table->columnWidth(1) >= static_cast<QAbstractItemView *>(table)->sizeHintForColumn(1));
}

void tst_Window::startQuestions()
{
    TarnwickWebServer window(nullptr);
    current()->setParam(ParamWarningMode, 1);
    current()->setParam(ParamDownloadPath, shared.filePath(QStringLiteral("missing")));
    window.setOperatingMode(2);
    // Open access is asked about; a download folder that is not there stops the start.
    Modals modals({Modals::press(QMessageBox::No), Modals::press(QMessageBox::No), [&](QWidget *dialog) {
                       // Asked again with the settings open: Yes turns them to the access page.
                       Modals again({Modals::press(QMessageBox::Yes)});
                       window.start();
                       QVERIFY(again.done() && again.unexpected == 0);
                       QCOMPARE(dialog->findChild<QListWidget *>()->currentRow(), 0);
                       dialog->close();
                   }});
    window.start();
    QCOMPARE(window.webServer()->getState(), 0);
    window.fileOrDirSelected(shared.path());
    Session::getSession()->setParam(ParamConfigPage, 1);
    button(&window, "&Configuration")->click();
    QVERIFY(modals.done());
    QCOMPARE(modals.titles,
             (QStringList {QStringLiteral("The shared files are accessible for everyone."),
                           QStringLiteral("The download directory is invalid."),
                           QStringLiteral("Tarnwick Server Options")}));
}

void tst_Window::unreadableSettings()
{
    // Its defaults would share openly: said once, and nothing starts before an apply.
    QFile::resize(QString::fromLocal8Bit(*Configuration::ConfigDir) + QLatin1String("config.dat"), 60);
    current()->load();
    Modals modals({Modals::press(QMessageBox::Ok), Modals::press(QMessageBox::Ok)});
    TarnwickWebServer window(nullptr);
    window.fileOrDirSelected(shared.path());
    window.start();
    QCOMPARE(modals.titles, QStringList(2, QStringLiteral("The settings could not be read")));
    QCOMPARE(window.webServer()->getState(), 0);
    Configuration fresh("config.dat");
    QVERIFY(current()->apply(&fresh));
    window.start();
    QCOMPARE(window.webServer()->getState(), 1);
}

void tst_Window::viewAddress()
{
    TarnwickWebServer window(nullptr);
    window.fileOrDirSelected(shared.path());
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // Tab and Shift+Tab walk every control in reading order; stopped, the path link opens the folder.
    QLabel *path = pathLabel(window);
    QWidget *table = window.findChild<AddressList *>()->findChild<QTableWidget *>(),
            *mode = window.findChild<QComboBox *>();
    const QList<QWidget *> chain {
        table, button(&window, "Help"),   button(&window, "&Conf"), mode, button(&window, "&Browse"),
        path,  button(&window, "&Start"), button(&window, "&Exit")};
    const int n = int(chain.size());
    table->setFocus();
    for (int i = 1; i <= 2 * n; ++i) {
        QTest::keyClick(QApplication::focusWidget(), i <= n ? Qt::Key_Tab : Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), chain.at((i <= n ? i : 2 * n - i) % n));
        if (i == chain.indexOf(path))
            QTest::keyClick(path, Qt::Key_Return);
    }
    window.start();
    const QString first = listenAddresses(interfaceEntries()).first();
    current()->setParam(ParamPort, 80);
    window.linkActivated(QString());
    current()->setParam(ParamPort, 8081);
    window.linkActivated(QString());
    QCOMPARE(opened,
             (QList<QUrl> {QUrl::fromLocalFile(shared.path()), QUrl(QStringLiteral("http://%1/").arg(first)),
                           QUrl(QStringLiteral("http://%1:8081/").arg(first))}));
}

void tst_Window::statusHub()
{
    TarnwickWebServer window(nullptr);
    EventHandler *hub = EventHandler::eventHandler;
    TarnwickSocket::Sent = 7000;
    TarnwickSocket::Received = 0;
    hub->newConnection(QStringLiteral("<b>10.0.0.1"));
    QCOMPARE(hub->getStatusWidget()->text(),
             QStringLiteral("<center>7KB Last connection: &lt;b&gt;10.0.0.1</center>"));
    // Each tick of the refresh shows the traffic so far.
    TarnwickSocket::Sent += 2000;
    hub->sendDataInfo();
    QVERIFY(hub->getStatusWidget()->text().startsWith(QStringLiteral("<center>9KB ")));
    // A file name a browser chose is shown as text; a second message waits for the first box.
    {
        Modals modals({Modals::press(QMessageBox::Ok), Modals::press(QMessageBox::Ok)});
        QMetaObject::invokeMethod(
            hub, [hub] { hub->msg(QStringLiteral("second"), QStringLiteral("2")); }, Qt::QueuedConnection);
        hub->msg(QStringLiteral("File save error"), QStringLiteral("File: <img src=x>"));
        QCOMPARE(modals.titles, (QStringList {QStringLiteral("File save error"), QStringLiteral("second")}));
        QCOMPARE(modals.formats, (QList<Qt::TextFormat> {Qt::PlainText, Qt::PlainText}));
    }

    // The data limit's box says what went through, in KB.
    TarnwickSocket::Sent = 5001234;
    TarnwickSocket::Received = 2999;
    TarnwickSocket::Limit = 5000000;
    Modals limit({Modals::press(QMessageBox::Ok)});
    window.dataLimit();
    TarnwickSocket::Limit = 0;
    QCOMPARE(limit.texts,
             QStringList {QStringLiteral("Max. data limit: 5000 KB reached\nServer stopped.\nSent "
                                         "bytes: 5001 KB\nReceived bytes: 2 KB")});
    QCOMPARE(limit.formats, QList<Qt::TextFormat> {Qt::PlainText});
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
    QTest::addRow("download path") << 1 << "pathEdit" << QVariant(QStringLiteral("/srv"))
                                   << int(ParamDownloadPath);
    QTest::addRow("dynamic DNS") << 2 << "dnsBox" << QVariant(true) << int(ParamDnsEnabled);
    QTest::addRow("DNS user") << 2 << "userEdit" << QVariant(QStringLiteral("me")) << int(ParamDnsUser);
    QTest::addRow("DNS password") << 2 << "passEdit" << QVariant(QStringLiteral("pw")) << int(ParamDnsPass);
    QTest::addRow("thumbnails") << 3 << "thumbnailBox" << QVariant(true) << int(ParamThumbnailView);
    QTest::addRow("listing for phones") << 3 << "phoneBox" << QVariant(true) << int(ParamPhoneListing);
    QTest::addRow("open in the browser") << 3 << "inlineBox" << QVariant(true) << int(ParamInline);
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
    QCOMPARE(saved.getParam(param),
             value.typeId() == QMetaType::Bool ? QString::number(value.toInt()) : value.toString());
    QMap<int, QVariant> after = saved.paramMap(), unchanged = before.paramMap();
    after.remove(param);
    unchanged.remove(param);
    QCOMPARE(after, unchanged);

    // An opt-in unchecked again leaves the file as it was before.
    if (param == ParamPhoneListing || param == ParamInline) {
        inDialog(page, [&](QWidget *dialog) {
            dialog->findChild<QCheckBox *>(control)->setChecked(false);
            dialog->findChild<QPushButton *>(QStringLiteral("applyButton"))->click();
            button(dialog, "&Close")->click();
        });
        QCOMPARE(Configuration("config.dat").paramMap(), before.paramMap());
    }
}

void tst_Window::users()
{
    inDialog(0, [](QWidget *dialog) {
        // The user table takes the page's height, the password row stays under the combo box.
        auto *mode = dialog->findChild<QComboBox *>(QStringLiteral("modeBox"));
        mode->setCurrentIndex(1);
        QTRY_VERIFY(dialog->findChild<QLineEdit *>(QStringLiteral("passwordEdit"))->y() < mode->height());
        mode->setCurrentIndex(2);
        QTRY_VERIFY(dialog->findChild<QTableWidget *>(QStringLiteral("userTable"))->height()
                    > 5 * mode->height());
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
        // config.dat cannot be written: the owner is told why, and the edits stay to be applied again.
        const QString file = QString::fromLocal8Bit(*Configuration::ConfigDir) + QLatin1String("config.dat");
        QVERIFY(QFile::remove(file) && QDir().mkdir(file));
        Modals failed({Modals::press(QMessageBox::Ok)});
        dialog->findChild<QPushButton *>(QStringLiteral("applyButton"))->click();
        QVERIFY(failed.texts.value(0).contains(file + QLatin1String(": ")) && QDir().rmdir(file));
        dialog->findChild<QPushButton *>(QStringLiteral("applyButton"))->click();
        button(dialog, "&Close")->click();
    });
    QCOMPARE(current()->userList(), QList<QString> {QStringLiteral("anna:pw")});
    QCOMPARE(current()->getParam(ParamAuthMode, 0), int(AuthBasic));
}

void tst_Window::addressList()
{
    outside.bodies.insert("/tools/open-ports/check.php",
                          "<html>xx success                 Port is open on 203.0.113.9x\"/></html>");
    current()->setParam(ParamDnsEnabled, 1);
    current()->setParam(ParamDnsUser, QStringLiteral("me"));
    current()->setParam(ParamDnsPass, QStringLiteral("pw"));
    outside.bodies.insert("/cgi-bin/dynip.cgi", QByteArray(120, ' ') + "has been updated");
    const quint16 port = Client::freePort();
    current()->setParam(ParamPort, port);
    TarnwickWebServer window(nullptr);
    window.webServer()->configurationChanged(current());
    window.fileOrDirSelected(shared.path());
    window.start();
    const QStringList local = listenAddresses(interfaceEntries());
    QTRY_COMPARE(rows(&window).size(), local.size() + 2);
    QVERIFY(rows(&window).contains(QStringLiteral("203.0.113.9 %1").arg(port)));
    QVERIFY(rows(&window).contains(QStringLiteral("me.dynip.example.org %1").arg(port)));
    QVERIFY(outside.requests.contains("GET /cgi-bin/dynip.cgi?username=me&password=pw HTTP/1.1"));
    // The selected address as a QR code a phone reads.
    Modals qr({[&](QWidget *dialog) {
        QCOMPARE(readQrCode(dialog->findChild<QLabel *>(QStringLiteral("qrCode"))->pixmap().toImage()),
                 QStringLiteral("http://%1:%2/").arg(local.first()).arg(port));
        dialog->close();
    }});
    button(&window, "&QR")->click();
    QVERIFY(qr.done() && qr.titles.size() == 1);

    // The port cell moves the running server.
    const quint16 next = Client::freePort();
    auto *table = window.findChild<AddressList *>()->findChild<QTableWidget *>();
    table->item(0, 0)->setText(QString::number(next));
    QCOMPARE(current()->getParam(ParamPort, 0), int(port));
    table->item(0, 1)->setText(QString::number(next));
    QTRY_COMPARE(window.webServer()->serverPort(), next);
    QCOMPARE(current()->getParam(ParamPort, 0), int(next));
    // What is not a port is refused: the cell shows the port in force again.
    for (const char *text : {"abc", "84640", "0"}) {
        table->item(0, 1)->setText(QLatin1String(text));
        QCOMPARE(table->item(0, 1)->text(), QString::number(next));
    }
    // To a port that is taken the server cannot move: the window shows it stopped.
    QTcpServer taken;
    taken.listen(QHostAddress::Any);
    Modals unable({Modals::press(QMessageBox::Ok)});
    table->item(0, 1)->setText(QString::number(taken.serverPort()));
    QTRY_VERIFY(!button(&window, "&View")->isEnabled());
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
            QCOMPARE(text->visibleRegion(), QRegion(text->rect())); // the whole page, without scrolling
            Q_EMIT text->linkActivated(QStringLiteral("file:///etc/passwd"));
            Q_EMIT text->linkActivated(QStringLiteral("http://example.org/help"));
            page->close();
        }});
        // By keyboard: the page list shows its focus, Tab reaches the help link and Enter opens it.
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        auto *list = dialog->findChild<QListWidget *>();
        dialog->findChild<QWidget *>(QStringLiteral("warningBox"))->setFocus();
        const QRgb edge = list->grab().toImage().pixel(0, list->height() / 2);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QVERIFY(list->hasFocus() && list->grab().toImage().pixel(0, list->height() / 2) != edge);
        QTest::keyClick(list, Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(help.titles, QStringList {QStringLiteral("Help")});
        button(dialog, "&Close")->click();
    });
    QCOMPARE(opened, QList<QUrl> {QUrl(QStringLiteral("http://example.org/help"))});
    // The dialog opens again on the page it was closed on.
    inDialog(-1, [](QWidget *dialog) {
        QCOMPARE(dialog->findChild<QListWidget *>()->currentRow(), 1);
        dialog->close();
    });
    char *argv[] = {nullptr, const_cast<char *>("root")};
    QCOMPARE(QByteArray(Startup::firstArgument(2, argv)), QByteArray("root"));
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
