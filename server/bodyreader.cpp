#include "bodyreader.h"

#include "databudget.h"
#include "limits.h"
#include "multipart.h"
#include "socketwait.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

BodyReader::BodyReader(DataBudget &budget, const std::atomic<bool> &stop, std::function<void(qint64)> counted)
    : m_budget(budget)
    , m_stop(stop)
    , m_counted(std::move(counted))
    , m_waitMs(Limits::UploadSilenceMs)
{ }

qint64 BodyReader::receive(char *data, qint64 maxSize)
{
    if (m_blockDue.isForever())
        m_blockDue.setRemainingTime(m_waitMs);

    for (;;) {
        if (m_stop || m_fd < 0)
            return 0;
        const ssize_t n = ::recv(m_fd, data, static_cast<size_t>(maxSize), MSG_DONTWAIT);
        if (n >= 0) {
            keepPace(n);
            return n;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        // Waits only for the block that is due.
        if (!SocketWait::until(m_fd, POLLIN, m_blockDue, m_stop))
            return 0;
    }
}

void BodyReader::keepPace(qint64 n)
{
    if (n <= 0)
        return;
    m_blockReceived += n;
    if (m_blockReceived >= Limits::BlockSize) {
        m_blockReceived = 0;
        m_blockDue.setRemainingTime(m_waitMs);
    }
}

QByteArray BodyReader::read(qint64 maxSize)
{
    const DataBudget::Piece piece = m_budget.take(qMin(maxSize, Limits::ReceiveChunk));
    if (piece.size() <= 0) {
        m_counted(0);
        return QByteArray();
    }
    QByteArray data(piece.size(), Qt::Uninitialized);
    const qint64 n = receive(data.data(), piece.size());
    if (n <= 0)
        return QByteArray();
    data.truncate(n);
    m_counted(n);
    return data;
}

bool BodyReader::skip(qint64 length)
{
    while (length > 0) {
        const QByteArray piece = read(length);
        if (piece.isEmpty())
            return false;
        length -= piece.size();
    }
    return true;
}

BodyReader::SaveResult BodyReader::ended() const
{
    return m_stop ? SaveResult::Stopped : SaveResult::Incomplete;
}

BodyReader::SaveResult BodyReader::save(QFile *file, const QByteArray &received, qint64 length,
                                        QByteArrayView delimiter)
{
    // The buffer holds one read behind the few bytes that might begin the delimiter.
    const qint64 holdMax = delimiter.size() - 1;
    QByteArray buffer(qMax<qint64>(Limits::ReceiveChunk, received.size()) + holdMax, Qt::Uninitialized);
    std::memcpy(buffer.data(), received.constData(), static_cast<size_t>(received.size()));
    qint64 filled = received.size();
    qint64 held = 0;
    bool found = false;
    for (;;) {
        if (!found && filled > 0) {
            const Multipart::Scan scan
                = Multipart::scan(QByteArrayView(buffer.constData(), filled), delimiter);
            if (scan.content > 0 && file->write(buffer.constData(), scan.content) != scan.content)
                return SaveResult::WriteFailed;
            found = scan.found;
            // What follows the delimiter is dropped; reads then land at the buffer's start.
            held = found ? 0 : filled - scan.content;
            std::memmove(buffer.data(), buffer.constData() + scan.content, static_cast<size_t>(held));
        }
        if (length == 0)
            break;
        const DataBudget::Piece piece = m_budget.take(qMin(length, Limits::ReceiveChunk));
        if (piece.size() <= 0) {
            m_counted(0);
            return ended();
        }
        const qint64 n = receive(buffer.data() + held, piece.size());
        if (n <= 0)
            return ended();
        m_counted(n);
        length -= n;
        filled = held + n;
    }
    return found ? SaveResult::Stored : SaveResult::NoDelimiter;
}
