#include "filesender.h"

#include "databudget.h"
#include "limits.h"
#include "socketwait.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <cerrno>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

FileSender::FileSender(int fd, DataBudget &budget, const std::atomic<bool> &stop,
                       std::function<void(qint64)> counted)
    : m_fd(fd)
    , m_budget(budget)
    , m_stop(stop)
    , m_counted(std::move(counted))
{ }

qint64 FileSender::pump(qint64 len, const std::function<qint64(qint64 done)> &send)
{
    QDeadlineTimer deadline(Limits::SendWaitMs);
    qint64 done = 0;
    while (done < len) {
        const qint64 n = send(done);
        if (n > 0) {
            done += n;
            m_counted(n);
            deadline.setRemainingTime(Limits::SendWaitMs);
        } else if (n == 0) {
            break; // the source ran dry
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!SocketWait::until(m_fd, POLLOUT, deadline, m_stop))
                break;
        } else if ((errno == EINVAL || errno == ENOSYS) && done == 0) {
            return -1;
        } else {
            break; // the browser went away, or the socket was shut down under us
        }
    }
    return done;
}

void FileSender::send(int source, qint64 offset, qint64 length)
{
    const qint64 end = offset + length;
    bool kernelCopy = true;
    QByteArray buffer;

    while (offset < end) {
        const DataBudget::Piece piece = m_budget.take(qMin(end - offset, Limits::SendChunk));
        const qint64 size = piece.size();
        if (size <= 0) {
            m_counted(0);
            break;
        }
        qint64 done = 0;
        if (kernelCopy) {
            done = pump(size, [&](qint64 from) -> qint64 {
                off_t at = offset + from;
                return ::sendfile(m_fd, source, &at, static_cast<size_t>(size - from));
            });
            if (done < 0) {
                kernelCopy = false;
                continue;
            }
        } else {
            buffer.resize(size);
            const ssize_t got = ::pread(source, buffer.data(), static_cast<size_t>(size), offset);
            if (got <= 0)
                break;
            done = sendMemory(buffer.constData(), got);
        }
        offset += done;
        if (done < size)
            break;
    }
}

qint64 FileSender::sendMemory(const char *data, qint64 size)
{
    return pump(size, [&](qint64 from) -> qint64 {
        return ::send(m_fd, data + from, static_cast<size_t>(size - from), MSG_NOSIGNAL);
    });
}

void FileSender::send(const QByteArray &bytes)
{
    for (qint64 offset = 0; offset < bytes.size();) {
        const DataBudget::Piece piece = m_budget.take(qMin(bytes.size() - offset, Limits::SendChunk));
        if (piece.size() <= 0) {
            m_counted(0);
            return;
        }
        const qint64 done = sendMemory(bytes.constData() + offset, piece.size());
        if (done < piece.size())
            return;
        offset += done;
    }
}
