#include "server/limits.h"
#include "server/requestparser.h"

#include <QtTest>

using RequestParser::Status;
using Statuses = QList<Status>;

namespace RequestParser {
// Readable names in failure messages.
char *toString(Status status)
{
    switch (status) {
    case Status::Incomplete:
        return qstrdup("Incomplete");
    case Status::Complete:
        return qstrdup("Complete");
    case Status::Bad:
        return qstrdup("Bad");
    case Status::Unsupported:
        return qstrdup("Unsupported");
    }
    return qstrdup("?");
}
} // namespace RequestParser

class tst_RequestParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestLine_data();
    void requestLine();
    void headers_data();
    void headers();
    void expectContinue_data();
    void expectContinue();
    void headSize_data();
    void headSize();
    void segments_data();
    void segments();
    void bounds_data();
    void bounds();
    void sessionIdFromCookies_data();
    void sessionIdFromCookies();
    void basicCredentials_data();
    void basicCredentials();
    void formField_data();
    void formField();
    void decodedPath_data();
    void decodedPath();
    void isSafePath_data();
    void isSafePath();
};

static QByteArray basic(const QByteArray &credentials)
{
    return "Basic " + credentials.toBase64();
}

// A head of exactly \a size bytes: the request line, filler header lines each within
// the line bound, and the empty line.
static QByteArray headOfSize(int size)
{
    QByteArray head("GET / HTTP/1.1\r\n");
    int left = size - int(head.size()) - 2;
    while (left > 0) {
        // "X: " and CR LF around at least one byte.
        int lineSize = qMin(left, Limits::MaxHeadLine + 2);
        if (left - lineSize > 0 && left - lineSize < 6)
            lineSize -= 6;
        head += "X: " + QByteArray(lineSize - 5, 'x') + "\r\n";
        left -= lineSize;
    }
    return head + "\r\n";
}

void tst_RequestParser::requestLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Status>("status");
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("query");

    const int get = RequestParser::Get;
    const int post = RequestParser::Post;
    const int none = RequestParser::NoMethod;
    QTest::addRow("escaped blank in the path")
        << QByteArray("GET /docs/a%20b.txt HTTP/1.1") << Status::Complete << get
        << QStringLiteral("/docs/a b.txt") << QString();
    QTest::addRow("query kept") << QByteArray("GET /?x=1 HTTP/1.1") << Status::Complete << get
                                << QStringLiteral("/") << QStringLiteral("x=1");
    QTest::addRow("POST, HTTP/1.0") << QByteArray("POST /login HTTP/1.0") << Status::Complete << post
                                    << QStringLiteral("/login") << QString();
    QTest::addRow("no version, read as HTTP/1.0")
        << QByteArray("GET /old.txt") << Status::Complete << get << QStringLiteral("/old.txt") << QString();
    QTest::addRow("UTF-8 escapes") << QByteArray("GET /%C3%A4%E2%82%AC.txt HTTP/1.1") << Status::Complete
                                   << get << QStringLiteral("/\u00e4\u20ac.txt") << QString();
    QTest::addRow("raw UTF-8 bytes") << QByteArray("GET /\xc3\xa4.txt HTTP/1.1") << Status::Complete << get
                                     << QStringLiteral("/\u00e4.txt") << QString();
    QTest::addRow("absolute form") << QByteArray("GET http://example.org:8080/a%20b?q=1 HTTP/1.1")
                                   << Status::Complete << get << QStringLiteral("/a b")
                                   << QStringLiteral("q=1");
    QTest::addRow("absolute form without a path")
        << QByteArray("GET http://example.org HTTP/1.1") << Status::Complete << get << QStringLiteral("/")
        << QString();
    QTest::addRow("HEAD") << QByteArray("HEAD / HTTP/1.1") << Status::Unsupported << none << QString()
                          << QString();
    QTest::addRow("OPTIONS *") << QByteArray("OPTIONS * HTTP/1.1") << Status::Unsupported << none << QString()
                               << QString();
    QTest::addRow("PUT") << QByteArray("PUT /x HTTP/1.1") << Status::Unsupported << none << QString()
                         << QString();
    QTest::addRow("lower-case get") << QByteArray("get / HTTP/1.1") << Status::Unsupported << none
                                    << QString() << QString();
    QTest::addRow("method only") << QByteArray("GET") << Status::Bad << none << QString() << QString();
    QTest::addRow("empty target") << QByteArray("GET  HTTP/1.1") << Status::Bad << none << QString()
                                  << QString();
    QTest::addRow("two blanks") << QByteArray("GET  / HTTP/1.1") << Status::Bad << none << QString()
                                << QString();
    QTest::addRow("trailing blank") << QByteArray("GET / HTTP/1.1 ") << Status::Bad << none << QString()
                                    << QString();
    QTest::addRow("fourth word") << QByteArray("GET / HTTP/1.1 x") << Status::Bad << none << QString()
                                 << QString();
    QTest::addRow("not HTTP") << QByteArray("GET / HTTX/1.1") << Status::Bad << none << QString()
                              << QString();
    QTest::addRow("version without dot")
        << QByteArray("GET / HTTP/11") << Status::Bad << none << QString() << QString();
    QTest::addRow("version in lower case")
        << QByteArray("GET / http/1.1") << Status::Bad << none << QString() << QString();
    QTest::addRow("method with a bracket")
        << QByteArray("G(T / HTTP/1.1") << Status::Bad << none << QString() << QString();
    QTest::addRow("leading blank") << QByteArray(" GET / HTTP/1.1") << Status::Bad << none << QString()
                                   << QString();
    QTest::addRow("tab as separator")
        << QByteArray("GET\t/ HTTP/1.1") << Status::Bad << none << QString() << QString();
    QTest::addRow("control byte in the target")
        << QByteArray("GET /a\x01z HTTP/1.1") << Status::Bad << none << QString() << QString();
    QTest::addRow("relative target") << QByteArray("GET index.html HTTP/1.1") << Status::Bad << none
                                     << QString() << QString();
    QTest::addRow("target read as a host")
        << QByteArray("GET //etc/passwd HTTP/1.1") << Status::Bad << none << QString() << QString();
    QTest::addRow("other scheme") << QByteArray("GET ftp://example.org/x HTTP/1.1") << Status::Bad << none
                                  << QString() << QString();
}

