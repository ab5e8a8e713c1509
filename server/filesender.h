#pragma once

#include <QByteArray>

#include <atomic>
#include <functional>

class DataBudget;

/*!
    Sends a file, or bytes held in memory, into a connected socket. The kernel copies a file
    straight from the page cache where it can; a file it cannot copy from (on a file system
    that does not offer it) goes through a buffer. The pieces are sized by the data budget,
    and each is counted as it goes; nothing waits in a queue of the process, so a browser
    that reads slowly holds no more than the socket's own buffer.
*/
class FileSender
{
public:
    // counted(n): n more bytes went out; counted(0): none did, look at the limit.
    FileSender(int fd, DataBudget &budget, const std::atomic<bool> &stop,
               std::function<void(qint64)> counted);

    // length bytes of the open file from offset on. Ends early when the stop flag is set,
    // the browser goes away or takes nothing for Limits::SendWaitMs, or the file turns out
    // shorter than it was. The kernel's file copy has no "no signal" flag: the calling
    // thread holds SIGPIPE back (or the process ignores it), so that a browser that went
    // away makes the copy fail rather than end the process.
    void send(int file, qint64 offset, qint64 length);
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
