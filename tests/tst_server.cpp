#include "server/http_request.h"
#include "server/tarnwicksocket.h"
#include "support/filesizelimit.h"
#include "support/testserver.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// The server over real loopback connections, spoken to byte for byte as a browser would.
class tst_Server : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void answerBytes();
    void paths_data();
    void paths();
    void listingLinksFetchTheirFiles();
    void inBrowser_data();
    void inBrowser();
    void otherSites();
    void requestReading_data();
    void requestReading();
    void passwordLogin();
    void basicLogin();
    void uploads_data();
    void uploads();
    void uploadFailures();
    void trickledUpload();
    void dataLimit_data();
    void dataLimit();
    void stopEndsTransfers();
    void connectionLimits();
    void portChange();

private:
    std::unique_ptr<TestServer> server;
};

namespace {

QByteArray masked(const QByteArray &raw)
{
    return QString::fromLatin1(raw)
        .replace(QRegularExpression(QStringLiteral("SessionId=[1-9][0-9]*")), QStringLiteral("SessionId=#"))
        .toLatin1();
}

QByteArray post(const QByteArray &path, const QByteArray &type, const QByteArray &body,
                const QByteArray &headers = QByteArray())
{
    return "POST " + path + " HTTP/1.1\r\nHost: localhost\r\n" + headers + "Content-Type: " + type
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray upload(const QByteArray &name, const QByteArray &content, const QByteArray &headers = QByteArray())
{
    return post("/upload", "multipart/form-data; boundary=----b0",
                "------b0\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + name
                    + "\"\r\nContent-Type: text/plain\r\n\r\n" + content + "\r\n------b0--\r\n",
                headers);
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

void tst_Server::init()
{
    server = std::make_unique<TestServer>();
    QCOMPARE(server->server.getState(), 1);
}

void tst_Server::cleanup()
{
    server.reset();
}

void tst_Server::answerBytes()
{
    server->put("a.txt", "alpha");
    QCOMPARE(masked(server->get("/a.txt").raw),
             "HTTP/1.1 202 OK\r\nServer: TarnwickServer_1\r\nContent-Length: 5\r\nSet-Cookie: SessionId=#; "
             "HttpOnly; SameSite=Lax\r\nConnection: close\r\n"
             "Content-Disposition: attachment; filename=\"a.txt\"; filename*=UTF-8''a.txt\r\n\r\nalpha");
    server->put("p.html", "<p>");
    QCOMPARE(masked(server->get("/p.html").raw),
             "HTTP/1.1 202 OK\r\nServer: TarnwickServer_1\r\nContent-Length: 3\r\n"
             "Content-Type: text/html; charset=UTF-8\r\nSet-Cookie: SessionId=#; HttpOnly; "
             "SameSite=Lax\r\nConnection: close\r\n\r\n<p>");

    // The listing: hidden files and folders left out, names escaped and linked whole, sorted
    // by character code, three to a row.
    server->put(".hidden", "h");
    QDir(server->shared.path()).mkdir(QStringLiteral("sub"));
    // Two names alike in their first 16 bytes, which the sort keeps in its key.
    server->put("B #1 of a long list.txt", "");
    server->put("B #1 of a long list, too.txt", "");
    server->put("<i>'&\".txt", "1234");
    QCOMPARE(
        masked(server->get("/").raw),
        "HTTP/1.1 202 OK\r\nServer: TarnwickServer_1\r\nContent-Type: text/html; "
        "charset=UTF-8\r\nSet-Cookie: SessionId=#; HttpOnly; SameSite=Lax\r\nConnection: close\r\n\r\n<html>"
        "<body><table border=\"1\" frame=\"border\"><tr><td align=\"center\" width=\"200\">"
        "<a href=\"%3Ci%3E%27%26%22.txt\"><br>&lt;i&gt;&#39;&amp;&quot;.txt</a><br>Size=4</td>"
        "<td align=\"center\" width=\"200\"><a href=\"B%20%231%20of%20a%20long%20list%2C%20too.txt\"><br>"
        "B #1 of a long list, too.txt</a><br>Size=0</td><td align=\"center\" width=\"200\">"
        "<a href=\"B%20%231%20of%20a%20long%20list.txt\"><br>B #1 of a long list.txt</a><br>Size=0</td>"
        "</tr><tr><td align=\"center\" width=\"200\"><a href=\"a.txt\"><br>a.txt</a><br>Size=5</td>"
        "<td align=\"center\" width=\"200\"><a href=\"p.html\"><br>p.html</a><br>Size=3</td></tr></table>"
        "</body></html>");

    const QString empty = server->shared.filePath(QStringLiteral("e<m>"));
    QDir().mkdir(empty);
    TestServer::share(empty);
    QCOMPARE(server->get("/").body,
             "<html><body><table border=\"1\" frame=\"border\"><tr><td><h2>No files in "
             "shared folder: "
                 + empty.toUtf8().replace("<m>", "&lt;m&gt;") + "</h2></td></tr></table></body></html>");

    QCOMPARE(masked(server->get("/no%3Cb%3E").raw),
             "HTTP/1.1 404 Not Found\r\nServer: TarnwickServer_1\r\nContent-Type: text/html\r\n"
             "Set-Cookie: SessionId=#; HttpOnly; SameSite=Lax\r\nConnection: close\r\n\r\n"
             "<html><title>Wrong URL</title><body><h1>Wrong URL</h1>Path=/no&lt;b&gt;<br>or File="
                 + empty.toLatin1().replace("<m>", "&lt;m&gt;") + "/no&lt;b&gt;<br>Not found.</body></html>");
}

void tst_Server::paths_data()
{
    QTest::addColumn<QString>("share"); // folder, file (a.txt) or page (the upload page)
    QTest::addColumn<int>("thumbnails");
    QTest::addColumn<QByteArray>("path"); // @img/ stands for the image folder
    QTest::addColumn<QByteArray>("body"); // empty: the not-found page

    const auto row
        = [](const char *name, const char *share, int thumbnails, const char *path, const char *body) {
              QTest::newRow(name) << share << thumbnails << QByteArray(path) << QByteArray(body);
          };
    row("a file", "folder", 0, "/a.txt", "A");
    row("encoded dot-dot", "folder", 0, "/%2e%2e/secret.txt", "");
    row("a folder", "folder", 0, "/sub", "");
    row("a pipe", "folder", 0, "/pipe", "");
    row("through a link to a folder", "folder", 0, "/up/secret.txt", "");
    row("image folder", "folder", 0, "@img/favicon.ico", "ico");
    row("favicon, thumbnails", "folder", 1, "/favicon.ico", "ico");
    row("shared file", "file", 0, "/", "A");
    row("upload page", "page", 0, "/", "upload.html");
}

void tst_Server::paths()
{
    QFETCH(QString, share);
    QFETCH(int, thumbnails);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);

    // The shared folder sits in a parent that holds a file nobody may fetch.
    QTemporaryDir parent;
    QDir(parent.path()).mkpath(QStringLiteral("shared/sub"));
    TestServer::write(parent.filePath("secret.txt"), "SECRET");
    TestServer::write(parent.filePath("shared/a.txt"), "A");
    QVERIFY(QFile::link(parent.path(), parent.filePath("shared/up")));
    QCOMPARE(::mkfifo(QFile::encodeName(parent.filePath("shared/pipe")).constData(), 0600), 0);
    TestServer::share(share == "folder"     ? parent.filePath("shared")
                          : share == "file" ? parent.filePath("shared/a.txt")
                                            : TestServer::page("upload.html"));
    TestServer::config()->setParam(ParamThumbnailView, thumbnails);
    const QString images = QString::fromLocal8Bit(*Configuration::IconDir);
    if (body == "ico")
        body = TestServer::read(images + QLatin1String("favicon.ico"));
    else if (body.endsWith(".html"))
        body = TestServer::read(TestServer::page(body.constData()));

    const Reply reply = server->get(path.replace("@img/", QUrl::toPercentEncoding(images, "/")));
    QCOMPARE(reply.code(), body.isEmpty() ? 404 : 202);
    QCOMPARE(reply.body.startsWith("<html><title>Wrong URL"), body.isEmpty());
    if (!body.isEmpty())
        QCOMPARE(reply.body, body);
}

void tst_Server::listingLinksFetchTheirFiles()
{
    // Every file the folder holds is listed, and every link fetches its file: also a name
    // with a backslash, and one that is not valid UTF-8.
    const QList<QByteArray> names {"a b.txt",      "#1.txt", "what?.txt",   "100%.txt",      "quote\"d.txt",
                                   "\xc3\xa4.txt", "+.txt",  "back\\slash", "latin-\xe4.txt"};
    for (const QByteArray &name : names) {
        const int fd = ::open((QFile::encodeName(server->shared.path()) + '/' + name).constData(),
                              O_CREAT | O_WRONLY, 0600);
        QVERIFY(fd >= 0 && ::close(fd) == 0);
    }
    QVERIFY(QFile::link(QStringLiteral("/"), server->shared.filePath("root")));
    const auto links = [](const QByteArray &page) {
        QList<QByteArray> found;
        const QRegularExpression link(QStringLiteral("<a href=\"([^\"]*)\">"));
        for (auto match = link.globalMatch(QString::fromUtf8(page)); match.hasNext();)
            found.append(match.next().captured(1).toUtf8());
        return found;
    };
    const QByteArray listing = server->get("/").body;
    QVERIFY(listing.contains("latin-\xef\xbf\xbd.txt"));
    QList<QByteArray> fetched;
    for (const QByteArray &href : links(listing)) {
        QCOMPARE(server->get("/" + href).code(), 202);
        fetched.append(QByteArray::fromPercentEncoding(href));
    }
    QCOMPARE(QSet<QByteArray>(fetched.cbegin(), fetched.cend()),
             QSet<QByteArray>(names.cbegin(), names.cend()));

    // The page for phones fits the device, is titled by the folder, and links the same.
    TestServer::config()->setParam(ParamPhoneListing, 1);
    const QByteArray phone = server->get("/").body;
    QVERIFY(phone.contains("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"));
    QVERIFY(phone.contains("<title>" + QFileInfo(server->shared.path()).fileName().toUtf8() + "</title>"));
    QCOMPARE(links(phone), links(listing));
}

void tst_Server::inBrowser_data()
{
    QTest::addColumn<bool>("inBrowser");
    QTest::addColumn<QByteArray>("request"); // method and path, then header lines
    QTest::addColumn<QByteArray>("answer"); // status|Content-Range|Content-Type (+attachment)|body

    const auto row
        = [](const char *name, const QByteArray &request, const char *answer, bool inBrowser = true) {
              QTest::newRow(name) << inBrowser << request << QByteArray(answer);
          };
    const QByteArray range = "GET /v.mp4\r\nRange: bytes=";
    row("a range in the middle", range + "3-6", "206|bytes 3-6/10|video/mp4|3456");
    row("beyond the end", range + "10-", "416|bytes */10||");
    row("If-Range", range + "3-6\r\nIf-Range: \"1\"", "202||video/mp4|0123456789");
    row("range of a download", "GET /a.zip\r\nRange: bytes=-1",
        "206|bytes 5-5/6|application/zip +attachment|z");
    row("text", "GET /t.txt", "202||text/plain; charset=UTF-8|<b>");
    row("HEAD", "HEAD" + range.mid(3) + "3-6", "206|bytes 3-6/10|video/mp4|");
    row("HEAD, listing", "HEAD /", "202||text/html; charset=UTF-8|");
    row("HEAD, not found", "HEAD /x", "404||text/html|");
    row("off: no range", range + "3-6", "202||video/mp4v-es, audio/mp4 +attachment|0123456789", false);
}

void tst_Server::inBrowser()
{
    QFETCH(bool, inBrowser);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    if (inBrowser)
        TestServer::config()->setParam(ParamInline, 1);
    server->put("v.mp4", "0123456789");
    server->put("a.zip", "01234z");
    server->put("t.txt", "<b>");
    server->put("p.html", "<p>");

    request.insert(request.contains('\r') ? request.indexOf('\r') : request.size(), " HTTP/1.1");
    const Reply reply = Client::exchange(server->port(), request + "\r\n\r\n");
    const char *attachment = reply.header("Content-Disposition").isNull() ? "" : " +attachment";
    QCOMPARE(reply.statusLine.mid(9, 3) + '|' + reply.header("Content-Range") + '|'
                 + reply.header("Content-Type") + attachment + '|' + reply.body,
             answer);
    // A HEAD gets the header of the GET, to the byte.
    if (request.startsWith("HEAD")) {
        const Reply get = Client::exchange(server->port(), "GET" + request.mid(4) + "\r\n\r\n");
        QCOMPARE(masked(reply.raw), masked(get.raw.chopped(get.body.size())));
    }
}

void tst_Server::otherSites()
{
    // A page whose name was made to resolve to this machine is refused, and told the address.
    const Reply wrongHost = Client::exchange(server->port(), "GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    QCOMPARE(wrongHost.code(), 403);
    QVERIFY(wrongHost.body.contains(QStringLiteral("http://127.0.0.1:%1/").arg(server->port()).toLatin1()));
    // A form another site's page posts does nothing.
    TestServer::share(TestServer::page("upload.html"));
    QCOMPARE(Client::exchange(server->port(), upload("x.txt", "x", "Origin: http://evil.example\r\n")).code(),
             403);
    QCOMPARE(entries(server->downloads.path()), QStringList());
    QCOMPARE(Client::exchange(server->port(), upload("x.txt", "x", "Origin: http://localhost\r\n")).code(),
             202);
}

void tst_Server::requestReading_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<bool>("answered");

    const QByteArray request = "GET /a.txt HTTP/1.1\r\nHost: localhost\r\n\r\n";
    QList<QByteArray> bytes;
    for (const char c : request)
        bytes.append(QByteArray(1, c));
    QTest::addRow("byte by byte") << bytes << true;
    QTest::addRow("HEAD") << QList<QByteArray> {"HEAD /a.txt HTTP/1.1\r\n\r\n"} << false;
    QTest::addRow("oversized head") << QList<QByteArray> {"GET / HTTP/1.1\r\n"
                                                          + QByteArray("X: 1\r\n").repeated(12000)}
                                    << false;
}

void tst_Server::requestReading()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, answered);
    server->put("a.txt", "content");
    Client client(server->port());
    for (const QByteArray &piece : pieces) {
        client.send(piece);
        QTest::qWait(2);
    }
    const Reply reply = client.read();
    QVERIFY(reply.closed);
    QCOMPARE(reply.body, answered ? QByteArray("content") : QByteArray());
    QCOMPARE(reply.raw.isEmpty(), !answered);
}