void tst_RequestParser::requestLine()
{
    QFETCH(QByteArray, line);
    QFETCH(Status, status);
    QFETCH(int, method);
    QFETCH(QString, path);
    QFETCH(QString, query);

    const RequestParser::ParseResult result = RequestParser::parseHead(line + "\r\nHost: h\r\n\r\n");
    QCOMPARE(result.status, status);
    if (status != Status::Complete)
        return;
    QCOMPARE(result.head.method, method);
    QCOMPARE(RequestParser::decodedPath(result.head.url), path);
    QCOMPARE(result.head.url.query(QUrl::FullyDecoded), query);
    QVERIFY(!result.head.hasCredentials);
    QVERIFY(result.head.url.userInfo().isEmpty());
}

void tst_RequestParser::headers_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<Status>("status");
    QTest::addColumn<qint64>("contentLength");
    QTest::addColumn<bool>("hasContentLength");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<quint64>("sessionId");
    QTest::addColumn<QString>("credentials");

    const QByteArray form("application/x-www-form-urlencoded");
    const QByteArray none;
    QTest::addRow("form POST, type before length")
        << QByteArray("POST /login HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: 18\r\n\r\n")
        << Status::Complete << qint64(18) << true << form << quint64(0) << QString();
    QTest::addRow("form POST, length before type")
        << QByteArray("POST /login HTTP/1.1\r\nContent-Length: 18\r\n"
                      "Content-Type: application/x-www-form-urlencoded\r\nCookie: SessionId=5\r\n\r\n")
        << Status::Complete << qint64(18) << true << form << quint64(5) << QString();
    QTest::addRow("names in lower case")
        << QByteArray("POST /login HTTP/1.1\r\ncontent-length: 7\r\ncontent-type: text/plain\r\n"
                      "cookie: SessionId=9\r\nauthorization: basic dXNlcjpwdw==\r\n\r\n")
        << Status::Complete << qint64(7) << true << QByteArray("text/plain") << quint64(9)
        << QStringLiteral("user:pw");
    QTest::addRow("names in upper case")
        << QByteArray("POST /login HTTP/1.1\r\nCONTENT-LENGTH: 7\r\nCOOKIE: SessionId=9\r\n\r\n")
        << Status::Complete << qint64(7) << true << none << quint64(9) << QString();
    QTest::addRow("no blank after the colon")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length:5\r\nContent-Type:text/plain\r\n\r\n")
        << Status::Complete << qint64(5) << true << QByteArray("text/plain") << quint64(0) << QString();
    QTest::addRow("blanks and tabs around values")
        << QByteArray(
               "POST /x HTTP/1.1\r\nContent-Length: \t 5 \t\r\nContent-Type:   text/plain; a=b  \r\n\r\n")
        << Status::Complete << qint64(5) << true << QByteArray("text/plain; a=b") << quint64(0) << QString();
    QTest::addRow("bare LF line ends")
        << QByteArray("POST /x HTTP/1.1\nContent-Length: 3\nCookie: SessionId=4\n\n") << Status::Complete
        << qint64(3) << true << none << quint64(4) << QString();
    QTest::addRow("mixed line ends") << QByteArray("GET / HTTP/1.1\nHost: h\r\nCookie: SessionId=4\n\r\n")
                                     << Status::Complete << qint64(0) << false << none << quint64(4)
                                     << QString();
    QTest::addRow("GET announcing a body")
        << QByteArray("GET / HTTP/1.1\r\nContent-Length: 4\r\n\r\n") << Status::Complete << qint64(4) << true
        << none << quint64(0) << QString();
    QTest::addRow("no Content-Length") << QByteArray("POST /x HTTP/1.1\r\n\r\n") << Status::Complete
                                       << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("length 0") << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                              << Status::Complete << qint64(0) << true << none << quint64(0) << QString();
    QTest::addRow("5 GB upload") << QByteArray("POST /upload HTTP/1.1\r\nContent-Length: 5368709120\r\n\r\n")
                                 << Status::Complete << qint64(5368709120) << true << none << quint64(0)
                                 << QString();
    QTest::addRow("largest length") << QByteArray(
        "POST /x HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n")
                                    << Status::Complete << std::numeric_limits<qint64>::max() << true << none
                                    << quint64(0) << QString();
    QTest::addRow("length beyond 64 bits")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 9223372036854775808\r\n\r\n") << Status::Bad
        << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("same length twice")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 005\r\n\r\n")
        << Status::Complete << qint64(5) << true << none << quint64(0) << QString();
    QTest::addRow("two different lengths")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n") << Status::Bad
        << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("negative length") << QByteArray("POST /x HTTP/1.1\r\nContent-Length: -1\r\n\r\n")
                                     << Status::Bad << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("signed length") << QByteArray("POST /x HTTP/1.1\r\nContent-Length: +5\r\n\r\n")
                                   << Status::Bad << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("length with letters")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n") << Status::Bad << qint64(0)
        << false << none << quint64(0) << QString();
    QTest::addRow("hexadecimal length")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n") << Status::Bad << qint64(0) << false
        << none << quint64(0) << QString();
    QTest::addRow("empty length") << QByteArray("POST /x HTTP/1.1\r\nContent-Length:\r\n\r\n") << Status::Bad
                                  << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("length list") << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 5, 5\r\n\r\n")
                                 << Status::Bad << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("chunked body") << QByteArray("POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
                                  << Status::Bad << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("first Content-Type counts")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Type: text/html\r\n\r\n")
        << Status::Complete << qint64(0) << false << QByteArray("text/plain") << quint64(0) << QString();
    QTest::addRow("Latin-1 bytes in a value")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Type: text/plain; n=\xe4\r\n\r\n") << Status::Complete
        << qint64(0) << false << QByteArray("text/plain; n=\xe4") << quint64(0) << QString();
    QTest::addRow("unknown headers ignored")
        << QByteArray("GET / HTTP/1.1\r\nX-Custom: Content-Length: 5\r\nAccept: */*\r\n\r\n")
        << Status::Complete << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("blank before the colon")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length : 5\r\n\r\n") << Status::Bad << qint64(0) << false
        << none << quint64(0) << QString();
    QTest::addRow("folded line") << QByteArray("GET / HTTP/1.1\r\nX-A: a\r\n b\r\n\r\n") << Status::Bad
                                 << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("line without a colon") << QByteArray("GET / HTTP/1.1\r\nnonsense\r\n\r\n") << Status::Bad
                                          << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("empty name") << QByteArray("GET / HTTP/1.1\r\n: x\r\n\r\n") << Status::Bad << qint64(0)
                                << false << none << quint64(0) << QString();
    QTest::addRow("NUL in a value") << QByteArrayLiteral("GET / HTTP/1.1\r\nX-A: a\0b\r\n\r\n") << Status::Bad
                                    << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("bare CR in a value") << QByteArray("GET / HTTP/1.1\r\nX-A: a\rb\r\n\r\n") << Status::Bad
                                        << qint64(0) << false << none << quint64(0) << QString();
    QTest::addRow("cookie SessionId=17")
        << QByteArray("GET / HTTP/1.1\r\nCookie: SessionId=17\r\n\r\n") << Status::Complete << qint64(0)
        << false << none << quint64(17) << QString();
    QTest::addRow("SessionId after another cookie")
        << QByteArray("GET / HTTP/1.1\r\nCookie: theme=3; SessionId=17\r\n\r\n") << Status::Complete
        << qint64(0) << false << none << quint64(17) << QString();
    QTest::addRow("only another cookie")
        << QByteArray("GET / HTTP/1.1\r\nCookie: theme=3\r\n\r\n") << Status::Complete << qint64(0) << false
        << none << quint64(0) << QString();
    QTest::addRow("SessionId=abc") << QByteArray("GET / HTTP/1.1\r\nCookie: SessionId=abc\r\n\r\n")
                                   << Status::Complete << qint64(0) << false << none << quint64(0)
                                   << QString();
    QTest::addRow("SessionId in a second Cookie header")
        << QByteArray("GET / HTTP/1.1\r\nCookie: theme=3\r\nCookie: SessionId=42\r\n\r\n") << Status::Complete
        << qint64(0) << false << none << quint64(42) << QString();
    QTest::addRow("invalid SessionId, then a valid one")
        << QByteArray("GET / HTTP/1.1\r\nCookie: SessionId=x\r\nCookie: SessionId=43\r\n\r\n")
        << Status::Complete << qint64(0) << false << none << quint64(43) << QString();
    QTest::addRow("Basic credentials")
        << QByteArray("GET / HTTP/1.1\r\nAuthorization: Basic dXNlcjpwdw==\r\n\r\n") << Status::Complete
        << qint64(0) << false << none << quint64(0) << QStringLiteral("user:pw");
    QTest::addRow("malformed Basic") << QByteArray("GET / HTTP/1.1\r\nAuthorization: Basic ###\r\n\r\n")
                                     << Status::Complete << qint64(0) << false << none << quint64(0)
                                     << QString();
    QTest::addRow("other scheme") << QByteArray(
        "GET / HTTP/1.1\r\nAuthorization: Bearer dXNlcjpwdw==\r\n\r\n")
                                  << Status::Complete << qint64(0) << false << none << quint64(0)
                                  << QString();
}

