#include "config/configuration.h"
#include "config/dialog/configdialog.h"
#include "config/dialog/configpage.h"
#include "config/paramfile.h"
#include "config/session.h"
#include "server/webserver.h"
#include "support/modalwaiter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTcpServer>
#include <QtTest>

#include <functional>

// The settings dialog runs in its constructor: act runs inside, on the open dialog.
// True when act ran and left the dialog closed.
static bool runDialog(int page, const std::function<void(ConfigDialog *)> &act)
{
    ModalWaiter waiter([&](QDialog *dialog) {
        auto *config = qobject_cast<ConfigDialog *>(dialog);
        QVERIFY(config);
        act(config);
    });
    ConfigDialog dialog(nullptr, page);
    return waiter.handled();
}

template<typename T>
static T *child(QWidget *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    if (!found)
        qWarning("no %s", name);
    return found;
}

static QPushButton *applyButton(QWidget *dialog)
{
    return child<QPushButton>(dialog, "applyButton");
}

static void pressButton(QWidget *dialog, const QString &text)
{
    for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
        if (button->text() == text)
            button->click();
    }
}

static void pressClose(QWidget *dialog)
{
    pressButton(dialog, QStringLiteral("&Close"));
}

static void clickPage(QWidget *dialog, int row)
{
    auto *list = child<QListWidget>(dialog, "pageList");
    QListWidgetItem *item = list->item(row);
    list->scrollToItem(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

static int currentPage(QWidget *dialog)
{
    return child<QStackedWidget>(dialog, "pageStack")->currentIndex();
}

static QString configFile()
{
    return QString::fromLocal8Bit(*Configuration::ConfigDir) + QLatin1String("config.dat");
}

static quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

class tst_ConfigDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void frame();
    void pageItems_data();
    void pageItems();
    void opensOnPage_data();
    void opensOnPage();
    void applyShownWhileDifferent();
    void dnsOnAndOffKeepsApply();
    void applyPutsTheSettingsInForce();
    void applyFailureDropsTheEdits();
    void usersReachConfigDat();
    void closeRemembersThePage();
    void otherWaysOutKeepThePage_data();
    void otherWaysOutKeepThePage();
    void closeDropsUnappliedEdits();
};

void tst_ConfigDialog::init()
{
    // The pages reach the dialog by the slot's name; a wrong name only warns.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect")));

    // First start: no config.dat, the defaults in force, no remembered page.
    Configuration *current = Configuration::getCurrentConfig();
    QDir(configFile()).removeRecursively();
    QFile::remove(configFile());
    Configuration defaults("config.dat");
    QVERIFY(current->apply(&defaults));
    QVERIFY(QFile::remove(configFile()));
    delete Session::session;
    Session::session = new Session("init.dat");
}

void tst_ConfigDialog::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_ConfigDialog::frame()
{
    QVERIFY(runDialog(0, [](ConfigDialog *dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Tarnwick Server Options"));
        QCOMPARE(applyButton(dialog)->text(), QStringLiteral("&Apply"));
        QVERIFY(!applyButton(dialog)->isVisible());
        QCOMPARE(child<QListWidget>(dialog, "pageList")->count(), 4);
        pressClose(dialog);
    }));
}

void tst_ConfigDialog::pageItems_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("page");

    QTest::addRow("access") << 0 << "Aut."
                            << ":/res/img/kgpg.png"
                            << "ConfigPageAut";
    QTest::addRow("server") << 1 << "Server"
                            << ":/res/img/preferences-network.png"
                            << "ConfigPageServer";
    QTest::addRow("dns") << 2 << "DNS"
                         << ":/res/img/dns.png"
                         << "ConfigPageDNS";
    QTest::addRow("folder") << 3 << "Folder"
                            << ":/res/img/folder.png"
                            << "ConfigPageFolder";
}

void tst_ConfigDialog::pageItems()
{
    QFETCH(int, row);
    QFETCH(QString, text);
    QFETCH(QString, icon);
    QFETCH(QString, page);

    QVERIFY(QFile::exists(icon));
    QVERIFY(runDialog(row, [&](ConfigDialog *dialog) {
        QListWidgetItem *item = child<QListWidget>(dialog, "pageList")->item(row);
        QCOMPARE(item->text(), text);
        QCOMPARE(item->icon().pixmap(32).toImage(), QIcon(icon).pixmap(32).toImage());
        QCOMPARE(item->textAlignment(), int(Qt::AlignHCenter));
        QCOMPARE(item->flags(), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        QWidget *shown = child<QStackedWidget>(dialog, "pageStack")->currentWidget();
        QCOMPARE(QLatin1String(shown->metaObject()->className()), page);
        pressClose(dialog);
    }));
}

void tst_ConfigDialog::opensOnPage_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QVariant>("remembered");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("shown");

    QTest::addRow("access") << 0 << QVariant(2) << 0 << 0;
    QTest::addRow("server") << 1 << QVariant() << 1 << 1;
    QTest::addRow("folder") << 3 << QVariant() << 3 << 3;
    QTest::addRow("last used") << -1 << QVariant(2) << 2 << 2;
    QTest::addRow("last used, none yet") << -1 << QVariant() << 0 << 0;
    QTest::addRow("last used out of range") << -1 << QVariant(7) << -1 << 0;
}

