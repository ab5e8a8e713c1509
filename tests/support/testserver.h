#pragma once

#include "client.h"
#include "config/configuration.h"
#include "server/serverthread.h"
#include "server/webserver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// A server on a free loopback port that shares a scratch folder and stores uploads in
// another, with the page files of the build tree. Settings change in memory only.
class TestServer
{
public:
    explicit TestServer(int auth = AuthNone, const QString &password = QString())
    {
        Configuration *c = config();
        c->setParam(ParamPort, 0);
        c->setParam(ParamAuthMode, auth);
        c->setParam(ParamPassword, password);
        c->setParam(ParamDataLimit, 0);
        c->setParam(ParamThumbnailView, 0);
        c->removeParam(ParamPhoneListing);
        c->removeParam(ParamInline);
        c->setParam(ParamDownloadPath, downloads.path());
        c->setUserList({});
        share(shared.path());
        server.configurationChanged(c);
        server.start();
    }

    static Configuration *config() { return Configuration::getCurrentConfig(); }
    static void share(const QString &path) { ServerThread::fileInfo.store(QFileInfo(path)); }
    static QString page(const char *name)
    {
        return QString::fromLocal8Bit(*Configuration::LangPath) + QLatin1String(name);
    }
    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
    }

    // Pushes the in-memory settings to the server, as an apply would.
    void reconfigure() { server.configurationChanged(config()); }
    quint16 port() const { return server.serverPort(); }
    QString put(const QString &name, const QByteArray &bytes)
    {
        write(shared.filePath(name), bytes);
        return shared.filePath(name);
    }
    Reply get(const QByteArray &path, const QByteArray &headers = QByteArray())
    {
        return Client::exchange(port(),
                                "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n");
    }

    QTemporaryDir shared;
    QTemporaryDir downloads;
    WebServer server;
};
