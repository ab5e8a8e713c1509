#include "webserver.h"

#include "config/configuration.h"
#include "http_request.h"
#include "limits.h"
#include "serverthread.h"
#include "sessionmanager.h"
#include "tarnwicksocket.h"

#include <QHostAddress>

#include <unistd.h>

namespace {
constexpr uint ConnectionStackSize = 256 * 1024;
}

WebServer::WebServer(QObject *parent)
    : QTcpServer(parent)
    , headWaitMs(Limits::RequestWaitMs)
{
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
    for (ServerThread *thread : findChildren<ServerThread *>())
        thread->wait();
}

bool WebServer::start()
{
    TarnwickSocket::Start();
    if (!listen(QHostAddress::Any, quint16(port))) {
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
    locker.unlock();

    if (wasListening)
        Q_EMIT stopped();
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

    auto *thread = new ServerThread(socketDescriptor, this);
    // A connection needs little stack; small stacks are reused by the C library instead
    // of being mapped and unmapped for every connection.
    thread->setStackSize(ConnectionStackSize);
    thread->setHeadWait(headWaitMs);
    connect(thread, qOverload<ServerThread *>(&ServerThread::end), this, &WebServer::removeThread);
    connect(thread, &ServerThread::newConnection, this, &WebServer::newConnection);
    connect(thread, &ServerThread::error, this, &WebServer::error);
    connect(thread->request->socket, &TarnwickSocket::dataLimit, this, &WebServer::dataLimit);

    QMutexLocker locker(&mutex);
    threads.append(thread);
    locker.unlock();
    thread->start(QThread::InheritPriority);
}

void WebServer::removeThread(ServerThread *thread)
{
    QMutexLocker locker(&mutex);
    threads.removeOne(thread);
    locker.unlock();
    thread->deleteLater();
}
