#include "client.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

QByteArray Reply::header(const char *name) const
{
    for (const QByteArray &line : headers) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && qstrnicmp(line.constData(), colon, name, qstrlen(name)) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

Client::Client(quint16 port, const char *from)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (from) {
        sockaddr_in source {};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &source.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source);
    }
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS)
        ended = true;
}

Client::~Client()
{
    ::close(fd);
}

bool Client::wait(short events, int ms)
{
    const QDeadlineTimer deadline(ms);
    do {
        // The server may be an object of this thread: its event loop must turn.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd entry {fd, events, 0};
        if (::poll(&entry, 1, 5) > 0)
            return true;
    } while (!deadline.hasExpired());
    return false;
}

bool Client::send(const QByteArray &bytes, int timeoutMs)
{
    for (qsizetype done = 0; done < bytes.size();) {
        if (!wait(POLLOUT, timeoutMs))
            return false;
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN)
            return false;
        done += qMax<ssize_t>(n, 0);
    }
    return true;
}

void Client::reset()
{
    const linger now {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(fd);
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
}

Reply Client::read(int timeoutMs, qint64 limit)
{
    const QDeadlineTimer deadline(timeoutMs);
    char buffer[64 * 1024];
    while (!ended && (limit < 0 || received.size() < limit)
           && wait(POLLIN, int(qMax<qint64>(0, deadline.remainingTime())))) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            received.append(buffer, n);
        else if (n == 0 || errno != EAGAIN)
            ended = true;
    }
    Reply reply;
    reply.raw = received;
    reply.closed = ended;
    const qsizetype headEnd = received.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = received.left(headEnd < 0 ? received.size() : headEnd).split('\n');
    for (const QByteArray &line : lines)
        reply.headers.append(line.endsWith('\r') ? line.chopped(1) : line);
    reply.statusLine = reply.headers.takeFirst();
    if (headEnd >= 0)
        reply.body = received.mid(headEnd + 4);
    return reply;
}

bool Client::openAfter(int ms)
{
    read(ms);
    return !ended;
}

Reply Client::exchange(quint16 port, const QByteArray &request, int timeoutMs, const char *from)
{
    Client client(port, from);
    client.send(request, timeoutMs);
    return client.read(timeoutMs);
}

quint16 Client::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any);
    return probe.serverPort();
}
