#include "filesender.h"

#include "databudget.h"
#include "limits.h"
#include "socketwait.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

namespace {

// The kernel's file copy has no "no signal" flag: a browser that went away would raise
// SIGPIPE and end the process. While this lives, the thread holds SIGPIPE back, and one
// raised meanwhile is taken off before the old mask returns, so the send just fails.
class SigpipeBlock
{
public:
    SigpipeBlock()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~SigpipeBlock()
    {
        if (sigismember(&m_old, SIGPIPE))
            return;
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE)) {
            const timespec now {};
            while (sigtimedwait(&m_pipe, nullptr, &now) < 0 && errno == EINTR) { }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigpipeBlock(const SigpipeBlock &) = delete;
    SigpipeBlock &operator=(const SigpipeBlock &) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_old;
};

} // namespace

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

void FileSender::send(QFile *file, qint64 length)
{
    const SigpipeBlock noSigpipe;
    qint64 offset = file->pos();
    const qint64 end = offset + qMin(length, file->size() - offset);
    const int source = file->handle();
    bool kernelCopy = source >= 0;
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
            if (file->pos() != offset && !file->seek(offset))
                break;
            buffer.resize(size);
            const qint64 got = file->read(buffer.data(), size);
            if (got <= 0)
                break;
            done = sendMemory(buffer.constData(), got);
        }
        offset += done;
        if (done < size)
            break;
    }
    file->close();
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
