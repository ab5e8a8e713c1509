#pragma once

#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

// A value written by the GUI thread and read by connection threads. Readers get a
// whole copy, never a half-written one.
template<typename T>
class LockedValue
{
public:
    LockedValue() = default;
    explicit LockedValue(const T &value)
        : m_value(value)
    { }
    LockedValue(const LockedValue &) = delete;
    LockedValue &operator=(const LockedValue &) = delete;

    T load() const
    {
        QMutexLocker locker(&m_mutex);
        return m_value;
    }

    void store(const T &value)
    {
        QMutexLocker locker(&m_mutex);
        m_value = value;
    }

private:
    mutable QMutex m_mutex;
    T m_value {};
};

// File information is cached lazily inside a shared object, so a copy handed to
// another thread would share that cache. Only the path crosses threads; each reader
// gets a fresh QFileInfo of its own.
template<>
class LockedValue<QFileInfo>
{
public:
    LockedValue() = default;
    LockedValue(const LockedValue &) = delete;
    LockedValue &operator=(const LockedValue &) = delete;

    QFileInfo load() const
    {
        QMutexLocker locker(&m_mutex);
        const QString path = m_path;
        locker.unlock();
        return path.isEmpty() ? QFileInfo() : QFileInfo(path);
    }

    void store(const QFileInfo &info)
    {
        QMutexLocker locker(&m_mutex);
        m_path = info.filePath();
    }

private:
    mutable QMutex m_mutex;
    QString m_path;
};