void tst_Server::passwordLogin()
{
    TestServer::config()->setParam(ParamAuthMode, AuthPassword);
    TestServer::config()->setParam(ParamPassword, QStringLiteral("a&b c+d"));
    server->reconfigure();
    server->put("a.txt", "x");
    const QByteArray loginPage = TestServer::read(TestServer::page("login.html"));
    const auto login = [&](const QByteArray &password, const QByteArray &cookie, const char *from = nullptr) {
        return Client::exchange(server->port(),
                                post("/login", "application/x-www-form-urlencoded", "password=" + password,
                                     "Cookie: " + cookie + "\r\n"),
                                10000, from);
    };
    const auto get = [&](const QByteArray &c) { return server->get("/a.txt", "Cookie: " + c + "\r\n").body; };

    Reply reply = server->get("/a.txt");
    QCOMPARE(reply.body, loginPage);
    const QByteArray first = reply.header("Set-Cookie");
    QCOMPARE(login("wrong", first).body, loginPage);
    // Browsers write a blank as "+" and a plus as "%2B".
    reply = login("a%26b+c%2Bd", first);
    QVERIFY(reply.body.contains("a.txt"));
    const QByteArray loggedIn = reply.header("Set-Cookie");
    QCOMPARE(get(loggedIn), QByteArray("x"));
    // The id from before the login, one never issued, or one under another name open nothing.
    QCOMPARE(get(first), loginPage);
    QCOMPARE(get("SessionId=7"), loginPage);
    QCOMPARE(get("x" + loggedIn), loginPage);
    QCOMPARE(HTTP_Request::sessionManager.count(), 1);

    // A login lasts until the browser has been idle for longer than the lifetime (600 s).
    static qint64 now = 0;
    SessionManager::setClock([] { return now; });
    QCOMPARE(get(loggedIn), QByteArray("x"));
    QTRY_COMPARE(server->server.threadCount(), 0);
    // Not while a connection holds it: the idle time starts when the last one ends.
    server->put("big.bin", QByteArray(16 << 20, 'b'));
    {
        Client holding(server->port());
        QVERIFY(holding.send("GET /big.bin HTTP/1.1\r\nCookie: " + loggedIn + "\r\n\r\n"));
        QCOMPARE(holding.read(10000, 100).code(), 202);
        now = 700000;
        HTTP_Request::sessionManager.checkSessions();
        QCOMPARE(HTTP_Request::sessionManager.count(), 1);
        // A new login takes the login from the old id, also from a connection holding it.
        QVERIFY(login("a%26b+c%2Bd", loggedIn).header("Set-Cookie") != loggedIn);
        QCOMPARE(get(loggedIn), loginPage);
    }
    QTRY_COMPARE(server->server.threadCount(), 0);
    now = 1300000;
    HTTP_Request::sessionManager.checkSessions();
    QCOMPARE(HTTP_Request::sessionManager.count(), 2);
    now = 1300001;
    HTTP_Request::sessionManager.checkSessions();
    SessionManager::setClock(nullptr);
    QCOMPARE(get(loggedIn), loginPage);
    reply = login("a%26b+c%2Bd", first);
    QVERIFY(reply.body.contains("a.txt"));

    // A client that waits before it sends its body is told to go on.
    Client client(server->port());
    QVERIFY(client.send("POST /login HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: 20\r\nExpect: 100-continue\r\n\r\n"));
    QCOMPARE(client.read(10000, 25).raw, QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
    QVERIFY(client.send("password=a%26b+c%2Bd"));
    QVERIFY(client.read().body.contains("a.txt"));

    // A new password sends everyone back to the login page.
    TestServer::config()->setParam(ParamPassword, QStringLiteral("other"));
    server->reconfigure();
    QCOMPARE(get(loggedIn), loginPage);

    // Guessing from one address is slowed: after a few failures even the right password
    // waits its turn there, and nowhere else.
    for (int i = 0; i < 4; ++i)
        QCOMPARE(login("guess", first, "127.0.0.9").body, loginPage);
    QCOMPARE(login("other", first, "127.0.0.9").body, loginPage);
    QVERIFY(login("other", first).body.contains("a.txt"));
}

void tst_Server::basicLogin()
{
    TestServer::config()->setParam(ParamAuthMode, AuthBasic);
    TestServer::config()->setUserList({QStringLiteral("anna:one"), QStringLiteral("bert:t:wo")});
    server->put("a.txt", "x");
    QCOMPARE(
        server->get("/a.txt", "Authorization: Basic " + QByteArray("bert:t:wo").toBase64() + "\r\n").body,
        QByteArray("x"));
    QCOMPARE(
        masked(
            server->get("/a.txt", "Authorization: Basic " + QByteArray("anna:two").toBase64() + "\r\n").raw),
        "HTTP/1.1 401 Authorization Required\r\nServer: TarnwickServer_1\r\nContent-Type: text/html\r\n"
        "Set-Cookie: SessionId=#; HttpOnly; SameSite=Lax\r\nConnection: close\r\nWWW-Authenticate: Basic "
        "realm=\"Private Area\"\r\n"
        "\r\n<h1>Wrong password</h1>");

    // A refused post whose large body is still on its way gets its answer; what it still
    // sends is read up to a bound, and counted.
    const qint64 before = TarnwickSocket::Received;
    const Reply refused = Client::exchange(server->port(), upload("big", QByteArray(4 << 20, 'u')));
    QCOMPARE(refused.code(), 401);
    QTRY_COMPARE(server->server.threadCount(), 0);
    const qint64 read = TarnwickSocket::Received - before;
    QVERIFY2(read > Limits::MaxDrain && read < Limits::MaxHeadSize + Limits::MaxDrain + 1024,
             QByteArray::number(read).constData());
}

void tst_Server::uploads_data()
{
    QTest::addColumn<QString>("share"); // the upload page, or the folder
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("page"); // the answer page; empty: not found
    QTest::addColumn<QString>("stored"); // the file it stores; empty: none

    QByteArray content(300000, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 % 251);
    content.replace(1000, 9, "\r\n------b"); // almost the delimiter
    const auto row = [](const char *name, const QByteArray &request, const char *page, const char *stored,
                        const char *share = "page") {
        QTest::newRow(name) << share << request << QByteArray(page) << stored;
    };
    const QByteArray cut
        = "------b0\r\nContent-Disposition: form-data; name=\"f\"; filename=\"cut.txt\"\r\n\r\n" + content;
    row("stored", upload("new.bin", content), "upload_ok.html", "new.bin");
    row("path left out", upload("../../x.txt", content), "upload_ok.html", "x.txt");
    row("name taken", upload("taken.txt", content), "exist.html", "");
    row("name is dot-dot", upload("..", content), "upload_err.html", "");
    row("hidden name", upload(".profile", content), "upload_err.html", "");
    row("no boundary", post("/upload", "multipart/form-data", content), "upload_err.html", "");
    row("body without delimiter", post("/upload", "multipart/form-data; boundary=----b0", cut),
        "upload_err.html", "");
    row("not Get Files", upload("new.bin", content), "", "", "folder");
}

void tst_Server::uploads()
{
    QFETCH(QString, share);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, page);
    QFETCH(QString, stored);
    if (share == "page")
        TestServer::share(TestServer::page("upload.html"));
    TestServer::write(server->downloads.filePath("taken.txt"), "mine");

    const Reply reply = Client::exchange(server->port(), request);
    QCOMPARE(reply.code(), page.isEmpty() ? 404 : page.startsWith("upload_err") ? 500 : 202);
    if (!page.isEmpty())
        QCOMPARE(reply.body, TestServer::read(TestServer::page(page.constData())));
    QCOMPARE(entries(server->downloads.path()).size(), stored.isEmpty() ? 1 : 2);
    QCOMPARE(TestServer::read(server->downloads.filePath("taken.txt")), QByteArray("mine"));
    if (!stored.isEmpty()) {
        const QByteArray body = request.mid(request.indexOf("\r\n\r\n", request.indexOf("filename")) + 4);
        QCOMPARE(TestServer::read(server->downloads.filePath(stored)),
                 body.left(body.indexOf("\r\n------b0--")));
    }
}

