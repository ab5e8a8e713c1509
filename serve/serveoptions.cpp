#include "serveoptions.h"

#include "config/paramid.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {

std::optional<int> number(const QString &text, int min, int max)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<ServeOptions> ServeOptions::parse(const QStringList &arguments, QString *error)
{
    ServeOptions options;
    QStringList positional;

    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        // Takes the next argument into out: a QString or an optional one.
        auto value = [&](auto *out) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("%1 needs a value").arg(arg);
                return false;
            }
            *out = arguments.at(++i);
            return true;
        };
        auto bounded = [&](std::optional<int> *out, int min, int max) {
            QString text;
            if (!value(&text))
                return false;
            *out = number(text, min, max);
            if (!*out)
                *error = QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"")
                             .arg(arg)
                             .arg(min)
                             .arg(max)
                             .arg(text);
            return out->has_value();
        };

        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options.help = true;
        } else if (arg == QLatin1String("--version")) {
            options.version = true;
        } else if (arg == QLatin1String("--port") || arg == QLatin1String("-p")) {
            // 0 lets the system pick a free port.
            if (!bounded(&options.port, 0, Range::MaxPort))
                return std::nullopt;
        } else if (arg == QLatin1String("--auth")) {
            QString mode;
            if (!value(&mode))
                return std::nullopt;
            if (mode == QLatin1String("none"))
                options.authMode = AuthNone;
            else if (mode == QLatin1String("password"))
                options.authMode = AuthPassword;
            else if (mode == QLatin1String("basic"))
                options.authMode = AuthBasic;
            else {
                *error = QStringLiteral("--auth takes none, password or basic, not \"%1\"").arg(mode);
                return std::nullopt;
            }
        } else if (arg == QLatin1String("--password")) {
            if (!value(&options.password))
                return std::nullopt;
        } else if (arg == QLatin1String("--user")) {
            QString entry;
            if (!value(&entry))
                return std::nullopt;
            if (!isUserEntry(entry)) {
                *error = QStringLiteral("--user takes NAME:PASSWORD, not \"%1\"").arg(entry);
                return std::nullopt;
            }
            options.users.append(entry);
        } else if (arg == QLatin1String("--password-file")) {
            if (!value(&options.passwordFile))
                return std::nullopt;
        } else if (arg == QLatin1String("--users-file")) {
            if (!value(&options.usersFile))
                return std::nullopt;
        } else if (arg == QLatin1String("--bind")) {
            QString address;
            if (!value(&address))
                return std::nullopt;
            const QHostAddress host(address);
            if (host.isNull()) {
                *error = QStringLiteral("--bind takes an IP address, not \"%1\"").arg(address);
                return std::nullopt;
            }
            options.bind = host;
        } else if (arg == QLatin1String("--allow-host")) {
            QString name;
            if (!value(&name))
                return std::nullopt;
            options.allowHosts.append(name);
        } else if (arg == QLatin1String("--download-dir")) {
            if (!value(&options.downloadDir))
                return std::nullopt;
        } else if (arg == QLatin1String("--data-limit")) {
            if (!bounded(&options.dataLimitKb, 0, Range::MaxDataLimit))
                return std::nullopt;
        } else if (arg == QLatin1String("--lifetime")) {
            if (!bounded(&options.lifetime, Range::MinLifetime, Range::MaxLifetime))
                return std::nullopt;
        } else if (arg == QLatin1String("--thumbnails")) {
            options.thumbnails = true;
        } else if (arg == QLatin1String("--qr")) {
            options.qr = true;
        } else if (arg == QLatin1String("--quiet") || arg == QLatin1String("-q")) {
            options.quiet = true;
        } else if (arg == QLatin1String("--listing")) {
            QString kind;
            if (!value(&kind))
                return std::nullopt;
            if (kind != QLatin1String("plain") && kind != QLatin1String("phone")) {
                *error = QStringLiteral("--listing takes plain or phone, not \"%1\"").arg(kind);
                return std::nullopt;
            }
            options.phoneListing = kind == QLatin1String("phone");
        } else if (arg == QLatin1String("--inline")) {
            options.inlineFiles = true;
        } else if (arg == QLatin1String("--check-reachability")) {
            options.checkReachability = true;
        } else if (arg == QLatin1String("--data-dir")) {
            if (!value(&options.dataDir))
                return std::nullopt;
        } else if (arg.startsWith(QLatin1String("--")) && arg.size() > 2) {
            *error = QStringLiteral("unknown option %1").arg(arg);
            return std::nullopt;
        } else {
            positional.append(arg);
        }
    }

    if (options.help || options.version)
        return options;

    const QString command = positional.value(0);
    if (command == QLatin1String("folder") || command == QLatin1String("file")) {
        if (positional.size() != 2) {
            *error = QStringLiteral("%1 takes one PATH").arg(command);
            return std::nullopt;
        }
        options.mode = command == QLatin1String("folder") ? Sharing::ShareFolder : Sharing::ShareFile;
        options.path = positional.at(1);
    } else if (command == QLatin1String("receive")) {
        if (positional.size() != 1) {
            *error = QStringLiteral("receive takes no PATH");
            return std::nullopt;
        }
        options.mode = Sharing::GetFiles;
    } else if (positional.size() == 1) {
        // The short form: a folder or a file, as the path is.
        options.mode = QFileInfo(command).isDir() ? Sharing::ShareFolder : Sharing::ShareFile;
        options.path = command;
    } else {
        *error = command.isEmpty()
            ? QStringLiteral("say what to share: PATH, folder PATH, file PATH or receive")
            : QStringLiteral("unknown command \"%1\"").arg(command);
        return std::nullopt;
    }
    return options;
}

