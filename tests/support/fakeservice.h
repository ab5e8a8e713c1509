#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// Stands in for the outside web services: an HTTP server on 127.0.0.1 that answers
// each GET with the body set for its path (empty when none is set), after an optional
// delay, or never. It records every request head, and counts the connections the
// client closed before they were answered.
class FakeService : public QObject
{
public:
    FakeService();

    // http://127.0.0.1:<port>, to hand to the services' seam.
    QUrl base() const;
    // A URL on loopback where nothing listens.
    static QUrl deadBase();

    void answer(const QByteArray &path, const QByteArray &body, int delayMs = 0);
    void neverAnswer(const QByteArray &path);

    // Request heads as received, in order, and their request lines.
    QList<QByteArray> heads;
    QList<QByteArray> requestLines() const;
    // The value of a header of request i, empty when missing.
    QByteArray header(int i, const QByteArray &name) const;
    int closedUnanswered = 0;

private:
    struct Route
    {
        QByteArray body;
        int delayMs = 0;
        bool silent = false;
    };

    void accept();
    void read(QTcpSocket *socket);

    QTcpServer server;
    QHash<QByteArray, Route> routes;
};
