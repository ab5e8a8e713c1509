#pragma once

#include "requestrecord.h"
#include "serverthread.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QStringList>
#include <QTcpServer>

class Configuration;

// Listens on the configured port and hands every connection to a thread of its own.
// It reaches the window only through its signals.
class WebServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit WebServer(QObject *parent = nullptr);
    ~WebServer() override;

    bool start();
    // Returns at once: stops listening, ends every connection, serves nothing more.
    void stop();
    // 0 stopped, 1 listening.
    int getState() const { return state; }
    // Connection threads that have not ended yet.
    int threadCount() const;

    // The time a connection has for its request head, from now on; by default
    // Limits::RequestWaitMs.
    void setHeadWait(int ms) { headWaitMs = ms; }
    // The pace a request body must keep from now on: a block within every ms milliseconds;
    // by default Limits::UploadSilenceMs.
    void setBodyWait(int ms) { bodyWaitMs = ms; }
    // Connections served at once, from now on; at most (and by default)
    // Limits::MaxConnections, and no more than the descriptor limit leaves room for.
    void setMaxConnections(int n);
    // Connections one client address may hold at once, from now on; by default
    // Limits::MaxConnectionsPerAddress. One client cannot take every connection.
    void setMaxConnectionsPerAddress(int n) { maxPerAddress = n; }
    // Where start() listens: every IPv4 address unless set, as the window shows them.
    void setBindAddress(const QHostAddress &address) { bindAddress = address; }
    // The names besides addresses and "localhost" that a request's Host may give, from
    // now on; a request for any other name is refused.
    void setAllowedHosts(const QStringList &names) { allowedHosts = names; }

public Q_SLOTS:
    void configurationChanged(Configuration *c);

Q_SIGNALS:
    // A connection was taken on for serving; one answered 503 is not announced.
    void newConnection(const QString &address);
    // For the owner; title and text are plain text (an uploaded file's name may hold
    // markup), to be shown as such.
    void error(const QString &title, const QString &text);
    // The data limit was reached; the server has stopped serving and waits for stop().
    void dataLimit();
    void started();
    // A request was answered; emitted on the connection's thread, and connected to only
    // when a log is wanted.
    void served(const RequestRecord &record);
    void stopped();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    // On a connection's thread once it is done: the thread's next connection, when one
    // comes while it waits among the idle ones; nothing when it is to end.
    std::optional<ServerThread::Connection> nextConnection(ServerThread *thread, bool done);
    // Forgets the client of the thread's connection (the lock held).
    void forget(ServerThread *thread);
    // Whether a new connection may have a thread: below the limit, or once the connection
    // that has waited longest for its request head was closed to make room.
    bool makeRoom();
    // Raises the process's descriptor limit as far as the connections need, and sets how
    // many connection threads it has room for.
    void fitDescriptorLimit();
    void applyConnectionLimit();

    // Under the lock: the threads serving a connection, in the order the connections came,
    // with the client address of each; the threads waiting for one; those that are ending,
    // for the owner to delete; the end of them all.
    QList<ServerThread *> threads;
    QList<ServerThread *> idle;
    QList<ServerThread *> ended;
    bool quitting = false;
    QHash<ServerThread *, QString> clientOf;
    QHash<QString, int> perClient;
    int maxPerAddress;
    QHostAddress bindAddress {QHostAddress::AnyIPv4};
    QStringList allowedHosts;
    mutable QMutex mutex;
    int state = 0;
    int port;
    int headWaitMs;
    int bodyWaitMs;
    // As asked for, and as applied: within the room the descriptor limit leaves.
    int wantedConnections;
    int threadRoom;
    int maxConnections;
    int maxClosing;
    // Threads in the list whose connections were closed to make room.
    int closing = 0;
};