void tst_RequestParser::headers()
{
    QFETCH(QByteArray, head);
    QFETCH(Status, status);
    QFETCH(qint64, contentLength);
    QFETCH(bool, hasContentLength);
    QFETCH(QByteArray, contentType);
    QFETCH(quint64, sessionId);
    QFETCH(QString, credentials);

    const RequestParser::ParseResult result = RequestParser::parseHead(head);
    QCOMPARE(result.status, status);
    if (status != Status::Complete) {
        QCOMPARE(result.headSize, 0);
        return;
    }
    QCOMPARE(result.headSize, int(head.size()));
    QCOMPARE(result.head.contentLength, contentLength);
    QCOMPARE(result.head.hasContentLength, hasContentLength);
    QCOMPARE(result.head.contentType, contentType);
    QCOMPARE(result.head.sessionId, sessionId);
    QCOMPARE(result.head.credentials, credentials);
    QCOMPARE(result.head.hasCredentials, !credentials.isEmpty());
    if (!credentials.isEmpty()) {
        const QString userName = credentials.section(QLatin1Char(':'), 0, 0);
        const QString password = credentials.section(QLatin1Char(':'), 1);
        QCOMPARE(result.head.url.userName(), userName);
        QCOMPARE(result.head.url.password(), password);
    } else {
        QVERIFY(result.head.url.userInfo().isEmpty());
    }
}

