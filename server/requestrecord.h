#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

// What one request came to, for a log: who asked for what, and how it was answered.
struct RequestRecord
{
    QString client;
    // "GET" or "POST".
    QByteArray method;
    // The path as the request sent it, percent-escapes and all, so a log line holds
    // nothing a terminal would act on.
    QByteArray path;
    // The status code of the answer; 0 when none was sent.
    int status = 0;
    // Bytes this connection sent.
    qint64 sent = 0;
    // What an upload or a login came to: "stored NAME (N bytes)", "refused NAME: reason",
    // "login refused"; empty for the rest.
    QString note;
};

Q_DECLARE_METATYPE(RequestRecord)
