#include "http_session.h"

#include "server/protocol.h"

QByteArray HTTP_Session::cookieValue() const
{
    return QByteArray(Http::SessionCookie) + '=' + QByteArray::number(id) + Http::CookieAttributes;
}
