#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The command line of tarnwick-serve. The options override the saved settings for one
// run and are never saved.
struct ServeOptions
{
    enum Mode { ShareFolder = 0, ShareFile = 1, Receive = 2 };

    Mode mode = ShareFolder;
    QString path;

    std::optional<int> port;
    std::optional<int> authMode;
    std::optional<QString> password;
    QStringList users;
    std::optional<QString> downloadDir;
    std::optional<int> dataLimitKb;
    std::optional<int> lifetime;
    bool thumbnails = false;
    bool checkReachability = false;
    std::optional<QString> dataDir;

    bool help = false;
    bool version = false;

    // Parses arguments (without the program name). On a usage error returns nothing and
    // sets *error to the reason.
    static std::optional<ServeOptions> parse(const QStringList &arguments, QString *error);
    static QString usage();
};
