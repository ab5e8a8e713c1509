#pragma once

#include "serveoptions.h"

#include <QMutex>
#include <QObject>
#include <QTextStream>

#include <optional>

class Configuration;
struct RequestRecord;
class WebServer;

// Runs the server headless for tarnwick-serve: applies the options for this run, prints
// the addresses (and, when asked, the public address), one line per connection and
// per error, and the totals at the end.
class ServeCommand : public QObject
{
    Q_OBJECT

public:
    explicit ServeCommand(const ServeOptions &options);

    // Serves until SIGINT or SIGTERM or the data limit; returns the exit status.
    int run();

private:
    bool prepare();
    // The password and users of the options, their files and the environment.
    bool takeSecrets(Configuration *config);
    std::optional<QString> readFile(const QString &path);
    void printAddresses(int port);
    void checkReachability(int port);
    void printTotals();
    // One line per request: time, client, method, path, status, bytes sent, and what an
    // upload or a login came to. Called on the connection's thread, so that a request costs
    // the window's thread nothing.
    void log(const RequestRecord &record);
    // A line on the standard output, whole, from any thread.
    void say(const QString &line);

    ServeOptions options;
    QMutex outMutex;
    QTextStream out;
    QTextStream err;
};
