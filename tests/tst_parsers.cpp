#include "config/paramid.h"
#include "net/hostaddresses.h"
#include "net/outsideservices.h"
#include "pages/html.h"
#include "serve/serveoptions.h"
#include "server/access.h"
#include "server/byterange.h"
#include "server/contenttype.h"
#include "server/databudget.h"
#include "server/limits.h"
#include "server/loginguard.h"
#include "server/multipart.h"
#include "server/requestparser.h"
#include "server/route.h"

#include <QtTest>

// The pure functions that decide on bytes from outside, each with one table of the rows
// where a rule starts or stops holding. Breadth is left to the fuzz targets.
class tst_Parsers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestHead_data();
    void requestHead();
    void paths_data();
    void paths();
    void range_data();
    void range();
    void route_data();
    void route();
    void multipart_data();
    void multipart();
    void uploadNames_data();
    void uploadNames();
    void texts_data();
    void texts();
    void dataBudget_data();
    void dataBudget();
    void access_data();
    void access();
    void loginGuard();
    void addresses();
    void serveOptions_data();
    void serveOptions();
};

using RequestParser::Status;
Q_DECLARE_METATYPE(Status)

void tst_Parsers::requestHead_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QByteArray>("field"); // what the head says: path, length, id or credentials
    QTest::addColumn<QString>("value");

    const QByteArray get = "GET /a%20b HTTP/1.1\r\n";
    const auto basic = [](const QByteArray &text) { return "Authorization: Basic " + text.toBase64() + "\r\n"; };
    QTest::addRow("plain") << get + "Host: localhost\r\n\r\n" << Status::Complete << QByteArray("path") << "/a b";
    QTest::addRow("bare LF, stray line end first") << "\r\n" + get.chopped(2) + "\nX: y\n\n" << Status::Complete
                                                   << QByteArray("path") << "/a b";
    QTest::addRow("no empty line yet") << get + "Host: localhost\r\n" << Status::Incomplete << QByteArray() << "";
    QTest::addRow("not a request") << QByteArray("\x16\x03\x01\x02") << Status::Bad << QByteArray() << "";
    QTest::addRow("HEAD") << QByteArray("HEAD / HTTP/1.1\r\n\r\n") << Status::Unsupported << QByteArray() << "";
    QTest::addRow("host-like target") << QByteArray("GET //x/y HTTP/1.1\r\n\r\n") << Status::Bad << QByteArray() << "";
    QTest::addRow("absolute form") << QByteArray("GET http://h:1/p?q HTTP/1.1\r\n\r\n") << Status::Complete
                                   << QByteArray("path") << "/p";
    QTest::addRow("chunked") << get + "Transfer-Encoding: chunked\r\n\r\n" << Status::Bad << QByteArray() << "";
    QTest::addRow("two lengths") << get + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n" << Status::Bad
                                 << QByteArray() << "";
    QTest::addRow("same length twice") << get + "content-length: 2\r\nContent-Length: 2\r\n\r\n"
                                       << Status::Complete << QByteArray("length") << "2";
    QTest::addRow("signed length") << get + "Content-Length: +2\r\n\r\n" << Status::Bad << QByteArray() << "";
    QTest::addRow("longest line") << get + "X: " + QByteArray(Limits::MaxHeadLine - 3, 'x') + "\r\n\r\n"
                                  << Status::Complete << QByteArray("path") << "/a b";
    QTest::addRow("line one over") << get + "X: " + QByteArray(Limits::MaxHeadLine - 2, 'x') + "\r\n\r\n"
                                   << Status::Bad << QByteArray() << "";
    QTest::addRow("session cookie") << get + "Cookie: theme=1; SessionId=\"42\"\r\n\r\n" << Status::Complete
                                    << QByteArray("id") << "42";
    QTest::addRow("cookie of another name") << get + "Cookie: xSessionId=42; theme=7\r\n\r\n"
                                            << Status::Complete << QByteArray("id") << "0";
    QTest::addRow("cookie id out of range") << get + "Cookie: SessionId=18446744073709551616\r\n\r\n"
                                            << Status::Complete << QByteArray("id") << "0";
    QTest::addRow("Basic, complete") << get + basic("anna:p:w") + "\r\n" << Status::Complete
                                     << QByteArray("credentials") << "anna:p:w";
    QTest::addRow("Basic without colon") << get + basic("anna") + "\r\n" << Status::Complete
                                         << QByteArray("credentials") << "";
    QTest::addRow("Basic, Latin-1") << get + basic("\xe4:1") + "\r\n" << Status::Complete
                                    << QByteArray("credentials") << "\u00e4:1";
}

