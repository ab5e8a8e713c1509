#include "hostaddresses.h"

#include <QNetworkInterface>

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
