#pragma once

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>

class Configuration;
class HTTP_Session;
class QTimer;

// The browsers' stored sessions: for each id the server issued, the login password and how
// many connections hold the session now. An idle session is dropped once it has been idle for
// longer than the configured lifetime. Connection threads merge and release; the sweep and the
// settings run on the GUI thread; one mutex serialises them all.
class SessionManager : public QObject
{
    Q_OBJECT

public:
    // Safe before main: needs no application object.
    explicit SessionManager(QObject *parent = nullptr);
    ~SessionManager() override;

    /*!
        Finds the stored session of request->id, or stores a new one under a fresh random id
        when the id is 0, was never issued, expired or was forgotten. Copies a non-empty
        request->password into it, marks it held by this connection, and writes the stored id
        and password back into the request. Every call must be paired with release() of the
        id it wrote back. When every stored place is held by a connection, the request gets
        a fresh id that is not stored.
    */
    void updateSession(HTTP_Session *request);
    // The connection that holds session id has ended; the idle time starts when the last
    // holder releases it. An id that is not stored is ignored.
    void release(quint64 id);
    /*!
        A successful login: the login moves to a session under a fresh id, which request->id
        learns and this connection holds instead of the old one. The old id keeps no login,
        so an id handed to the browser by someone else is worth nothing after it logs in.
    */
    void renewId(HTTP_Session *request);

    bool contains(quint64 id) const;
    int count() const;

    // The expiry sweep runs every Limits::SessionSweepMs between these two.
    void startTimer();
    // Also forgets every session; their holders' later release() calls are ignored.
    void stopTimer();

    // The monotonic milliseconds the idle times are measured with; nullptr restores the
    // system's monotonic clock.
    static void setClock(qint64 (*nowMs)());

public Q_SLOTS:
    void checkSessions();
    void configurationChanged(Configuration *c);

private:
    struct Stored
    {
        QString password;
        int holders = 0;
        qint64 idleSince = 0;
    };

    quint64 freshId() const;
    // Makes a place for one more session; false when every stored session is held.
    bool makeRoom();

    mutable QMutex mutex;
    QHash<quint64, Stored> sessions;
    qint64 lifetimeMs = 0;
    QTimer *timer;
};
