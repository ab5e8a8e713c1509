#pragma once

#include "bodyreader.h"
#include "databudget.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QTcpSocket>

#include <atomic>

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

    // Bytes this socket sent.
    qint64 sentHere() const { return sent; }

    // The last answer of a connection cut short by a stop: written even so, and counted.
    qint64 writeAfterStop(const QByteArray &data);

    // Reads and drops up to maxBytes of what the browser still sends, until it ends or the
    // deadline passes; counted, even after a stop.
    void drain(qint64 maxBytes, const QDeadlineTimer &deadline);

    // Hands what was written to the system, waiting at most timeoutMs for the browser to
    // make room; false when it cannot take it, or when stopped. Unlike Qt's own waits this
    // reads nothing, so the end of the browser's data does not close the socket with the
    // answer still in Qt's buffer.
    bool flushPending(int timeoutMs);

    /*!
        Sends \a length bytes of the open file \a fd from \a offset on, after whatever was
        written before (the response header). The totals grow per piece, and when a data
        limit is set the block that reaches it is the last one sent.
    */
    void sendFile(int fd, qint64 offset, qint64 length);
    // The same for bytes in memory, such as a generated page shared with other connections.
    void sendBytes(const QByteArray &bytes);

    using SaveResult = BodyReader::SaveResult;
    // Stores an upload's file: see BodyReader::save(). When a data limit is set, the block
    // that reaches it is the last one read.
    SaveResult saveFile(QFile *file, const QByteArray &received, qint64 length, QByteArrayView delimiter);

    // Up to maxSize bytes of a request body, counted; see BodyReader::read().
    QByteArray readBody(qint64 maxSize);
    // The rest of a request body, read and dropped; see BodyReader::skip().
    bool skipBody(qint64 length) { return body.skip(length); }

    // Ready for another connection: nothing counted for this socket, and a body must keep
    // the pace of Limits::BlockSize bytes within every bodyWaitMs.
    void reset(int bodyWaitMs)
    {
        sent = 0;
        body.reset(bodyWaitMs);
    }

Q_SIGNALS:
    // The totals reached the data limit; emitted once per reaching, from the socket that did.
    void dataLimit();

private:
    // Counts n bytes (n >= 0) into total and looks at the limit.
    void count(std::atomic<qint64> &total, qint64 n);
    void checkLimit();

    // Every transfer of the process against the data limit.
    static DataBudget budget;
    qint64 sent = 0;
    BodyReader body;
};
