#pragma once

#include <QList>
#include <QString>

// Who may have an answer, by access mode. Secrets are compared in constant time.
namespace Access {

bool equalsConstantTime(const QString &a, const QString &b);

// Mode "Password only": the password the browser logged in with against the configured one.
// An empty configured password lets every browser in.
bool passwordAccepted(const QString &sessionPassword, const QString &configured);

// Mode "Basic": the request's "user:password" against the user table; an empty table, or
// a request without credentials, lets nobody in.
bool basicAccepted(const QString &credentials, bool hasCredentials, const QList<QString> &users);

} // namespace Access
