#include "userdialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QVBoxLayout>

UserDialog::UserDialog(QTableWidget *table, QWidget *parent)
    : QDialog(parent)
    , table(table)
    , userEdit(new QLineEdit)
    , passEdit(new QLineEdit)
{
    // The first letter of each label is its shortcut to the field.
    auto *userLabel = new QLabel(QLatin1Char('&') + tr("User") + QLatin1Char(':'));
    userLabel->setBuddy(userEdit);
    auto *passLabel = new QLabel(QLatin1Char('&') + tr("Password") + QLatin1Char(':'));
    passLabel->setBuddy(passEdit);

    auto *fields = new QFormLayout;
    fields->addRow(userLabel, userEdit);
    fields->addRow(passLabel, passEdit);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &UserDialog::oK);
    connect(buttons, &QDialogButtonBox::rejected, this, &UserDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(buttons);
}

void UserDialog::oK()
{
    const QString user = userEdit->text();
    const QString password = passEdit->text();
    if (user.isEmpty() || password.isEmpty())
        return;

    // Each cell raises the table's itemChanged, so the page rebuilds its user list as
    // the row fills in.
    const int row = table->rowCount();
    table->insertRow(row);
    table->setItem(row, 0, new QTableWidgetItem(user));
    table->setItem(row, 1, new QTableWidgetItem(password));
    accept();
}
