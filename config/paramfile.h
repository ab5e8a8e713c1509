#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>

class QIODevice;

// The byte layout shared by config.dat and init.dat: a big-endian data stream of the
// parameter map (records in descending id order) followed by a list of strings.
namespace ParamFile {

struct Contents
{
    QMap<int, QVariant> params;
    QList<QString> strings;
};

// The exact bytes of the file for these contents.
QByteArray encode(const QMap<int, QVariant> &params, const QList<QString> &strings);

// Reads what the device holds. A map that cannot be read completely comes back
// empty; the string list keeps the entries read before the data ran out.
Contents decode(QIODevice *device);
Contents decode(const QByteArray &bytes);

// Reads the file; false when it cannot be opened (contents are then untouched).
bool read(const QString &path, Contents *contents);

// Replaces the file atomically with owner-only permissions; false when any step
// fails, in which case the old file is left as it was and error, when given, says why.
bool write(const QString &path, const QMap<int, QVariant> &params, const QList<QString> &strings,
           QString *error = nullptr);

} // namespace ParamFile