void tst_Parsers::requestHead()
{
    QFETCH(QByteArray, head);
    QFETCH(Status, status);
    QFETCH(QByteArray, field);
    QFETCH(QString, value);

    const RequestParser::ParseResult result = RequestParser::parseHead(head);
    QCOMPARE(result.status, status);
    const RequestParser::RequestHead &h = result.head;
    if (field == "path")
        QCOMPARE(QString::fromUtf8(RequestParser::decodedPath(h.url)), value);
    else if (field == "length")
        QCOMPARE(QString::number(h.contentLength), value);
    else if (field == "id")
        QCOMPARE(QString::number(h.sessionId), value);
    else if (field == "credentials")
        QCOMPARE(h.credentials, value);
}

void tst_Parsers::paths_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("decoded");

    QTest::addRow("encoded dot-dot") << QByteArray("/%2e%2E/y") << QByteArray("/../y");
    QTest::addRow("encoded slash") << QByteArray("/a%2F..%2Fb") << QByteArray("/a/../b");
    QTest::addRow("stray percent") << QByteArray("/100%.txt") << QByteArray("/100%.txt");
    QTest::addRow("percent before non-hex") << QByteArray("/%zz%4") << QByteArray("/%zz%4");
    QTest::addRow("UTF-8") << QByteArray("/%C3%A4") << QByteArray("/\xc3\xa4");
    QTest::addRow("not UTF-8") << QByteArray("/%FF%00") << QByteArray("/\xff\0", 3);
}

void tst_Parsers::paths()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, decoded);
    const RequestParser::ParseResult result = RequestParser::parseHead("GET " + target + " HTTP/1.1\r\n\r\n");
    QCOMPARE(RequestParser::decodedPath(result.head.url), decoded);
}

void tst_Parsers::range_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("answer"); // the Content-Range value; empty: the whole file

    QTest::addRow("middle") << QByteArray("bytes=3-6") << qint64(10) << QByteArray("bytes 3-6/10");
    QTest::addRow("to the end") << QByteArray("bytes=4-") << qint64(10) << QByteArray("bytes 4-9/10");
    QTest::addRow("last byte") << QByteArray("bytes=9-9") << qint64(10) << QByteArray("bytes 9-9/10");
    QTest::addRow("first at the end") << QByteArray("bytes=10-") << qint64(10) << QByteArray("bytes */10");
    QTest::addRow("last beyond the end")
        << QByteArray("bytes=8-10") << qint64(10) << QByteArray("bytes 8-9/10");
    QTest::addRow("last before first") << QByteArray("bytes=5-4") << qint64(10) << QByteArray();
    QTest::addRow("suffix") << QByteArray("bytes=-3") << qint64(10) << QByteArray("bytes 7-9/10");
    QTest::addRow("suffix beyond the start")
        << QByteArray("bytes=-11") << qint64(10) << QByteArray("bytes 0-9/10");
    QTest::addRow("suffix of 0") << QByteArray("bytes=-0") << qint64(10) << QByteArray("bytes */10");
    QTest::addRow("empty file") << QByteArray("bytes=0-") << qint64(0) << QByteArray("bytes */0");
    QTest::addRow("suffix of an empty file") << QByteArray("bytes=-1") << qint64(0) << QByteArray();
    QTest::addRow("last beyond 64 bits")
        << QByteArray("bytes=1-99999999999999999999") << qint64(10) << QByteArray("bytes 1-9/10");
    QTest::addRow("first beyond 64 bits")
        << QByteArray("bytes=99999999999999999999-") << qint64(10) << QByteArray("bytes */10");
    QTest::addRow("blanks, empty items, unit case")
        << QByteArray("BYTES= ,2-3\t,") << qint64(10) << QByteArray("bytes 2-3/10");
    QTest::addRow("two ranges") << QByteArray("bytes=0-1,3-4") << qint64(10) << QByteArray();
    QTest::addRow("sign") << QByteArray("bytes=+1-2") << qint64(10) << QByteArray();
    QTest::addRow("other unit") << QByteArray("items=0-1") << qint64(10) << QByteArray();
}

void tst_Parsers::range()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, size);
    QFETCH(QByteArray, answer);
    const ByteRange::Answer resolved = ByteRange::resolve(value, size);
    QCOMPARE(resolved.kind == ByteRange::Kind::Whole ? QByteArray() : ByteRange::contentRange(resolved, size),
             answer);
}

