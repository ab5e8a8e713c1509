#pragma once

#include <QHostAddress>
#include <QList>
#include <QStringList>

// One address entry of a network interface, as far as the address list cares.
struct AddressEntry
{
    QHostAddress ip;
    QHostAddress broadcast;
};

// The address entries of every interface of this machine, in the order the system lists
// them. Interface state flags are not looked at.
QList<AddressEntry> interfaceEntries();

class Configuration;

// The names besides its addresses by which browsers may reach this machine: its host name,
// with its domain and with ".local", and the dynamic-DNS host name when that is enabled.
QStringList hostNames(const Configuration *settings);

// Where browsers can reach the server: each entry with a broadcast address (this leaves
// out IPv6 and point-to-point entries) that is not the IPv4 loopback address, in order,
// each address once; 127.0.0.1 alone when nothing else is left.
QStringList listenAddresses(const QList<AddressEntry> &entries);
