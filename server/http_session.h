#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// What one connection's request brought, and what its answer needs to know of the browser's
// session. Every connection fills a record of its own, so parallel connections of one browser
// never see each other's request data; the session manager keeps only what lasts between
// requests.
class HTTP_Session
{
public:
    // A RequestParser::Method.
    int method = 0;
    QUrl url;
    QByteArray contentType;
    qint64 contentLength = 0;
    // The password of a login form. When the form sent none, SessionManager::updateSession
    // fills in the login stored for the browser's session, if there is one.
    QString password;
    // The id of the SessionId cookie (0: none). After updateSession, the stored session's id,
    // or a fresh id that is not stored (yet) when the cookie named no stored session.
    quint64 id = 0;

    // "SessionId=<id>" and its attributes, the value of the Set-Cookie line. The browser
    // keeps the cookie until it closes, so no expiry is sent; scripts of shared pages never
    // see it, and other sites' pages do not send it.
    QByteArray cookieValue() const;
};
