#include "rawclient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <optional>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char LineEnd[] = "\r\n";
constexpr char HeadEnd[] = "\r\n\r\n";

// While a head is read, and after it, the client holds at most this much of an answer in
// its own buffer. The system's buffers of both ends still take a few MiB before a server
// that keeps sending finds its sends blocked. (Shrinking the system's receive buffer of
// the open connection as well made the rest of the answer crawl once reading resumed.)
constexpr qint64 HeadBufferSize = 64 * 1024;

// How often holdOpen() looks whether the server has ended the connection.
constexpr int HoldSliceMs = 20;

// Closing in order waits this long at most for our pending bytes to leave.
constexpr int CloseWaitMs = 1000;

int remainingMs(const QDeadlineTimer &deadline)
{
    return int(qMax<qint64>(0, deadline.remainingTime()));
}

// The value of a header line with this name (compared without case), if it has that name.
std::optional<QByteArray> valueOf(const QByteArray &line, QByteArrayView name)
{
    const qsizetype colon = line.indexOf(':');
    if (colon > 0 && QByteArrayView(line).first(colon).compare(name, Qt::CaseInsensitive) == 0)
        return line.mid(colon + 1).trimmed();
    return std::nullopt;
}

} // namespace

int RawResponse::statusCode() const
{
    const QList<QByteArray> parts = statusLine.split(' ');
    if (parts.size() < 2 || !parts.at(0).startsWith("HTTP/") || parts.at(1).size() != 3)
        return -1;
    bool ok = false;
    const int code = parts.at(1).toInt(&ok);
    return ok ? code : -1;
}

QByteArray RawResponse::header(QByteArrayView name) const
{
    for (const QByteArray &line : headerLines) {
        if (const std::optional<QByteArray> value = valueOf(line, name))
            return *value;
    }
    return QByteArray();
}

int RawResponse::headerCount(QByteArrayView name) const
{
    return int(std::count_if(headerLines.cbegin(), headerLines.cend(),
                             [name](const QByteArray &line) { return valueOf(line, name).has_value(); }));
}

RawResponse RawResponse::parse(const QByteArray &raw, End end)
{
    RawResponse response;
    response.raw = raw;
    response.end = end;

    const qsizetype headEnd = raw.indexOf(HeadEnd);
    response.headComplete = headEnd >= 0;
    const QByteArray head = response.headComplete ? raw.left(headEnd) : raw;
    if (response.headComplete)
        response.body = raw.mid(headEnd + qsizetype(sizeof HeadEnd) - 1);

    QList<QByteArray> lines;
    qsizetype from = 0;
    while (from < head.size()) {
        const qsizetype next = head.indexOf(LineEnd, from);
        if (next < 0) {
            lines.append(head.mid(from)); // a line cut off by the end of the answer
            break;
        }
        lines.append(head.mid(from, next - from));
        from = next + qsizetype(sizeof LineEnd) - 1;
    }
    if (!lines.isEmpty())
        response.statusLine = lines.takeFirst();
    response.headerLines = lines;
    return response;
}

RawClient::RawClient(Wait wait)
    : m_wait(wait)
{ }

RawClient::~RawClient()
{
    m_socket.abort();
    releaseProbe();
}

bool RawClient::connectTo(quint16 port, const QHostAddress &host, int timeoutMs)
{
    m_socket.abort();
    releaseProbe();
    m_received.clear();
    m_socket.setReadBufferSize(0);

    const QDeadlineTimer deadline(timeoutMs);
    m_socket.connectToHost(host, port);
    if (m_wait == Wait::Blocking) {
        m_socket.waitForConnected(timeoutMs);
    } else {
        while (m_socket.state() != QAbstractSocket::ConnectedState
               && m_socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
            waitForActivity(remainingMs(deadline));
    }
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        m_socket.abort();
        return false;
    }
    // Each chunk of sendChunks() leaves as its own segment.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_probe = ::fcntl(int(m_socket.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    return true;
}

bool RawClient::isOpen() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

bool RawClient::send(const QByteArray &bytes, int timeoutMs)
{
    if (!isOpen() || m_socket.write(bytes) != bytes.size())
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    while (m_socket.bytesToWrite() > 0) {
        if (!isOpen() || deadline.hasExpired())
            return false;
        if (m_wait == Wait::Blocking)
            m_socket.waitForBytesWritten(remainingMs(deadline));
        else
            waitForActivity(remainingMs(deadline));
    }
    return true;
}

bool RawClient::sendChunks(const QList<QByteArray> &chunks, int pauseMs, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        if (i > 0)
            pause(pauseMs);
        if (!send(chunks.at(i), remainingMs(deadline)))
            return false;
    }
    return true;
}

