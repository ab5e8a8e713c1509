#pragma once

#include "server/sharing.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The command line of tarnwick-serve. The options override the saved settings for one
// run and are never saved.
struct ServeOptions
{
    Sharing::Mode mode = Sharing::ShareFolder;
    QString path;

    std::optional<int> port;
    std::optional<int> authMode;
    std::optional<QString> password;
    std::optional<QString> passwordFile;
    QStringList users;
    std::optional<QString> usersFile;
    std::optional<QHostAddress> bind;
    QStringList allowHosts;
    std::optional<QString> downloadDir;
    std::optional<int> dataLimitKb;
    std::optional<int> lifetime;
    bool thumbnails = false;
    bool qr = false;
    bool quiet = false;
    // --listing: the listing for phones, or the plain one.
    std::optional<bool> phoneListing;
    bool inlineFiles = false;
    bool checkReachability = false;
    std::optional<QString> dataDir;

    bool help = false;
    bool version = false;

    // Parses arguments (without the program name). On a usage error returns nothing and
    // sets *error to the reason.
    static std::optional<ServeOptions> parse(const QStringList &arguments, QString *error);
    static QString usage();
    // "NAME:PASSWORD" with a name.
    static bool isUserEntry(const QString &entry);
};
