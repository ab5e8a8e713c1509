#pragma once

#include <QByteArray>

#include <atomic>
#include <functional>

class DataBudget;
class QFile;

/*!
    Sends a file, or bytes held in memory, into a connected socket. The kernel copies a file
    straight from the page cache where it can; a file it cannot copy from (a resource, a
    pipe) goes through a buffer. The pieces are sized by the data budget, and each is counted
    as it goes; nothing waits in a queue of the process, so a browser that reads slowly holds
    no more than the socket's own buffer.
*/
class FileSender
{
public:
    // counted(n): n more bytes went out; counted(0): none did, look at the limit.
    FileSender(int fd, DataBudget &budget, const std::atomic<bool> &stop,
               std::function<void(qint64)> counted);

    // From the file's position, at most length bytes and up to its end, then closes it. Ends
    // early when the stop flag is set, the browser goes away or takes nothing for
    // Limits::SendWaitMs, or the file turns out shorter than it was.
    void send(QFile *file, qint64 length);
    // All of bytes, ending early as above.
    void send(const QByteArray &bytes);

private:
    // Sends size bytes from data (a piece the budget promised); the bytes sent.
    qint64 sendMemory(const char *data, qint64 size);
    // Calls send(bytes done so far) until len bytes went out, counting them and waiting while
    // the socket is full. Returns the bytes sent, fewer when the transfer must end; -1 when
    // send refused the source at once with EINVAL or ENOSYS.
    qint64 pump(qint64 len, const std::function<qint64(qint64 done)> &send);

    int m_fd;
    DataBudget &m_budget;
    const std::atomic<bool> &m_stop;
    std::function<void(qint64)> m_counted;
};
