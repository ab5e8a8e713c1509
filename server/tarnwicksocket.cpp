#include "tarnwicksocket.h"

#include "server/limits.h"
#include "server/multipart.h"
#include "server/protocol.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

std::atomic<qint64> TarnwickSocket::Sent {0};
std::atomic<qint64> TarnwickSocket::Received {0};
std::atomic<qint64> TarnwickSocket::Limit {0};
std::atomic<bool> TarnwickSocket::stop {false};

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

// Waits until the socket can take more bytes (POLLOUT) or has some (POLLIN). False when
// the deadline passes, the socket fails, or the stop flag is set (looked at every
// Limits::StopCheckMs). A hang-up counts as readable, so that the read sees the end.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        if (TarnwickSocket::isStopped() || deadline.hasExpired())
            return false;
        pollfd entry {fd, events, 0};
        const int slice = static_cast<int>(qMin<qint64>(deadline.remainingTime(), Limits::StopCheckMs));
        const int ready = ::poll(&entry, 1, slice);
        if (ready > 0) {
            if (events == POLLIN)
                return !(entry.revents & POLLNVAL);
            return !(entry.revents & (POLLERR | POLLHUP | POLLNVAL));
        }
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// Under a data limit: the bytes promised to pieces under way in all threads that the totals
// do not show yet. The totals alone lag behind what the other threads are moving, and pieces
// sized by them could together carry far past the limit.
std::atomic<qint64> promised {0};

// How often a transfer that waits for room below the data limit looks again.
constexpr int RoomCheckMs = 1;

// Gives a piece's promise back once its bytes are counted, or it ended early.
class Promise
{
public:
    explicit Promise(qint64 bytes)
        : m_bytes(bytes)
    { }
    ~Promise() { promised -= m_bytes; }
    Promise(const Promise &) = delete;
    Promise &operator=(const Promise &) = delete;

private:
    qint64 m_bytes;
};

} // namespace

TarnwickSocket::TarnwickSocket(QObject *parent)
    : QTcpSocket(parent)
    , bodyWaitMs(Limits::UploadSilenceMs)
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
    if (n <= 0)
        return;
    total += n;
    checkLimit();
}

TarnwickSocket::Piece TarnwickSocket::nextPiece(qint64 left, qint64 chunk)
{
    const qint64 wanted = qMin(left, chunk);
    const QDeadlineTimer deadline(Limits::SendWaitMs);
    for (;;) {
        if (isStopped())
            return {};
        const qint64 limit = Limit;
        if (limit < 1)
            return {wanted, 0};
        qint64 before = promised;
        const qint64 room = limit - (Sent + Received) - before;
        if (room > 0) {
            // All of it while there is room, else up to the end of the block that reaches
            // the limit; once that is promised, the room is gone for everyone.
            const qint64 blocks = (room + Limits::BlockSize - 1) / Limits::BlockSize;
            const qint64 piece = qMin(wanted, blocks * Limits::BlockSize);
            if (promised.compare_exchange_weak(before, before + piece))
                return {piece, piece};
            continue;
        }
        if (before == 0) {
            // Nothing under way: the totals are at the limit already, through bytes counted
            // without a check.
            checkLimit();
            return {};
        }
        // The room left is promised to other pieces. They end soon: in the limit, or with
        // what they did not move given back.
        if (deadline.hasExpired())
            return {};
        QThread::msleep(RoomCheckMs);
    }
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
        if (!flush() && !waitFor(fd, POLLOUT, deadline))
            return false;
    }
    return socketDescriptor() >= 0;
}

qint64 TarnwickSocket::pump(qint64 len, const std::function<qint64(qint64 done)> &send)
{
    const int fd = static_cast<int>(socketDescriptor());
    QDeadlineTimer deadline(Limits::SendWaitMs);
    qint64 done = 0;
    while (done < len) {
        const qint64 n = send(done);
        if (n > 0) {
            done += n;
            count(Sent, n);
            deadline.setRemainingTime(Limits::SendWaitMs);
        } else if (n == 0) {
            break; // the source ran dry
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLOUT, deadline))
                break;
        } else if ((errno == EINVAL || errno == ENOSYS) && done == 0) {
            return -1;
        } else {
            break; // the browser went away, or the socket was shut down under us
        }
    }
    return done;
}

