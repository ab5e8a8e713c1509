#include "config/dialog/configpageaut.h"
#include "support/modalwaiter.h"
#include "support/pagehost.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QtTest>

static QPushButton *buttonShowing(const QWidget *parent, const QString &text)
{
    for (QPushButton *button : parent->findChildren<QPushButton *>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

static QStringList rows(const QTableWidget *table)
{
    QStringList shown;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *name = table->item(row, 0);
        const QTableWidgetItem *password = table->item(row, 1);
        shown.append((name ? name->text() : QStringLiteral("-")) + QLatin1Char('|')
                     + (password ? password->text() : QStringLiteral("-")));
    }
    return shown;
}

class tst_ConfigPageAut : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void buildingChangesNothing_data();
    void buildingChangesNothing();
    void modePanels_data();
    void modePanels();
    void modeLeavesTheCredentials();
    void password();
    void addUser();
    void addUserCancelled();
    void editInPlace_data();
    void editInPlace();
    void removeUser_data();
    void removeUser();
    void helpLink();
};

void tst_ConfigPageAut::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect")));
}

void tst_ConfigPageAut::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_ConfigPageAut::buildingChangesNothing_data()
{
    QTest::addColumn<QStringList>("users");
    QTest::addColumn<QStringList>("shown");

    QTest::addRow("no users") << QStringList() << QStringList();
    QTest::addRow("in list order") << QStringList {"bob:pw1", "anna:pw2"}
                                   << QStringList {"bob|pw1", "anna|pw2"};
    QTest::addRow("split at the first colon") << QStringList {"a:b:c"} << QStringList {"a|b:c"};
    QTest::addRow("empty password") << QStringList {"anna:"} << QStringList {"anna|"};
    QTest::addRow("no colon shows whole in both") << QStringList {"whole"} << QStringList {"whole|whole"};
    QTest::addRow("same name twice") << QStringList {"anna:1", "anna:2"} << QStringList {"anna|1", "anna|2"};
}

void tst_ConfigPageAut::buildingChangesNothing()
{
    QFETCH(QStringList, users);
    QFETCH(QStringList, shown);

    PageHost host;
    host.work.setParam(ParamAuthMode, AuthBasic);
    host.work.setParam(ParamPassword, QStringLiteral("single"));
    host.work.setUserList(users);
    auto *page = new ConfigPageAut(&host);

    QCOMPARE(rows(page->findChild<QTableWidget *>(QStringLiteral("userTable"))), shown);
    QCOMPARE(page->findChild<QLineEdit *>(QStringLiteral("passwordEdit"))->text(), QStringLiteral("single"));
    QCOMPARE(host.changes, 0);
    // An entry without a colon stays as it is until the table is edited.
    QCOMPARE(host.work.userList(), users);
}

void tst_ConfigPageAut::modePanels_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("item");

    QTest::addRow("none") << int(AuthNone) << "None";
    QTest::addRow("password") << int(AuthPassword) << "Password only";
    QTest::addRow("basic") << int(AuthBasic) << "Basic HTTP";
}

void tst_ConfigPageAut::modePanels()
{
    QFETCH(int, mode);
    QFETCH(QString, item);

    PageHost host;
    host.work.setParam(ParamAuthMode, mode);
    auto *page = new ConfigPageAut(&host);
    auto *combo = page->findChild<QComboBox *>(QStringLiteral("modeBox"));
    auto *stack = combo->parentWidget()->findChild<QStackedWidget *>();
    QCOMPARE(combo->currentIndex(), mode);
    QCOMPARE(combo->currentText(), item);

    // Each panel holds the controls of its mode.
    QWidget *panel = stack->currentWidget();
    QCOMPARE(panel->findChild<QLineEdit *>() != nullptr, mode == AuthPassword);
    QCOMPARE(panel->findChild<QTableWidget *>() != nullptr, mode == AuthBasic);
    if (mode == AuthPassword)
        QVERIFY(labelShowing(panel, QStringLiteral("Password:")));
    if (mode == AuthBasic) {
        QVERIFY(buttonShowing(panel, QStringLiteral("Add user")));
        QVERIFY(buttonShowing(panel, QStringLiteral("Remove user")));
    }
}

void tst_ConfigPageAut::modeLeavesTheCredentials()
{
    PageHost host;
    host.work.setParam(ParamPassword, QStringLiteral("single"));
    host.work.setUserList({QStringLiteral("anna:pw")});
    auto *page = new ConfigPageAut(&host);
    auto *combo = page->findChild<QComboBox *>(QStringLiteral("modeBox"));
    auto *stack = combo->parentWidget()->findChild<QStackedWidget *>();

    combo->setCurrentIndex(AuthBasic);
    QCOMPARE(host.work.getParam(ParamAuthMode, -1), int(AuthBasic));
    QCOMPARE(stack->currentIndex(), int(AuthBasic));
    combo->setCurrentIndex(AuthNone);
    QCOMPARE(host.work.getParam(ParamAuthMode, -1), int(AuthNone));
    QCOMPARE(stack->currentIndex(), int(AuthNone));

    QCOMPARE(host.changes, 2);
    QCOMPARE(host.work.getParam(ParamPassword), QStringLiteral("single"));
    QCOMPARE(host.work.userList(), QList<QString> {QStringLiteral("anna:pw")});
}

void tst_ConfigPageAut::password()
{
    PageHost host;
    auto *page = new ConfigPageAut(&host);
    auto *edit = page->findChild<QLineEdit *>(QStringLiteral("passwordEdit"));
    QCOMPARE(edit->echoMode(), QLineEdit::Normal);
    QTest::keyClicks(edit, QStringLiteral("pw"));
    QCOMPARE(host.work.getParam(ParamPassword), QStringLiteral("pw"));
    QCOMPARE(host.changes, 2);
}

