#include "properties.h"

#include <QMutexLocker>

Properties::Properties(QObject *parent)
    : QObject(parent)
{ }

int Properties::getParam(int id, int def) const
{
    QMutexLocker locker(&lock);
    const auto it = params.constFind(id);
    return it == params.constEnd() ? def : it->toInt();
}

QString Properties::getParam(int id) const
{
    QMutexLocker locker(&lock);
    return params.value(id).toString();
}

void Properties::setParam(int id, int value)
{
    QMutexLocker locker(&lock);
    params.insert(id, QVariant(value));
}

void Properties::setParam(int id, const QString &value)
{
    QMutexLocker locker(&lock);
    params.insert(id, QVariant(value));
}

void Properties::removeParam(int id)
{
    QMutexLocker locker(&lock);
    params.remove(id);
}

bool Properties::equals(const Properties *other) const
{
    // Keys count as much as values: two maps with equal values under different ids differ.
    return paramMap() == other->paramMap();
}

QMap<int, QVariant> Properties::paramMap() const
{
    QMutexLocker locker(&lock);
    return params;
}

void Properties::setParamMap(const QMap<int, QVariant> &map)
{
    QMutexLocker locker(&lock);
    params = map;
}
