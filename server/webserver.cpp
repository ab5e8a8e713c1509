#include "webserver.h"

#include "base/threadsanitizer.h"
#include "config/configuration.h"
#include "http_request.h"
#include "limits.h"
#include "protocol.h"
#include "serverthread.h"
#include "sessionmanager.h"
#include "tarnwicksocket.h"

#include <QHostAddress>
#include <QMetaMethod>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr uint ConnectionStackSize = 256 * 1024;

// Answers a connection there is no room for, and closes it, without a thread and without
// waiting: the answer fits the empty send buffer of a new connection, and should it not,
// the connection is just closed.
void answerBusy(qintptr descriptor)
{
    static const QByteArray busy = QByteArray(Http::Version) + Http::StatusUnavailable + Http::Crlf
        + Http::ServerLine + Http::Crlf + Http::ConnectionClose + Http::Crlf + Http::Crlf;
    const int fd = int(descriptor);
    const ssize_t sent = ::send(fd, busy.constData(), size_t(busy.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0)
        TarnwickSocket::Sent += sent;
    // Closing over unread bytes would reset the connection, and the reset could overtake
    // the answer; so what the browser has sent so far is read off first.
    char sink[Limits::MaxHeadSize];
    const ssize_t received = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (received > 0)
        TarnwickSocket::Received += received;
    ::close(fd);
}

} // namespace

WebServer::WebServer(QObject *parent)
    : QTcpServer(parent)
    , maxPerAddress(Limits::MaxConnectionsPerAddress)
{
    shape.headWaitMs = Limits::RequestWaitMs;
    shape.bodyWaitMs = Limits::UploadSilenceMs;
    fitDescriptorLimit();
    setMaxConnections(Limits::MaxConnections);
    setListenBacklogSize(Limits::ListenBacklog);
    Configuration *current = Configuration::getCurrentConfig();
    port = current->getParam(ParamPort, ReadDefault::Port);
    configurationChanged(current);
    connect(current, &Configuration::configurationChanged, this, &WebServer::configurationChanged);
}

WebServer::~WebServer()
{
    stop();
    // A thread must have ended before it is deleted; every wait of a connection is
    // bounded, and stop() has cut their sockets, so this is short.
    QMutexLocker locker(&mutex);
    quitting = true;
    listenerReady.wakeAll();
    const QList<ServerThread *> every = std::exchange(all, {});
    ended.clear();
    locker.unlock();
    qDeleteAll(every);
}

bool WebServer::start()
{
    TarnwickSocket::Start();
    if (!listen(bindAddress, quint16(port))) {
        QString text = errorString();
        if (serverError() == QAbstractSocket::SocketAccessError)
            text += QLatin1Char('\n') + tr("To use protected ports server must be run as root.");
        Q_EMIT error(tr("Unable to start the server"), text);
        return false;
    }
    // The connection threads accept, each blocked in the system's accept until it hands
    // them a connection, and ending after a while without one; Qt's own accepting is off.
    pauseAccepting();
    const int fd = int(socketDescriptor());
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const timeval idle {Limits::IdleThreadMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);

    QMutexLocker locker(&mutex);
    shape.recording = isSignalConnected(QMetaMethod::fromSignal(&WebServer::served));
    announce = isSignalConnected(QMetaMethod::fromSignal(&WebServer::newConnection));
    lastAnnounced.clear();
    listenDescriptor = fd;
    if (parked > 0)
        listenerReady.wakeAll();
    else
        startThread();
    locker.unlock();

    HTTP_Request::sessionManager.startTimer();
    state = 1;
    Q_EMIT started();
    return true;
}

void WebServer::stop()
{
    TarnwickSocket::Stop();
    const bool wasListening = state == 1;
    state = 0;
    HTTP_Request::sessionManager.stopTimer();

    QMutexLocker locker(&mutex);
    if (const int fd = std::exchange(listenDescriptor, -1); fd >= 0) {
        // Wakes the threads waiting in accept; the descriptor is closed only once they have
        // all left it, since its number could belong to another file by then.
        ::shutdown(fd, SHUT_RDWR);
        while (accepting > 0)
            waitLocked(acceptorsLeft, QDeadlineTimer(Limits::StopCheckMs));
    }
    for (ServerThread *thread : qAsConst(threads))
        thread->abortConnection();
    threads.clear();
    clientOf.clear();
    perClient.clear();
    closing = 0;
    locker.unlock();
    close();

    if (wasListening)
        Q_EMIT stopped();
}

void WebServer::setHeadWait(int ms)
{
    QMutexLocker locker(&mutex);
    shape.headWaitMs = ms;
}

