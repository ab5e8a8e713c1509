#include "config/dialog/configpagedns.h"
#include "support/modalwaiter.h"
#include "support/pagehost.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QtTest>

class tst_ConfigPageDNS : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void initialValues_data();
    void initialValues();
    void enableFlag();
    void account_data();
    void account();
    void helpLink();
};

void tst_ConfigPageDNS::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect")));
}

void tst_ConfigPageDNS::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_ConfigPageDNS::initialValues_data()
{
    QTest::addColumn<QVariant>("enabled");
    QTest::addColumn<bool>("checked");

    QTest::addRow("not stored") << QVariant() << false;
    QTest::addRow("off") << QVariant(0) << false;
    QTest::addRow("on") << QVariant(1) << true;
    QTest::addRow("any other number is on") << QVariant(7) << true;
}

void tst_ConfigPageDNS::initialValues()
{
    QFETCH(QVariant, enabled);
    QFETCH(bool, checked);

    PageHost host;
    if (enabled.isValid())
        host.work.setParam(ParamDnsEnabled, enabled.toInt());
    host.work.setParam(ParamDnsUser, QStringLiteral("owner"));
    host.work.setParam(ParamDnsPass, QStringLiteral("s3cret"));
    auto *page = new ConfigPageDNS(&host);

    QCOMPARE(page->findChild<QCheckBox *>(QStringLiteral("dnsBox"))->isChecked(), checked);
    auto *user = page->findChild<QLineEdit *>(QStringLiteral("userEdit"));
    auto *password = page->findChild<QLineEdit *>(QStringLiteral("passEdit"));
    QCOMPARE(user->text(), QStringLiteral("owner"));
    QCOMPARE(password->text(), QStringLiteral("s3cret"));
    // The account can be edited whether the service is on or off, in clear text.
    QVERIFY(user->isEnabled());
    QVERIFY(password->isEnabled());
    QCOMPARE(password->echoMode(), QLineEdit::Normal);
    QCOMPARE(host.changes, 0);
    QCOMPARE(host.work.paramMap().contains(ParamDnsEnabled), enabled.isValid());
}

void tst_ConfigPageDNS::enableFlag()
{
    PageHost host;
    auto *page = new ConfigPageDNS(&host);
    auto *box = page->findChild<QCheckBox *>(QStringLiteral("dnsBox"));
    QCOMPARE(box->text(), QStringLiteral("Enable DNS Service"));

    box->click();
    QCOMPARE(host.work.getParam(ParamDnsEnabled, -1), 1);
    box->click();
    // Off is stored, not forgotten.
    QVERIFY(host.work.paramMap().contains(ParamDnsEnabled));
    QCOMPARE(host.work.getParam(ParamDnsEnabled, -1), 0);
    QCOMPARE(host.changes, 2);
}

void tst_ConfigPageDNS::account_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<int>("id");

    QTest::addRow("user") << "userEdit" << int(ParamDnsUser);
    QTest::addRow("password") << "passEdit" << int(ParamDnsPass);
}

void tst_ConfigPageDNS::account()
{
    QFETCH(QString, edit);
    QFETCH(int, id);

    PageHost host;
    auto *page = new ConfigPageDNS(&host);
    QTest::keyClicks(page->findChild<QLineEdit *>(edit), QStringLiteral("ab"));
    QCOMPARE(host.work.getParam(id), QStringLiteral("ab"));
    QCOMPARE(host.changes, 2);
    // Only the edited parameter.
    QCOMPARE(host.work.getParam(id == ParamDnsUser ? ParamDnsPass : ParamDnsUser), QString());
}

void tst_ConfigPageDNS::helpLink()
{
    HelpFolder folder;
    folder.write(QStringLiteral("dns"), "about the DNS service");
    PageHost host;
    new ConfigPageDNS(&host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));

    QVERIFY(labelShowing(&host, QStringLiteral("User:")));
    QVERIFY(labelShowing(&host, QStringLiteral("Password:")));
    QLabel *title = labelShowing(&host, QStringLiteral("DNS Configuration"));
    QVERIFY(title);
    QString shown;
    ModalWaiter waiter([&](QDialog *dialog) {
        shown = dialog->findChild<QLabel *>()->text();
        dialog->accept();
    });
    clickText(title);
    QVERIFY(waiter.handled());
    QCOMPARE(shown, QStringLiteral("about the DNS service"));
}

QTEST_MAIN(tst_ConfigPageDNS)
#include "tst_configpagedns.moc"
