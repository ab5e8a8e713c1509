#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken promise of the code under test: report it and abort, so that libFuzzer keeps
// the input and the corpus replay fails.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);               \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

namespace Fuzz {

// The input as a byte array without a copy, so that the address sanitizer sees a read
// even one byte past its end.
inline QByteArray bytesOf(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}

// Pseudo-random numbers drawn from the input itself: the same input always splits the
// same way, so a saved crash replays exactly.
class Splitter
{
public:
    explicit Splitter(const QByteArray &bytes)
    {
        for (const char c : bytes)
            state = (state ^ quint8(c)) * 0x100000001b3ull;
    }

    // A number from 0 to \a bound - 1; \a bound > 0.
    qsizetype below(qsizetype bound)
    {
        state ^= state >> 33;
        state *= 0xff51afd7ed558ccdull;
        state ^= state >> 33;
        return qsizetype(state % quint64(bound));
    }

    // Cut points between 1 and size - 1, ascending, with small and large pieces.
    QList<qsizetype> cuts(qsizetype size, int count)
    {
        QList<qsizetype> points;
        qsizetype at = 0;
        while (at < size && points.size() < count) {
            // Mostly short reads, now and then a long one.
            at += 1 + (below(4) == 0 ? below(size) : below(16));
            if (at < size)
                points.append(at);
        }
        return points;
    }

private:
    quint64 state = 0xcbf29ce484222325ull;
};

} // namespace Fuzz
