#pragma once

#include <QtGlobal>

#include <atomic>

/*!
    The room left below the data limit, shared by every transfer of the process. The totals
    alone lag behind what the other threads are moving, and pieces sized by them could
    together carry far past the limit; so under a limit a transfer moves a piece only once
    the budget has promised it the bytes, and gives back what it did not move.
*/
class DataBudget
{
public:
    // A promised piece of a transfer; the promise is given back when it goes, by which
    // time its bytes are counted in the totals.
    class Piece
    {
    public:
        Piece() = default;
        Piece(DataBudget *budget, qint64 size, qint64 promise)
            : m_budget(budget)
            , m_size(size)
            , m_promise(promise)
        { }
        ~Piece();
        Piece(Piece &&other) noexcept;
        Piece &operator=(Piece &&) = delete;

        // 0 ends the transfer.
        qint64 size() const { return m_size; }

    private:
        DataBudget *m_budget = nullptr;
        qint64 m_size = 0;
        qint64 m_promise = 0;
    };

    // The budget over these totals, this limit (bytes; 0 or less for none) and stop flag.
    DataBudget(const std::atomic<qint64> &sent, const std::atomic<qint64> &received,
               const std::atomic<qint64> &limit, const std::atomic<bool> &stop);

    /*!
        The size the next piece may have: \a wanted bytes while there is room, else up to
        the end of the accounting block that reaches the limit; 0 when no room is left.
        \a used is what the totals hold, \a promised what other pieces carry.
    */
    static qint64 pieceSize(qint64 wanted, qint64 limit, qint64 used, qint64 promised);

    /*!
        The next piece of at most \a wanted bytes. It is empty when the stop flag is set,
        when no room came free within Limits::SendWaitMs, or when the totals already reach
        the limit through bytes counted without a check, which the caller then looks at.
    */
    Piece take(qint64 wanted);

private:
    const std::atomic<qint64> &m_sent;
    const std::atomic<qint64> &m_received;
    const std::atomic<qint64> &m_limit;
    const std::atomic<bool> &m_stop;
    std::atomic<qint64> m_promised {0};
};
