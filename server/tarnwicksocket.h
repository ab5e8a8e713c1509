#pragma once

#include "bodyreader.h"
#include "databudget.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QObject>

#include <atomic>

class QFile;

// The socket of one browser connection. Every byte the server reads or writes goes through
// the counted operations below, which keep the process-wide totals, honour the stop flag and
// announce the data limit. It reads only what it is asked for and hands every write to the
// system at once, each wait bounded: nothing of a connection is queued in the process.
//
// One socket is used by the connection thread that owns it; the statics are shared by all.
class TarnwickSocket : public QObject
{
    Q_OBJECT

public:
    explicit TarnwickSocket(QObject *parent = nullptr);
    ~TarnwickSocket() override;

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

    // Takes over the connected, non-blocking descriptor of a browser's connection.
    void open(int fd);
    // Closes the connection now; what was written has been handed to the system.
    void abort();
    bool isOpen() const { return m_fd >= 0; }
    int socketDescriptor() const { return m_fd; }
    // The address and port the browser connected to.
    QHostAddress localAddress(quint16 *port) const;

    // Up to maxSize bytes, waiting until the deadline for the first; empty when none came in
    // time, the browser closed its side or went away, or when stopped.
    QByteArray read(qint64 maxSize, const QDeadlineTimer &deadline);

    // Each write waits at most Limits::SendWaitMs for the browser to make room, and returns
    // the bytes that went out.
    qint64 write(const char *text);
    qint64 write(const char *data, qint64 len);
    qint64 write(const QByteArray &data);
    // An answer's header whose body follows at once: the system holds it back to send it in
    // one piece with the body's start.
    qint64 writeHeader(const QByteArray &header);

    // Bytes this socket sent.
    qint64 sentHere() const { return sent; }

    // The last answer of a connection cut short by a stop: written even so, and counted.
    qint64 writeAfterStop(const QByteArray &data);

    // Reads and drops up to maxBytes of what the browser still sends, until it ends or the
    // deadline passes; counted, even after a stop.
    void drain(qint64 maxBytes, const QDeadlineTimer &deadline);

    /*!
        Sends \a length bytes of the open file \a fd from \a offset on. The totals grow per
        piece, and when a data limit is set the block that reaches it is the last one sent.
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
    // Sends all of data, counted, while the flag until stays clear; flags as for send().
    qint64 sendAll(const char *data, qint64 len, const std::atomic<bool> &until, int flags = 0);
    // Counts n bytes (n >= 0) into total and looks at the limit.
    void count(std::atomic<qint64> &total, qint64 n);
    void checkLimit();

    // Every transfer of the process against the data limit.
    static DataBudget budget;
    int m_fd = -1;
    qint64 sent = 0;
    BodyReader body;
};
