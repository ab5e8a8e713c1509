#include "hostaddresses.h"

#include "config/configuration.h"
#include "outsideservices.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QSysInfo>

QStringList hostNames(const Configuration *settings)
{
    const QString name = QSysInfo::machineHostName();
    QStringList names {name, name + QLatin1String(".local")};
    const QString domain = QHostInfo::localDomainName();
    if (!domain.isEmpty())
        names.append(name + QLatin1Char('.') + domain);
    if (settings->getParam(ParamDnsEnabled, ReadDefault::DnsEnabled) == 1)
        names.append(OutsideServices::dnsHostName(settings->getParam(ParamDnsUser)));
    return names;
}

QList<AddressEntry> interfaceEntries()
{
    QList<AddressEntry> entries;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QList<QNetworkAddressEntry> addresses = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : addresses)
            entries.append({entry.ip(), entry.broadcast()});
    }
    return entries;
}

QStringList listenAddresses(const QList<AddressEntry> &entries)
{
    const QHostAddress loopback(QHostAddress::LocalHost);
    QStringList addresses;
    for (const AddressEntry &entry : entries) {
        if (entry.broadcast.isNull() || entry.ip == loopback)
            continue;
        const QString text = entry.ip.toString();
        if (!addresses.contains(text))
            addresses.append(text);
    }
    if (addresses.isEmpty())
        addresses.append(loopback.toString());
    return addresses;
}
