#pragma once

#include "base/lockedvalue.h"
#include "paramid.h"
#include "properties.h"

#include <QByteArray>
#include <QFileInfo>
#include <QList>
#include <QString>

// The server settings stored in config.dat. One instance, the current configuration,
// is in force; the settings dialog edits a working copy and hands it to apply().
class Configuration : public Properties
{
    Q_OBJECT

public:
    explicit Configuration(const char *name);

    static Configuration *getCurrentConfig();

    // Reads the file, or takes the defaults when it cannot be read (then false).
    bool load();
    // Why the file was there but could not be read; empty when it was read, or was not
    // there (a first start). The settings in force are the defaults until an apply.
    QString problem() const { return unreadable; }
    // Saves next, tells the listeners (while this object still holds the old values),
    // then takes next's values. False, with no other effect, when saving fails; error,
    // when given, then names the file and says why.
    bool apply(Configuration *next, QString *error = nullptr);
    bool equals(const Configuration *other) const;

    // Basic-authentication users, each "name:password". Other threads read them
    // through userList(), which copies under the lock.
    QList<QString> userList() const;
    void setUserList(const QList<QString> &users);

    // Appends dir and locale to LangPath; true when that entry exists.
    static bool setLangPath(const QString &dir, const QByteArray &locale);

    // The folder of the page, help and image files, ending in "/"; LangPath and
    // IconDir follow it. Chosen on first use unless set before.
    static QString dataDir();
    static void setDataDir(const QString &dir);
    // The staged copy beside the program when there is one, else the install folder.
    static QString defaultDataDir();

    static Configuration *config;
    static QByteArray *ConfigDir;
    static QByteArray *DataDir;
    static QByteArray *LangPath;
    static QByteArray *IconDir;
    static LockedValue<QString> Password;
    static LockedValue<QFileInfo> DownloadDir;
    static bool RootMode;

Q_SIGNALS:
    // Emitted by apply() before it takes the values. next belongs to apply()'s caller and
    // may be gone once the call returns: a listener reads it, never keeps it.
    void configurationChanged(Configuration *next);

private:
    QList<QString> users;
    QString fileName;
    QString unreadable;
};
