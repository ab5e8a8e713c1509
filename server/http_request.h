#pragma once

#include "limits.h"
#include "multipart.h"
#include "sessionmanager.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class HTTP_Session;
class TarnwickSocket;

// One request of one connection: reads the request head (and a login form body) from
// the connection's counted socket into the connection's own record, and joins the
// record to the browser's stored session.
class HTTP_Request : public QObject
{
    Q_OBJECT

public:
    HTTP_Request();
    ~HTTP_Request() override;

    // Ready for the next connection of the thread: nothing of the last one is left; a
    // body must keep the pace of a block within every bodyWaitMs.
    void reset(int bodyWaitMs);
    // The connection is over: its browser's session is released.
    void finish();

    // Reads one request head, and a login form's body, within waitMs however slowly they
    // come. False when there is no usable request: nothing complete arrived in time, the
    // head is malformed or too large, or the method is neither GET nor POST (nor HEAD, when
    // headAllowed). A body other than a login form stays unread, but for what came with the
    // head (bodyAhead).
    bool start(int waitMs = Limits::RequestWaitMs, bool headAllowed = false);

    // Tells a client that waits before sending its body to go on; once per request, and
    // only when it asked.
    void sendContinue();

    // Reads the first part header of an upload body within the body's announced length,
    // at the pace every body must keep (TarnwickSocket::readBody). When Complete, bodyStart
    // holds the content bytes that came with it and the session's contentLength the
    // rest of the body still in the socket; Incomplete means the browser went away or
    // fell behind.
    Multipart::PartHeadResult readPartHead(const QByteArray &boundary);

    // Readies the connection for its close once the answer is written: when the browser may
    // still be sending, shuts down the sending side and drains what comes (so the close
    // does not reset the connection), for at most Limits::DisconnectWaitMs. Once the server
    // has stopped, a browser still sending its body is to get a reset instead.
    void endAnswer();

    // The connection's own record: the request's data, and after start() the browser's
    // session id (a fresh one when it brought none the server knows) and its login.
    HTTP_Session *session;
    TarnwickSocket *socket;

    // The decoded Basic credentials, "user:password", when the request carried them.
    QString credentials;
    bool hasCredentials = false;
    // The request was a form post that carried a password field.
    bool sentPassword = false;
    // The request's Host, Origin and Sec-Fetch-Site values.
    std::optional<QByteArray> host;
    QByteArray origin;
    QByteArray fetchSite;
    // The request's Range value, and whether it came with an If-Range.
    QByteArray range;
    bool hasIfRange = false;
    // The first bytes of an upload's file, read with its part header.
    QByteArray bodyStart;
    // The first bytes of a body, read with the head.
    QByteArray bodyAhead;
    // Bytes of the announced body not read yet; the reader of the rest sets it to 0.
    qint64 unreadBody = 0;
    // The connection was given its answer after the server stopped.
    bool answeredAfterStop = false;

    static SessionManager sessionManager;

private:
    bool merged = false;
    // The request head was read whole.
    bool headRead = false;
    bool expectsContinue = false;
};
