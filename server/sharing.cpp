#include "sharing.h"

#include "config/configuration.h"

#include <QDir>

namespace {
constexpr char UploadPageName[] = "upload.html";
constexpr int HttpPort = 80;
} // namespace

namespace Sharing {

QString uploadPage()
{
    return QString::fromLocal8Bit(*Configuration::LangPath) + QLatin1String(UploadPageName);
}

QFileInfo target(Mode mode, const QString &chosen)
{
    return QFileInfo(mode == GetFiles ? uploadPage() : chosen);
}

bool hasTarget(Mode mode, const QFileInfo &shared)
{
    switch (mode) {
    case ShareFolder:
        return shared.isDir();
    case ShareFile:
        return shared.isFile();
    case GetFiles:
        return true;
    }
    return false;
}

bool receivesFiles(const QFileInfo &shared)
{
    return shared.isFile()
        && QDir::cleanPath(shared.absolutePath())
        == QDir::cleanPath(QString::fromLocal8Bit(*Configuration::LangPath));
}

std::optional<QString> downloadFolderProblem(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("%1 does not exist").arg(folder);
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder").arg(folder);
    if (!info.isWritable())
        return QStringLiteral("%1 is not writable").arg(folder);
    return std::nullopt;
}

QString address(const QString &host, int port)
{
    // An IPv6 address is bracketed, so that its colons do not read as the port's.
    const QString name = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return port == HttpPort ? QStringLiteral("http://%1/").arg(name)
                            : QStringLiteral("http://%1:%2/").arg(name).arg(port);
}

QString version()
{
    return QStringLiteral(TARNWICK_VERSION);
}

} // namespace Sharing
