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
#include <QTimer>

#include <sys/resource.h>
#include <sys/socket.h>
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

// The client's address, for counting its connections.
QString clientAddress(qintptr descriptor)
{
    sockaddr_storage address {};
    socklen_t size = sizeof address;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return QString();
    return ServerThread::peerName(QHostAddress(reinterpret_cast<sockaddr *>(&address)));
}

} // namespace

WebServer::WebServer(QObject *parent)
    : QTcpServer(parent)
    , maxPerAddress(Limits::MaxConnectionsPerAddress)
    , headWaitMs(Limits::RequestWaitMs)
    , bodyWaitMs(Limits::UploadSilenceMs)
{
    fitDescriptorLimit();
    setMaxConnections(Limits::MaxConnections);
    // Qt stops accepting for good after an error that is not momentary, such as running
    // out of descriptors; the connections wait in the system's queue, so it tries again.
    connect(this, &QTcpServer::acceptError, this, [this] {
        QTimer::singleShot(Limits::AcceptRetryMs, this, [this] {
            if (isListening())
                resumeAccepting();
        });
    });
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
    for (ServerThread *thread : qAsConst(idle))
        thread->wakeUp.wakeOne();
    locker.unlock();
    for (ServerThread *thread : findChildren<ServerThread *>()) {
        thread->wait();
        ThreadSanitizer::happensAfter(thread);
    }
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
    HTTP_Request::sessionManager.startTimer();
    state = 1;
    Q_EMIT started();
    return true;
}

void WebServer::stop()
{
    close();
    TarnwickSocket::Stop();
    const bool wasListening = state == 1;
    state = 0;
    HTTP_Request::sessionManager.stopTimer();

    QMutexLocker locker(&mutex);
    for (ServerThread *thread : qAsConst(threads))
        thread->abortConnection();
    threads.clear();
    clientOf.clear();
    perClient.clear();
    closing = 0;
    locker.unlock();

    if (wasListening)
        Q_EMIT stopped();
}

void WebServer::setMaxConnections(int n)
{
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

void WebServer::incomingConnection(qintptr socketDescriptor)
{
    if (TarnwickSocket::isStopped()) {
        ::close(int(socketDescriptor));
        return;
    }
    const QString client = clientAddress(socketDescriptor);
    Configuration *settings = Configuration::getCurrentConfig();
    ServerThread::Connection connection;
    connection.descriptor = socketDescriptor;
    connection.hosts = allowedHosts;
    connection.authMode = settings->getParam(ParamAuthMode, ReadDefault::AuthMode);
    connection.headWaitMs = headWaitMs;
    connection.bodyWaitMs = bodyWaitMs;
    connection.inlineFiles = settings->getParam(ParamInline, ReadDefault::Inline) == 1;
    connection.recording = isSignalConnected(QMetaMethod::fromSignal(&WebServer::served));

    // The excess is answered at once rather than queued: a browser told "busy" can try
    // again, one left waiting cannot tell a busy server from a dead one.
    QMutexLocker locker(&mutex);
    if (!ended.isEmpty()) {
        // They have left every list and are at most finishing in Qt, which the deletion
        // waits for. (A finished() signal queued to deleteLater() would have Qt read the
        // object while it finishes, an ordering the race detector cannot see.)
        const QList<ServerThread *> done = std::exchange(ended, {});
        locker.unlock();
        qDeleteAll(done);
        locker.relock();
    }
    if (perClient.value(client) >= maxPerAddress || !makeRoom()) {
        locker.unlock();
        answerBusy(socketDescriptor);
        return;
    }
    ++perClient[client];
    if (!idle.isEmpty()) {
        // The thread that waited least is the one whose stack is still in the cache.
        ServerThread *thread = idle.takeLast();
        clientOf.insert(thread, client);
        thread->take(connection);
        threads.append(thread);
        thread->wakeUp.wakeOne();
        return;
    }

    auto *thread = new ServerThread(
        [this](ServerThread *thread, bool done) { return nextConnection(thread, done); }, this);
    // A connection needs little stack; a small one is quickly made.
    thread->setStackSize(ConnectionStackSize);
    if (isSignalConnected(QMetaMethod::fromSignal(&WebServer::newConnection)))
        connect(thread, &ServerThread::newConnection, this, &WebServer::newConnection);
    connect(thread, &ServerThread::error, this, &WebServer::error);
    connect(thread, &ServerThread::served, this, &WebServer::served, Qt::DirectConnection);
    connect(thread->request->socket, &TarnwickSocket::dataLimit, this, &WebServer::dataLimit);
    clientOf.insert(thread, client);
    thread->take(connection);
    threads.append(thread);
    thread->start(QThread::InheritPriority);

    // The system may refuse another thread (the user's task limit); the connection is then
    // one too many after all.
    if (!thread->isRunning() && !thread->isFinished()) {
        threads.removeOne(thread);
        forget(thread);
        locker.unlock();
        delete thread;
        answerBusy(socketDescriptor);
    }
}

std::optional<ServerThread::Connection> WebServer::nextConnection(ServerThread *thread, bool done)
{
    QMutexLocker locker(&mutex);
    // The connection it served is done (unless a stop forgot it already).
    if (done && threads.removeOne(thread)) {
        if (thread->closedWhileWaiting())
            --closing;
        forget(thread);
    }
    if (!thread->next && !quitting && idle.size() < Limits::MaxIdleThreads) {
        idle.append(thread);
        while (!thread->next && !quitting) {
            ThreadSanitizer::mutexUnlockedInside(&mutex);
            const bool woken = thread->wakeUp.wait(&mutex, QDeadlineTimer(Limits::IdleThreadMs));
            ThreadSanitizer::mutexLockedInside(&mutex);
            if (!woken)
                break;
        }
        idle.removeOne(thread);
    }
    std::optional<ServerThread::Connection> given = std::exchange(thread->next, std::nullopt);
    if (!given)
        ended.append(thread);
    return given;
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

void WebServer::forget(ServerThread *thread)
{
    const auto it = clientOf.find(thread);
    if (it == clientOf.end())
        return;
    if (--perClient[*it] <= 0)
        perClient.remove(*it);
    clientOf.erase(it);
}
