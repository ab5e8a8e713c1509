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

void tst_Parsers::requestHead_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("read"); // bad or unsupported; or of a complete head, one field
    const auto row = [](const char *name, const QByteArray &head, const QByteArray &read) {
        QTest::newRow(name) << head << read;
    };
    const QByteArray get = "GET /a%20b HTTP/1.1\r\n";
    const auto basic = [&](const QByteArray &text) {
        return get + "Authorization: Basic " + text.toBase64() + "\r\n\r\n";
    };
    const auto target = [](const QByteArray &path) { return "GET " + path + " HTTP/1.1\r\n\r\n"; };
    row("plain", get + "Host: localhost\r\n\r\n", "path /a b");
    row("bare LF, stray line end first", "\r\n" + get.chopped(2) + "\nX: y\n\n", "path /a b");
    row("not a request", "\x16\x03\x01\x02", "bad");
    row("HEAD", "HEAD / HTTP/1.1\r\n\r\n", "unsupported");
    row("host-like target", target("//x/y"), "bad");
    row("absolute form", target("http://h:1/p?q"), "path /p");
    row("chunked", get + "Transfer-Encoding: chunked\r\n\r\n", "bad");
    row("two lengths", get + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n", "bad");
    row("same length twice", get + "content-length: 2\r\nContent-Length: 2\r\n\r\n", "length 2");
    row("signed length", get + "Content-Length: +2\r\n\r\n", "bad");
    row("longest line", get + "X: " + QByteArray(Limits::MaxHeadLine - 3, 'x') + "\r\n\r\n", "path /a b");
    row("line one over", get + "X: " + QByteArray(Limits::MaxHeadLine - 2, 'x') + "\r\n\r\n", "bad");
    row("session cookie", get + "Cookie: theme=1; SessionId=\"42\"\r\n\r\n", "id 42");
    row("cookie of another name", get + "Cookie: xSessionId=42; theme=7\r\n\r\n", "id 0");
    row("cookie id out of range", get + "Cookie: SessionId=18446744073709551616\r\n\r\n", "id 0");
    row("Basic", basic("anna:p:w"), "credentials anna:p:w");
    row("Basic, Latin-1", basic("\xe4:1"), "credentials \u00e4:1");
    row("encoded dot-dot", target("/%2e%2E/y"), "path /../y");
    row("encoded slash", target("/a%2F..%2Fb"), "path /a/../b");
    row("stray percent", target("/100%.txt"), "path /100%.txt");
    row("percent before non-hex", target("/%zz%4"), "path /%zz%4");
    row("UTF-8 path", target("/%C3%A4"), "path /\xc3\xa4");
    row("path not UTF-8", target("/%FF%00"), QByteArray("path /\xff\0", 8));
}

void tst_Parsers::requestHead()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, read);
    const RequestParser::ParseResult result = RequestParser::parseHead(head);
    const RequestParser::RequestHead &h = result.head;
    const QMap<QByteArray, QByteArray> fields {{"path", RequestParser::decodedPath(h.url)},
                                               {"length", QByteArray::number(h.contentLength)},
                                               {"id", QByteArray::number(h.sessionId)},
                                               {"credentials", h.credentials.toUtf8()}};
    const QByteArray field = read.left(read.indexOf(' '));
    const char *statuses[] = {"incomplete", "", "bad", "unsupported"};
    QCOMPARE(result.status == RequestParser::Status::Complete ? field + ' ' + fields.value(field)
                                                              : QByteArray(statuses[int(result.status)]),
             read);
}