void tst_ConfigDialog::opensOnPage()
{
    QFETCH(int, page);
    QFETCH(QVariant, remembered);
    QFETCH(int, row);
    QFETCH(int, shown);

    if (remembered.isValid())
        Session::getSession()->setParam(ParamConfigPage, remembered.toInt());
    QVERIFY(runDialog(page, [&](ConfigDialog *dialog) {
        QCOMPARE(child<QListWidget>(dialog, "pageList")->currentRow(), row);
        QCOMPARE(currentPage(dialog), shown);
        dialog->reject();
    }));
}

void tst_ConfigDialog::applyShownWhileDifferent()
{
    QVERIFY(runDialog(1, [](ConfigDialog *dialog) {
        auto *port = child<QSpinBox>(dialog, "portBox");
        port->setValue(9000);
        QVERIFY(applyButton(dialog)->isVisible());
        // Only Apply puts an edit in force.
        QCOMPARE(Configuration::getCurrentConfig()->getParam(ParamPort, 0), 8080);
        port->setValue(8080);
        QVERIFY(!applyButton(dialog)->isVisible());
        pressClose(dialog);
    }));
}

void tst_ConfigDialog::dnsOnAndOffKeepsApply()
{
    QVERIFY(!Configuration::getCurrentConfig()->paramMap().contains(ParamDnsEnabled));
    QVERIFY(runDialog(2, [](ConfigDialog *dialog) {
        auto *dns = child<QCheckBox>(dialog, "dnsBox");
        dns->click();
        QVERIFY(applyButton(dialog)->isVisible());
        dns->click();
        // The working copy now holds the flag as 0, which the settings in force lack.
        QCOMPARE(ConfigPage::conf->getParam(ParamDnsEnabled, -1), 0);
        QVERIFY(applyButton(dialog)->isVisible());
        pressClose(dialog);
    }));
}

void tst_ConfigDialog::applyPutsTheSettingsInForce()
{
    const quint16 oldPort = freePort();
    const quint16 newPort = freePort();
    QVERIFY(oldPort && newPort && oldPort != newPort);
    Configuration *current = Configuration::getCurrentConfig();
    {
        Configuration start("config.dat");
        start.setParam(ParamPort, oldPort);
        QVERIFY(current->apply(&start));
    }
    WebServer server;
    QVERIFY(server.start());
    QCOMPARE(server.serverPort(), oldPort);
    QSignalSpy announced(current, &Configuration::configurationChanged);

    QVERIFY(runDialog(0, [&](ConfigDialog *dialog) {
        child<QComboBox>(dialog, "modeBox")->setCurrentIndex(AuthPassword);
        QTest::keyClicks(child<QLineEdit>(dialog, "passwordEdit"), QStringLiteral("opensesame"));
        clickPage(dialog, 1);
        auto *port = child<QSpinBox>(dialog, "portBox");
        port->setValue(newPort);

        applyButton(dialog)->click();
        QVERIFY(!applyButton(dialog)->isVisible());
        QCOMPARE(announced.count(), 1);
        QCOMPARE(server.serverPort(), newPort);
        QVERIFY(server.isListening());
        QCOMPARE(Configuration::Password.load(), QStringLiteral("opensesame"));
        QCOMPARE(current->getParam(ParamAuthMode, -1), int(AuthPassword));

        // The pages go on editing what was applied.
        port->setValue(oldPort);
        QVERIFY(applyButton(dialog)->isVisible());
        pressClose(dialog);
    }));

    Configuration saved("config.dat");
    QCOMPARE(saved.getParam(ParamPort, 0), int(newPort));
    QCOMPARE(saved.getParam(ParamAuthMode, -1), int(AuthPassword));
    QCOMPARE(saved.getParam(ParamPassword), QStringLiteral("opensesame"));
    QVERIFY(saved.equals(current));
    server.stop();
}

