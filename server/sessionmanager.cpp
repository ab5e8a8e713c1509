#include "sessionmanager.h"

#include "config/configuration.h"
#include "server/http_session.h"
#include "server/limits.h"

#include <QRandomGenerator>
#include <QTimer>

#include <atomic>
#include <chrono>

namespace {

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Every idle time is read through here, so tests can move time without sleeping.
std::atomic<qint64 (*)()> clockSource {monotonicMs};

qint64 now()
{
    return clockSource.load()();
}

qint64 lifetimeMsOf(const Configuration *c)
{
    return qint64(c->getParam(ParamLifetime, ReadDefault::Lifetime)) * 1000;
}

} // namespace

SessionManager::SessionManager(QObject *parent)
    : QObject(parent)
    , timer(new QTimer(this))
{
    timer->setInterval(Limits::SessionSweepMs);
    connect(timer, &QTimer::timeout, this, &SessionManager::checkSessions);

    Configuration *current = Configuration::getCurrentConfig();
    lifetimeMs = lifetimeMsOf(current);
    connect(current, &Configuration::configurationChanged, this, &SessionManager::configurationChanged);
}

SessionManager::~SessionManager()
{
    timer->stop();
}

void SessionManager::setClock(qint64 (*nowMs)())
{
    clockSource = nowMs ? nowMs : monotonicMs;
}

void SessionManager::updateSession(HTTP_Session *request)
{
    QMutexLocker locker(&mutex);
    const auto it = sessions.find(request->id);
    if (it == sessions.end()) {
        // An id the server did not issue is never adopted. Nothing is stored before a login,
        // so requests without a cookie cannot push logged-in browsers out of the store.
        request->id = freshId();
        return;
    }
    ++it->holders;
    // A password the form sent is only tried for this request; the login changes when the
    // connection accepts it and calls renewId().
    if (request->password.isEmpty())
        request->password = it->password;
}

void SessionManager::release(quint64 id)
{
    QMutexLocker locker(&mutex);
    const auto it = sessions.find(id);
    if (it == sessions.end() || it->holders == 0)
        return;
    if (--it->holders == 0)
        it->idleSince = now();
}

void SessionManager::renewId(HTTP_Session *request)
{
    QMutexLocker locker(&mutex);
    const auto old = sessions.find(request->id);
    if (old != sessions.end()) {
        // Other connections of the browser may still hold the old id; they keep the session
        // until they end, but without the login.
        if (old->holders > 1) {
            --old->holders;
            old->password.clear();
        } else {
            sessions.erase(old);
        }
    }
    request->id = freshId();
    // With every place held the login still answers this request, but is not kept.
    if (makeRoom())
        sessions.insert(request->id, Stored {request->password, 1, 0});
}

bool SessionManager::contains(quint64 id) const
{
    QMutexLocker locker(&mutex);
    return sessions.contains(id);
}

int SessionManager::count() const
{
    QMutexLocker locker(&mutex);
    return int(sessions.size());
}

void SessionManager::startTimer()
{
    timer->start();
}

void SessionManager::stopTimer()
{
    timer->stop();
    QMutexLocker locker(&mutex);
    sessions.clear();
}

void SessionManager::checkSessions()
{
    QMutexLocker locker(&mutex);
    const qint64 sweepTime = now();
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (it->holders == 0 && sweepTime - it->idleSince > lifetimeMs)
            it = sessions.erase(it);
        else
            ++it;
    }
}

void SessionManager::configurationChanged(Configuration *c)
{
    if (!c)
        return;
    const qint64 lifetime = lifetimeMsOf(c);
    QMutexLocker locker(&mutex);
    lifetimeMs = lifetime;
}

quint64 SessionManager::freshId() const
{
    quint64 id = 0;
    while (id == 0 || sessions.contains(id))
        id = QRandomGenerator::system()->generate64();
    return id;
}

bool SessionManager::makeRoom()
{
    if (sessions.size() < Limits::MaxSessions)
        return true;
    auto oldest = sessions.end();
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if (it->holders == 0 && (oldest == sessions.end() || it->idleSince < oldest->idleSince))
            oldest = it;
    }
    if (oldest == sessions.end())
        return false;
    sessions.erase(oldest);
    return true;
}
