#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>

#include <atomic>
#include <functional>

class DataBudget;
class QFile;

/*!
    Reads a request body from a connection at the pace every body must keep:
    Limits::BlockSize bytes within every wait (Limits::UploadSilenceMs unless set), over all
    reads of it, so that a body trickled a few bytes at a time ends as one that fell silent
    would. The end of the browser's data leaves the socket open for the answer. Each piece
    is sized by the data budget and counted.
*/
class BodyReader
{
public:
    // How storing an upload's file ended.
    enum class SaveResult {
        // The part's delimiter came, and the body up to its announced length.
        Stored,
        // The browser went away, or fell behind the pace, first.
        Incomplete,
        // The announced body ended without the part's delimiter.
        NoDelimiter,
        // The file took fewer bytes than it was given (a full disk, say).
        WriteFailed,
        // The stop flag was set: the server stopped, or the data limit was reached.
        Stopped,
    };

    // counted(n): n more bytes came; counted(0): none did, look at the limit.
    BodyReader(DataBudget &budget, const std::atomic<bool> &stop, std::function<void(qint64)> counted);

    // The connection's descriptor, not blocking; -1 when there is none.
    void setDescriptor(int fd) { m_fd = fd; }

    // For the next body, which must bring a block within every waitMs.
    void reset(int waitMs)
    {
        m_waitMs = waitMs;
        m_blockDue = QDeadlineTimer(QDeadlineTimer::Forever);
        m_blockReceived = 0;
    }

    // Up to maxSize bytes; empty when the browser went away or fell behind, or when stopped.
    QByteArray read(qint64 maxSize);

    /*!
        Writes the part's content, everything before the first \a delimiter, into the opened
        \a file, which stays open: first from \a received, the start of the content that came
        with the part header, then from the rest of the body, \a length bytes still to come.
        What follows the delimiter is read and dropped; nothing beyond \a length is read.
    */
    SaveResult save(QFile *file, const QByteArray &received, qint64 length, QByteArrayView delimiter);

    // Reads and drops the \a length bytes of the body still to come, at the same pace and
    // counted; false when it did not come whole.
    bool skip(qint64 length);

private:
    // Up to maxSize bytes, uncounted; 0 or less when the browser went away or fell behind,
    // or the stop flag was set.
    qint64 receive(char *data, qint64 maxSize);
    // Each full block of the body grants it another wait.
    void keepPace(qint64 n);
    SaveResult ended() const;

    int m_fd = -1;
    DataBudget &m_budget;
    const std::atomic<bool> &m_stop;
    std::function<void(qint64)> m_counted;
    int m_waitMs;
    // When the body's next block is due, and how much of it has come; set by the first read.
    QDeadlineTimer m_blockDue {QDeadlineTimer::Forever};
    qint64 m_blockReceived = 0;
};
