#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>

// A map from parameter id to an int or string value. The current configuration is
// read by connection threads while the GUI thread replaces it, so every access to the
// map takes the lock.
class Properties : public QObject
{
public:
    explicit Properties(QObject *parent = nullptr);

    // def when the key is missing; a string value is read as a decimal number (0 if it is none).
    int getParam(int id, int def) const;
    // The value as text (an int as its decimal text); the empty text when the key is missing.
    QString getParam(int id) const;
    void setParam(int id, int value);
    void setParam(int id, const QString &value);
    // The key is gone, as if it had never been set.
    void removeParam(int id);

    bool equals(const Properties *other) const;

    QMap<int, QVariant> paramMap() const;

protected:
    void setParamMap(const QMap<int, QVariant> &map);

    mutable QMutex lock;
    QMap<int, QVariant> params;
};
