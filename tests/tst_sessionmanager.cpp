#include "config/configuration.h"
#include "server/http_session.h"
#include "server/limits.h"
#include "server/sessionmanager.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

namespace {

// Built before main, as the server's own manager is: no application object exists yet.
SessionManager managerBuiltBeforeMain;

constexpr qint64 DefaultLifetimeMs = qint64(ReadDefault::Lifetime) * 1000;

std::atomic<qint64> fakeNow {0};

qint64 fakeClock()
{
    return fakeNow;
}

HTTP_Session request(quint64 id, const QString &password = QString())
{
    HTTP_Session record;
    record.id = id;
    record.password = password;
    return record;
}

// One whole connection: merge, then release. Returns the id the answer carries.
quint64 visit(SessionManager *manager, quint64 id, const QString &password = QString())
{
    HTTP_Session record = request(id, password);
    manager->updateSession(&record);
    manager->release(record.id);
    return record.id;
}

// The login a request with this id finds; empty for a fresh session.
QString loginOf(SessionManager *manager, quint64 id)
{
    HTTP_Session record = request(id);
    manager->updateSession(&record);
    manager->release(record.id);
    return record.id == id ? record.password : QStringLiteral("<not stored>");
}

} // namespace

class tst_SessionManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void sameIdKeepsOneSessionAndItsLogin();
    void unissuedIdGetsAFreshOne_data();
    void unissuedIdGetsAFreshOne();
    void expiryIsStrictlyAfterTheLifetime_data();
    void expiryIsStrictlyAfterTheLifetime();
    void idleTimeStartsWhenTheLastHolderLeaves();
    void heldSessionNeverExpires();
    void lifetimeChangeAppliesAtTheNextSweep();
    void stopTimerForgetsEverySession();
    void fullStoreDropsTheLongestIdle();
    void fullStoreOfHeldSessionsStoresNoMore();
    void loginMovesToAFreshId();
    void loginWhileAnotherConnectionHoldsTheOldId();
    void parallelMergesWhileSweeping();
};

void tst_SessionManager::init()
{
    fakeNow = 1000000;
    SessionManager::setClock(fakeClock);
}

void tst_SessionManager::cleanup()
{
    SessionManager::setClock(nullptr);
}

void tst_SessionManager::sameIdKeepsOneSessionAndItsLogin()
{
    SessionManager manager;
    HTTP_Session login = request(0, QStringLiteral("secret"));
    login.method = HTTP_Session::MethodPost;
    manager.updateSession(&login);
    QVERIFY(login.id != 0);
    QCOMPARE(login.password, QStringLiteral("secret"));
    manager.release(login.id);

    // A later request with the cookie and no form keeps the login.
    HTTP_Session next = request(login.id);
    next.method = HTTP_Session::MethodGet;
    manager.updateSession(&next);
    QCOMPARE(next.id, login.id);
    QCOMPARE(next.password, QStringLiteral("secret"));
    QCOMPARE(next.method, int(HTTP_Session::MethodGet));
    manager.release(next.id);
    QCOMPARE(manager.count(), 1);
}

void tst_SessionManager::unissuedIdGetsAFreshOne_data()
{
    QTest::addColumn<quint64>("id");
    QTest::addRow("no cookie") << quint64(0);
    QTest::addRow("small number") << quint64(42);
    QTest::addRow("large number") << quint64(0xfedcba9876543210);
}

void tst_SessionManager::unissuedIdGetsAFreshOne()
{
    QFETCH(quint64, id);
    SessionManager manager;
    const quint64 other = visit(&manager, 0);

    // A password brought with an id the server never gave out is kept in a new session only.
    HTTP_Session record = request(id, QStringLiteral("secret"));
    manager.updateSession(&record);
    QVERIFY(record.id != 0);
    QVERIFY(record.id != id);
    QVERIFY(record.id != other);
    QVERIFY(manager.contains(record.id));
    QVERIFY(!manager.contains(id));
    QCOMPARE(manager.count(), 2);
    manager.release(record.id);
    QCOMPARE(loginOf(&manager, other), QString());
}

void tst_SessionManager::expiryIsStrictlyAfterTheLifetime_data()
{
    QTest::addColumn<qint64>("idleMs");
    QTest::addColumn<bool>("kept");
    QTest::addRow("just used") << qint64(0) << true;
    QTest::addRow("idle for the lifetime") << DefaultLifetimeMs << true;
    QTest::addRow("idle 1 ms longer") << DefaultLifetimeMs + 1 << false;
    QTest::addRow("idle a day") << qint64(86400000) << false;
}

