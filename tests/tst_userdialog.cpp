#include "config/dialog/userdialog.h"
#include "support/modalwaiter.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>

// The line edit that the label with this text is the buddy of.
static QLineEdit *fieldOf(QDialog *dialog, const QString &labelText)
{
    for (QLabel *label : dialog->findChildren<QLabel *>()) {
        if (label->text() == labelText)
            return qobject_cast<QLineEdit *>(label->buddy());
    }
    return nullptr;
}

static void press(QDialog *dialog, QDialogButtonBox::StandardButton which)
{
    auto *box = dialog->findChild<QDialogButtonBox *>();
    QVERIFY(box);
    QPushButton *button = box->button(which);
    QVERIFY(button);
    button->click();
}

class tst_UserDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void fieldsAndShortcuts();
    void oK_data();
    void oK();
    void cancelLeavesTheTable();
};

void tst_UserDialog::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_UserDialog::fieldsAndShortcuts()
{
    QTableWidget table(0, 2);
    UserDialog dialog(&table, &table);
    QLineEdit *user = fieldOf(&dialog, QStringLiteral("&User:"));
    QLineEdit *password = fieldOf(&dialog, QStringLiteral("&Password:"));
    QVERIFY(user);
    QVERIFY(password);
    QVERIFY(user != password);
    // Passwords are shown as typed, here and in the table.
    QCOMPARE(password->echoMode(), QLineEdit::Normal);
    QVERIFY(dialog.windowTitle().isEmpty());
    QVERIFY(!dialog.isVisible());
}

void tst_UserDialog::oK_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("added");

    QTest::addRow("name and password") << "anna"
                                       << "secret" << true;
    QTest::addRow("empty name") << ""
                                << "secret" << false;
    QTest::addRow("empty password") << "anna"
                                    << "" << false;
    QTest::addRow("both empty") << ""
                                << "" << false;
    QTest::addRow("colon in the name is taken as it is") << "a:b"
                                                         << "c" << true;
    QTest::addRow("blank name is not empty") << " "
                                             << "x" << true;
}

void tst_UserDialog::oK()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, added);

    QTableWidget table(1, 2);
    table.setItem(0, 0, new QTableWidgetItem(QStringLiteral("first")));
    table.setItem(0, 1, new QTableWidgetItem(QStringLiteral("pw")));
    QSignalSpy changes(&table, &QTableWidget::itemChanged);

    bool stayedOpen = false;
    ModalWaiter waiter([&](QDialog *dialog) {
        QLineEdit *userEdit = fieldOf(dialog, QStringLiteral("&User:"));
        QLineEdit *passEdit = fieldOf(dialog, QStringLiteral("&Password:"));
        QVERIFY(userEdit && passEdit);
        QTest::keyClicks(userEdit, user);
        QTest::keyClicks(passEdit, password);
        press(dialog, QDialogButtonBox::Ok);
        stayedOpen = dialog->isVisible();
        if (stayedOpen)
            press(dialog, QDialogButtonBox::Cancel);
    });
    UserDialog dialog(&table, &table);
    const int result = dialog.exec();
    QVERIFY(waiter.handled());

    QCOMPARE(stayedOpen, !added);
    QCOMPARE(result, added ? QDialog::Accepted : QDialog::Rejected);
    QCOMPARE(table.rowCount(), added ? 2 : 1);
    QCOMPARE(table.item(0, 0)->text(), QStringLiteral("first"));
    if (added) {
        QCOMPARE(table.item(1, 0)->text(), user);
        QCOMPARE(table.item(1, 1)->text(), password);
        // The settings page rebuilds its user list on each of them.
        QCOMPARE(changes.count(), 2);
    } else {
        QCOMPARE(changes.count(), 0);
    }
}

void tst_UserDialog::cancelLeavesTheTable()
{
    QTableWidget table(0, 2);
    ModalWaiter waiter([](QDialog *dialog) {
        QTest::keyClicks(fieldOf(dialog, QStringLiteral("&User:")), QStringLiteral("anna"));
        QTest::keyClicks(fieldOf(dialog, QStringLiteral("&Password:")), QStringLiteral("secret"));
        press(dialog, QDialogButtonBox::Cancel);
    });
    UserDialog dialog(&table, &table);
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY(waiter.handled());
    QCOMPARE(table.rowCount(), 0);
}

QTEST_MAIN(tst_UserDialog)
#include "tst_userdialog.moc"
