#include "configuration.h"

#include "paramfile.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QMutexLocker>

namespace {

const char SettingsFolder[] = "/.tarnwickServer/";
const char DefaultDownloadPath[] = "/home/user/MyDocs/Downloads";

// Where a build-tree or relocated program finds its page files: a staged copy laid out
// like the install folder, relative to the folder of the running binary.
const char StagedDataDir[] = "/../share/TarnwickWebServer/";

QByteArray *newIfNull(QByteArray *&value)
{
    if (!value)
        value = new QByteArray;
    return value;
}

} // namespace

Configuration *Configuration::config = nullptr;
QByteArray *Configuration::ConfigDir = nullptr;
QByteArray *Configuration::DataDir = nullptr;
QByteArray *Configuration::LangPath = nullptr;
QByteArray *Configuration::IconDir = nullptr;
LockedValue<QString> Configuration::Password;
LockedValue<QFileInfo> Configuration::DownloadDir;
bool Configuration::RootMode = false;

Configuration::Configuration(const char *name)
{
    const QString dir = QDir::homePath() + QLatin1String(SettingsFolder);
    if (!QFileInfo::exists(dir) && QDir().mkpath(dir)) {
        // It will hold passwords.
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    *newIfNull(ConfigDir) = dir.toLocal8Bit();
    fileName = dir + QString::fromLocal8Bit(name);

    if (!LangPath)
        dataDir();

    load();
}

Configuration *Configuration::getCurrentConfig()
{
    if (!config)
        config = new Configuration("config.dat");
    return config;
}

bool Configuration::load()
{
    ParamFile::Contents contents;
    QString error;
    const ParamFile::ReadStatus status = ParamFile::read(fileName, &contents, &error);
    if (status == ParamFile::ReadStatus::Read && !contents.damaged) {
        setParamMap(contents.params);
        setUserList(contents.strings);
        return true;
    }
    // A file that is there but cannot be read must not share openly, as the defaults would.
    if (status == ParamFile::ReadStatus::Unreadable)
        unreadable = QStringLiteral("%1 cannot be read: %2").arg(fileName, error);
    else if (status == ParamFile::ReadStatus::Read)
        unreadable = QStringLiteral("%1 is damaged").arg(fileName);

    // First start: the defaults live in memory until the first apply writes them.
    setParam(ParamPort, ReadDefault::Port);
    setParam(ParamAuthMode, ReadDefault::AuthMode);
    setParam(ParamWarningMode, ReadDefault::WarningMode);
    setParam(ParamMaxConn, ReadDefault::MaxConn);
    setParam(ParamDataLimit, ReadDefault::DataLimit);
    setParam(ParamLifetime, ReadDefault::Lifetime);
    setParam(ParamDownloadPath, QString::fromLatin1(DefaultDownloadPath));
    setParam(ParamThumbnailView, ReadDefault::ThumbnailView);
    return false;
}

bool Configuration::apply(Configuration *next, QString *error)
{
    const QMap<int, QVariant> nextParams = next->paramMap();
    const QList<QString> nextUsers = next->userList();
    QString reason;
    if (!ParamFile::write(fileName, nextParams, nextUsers, &reason)) {
        if (error)
            *error = fileName + QLatin1String(": ") + reason;
        return false;
    }

    // Listeners compare the old values (still ours) with the new ones.
    Q_EMIT configurationChanged(next);

    QMutexLocker locker(&lock);
    params = nextParams;
    users = nextUsers;
    unreadable.clear();
    return true;
}

bool Configuration::equals(const Configuration *other) const
{
    return userList() == other->userList() && Properties::equals(other);
}

QList<QString> Configuration::userList() const
{
    QMutexLocker locker(&lock);
    return users;
}

void Configuration::setUserList(const QList<QString> &list)
{
    QMutexLocker locker(&lock);
    users = list;
}

bool Configuration::setLangPath(const QString &dir, const QByteArray &locale)
{
    QByteArray &path = *newIfNull(LangPath);
    path.append(dir.toLocal8Bit()).append(locale);
    if (QFileInfo::exists(QString::fromLocal8Bit(path))) {
        path.append('/');
        return true;
    }
    if (path.startsWith(':') || path.startsWith('/')) {
        path.append('/');
        return false;
    }
    // A relative folder is looked up among the compiled-in resources.
    path = ":/";
    return setLangPath(dir, locale);
}

QString Configuration::dataDir()
{
    if (!DataDir)
        setDataDir(defaultDataDir());
    return QString::fromLocal8Bit(*DataDir);
}

void Configuration::setDataDir(const QString &dir)
{
    QByteArray base = QDir::cleanPath(dir).toLocal8Bit();
    if (!base.endsWith('/'))
        base.append('/');
    *newIfNull(DataDir) = base;
    *newIfNull(IconDir) = base + "img/";

    const QString langDir = QString::fromLocal8Bit(base) + QLatin1String("lang/");
    newIfNull(LangPath)->clear();
    if (!setLangPath(langDir, QLocale::system().name().toLocal8Bit())) {
        LangPath->clear();
        setLangPath(langDir, "C");
    }
}

QString Configuration::defaultDataDir()
{
    // The binary's own path, also during static initialisation when no application
    // object exists yet to ask.
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString binDir = QFileInfo(self.canonicalFilePath()).absolutePath();
    const QString staged = QDir::cleanPath(binDir + QLatin1String(StagedDataDir));
    if (!binDir.isEmpty() && QFileInfo(staged + QLatin1String("/lang")).isDir())
        return staged + QLatin1Char('/');
    return QStringLiteral(TARNWICK_DATA_DIR);
}