void tst_Parsers::range_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("answer"); // the Content-Range value; empty: the whole file
    const auto row = [](const char *name, const char *value, qint64 size, const char *answer) {
        QTest::newRow(name) << QByteArray(value) << size << QByteArray(answer);
    };
    row("middle", "bytes=3-6", 10, "bytes 3-6/10");
    row("to the end", "bytes=4-", 10, "bytes 4-9/10");
    row("first at the end", "bytes=10-", 10, "bytes */10");
    row("last beyond the end", "bytes=8-10", 10, "bytes 8-9/10");
    row("last before first", "bytes=5-4", 10, "");
    row("suffix", "bytes=-3", 10, "bytes 7-9/10");
    row("suffix beyond the start", "bytes=-11", 10, "bytes 0-9/10");
    row("suffix of 0", "bytes=-0", 10, "bytes */10");
    row("empty file", "bytes=0-", 0, "bytes */0");
    row("suffix of an empty file", "bytes=-1", 0, "");
    row("last beyond 64 bits", "bytes=1-99999999999999999999", 10, "bytes 1-9/10");
    row("first beyond 64 bits", "bytes=99999999999999999999-", 10, "bytes */10");
    row("blanks, empty items, unit case", "BYTES= ,2-3\t,", 10, "bytes 2-3/10");
    row("two ranges", "bytes=0-1,3-4", 10, "");
    row("sign", "bytes=+1-2", 10, "");
    row("other unit", "items=0-1", 10, "");
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
    const auto row
        = [](const char *name, const char *share, bool thumbnails, const char *path, const char *answer) {
              QTest::newRow(name) << share << thumbnails << QByteArray(path) << answer;
          };
    row("listing", "folder", false, "/", "listing /s");
    row("a file", "folder", false, "/a.txt", "file /s/a.txt");
    row("backslash, not UTF-8", "folder", false, "/a\\b\xff", "file /s/a\\b\xff");
    row("hidden", "folder", false, "/.env", "none /s/.env");
    row("a subfolder's file", "folder", false, "/sub/b.txt", "none /s/sub/b.txt");
    row("dot-dot", "folder", false, "/../x", "none /s/../x");
    row("empty name", "folder", false, "//", "none /s//");
    row("install image", "folder", true, "/i/doc.png", "file /i/doc.png");
    row("below the install images", "folder", false, "/i/x/../../y", "none /i/x/../../y");
    row("scaled copy", "folder", false, "/t/1f.jpg", "file /t/1f.jpg");
    row("favicon, thumbnail view", "folder", true, "/favicon.ico", "file /s/favicon.ico /i/favicon.ico");
    row("favicon, plain view", "folder", false, "/favicon.ico", "file /s/favicon.ico");
    row("shared file at the root", "file", false, "/", "file /s/a.txt");
    row("shared file by name", "file", false, "/a.txt", "file /s/a.txt");
    row("beside the shared file", "file", true, "/b.txt", "none /s/b.txt");
    row("upload page", "page", false, "/", "file /p/upload.html");
    row("beside the upload page", "page", false, "/exist.html", "file /p/exist.html");
    row("out of the page folder", "page", false, "/../img/x", "none /p/../img/x");
}

