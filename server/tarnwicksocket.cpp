#include "tarnwicksocket.h"

#include "filesender.h"
#include "limits.h"
#include "socketwait.h"

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<qint64> TarnwickSocket::Sent {0};
std::atomic<qint64> TarnwickSocket::Received {0};
std::atomic<qint64> TarnwickSocket::Limit {0};
std::atomic<bool> TarnwickSocket::stop {false};
DataBudget TarnwickSocket::budget(Sent, Received, Limit, stop);

namespace {

// What a read takes at most in one go; a request head is read in a few of these at most.
constexpr qint64 ReadPiece = 16 * 1024;

// For the writes that go on after a stop.
const std::atomic<bool> never {false};

} // namespace

TarnwickSocket::TarnwickSocket(QObject *parent)
    : QObject(parent)
    , body(budget, stop, [this](qint64 n) { count(Received, n); })
{ }

TarnwickSocket::~TarnwickSocket()
{
    abort();
}

void TarnwickSocket::Start()
{
    stop = false;
}

void TarnwickSocket::Stop()
{
    stop = true;
}

bool TarnwickSocket::isStopped()
{
    return stop;
}

void TarnwickSocket::open(int fd)
{
    abort();
    m_fd = fd;
    body.setDescriptor(fd);
}

void TarnwickSocket::abort()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    body.setDescriptor(-1);
}

QHostAddress TarnwickSocket::localAddress(quint16 *port) const
{
    sockaddr_storage address {};
    socklen_t size = sizeof address;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return QHostAddress();
    if (address.ss_family == AF_INET)
        *port = ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    else if (address.ss_family == AF_INET6)
        *port = ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
    return QHostAddress(reinterpret_cast<sockaddr *>(&address));
}

QByteArray TarnwickSocket::read(qint64 maxSize, const QDeadlineTimer &deadline)
{
    QByteArray data(qMin(maxSize, ReadPiece), Qt::Uninitialized);
    // A browser sends its request as soon as it has connected, so the thread that accepted
    // the connection often finds it a moment early: it gives way once before it sleeps,
    // which spares a sleep and a wake-up when the request comes meanwhile.
    bool gaveWay = false;
    for (;;) {
        if (isStopped() || m_fd < 0 || data.isEmpty())
            return QByteArray();
        const ssize_t n = ::recv(m_fd, data.data(), size_t(data.size()), MSG_DONTWAIT);
        if (n > 0) {
            data.truncate(n);
            count(Received, n);
            return data;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && !gaveWay) {
            gaveWay = true;
            sched_yield();
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)
            || !SocketWait::until(m_fd, POLLIN, deadline, stop))
            return QByteArray();
    }
}

qint64 TarnwickSocket::write(const char *text)
{
    return write(text, qstrlen(text));
}

qint64 TarnwickSocket::write(const char *data, qint64 len)
{
    if (isStopped())
        return 0;
    return sendAll(data, len, stop);
}

qint64 TarnwickSocket::write(const QByteArray &data)
{
    return write(data.constData(), data.size());
}

qint64 TarnwickSocket::writeHeader(const QByteArray &header)
{
    if (isStopped())
        return 0;
    return sendAll(header.constData(), header.size(), stop, MSG_MORE);
}

qint64 TarnwickSocket::writeAfterStop(const QByteArray &data)
{
    return sendAll(data.constData(), data.size(), never);
}

qint64 TarnwickSocket::sendAll(const char *data, qint64 len, const std::atomic<bool> &until, int flags)
{
    const QDeadlineTimer deadline(Limits::SendWaitMs);
    qint64 done = 0;
    while (done < len && m_fd >= 0) {
        const ssize_t n = ::send(m_fd, data + done, size_t(len - done), flags | MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)
            && SocketWait::until(m_fd, POLLOUT, deadline, until))
            continue;
        break;
    }
    count(Sent, done);
    return done;
}

void TarnwickSocket::drain(qint64 maxBytes, const QDeadlineTimer &deadline)
{
    char sink[16 * 1024];
    while (maxBytes > 0 && m_fd >= 0) {
        const ssize_t n = ::recv(m_fd, sink, size_t(qMin<qint64>(sizeof sink, maxBytes)), MSG_DONTWAIT);
        if (n > 0) {
            count(Received, n);
            maxBytes -= n;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            break;
        } else if (errno != EINTR && !SocketWait::until(m_fd, POLLIN, deadline, never)) {
            break;
        }
    }
}

void TarnwickSocket::count(std::atomic<qint64> &total, qint64 n)
{
    if (n > 0)
        total += n;
    if (&total == &Sent)
        sent += qMax<qint64>(n, 0);
    checkLimit();
}

void TarnwickSocket::checkLimit()
{
    const qint64 limit = Limit;
    if (limit < 1 || Sent + Received < limit)
        return;
    // Many threads may cross the limit together; only the one that sets the flag speaks.
    bool wasStopped = false;
    if (stop.compare_exchange_strong(wasStopped, true))
        Q_EMIT dataLimit();
}

void TarnwickSocket::sendFile(int fd, qint64 offset, qint64 length)
{
    if (isStopped() || m_fd < 0)
        return;
    FileSender sender(m_fd, budget, stop, [this](qint64 n) { count(Sent, n); });
    sender.send(fd, offset, length);
}

void TarnwickSocket::sendBytes(const QByteArray &bytes)
{
    if (isStopped() || m_fd < 0)
        return;
    FileSender sender(m_fd, budget, stop, [this](qint64 n) { count(Sent, n); });
    sender.send(bytes);
}

QByteArray TarnwickSocket::readBody(qint64 maxSize)
{
    return body.read(maxSize);
}

TarnwickSocket::SaveResult TarnwickSocket::saveFile(QFile *file, const QByteArray &received, qint64 length,
                                                    QByteArrayView delimiter)
{
    return body.save(file, received, length, delimiter);
}
