#pragma once

#include <QDialog>

class QLineEdit;
class QTableWidget;

// Asks for the name and password of a new Basic-authentication user and appends them
// as a row of the users table. The caller runs it.
class UserDialog : public QDialog
{
    Q_OBJECT

public:
    UserDialog(QTableWidget *table, QWidget *parent);

private Q_SLOTS:
    // Adds the row and closes; with an empty name or password the dialog stays open.
    void oK();

private:
    QTableWidget *table;
    QLineEdit *userEdit;
    QLineEdit *passEdit;
};
