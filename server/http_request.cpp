#include "http_request.h"

#include "http_session.h"
#include "limits.h"
#include "protocol.h"
#include "requestparser.h"
#include "sessionmanager.h"
#include "tarnwicksocket.h"

#include <QDeadlineTimer>

#include <sys/ioctl.h>
#include <sys/socket.h>

SessionManager HTTP_Request::sessionManager;

namespace {

const char FormType[] = "application/x-www-form-urlencoded";

// Follows the lines of a head as its bytes arrive, to tell when parsing it again can give
// a new verdict: its empty line has come, or it has outgrown a bound. Parsing only then
// keeps a head trickled a byte at a time as cheap as one sent at once.
class HeadWatch
{
public:
    // Looks at the bytes of head from 'from' on; true when the head is due for parsing.
    bool arrived(const QByteArray &head, qsizetype from)
    {
        bool ended = false;
        for (qsizetype feed = head.indexOf('\n', from); feed >= 0; feed = head.indexOf('\n', feed + 1)) {
            const qsizetype length = feed - lineStart;
            const bool empty = length == 0 || (length == 1 && head.at(lineStart) == '\r');
            // Line ends ahead of the request line are skipped, not taken for the head's end.
            if (empty && sawLine)
                ended = true;
            sawLine = sawLine || !empty;
            lineStart = feed + 1;
        }
        return ended || head.size() - lineStart > Limits::MaxHeadLine || head.size() >= Limits::MaxHeadSize;
    }

private:
    qsizetype lineStart = 0;
    bool sawLine = false;
};

} // namespace

HTTP_Request::HTTP_Request()
    : session(new HTTP_Session)
    , socket(new TarnwickSocket(this))
{ }

HTTP_Request::~HTTP_Request()
{
    finish();
    delete session;
}

void HTTP_Request::reset(int bodyWaitMs)
{
    finish();
    *session = HTTP_Session();
    credentials.clear();
    hasCredentials = false;
    sentPassword = false;
    host.reset();
    origin.clear();
    fetchSite.clear();
    range.clear();
    hasIfRange = false;
    bodyStart.clear();
    bodyAhead.clear();
    unreadBody = 0;
    answeredAfterStop = false;
    headRead = false;
    expectsContinue = false;
    socket->reset(bodyWaitMs);
}

void HTTP_Request::finish()
{
    if (merged)
        sessionManager.release(session->id);
    merged = false;
}

bool HTTP_Request::start(int waitMs, bool headAllowed)
{
    if (!socket->isOpen())
        return false;

    // The whole head, up to its empty line, however it is split into segments. The first
    // bytes are parsed at once, since they may already show they are no request.
    const QDeadlineTimer deadline(waitMs);
    QByteArray received;
    HeadWatch watch;
    RequestParser::ParseResult parsed;
    for (;;) {
        const qsizetype before = received.size();
        const QByteArray part = socket->read(Limits::MaxHeadSize + 1 - before, deadline);
        if (part.isEmpty())
            return false;
        received += part;
        // A head completed by the read that reached the data limit still counts: an upload
        // is then told that nothing was kept.
        if (watch.arrived(received, before) || before == 0)
            parsed = RequestParser::parseHead(received, headAllowed);
        if (parsed.status == RequestParser::Status::Complete)
            break;
        if (TarnwickSocket::isStopped() || parsed.status != RequestParser::Status::Incomplete)
            return false;
    }
    headRead = true;

    const RequestParser::RequestHead &head = parsed.head;
    session->method = head.method;
    session->url = head.url;
    session->contentType = head.contentType;
    // Only a post has a body worth reading; a body sent with a GET stays unread.
    session->contentLength = head.method == RequestParser::Post ? head.contentLength : 0;
    session->id = head.sessionId;
    credentials = head.credentials;
    hasCredentials = head.hasCredentials;
    host = head.host;
    origin = head.origin;
    fetchSite = head.fetchSite;
    range = head.range;
    hasIfRange = head.hasIfRange;
    expectsContinue = head.expectContinue;
    // What came of the body with the head; the rest is still in the socket.
    bodyAhead = received.mid(parsed.headSize, session->contentLength);
    unreadBody = head.contentLength - bodyAhead.size();

    if (head.method == RequestParser::Post && head.contentType.startsWith(FormType)
        && head.contentLength <= Limits::MaxFormBody) {
        sendContinue();
        QByteArray body = bodyAhead;
        while (body.size() < head.contentLength) {
            const QByteArray part = socket->read(head.contentLength - body.size(), deadline);
            if (part.isEmpty())
                return false;
            body += part;
        }
        session->password = RequestParser::formField(body, Http::PasswordField);
        sentPassword = !session->password.isEmpty();
        session->contentLength = 0;
        unreadBody = 0;
    }

    sessionManager.updateSession(session);
    merged = true;
    return true;
}

void HTTP_Request::sendContinue()
{
    if (!expectsContinue)
        return;
    expectsContinue = false;
    socket->write(QByteArray(Http::Version) + Http::StatusContinue + Http::Crlf + Http::Crlf);
}

Multipart::PartHeadResult HTTP_Request::readPartHead(const QByteArray &boundary)
{
    // At the pace of a body, within its announced length.
    const qint64 window = qMin<qint64>(session->contentLength, Limits::MaxPartHead + 1);
    QByteArray received = bodyAhead;
    const qsizetype ahead = bodyAhead.size();
    Multipart::PartHeadResult part;
    for (;;) {
        part = Multipart::parsePartHead(received, boundary);
        if (part.status != Multipart::Status::Incomplete)
            break;
        // The body ended, or the bound was reached, and the part header still has no end.
        if (received.size() >= window) {
            part.status = Multipart::Status::Bad;
            break;
        }
        const QByteArray more = socket->readBody(window - received.size());
        if (more.isEmpty())
            return part;
        received += more;
    }
    if (part.status == Multipart::Status::Complete) {
        bodyStart = received.mid(part.size);
        session->contentLength -= received.size();
        unreadBody -= received.size() - ahead;
    }
    return part;
}

void HTTP_Request::endAnswer()
{
    if (!socket->isOpen())
        return;
    const int fd = socket->socketDescriptor();
    // A stop shuts the reading side, and from then on the system no longer opens the
    // window of a browser that may still be sending its request: closed in order, the
    // browser would wait for room until it gives up. A reset tells it at once, unless it
    // was given a last answer that the reset would overtake.
    if (TarnwickSocket::isStopped() && !answeredAfterStop && (!headRead || unreadBody > 0)) {
        const linger reset {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        return;
    }

    // A browser still sending a body would take a plain close as a reset and lose the
    // answer; after our FIN it reads the answer, and we read what it still sends, up to a
    // bound: a client that keeps sending is cut off with a reset. A browser that sent its
    // request whole and nothing after it is closed in order at once.
    int unread = 0;
    if (headRead && unreadBody == 0 && ::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0)
        return;
    ::shutdown(fd, SHUT_WR);
    socket->drain(Limits::MaxDrain, QDeadlineTimer(Limits::DisconnectWaitMs));
}