void tst_Parsers::route_data()
{
    QTest::addColumn<QString>("share"); // folder /s, file /s/a.txt, or the upload page /p/upload.html
    QTest::addColumn<bool>("thumbnails");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("answer"); // kind, path and stand-in

    QTest::addRow("listing") << "folder" << false << QByteArray("/") << "listing /s";
    QTest::addRow("a file") << "folder" << false << QByteArray("/a.txt") << "file /s/a.txt";
    QTest::addRow("backslash, not UTF-8") << "folder" << false << QByteArray("/a\\b\xff") << "file /s/a\\b\xff";
    QTest::addRow("hidden") << "folder" << false << QByteArray("/.env") << "none /s/.env";
    QTest::addRow("a subfolder's file") << "folder" << false << QByteArray("/sub/b.txt") << "none /s/sub/b.txt";
    QTest::addRow("dot-dot") << "folder" << false << QByteArray("/../x") << "none /s/../x";
    QTest::addRow("empty name") << "folder" << false << QByteArray("//") << "none /s//";
    QTest::addRow("install image") << "folder" << true << QByteArray("/i/doc.png") << "file /i/doc.png";
    QTest::addRow("below the install images") << "folder" << false << QByteArray("/i/x/../../y") << "none /i/x/../../y";
    QTest::addRow("scaled copy") << "folder" << false << QByteArray("/t/1f.jpg") << "file /t/1f.jpg";
    QTest::addRow("favicon, thumbnail view") << "folder" << true << QByteArray("/favicon.ico")
                                             << "file /s/favicon.ico /i/favicon.ico";
    QTest::addRow("favicon, plain view") << "folder" << false << QByteArray("/favicon.ico") << "file /s/favicon.ico";
    QTest::addRow("shared file at the root") << "file" << false << QByteArray("/") << "file /s/a.txt";
    QTest::addRow("shared file by name") << "file" << false << QByteArray("/a.txt") << "file /s/a.txt";
    QTest::addRow("beside the shared file") << "file" << true << QByteArray("/b.txt") << "none /s/b.txt";
    QTest::addRow("upload page") << "page" << false << QByteArray("/") << "file /p/upload.html";
    QTest::addRow("beside the upload page") << "page" << false << QByteArray("/exist.html") << "file /p/exist.html";
    QTest::addRow("out of the page folder") << "page" << false << QByteArray("/../img/x") << "none /p/../img/x";
}

void tst_Parsers::route()
{
    QFETCH(QString, share);
    QFETCH(bool, thumbnails);
    QFETCH(QByteArray, path);
    QFETCH(QString, answer);
    const QByteArray target = share == "folder" ? "/s" : share == "file" ? "/s/a.txt" : "/p/upload.html";
    const Route::Answer a = Route::answer(path, {target, share != "folder", share == "page", "/i/", "/t/", thumbnails});
    const char *kinds[] = {"file ", "listing ", "none "};
    QCOMPARE(QString::fromUtf8(kinds[int(a.kind)] + a.path + ' ' + a.orElse).trimmed(), answer);
}

void tst_Parsers::multipart_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("boundary"); // empty: refused
    QTest::addColumn<int>("status"); // of the part header
    QTest::addColumn<QString>("fileName"); // "-": none

    const QByteArray b70(70, 'b');
    const QByteArray type = "multipart/form-data; boundary=";
    const QByteArray part = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\nX";
    QTest::addRow("plain") << type + "b" << part << QByteArray("b") << int(Multipart::Status::Complete) << "a.txt";
    QTest::addRow("quoted, longest boundary")
        << type + '"' + b70 + '"' << QByteArray("--" + b70 + "\r\nContent-Disposition: x; filename=y\r\n\r\n") << b70
        << int(Multipart::Status::Complete) << "y";
    QTest::addRow("boundary one over") << type + b70 + 'b' << QByteArray() << QByteArray() << 0 << "-";
    QTest::addRow("other type") << QByteArray("text/plain; boundary=b") << QByteArray() << QByteArray() << 0
                                << "-";
    QTest::addRow("preamble, bare LF") << type + "b"
                                       << QByteArray("junk\r\n--b\nContent-Disposition: x; filename=c\n\n")
                                       << QByteArray("b") << int(Multipart::Status::Complete) << "c";
    QTest::addRow("head not ended") << type + "b" << part.left(30) << QByteArray("b")
                                    << int(Multipart::Status::Incomplete) << "-";
    QTest::addRow("closed before a part") << type + "b" << QByteArray("--b--\r\n") << QByteArray("b")
                                          << int(Multipart::Status::Bad) << "-";
    QTest::addRow("filename* wins") << type + "b"
                                    << QByteArray("--b\r\nContent-Disposition: x; filename=\"e.txt\"; "
                                                  "filename*=UTF-8''%E2%82%AC.txt\r\n\r\n")
                                    << QByteArray("b") << int(Multipart::Status::Complete) << "\u20ac.txt";
    QTest::addRow("escaped quotes") << type + "b"
                                    << QByteArray("--b\r\nContent-Disposition: x; filename=\"a\\\"b%22c\"\r\n\r\n")
                                    << QByteArray("b") << int(Multipart::Status::Complete) << "a\"b\"c";
    QTest::addRow("no file") << type + "b" << QByteArray("--b\r\nContent-Disposition: form-data; name=x\r\n\r\n")
                             << QByteArray("b") << int(Multipart::Status::Complete) << "-";
}