void tst_ConfigPageAut::addUser()
{
    PageHost host;
    host.work.setUserList({QStringLiteral("bob:1")});
    auto *page = new ConfigPageAut(&host);

    ModalWaiter waiter([](QDialog *dialog) {
        const QList<QLineEdit *> edits = dialog->findChildren<QLineEdit *>();
        QCOMPARE(edits.size(), 2);
        QTest::keyClicks(edits.at(0), QStringLiteral("anna"));
        QTest::keyClicks(edits.at(1), QStringLiteral("s3cret"));
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
    QTest::mouseClick(buttonShowing(page, QStringLiteral("Add user")), Qt::LeftButton);
    QVERIFY(waiter.handled());

    QCOMPARE(host.work.userList(), (QList<QString> {QStringLiteral("bob:1"), QStringLiteral("anna:s3cret")}));
    // One for each cell the dialog set.
    QCOMPARE(host.changes, 2);
}

void tst_ConfigPageAut::addUserCancelled()
{
    PageHost host;
    host.work.setUserList({QStringLiteral("bob:1")});
    auto *page = new ConfigPageAut(&host);

    ModalWaiter waiter([](QDialog *dialog) { dialog->reject(); });
    QTest::mouseClick(buttonShowing(page, QStringLiteral("Add user")), Qt::LeftButton);
    QVERIFY(waiter.handled());
    QCOMPARE(host.work.userList(), QList<QString> {QStringLiteral("bob:1")});
    QCOMPARE(host.changes, 0);
}

void tst_ConfigPageAut::editInPlace_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("rebuilt");

    QTest::addRow("password") << 1 << "new"
                              << "bob:new"
                              << "bob|new";
    QTest::addRow("name") << 0 << "rob"
                          << "rob:1"
                          << "rob|1";
    QTest::addRow("colon in the name") << 0 << "x:y"
                                       << "x:y:1"
                                       << "x|y:1";
}

void tst_ConfigPageAut::editInPlace()
{
    QFETCH(int, column);
    QFETCH(QString, text);
    QFETCH(QString, entry);
    QFETCH(QString, rebuilt);

    const QStringList users {QStringLiteral("anna:0"), QStringLiteral("bob:1")};
    PageHost host;
    host.work.setUserList(users);
    auto *page = new ConfigPageAut(&host);
    page->findChild<QTableWidget *>(QStringLiteral("userTable"))->item(1, column)->setText(text);
    QCOMPARE(host.work.userList(), (QList<QString> {QStringLiteral("anna:0"), entry}));
    QCOMPARE(host.changes, 1);

    // The next page built from the list splits the entry at its first colon.
    delete page;
    page = new ConfigPageAut(&host);
    QCOMPARE(rows(page->findChild<QTableWidget *>(QStringLiteral("userTable"))).value(1), rebuilt);
}

void tst_ConfigPageAut::removeUser_data()
{
    QTest::addColumn<QStringList>("users");
    QTest::addColumn<int>("current");
    QTest::addColumn<QStringList>("left");

    QTest::addRow("first of two") << QStringList {"a:1", "b:2"} << 0 << QStringList {"b:2"};
    QTest::addRow("second of two") << QStringList {"a:1", "b:2"} << 1 << QStringList {"a:1"};
    QTest::addRow("the only one") << QStringList {"a:1"} << 0 << QStringList();
    QTest::addRow("no current cell") << QStringList {"a:1", "b:2"} << -1 << QStringList {"a:1", "b:2"};
    QTest::addRow("no current cell rewrites the list")
        << QStringList {"whole"} << -1 << QStringList {"whole:whole"};
}

void tst_ConfigPageAut::removeUser()
{
    QFETCH(QStringList, users);
    QFETCH(int, current);
    QFETCH(QStringList, left);

    PageHost host;
    host.work.setUserList(users);
    auto *page = new ConfigPageAut(&host);
    auto *table = page->findChild<QTableWidget *>(QStringLiteral("userTable"));
    table->setCurrentCell(current, current < 0 ? -1 : 1);
    QCOMPARE(table->currentRow(), current);

    QTest::mouseClick(buttonShowing(page, QStringLiteral("Remove user")), Qt::LeftButton);
    QCOMPARE(host.work.userList(), left);
    QCOMPARE(table->rowCount(), current < 0 ? users.size() : users.size() - 1);
    QCOMPARE(host.changes, 1);
}

void tst_ConfigPageAut::helpLink()
{
    HelpFolder folder;
    folder.write(QStringLiteral("auth"), "about access");
    PageHost host;
    auto *page = new ConfigPageAut(&host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));

    const QStringList headers {page->findChild<QTableWidget *>()->horizontalHeaderItem(0)->text(),
                               page->findChild<QTableWidget *>()->horizontalHeaderItem(1)->text()};
    QCOMPARE(headers, (QStringList {QStringLiteral("User"), QStringLiteral("Password")}));

    QLabel *title = labelShowing(&host, QStringLiteral("Authentication options"));
    QVERIFY(title);
    QString shown;
    ModalWaiter waiter([&](QDialog *dialog) {
        shown = dialog->findChild<QLabel *>()->text();
        dialog->accept();
    });
    clickText(title);
    QVERIFY(waiter.handled());
    QCOMPARE(shown, QStringLiteral("about access"));
}

QTEST_MAIN(tst_ConfigPageAut)
#include "tst_configpageaut.moc"
