#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

/*!
    Slows down the guessing of passwords, per client address: a few failed logins go
    unchecked, then each failure makes the address wait before its next try is looked at,
    longer each time, up to MaxDelayMs. A try that comes too early is refused unchecked.
    A success forgets the address; so does a long quiet. Nothing is written anywhere.
*/
class LoginGuard
{
public:
    // Failures that cost nothing: a person who mistypes twice is not slowed.
    static constexpr int FreeFailures = 2;
    static constexpr qint64 FirstDelayMs = 250;
    static constexpr qint64 MaxDelayMs = 4000;
    // An address that failed no more for this long starts afresh.
    static constexpr qint64 ForgetMs = 15 * 60 * 1000;
    // The addresses remembered at most; beyond, the store starts afresh.
    static constexpr int MaxAddresses = 10000;

    // Whether a login from \a address may be checked at \a nowMs (monotonic milliseconds).
    bool mayTry(const QString &address, qint64 nowMs) const;
    void failed(const QString &address, qint64 nowMs);
    void succeeded(const QString &address);

private:
    struct Record
    {
        int failures = 0;
        qint64 lastFailureMs = 0;
        qint64 nextTryMs = 0;
    };
    mutable QMutex mutex;
    QHash<QString, Record> records;
};
