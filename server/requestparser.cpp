#include "requestparser.h"

#include "httpsyntax.h"
#include "limits.h"
#include "protocol.h"

#include <QByteArrayView>

#include <limits>

namespace {

using RequestParser::RequestHead;
using RequestParser::Status;
using namespace HttpSyntax;

// Decimal digits only: no sign, no blanks, nothing beyond the type's range.
std::optional<quint64> decimal(QByteArrayView digits, quint64 max)
{
    if (digits.isEmpty())
        return std::nullopt;
    quint64 value = 0;
    for (const char c : digits) {
        if (!isDigit(c))
            return std::nullopt;
        const quint64 digit = quint64(c - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The text before the first \a separator, or all of it; \a rest keeps what follows.
QByteArrayView takePiece(QByteArrayView *rest, char separator)
{
    const qsizetype end = rest->indexOf(separator);
    const QByteArrayView piece = end < 0 ? *rest : rest->first(end);
    *rest = end < 0 ? QByteArrayView() : rest->sliced(end + 1);
    return piece;
}

quint64 sessionIdIn(QByteArrayView cookies)
{
    for (QByteArrayView rest = cookies; !rest.isEmpty();) {
        const QByteArrayView pair = trimOws(takePiece(&rest, ';'));
        const qsizetype equals = pair.indexOf('=');
        if (equals < 0 || trimOws(pair.first(equals)) != QByteArrayView(Http::SessionCookie))
            continue;
        QByteArrayView value = trimOws(pair.sliced(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.sliced(1, value.size() - 2);
        const std::optional<quint64> id = decimal(value, std::numeric_limits<quint64>::max());
        if (id && *id != 0)
            return *id;
    }
    return 0;
}

bool isVersion(QByteArrayView text)
{
    const QByteArrayView prefix(Http::VersionPrefix);
    return text.size() == prefix.size() + 3 && text.startsWith(prefix) && isDigit(text[prefix.size()])
        && text[prefix.size() + 1] == '.' && isDigit(text[prefix.size() + 2]);
}

// "METHOD SP target SP HTTP/x.y"; a line without the version is an old-style request
// and read as HTTP/1.0.
Status parseRequestLine(QByteArrayView line, bool headAllowed, RequestHead *head)
{
    const qsizetype firstBlank = line.indexOf(' ');
    if (firstBlank < 0)
        return Status::Bad;
    const QByteArrayView method = line.first(firstBlank);
    QByteArrayView target = line.sliced(firstBlank + 1);
    const qsizetype secondBlank = target.indexOf(' ');
    if (secondBlank >= 0) {
        if (!isVersion(target.sliced(secondBlank + 1)))
            return Status::Bad;
        target = target.first(secondBlank);
    }
    if (!isToken(method) || target.isEmpty())
        return Status::Bad;
    for (const char c : target) {
        if (isControl(c))
            return Status::Bad;
    }

    if (method == QByteArrayView(Http::MethodGet))
        head->method = RequestParser::Get;
    else if (method == QByteArrayView(Http::MethodPost))
        head->method = RequestParser::Post;
    else if (headAllowed && method == QByteArrayView(Http::MethodHead))
        head->method = RequestParser::Head;
    else
        return Status::Unsupported;

    QUrl url = QUrl::fromEncoded(target.toByteArray(), QUrl::TolerantMode);
    if (target.startsWith('/')) {
        // "//name/..." would be read as a host name and lose its first segment.
        if (target.startsWith("//"))
            return Status::Bad;
    } else {
        // The absolute form a proxy would send; only its path and query matter here.
        const QString scheme = url.scheme();
        if ((scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty())
            return Status::Bad;
        url.setUserInfo(QString());
        if (url.path().isEmpty())
            url.setPath(QStringLiteral("/"));
    }
    if (!url.isValid())
        return Status::Bad;
    head->url = url;
    return Status::Complete;
}

// What the header lines say, gathered before the head is known to be complete.
struct Fields
{
    QList<QByteArrayView> cookies;
    std::optional<QByteArrayView> authorization;
    bool hasContentType = false;
};

// "name: value"; a blank before the colon or a folded line is refused, as is any
// control character in the value.
Status parseHeaderLine(QByteArrayView line, RequestHead *head, Fields *fields)
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0 || !isToken(line.first(colon)))
        return Status::Bad;
    const QByteArrayView name = line.first(colon);
    const QByteArrayView value = trimOws(line.sliced(colon + 1));
    for (const char c : value) {
        if (isControl(c) && c != '\t')
            return Status::Bad;
    }

    if (equalsNoCase(name, Http::HeaderContentLength)) {
        const std::optional<quint64> length = decimal(value, quint64(std::numeric_limits<qint64>::max()));
        if (!length)
            return Status::Bad;
        // Two different lengths leave the body's end unknown.
        if (head->hasContentLength && head->contentLength != qint64(*length))
            return Status::Bad;
        head->contentLength = qint64(*length);
        head->hasContentLength = true;
    } else if (equalsNoCase(name, Http::HeaderTransferEncoding)) {
        return Status::Bad;
    } else if (equalsNoCase(name, Http::HeaderContentType)) {
        if (!fields->hasContentType)
            head->contentType = value.toByteArray();
        fields->hasContentType = true;
    } else if (equalsNoCase(name, Http::HeaderExpect)) {
        head->expectContinue = equalsNoCase(value, Http::ExpectContinue);
    } else if (equalsNoCase(name, Http::HeaderCookie)) {
        fields->cookies.append(value);
    } else if (equalsNoCase(name, Http::HeaderAuthorization)) {
        if (!fields->authorization)
            fields->authorization = value;
    } else if (equalsNoCase(name, Http::HeaderHost)) {
        // Two different hosts leave it open which site the request is for.
        if (head->host && *head->host != value)
            return Status::Bad;
        head->host = value.toByteArray();
    } else if (equalsNoCase(name, Http::HeaderOrigin)) {
        head->origin = value.toByteArray();
    } else if (equalsNoCase(name, Http::HeaderFetchSite)) {
        head->fetchSite = value.toByteArray();
    } else if (equalsNoCase(name, Http::HeaderRange)) {
        head->range += (head->range.isEmpty() ? QByteArray() : QByteArray(",")) + value.toByteArray();
    } else if (equalsNoCase(name, Http::HeaderIfRange)) {
        head->hasIfRange = true;
    }
    return Status::Complete;
}

RequestParser::ParseResult finished(Status status)
{
    RequestParser::ParseResult result;
    result.status = status;
    return result;
}

} // namespace

namespace RequestParser {

ParseResult parseHead(const QByteArray &buffer, bool headAllowed)
{
    const QByteArrayView bytes(buffer);
    ParseResult result;
    RequestHead &head = result.head;
    Fields fields;
    bool haveRequestLine = false;
    qsizetype pos = 0;

    for (;;) {
        const qsizetype lineFeed = bytes.indexOf('\n', pos);
        if (lineFeed < 0) {
            QByteArrayView pending = bytes.sliced(pos);
            if (pending.endsWith('\r'))
                pending.chop(1);
            // Even the shortest ending from here would break a bound.
            if (pending.size() > Limits::MaxHeadLine || bytes.size() >= Limits::MaxHeadSize)
                return finished(Status::Bad);
            // Bytes that can never start a request (a TLS greeting, say) need not wait
            // for a line end that may not come.
            if (!haveRequestLine && !pending.isEmpty()) {
                const qsizetype blank = pending.indexOf(' ');
                if (!isToken(blank < 0 ? pending : pending.first(blank)))
                    return finished(Status::Bad);
            }
            return finished(Status::Incomplete);
        }
        if (lineFeed + 1 > Limits::MaxHeadSize)
            return finished(Status::Bad);
        QByteArrayView line = bytes.sliced(pos, lineFeed - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.size() > Limits::MaxHeadLine)
            return finished(Status::Bad);
        pos = lineFeed + 1;

        Status status = Status::Complete;
        if (!haveRequestLine) {
            // Clients may send a stray line end ahead of the request line.
            if (line.isEmpty())
                continue;
            status = parseRequestLine(line, headAllowed, &head);
            haveRequestLine = true;
        } else if (line.isEmpty()) {
            break;
        } else {
            status = parseHeaderLine(line, &head, &fields);
        }
        if (status != Status::Complete)
            return finished(status);
    }

    for (const QByteArrayView cookies : std::as_const(fields.cookies)) {
        head.sessionId = sessionIdIn(cookies);
        if (head.sessionId != 0)
            break;
    }
    if (fields.authorization) {
        if (const std::optional<QString> credentials
            = basicCredentials(fields.authorization->toByteArray())) {
            head.credentials = *credentials;
            head.hasCredentials = true;
            const qsizetype colon = credentials->indexOf(QLatin1Char(':'));
            head.url.setUserName(credentials->left(colon), QUrl::DecodedMode);
            head.url.setPassword(credentials->mid(colon + 1), QUrl::DecodedMode);
        }
    }
    result.status = Status::Complete;
    result.headSize = int(pos);
    return result;
}

std::optional<QString> basicCredentials(const QByteArray &authorizationValue)
{
    const QByteArrayView value = trimOws(authorizationValue);
    qsizetype schemeEnd = 0;
    while (schemeEnd < value.size() && value[schemeEnd] != ' ' && value[schemeEnd] != '\t')
        ++schemeEnd;
    if (!equalsNoCase(value.first(schemeEnd), Http::SchemeBasic))
        return std::nullopt;
    const QByteArrayView token = trimOws(value.sliced(schemeEnd));
    if (token.isEmpty())
        return std::nullopt;

    QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(token.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return std::nullopt;
    QByteArray bytes = std::move(decoded.decoded);
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    if (!bytes.contains(':'))
        return std::nullopt;

    return utf8OrLatin1(bytes);
}

QString formField(const QByteArray &body, const QByteArray &name)
{
    for (QByteArrayView rest = body; !rest.isEmpty();) {
        const QByteArrayView pair = takePiece(&rest, '&');
        const qsizetype equals = pair.indexOf('=');
        const QByteArrayView key = equals < 0 ? pair : pair.first(equals);
        if (percentDecoded(key, true) == name)
            return QString::fromUtf8(
                percentDecoded(equals < 0 ? QByteArrayView() : pair.sliced(equals + 1), true));
    }
    return QString();
}

QByteArray decodedPath(const QUrl &url)
{
    return percentDecoded(url.path(QUrl::FullyEncoded).toLatin1(), false);
}

} // namespace RequestParser