void tst_Parsers::route()
{
    QFETCH(QString, share);
    QFETCH(bool, thumbnails);
    QFETCH(QByteArray, path);
    QFETCH(QString, answer);
    const QByteArray target = share == "folder" ? "/s" : share == "file" ? "/s/a.txt" : "/p/upload.html";
    const Route::Answer a
        = Route::answer(path, {target, share != "folder", share == "page", "/i/", "/t/", thumbnails});
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
    const auto row = [](const char *name, const QByteArray &type, const QByteArray &body,
                        const QByteArray &boundary, Multipart::Status status, const QString &fileName) {
        QTest::newRow(name) << type << body << boundary << int(status) << fileName;
    };
    using Multipart::Status;
    const QByteArray b70(70, 'b');
    const QByteArray type = "multipart/form-data; boundary=b";
    const QByteArray part = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\nX";
    row("plain", type, part, "b", Status::Complete, "a.txt");
    row("quoted, longest boundary", type.chopped(1) + '"' + b70 + '"',
        "--" + b70 + "\r\nContent-Disposition: x; filename=y\r\n\r\n", b70, Status::Complete, "y");
    row("boundary one over", type + b70, "", "", Status::Incomplete, "-");
    row("other type", "text/plain; boundary=b", "", "", Status::Incomplete, "-");
    row("preamble, bare LF", type, "junk\r\n--b\nContent-Disposition: x; filename=c\n\n", "b",
        Status::Complete, "c");
    row("head not ended", type, part.left(30), "b", Status::Incomplete, "-");
    row("closed before a part", type, "--b--\r\n", "b", Status::Bad, "-");
    row("filename* wins", type,
        "--b\r\nContent-Disposition: x; filename=\"e.txt\"; filename*=UTF-8''%E2%82%AC.txt\r\n\r\n", "b",
        Status::Complete, "\u20ac.txt");
    row("escaped quotes", type, "--b\r\nContent-Disposition: x; filename=\"a\\\"b%22c\"\r\n\r\n", "b",
        Status::Complete, "a\"b\"c");
    row("no file", type, "--b\r\nContent-Disposition: form-data; name=x\r\n\r\n", "b", Status::Complete, "-");
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
    const auto row = [](const char *name, const QString &sent, const QString &stored) {
        QTest::newRow(name) << sent << stored;
    };
    row("plain", "a.txt", "a.txt");
    row("Windows path", "C:\\Users\\a\\b.txt", "b.txt");
    row("path", "../../.ssh/keys", "keys");
    row("dot-dot", "x/..", "-");
    row("ends in a slash", "x/", "-");
    row("control character", "a\u0001b", "-");
    row("longest", QString(255, QLatin1Char('n')), QString(255, QLatin1Char('n')));
    row("one over", QString(256, QLatin1Char('n')), "-");
    row("two-byte letters over", QString(128, QChar(0xe4)), "-");
    row("hidden", "a/.profile", "-");
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
    QTest::addRow("login form field")
        << RequestParser::formField("a=1&password=100%25+%zz%4", "password").toUtf8()
        << QByteArray("100% %zz%4");
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
    QTest::addRow("port check")
        << OutsideServices::portCheckUrl(8080).toEncoded()
        << QByteArray("http://portcheck.example.net/tools/open-ports/check.php?portNumber=8080");
    QTest::addRow("dynamic DNS")
        << OutsideServices::dnsUpdateUrl(QStringLiteral("a&b"), QStringLiteral("p=#%")).toEncoded()
        << QByteArray("http://dynip.example.org/cgi-bin/dynip.cgi?username=a%26b&password=p%3D%23%25");
    const auto kind
        = [](int size) { return QByteArray::number(int(OutsideServices::replyKind(QByteArray(size, 'x')))); };
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
        QCOMPARE(
            Access::hostAccepted(offered.isNull() ? std::nullopt : std::optional(offered.toLatin1()), names),
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
    const QList<AddressEntry> entries {
        {QHostAddress::LocalHost, QHostAddress(QStringLiteral("127.255.255.255"))},
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
    const auto row = [](const char *name, const char *arguments, const char *parsed) {
        QTest::newRow(name) << QString::fromUtf8(arguments) << QString::fromUtf8(parsed);
    };
    row("folder", "--port 1 folder /a", "0 /a 1");
    row("file, highest port", "file /a --port 65535", "1 /a 65535");
    row("receive", "receive --user a:b:c --auth basic", "2  8080");
    row("any free port", "-p 0 receive", "2  0");
    row("port over", "--port 65536 receive", "--port takes a whole number from 0 to 65535, not \"65536\"");
    row("a folder alone", "/", "0 / 8080");
    row("a file alone", "notes.txt", "1 notes.txt 8080");
    row("user without password", "--user anna receive", "--user takes NAME:PASSWORD, not \"anna\"");
    row("lifetime too short", "--lifetime 59 receive",
        "--lifetime takes a whole number from 60 to 10000, not \"59\"");
    row("unknown option", "--frobnicate receive", "unknown option --frobnicate");
}

void tst_Parsers::serveOptions()
{
    QFETCH(QString, arguments);
    QFETCH(QString, parsed);
    QString error;
    const std::optional<ServeOptions> options
        = ServeOptions::parse(arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts), &error);
    QCOMPARE(options ? QStringLiteral("%1 %2 %3")
                           .arg(options->mode)
                           .arg(options->path)
                           .arg(options->port.value_or(8080))
                     : error,
             parsed);
}

QTEST_GUILESS_MAIN(tst_Parsers)
#include "tst_parsers.moc"
