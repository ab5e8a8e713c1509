#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

// Every decision about the bytes of a request head, made without a socket: the
// connection reads into a buffer and asks parseHead() what it holds so far.
namespace RequestParser {

enum Method { NoMethod = 0, Get = 1, Post = 2, Head = 3 };

struct RequestHead
{
    int method = NoMethod;
    // The target, with its user-info set from Basic credentials when present.
    QUrl url;
    // The Content-Type value as sent, trimmed.
    QByteArray contentType;
    // Filled for every method; a GET that announces a body is still a GET.
    qint64 contentLength = 0;
    bool hasContentLength = false;
    // From the cookie named "SessionId"; 0 when none or invalid.
    quint64 sessionId = 0;
    // The client waits for "100 Continue" before it sends its body.
    bool expectContinue = false;
    // Decoded Basic credentials "user:password"; empty when none or malformed.
    QString credentials;
    bool hasCredentials = false;
    // The Host value (none for a client of HTTP/1.0 that sends none), the Origin value and
    // the Sec-Fetch-Site value, as sent.
    std::optional<QByteArray> host;
    QByteArray origin;
    QByteArray fetchSite;
    // The Range value as sent (two Range lines read as one list of ranges), and whether an
    // If-Range came with it.
    QByteArray range;
    bool hasIfRange = false;
};

enum class Status {
    // No empty line yet, within the bounds, and nothing seen so far is wrong.
    Incomplete,
    Complete,
    // Malformed, or beyond Limits::MaxHeadLine / Limits::MaxHeadSize.
    Bad,
    // A well-formed request line with a method other than GET and POST (and HEAD, when
    // asked for).
    Unsupported
};

struct ParseResult
{
    Status status = Status::Incomplete;
    RequestHead head;
    // Bytes up to and including the empty line; 0 unless Complete. Body bytes start here.
    int headSize = 0;
};

/*!
 * Parses the request head at the start of \a buffer (all bytes received so far).
 * Lines may end in CR LF or in a bare LF; empty lines before the request line are
 * skipped. Header names are matched without regard to case and in any order. Bad
 * and Unsupported are reported as soon as the bytes so far decide it, so a caller
 * can stop reading early. A Transfer-Encoding header is Bad: bodies are read by
 * their length only. HEAD is a method only with \a headAllowed.
 */
ParseResult parseHead(const QByteArray &buffer, bool headAllowed = false);

/*!
 * Decodes an Authorization value such as "Basic dXNlcjpwdw==" (scheme in any case)
 * into "user:password". The bytes are cut at the first NUL and read as UTF-8 when
 * they are valid UTF-8, else as Latin-1. Another scheme, bad Base64 or a missing
 * colon gives no credentials.
 */
std::optional<QString> basicCredentials(const QByteArray &authorizationValue);

// The first field \a name of an x-www-form-urlencoded body, decoded the way browsers
// encode it ("+" is a blank, escapes are UTF-8); empty when absent.
QString formField(const QByteArray &body, const QByteArray &name);

// The URL's path with every percent escape decoded (also "%2F"): the bytes of a file
// name as the file system holds them, UTF-8 or not.
QByteArray decodedPath(const QUrl &url);

} // namespace RequestParser