void tst_Server::uploadFailures()
{
    TestServer::share(TestServer::page("upload.html"));
    QSignalSpy warnings(&server->server, &WebServer::error);
    {
        // A full disk: the browser and the owner are told, nothing is kept.
        const FileSizeLimit limit(64 * 1024);
        QCOMPARE(Client::exchange(server->port(), upload("big.bin", QByteArray(1 << 20, 'x'))).code(), 500);
    }
    QTRY_COMPARE(warnings.count(), 1);
    QVERIFY(
        warnings.at(0).at(1).toString().startsWith(QStringLiteral("File: big.bin\nReaded bytes: 65536\n")));
    QCOMPARE(entries(server->downloads.path()), QStringList());

    // A browser that goes away midway leaves nothing behind.
    {
        Client client(server->port());
        QVERIFY(client.send(upload("gone.bin", QByteArray(1 << 20, 'g')).left(500000)));
        QTRY_COMPARE(entries(server->downloads.path()).size(), 1);
        client.reset();
    }
    QTRY_COMPARE(entries(server->downloads.path()), QStringList());
    QCOMPARE(warnings.count(), 1);

    // A name taken while the body comes is not overwritten: the other file keeps it.
    const QByteArray late = upload("late.txt", QByteArray(1 << 20, 'l'));
    Client client(server->port());
    QVERIFY(client.send(late.left(late.size() / 2)));
    QTRY_COMPARE(entries(server->downloads.path()).size(), 1);
    TestServer::write(server->downloads.filePath("late.txt"), "first");
    QVERIFY(client.send(late.mid(late.size() / 2)));
    QCOMPARE(client.read().body, TestServer::read(TestServer::page("exist.html")));
    QCOMPARE(TestServer::read(server->downloads.filePath("late.txt")), QByteArray("first"));

    // The download folder went away: the owner is told which folder, and why.
    QDir(server->downloads.path()).removeRecursively();
    Client::exchange(server->port(), upload("gone.txt", "x"));
    QTRY_COMPARE(warnings.count(), 2);
    QVERIFY(warnings.at(1).at(1).toString().endsWith("Folder: " + server->downloads.path()
                                                     + "\nError: No such file or directory"));
}