void tst_Parsers::multipart()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, boundary);
    QFETCH(int, status);
    QFETCH(QString, fileName);

    QCOMPARE(Multipart::boundary(contentType), boundary);
    if (boundary.isEmpty())
        return;
    const Multipart::PartHeadResult head = Multipart::parsePartHead(body, boundary);
    QCOMPARE(int(head.status), status);
    const std::optional<QString> name = Multipart::fileName(head.head.disposition);
    QCOMPARE(name.value_or(QStringLiteral("-")), fileName);
}

void tst_Parsers::uploadNames_data()
{
    QTest::addColumn<QString>("sent");
    QTest::addColumn<QString>("stored"); // "-": refused

    QTest::addRow("plain") << "a.txt" << "a.txt";
    QTest::addRow("Windows path") << "C:\\Users\\a\\b.txt" << "b.txt";
    QTest::addRow("path") << "../../.ssh/keys" << "keys";
    QTest::addRow("dot-dot") << "x/.." << "-";
    QTest::addRow("ends in a slash") << "x/" << "-";
    QTest::addRow("control character") << "a\u0001b" << "-";
    QTest::addRow("longest") << QString(255, QLatin1Char('n')) << QString(255, QLatin1Char('n'));
    QTest::addRow("one over") << QString(256, QLatin1Char('n')) << "-";
    QTest::addRow("two-byte letters over") << QString(128, QChar(0xe4)) << "-";
    QTest::addRow("hidden") << "a/.profile" << "-";
}

void tst_Parsers::uploadNames()
{
    QFETCH(QString, sent);
    QFETCH(QString, stored);
    QCOMPARE(Multipart::storedName(sent).value_or(QStringLiteral("-")), stored);

}

void tst_Parsers::texts_data()
{
    QTest::addColumn<QByteArray>("made");
    QTest::addColumn<QByteArray>("expected");

    QTest::addRow("attachment") << ContentType::attachmentLine(QStringLiteral("dir/a\"\\\u65e5.JPG"))
                                << QByteArray("Content-Disposition: attachment; filename=\"a__?.JPG\"; "
                                              "filename*=UTF-8''a%22%5C%E6%97%A5.JPG\r\n");
    const auto type = [](const char *name) {
        const ContentType::Entry entry = ContentType::forFileName(QLatin1String(name));
        return entry.type + (entry.attachment ? " +attachment" : "");
    };
    QTest::addRow("type of a page") << type("index.HTML") << QByteArray("text/html; charset=UTF-8");
    QTest::addRow("type of a photo") << type("a.b.jpg") << QByteArray("image/jpeg +attachment");
    QTest::addRow("unknown type") << type("README") << QByteArray(" +attachment");
    QTest::addRow("sizes") << Html::humanSize(999) + '|' + Html::humanSize(1250) + '|' + Html::humanSize(9999)
            + '|' + Html::humanSize(999999) + '|' + Html::humanSize(5368709120) + '|'
            + Html::humanSize(12345678901234567)
                           << QByteArray("999 bytes|1.3 KB|10.0 KB|1000 KB|5.4 GB|12346 TB");
    QTest::addRow("port check") << OutsideServices::portCheckUrl(8080).toEncoded()
                                << QByteArray("http://portcheck.example.net/tools/open-ports/check.php?portNumber=8080");
    QTest::addRow("dynamic DNS") << OutsideServices::dnsUpdateUrl(QStringLiteral("a&b"), QStringLiteral("p=#%"))
                                        .toEncoded()
                                 << QByteArray("http://dynip.example.org/cgi-bin/dynip.cgi?username=a%26b&password=p%3D%23%25");
    const auto kind = [](int size) { return QByteArray::number(int(OutsideServices::replyKind(QByteArray(size, 'x')))); };
    QTest::addRow("reply kinds") << kind(52) + kind(53) + kind(100) + kind(101) << QByteArray("0112");
    const OutsideServices::PortCheckResult check = OutsideServices::parsePortCheck(
        "<html>xx success                 Port 8080 is open on 203.0.113.9x\"/></html>");
    QTest::addRow("port check reply") << (check.publicAddress.toLatin1() + (check.reachable ? " open" : ""))
                                      << QByteArray("203.0.113.9 open");
}

