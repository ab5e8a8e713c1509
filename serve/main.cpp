#include "serve/servecommand.h"
#include "serve/serveoptions.h"
#include "server/sharing.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    // Without a desktop to integrate with, every connection thread can use the plain
    // event dispatcher, which is cheaper to set up than the GLib one.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-serve"));
    QCoreApplication::setApplicationVersion(Sharing::version());

    QString error;
    const std::optional<ServeOptions> options
        = ServeOptions::parse(QCoreApplication::arguments().mid(1), &error);
    if (!options) {
        QTextStream(stderr) << "tarnwick-serve: " << error << "\nTry 'tarnwick-serve --help'.\n";
        return 2;
    }
    if (options->help) {
        QTextStream(stdout) << ServeOptions::usage();
        return 0;
    }
    if (options->version) {
        QTextStream(stdout) << "tarnwick-serve " << Sharing::version() << '\n';
        return 0;
    }
    return ServeCommand(*options).run();
}