void WebServer::setBodyWait(int ms)
{
    QMutexLocker locker(&mutex);
    shape.bodyWaitMs = ms;
}

void WebServer::setMaxConnectionsPerAddress(int n)
{
    QMutexLocker locker(&mutex);
    maxPerAddress = n;
}

void WebServer::setAllowedHosts(const QStringList &names)
{
    QMutexLocker locker(&mutex);
    shape.hosts = names;
}

void WebServer::setMaxConnections(int n)
{
    QMutexLocker locker(&mutex);
    wantedConnections = qBound(1, n, Limits::MaxConnections);
    applyConnectionLimit();
}

void WebServer::fitDescriptorLimit()
{
    constexpr int MaxThreads = Limits::MaxConnections + Limits::MaxClosingConnections;
    rlimit files {};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) {
        threadRoom = MaxThreads;
        return;
    }
    const rlim_t wanted = rlim_t(MaxThreads) * Limits::DescriptorsPerConnection + Limits::DescriptorReserve;
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
        files.rlim_cur = files.rlim_max == RLIM_INFINITY ? wanted : qMin(wanted, files.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &files);
        ::getrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur >= wanted) {
        threadRoom = MaxThreads;
        return;
    }
    const qint64 room
        = (qint64(files.rlim_cur) - Limits::DescriptorReserve) / Limits::DescriptorsPerConnection;
    threadRoom = int(qMax<qint64>(2, room));
}

void WebServer::applyConnectionLimit()
{
    // The threads of the connections closed to make room take their share of the room.
    constexpr int MaxThreads = Limits::MaxConnections + Limits::MaxClosingConnections;
    maxConnections = qBound(1, threadRoom * Limits::MaxConnections / MaxThreads, wantedConnections);
    maxClosing = qMax(1, maxConnections * Limits::MaxClosingConnections / Limits::MaxConnections);
}

int WebServer::threadCount() const
{
    QMutexLocker locker(&mutex);
    return threads.size();
}

void WebServer::configurationChanged(Configuration *c)
{
    Configuration::Password.store(c->getParam(ParamPassword));
    Configuration::DownloadDir.store(QFileInfo(c->getParam(ParamDownloadPath)));
    setMaxPendingConnections(c->getParam(ParamMaxConn, ReadDefault::MaxConn));
    TarnwickSocket::Limit = qint64(c->getParam(ParamDataLimit, ReadDefault::DataLimit)) * 1000;

    const int next = c->getParam(ParamPort, ReadDefault::Port);
    if (next != port) {
        port = next;
        if (state == 1) {
            stop();
            start();
        }
    }
}

void WebServer::connectionClosed(ServerThread *thread)
{
    QMutexLocker locker(&mutex);
    if (threads.removeOne(thread)) {
        if (thread->closedWhileWaiting())
            --closing;
        forget(thread);
        if (waitingForShare > 0)
            shareFreed.wakeAll();
    }
}

