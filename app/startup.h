#pragma once

#include <QString>

class QCoreApplication;

namespace Startup {

// The first argument the toolkit left in argv after taking its own options, or null.
const char *firstArgument(int argc, char **argv);

// Installs the built-in catalogue ":/res/lang/C.qm", then the catalogue of the given
// locale from dir (for fi_FI: fi_FI.qm, fi_FI, fi.qm, fi), which, installed last, wins
// for every text both hold. Returns whether a locale catalogue was found.
bool installTranslations(QCoreApplication *app, const QString &locale, const QString &dir);

} // namespace Startup
