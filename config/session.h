#pragma once

#include "properties.h"

#include <QList>
#include <QString>

// The window state kept between runs in init.dat: operating mode, shared path,
// settings page and the recently shared paths. Used by the GUI thread only.
class Session : public Properties
{
public:
    explicit Session(const char *name);

    static Session *getSession();

    // Writes the file; false when it cannot be written (the old file then stays).
    bool save();

    // Most recent first, without duplicates.
    QList<QString> recentFiles;

    static Session *session;

private:
    QString fileName;
};
