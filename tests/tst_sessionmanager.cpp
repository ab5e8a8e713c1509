#include "config/configuration.h"
#include "server/http_session.h"
#include "server/limits.h"
#include "server/sessionmanager.h"

#include <QSet>
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

// One whole connection without a login: join, then release. Returns the id the answer carries.
quint64 visit(SessionManager *manager, quint64 id, const QString &password = QString())
{
    HTTP_Session record = request(id, password);
    manager->updateSession(&record);
    manager->release(record.id);
    return record.id;
}

// A connection whose login form was accepted, as the connection runs it; the session stays
// held until the caller releases record->id.
void holdLogin(SessionManager *manager, HTTP_Session *record)
{
    manager->updateSession(record);
    manager->renewId(record);
}

// A whole connection that logs in. Returns the id of the new session.
quint64 logIn(SessionManager *manager, const QString &password, quint64 id = 0)
{
    HTTP_Session record = request(id, password);
    holdLogin(manager, &record);
    manager->release(record.id);
    return record.id;
}

// The login a request with this id finds; "<not stored>" when the id is not taken back.
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

    void unknownIdGetsAFreshOneAndNothingIsStored_data();
    void unknownIdGetsAFreshOneAndNothingIsStored();
    void requestsWithoutCookieNeverFillTheStore();
    void loginIsStoredAndFoundAgain();
    void postedPasswordIsNotStored_data();
    void postedPasswordIsNotStored();
    void expiryIsStrictlyAfterTheLifetime_data();
    void expiryIsStrictlyAfterTheLifetime();
    void idleTimeStartsWhenTheLastHolderLeaves();
    void heldSessionNeverExpires();
    void lifetimeChangeAppliesAtTheNextSweep();
    void stopTimerForgetsEverySession();
    void fullStoreDropsTheLongestIdle();
    void fullStoreOfHeldSessionsStoresNoMore();
    void loginMovesToAFreshId_data();
    void loginMovesToAFreshId();
    void loginWhileAnotherConnectionHoldsTheOldId();
    void parallelRequestsWhileSweeping();
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

void tst_SessionManager::unknownIdGetsAFreshOneAndNothingIsStored_data()
{
    QTest::addColumn<quint64>("id");
    QTest::addColumn<QString>("password");
    QTest::addRow("no cookie") << quint64(0) << QString();
    QTest::addRow("small number") << quint64(42) << QString();
    QTest::addRow("large number") << quint64(0xfedcba9876543210) << QString();
    QTest::addRow("no cookie, form password") << quint64(0) << QStringLiteral("guess");
    QTest::addRow("never issued, form password") << quint64(42) << QStringLiteral("guess");
}

void tst_SessionManager::unknownIdGetsAFreshOneAndNothingIsStored()
{
    QFETCH(quint64, id);
    QFETCH(QString, password);
    SessionManager manager;
    const quint64 other = logIn(&manager, QStringLiteral("secret"));

    HTTP_Session record = request(id, password);
    manager.updateSession(&record);
    QVERIFY(record.id != 0);
    QVERIFY(record.id != id);
    QVERIFY(record.id != other);
    // The form's password is tried for this request only; no stored login is lent to it.
    QCOMPARE(record.password, password);
    QVERIFY(!manager.contains(record.id));
    QVERIFY(!manager.contains(id));
    QCOMPARE(manager.count(), 1);
    manager.release(record.id);
    QCOMPARE(manager.count(), 1);
    QCOMPARE(loginOf(&manager, other), QStringLiteral("secret"));
}

void tst_SessionManager::requestsWithoutCookieNeverFillTheStore()
{
    SessionManager manager;
    const quint64 loggedIn = logIn(&manager, QStringLiteral("secret"));
    fakeNow += 1;

    // Far more than the store takes, each with its own fresh id, held and released.
    QSet<quint64> ids;
    for (int i = 0; i < 2 * Limits::MaxSessions; ++i)
        ids.insert(visit(&manager, 0));
    QCOMPARE(ids.size(), 2 * Limits::MaxSessions);
    QVERIFY(!ids.contains(0));
    QCOMPARE(manager.count(), 1);
    QCOMPARE(loginOf(&manager, loggedIn), QStringLiteral("secret"));
}

