#include "tarnwicksocket.h"

#include "filesender.h"
#include "limits.h"
#include "socketwait.h"

#include <QFile>

#include <poll.h>

std::atomic<qint64> TarnwickSocket::Sent {0};
std::atomic<qint64> TarnwickSocket::Received {0};
std::atomic<qint64> TarnwickSocket::Limit {0};
std::atomic<bool> TarnwickSocket::stop {false};
DataBudget TarnwickSocket::budget(Sent, Received, Limit, stop);

TarnwickSocket::TarnwickSocket(QObject *parent)
    : QTcpSocket(parent)
    , body(*this, budget, stop, [this](qint64 n) { count(Received, n); })
{ }

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

QByteArray TarnwickSocket::read(qint64 maxSize)
{
    if (isStopped())
        return QByteArray();
    const QByteArray data = QIODevice::read(maxSize);
    count(Received, data.size());
    return data;
}

qint64 TarnwickSocket::write(const char *text)
{
    return write(text, qstrlen(text));
}

qint64 TarnwickSocket::write(const char *data, qint64 len)
{
    if (isStopped())
        return 0;
    const qint64 n = QIODevice::write(data, len);
    count(Sent, n);
    return n;
}

qint64 TarnwickSocket::write(const QByteArray &data)
{
    return write(data.constData(), data.size());
}

qint64 TarnwickSocket::writeAfterStop(const QByteArray &data)
{
    const qint64 n = QIODevice::write(data);
    count(Sent, n);
    return n;
}

void TarnwickSocket::drain(qint64 maxBytes, const QDeadlineTimer &deadline)
{
    char sink[16 * 1024];
    while (maxBytes > 0 && !deadline.hasExpired() && state() == QAbstractSocket::ConnectedState) {
        if (QIODevice::bytesAvailable() == 0 && !waitForReadyRead(int(deadline.remainingTime())))
            break;
        const qint64 n = QIODevice::read(sink, qMin<qint64>(sizeof sink, maxBytes));
        if (n < 0)
            break;
        count(Received, n);
        maxBytes -= n;
    }
}

qint64 TarnwickSocket::writeTranslatedUtf8(const QByteArray &text)
{
    if (isStopped())
        return 0;
    return write(tr(text.constData()).toUtf8());
}

bool TarnwickSocket::atEnd() const
{
    return isStopped() || QTcpSocket::atEnd();
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

bool TarnwickSocket::flushPending(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (bytesToWrite() > 0) {
        // A write error makes Qt drop the connection.
        const int fd = static_cast<int>(socketDescriptor());
        if (fd < 0)
            return false;
        if (!flush() && !SocketWait::until(fd, POLLOUT, deadline, stop))
            return false;
    }
    return socketDescriptor() >= 0;
}

void TarnwickSocket::sendFile(int fd, qint64 offset, qint64 length)
{
    if (isStopped() || !flushPending(Limits::SendWaitMs))
        return;
    FileSender sender(static_cast<int>(socketDescriptor()), budget, stop,
                      [this](qint64 n) { count(Sent, n); });
    sender.send(fd, offset, length);
}

void TarnwickSocket::sendBytes(const QByteArray &bytes)
{
    if (isStopped() || !flushPending(Limits::SendWaitMs))
        return;
    FileSender sender(static_cast<int>(socketDescriptor()), budget, stop,
                      [this](qint64 n) { count(Sent, n); });
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
