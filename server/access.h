#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Who may have an answer, by access mode. Secrets are compared in constant time.
namespace Access {

bool equalsConstantTime(const QString &a, const QString &b);

// Mode "Password only": the password the browser logged in with against the configured one.
// An empty configured password lets every browser in.
bool passwordAccepted(const QString &sessionPassword, const QString &configured);

// Mode "Basic": the request's "user:password" against the user table; an empty table, or
// a request without credentials, lets nobody in.
bool basicAccepted(const QString &credentials, bool hasCredentials, const QList<QString> &users);

/*!
    Whether a request's Host value names this server: an IP address, "localhost", or one of
    \a names (in any letter case), with or without a port. A page on the internet whose
    name was made to resolve to this machine sends its own name, and is refused. A request
    without Host (HTTP/1.0) is accepted.
*/
bool hostAccepted(const std::optional<QByteArray> &host, const QStringList &names);

/*!
    Whether a form post was made by a page of another site: its Origin names another host
    than the request's own, or its Sec-Fetch-Site says "cross-site".
*/
bool crossSite(const QByteArray &origin, const std::optional<QByteArray> &host, const QByteArray &fetchSite);

} // namespace Access