void tst_SessionManager::loginIsStoredAndFoundAgain()
{
    SessionManager manager;
    const quint64 before = visit(&manager, 0);
    QCOMPARE(manager.count(), 0);
    HTTP_Session login = request(before, QStringLiteral("secret"));
    login.method = HTTP_Session::MethodPost;
    holdLogin(&manager, &login);
    QVERIFY(login.id != 0);
    QCOMPARE(login.password, QStringLiteral("secret"));
    QCOMPARE(manager.count(), 1);
    manager.release(login.id);

    // Later requests with the cookie and no form find the login.
    for (int i = 0; i < 3; ++i) {
        HTTP_Session next = request(login.id);
        next.method = HTTP_Session::MethodGet;
        manager.updateSession(&next);
        QCOMPARE(next.id, login.id);
        QCOMPARE(next.password, QStringLiteral("secret"));
        QCOMPARE(next.method, int(HTTP_Session::MethodGet));
        manager.release(next.id);
    }
    QCOMPARE(manager.count(), 1);
}

void tst_SessionManager::postedPasswordIsNotStored_data()
{
    QTest::addColumn<QString>("posted");
    QTest::addColumn<QString>("tried");
    QTest::addRow("no form") << QString() << QStringLiteral("secret");
    QTest::addRow("wrong password") << QStringLiteral("wrong") << QStringLiteral("wrong");
    QTest::addRow("same password") << QStringLiteral("secret") << QStringLiteral("secret");
}

void tst_SessionManager::postedPasswordIsNotStored()
{
    QFETCH(QString, posted);
    QFETCH(QString, tried);
    SessionManager manager;
    const quint64 id = logIn(&manager, QStringLiteral("secret"));

    // The connection tries what the form sent; refused, it does not log the browser out.
    HTTP_Session record = request(id, posted);
    manager.updateSession(&record);
    QCOMPARE(record.id, id);
    QCOMPARE(record.password, tried);
    manager.release(record.id);
    QCOMPARE(loginOf(&manager, id), QStringLiteral("secret"));
    QCOMPARE(manager.count(), 1);
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
    const quint64 id = logIn(&manager, QStringLiteral("secret"));

    fakeNow += idleMs;
    manager.checkSessions();
    QCOMPARE(manager.contains(id), kept);
    // An expired id is not taken back: its browser starts afresh, without the login.
    QCOMPARE(loginOf(&manager, id), kept ? QStringLiteral("secret") : QStringLiteral("<not stored>"));
    QCOMPARE(manager.count(), kept ? 1 : 0);
}

void tst_SessionManager::idleTimeStartsWhenTheLastHolderLeaves()
{
    SessionManager manager;
    const quint64 id = logIn(&manager, QStringLiteral("secret"));
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
    // A download right after the login, on the login's own connection.
    HTTP_Session download = request(0, QStringLiteral("secret"));
    holdLogin(&manager, &download);

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
    const quint64 id = logIn(manager, QStringLiteral("secret"));
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
    const quint64 idle = logIn(&manager, QStringLiteral("secret"));
    HTTP_Session held = request(0, QStringLiteral("secret"));
    holdLogin(&manager, &held);
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
    const QString password = QStringLiteral("secret");
    HTTP_Session held = request(0, password);
    holdLogin(&manager, &held);
    fakeNow += 1;
    // Stored first, but used again after all the others.
    const quint64 usedAgain = logIn(&manager, password);
    fakeNow += 1;
    const quint64 longestIdle = logIn(&manager, password);
    std::vector<quint64> others;
    while (manager.count() < Limits::MaxSessions) {
        fakeNow += 1;
        others.push_back(logIn(&manager, password));
    }
    fakeNow += 1;
    QCOMPARE(loginOf(&manager, usedAgain), password);

    fakeNow += 1;
    const quint64 added = logIn(&manager, password);
    QCOMPARE(manager.count(), Limits::MaxSessions);
    QVERIFY(manager.contains(added));
    QVERIFY(manager.contains(held.id));
    QVERIFY(manager.contains(usedAgain));
    QVERIFY(!manager.contains(longestIdle));
    for (quint64 id : others)
        QVERIFY(manager.contains(id));

    // The next login makes room the same way.
    fakeNow += 1;
    const quint64 second = logIn(&manager, password);
    QVERIFY(manager.contains(second));
    QVERIFY(!manager.contains(others.front()));
    QVERIFY(manager.contains(usedAgain));
    QCOMPARE(manager.count(), Limits::MaxSessions);
    manager.release(held.id);
}

