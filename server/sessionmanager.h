#pragma once

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>

#include <list>

class Configuration;
class HTTP_Session;
class QTimer;

// The browsers' logged-in sessions: for each id the server issued at a login, the password and
// how many connections hold the session now. An idle session is dropped once it has been idle
// for longer than the configured lifetime. Connection threads join, log in and release; the
// sweep and the settings run on the GUI thread; one mutex serialises them all.
class SessionManager : public QObject
{
    Q_OBJECT

public:
    // Safe before main: needs no application object.
    explicit SessionManager(QObject *parent = nullptr);
    ~SessionManager() override;

    /*!
        Joins the request to its browser's stored session. When request->id names a stored
        session, this connection holds it, and a request without a password of its own
        gets the stored login in request->password; a password the form sent is not
        stored. Any other id (0, never issued, expired, forgotten) is replaced by a fresh
        random id and nothing is stored: a session enters the store only at a login, see
        renewId(). Every call must be paired with release() of the id the request ends
        with.
    */
    void updateSession(HTTP_Session *request);
    // The connection that holds session id has ended; the idle time starts when the last
    // holder releases it. An id that is not stored is ignored.
    void release(quint64 id);
    /*!
        A login the connection has accepted: request->password is stored under a fresh
        id, which request->id learns and this connection holds instead of the old one.
        The old session loses its login: it is dropped, or kept without the password while
        other connections still hold it. So an id handed to the browser by someone else is
        worth nothing after it logs in. When the store is full, the idle session unused
        longest makes room; when every stored session is held, the login is good for this
        request only and is not stored.
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
        // The session's place in idleOrder while no connection holds it.
        std::list<quint64>::iterator idlePlace {};
    };
    using Iterator = QHash<quint64, Stored>::iterator;

    quint64 freshId() const;
    // Makes a place for one more session; false when every stored session is held.
    bool makeRoom();
    void drop(Iterator it);

    mutable QMutex mutex;
    QHash<quint64, Stored> sessions;
    // The ids of the sessions nobody holds, in the order they became idle, so the one unused
    // longest is found without looking at the others.
    std::list<quint64> idleOrder;
    qint64 lifetimeMs = 0;
    QTimer *timer;
};
