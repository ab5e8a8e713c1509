#pragma once

#include "configpage.h"

class QLineEdit;

// Settings page of the server: warnings, port, connections, data limit, session
// lifetime and the download folder.
class ConfigPageServer : public ConfigPage
{
    Q_OBJECT

public:
    explicit ConfigPageServer(QWidget *parent);

private Q_SLOTS:
    void warningModeChanged(int state);
    void portChanged(int port);
    void maxConnChanged(int count);
    void dataLimitChanged(int kilobytes);
    void lifetimeChanged(int seconds);
    void pathChanged(const QString &path);
    // Lets the owner pick the download folder; a cancelled choice changes nothing.
    void browsePath();

private:
    QLineEdit *pathEdit;
};
