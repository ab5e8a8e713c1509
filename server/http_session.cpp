#include "http_session.h"

#include "server/protocol.h"

QByteArray HTTP_Session::cookieValue() const
{
    return QByteArray(Http::SessionCookie) + '=' + QByteArray::number(id);
}

void HTTP_Session::setCookie(const QList<QNetworkCookie> &list)
{
    for (const QNetworkCookie &cookie : list) {
        if (cookie.name() != Http::SessionCookie)
            continue;
        bool ok = false;
        const quint64 value = cookie.value().toULongLong(&ok);
        // Only the exact text the server writes names a session.
        id = ok && QByteArray::number(value) == cookie.value() ? value : 0;
        return;
    }
}
