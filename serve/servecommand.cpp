#include "servecommand.h"

#include "config/configuration.h"
#include "net/hostaddresses.h"
#include "net/qrcode.h"
#include "net/reachabilitycheck.h"
#include "server/http_request.h"
#include "server/requestrecord.h"
#include "server/serverthread.h"
#include "server/tarnwicksocket.h"
#include "server/webserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <csignal>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitCannotListen = 3;
constexpr char PasswordVariable[] = "TARNWICK_PASSWORD";

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
    QMutexLocker locker(&outMutex);
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
    // Its defaults would share openly what the owner may have protected.
    if (!config->problem().isEmpty() && !options.authMode) {
        err << "tarnwick-serve: " << config->problem() << "; give --auth to serve without it" << Qt::endl;
        return false;
    }
    if (options.port)
        config->setParam(ParamPort, *options.port);
    if (options.authMode)
        config->setParam(ParamAuthMode, *options.authMode);
    if (!takeSecrets(config))
        return false;
    if (options.downloadDir)
        config->setParam(ParamDownloadPath, QFileInfo(*options.downloadDir).absoluteFilePath());
    if (options.dataLimitKb)
        config->setParam(ParamDataLimit, *options.dataLimitKb);
    if (options.lifetime)
        config->setParam(ParamLifetime, *options.lifetime);
    if (options.thumbnails)
        config->setParam(ParamThumbnailView, 1);
    if (options.phoneListing)
        config->setParam(ParamPhoneListing, *options.phoneListing ? 1 : 0);
    if (options.inlineFiles)
        config->setParam(ParamInline, 1);
    // The session store took its lifetime from the saved settings.
    HTTP_Request::sessionManager.configurationChanged(config);
    if (config->getParam(ParamAuthMode, ReadDefault::AuthMode) == AuthPassword
        && config->getParam(ParamPassword).isEmpty()) {
        err << "tarnwick-serve: --auth password needs a password: --password-file FILE, TARNWICK_PASSWORD "
               "or --password TEXT"
            << Qt::endl;
        return false;
    }

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
        // Out of the box, uploads land where the desktop keeps downloads.
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        if (!options.downloadDir && Sharing::downloadFolderProblem(config->getParam(ParamDownloadPath))
            && !Sharing::downloadFolderProblem(desktop))
            config->setParam(ParamDownloadPath, desktop);
        if (const std::optional<QString> problem
            = Sharing::downloadFolderProblem(config->getParam(ParamDownloadPath))) {
            err << "tarnwick-serve: cannot store uploads in the download folder: " << *problem
                << " (--download-dir DIR)" << Qt::endl;
            return false;
        }
    }
    ServerThread::fileInfo.store(QFileInfo(target.absoluteFilePath()));
    ServerThread::OperatingMode = options.mode;
    return true;
}

bool ServeCommand::takeSecrets(Configuration *config)
{
    // On the command line a secret is visible to every local user; a file or the
    // environment keeps it private.
    std::optional<QString> password = options.password;
    if (!password && options.passwordFile) {
        const std::optional<QString> text = readFile(*options.passwordFile);
        if (!text)
            return false;
        password = text->section(QLatin1Char('\n'), 0, 0);
    }
    if (!password && qEnvironmentVariableIsSet(PasswordVariable))
        password = qEnvironmentVariable(PasswordVariable);
    if (password)
        config->setParam(ParamPassword, *password);

    QStringList users = options.users;
    if (options.usersFile) {
        const std::optional<QString> text = readFile(*options.usersFile);
        if (!text)
            return false;
        const QStringList lines = text->split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            if (lines.at(i).isEmpty())
                continue;
            if (!ServeOptions::isUserEntry(lines.at(i))) {
                err << "tarnwick-serve: " << *options.usersFile << " line " << i + 1
                    << " is not NAME:PASSWORD" << Qt::endl;
                return false;
            }
            users.append(lines.at(i));
        }
    }
    if (!users.isEmpty())
        config->setUserList(users);
    return true;
}

std::optional<QString> ServeCommand::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        err << "tarnwick-serve: cannot read " << path << ": " << file.errorString() << Qt::endl;
        return std::nullopt;
    }
    return QString::fromUtf8(file.readAll());
}

void ServeCommand::printAddresses(int port)
{
    // The same addresses the window lists and this machine's own, or the one address given.
    QStringList addresses = options.bind ? QStringList {ServerThread::peerName(*options.bind)}
                                         : listenAddresses(interfaceEntries());
    if (!options.bind && !addresses.contains(QStringLiteral("127.0.0.1")))
        addresses.append(QStringLiteral("127.0.0.1"));
    if (options.mode == Sharing::GetFiles)
        say(QStringLiteral("Receiving files into %1 — open:")
                .arg(QDir::toNativeSeparators(
                    Configuration::getCurrentConfig()->getParam(ParamDownloadPath))));
    else
        say(QStringLiteral("Serving %1 — open:")
                .arg(QDir::toNativeSeparators(ServerThread::fileInfo.load().filePath())));
    for (const QString &address : addresses)
        say(QLatin1String("  ") + Sharing::address(address, port));
    if (options.qr)
        out << QrCode(Sharing::address(addresses.first(), port)).text() << Qt::flush;
}

void ServeCommand::checkReachability(int port)
{
    auto *check = new ReachabilityCheck(this);
    connect(check, &ReachabilityCheck::answered, this, [this, port](const QString &address, bool reachable) {
        say(QStringLiteral("Public address: %1 (%2)")
                .arg(Sharing::address(address, port),
                     reachable ? QStringLiteral("reachable from the internet")
                               : QStringLiteral("not reachable from the internet")));
    });
    connect(check, &ReachabilityCheck::failed, this,
            [this] { say(QStringLiteral("No internet connection")); });
    check->start(port);
}

void ServeCommand::log(const RequestRecord &record)
{
    // The C library reads the time zone once; Qt's local time would look at it again for
    // every line.
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    char time[32] = {};
    if (localtime_r(&now, &local))
        std::strftime(time, sizeof time, "%Y-%m-%d %H:%M:%S", &local);
    QString line = QStringLiteral("%1 %2 %3 %4 %5 %6")
                       .arg(QLatin1String(time), record.client, QString::fromLatin1(record.method),
                            QString::fromLatin1(record.path))
                       .arg(record.status)
                       .arg(record.sent);
    if (!record.note.isEmpty())
        line += QLatin1Char(' ') + record.note;
    say(line);
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
        if (options.bind)
            server.setBindAddress(*options.bind);
        server.setAllowedHosts(hostNames(Configuration::getCurrentConfig()) + options.allowHosts);
        if (!options.quiet)
            connect(&server, &WebServer::served, this, &ServeCommand::log, Qt::DirectConnection);
        connect(&server, &WebServer::error, this, [this](const QString &title, const QString &text) {
            err << title << ": " << QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')) << Qt::endl;
        });
        connect(&server, &WebServer::dataLimit, this, [this, &server] {
            server.stop();
            say(QStringLiteral("Data limit reached; the server has stopped."));
            QCoreApplication::exit(0);
        });

        if (!server.start()) {
            if (server.serverError() == QAbstractSocket::AddressInUseError)
                err << "tarnwick-serve: port "
                    << Configuration::getCurrentConfig()->getParam(ParamPort, ReadDefault::Port)
                    << " is in use; pick another with --port N, or --port 0 for any free one" << Qt::endl;
            return ExitCannotListen;
        }
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
