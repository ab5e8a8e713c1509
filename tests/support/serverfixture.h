#pragma once

#include "config/configuration.h"
#include "server/serverthread.h"
#include "server/webserver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

// A listening server on a free loopback port, with its own data folder (page and image
// files written by the test) and a shared folder to fill. Settings change in memory
// only, as a test needs them.
class ServerFixture
{
public:
    ServerFixture()
    {
        QDir data(dataDir.path());
        data.mkpath(QStringLiteral("lang/C"));
        data.mkpath(QStringLiteral("img"));
        writeFile(dataDir.filePath(QStringLiteral("lang/C/login.html")), LoginPage);
        writeFile(dataDir.filePath(QStringLiteral("lang/C/upload.html")), UploadPage);
        writeFile(dataDir.filePath(QStringLiteral("lang/C/upload.css")), "body{}");
        writeFile(dataDir.filePath(QStringLiteral("lang/C/upload_ok.html")), UploadOkPage);
        writeFile(dataDir.filePath(QStringLiteral("lang/C/upload_err.html")), UploadErrorPage);
        writeFile(dataDir.filePath(QStringLiteral("lang/C/exist.html")), ExistPage);
        writeFile(dataDir.filePath(QStringLiteral("img/favicon.ico")), "icon bytes");
        writeFile(dataDir.filePath(QStringLiteral("img/sand-light.jpg")), "jpeg bytes");
        Configuration::setDataDir(dataDir.path());

        config()->setParam(ParamPort, 0);
        config()->setParam(ParamAuthMode, AuthNone);
        config()->setParam(ParamPassword, QString());
        config()->setParam(ParamDataLimit, 0);
        config()->setParam(ParamThumbnailView, 0);
        config()->setUserList({});
        config()->setParam(ParamDownloadPath, downloads.path());
        shareFolder();
        server = std::make_unique<WebServer>();
    }

    ~ServerFixture()
    {
        server.reset();
        Configuration::setDataDir(Configuration::defaultDataDir());
    }

    static Configuration *config() { return Configuration::getCurrentConfig(); }

    // Pushes the in-memory settings to the server, as an apply would.
    void reconfigure() { server->configurationChanged(config()); }

    bool start() { return server->start(); }
    quint16 port() const { return server->serverPort(); }

    void shareFolder() { ServerThread::fileInfo.store(QFileInfo(shared.path())); }
    void share(const QString &path) { ServerThread::fileInfo.store(QFileInfo(path)); }
    void shareUploadPage()
    {
        ServerThread::fileInfo.store(QFileInfo(dataDir.filePath(QStringLiteral("lang/C/upload.html"))));
    }

    // Where uploads are stored; the server sees a change at once.
    void setDownloadDir(const QString &path)
    {
        config()->setParam(ParamDownloadPath, path);
        reconfigure();
    }

    QString sharedPath(const QString &name) const { return shared.filePath(name); }
    QString downloadPath(const QString &name) const { return downloads.filePath(name); }
    QString dataPath(const QString &name) const { return dataDir.filePath(name); }
    QString iconDir() const { return QString::fromLocal8Bit(*Configuration::IconDir); }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
    }

    static constexpr char LoginPage[]
        = "<html><body><form method=\"post\" action=\"/login\">login</form></body></html>";
    static constexpr char UploadPage[] = "<html><body>upload page</body></html>";
    static constexpr char UploadOkPage[] = "<html><body>stored</body></html>";
    static constexpr char UploadErrorPage[] = "<html><body>not stored</body></html>";
    static constexpr char ExistPage[] = "<html><body>name taken</body></html>";

    QTemporaryDir dataDir;
    QTemporaryDir shared;
    QTemporaryDir downloads;
    std::unique_ptr<WebServer> server;
};