void tst_ConfigDialog::applyFailureDropsTheEdits()
{
    // Tests may run as root, so only a folder in the way stops the write.
    QVERIFY(QDir().mkpath(configFile()));
    Configuration *current = Configuration::getCurrentConfig();
    QSignalSpy announced(current, &Configuration::configurationChanged);

    QVERIFY(runDialog(1, [&](ConfigDialog *dialog) {
        auto *port = child<QSpinBox>(dialog, "portBox");
        port->setValue(9001);
        applyButton(dialog)->click();

        QCOMPARE(announced.count(), 0);
        QCOMPARE(current->getParam(ParamPort, 0), 8080);
        // The working copy was read again from disk; the box still shows the edit.
        QCOMPARE(ConfigPage::conf->getParam(ParamPort, ReadDefault::Port), 8080);
        QCOMPARE(port->value(), 9001);
        QVERIFY(applyButton(dialog)->isVisible());
        // No message.
        QCOMPARE(QApplication::activeModalWidget(), dialog);
        pressClose(dialog);
    }));
    QVERIFY(QFileInfo(configFile()).isDir());
    QVERIFY(QDir(configFile()).removeRecursively());
}

void tst_ConfigDialog::usersReachConfigDat()
{
    const auto savedUsers = [] {
        ParamFile::Contents contents;
        return ParamFile::read(configFile(), &contents) ? contents.strings
                                                        : QList<QString> {QStringLiteral("?")};
    };
    QList<QString> afterAdd;
    QList<QString> afterRemove;

    QVERIFY(runDialog(0, [&](ConfigDialog *dialog) {
        child<QComboBox>(dialog, "modeBox")->setCurrentIndex(AuthBasic);
        // The user dialog opens from inside the settings dialog.
        ModalWaiter addUser([](QDialog *userDialog) {
            const QList<QLineEdit *> edits = userDialog->findChildren<QLineEdit *>();
            QCOMPARE(edits.size(), 2);
            QTest::keyClicks(edits.at(0), QStringLiteral("anna"));
            QTest::keyClicks(edits.at(1), QStringLiteral("pw"));
            userDialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        });
        pressButton(dialog, QStringLiteral("Add user"));
        QVERIFY(addUser.handled());
        applyButton(dialog)->click();
        afterAdd = savedUsers();

        auto *table = child<QTableWidget>(dialog, "userTable");
        table->setCurrentCell(0, 0);
        pressButton(dialog, QStringLiteral("Remove user"));
        QVERIFY(applyButton(dialog)->isVisible());
        applyButton(dialog)->click();
        afterRemove = savedUsers();
        pressClose(dialog);
    }));
    QCOMPARE(afterAdd, QList<QString> {QStringLiteral("anna:pw")});
    QVERIFY(afterRemove.isEmpty());
    QCOMPARE(Configuration::getCurrentConfig()->getParam(ParamAuthMode, -1), int(AuthBasic));
}

void tst_ConfigDialog::closeRemembersThePage()
{
    QVERIFY(runDialog(0, [](ConfigDialog *dialog) {
        clickPage(dialog, 2);
        QCOMPARE(currentPage(dialog), 2);
        pressClose(dialog);
    }));
    QCOMPARE(Session::getSession()->getParam(ParamConfigPage, -1), 2);

    QVERIFY(runDialog(-1, [](ConfigDialog *dialog) {
        QCOMPARE(currentPage(dialog), 2);
        pressClose(dialog);
    }));
}

void tst_ConfigDialog::otherWaysOutKeepThePage_data()
{
    QTest::addColumn<bool>("escape");
    QTest::addRow("window closed") << false;
    QTest::addRow("Escape") << true;
}

void tst_ConfigDialog::otherWaysOutKeepThePage()
{
    QFETCH(bool, escape);

    Session::getSession()->setParam(ParamConfigPage, 3);
    QVERIFY(runDialog(3, [&](ConfigDialog *dialog) {
        clickPage(dialog, 1);
        QCOMPARE(currentPage(dialog), 1);
        if (escape)
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            dialog->QWidget::close();
    }));
    QCOMPARE(Session::getSession()->getParam(ParamConfigPage, -1), 3);
}

void tst_ConfigDialog::closeDropsUnappliedEdits()
{
    QVERIFY(runDialog(1, [](ConfigDialog *dialog) {
        child<QSpinBox>(dialog, "portBox")->setValue(9000);
        pressClose(dialog);
    }));
    QVERIFY(runDialog(1, [](ConfigDialog *dialog) {
        QCOMPARE(child<QSpinBox>(dialog, "portBox")->value(), 8080);
        QVERIFY(!applyButton(dialog)->isVisible());
        pressClose(dialog);
    }));
    QVERIFY(!QFile::exists(configFile()));
}

QTEST_MAIN(tst_ConfigDialog)
#include "tst_configdialog.moc"
