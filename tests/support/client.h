#pragma once

#include <QByteArray>
#include <QList>

// One answer as it came off the wire, split but not interpreted, so a test sees exactly
// what the server wrote.
struct Reply
{
    QByteArray raw;
    QByteArray statusLine;
    QList<QByteArray> headers; // the lines after the status line, without CR LF
    QByteArray body;
    bool closed = false; // the server ended the connection (in order or not)

    int code() const { return statusLine.mid(9, 3).toInt(); }
    // The value of the first header line of this name (any case); null when there is none.
    QByteArray header(const char *name) const;
};

// A test client that writes exact bytes over loopback and reads the answer raw; a normal
// HTTP client would rewrite headers and hide the faults that matter. Every wait turns the
// thread's event loop, so a server listening on the test's own thread can accept.
class Client
{
public:
    // Connects from \a from, a loopback address (127.0.0.1 unless given).
    explicit Client(quint16 port, const char *from = nullptr);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool send(const QByteArray &bytes, int timeoutMs = 10000);
    // Reads until the server ends the connection, \a limit bytes came, or the time runs out.
    Reply read(int timeoutMs = 10000, qint64 limit = -1);
    // Whether the server still keeps the connection open after waiting up to ms for it to end.
    bool openAfter(int ms);
    void reset();

    // A port that nothing on this machine listens on just now.
    static quint16 freePort();
    // Connects, sends, reads to the end.
    static Reply exchange(quint16 port, const QByteArray &request, int timeoutMs = 10000,
                          const char *from = nullptr);

private:
    bool wait(short events, int ms);

    int fd = -1;
    QByteArray received;
    bool ended = false;
};