void tst_RequestParser::expectContinue_data()
{
    QTest::addColumn<QByteArray>("line"); // a header line, or none
    QTest::addColumn<bool>("expected");

    QTest::addRow("as curl sends it") << QByteArray("Expect: 100-continue") << true;
    QTest::addRow("other letter case") << QByteArray("expect: 100-Continue") << true;
    QTest::addRow("blanks around the value") << QByteArray("Expect:  100-continue \t") << true;
    QTest::addRow("no Expect line") << QByteArray() << false;
    QTest::addRow("empty, as curl sends it when told not to") << QByteArray("Expect:") << false;
    QTest::addRow("another expectation") << QByteArray("Expect: 200-ok") << false;
    QTest::addRow("longer value") << QByteArray("Expect: 100-continued") << false;
}

void tst_RequestParser::expectContinue()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, expected);

    const QByteArray head = "POST /upload HTTP/1.1\r\nHost: h\r\nContent-Length: 9\r\n"
        + (line.isEmpty() ? QByteArray() : line + "\r\n") + "\r\n";
    const RequestParser::ParseResult result = RequestParser::parseHead(head);
    QCOMPARE(result.status, Status::Complete);
    QCOMPARE(result.head.expectContinue, expected);
}

void tst_RequestParser::headSize_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("body");

    QTest::addRow("CR LF head and a form body")
        << QByteArray("POST /login HTTP/1.1\r\nContent-Length: 14\r\n\r\n") << QByteArray("password=a%26b");
    QTest::addRow("LF head") << QByteArray("POST /x HTTP/1.1\nContent-Length: 2\n\n") << QByteArray("ab");
    QTest::addRow("stray line ends before the request line")
        << QByteArray("\r\n\nGET / HTTP/1.1\r\n\r\n") << QByteArray();
    QTest::addRow("body holding an empty line")
        << QByteArray("POST /upload HTTP/1.1\r\nContent-Length: 12\r\n\r\n")
        << QByteArray("\r\n\r\nx\r\n\r\nyz\r\n");
    QTest::addRow("body looking like a header")
        << QByteArray("POST /x HTTP/1.1\r\n\r\n") << QByteArray("Content-Length: 99\r\n\r\n");
}

