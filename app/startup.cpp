#include "startup.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTranslator>

namespace Startup {

const char *firstArgument(int argc, char **argv)
{
    return argc > 1 ? argv[1] : nullptr;
}

bool installTranslations(QCoreApplication *app, const QString &locale, const QString &dir)
{
    // Installed even when it cannot be read: it then translates nothing.
    auto *builtIn = new QTranslator(app);
    (void)builtIn->load(QStringLiteral("C"), QStringLiteral(":/res/lang"));
    QCoreApplication::installTranslator(builtIn);

    auto *local = new QTranslator(app);
    if (!local->load(locale, dir)) {
        qDebug() << "No translator found for locale:" << locale;
        delete local;
        return false;
    }
    QCoreApplication::installTranslator(local);
    return true;
}

} // namespace Startup