RawResponse RawClient::readToEnd(int timeoutMs)
{
    if (m_socket.state() == QAbstractSocket::UnconnectedState && m_probe < 0)
        return RawResponse::parse(m_received, RawResponse::End::NotConnected);

    m_socket.setReadBufferSize(0); // a head read before limited it
    const QDeadlineTimer deadline(timeoutMs);
    RawResponse::End end = RawResponse::End::TimedOut;
    for (;;) {
        takeAvailable();
        if (m_socket.state() == QAbstractSocket::UnconnectedState) {
            end = endOfLostConnection();
            break;
        }
        if (deadline.hasExpired())
            break;
        if (m_wait == Wait::Blocking)
            m_socket.waitForReadyRead(remainingMs(deadline));
        else
            waitForActivity(remainingMs(deadline));
    }
    takeAvailable();
    return RawResponse::parse(m_received, end);
}

RawResponse RawClient::readHead(int timeoutMs)
{
    if (m_socket.state() == QAbstractSocket::UnconnectedState && m_probe < 0)
        return RawResponse::parse(m_received, RawResponse::End::NotConnected);

    m_socket.setReadBufferSize(HeadBufferSize);
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        // Line by line, so not one byte of the body is taken.
        while (m_socket.canReadLine()) {
            m_received += m_socket.readLine();
            if (m_received.endsWith(HeadEnd)) {
                const RawResponse::End end = isOpen() ? RawResponse::End::Open : endOfLostConnection();
                return RawResponse::parse(m_received, end);
            }
        }
        if (m_socket.state() == QAbstractSocket::UnconnectedState) {
            takeAvailable();
            return RawResponse::parse(m_received, endOfLostConnection());
        }
        // A line longer than the buffer: it holds no line end, so it is all head.
        if (m_socket.bytesAvailable() >= HeadBufferSize)
            takeAvailable();
        if (deadline.hasExpired())
            return RawResponse::parse(m_received, RawResponse::End::TimedOut);
        if (m_wait == Wait::Blocking)
            m_socket.waitForReadyRead(remainingMs(deadline));
        else
            waitForActivity(remainingMs(deadline));
    }
}

bool RawClient::holdOpen(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        pause(qMin(HoldSliceMs, remainingMs(deadline)));
        if (!isOpen())
            return false;
        // The server's FIN or RST shows in the socket state before anything is read.
        tcp_info info {};
        socklen_t size = sizeof info;
        if (m_probe >= 0 && ::getsockopt(m_probe, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
            && info.tcpi_state != TCP_ESTABLISHED)
            return false;
    }
    return isOpen();
}

void RawClient::close()
{
    if (m_socket.state() == QAbstractSocket::ConnectedState) {
        m_socket.flush();
        m_socket.disconnectFromHost();
        if (m_socket.state() != QAbstractSocket::UnconnectedState) {
            if (m_wait == Wait::Blocking) {
                m_socket.waitForDisconnected(CloseWaitMs);
            } else {
                const QDeadlineTimer deadline(CloseWaitMs);
                while (m_socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
                    waitForActivity(remainingMs(deadline));
            }
        }
    }
    m_socket.abort();
    releaseProbe(); // the last descriptor: only now does the system end the connection
}

void RawClient::finishSending()
{
    if (isOpen()) {
        m_socket.flush();
        ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR);
    }
}

void RawClient::abort()
{
    if (m_probe >= 0) {
        const linger reset {1, 0};
        ::setsockopt(m_probe, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    m_socket.abort();
    releaseProbe();
}

RawResponse RawClient::exchange(quint16 port, const QByteArray &request, int timeoutMs,
                                const QHostAddress &host)
{
    const QDeadlineTimer deadline(timeoutMs);
    RawClient client;
    if (!client.connectTo(port, host, timeoutMs))
        return RawResponse::parse(QByteArray(), RawResponse::End::NotConnected);
    // A server may answer and close before taking the whole request; the read shows it.
    client.send(request, remainingMs(deadline));
    return client.readToEnd(remainingMs(deadline));
}

bool RawClient::waitForActivity(int ms)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&m_socket, &QIODevice::readyRead, &loop, &QEventLoop::quit);
    QObject::connect(&m_socket, &QIODevice::bytesWritten, &loop, &QEventLoop::quit);
    QObject::connect(&m_socket, &QAbstractSocket::stateChanged, &loop, &QEventLoop::quit);
    QObject::connect(&m_socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
    return timer.isActive();
}

void RawClient::pause(int ms)
{
    if (m_wait == Wait::Blocking) {
        QThread::msleep(ulong(ms));
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void RawClient::takeAvailable()
{
    m_received += m_socket.readAll();
}

RawResponse::End RawClient::endOfLostConnection() const
{
    // After the server's FIN our side waits in CLOSE_WAIT; a reset leaves it closed.
    tcp_info info {};
    socklen_t size = sizeof info;
    if (m_probe >= 0 && ::getsockopt(m_probe, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
        && info.tcpi_state == TCP_CLOSE)
        return RawResponse::End::Reset;
    return RawResponse::End::Closed;
}

void RawClient::releaseProbe()
{
    if (m_probe >= 0)
        ::close(m_probe);
    m_probe = -1;
}
