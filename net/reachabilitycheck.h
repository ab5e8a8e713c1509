#pragma once

#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// One open-port check for the headless front end: asks the port-check service whether
// the port can be reached from the internet and reports the public address it sees.
// The reply size counts into the traffic totals, as the window's checks do.
class ReachabilityCheck : public QObject
{
    Q_OBJECT

public:
    explicit ReachabilityCheck(QObject *parent = nullptr);

    void start(int port);

Q_SIGNALS:
    void answered(const QString &publicAddress, bool reachable);
    // No connection, a time-out, or a reply that is not a port-check answer.
    void failed();

private:
    void finished(QNetworkReply *reply);

    QNetworkAccessManager *network;
};
