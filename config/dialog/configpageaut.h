#pragma once

#include "configpage.h"

class QLineEdit;
class QStackedWidget;
class QTableWidget;
class QTableWidgetItem;

// Settings page of access control: the mode, the one password of "Password only" and
// the users of "Basic HTTP".
class ConfigPageAut : public ConfigPage
{
    Q_OBJECT

public:
    explicit ConfigPageAut(QWidget *parent);

private Q_SLOTS:
    void authModeChanged(int index);
    void passwordChanged(const QString &password);
    // A cell was set or edited: the user list is rebuilt from the table.
    void itemChanged(QTableWidgetItem *item);
    void addUser();
    // Removes the row of the current cell, if there is one.
    void removeUser();

private:
    // User list of the working copy to table, one row per entry, split at the first colon.
    void getPasswords();
    // Table to user list: each complete row becomes "name:password".
    void setPasswords();

    QLineEdit *passwordEdit;
    QStackedWidget *modeStack;
    QTableWidget *userTable;
};