bool ServeOptions::isUserEntry(const QString &entry)
{
    return entry.indexOf(QLatin1Char(':')) > 0;
}

QString ServeOptions::usage()
{
    return QStringLiteral(
        "Usage: tarnwick-serve [options] PATH | folder PATH | file PATH | receive\n"
        "\n"
        "Shares a folder or a file over HTTP, or receives uploads into the download folder.\n"
        "Options override the saved settings for this run only; they are never saved.\n"
        "\n"
        "  PATH                    a folder or a file, as with folder PATH or file PATH\n"
        "  folder PATH             list the files of PATH and let browsers download them\n"
        "  file PATH               serve the one file PATH\n"
        "  receive                 serve the upload page and store uploads (into the desktop's\n"
        "                          download folder unless --download-dir or the settings say)\n"
        "\n"
        "  -p, --port N            listen on port N (1-65535; 0 picks a free one); by default the\n"
        "                          saved port, 8080 at first\n"
        "  --auth none|password|basic\n"
        "                          access control: open, one password, or Basic users\n"
        "  --password-file FILE    the password of --auth password: the first line of FILE\n"
        "                          (or the environment variable TARNWICK_PASSWORD)\n"
        "  --password TEXT         the same, but visible to every local user (ps)\n"
        "  --users-file FILE       Basic users, one NAME:PASSWORD per line (replaces the saved users)\n"
        "  --user NAME:PASSWORD    a Basic user (repeatable), visible to every local user (ps)\n"
        "  --download-dir DIR      where uploads are stored\n"
        "  --data-limit KB         stop after this much traffic (1 KB = 1000 bytes; 0 = none)\n"
        "  --lifetime SECONDS      how long an idle login lasts (60-10000)\n"
        "  --thumbnails            folder pages show pictures\n"
        "  --qr                    print the first address as a QR code for a phone's camera\n"
        "  -q, --quiet             print no line per request\n"
        "  --listing plain|phone   the folder page: the plain table, or a page for phones with\n"
        "                          sizes in units, dates, sorting and a filter\n"
        "  --inline                pictures, PDF, text, audio and video open in the browser;\n"
        "                          downloads can be resumed and seeked; HEAD is answered\n"
        "  --check-reachability    ask an outside service whether the port can be reached\n"
        "                          from the internet and print the public address\n"
        "  --data-dir DIR          where the page and image files live\n"
        "  --bind ADDRESS          listen on this address only (every IPv4 address by default)\n"
        "  --allow-host NAME       a name browsers may use for this server besides its addresses\n"
        "                          and host names (repeatable); requests for other names are refused\n"
        "  -h, --help              show this text\n"
        "  --version               show the version\n"
        "\n"
        "Exit status: 0 after SIGINT or SIGTERM or the data limit, 2 for bad usage,\n"
        "3 when the port cannot be listened on.\n"
        "\n"
        "Examples:\n"
        "  tarnwick-serve --qr ~/Pictures\n"
        "      share a folder on port 8080 and show its address to a phone\n"
        "  TARNWICK_PASSWORD='long secret' tarnwick-serve -p 8000 --auth password notes.pdf\n"
        "      share one file on port 8000 behind a password\n");
}
