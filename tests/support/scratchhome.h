#pragma once

#include <QDir>
#include <QString>
#include <QTemporaryDir>

// A home folder of its own for one test case. The settings code reads $HOME each time
// an object is built, so switching it here is enough; the old value comes back on exit.
class ScratchHome
{
public:
    ScratchHome()
        : m_old(qgetenv("HOME"))
    {
        qputenv("HOME", m_dir.path().toLocal8Bit());
    }
    ~ScratchHome() { qputenv("HOME", m_old); }

    QString path() const { return m_dir.path(); }
    QString settingsDir() const { return m_dir.path() + QLatin1String("/.tarnwickServer"); }
    QString file(const char *name) const { return settingsDir() + QLatin1Char('/') + QLatin1String(name); }

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
};