void tst_SessionManager::expiryIsStrictlyAfterTheLifetime()
{
    QFETCH(qint64, idleMs);
    QFETCH(bool, kept);
    SessionManager manager;
    const quint64 id = visit(&manager, 0, QStringLiteral("secret"));

    fakeNow += idleMs;
    manager.checkSessions();
    QCOMPARE(manager.contains(id), kept);
    // An expired id is not taken back: its browser starts afresh, without the login.
    QCOMPARE(loginOf(&manager, id), kept ? QStringLiteral("secret") : QStringLiteral("<not stored>"));
}

void tst_SessionManager::idleTimeStartsWhenTheLastHolderLeaves()
{
    SessionManager manager;
    const quint64 id = visit(&manager, 0);
    HTTP_Session page = request(id);
    HTTP_Session picture = request(id);
    manager.updateSession(&page);
    manager.updateSession(&picture);

    manager.release(page.id);
    fakeNow += 10 * DefaultLifetimeMs;
    manager.checkSessions();
    QVERIFY(manager.contains(id));

    manager.release(picture.id);
    fakeNow += DefaultLifetimeMs;
    manager.checkSessions();
    QVERIFY(manager.contains(id));
    fakeNow += 1;
    manager.checkSessions();
    QVERIFY(!manager.contains(id));
}

void tst_SessionManager::heldSessionNeverExpires()
{
    SessionManager manager;
    HTTP_Session download = request(0, QStringLiteral("secret"));
    manager.updateSession(&download);

    fakeNow += 1000 * DefaultLifetimeMs;
    manager.checkSessions();
    QVERIFY(manager.contains(download.id));
    // A second release of the same hold is ignored, so the next holder still protects it.
    manager.release(download.id);
    manager.release(download.id);
    HTTP_Session again = request(download.id);
    manager.updateSession(&again);
    QCOMPARE(again.password, QStringLiteral("secret"));
    fakeNow += 1000 * DefaultLifetimeMs;
    manager.checkSessions();
    QVERIFY(manager.contains(download.id));
    manager.release(again.id);
}

void tst_SessionManager::lifetimeChangeAppliesAtTheNextSweep()
{
    // The manager built before main follows the settings the window applies.
    SessionManager *manager = &managerBuiltBeforeMain;
    const quint64 id = visit(manager, 0);
    fakeNow += 11000;
    manager->checkSessions();
    QVERIFY(manager->contains(id));

    Configuration next("next.dat");
    next.setParam(ParamLifetime, 10);
    QVERIFY(Configuration::getCurrentConfig()->apply(&next));
    QVERIFY(manager->contains(id));
    manager->checkSessions();
    QVERIFY(!manager->contains(id));

    next.setParam(ParamLifetime, ReadDefault::Lifetime);
    QVERIFY(Configuration::getCurrentConfig()->apply(&next));
}

void tst_SessionManager::stopTimerForgetsEverySession()
{
    SessionManager manager;
    manager.startTimer();
    const quint64 idle = visit(&manager, 0, QStringLiteral("secret"));
    HTTP_Session held = request(0, QStringLiteral("secret"));
    manager.updateSession(&held);
    QCOMPARE(manager.count(), 2);

    manager.stopTimer();
    QCOMPARE(manager.count(), 0);
    // The connection that still held one ends later; nothing comes back.
    manager.release(held.id);
    QCOMPARE(manager.count(), 0);
    QCOMPARE(loginOf(&manager, idle), QStringLiteral("<not stored>"));
    QCOMPARE(loginOf(&manager, held.id), QStringLiteral("<not stored>"));
}

void tst_SessionManager::fullStoreDropsTheLongestIdle()
{
    SessionManager manager;
    HTTP_Session held = request(0);
    manager.updateSession(&held);
    fakeNow += 1;
    const quint64 longestIdle = visit(&manager, 0);
    fakeNow += 1;
    std::vector<quint64> others;
    while (manager.count() < Limits::MaxSessions)
        others.push_back(visit(&manager, 0));

    const quint64 added = visit(&manager, 0);
    QCOMPARE(manager.count(), Limits::MaxSessions);
    QVERIFY(manager.contains(added));
    QVERIFY(manager.contains(held.id));
    QVERIFY(!manager.contains(longestIdle));
    for (quint64 id : others)
        QVERIFY(manager.contains(id));
    manager.release(held.id);
}

