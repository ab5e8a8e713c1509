#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpSocket>

// One answer as it came off the wire, split but not interpreted: no header is folded,
// merged or decoded, so a test sees exactly what the server wrote.
struct RawResponse
{
    Q_GADGET

public:
    // How the read ended.
    enum class End {
        Closed, // the server ended the connection in order (FIN)
        Reset, // the server reset the connection (RST), possibly after some data
        TimedOut, // the time ran out with the connection still open
        Open, // the read stopped by itself (head read) and the connection is still open
        NotConnected, // there was no connection to read from
    };
    Q_ENUM(End)

    QByteArray raw; // every byte received
    QByteArray statusLine; // the first line, without its CR LF
    QList<QByteArray> headerLines; // the lines after it up to the empty line, in order, without CR LF
    QByteArray body; // everything after the empty line
    bool headComplete = false; // the empty line (CR LF CR LF) was seen
    End end = End::NotConnected;

    // The status code of the status line, or -1 when the line has none.
    int statusCode() const;
    // The value of the first header line with this name (compared without case), trimmed;
    // a null array when there is none.
    QByteArray header(QByteArrayView name) const;
    // How many header lines carry this name.
    int headerCount(QByteArrayView name) const;

    // Splits raw bytes into status line, header lines and body. Only CR LF ends a line;
    // a bare LF stays inside the line, where a comparison shows it.
    static RawResponse parse(const QByteArray &raw, End end);
};

// A test client that writes exact request bytes and reads the answer raw. A normal HTTP
// client would rewrite headers and hide the faults that matter.
//
// The server under test may listen on the test's own thread, so by default every wait turns
// the thread's event loop (Wait::EventLoop). Wait::Blocking uses the socket's blocking waits
// instead and must only be used when the server runs in other threads or another process.
// Every wait is bounded by the time given to the call.
class RawClient
{
public:
    enum class Wait { EventLoop, Blocking };

    static constexpr int DefaultTimeoutMs = 10000;

    explicit RawClient(Wait wait = Wait::EventLoop);
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connectTo(quint16 port, const QHostAddress &host = QHostAddress(QHostAddress::LocalHost),
                   int timeoutMs = DefaultTimeoutMs);
    bool isOpen() const;

    // Writes the bytes and waits until the system has taken all of them.
    bool send(const QByteArray &bytes, int timeoutMs = DefaultTimeoutMs);
    // Writes each chunk on its own, pausing between them, so the server sees them arrive
    // separately. Stops at the first chunk that cannot be written.
    bool sendChunks(const QList<QByteArray> &chunks, int pauseMs, int timeoutMs = DefaultTimeoutMs);

    // Reads until the server ends the connection or the time runs out. The result holds
    // everything received on this connection so far, including a head read before.
    RawResponse readToEnd(int timeoutMs = DefaultTimeoutMs);
    // Reads the status line and header lines only, then stops reading: the body stays
    // unread and the connection open, so a server that sends more than the system buffers
    // hold (a few MiB on loopback) finds its sends blocked. A later readToEnd() takes up
    // the rest.
    RawResponse readHead(int timeoutMs = DefaultTimeoutMs);

    // Keeps the connection open without reading or writing for this long (the event loop
    // still turns in EventLoop mode). True when the connection is still open at the end.
    bool holdOpen(int ms);

    // Tells the server that the request has ended (FIN) and keeps reading: the server
    // sees the end of the data, its answer still arrives. Once both sides have sent their
    // FIN our side is closed as after a reset, so the end then reads as Reset either way.
    void finishSending();

    // Ends the connection in order (FIN), or with a reset (RST).
    void close();
    void abort();

    // Connects, sends the request, reads to the end.
    static RawResponse exchange(quint16 port, const QByteArray &request, int timeoutMs = DefaultTimeoutMs,
                                const QHostAddress &host = QHostAddress(QHostAddress::LocalHost));

private:
    // Waits up to ms for the socket to make progress of any kind; false on timeout.
    bool waitForActivity(int ms);
    void pause(int ms);
    void takeAvailable();
    RawResponse::End endOfLostConnection() const;
    void releaseProbe();

    Wait m_wait;
    QTcpSocket m_socket;
    QByteArray m_received;
    // A second descriptor of the connection. Qt reads a reset as an ordinary end and closes
    // its descriptor; this one keeps the socket, so its final state tells the two apart.
    int m_probe = -1;
};
