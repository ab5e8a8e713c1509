#include "app/startup.h"
#include "app/tarnwickwebserver.h"
#include "config/configuration.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QLocale>

namespace {
const char BusName[] = "com.vardle.WebServer";
}

int main(int argc, char *argv[])
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qWarning("Cannot connect to the D-Bus session bus.");
        return 1;
    }
    Q_INIT_RESOURCE(icons);
    Q_INIT_RESOURCE(translations);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TarnwickWebServer"));
    Startup::installTranslations(&app, QLocale::system().name(),
                                 Configuration::dataDir() + QLatin1String("lang"));

    // The toolkit has taken its own options out of argv by now.
    TarnwickWebServer window(Startup::firstArgument(argc, argv));

    if (!bus.registerObject(QStringLiteral("/"), &window, QDBusConnection::ExportScriptableSlots)) {
        qWarning("%s", qPrintable(bus.lastError().message()));
        ::exit(3);
    }
    // Claimed once the window is published: the bus hands a call that started the
    // program over as soon as the name is owned, and it must find the window there. A
    // second copy still runs when the name is taken; it only lacks the name.
    bus.registerService(QLatin1String(BusName));
    return app.exec();
}