void tst_Parsers::texts()
{
    QFETCH(QByteArray, made);
    QFETCH(QByteArray, expected);
    QCOMPARE(made, expected);
}

void tst_Parsers::dataBudget_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<qint64>("used");
    QTest::addColumn<qint64>("promised");
    QTest::addColumn<qint64>("piece"); // of 100000 wanted

    QTest::addRow("no limit") << qint64(0) << qint64(500) << qint64(0) << qint64(100000);
    QTest::addRow("room for all") << qint64(300000) << qint64(1000) << qint64(0) << qint64(100000);
    QTest::addRow("one byte left") << qint64(10000) << qint64(9999) << qint64(0) << qint64(1024);
    QTest::addRow("a block left") << qint64(10000) << qint64(8976) << qint64(0) << qint64(1024);
    QTest::addRow("a block and a byte") << qint64(10000) << qint64(8975) << qint64(0) << qint64(2048);
    QTest::addRow("the rest promised") << qint64(10000) << qint64(5000) << qint64(5000) << qint64(0);
    QTest::addRow("reached") << qint64(10000) << qint64(10000) << qint64(0) << qint64(0);
    QTest::addRow("passed") << qint64(10000) << qint64(12000) << qint64(0) << qint64(0);
}

void tst_Parsers::dataBudget()
{
    QFETCH(qint64, limit);
    QFETCH(qint64, used);
    QFETCH(qint64, promised);
    QFETCH(qint64, piece);
    QCOMPARE(DataBudget::pieceSize(100000, limit, used, promised), piece);
}

void tst_Parsers::access_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<bool>("accepted");

    QTest::addRow("right password") << int(AuthPassword) << "a b" << true;
    QTest::addRow("password repeated") << int(AuthPassword) << "a ba b" << false;
    QTest::addRow("password cut short") << int(AuthPassword) << "a" << false;
    QTest::addRow("first user") << int(AuthBasic) << "anna:1" << true;
    QTest::addRow("second user") << int(AuthBasic) << "bert:t:2" << true;
    QTest::addRow("user's password of another") << int(AuthBasic) << "anna:t:2" << false;
    QTest::addRow("no credentials") << int(AuthBasic) << QString() << false;
    const int host = 100, origin = 101;
    QTest::addRow("host: address") << host << "192.168.1.5:8080" << true;
    QTest::addRow("host: IPv6 address") << host << "[::1]:80" << true;
    QTest::addRow("host: localhost") << host << "LOCALHOST" << true;
    QTest::addRow("host: own name") << host << "box.local." << true;
    QTest::addRow("host: none") << host << QString() << true;
    QTest::addRow("host: another name") << host << "evil.example:8080" << false;
    QTest::addRow("host: an address in a name") << host << "127.0.0.1.evil.example" << false;
    QTest::addRow("form: same origin") << origin << "http://h:8080|" << true;
    QTest::addRow("form: another origin") << origin << "http://evil.example|" << false;
    QTest::addRow("form: no origin") << origin << "null|" << false;
    QTest::addRow("form: cross-site") << origin << "|cross-site" << false;
    QTest::addRow("form: plain client") << origin << "|" << true;
}