std::optional<ServerThread::Connection> WebServer::nextConnection(ServerThread *thread)
{
    QMutexLocker locker(&mutex);
    while (!quitting) {
        if (listenDescriptor < 0) {
            if (parked >= Limits::MaxIdleThreads)
                break;
            ++parked;
            const bool woken = waitLocked(listenerReady, QDeadlineTimer(Limits::IdleThreadMs));
            --parked;
            // A start may come just as the wait ends; it counted on this thread.
            if (!woken && listenDescriptor < 0)
                break;
            continue;
        }
        if (accepting >= Limits::MaxIdleThreads)
            break;
        const int fd = listenDescriptor;
        ++accepting;
        locker.unlock();
        sockaddr_storage peer {};
        socklen_t size = sizeof peer;
        const int socket
            = ::accept4(fd, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
        const int failure = errno;
        locker.relock();
        --accepting;
        if (listenDescriptor != fd) {
            // Stopped meanwhile.
            if (accepting == 0)
                acceptorsLeft.wakeAll();
            if (socket >= 0)
                ::close(socket);
            continue;
        }
        if (socket >= 0) {
            // Someone must go on accepting while this thread serves.
            if (accepting == 0)
                startThread();
            std::optional<ServerThread::Connection> connection
                = admit(thread, socket, QHostAddress(reinterpret_cast<sockaddr *>(&peer)), locker);
            if (connection)
                return connection;
        } else if (failure == EAGAIN || failure == EWOULDBLOCK) {
            // No connection came for a while: the thread ends, unless it is the last one
            // waiting in accept.
            if (accepting > 0)
                break;
        } else if (failure == EMFILE || failure == ENFILE || failure == ENOBUFS || failure == ENOMEM) {
            // Out of descriptors or memory for the moment; the connection waits in the
            // system's queue meanwhile.
            waitLocked(listenerReady, QDeadlineTimer(Limits::AcceptRetryMs));
        }
    }
    ended.append(thread);
    QMetaObject::invokeMethod(this, &WebServer::deleteEnded, Qt::QueuedConnection);
    return std::nullopt;
}

std::optional<ServerThread::Connection>
WebServer::admit(ServerThread *thread, int descriptor, const QHostAddress &peer, QMutexLocker<QMutex> &locker)
{
    // The excess is answered rather than queued: a browser told "busy" can try again, one
    // left waiting cannot tell a busy server from a dead one.
    const QString client = ServerThread::peerName(peer);
    const bool room = !TarnwickSocket::isStopped() && clientMayConnect(client) && makeRoom();
    // A stop may also have come while it waited for its client's share.
    if (TarnwickSocket::isStopped()) {
        ::close(descriptor);
        return std::nullopt;
    }
    if (!room) {
        locker.unlock();
        answerBusy(descriptor);
        locker.relock();
        return std::nullopt;
    }
    ++perClient[client];
    clientOf.insert(thread, client);
    ServerThread::Connection connection = shape;
    connection.descriptor = descriptor;
    connection.client = client;
    connection.announce = announce && client != lastAnnounced;
    if (connection.announce)
        lastAnnounced = client;
    thread->take(connection);
    threads.append(thread);
    locker.unlock();

    const Configuration *settings = Configuration::getCurrentConfig();
    connection.authMode = settings->getParam(ParamAuthMode, ReadDefault::AuthMode);
    connection.inlineFiles = settings->getParam(ParamInline, ReadDefault::Inline) == 1;
    return connection;
}

void WebServer::startThread()
{
    auto *thread = new ServerThread([this](ServerThread *thread) { return nextConnection(thread); },
                                    [this](ServerThread *thread) { connectionClosed(thread); }, nullptr);
    // It may be started from another connection thread; it belongs to the owner's.
    thread->moveToThread(QObject::thread());
    // A connection needs little stack; a small one is quickly made.
    thread->setStackSize(ConnectionStackSize);
    if (announce)
        connect(thread, &ServerThread::newConnection, this, &WebServer::newConnection);
    connect(thread, &ServerThread::error, this, &WebServer::error);
    connect(thread, &ServerThread::served, this, &WebServer::served, Qt::DirectConnection);
    connect(thread->request->socket, &TarnwickSocket::dataLimit, this, &WebServer::dataLimit);
    all.append(thread);
    thread->start(QThread::InheritPriority);
    // The system may refuse another thread (the user's task limit); the connections then
    // wait in the system's queue for a thread that is done with its own.
    if (!thread->isRunning() && !thread->isFinished()) {
        all.removeOne(thread);
        delete thread;
    }
}

void WebServer::deleteEnded()
{
    QMutexLocker locker(&mutex);
    const QList<ServerThread *> done = std::exchange(ended, {});
    for (ServerThread *thread : done)
        all.removeOne(thread);
    locker.unlock();
    // They have left every list and are at most finishing in Qt, which the deletion waits for.
    qDeleteAll(done);
}

bool WebServer::waitLocked(QWaitCondition &condition, QDeadlineTimer deadline)
{
    ThreadSanitizer::mutexUnlockedInside(&mutex);
    const bool woken = condition.wait(&mutex, deadline);
    ThreadSanitizer::mutexLockedInside(&mutex);
    return woken;
}

bool WebServer::makeRoom()
{
    if (threads.size() - closing < maxConnections)
        return true;
    if (closing >= maxClosing)
        return false;
    // A browser sends its request as soon as it has connected, so a connection still
    // waiting for its head is idle or slower than any browser. Closing the one that has
    // waited longest keeps the server open to browsers however many such connections
    // come, where a plain limit would turn them away while the idle ones sit out their
    // deadline. A connection being answered is never closed.
    for (ServerThread *thread : qAsConst(threads)) {
        if (thread->closeIfWaiting()) {
            ++closing;
            return true;
        }
    }
    return false;
}

bool WebServer::clientMayConnect(const QString &client)
{
    if (perClient.value(client) < maxPerAddress)
        return true;
    ++waitingForShare;
    const QDeadlineTimer deadline(Limits::ShareWaitMs);
    while (perClient.value(client) >= maxPerAddress && !deadline.hasExpired())
        waitLocked(shareFreed, deadline);
    --waitingForShare;
    return perClient.value(client) < maxPerAddress;
}

void WebServer::forget(ServerThread *thread)
{
    const auto it = clientOf.find(thread);
    if (it == clientOf.end())
        return;
    if (--perClient[*it] <= 0)
        perClient.remove(*it);
    clientOf.erase(it);
}
