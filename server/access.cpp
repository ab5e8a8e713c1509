#include "access.h"

#include "protocol.h"

#include <QHostAddress>

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

bool hostAccepted(const std::optional<QByteArray> &host, const QStringList &names)
{
    if (!host)
        return true;
    QByteArray name = host->toLower();
    if (name.startsWith('[')) // an IPv6 address, with or without a port
        return name.indexOf(']') > 0
            && !QHostAddress(QString::fromLatin1(name.mid(1, name.indexOf(']') - 1))).isNull();
    const qsizetype colon = name.lastIndexOf(':');
    if (colon >= 0)
        name.truncate(colon);
    if (name.endsWith('.'))
        name.chop(1);
    const QString text = QString::fromLatin1(name);
    return !QHostAddress(text).isNull() || text == QLatin1String("localhost")
        || names.contains(text, Qt::CaseInsensitive);
}

bool crossSite(const QByteArray &origin, const std::optional<QByteArray> &host, const QByteArray &fetchSite)
{
    if (fetchSite.compare(Http::FetchCrossSite, Qt::CaseInsensitive) == 0)
        return true;
    if (origin.isEmpty())
        return false;
    // "scheme://host[:port]", or "null" from a page that has no origin of its own.
    const qsizetype authority = origin.indexOf("://");
    return authority < 0 || !host || origin.mid(authority + 3).compare(*host, Qt::CaseInsensitive) != 0;
}

} // namespace Access
