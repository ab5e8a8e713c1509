#include "fakeservice.h"

#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

FakeService::FakeService()
{
    // Whatever the environment says, requests to the fake go straight to loopback.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    server.listen(QHostAddress::LocalHost);
    connect(&server, &QTcpServer::newConnection, this, &FakeService::accept);
}

QUrl FakeService::base() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()));
}

QUrl FakeService::deadBase()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
}

void FakeService::answer(const QByteArray &path, const QByteArray &body, int delayMs)
{
    routes.insert(path, {body, delayMs, false});
}

void FakeService::neverAnswer(const QByteArray &path)
{
    routes.insert(path, {QByteArray(), 0, true});
}

QList<QByteArray> FakeService::requestLines() const
{
    QList<QByteArray> lines;
    for (const QByteArray &head : heads)
        lines.append(head.left(head.indexOf("\r\n")));
    return lines;
}

QByteArray FakeService::header(int i, const QByteArray &name) const
{
    const QList<QByteArray> lines = heads.value(i).split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

void FakeService::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
    }
}

void FakeService::read(QTcpSocket *socket)
{
    QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    socket->setProperty("head", head);
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0 || socket->property("seen").toBool())
        return;
    socket->setProperty("seen", true);
    head.truncate(end + 2);
    heads.append(head);

    const QByteArray target = head.split(' ').value(1);
    const Route route = routes.value(target.left(target.indexOf('?')));
    if (route.silent) {
        connect(socket, &QTcpSocket::disconnected, this, [this] { ++closedUnanswered; });
        return;
    }
    const QByteArray response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: "
        + QByteArray::number(route.body.size()) + "\r\nConnection: close\r\n\r\n" + route.body;
    QTimer::singleShot(route.delayMs, socket, [socket, response] {
        socket->write(response);
        socket->disconnectFromHost();
    });
}