void tst_SessionManager::fullStoreOfHeldSessionsStoresNoMore()
{
    SessionManager manager;
    std::vector<HTTP_Session> held(Limits::MaxSessions);
    for (HTTP_Session &record : held)
        manager.updateSession(&record);
    QCOMPARE(manager.count(), Limits::MaxSessions);

    // The request is still answered, with a login good for itself only.
    HTTP_Session extra = request(0, QStringLiteral("secret"));
    manager.updateSession(&extra);
    QVERIFY(extra.id != 0);
    QCOMPARE(extra.password, QStringLiteral("secret"));
    QVERIFY(!manager.contains(extra.id));
    QCOMPARE(manager.count(), Limits::MaxSessions);
    manager.release(extra.id);
    for (const HTTP_Session &record : held)
        QVERIFY(manager.contains(record.id));
}

void tst_SessionManager::loginMovesToAFreshId()
{
    SessionManager manager;
    const quint64 before = visit(&manager, 0);
    HTTP_Session login = request(before, QStringLiteral("secret"));
    manager.updateSession(&login);
    manager.renewId(&login);
    QVERIFY(login.id != 0);
    QVERIFY(login.id != before);
    QVERIFY(manager.contains(login.id));
    QVERIFY(!manager.contains(before));
    manager.release(login.id);
    QCOMPARE(manager.count(), 1);

    QCOMPARE(loginOf(&manager, login.id), QStringLiteral("secret"));
    // Whoever knew the id from before the login gets nothing from it.
    QCOMPARE(loginOf(&manager, before), QStringLiteral("<not stored>"));
}

void tst_SessionManager::loginWhileAnotherConnectionHoldsTheOldId()
{
    SessionManager manager;
    const quint64 before = visit(&manager, 0);
    HTTP_Session picture = request(before);
    manager.updateSession(&picture);
    HTTP_Session login = request(before, QStringLiteral("secret"));
    manager.updateSession(&login);
    manager.renewId(&login);

    // The old session stays for the connection that holds it, without the login.
    QVERIFY(manager.contains(before));
    QCOMPARE(loginOf(&manager, before), QString());
    QCOMPARE(loginOf(&manager, login.id), QStringLiteral("secret"));

    // Both holders' releases count: both sessions go idle and expire.
    manager.release(picture.id);
    manager.release(login.id);
    fakeNow += DefaultLifetimeMs + 1;
    manager.checkSessions();
    QCOMPARE(manager.count(), 0);
}

void tst_SessionManager::parallelMergesWhileSweeping()
{
    constexpr int Threads = 4;
    constexpr int Requests = 5000;
    SessionManager manager;
    // A few browsers whose connections come and go on all threads.
    std::atomic<quint64> browsers[8] {};
    std::atomic<int> lostWhileHeld {0};
    std::atomic<int> running {Threads};

    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back(QThread::create([&, t] {
            for (int i = 0; i < Requests; ++i) {
                std::atomic<quint64> &browser = browsers[(i + t) % 8];
                HTTP_Session record = request(browser, i % 5 == 0 ? QStringLiteral("secret") : QString());
                manager.updateSession(&record);
                if (i % 7 == 0)
                    manager.renewId(&record);
                if (!manager.contains(record.id))
                    ++lostWhileHeld;
                browser = record.id;
                manager.release(record.id);
            }
            --running;
        }));
        threads.back()->start();
    }
    // Time runs fast on the sweeping side, so idle sessions expire all the time.
    int largest = 0;
    while (running > 0) {
        fakeNow += DefaultLifetimeMs / 2;
        manager.checkSessions();
        largest = qMax(largest, manager.count());
        QThread::yieldCurrentThread();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(10000));

    QCOMPARE(lostWhileHeld.load(), 0);
    QVERIFY(largest <= Limits::MaxSessions);
    fakeNow += DefaultLifetimeMs + 1;
    manager.checkSessions();
    QCOMPARE(manager.count(), 0);
}

QTEST_GUILESS_MAIN(tst_SessionManager)
#include "tst_sessionmanager.moc"
