#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QTcpSocket>

#include <atomic>
#include <functional>

class QFile;

// The socket of one browser connection. Every byte the server reads or writes goes through
// the counted operations below, which keep the process-wide totals, honour the stop flag and
// announce the data limit. The counted read and write operations hide QIODevice's own on
// purpose; QIODevice calls that bypass them (peek, readAll, getChar) are not counted.
//
// One socket is used by the connection thread that owns it; the statics are shared by all.
class TarnwickSocket : public QTcpSocket
{
    Q_OBJECT

public:
    explicit TarnwickSocket(QObject *parent = nullptr);

    // Bytes sent to and received from browsers since the program started; never reset.
    static std::atomic<qint64> Sent;
    static std::atomic<qint64> Received;
    // The data limit in bytes over both totals; 0 or less means no limit.
    static std::atomic<qint64> Limit;
    // While set, every counted operation does nothing and every transfer ends.
    static std::atomic<bool> stop;

    static void Start();
    static void Stop();
    static bool isStopped();

    // Up to maxSize bytes; empty when stopped.
    QByteArray read(qint64 maxSize);

    qint64 write(const char *text);
    qint64 write(const char *data, qint64 len);
    qint64 write(const QByteArray &data);
    // Translates text (context "TarnwickSocket") and writes it as UTF-8.
    qint64 writeTranslatedUtf8(const QByteArray &text);

    bool atEnd() const override;

    // Hands what was written to the system, waiting at most timeoutMs for the browser to
    // make room; false when it cannot take it, or when stopped. Unlike Qt's own waits this
    // reads nothing, so the end of the browser's data does not close the socket with the
    // answer still in Qt's buffer.
    bool flushPending(int timeoutMs);

    /*!
        Sends the opened file from its current position to its end, then closes it. Whatever
        the caller wrote before (the response header) goes first. The kernel copies the file
        straight into the socket where it can; the totals grow per accounting block, and when
        a data limit is set the block that reaches it is the last one sent. The transfer ends
        early when the stop flag is set, the browser goes away or takes nothing for
        Limits::SendWaitMs, or the file turns out shorter than it was.
    */
    void sendFile(QFile *file);

    // How storing an upload's file ended.
    enum class SaveResult {
        // The part's delimiter came, and the body up to its announced length.
        Stored,
        // The browser went away, or sent less than a block in Limits::UploadSilenceMs, first.
        Incomplete,
        // The announced body ended without the part's delimiter.
        NoDelimiter,
        // The file took fewer bytes than it was given (a full disk, say).
        WriteFailed,
        // The stop flag was set: the server stopped, or the data limit was reached.
        Stopped,
    };

    /*!
        Writes the part's content, everything before the first \a delimiter, into the
        opened \a file, which stays open: first from \a received, the start of the content
        that was read with the part header, then from the rest of the body, \a length
        bytes still to come. What follows the delimiter (the end of the closing line,
        further parts) is read and dropped; nothing beyond \a length is read. The body
        passes through one bounded buffer, in large reads straight from the socket; the
        totals grow per accounting block, and when a data limit is set the block that
        reaches it is the last one read.
    */
    SaveResult saveFile(QFile *file, const QByteArray &received, qint64 length, QByteArrayView delimiter);

    // Up to maxSize bytes of a request body, counted: what Qt read ahead first, then
    // straight from the socket, at the body's pace (see setBodyWait). Empty when the
    // browser went away or fell behind, or when stopped. Unlike Qt's own reads, the end of
    // the browser's data leaves the socket open for the answer.
    QByteArray readBody(qint64 maxSize);

    // The pace a body must keep, over all reads of it: Limits::BlockSize bytes within
    // every ms milliseconds (Limits::UploadSilenceMs unless set).
    void setBodyWait(int ms) { bodyWaitMs = ms; }

Q_SIGNALS:
    // The totals reached the data limit; emitted once per reaching, from the socket that did.
    void dataLimit();

private:
    // Counts n bytes (n > 0) into total and runs the limit check.
    void count(std::atomic<qint64> &total, qint64 n);
    void checkLimit();
    struct Piece
    {
        qint64 size = 0;
        // What was promised out of the room below the data limit.
        qint64 promise = 0;
    };
    // The next piece of a transfer: up to min(left, chunk) bytes, or under a data limit no
    // more than up to the end of the block that reaches it, whatever the pieces of other
    // threads still carry. Size 0 ends the transfer: the stop flag is set, the limit was
    // found reached (the flag is then set here), or no room came free within
    // Limits::SendWaitMs. The promise must be given back once the piece's bytes are counted.
    Piece nextPiece(qint64 left, qint64 chunk);
    // Calls send(bytes done so far) until len bytes went out, counting them and waiting while
    // the socket is full. Returns the bytes sent, fewer when the transfer must end; -1 when
    // send refused the source at once with EINVAL or ENOSYS.
    qint64 pump(qint64 len, const std::function<qint64(qint64 done)> &send);
    // Up to maxSize received bytes, uncounted: what Qt holds first, then straight from the
    // socket, waiting for them until the body's pace runs out. 0 or less when the browser
    // went away or fell behind, or the stop flag was set.
    qint64 receive(char *data, qint64 maxSize);
    // Counts n received body bytes (n > 0) towards the pace; each full block grants the
    // body another bodyWaitMs.
    void keepPace(qint64 n);

    int bodyWaitMs;
    // When the body's next block is due, and how much of it has come; set by the first read.
    QDeadlineTimer blockDue {QDeadlineTimer::Forever};
    qint64 blockReceived = 0;
};