void tst_RequestParser::headSize()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, body);

    const RequestParser::ParseResult result = RequestParser::parseHead(head + body);
    QCOMPARE(result.status, Status::Complete);
    QCOMPARE(result.headSize, int(head.size()));
    QCOMPARE(RequestParser::parseHead(head).headSize, int(head.size()));
}

void tst_RequestParser::segments_data()
{
    QTest::addColumn<QByteArrayList>("segments");
    QTest::addColumn<Statuses>("statuses");
    QTest::addColumn<quint64>("sessionId");

    QTest::addRow("nothing yet") << QByteArrayList {QByteArray()} << Statuses {Status::Incomplete}
                                 << quint64(0);
    QTest::addRow("head in three segments")
        << QByteArrayList {"GET / HT", "TP/1.1\r\nCookie: Sess", "ionId=17\r\n\r\n"}
        << Statuses {Status::Incomplete, Status::Incomplete, Status::Complete} << quint64(17);
    QTest::addRow("CR and LF in different segments")
        << QByteArrayList {"GET / HTTP/1.1\r", "\nCookie: SessionId=3\r", "\n\r", "\n"}
        << Statuses {Status::Incomplete, Status::Incomplete, Status::Incomplete, Status::Complete}
        << quint64(3);
    QTest::addRow("header after Content-Length in a later segment")
        << QByteArrayList {"POST /login HTTP/1.1\r\nContent-Length: 18\r\n",
                           "Cookie: SessionId=8\r\nContent-Type: application/x-www-form-urlencoded\r\n",
                           "\r\npassword=a%26b&x=1"}
        << Statuses {Status::Incomplete, Status::Incomplete, Status::Complete} << quint64(8);
    QTest::addRow("only line ends so far")
        << QByteArrayList {"\r\n", "\r\n"} << Statuses {Status::Incomplete, Status::Incomplete} << quint64(0);
    QTest::addRow("HEAD decided by its request line")
        << QByteArrayList {"HEAD / HTTP/1.1\r\n"} << Statuses {Status::Unsupported} << quint64(0);
    QTest::addRow("bad header decided before the head ends")
        << QByteArrayList {"GET / HTTP/1.1\r\n", "Content-Length: x\r\n"}
        << Statuses {Status::Incomplete, Status::Bad} << quint64(0);
    QTest::addRow("TLS greeting without a line end")
        << QByteArrayList {QByteArray::fromHex("160301020001000001fc0303")} << Statuses {Status::Bad}
        << quint64(0);
    QTest::addRow("method word still arriving")
        << QByteArrayList {"PO", "ST /x"} << Statuses {Status::Incomplete, Status::Incomplete} << quint64(0);
}

void tst_RequestParser::segments()
{
    QFETCH(QByteArrayList, segments);
    QFETCH(Statuses, statuses);
    QFETCH(quint64, sessionId);

    QByteArray buffer;
    RequestParser::ParseResult result;
    for (qsizetype i = 0; i < segments.size(); ++i) {
        buffer += segments.at(i);
        result = RequestParser::parseHead(buffer);
        QCOMPARE(result.status, statuses.at(i));
    }
    QCOMPARE(result.head.sessionId, sessionId);
}

