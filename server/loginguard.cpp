#include "loginguard.h"

#include <QMutexLocker>

bool LoginGuard::mayTry(const QString &address, qint64 nowMs) const
{
    QMutexLocker locker(&mutex);
    const auto it = records.constFind(address);
    return it == records.constEnd() || nowMs >= it->nextTryMs || nowMs - it->lastFailureMs > ForgetMs;
}

void LoginGuard::failed(const QString &address, qint64 nowMs)
{
    QMutexLocker locker(&mutex);
    if (records.size() >= MaxAddresses && !records.contains(address))
        records.clear();
    Record &record = records[address];
    if (nowMs - record.lastFailureMs > ForgetMs)
        record = Record();
    ++record.failures;
    record.lastFailureMs = nowMs;
    const int over = record.failures - FreeFailures;
    record.nextTryMs = over <= 0 ? 0 : nowMs + qMin(MaxDelayMs, FirstDelayMs << qMin(over - 1, 16));
}

void LoginGuard::succeeded(const QString &address)
{
    QMutexLocker locker(&mutex);
    records.remove(address);
}
