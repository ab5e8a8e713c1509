#include "servecommand.h"

#include "config/configuration.h"
#include "net/hostaddresses.h"
#include "net/reachabilitycheck.h"
#include "server/serverthread.h"
#include "server/tarnwicksocket.h"
#include "server/webserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitCannotListen = 3;

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Nothing else is safe inside a signal handler.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

ServeCommand::ServeCommand(const ServeOptions &options)
    : options(options)
    , out(stdout)
    , err(stderr)
{ }

void ServeCommand::say(const QString &line)
{
    out << line << Qt::endl;
}

bool ServeCommand::prepare()
{
    if (options.dataDir) {
        if (!QFileInfo(*options.dataDir).isDir()) {
            err << "tarnwick-serve: no folder " << *options.dataDir << Qt::endl;
            return false;
        }
        Configuration::setDataDir(*options.dataDir);
    }

    // For this run only: the current settings change in memory and are never saved.
    Configuration *config = Configuration::getCurrentConfig();
    if (options.port)
        config->setParam(ParamPort, *options.port);
    if (options.authMode)
        config->setParam(ParamAuthMode, *options.authMode);
    if (options.password)
        config->setParam(ParamPassword, *options.password);
    if (!options.users.isEmpty())
        config->setUserList(options.users);
    if (options.downloadDir)
        config->setParam(ParamDownloadPath, QFileInfo(*options.downloadDir).absoluteFilePath());
    if (options.dataLimitKb)
        config->setParam(ParamDataLimit, *options.dataLimitKb);
    if (options.lifetime)
        config->setParam(ParamLifetime, *options.lifetime);
    if (options.thumbnails)
        config->setParam(ParamThumbnailView, 1);

    const QFileInfo target = Sharing::target(options.mode, options.path);
    if (options.mode == Sharing::ShareFolder && !target.isDir()) {
        err << "tarnwick-serve: not a folder: " << options.path << Qt::endl;
        return false;
    }
    if (options.mode == Sharing::ShareFile && !target.isFile()) {
        err << "tarnwick-serve: not a file: " << options.path << Qt::endl;
        return false;
    }
    if (options.mode == Sharing::GetFiles) {
        if (const std::optional<QString> problem = Sharing::downloadFolderProblem(config->getParam(ParamDownloadPath))) {
            err << "tarnwick-serve: cannot store uploads in the download folder: " << *problem
                << " (--download-dir DIR)" << Qt::endl;
            return false;
        }
    }
    ServerThread::fileInfo.store(QFileInfo(target.absoluteFilePath()));
    ServerThread::OperatingMode = options.mode;
    return true;
}

void ServeCommand::printAddresses(int port)
{
    // The same addresses the window lists.
    const QStringList addresses = listenAddresses(interfaceEntries());
    say(QStringLiteral("Serving %1 — open:")
            .arg(QDir::toNativeSeparators(ServerThread::fileInfo.load().filePath())));
    for (const QString &address : addresses)
        say(QLatin1String("  ") + Sharing::address(address, port));
}

void ServeCommand::checkReachability(int port)
{
    auto *check = new ReachabilityCheck(this);
    connect(check, &ReachabilityCheck::answered, this,
            [this, port](const QString &address, bool reachable) {
                say(QStringLiteral("Public address: %1 (%2)")
                        .arg(Sharing::address(address, port),
                             reachable ? QStringLiteral("reachable from the internet")
                                       : QStringLiteral("not reachable from the internet")));
            });
    connect(check, &ReachabilityCheck::failed, this,
            [this] { say(QStringLiteral("No internet connection")); });
    check->start(port);
}

void ServeCommand::printTotals()
{
    say(QStringLiteral("Sent %1 bytes, received %2 bytes.")
            .arg(TarnwickSocket::Sent.load())
            .arg(TarnwickSocket::Received.load()));
}

int ServeCommand::run()
{
    if (!prepare())
        return ExitUsage;

    if (::pipe(signalPipe) != 0)
        return ExitUsage;
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    connect(&notifier, &QSocketNotifier::activated, qApp, [] { QCoreApplication::exit(0); });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    {
        WebServer server;
        connect(&server, &WebServer::newConnection, this,
                [this](const QString &address) { say(QStringLiteral("Connection from %1").arg(address)); });
        connect(&server, &WebServer::error, this, [this](const QString &title, const QString &text) {
            err << title << ": " << QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')) << Qt::endl;
        });
        connect(&server, &WebServer::dataLimit, this, [this, &server] {
            server.stop();
            say(QStringLiteral("Data limit reached; the server has stopped."));
            QCoreApplication::exit(0);
        });

        if (!server.start())
            return ExitCannotListen;
        printAddresses(server.serverPort());
        if (options.checkReachability)
            checkReachability(server.serverPort());

        status = QCoreApplication::exec();
        server.stop();
        // Leaving this block waits for every connection thread, so the totals below
        // hold the last block each of them moved.
    }
    printTotals();
    return status;
}
