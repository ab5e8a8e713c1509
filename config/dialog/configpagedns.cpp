#include "configpagedns.h"

#include "app/linklabel.h"
#include "config/configuration.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

ConfigPageDNS::ConfigPageDNS(QWidget *parent)
    : ConfigPage(parent)
    , userEdit(new QLineEdit(conf->getParam(ParamDnsUser)))
    , passEdit(new QLineEdit(conf->getParam(ParamDnsPass)))
{
    auto *enabled = new QCheckBox(tr("Enable DNS Service"));
    enabled->setObjectName(QStringLiteral("dnsBox"));
    enabled->setChecked(conf->getParam(ParamDnsEnabled, ReadDefault::DnsEnabled) != 0);
    userEdit->setObjectName(QStringLiteral("userEdit"));
    // The account stays editable while the service is off, and its password is shown
    // as typed.
    passEdit->setObjectName(QStringLiteral("passEdit"));

    connect(enabled, &QCheckBox::stateChanged, this, &ConfigPageDNS::dnsChanged);
    connect(userEdit, &QLineEdit::textChanged, this, &ConfigPageDNS::userChanged);
    connect(passEdit, &QLineEdit::textChanged, this, &ConfigPageDNS::passChanged);

    auto *userRow = new QHBoxLayout;
    userRow->addWidget(new QLabel(tr("User:")));
    userRow->addWidget(userEdit);
    auto *passRow = new QHBoxLayout;
    passRow->addWidget(new QLabel(tr("Password:")));
    passRow->addWidget(passEdit);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(helpLabel(tr("DNS Configuration"), QStringLiteral("dns")));
    layout->addWidget(enabled);
    layout->addLayout(userRow);
    layout->addLayout(passRow);
    layout->addStretch();
}

void ConfigPageDNS::dnsChanged(int state)
{
    conf->setParam(ParamDnsEnabled, state != Qt::Unchecked ? 1 : 0);
    Q_EMIT configChanged();
}

void ConfigPageDNS::userChanged(const QString &user)
{
    conf->setParam(ParamDnsUser, user);
    Q_EMIT configChanged();
}

void ConfigPageDNS::passChanged(const QString &password)
{
    conf->setParam(ParamDnsPass, password);
    Q_EMIT configChanged();
}
