#include "reachabilitycheck.h"

#include "net/outsideservices.h"
#include "server/tarnwicksocket.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

ReachabilityCheck::ReachabilityCheck(QObject *parent)
    : QObject(parent)
    , network(new QNetworkAccessManager(this))
{ }

void ReachabilityCheck::start(int port)
{
    QNetworkReply *reply = network->get(OutsideServices::request(OutsideServices::portCheckUrl(port)));
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finished(reply); });
}

void ReachabilityCheck::finished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        Q_EMIT failed();
        return;
    }
    const QByteArray body = reply->readAll();
    TarnwickSocket::Received.fetch_add(body.size());
    if (OutsideServices::replyKind(body) != OutsideServices::ReplyKind::PortCheck) {
        Q_EMIT failed();
        return;
    }
    const OutsideServices::PortCheckResult result = OutsideServices::parsePortCheck(body);
    Q_EMIT answered(result.publicAddress, result.reachable);
}
