#pragma once

#include "requestrecord.h"
#include "serverthread.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QStringList>
#include <QTcpServer>
#include <QWaitCondition>

class Configuration;

// Listens on the configured port and serves every connection on a thread of its own. The
// connection threads accept the connections themselves: each idle one waits in the
// system's accept, which hands a new connection to one of them, so a request costs no
// hand-over between threads. It reaches the window only through its signals.
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
    // Connections being served.
    int threadCount() const;

    // The time a connection has for its request head, from now on; by default
    // Limits::RequestWaitMs.
    void setHeadWait(int ms);
    // The pace a request body must keep from now on: a block within every ms milliseconds;
    // by default Limits::UploadSilenceMs.
    void setBodyWait(int ms);
    // Connections served at once, from now on; at most (and by default)
    // Limits::MaxConnections, and no more than the descriptor limit leaves room for.
    void setMaxConnections(int n);
    // Connections one client address may hold at once, from now on; by default
    // Limits::MaxConnectionsPerAddress. One client cannot take every connection.
    void setMaxConnectionsPerAddress(int n);
    // Where start() listens: every IPv4 address unless set, as the window shows them.
    void setBindAddress(const QHostAddress &address) { bindAddress = address; }
    // The names besides addresses and "localhost" that a request's Host may give, from
    // now on; a request for any other name is refused.
    void setAllowedHosts(const QStringList &names);

public Q_SLOTS:
    void configurationChanged(Configuration *c);

Q_SIGNALS:
    // A connection was taken on for serving, from a client other than the one announced
    // last; one answered 503 is not announced.
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

private:
    // On a connection's thread, at its start and after each connection: waits in accept for
    // the thread's next connection, or while the server is stopped for a start. Nothing
    // when the thread is to end: idle for Limits::IdleThreadMs, one of too many idle ones,
    // or the server is being deleted.
    std::optional<ServerThread::Connection> nextConnection(ServerThread *thread);
    // On a connection's thread: its connection is closed (unless a stop forgot it already).
    void connectionClosed(ServerThread *thread);
    // The connection just accepted, when it is the thread's to serve (the lock held); the
    // excess is answered "busy", and once stopped, closed.
    std::optional<ServerThread::Connection> admit(ServerThread *thread, int descriptor,
                                                  const QHostAddress &peer, QMutexLocker<QMutex> &locker);
    // Starts one more connection thread (the lock held).
    void startThread();
    // Deletes the threads that have ended, on the owner's thread.
    void deleteEnded();
    // Waits on condition until the deadline at most (the lock held); false when the time ran
    // out.
    bool waitLocked(QWaitCondition &condition, QDeadlineTimer deadline);
    // Whether the client may have one more connection (the lock held). A browser connects
    // again as soon as it has an answer, and its old connection may be a moment from its
    // close: at its share, the client's next close is waited for, for Limits::ShareWaitMs.
    bool clientMayConnect(const QString &client);
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
    // with the client address of each; every thread not deleted yet, and those of them that
    // have ended; the threads waiting in accept, and those waiting for a start; the
    // listening descriptor the threads accept on (-1 while stopped); the end of them all.
    QList<ServerThread *> threads;
    QList<ServerThread *> all;
    QList<ServerThread *> ended;
    int accepting = 0;
    int parked = 0;
    int listenDescriptor = -1;
    bool quitting = false;
    QWaitCondition listenerReady;
    QWaitCondition acceptorsLeft;
    // Connections waiting for one of their client's connections to close, and its close.
    int waitingForShare = 0;
    QWaitCondition shareFreed;
    QHash<ServerThread *, QString> clientOf;
    QHash<QString, int> perClient;
    // What every connection takes along, but for its descriptor; whether the threads
    // announce their connections, and the client announced last: the window shows the last
    // client, so one that connects again and again costs its thread nothing.
    ServerThread::Connection shape;
    bool announce = false;
    QString lastAnnounced;
    int maxPerAddress;
    QHostAddress bindAddress {QHostAddress::AnyIPv4};
    mutable QMutex mutex;
    int state = 0;
    int port;
    // As asked for, and as applied: within the room the descriptor limit leaves.
    int wantedConnections;
    int threadRoom;
    int maxConnections;
    int maxClosing;
    // Threads in the list whose connections were closed to make room.
    int closing = 0;
};
