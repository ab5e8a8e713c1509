#pragma once

#include "configpage.h"

class QLineEdit;

// Settings page of the dynamic-DNS update: on or off, and the account.
class ConfigPageDNS : public ConfigPage
{
    Q_OBJECT

public:
    explicit ConfigPageDNS(QWidget *parent);

private Q_SLOTS:
    void dnsChanged(int state);
    void userChanged(const QString &user);
    void passChanged(const QString &password);

private:
    QLineEdit *userEdit;
    QLineEdit *passEdit;
};
