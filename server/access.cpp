#include "access.h"

namespace Access {

bool equalsConstantTime(const QString &a, const QString &b)
{
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    // The time depends only on the length of the offered text, not on where it differs.
    unsigned char diff = x.size() == y.size() ? 0 : 1;
    for (qsizetype i = 0; i < x.size(); ++i)
        diff |= static_cast<unsigned char>(x[i] ^ (y.isEmpty() ? 0 : y[i % y.size()]));
    return diff == 0;
}

bool passwordAccepted(const QString &sessionPassword, const QString &configured)
{
    if (configured.isEmpty())
        return true;
    return equalsConstantTime(sessionPassword, configured);
}

bool basicAccepted(const QString &credentials, bool hasCredentials, const QList<QString> &users)
{
    if (!hasCredentials)
        return false;
    bool accepted = false;
    for (const QString &entry : users)
        accepted |= equalsConstantTime(credentials, entry);
    return accepted;
}

} // namespace Access