void tst_SessionManager::fullStoreOfHeldSessionsStoresNoMore()
{
    SessionManager manager;
    std::vector<HTTP_Session> held(Limits::MaxSessions, request(0, QStringLiteral("secret")));
    for (HTTP_Session &record : held)
        holdLogin(&manager, &record);
    QCOMPARE(manager.count(), Limits::MaxSessions);

    // The login still answers its own request, but is not kept.
    HTTP_Session extra = request(0, QStringLiteral("secret"));
    holdLogin(&manager, &extra);
    QVERIFY(extra.id != 0);
    QCOMPARE(extra.password, QStringLiteral("secret"));
    QVERIFY(!manager.contains(extra.id));
    QCOMPARE(manager.count(), Limits::MaxSessions);
    manager.release(extra.id);
    for (const HTTP_Session &record : held)
        QVERIFY(manager.contains(record.id));
    QCOMPARE(manager.count(), Limits::MaxSessions);
}

void tst_SessionManager::loginMovesToAFreshId_data()
{
    QTest::addColumn<bool>("loggedInBefore");
    QTest::addRow("first login") << false;
    QTest::addRow("logged in again") << true;
}

void tst_SessionManager::loginMovesToAFreshId()
{
    QFETCH(bool, loggedInBefore);
    SessionManager manager;
    const quint64 before = loggedInBefore ? logIn(&manager, QStringLiteral("old")) : visit(&manager, 0);
    HTTP_Session login = request(before, QStringLiteral("secret"));
    holdLogin(&manager, &login);
    QVERIFY(login.id != 0);
    QVERIFY(login.id != before);
    QVERIFY(manager.contains(login.id));
    QVERIFY(!manager.contains(before));
    QCOMPARE(login.password, QStringLiteral("secret"));
    manager.release(login.id);
    QCOMPARE(manager.count(), 1);

    QCOMPARE(loginOf(&manager, login.id), QStringLiteral("secret"));
    // Whoever knew the id from before the login gets nothing from it.
    QCOMPARE(loginOf(&manager, before), QStringLiteral("<not stored>"));
}

void tst_SessionManager::loginWhileAnotherConnectionHoldsTheOldId()
{
    SessionManager manager;
    const quint64 before = logIn(&manager, QStringLiteral("old"));
    HTTP_Session picture = request(before);
    manager.updateSession(&picture);
    QCOMPARE(picture.password, QStringLiteral("old"));
    HTTP_Session login = request(before, QStringLiteral("secret"));
    holdLogin(&manager, &login);

    // The old session stays for the connection that holds it, without the login.
    QVERIFY(manager.contains(before));
    QCOMPARE(loginOf(&manager, before), QString());
    QCOMPARE(loginOf(&manager, login.id), QStringLiteral("secret"));
    QCOMPARE(manager.count(), 2);

    // Both holders' releases count: both sessions go idle and expire.
    manager.release(picture.id);
    manager.release(login.id);
    fakeNow += DefaultLifetimeMs + 1;
    manager.checkSessions();
    QCOMPARE(manager.count(), 0);
}

void tst_SessionManager::parallelRequestsWhileSweeping()
{
    constexpr int Threads = 4;
    constexpr int Requests = 5000;
    SessionManager manager;
    // A few browsers whose connections come and go on all threads; now and then one logs in.
    std::atomic<quint64> browsers[8] {};
    std::atomic<int> lostWhileHeld {0};
    std::atomic<int> loginsLent {0};
    std::atomic<int> running {Threads};

    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back(QThread::create([&, t] {
            for (int i = 0; i < Requests; ++i) {
                std::atomic<quint64> &browser = browsers[(i + t) % 8];
                const quint64 sent = browser;
                const bool login = i % 7 == 0;
                HTTP_Session record = request(sent, login ? QStringLiteral("secret") : QString());
                manager.updateSession(&record);
                bool stored = record.id == sent;
                // Only a stored session lends its login.
                if (!stored && !record.password.isEmpty() && !login)
                    ++loginsLent;
                if (login) {
                    manager.renewId(&record);
                    stored = true;
                }
                if (stored && !manager.contains(record.id))
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
    QCOMPARE(loginsLent.load(), 0);
    QVERIFY(largest <= Limits::MaxSessions);
    fakeNow += DefaultLifetimeMs + 1;
    manager.checkSessions();
    QCOMPARE(manager.count(), 0);
}

QTEST_GUILESS_MAIN(tst_SessionManager)
#include "tst_sessionmanager.moc"
