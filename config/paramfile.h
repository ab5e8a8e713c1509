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
    // The data ran out, or held something the program never writes.
    bool damaged = false;
};

// The exact bytes of the file for these contents.
QByteArray encode(const QMap<int, QVariant> &params, const QList<QString> &strings);

// Reads what the device holds. A map that cannot be read completely comes back
// empty; the string list keeps the entries read before the data ran out.
Contents decode(QIODevice *device);
Contents decode(const QByteArray &bytes);

enum class ReadStatus { Read, Missing, Unreadable };
// Reads the file; contents are untouched unless it was Read. Unreadable: it exists but
// cannot be opened (\a error says why).
ReadStatus read(const QString &path, Contents *contents, QString *error = nullptr);

// Replaces the file atomically with owner-only permissions; false when any step fails
// (a full disk too), in which case the old file is left as it was and error, when given,
// says why.
bool write(const QString &path, const QMap<int, QVariant> &params, const QList<QString> &strings,
           QString *error = nullptr);

} // namespace ParamFile
