#pragma once

#include <QMainWindow>

class Configuration;

// The program's only main window. It is published on the session bus at "/"; only
// its scriptable slots are reachable there.
class TarnwickWebServer : public QMainWindow
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.vardle.WebServer")

public:
    // argument: the first command-line argument left after the toolkit took its own
    // options, or null. Exactly "root" turns root mode on.
    explicit TarnwickWebServer(const char *argument);
    ~TarnwickWebServer() override;

public Q_SLOTS:
    // Called over the bus when the device's network connection goes down or comes up.
    Q_SCRIPTABLE void OffLine();
    Q_SCRIPTABLE void OnLine();
    // Brings the window to the front; always answers 0.
    Q_SCRIPTABLE int top_application();

private:
    Configuration *config;
};
