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
    if (it->holders++ == 0)
        idleOrder.erase(it->idlePlace);
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
    if (--it->holders == 0) {
        it->idleSince = now();
        it->idlePlace = idleOrder.insert(idleOrder.end(), id);
    }
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
            drop(old);
        }
    }
    request->id = freshId();
    // With every place held the login still answers this request, but is not kept.
    if (makeRoom()) {
        Stored &stored = sessions[request->id];
        stored.password = request->password;
        stored.holders = 1;
    }
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
    idleOrder.clear();
}

void SessionManager::checkSessions()
{
    QMutexLocker locker(&mutex);
    const qint64 sweepTime = now();
    // Only idle sessions expire.
    for (auto idle = idleOrder.begin(); idle != idleOrder.end();) {
        const auto it = sessions.find(*idle);
        ++idle;
        if (sweepTime - it->idleSince > lifetimeMs)
            drop(it);
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
    if (idleOrder.empty())
        return false;
    drop(sessions.find(idleOrder.front()));
    return true;
}

void SessionManager::drop(Iterator it)
{
    if (it->holders == 0)
        idleOrder.erase(it->idlePlace);
    sessions.erase(it);
}