void tst_Server::trickledUpload()
{
    // An upload that brings less than a block per wait is ended, however it trickles.
    server->server.setBodyWait(300);
    TestServer::share(TestServer::page("upload.html"));
    const QByteArray whole = upload("slow.bin", QByteArray(20000, 's'));
    qsizetype at = whole.indexOf("\r\n\r\n", whole.indexOf("filename")) + 4;
    Client client(server->port());
    QVERIFY(client.send(whole.left(at)));
    Reply reply;
    for (; at < whole.size() && !reply.closed; at += 100) {
        client.send(whole.mid(at, 100));
        reply = client.read(50);
    }
    QCOMPARE(reply.code(), 500);
    QCOMPARE(entries(server->downloads.path()), QStringList());
}

void tst_Server::dataLimit_data()
{
    QTest::addColumn<QString>("request"); // a download, an upload, or a request that reaches it exactly
    for (const char *request : {"download", "upload", "exactly"})
        QTest::newRow(request) << QString::fromLatin1(request);
}

void tst_Server::dataLimit()
{
    QFETCH(QString, request);
    const qint64 before = TarnwickSocket::Sent + TarnwickSocket::Received;
    QByteArray bytes = request == "upload" ? upload("up.bin", QByteArray(300000, 'u'))
                                           : "GET /big.bin HTTP/1.1\r\nX: \r\n\r\n";
    int limitKb = int(before / 1000) + 150;
    if (request == "exactly") {
        // Padded so that its last byte is the limit's.
        bytes.insert(bytes.indexOf("X: ") + 3,
                     QByteArray((1000 - (before + bytes.size()) % 1000) % 1000, 'x'));
        limitKb = int((before + bytes.size()) / 1000);
    }
    TestServer::config()->setParam(ParamDataLimit, limitKb);
    server->reconfigure();
    server->put("big.bin", QByteArray(300000, 'b'));
    TestServer::share(request == "upload" ? TestServer::page("upload.html") : server->shared.path());
    QSignalSpy limit(&server->server, &WebServer::dataLimit);

    const Reply reply = Client::exchange(server->port(), bytes);
    QTRY_COMPARE(limit.count(), 1);
    QTRY_COMPARE(server->server.threadCount(), 0);
    const qint64 total = TarnwickSocket::Sent + TarnwickSocket::Received;
    QVERIFY(TarnwickSocket::isStopped());
    if (request == "upload") {
        QCOMPARE(reply.code(), 500);
        QCOMPARE(entries(server->downloads.path()), QStringList());
        // What came with the request head is read with it, what the browser still sends
        // after the answer up to a bound.
        QVERIFY(total < qint64(limitKb) * 1000 + Limits::MaxHeadSize + Limits::MaxDrain);
    } else if (request == "download") {
        // The block that reaches the limit is the last one sent.
        const qint64 room = qint64(limitKb) * 1000 - (total - reply.body.size());
        QCOMPARE(reply.body.size(), (room + Limits::BlockSize - 1) / Limits::BlockSize * Limits::BlockSize);
    } else {
        QCOMPARE(reply.raw, QByteArray());
    }
    // Nothing more is served until a start clears the flag.
    QVERIFY(server->get("/big.bin").raw.isEmpty());
    TestServer::config()->setParam(ParamDataLimit, 0);
    server->reconfigure();
}

