// The values that decide who gets in: an Authorization value, a Cookie value and the
// comparison with the user table. The first line of the input is the header value,
// the other lines are the user table's "name:password" entries.

#include "fuzzcheck.h"

#include "server/access.h"
#include "server/httpsyntax.h"
#include "server/requestparser.h"

namespace {

void checkBasic(const QByteArray &value, const QList<QString> &users)
{
    const std::optional<QString> credentials = RequestParser::basicCredentials(value);
    if (!credentials)
        return;
    FUZZ_CHECK(credentials->contains(QLatin1Char(':')));
    FUZZ_CHECK(!credentials->contains(QChar(0)));
    // A browser that sends what a user entered gets it back unchanged.
    FUZZ_CHECK(RequestParser::basicCredentials("Basic " + credentials->toUtf8().toBase64()) == credentials);

    FUZZ_CHECK(Access::basicAccepted(*credentials, true, {*credentials}));
    FUZZ_CHECK(!Access::basicAccepted(*credentials, false, {*credentials}));
    FUZZ_CHECK(!Access::basicAccepted(*credentials, true, {}));
    bool listed = false;
    for (const QString &user : users)
        listed |= user.toUtf8() == credentials->toUtf8();
    FUZZ_CHECK(Access::basicAccepted(*credentials, true, users) == listed);
}

void checkCookies(const QByteArray &value)
{
    const auto idOf = [](const QByteArray &cookies) {
        return RequestParser::parseHead("GET / HTTP/1.1\r\nCookie: " + cookies + "\r\n\r\n").head.sessionId;
    };
    const quint64 id = idOf(value);
    // Other cookies in front change nothing.
    FUZZ_CHECK(idOf("theme=dark; " + value) == id);
    if (id != 0)
        FUZZ_CHECK(value.contains("SessionId"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzz::bytesOf(data, size);
    const qsizetype lineEnd = bytes.indexOf('\n');
    const QByteArray value = lineEnd < 0 ? bytes : bytes.first(lineEnd);
    QList<QString> users;
    if (lineEnd >= 0) {
        for (const QByteArray &line : bytes.sliced(lineEnd + 1).split('\n'))
            users << HttpSyntax::utf8OrLatin1(line);
    }

    checkBasic(value, users);
    checkCookies(value);

    // The password form: the session's password against the configured one.
    const QString offered = HttpSyntax::utf8OrLatin1(value);
    for (const QString &configured : std::as_const(users)) {
        const bool same = offered.toUtf8() == configured.toUtf8();
        FUZZ_CHECK(Access::equalsConstantTime(offered, configured) == same);
        FUZZ_CHECK(Access::passwordAccepted(offered, configured) == (same || configured.isEmpty()));
    }

    for (const bool plusIsBlank : {false, true}) {
        const QByteArray decoded = HttpSyntax::percentDecoded(value, plusIsBlank);
        FUZZ_CHECK(decoded.size() <= value.size());
        if (!value.contains('%') && !(plusIsBlank && value.contains('+')))
            FUZZ_CHECK(decoded == value);
    }
    return 0;
}