void tst_RequestParser::bounds_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Status>("status");

    const int line = Limits::MaxHeadLine;
    const QByteArray requestLine("GET / HTTP/1.1\r\n");
    const QByteArray longest = "X: " + QByteArray(line - 3, 'x');
    QTest::addRow("header line at the bound") << requestLine + longest + "\r\n\r\n" << Status::Complete;
    QTest::addRow("header line over the bound") << requestLine + longest + "x\r\n\r\n" << Status::Bad;
    QTest::addRow("header line at the bound, LF only") << requestLine + longest + "\n\n" << Status::Complete;
    QTest::addRow("request line at the bound") << "GET /" + QByteArray(line - 14, 'a') + " HTTP/1.1\r\n\r\n"
                                               << Status::Complete;
    QTest::addRow("request line over the bound") << "GET /" + QByteArray(line - 13, 'a') + " HTTP/1.1\r\n\r\n"
                                                 << Status::Bad;
    QTest::addRow("unfinished line at the bound") << requestLine + longest << Status::Incomplete;
    QTest::addRow("unfinished line at the bound, CR seen")
        << requestLine + longest + "\r" << Status::Incomplete;
    QTest::addRow("unfinished line over the bound") << requestLine + longest + "x" << Status::Bad;
    QTest::addRow("head at the bound") << headOfSize(Limits::MaxHeadSize) << Status::Complete;
    QTest::addRow("head over the bound") << headOfSize(Limits::MaxHeadSize + 1) << Status::Bad;
    QTest::addRow("unfinished head just below the bound")
        << headOfSize(Limits::MaxHeadSize).chopped(3) << Status::Incomplete;
    QTest::addRow("unfinished head at the bound")
        << headOfSize(Limits::MaxHeadSize + 2).chopped(2) << Status::Bad;
    QTest::addRow("endless line ends") << QByteArray(Limits::MaxHeadSize, '\n') << Status::Bad;
}

void tst_RequestParser::bounds()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Status, status);

    const RequestParser::ParseResult result = RequestParser::parseHead(bytes);
    QCOMPARE(result.status, status);
    if (status == Status::Complete)
        QCOMPARE(result.headSize, int(bytes.size()));
}

void tst_RequestParser::sessionIdFromCookies_data()
{
    QTest::addColumn<QByteArray>("cookies");
    QTest::addColumn<quint64>("id");

    QTest::addRow("only SessionId") << QByteArray("SessionId=17") << quint64(17);
    QTest::addRow("after another cookie") << QByteArray("theme=3; SessionId=17") << quint64(17);
    QTest::addRow("before another cookie") << QByteArray("SessionId=17; theme=3") << quint64(17);
    QTest::addRow("no blank after the semicolon") << QByteArray("theme=3;SessionId=5") << quint64(5);
    QTest::addRow("trailing semicolon") << QByteArray("SessionId=17;") << quint64(17);
    QTest::addRow("blanks around the equals sign") << QByteArray("SessionId = 17") << quint64(17);
    QTest::addRow("quoted value") << QByteArray("SessionId=\"17\"") << quint64(17);
    QTest::addRow("largest id") << QByteArray("SessionId=18446744073709551615")
                                << std::numeric_limits<quint64>::max();
    QTest::addRow("beyond 64 bits") << QByteArray("SessionId=18446744073709551616") << quint64(0);
    QTest::addRow("another cookie only") << QByteArray("theme=3") << quint64(0);
    QTest::addRow("letters") << QByteArray("SessionId=abc") << quint64(0);
    QTest::addRow("digits and letters") << QByteArray("SessionId=12abc") << quint64(0);
    QTest::addRow("negative") << QByteArray("SessionId=-5") << quint64(0);
    QTest::addRow("signed") << QByteArray("SessionId=+5") << quint64(0);
    QTest::addRow("fraction") << QByteArray("SessionId=1.5") << quint64(0);
    QTest::addRow("zero") << QByteArray("SessionId=0") << quint64(0);
    QTest::addRow("empty value") << QByteArray("SessionId=") << quint64(0);
    QTest::addRow("name in another case") << QByteArray("sessionid=17") << quint64(0);
    QTest::addRow("longer name") << QByteArray("XSessionId=17; SessionIdX=18") << quint64(0);
    QTest::addRow("name without value") << QByteArray("SessionId") << quint64(0);
    QTest::addRow("invalid first, valid second") << QByteArray("SessionId=abc; SessionId=18") << quint64(18);
    QTest::addRow("two valid, first wins") << QByteArray("SessionId=7; SessionId=18") << quint64(7);
    QTest::addRow("empty header") << QByteArray() << quint64(0);
}

void tst_RequestParser::sessionIdFromCookies()
{
    QFETCH(QByteArray, cookies);
    QFETCH(quint64, id);
    QCOMPARE(RequestParser::sessionIdFromCookies(cookies), id);
}