void tst_Parsers::access()
{
    QFETCH(int, mode);
    QFETCH(QString, offered);
    QFETCH(bool, accepted);
    if (mode == 100) {
        const QStringList names {QStringLiteral("box"), QStringLiteral("box.local")};
        QCOMPARE(Access::hostAccepted(offered.isNull() ? std::nullopt : std::optional(offered.toLatin1()), names),
                 accepted);
    } else if (mode == 101) {
        const QList<QByteArray> sent = offered.toLatin1().split('|');
        QCOMPARE(Access::crossSite(sent.at(0), QByteArray("H:8080"), sent.at(1)), !accepted);
    } else if (mode == AuthPassword) {
        QCOMPARE(Access::passwordAccepted(offered, QStringLiteral("a b")), accepted);
        QVERIFY(Access::passwordAccepted(offered, QString()));
    } else {
        const QList<QString> users {QStringLiteral("anna:1"), QStringLiteral("bert:t:2")};
        QCOMPARE(Access::basicAccepted(offered, !offered.isNull(), users), accepted);
        QVERIFY(!Access::basicAccepted(offered, !offered.isNull(), {}));
    }
}

void tst_Parsers::loginGuard()
{
    // A few mistakes go unslowed; then each failure makes the address wait longer.
    LoginGuard guard;
    const QString a = QStringLiteral("10.0.0.1");
    for (int i = 0; i <= LoginGuard::FreeFailures; ++i) {
        QVERIFY(guard.mayTry(a, 0));
        guard.failed(a, 0);
    }
    QVERIFY(!guard.mayTry(a, 249));
    QVERIFY(guard.mayTry(QStringLiteral("10.0.0.2"), 0));
    QVERIFY(guard.mayTry(a, 250));
    guard.failed(a, 250);
    QVERIFY(!guard.mayTry(a, 749));
    qint64 now = 750;
    for (int i = 0; i < 20; ++i)
        guard.failed(a, now += LoginGuard::MaxDelayMs);
    QVERIFY(!guard.mayTry(a, now + LoginGuard::MaxDelayMs - 1));
    QVERIFY(guard.mayTry(a, now + LoginGuard::MaxDelayMs));
    // A long quiet, or a success, forgets the address.
    QVERIFY(guard.mayTry(a, now + LoginGuard::ForgetMs + 1));
    guard.succeeded(a);
    QVERIFY(guard.mayTry(a, now));
}

void tst_Parsers::addresses()
{
    const QHostAddress net(QStringLiteral("192.168.1.255"));
    const QList<AddressEntry> entries {{QHostAddress::LocalHost, QHostAddress(QStringLiteral("127.255.255.255"))},
                                       {QHostAddress(QStringLiteral("192.168.1.5")), net},
                                       {QHostAddress(QStringLiteral("fe80::1")), QHostAddress()},
                                       {QHostAddress(QStringLiteral("10.0.0.1")), QHostAddress()},
                                       {QHostAddress(QStringLiteral("192.168.1.5")), net}};
    QCOMPARE(listenAddresses(entries), QStringList {QStringLiteral("192.168.1.5")});
    QCOMPARE(listenAddresses(entries.mid(0, 1)), QStringList {QStringLiteral("127.0.0.1")});
}

void tst_Parsers::serveOptions_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("parsed"); // mode, path and port; or the error

    QTest::addRow("folder") << "--port 1 folder /a" << "0 /a 1";
    QTest::addRow("file, highest port") << "file /a --port 65535" << "1 /a 65535";
    QTest::addRow("receive") << "receive --user a:b:c --auth basic" << "2  8080";
    QTest::addRow("any free port") << "-p 0 receive" << "2  0";
    QTest::addRow("port over") << "--port 65536 receive" << "--port takes a whole number from 0 to 65535, not \"65536\"";
    QTest::addRow("a folder alone") << "/" << "0 / 8080";
    QTest::addRow("a file alone") << "notes.txt" << "1 notes.txt 8080";
    QTest::addRow("user without password") << "--user anna receive" << "--user takes NAME:PASSWORD, not \"anna\"";
    QTest::addRow("lifetime too short") << "--lifetime 59 receive" << "--lifetime takes a whole number from 60 to 10000, not \"59\"";
    QTest::addRow("unknown option") << "--frobnicate receive" << "unknown option --frobnicate";
    QTest::addRow("nothing") << "" << "say what to share: PATH, folder PATH, file PATH or receive";
}

void tst_Parsers::serveOptions()
{
    QFETCH(QString, arguments);
    QFETCH(QString, parsed);
    QString error;
    const std::optional<ServeOptions> options
        = ServeOptions::parse(arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts), &error);
    QCOMPARE(options ? QStringLiteral("%1 %2 %3").arg(options->mode).arg(options->path).arg(options->port.value_or(8080))
                     : error,
             parsed);
}

QTEST_GUILESS_MAIN(tst_Parsers)
#include "tst_parsers.moc"
