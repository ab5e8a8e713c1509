#include "databudget.h"

#include "limits.h"

#include <QDeadlineTimer>
#include <QThread>

#include <utility>

namespace {
// How often a transfer that waits for room below the data limit looks again.
constexpr int RoomCheckMs = 1;
} // namespace

DataBudget::Piece::~Piece()
{
    if (m_budget)
        m_budget->m_promised -= m_promise;
}

DataBudget::Piece::Piece(Piece &&other) noexcept
    : m_budget(std::exchange(other.m_budget, nullptr))
    , m_size(other.m_size)
    , m_promise(other.m_promise)
{ }

DataBudget::DataBudget(const std::atomic<qint64> &sent, const std::atomic<qint64> &received,
                       const std::atomic<qint64> &limit, const std::atomic<bool> &stop)
    : m_sent(sent)
    , m_received(received)
    , m_limit(limit)
    , m_stop(stop)
{ }

qint64 DataBudget::pieceSize(qint64 wanted, qint64 limit, qint64 used, qint64 promised)
{
    if (limit < 1)
        return wanted;
    const qint64 room = limit - used - promised;
    if (room <= 0)
        return 0;
    const qint64 blocks = (room + Limits::BlockSize - 1) / Limits::BlockSize;
    return qMin(wanted, blocks * Limits::BlockSize);
}

DataBudget::Piece DataBudget::take(qint64 wanted)
{
    const QDeadlineTimer deadline(Limits::SendWaitMs);
    for (;;) {
        if (m_stop)
            return {};
        const qint64 limit = m_limit;
        if (limit < 1)
            return {nullptr, wanted, 0};
        qint64 before = m_promised;
        const qint64 size = pieceSize(wanted, limit, m_sent + m_received, before);
        if (size > 0) {
            // Once the block that reaches the limit is promised, the room is gone for everyone.
            if (m_promised.compare_exchange_weak(before, before + size))
                return {this, size, size};
            continue;
        }
        // With nothing under way the totals are at the limit already; else the room left
        // is promised to pieces that end soon, in the limit or giving back what they did
        // not move.
        if (before == 0 || deadline.hasExpired())
            return {};
        QThread::msleep(RoomCheckMs);
    }
}
