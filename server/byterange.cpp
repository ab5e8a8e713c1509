#include "byterange.h"

#include "httpsyntax.h"
#include "protocol.h"

#include <limits>
#include <optional>

namespace {

using namespace HttpSyntax;

// Decimal digits only; a number too large for 64 bits is the largest there is, which lies
// beyond the end of any file.
std::optional<qint64> position(QByteArrayView digits)
{
    if (digits.isEmpty())
        return std::nullopt;
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    qint64 value = 0;
    for (const char c : digits) {
        if (!isDigit(c))
            return std::nullopt;
        const int digit = c - '0';
        value = value > (max - digit) / 10 ? max : value * 10 + digit;
    }
    return value;
}

// The one range of a range set, blanks and empty items left out; nothing for none or several.
std::optional<QByteArrayView> onlyRange(QByteArrayView set)
{
    std::optional<QByteArrayView> found;
    for (;;) {
        const qsizetype comma = set.indexOf(',');
        const QByteArrayView item = trimOws(comma < 0 ? set : set.first(comma));
        if (!item.isEmpty()) {
            if (found)
                return std::nullopt;
            found = item;
        }
        if (comma < 0)
            return found;
        set = set.sliced(comma + 1);
    }
}

} // namespace

namespace ByteRange {

Answer resolve(QByteArrayView value, qint64 size)
{
    const qsizetype equals = value.indexOf('=');
    if (equals < 0 || !equalsNoCase(value.first(equals), Http::RangeUnit))
        return {};
    const std::optional<QByteArrayView> range = onlyRange(value.sliced(equals + 1));
    const qsizetype dash = range ? range->indexOf('-') : -1;
    if (dash < 0)
        return {};
    const std::optional<qint64> first = position(range->first(dash));
    const std::optional<qint64> last = position(range->sliced(dash + 1));

    if (dash == 0) {
        if (!last)
            return {};
        if (*last == 0)
            return {Kind::Unsatisfiable};
        // An empty file has no part to send, yet a suffix asks for no particular byte.
        if (size == 0)
            return {};
        const qint64 length = qMin(*last, size);
        return {Kind::Part, size - length, length};
    }
    if (!first || (dash + 1 < range->size() && !last) || (last && *last < *first))
        return {};
    if (*first >= size)
        return {Kind::Unsatisfiable};
    const qint64 end = last ? qMin(*last, size - 1) : size - 1;
    return {Kind::Part, *first, end - *first + 1};
}

QByteArray contentRange(const Answer &answer, qint64 size)
{
    QByteArray value(Http::RangeUnit);
    value += ' ';
    if (answer.kind == Kind::Part)
        value
            += QByteArray::number(answer.first) + '-' + QByteArray::number(answer.first + answer.length - 1);
    else
        value += '*';
    return value + '/' + QByteArray::number(size);
}

} // namespace ByteRange
