#include "configpageaut.h"

#include "app/linklabel.h"
#include "config/configuration.h"
#include "userdialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>

ConfigPageAut::ConfigPageAut(QWidget *parent)
    : ConfigPage(parent)
    , passwordEdit(new QLineEdit(conf->getParam(ParamPassword)))
    , modeStack(new QStackedWidget)
    , userTable(new QTableWidget(0, 2))
{
    passwordEdit->setObjectName(QStringLiteral("passwordEdit"));
    connect(passwordEdit, &QLineEdit::textChanged, this, &ConfigPageAut::passwordChanged);

    // The items in the order of the modes they stand for.
    auto *mode = new QComboBox;
    mode->setObjectName(QStringLiteral("modeBox"));
    mode->addItem(tr("None"));
    mode->addItem(tr("Password only"));
    mode->addItem(tr("Basic HTTP"));
    const int authMode = conf->getParam(ParamAuthMode, ReadDefault::AuthMode);
    mode->setCurrentIndex(authMode);
    connect(mode, &QComboBox::currentIndexChanged, this, &ConfigPageAut::authModeChanged);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(helpLabel(tr("Authentication options"), QStringLiteral("auth")));
    layout->addWidget(mode);
    // The panels take the rest of the page: the user table grows with it.
    layout->addWidget(modeStack, 1);

    modeStack->addWidget(new QWidget);

    auto *passwordPanel = new QWidget;
    auto *passwordLayout = new QVBoxLayout(passwordPanel);
    auto *passwordRow = new QHBoxLayout;
    passwordRow->addWidget(new QLabel(tr("Password") + QLatin1Char(':')));
    passwordRow->addWidget(passwordEdit);
    // Kept under the combo box, however tall the page.
    passwordLayout->addLayout(passwordRow);
    passwordLayout->addStretch();
    modeStack->addWidget(passwordPanel);

    userTable->setObjectName(QStringLiteral("userTable"));
    userTable->setHorizontalHeaderLabels({tr("User"), tr("Password")});
    userTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    userTable->verticalHeader()->hide();
    getPasswords();
    connect(userTable, &QTableWidget::itemChanged, this, &ConfigPageAut::itemChanged);

    auto *add = new QPushButton(tr("Add user"));
    auto *remove = new QPushButton(tr("Remove user"));
    connect(add, &QPushButton::pressed, this, &ConfigPageAut::addUser);
    connect(remove, &QPushButton::pressed, this, &ConfigPageAut::removeUser);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);

    auto *usersPanel = new QWidget;
    auto *usersLayout = new QVBoxLayout(usersPanel);
    usersLayout->addWidget(userTable);
    usersLayout->addLayout(buttons);
    modeStack->addWidget(usersPanel);

    modeStack->setCurrentIndex(authMode);
}

void ConfigPageAut::authModeChanged(int index)
{
    modeStack->setCurrentIndex(index);
    conf->setParam(ParamAuthMode, index);
    Q_EMIT configChanged();
}

void ConfigPageAut::passwordChanged(const QString &password)
{
    conf->setParam(ParamPassword, password);
    Q_EMIT configChanged();
}

void ConfigPageAut::itemChanged(QTableWidgetItem *)
{
    setPasswords();
    Q_EMIT configChanged();
}

void ConfigPageAut::addUser()
{
    // The dialog appends the row; the table's itemChanged does the rest.
    UserDialog dialog(userTable, this);
    dialog.exec();
}

void ConfigPageAut::removeUser()
{
    const int row = userTable->currentRow();
    if (row >= 0)
        userTable->removeRow(row);
    setPasswords();
    Q_EMIT configChanged();
}

void ConfigPageAut::getPasswords()
{
    userTable->setRowCount(0);
    const QList<QString> users = conf->userList();
    for (const QString &entry : users) {
        // An entry without a colon (not written by this program) shows whole in both.
        const qsizetype colon = entry.indexOf(QLatin1Char(':'));
        const QString name = colon < 0 ? entry : entry.left(colon);
        const QString password = colon < 0 ? entry : entry.mid(colon + 1);
        const int row = userTable->rowCount();
        userTable->insertRow(row);
        userTable->setItem(row, 0, new QTableWidgetItem(name));
        userTable->setItem(row, 1, new QTableWidgetItem(password));
    }
}

void ConfigPageAut::setPasswords()
{
    QList<QString> users;
    for (int row = 0; row < userTable->rowCount(); ++row) {
        // A row being filled in has its name before its password.
        const QTableWidgetItem *name = userTable->item(row, 0);
        const QTableWidgetItem *password = userTable->item(row, 1);
        if (name && password)
            users.append(name->text() + QLatin1Char(':') + password->text());
    }
    conf->setUserList(users);
}
