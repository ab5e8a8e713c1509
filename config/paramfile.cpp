#include "paramfile.h"

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QSaveFile>

namespace {

// Pinned so that a library upgrade can never change a stored byte.
constexpr QDataStream::Version StreamVersion = QDataStream::Qt_4_8;

// Variant type ids as stored in the files.
constexpr quint32 TypeInt = 2;
constexpr quint32 TypeString = 10;

void prepare(QDataStream &stream)
{
    stream.setVersion(StreamVersion);
    stream.setByteOrder(QDataStream::BigEndian);
}

bool readValue(QDataStream &stream, QVariant *value)
{
    quint32 type = 0;
    quint8 isNull = 0;
    stream >> type >> isNull;
    if (type == TypeInt) {
        qint32 number = 0;
        stream >> number;
        *value = QVariant(int(number));
    } else if (type == TypeString) {
        QString text;
        stream >> text;
        *value = QVariant(text);
    } else {
        // The program stores nothing else; anything else means the file is damaged.
        stream.setStatus(QDataStream::ReadCorruptData);
    }
    return stream.status() == QDataStream::Ok;
}

} // namespace

namespace ParamFile {

QByteArray encode(const QMap<int, QVariant> &params, const QList<QString> &strings)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    prepare(stream);

    stream << quint32(params.size());
    for (auto it = params.constEnd(); it != params.constBegin();) {
        --it;
        stream << qint32(it.key());
        if (it.value().typeId() == QMetaType::Int)
            stream << TypeInt << quint8(0) << qint32(it.value().toInt());
        else
            stream << TypeString << quint8(0) << it.value().toString();
    }

    stream << quint32(strings.size());
    for (const QString &text : strings)
        stream << text;
    return bytes;
}

Contents decode(QIODevice *device)
{
    Contents contents;
    QDataStream stream(device);
    prepare(stream);

    quint32 count = 0;
    stream >> count;
    for (quint32 i = 0; i < count && stream.status() == QDataStream::Ok; ++i) {
        qint32 id = 0;
        QVariant value;
        stream >> id;
        if (readValue(stream, &value))
            contents.params.insert(id, value);
    }
    if (stream.status() != QDataStream::Ok) {
        contents.params.clear();
        contents.damaged = true;
        return contents;
    }

    stream >> count;
    for (quint32 i = 0; i < count && !stream.atEnd(); ++i) {
        QString text;
        stream >> text;
        if (stream.status() != QDataStream::Ok)
            break;
        contents.strings.append(text);
    }
    contents.damaged = stream.status() != QDataStream::Ok || quint32(contents.strings.size()) != count;
    return contents;
}

Contents decode(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return decode(&buffer);
}

ReadStatus read(const QString &path, Contents *contents, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return file.exists() ? ReadStatus::Unreadable : ReadStatus::Missing;
    }
    *contents = decode(&file);
    return ReadStatus::Read;
}

bool write(const QString &path, const QMap<int, QVariant> &params, const QList<QString> &strings,
           QString *error)
{
    const QByteArray bytes = encode(params, strings);
    // Unbuffered, so that a write the disk cannot take fails here: a buffered one would fail
    // only in commit(), which then still renames the short file over the old one.
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    // The settings hold passwords.
    if (written
        && (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
            || file.write(bytes) != bytes.size())) {
        file.cancelWriting();
        written = false;
    }
    written = written && file.commit();
    if (!written && error)
        *error = file.errorString();
    return written;
}

} // namespace ParamFile