void tst_RequestParser::basicCredentials_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("credentials");

    QTest::addRow("user:pw") << QByteArray("Basic dXNlcjpwdw==") << true << QStringLiteral("user:pw");
    QTest::addRow("scheme in lower case")
        << QByteArray("basic dXNlcjpwdw==") << true << QStringLiteral("user:pw");
    QTest::addRow("scheme in upper case")
        << QByteArray("BASIC dXNlcjpwdw==") << true << QStringLiteral("user:pw");
    QTest::addRow("extra blanks") << QByteArray("  Basic   dXNlcjpwdw==  ") << true
                                  << QStringLiteral("user:pw");
    QTest::addRow("no padding") << QByteArray("Basic dXNlcjpwdw") << true << QStringLiteral("user:pw");
    QTest::addRow("colon in the password") << basic("user:p:w") << true << QStringLiteral("user:p:w");
    QTest::addRow("empty user name") << basic(":pw") << true << QStringLiteral(":pw");
    QTest::addRow("empty password") << basic("user:") << true << QStringLiteral("user:");
    QTest::addRow("UTF-8") << basic("j\xc3\xbcrgen:p\xc3\xa4\xe2\x82\xac") << true
                           << QStringLiteral("j\u00fcrgen:p\u00e4\u20ac");
    QTest::addRow("Latin-1") << basic("j\xfcrgen:p\xe4") << true << QStringLiteral("j\u00fcrgen:p\u00e4");
    QTest::addRow("truncated UTF-8 read as Latin-1")
        << basic("user:\xc3") << true << QStringLiteral("user:\u00c3");
    QTest::addRow("leading byte order mark kept")
        << basic("\xef\xbb\xbfu:p") << true << QStringLiteral("\ufeffu:p");
    QTest::addRow("cut at NUL") << basic(QByteArrayLiteral("user:pw\0junk")) << true
                                << QStringLiteral("user:pw");
    QTest::addRow("NUL before the colon") << basic(QByteArrayLiteral("user\0:pw")) << false << QString();
    QTest::addRow("no colon") << basic("user") << false << QString();
    QTest::addRow("nothing encoded") << QByteArray("Basic ") << false << QString();
    QTest::addRow("scheme only") << QByteArray("Basic") << false << QString();
    QTest::addRow("empty") << QByteArray() << false << QString();
    QTest::addRow("scheme glued to the token") << QByteArray("BasicdXNlcjpwdw==") << false << QString();
    QTest::addRow("other scheme") << QByteArray("Digest dXNlcjpwdw==") << false << QString();
    QTest::addRow("not Base64") << QByteArray("Basic ###") << false << QString();
    QTest::addRow("blank inside the token") << QByteArray("Basic dXNl cjpwdw==") << false << QString();
    QTest::addRow("broken padding") << QByteArray("Basic dXNlcjpwdw=") << false << QString();
    QTest::addRow("URL-safe alphabet") << QByteArray("Basic dXNlcjo_Pz8-") << false << QString();
}

void tst_RequestParser::basicCredentials()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, valid);
    QFETCH(QString, credentials);

    const std::optional<QString> result = RequestParser::basicCredentials(value);
    QCOMPARE(result.has_value(), valid);
    if (valid)
        QCOMPARE(*result, credentials);
}

void tst_RequestParser::formField_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("value");

    QTest::addRow("escaped ampersand") << QByteArray("password=a%26b&x=1") << QStringLiteral("a&b");
    QTest::addRow("plus is a blank") << QByteArray("password=a+b") << QStringLiteral("a b");
    QTest::addRow("escaped plus") << QByteArray("password=a%2Bb") << QStringLiteral("a+b");
    QTest::addRow("escaped blank") << QByteArray("password=a%20b") << QStringLiteral("a b");
    QTest::addRow("UTF-8 escapes") << QByteArray("password=p%C3%A4%E2%82%AC")
                                   << QStringLiteral("p\u00e4\u20ac");
    QTest::addRow("lower-case escapes") << QByteArray("password=%c3%a4") << QStringLiteral("\u00e4");
    QTest::addRow("escaped CR LF") << QByteArray("password=a%0D%0Ab") << QStringLiteral("a\r\nb");
    QTest::addRow("equals sign in the value") << QByteArray("password=a=b") << QStringLiteral("a=b");
    QTest::addRow("stray percent sign") << QByteArray("password=100%") << QStringLiteral("100%");
    QTest::addRow("percent sign before one digit") << QByteArray("password=%4") << QStringLiteral("%4");
    QTest::addRow("percent sign before letters") << QByteArray("password=%zz") << QStringLiteral("%zz");
    QTest::addRow("not the first field") << QByteArray("user=x&password=secret") << QStringLiteral("secret");
    QTest::addRow("first occurrence")
        << QByteArray("password=first&password=second") << QStringLiteral("first");
    QTest::addRow("longer name first") << QByteArray("passwordx=1&password=2") << QStringLiteral("2");
    QTest::addRow("escaped name") << QByteArray("pass%77ord=x") << QStringLiteral("x");
    QTest::addRow("empty pieces") << QByteArray("&&password=x&") << QStringLiteral("x");
    QTest::addRow("absent") << QByteArray("x=1") << QString();
    QTest::addRow("name with a prefix") << QByteArray("xpassword=1") << QString();
    QTest::addRow("name without value") << QByteArray("password") << QString();
    QTest::addRow("empty value") << QByteArray("password=&x=1") << QString();
    QTest::addRow("empty body") << QByteArray() << QString();
}