void TarnwickSocket::sendFile(QFile *file)
{
    if (isStopped() || !flushPending(Limits::SendWaitMs)) {
        file->close();
        return;
    }

    const SigpipeBlock noSigpipe;
    const int fd = static_cast<int>(socketDescriptor());
    const qint64 end = file->size();
    qint64 offset = file->pos();
    // The kernel copies from page cache to socket; a file it cannot copy from (a resource,
    // a pipe) goes through this buffer instead.
    const int source = file->handle();
    bool kernelCopy = source >= 0;
    QByteArray buffer;

    while (offset < end) {
        const Piece next = nextPiece(end - offset, Limits::SendChunk);
        const Promise promise(next.promise);
        const qint64 piece = next.size;
        if (piece <= 0)
            break;
        qint64 done = 0;
        if (kernelCopy) {
            done = pump(piece, [&](qint64 from) -> qint64 {
                off_t at = offset + from;
                return ::sendfile(fd, source, &at, static_cast<size_t>(piece - from));
            });
            if (done < 0) {
                kernelCopy = false;
                continue;
            }
        } else {
            if (file->pos() != offset && !file->seek(offset))
                break;
            buffer.resize(piece);
            const qint64 got = file->read(buffer.data(), piece);
            if (got <= 0)
                break;
            done = pump(got, [&](qint64 from) -> qint64 {
                return ::send(fd, buffer.constData() + from, static_cast<size_t>(got - from), MSG_NOSIGNAL);
            });
        }
        offset += done;
        if (done < piece)
            break;
    }
    file->close();
}

qint64 TarnwickSocket::receive(char *data, qint64 maxSize)
{
    if (blockDue.isForever())
        blockDue.setRemainingTime(bodyWaitMs);

    // What Qt read ahead while the request head was looked at comes first.
    if (QIODevice::bytesAvailable() > 0) {
        const qint64 n = QIODevice::read(data, qMin(maxSize, QIODevice::bytesAvailable()));
        keepPace(n);
        return n;
    }

    const int fd = static_cast<int>(socketDescriptor());
    for (;;) {
        if (isStopped())
            return 0;
        const ssize_t n = ::recv(fd, data, static_cast<size_t>(maxSize), MSG_DONTWAIT);
        if (n >= 0) {
            keepPace(n);
            return n;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        // Waits only for the block that is due: a body trickled a few bytes at a time ends
        // here as one that fell silent would.
        if (!waitFor(fd, POLLIN, blockDue))
            return 0;
    }
}

void TarnwickSocket::keepPace(qint64 n)
{
    if (n <= 0)
        return;
    blockReceived += n;
    if (blockReceived >= Limits::BlockSize) {
        blockReceived = 0;
        blockDue.setRemainingTime(bodyWaitMs);
    }
}

QByteArray TarnwickSocket::readBody(qint64 maxSize)
{
    const Piece next = nextPiece(maxSize, Limits::ReceiveChunk);
    const Promise promise(next.promise);
    if (next.size <= 0)
        return QByteArray();
    QByteArray data(next.size, Qt::Uninitialized);
    const qint64 n = receive(data.data(), next.size);
    if (n <= 0)
        return QByteArray();
    data.truncate(n);
    count(Received, n);
    return data;
}

TarnwickSocket::SaveResult TarnwickSocket::saveFile(QFile *file, const QByteArray &received, qint64 length,
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
        const Piece next = nextPiece(length, Limits::ReceiveChunk);
        const Promise promise(next.promise);
        if (next.size <= 0)
            return isStopped() ? SaveResult::Stopped : SaveResult::Incomplete;
        const qint64 n = receive(buffer.data() + held, next.size);
        if (n <= 0)
            return isStopped() ? SaveResult::Stopped : SaveResult::Incomplete;
        count(Received, n);
        length -= n;
        filled = held + n;
    }
    return found ? SaveResult::Stored : SaveResult::NoDelimiter;
}
