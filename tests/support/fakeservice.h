#pragma once

#include <QHash>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

// Stands in for the outside web services: an HTTP server on loopback that answers each
// GET with the body set for its path, or never when none is set, and keeps the request
// lines it got.
class FakeService : public QObject
{
public:
    FakeService()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
    }

    QUrl base() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort())); }

    QHash<QByteArray, QByteArray> bodies; // by path
    QList<QByteArray> requests;

private:
    void read(QTcpSocket *socket)
    {
        const QByteArray head = socket->readAll();
        if (socket->property("seen").toBool())
            return;
        socket->setProperty("seen", true);
        const QByteArray line = head.left(head.indexOf("\r\n"));
        requests.append(line);
        const QByteArray target = line.split(' ').value(1);
        const QByteArray path = target.left(target.indexOf('?'));
        if (!bodies.contains(path))
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(bodies[path].size())
                      + "\r\nConnection: close\r\n\r\n" + bodies[path]);
        socket->disconnectFromHost();
    }

    QTcpServer server;
};