void tst_RequestParser::formField()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, value);
    QCOMPARE(RequestParser::formField(body, QByteArrayLiteral("password")), value);
}

void tst_RequestParser::decodedPath_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");

    QTest::addRow("escaped blank") << QByteArray("/docs/a%20b.txt") << QStringLiteral("/docs/a b.txt")
                                   << true;
    QTest::addRow("root with a query") << QByteArray("/?x=1") << QStringLiteral("/") << true;
    QTest::addRow("escaped number sign and question mark")
        << QByteArray("/a%3Fb%23c.txt?q") << QStringLiteral("/a?b#c.txt") << true;
    QTest::addRow("escaped percent sign") << QByteArray("/100%25.txt") << QStringLiteral("/100%.txt") << true;
    QTest::addRow("plus stays a plus") << QByteArray("/a+b") << QStringLiteral("/a+b") << true;
    QTest::addRow("UTF-8 escapes") << QByteArray("/%C3%A4") << QStringLiteral("/\u00e4") << true;
    QTest::addRow("invalid UTF-8") << QByteArray("/%FF") << QStringLiteral("/\ufffd") << true;
    QTest::addRow("stray percent sign") << QByteArray("/%zz") << QStringLiteral("/%zz") << true;
    QTest::addRow("decoded once only") << QByteArray("/%252e%252e/x") << QStringLiteral("/%2e%2e/x") << true;
    QTest::addRow("dot-dot segment") << QByteArray("/../etc/passwd") << QStringLiteral("/../etc/passwd")
                                     << false;
    QTest::addRow("escaped dots") << QByteArray("/%2E%2E/etc/passwd") << QStringLiteral("/../etc/passwd")
                                  << false;
    QTest::addRow("escaped slashes") << QByteArray("/a%2F..%2Fb") << QStringLiteral("/a/../b") << false;
    QTest::addRow("escaped backslash") << QByteArray("/a%5Cb") << QStringLiteral("/a\\b") << false;
    QTest::addRow("escaped NUL") << QByteArray("/a%00b")
                                 << QStringLiteral("/a") + QChar(0) + QStringLiteral("b") << false;
}

void tst_RequestParser::decodedPath()
{
    QFETCH(QByteArray, target);
    QFETCH(QString, path);
    QFETCH(bool, safe);

    const RequestParser::ParseResult result = RequestParser::parseHead("GET " + target + " HTTP/1.1\r\n\r\n");
    QCOMPARE(result.status, Status::Complete);
    const QString decoded = RequestParser::decodedPath(result.head.url);
    QCOMPARE(decoded, path);
    QCOMPARE(RequestParser::isSafePath(decoded), safe);
}

void tst_RequestParser::isSafePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");

    QTest::addRow("root") << QStringLiteral("/") << true;
    QTest::addRow("file in a folder") << QStringLiteral("/a/b.txt") << true;
    QTest::addRow("hidden file") << QStringLiteral("/.hidden") << true;
    QTest::addRow("single dot segment") << QStringLiteral("/./a") << true;
    QTest::addRow("three dots") << QStringLiteral("/...") << true;
    QTest::addRow("dots inside a name") << QStringLiteral("/a..b/..c/d..") << true;
    QTest::addRow("empty") << QString() << true;
    QTest::addRow("leading dot-dot") << QStringLiteral("/../etc/passwd") << false;
    QTest::addRow("trailing dot-dot") << QStringLiteral("/a/..") << false;
    QTest::addRow("inner dot-dot") << QStringLiteral("/a/../b") << false;
    QTest::addRow("dot-dot alone") << QStringLiteral("..") << false;
    QTest::addRow("dot-dot after a doubled slash") << QStringLiteral("//..//x") << false;
    QTest::addRow("backslash") << QStringLiteral("/a\\b") << false;
    QTest::addRow("backslash dot-dot") << QStringLiteral("/..\\x") << false;
    QTest::addRow("NUL") << QStringLiteral("/a") + QChar(0) << false;
}

void tst_RequestParser::isSafePath()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(RequestParser::isSafePath(path), safe);
}

QTEST_GUILESS_MAIN(tst_RequestParser)
#include "tst_requestparser.moc"