void tst_Server::stopEndsTransfers()
{
    QTemporaryFile big;
    QVERIFY(big.open() && big.resize(512 << 20));
    TestServer::share(big.fileName());
    Client client(server->port());
    QVERIFY(client.send("GET / HTTP/1.1\r\n\r\n"));
    QCOMPARE(client.read(10000, 100).code(), 202);

    QElapsedTimer timer;
    timer.start();
    server->server.stop();
    QVERIFY(timer.elapsed() < 1000);
    const Reply rest = client.read(5000);
    QVERIFY(rest.closed);
    QVERIFY(rest.raw.size() < 512 << 20);
    QTRY_COMPARE(server->server.threadCount(), 0);
    // Nothing moves after a stop, whatever asks, even on a connection still open.
    int pair[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) == 0);
    TarnwickSocket late;
    late.open(pair[0]);
    const qint64 sent = TarnwickSocket::Sent;
    QCOMPARE(late.write("late"), 0);
    QCOMPARE(TarnwickSocket::Sent, sent);
    ::close(pair[1]);
}

void tst_Server::connectionLimits()
{
    server->server.setHeadWait(1500);
    server->server.setMaxConnections(2);
    server->put("a.txt", "a");
    QTemporaryFile big;
    QVERIFY(big.open() && big.resize(256 << 20));
    const QString name = QFileInfo(big.fileName()).fileName();
    QVERIFY(QFile::link(big.fileName(), server->shared.filePath(name)));

    // One connection that sends nothing: it is cut at the head's deadline, or for a browser
    // once the connections are all taken.
    Client idle(server->port());
    QTRY_COMPARE(server->server.threadCount(), 1);
    Client busy(server->port());
    QVERIFY(busy.send("GET /" + name.toUtf8() + " HTTP/1.1\r\n\r\n"));
    QCOMPARE(busy.read(10000, 100).code(), 202);
    QCOMPARE(server->get("/a.txt").body, QByteArray("a"));
    QVERIFY(!idle.openAfter(2000));

    // With every connection being answered, one more is told at once to come back.
    QTRY_COMPARE(server->server.threadCount(), 1);
    Client second(server->port());
    QVERIFY(second.send("GET /" + name.toUtf8() + " HTTP/1.1\r\n\r\n"));
    QCOMPARE(second.read(10000, 100).code(), 202);
    QCOMPARE(server->get("/a.txt").raw,
             "HTTP/1.1 503 Service Unavailable\r\nServer: TarnwickServer_1\r\nConnection: close\r\n\r\n");

    // One client address holds no more than its share; another is let in.
    server->server.setMaxConnections(8);
    server->server.setMaxConnectionsPerAddress(2);
    QCOMPARE(server->get("/a.txt").code(), 503);
    QCOMPARE(Client::exchange(server->port(), "GET /a.txt HTTP/1.1\r\n\r\n", 10000, "127.0.0.2").body,
             QByteArray("a"));
}

void tst_Server::portChange()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any));
    QSignalSpy errors(&server->server, &WebServer::error);
    TestServer::config()->setParam(ParamPort, taken.serverPort());
    server->reconfigure();
    QCOMPARE(server->server.getState(), 0);
    QCOMPARE(errors.count(), 1);

    const quint16 port = taken.serverPort();
    taken.close();
    server->server.start();
    QCOMPARE(server->port(), port);
    TestServer::config()->setParam(ParamPort, 0);
    server->reconfigure();
    QVERIFY(server->port() != port);
    QCOMPARE(server->get("/").code(), 202);
    // IPv4 only, as the window shows and checks.
    QTcpSocket v6;
    v6.connectToHost(QHostAddress::LocalHostIPv6, server->port());
    QVERIFY(!v6.waitForConnected(2000));
}

QTEST_GUILESS_MAIN(tst_Server)
#include "tst_server.moc"
