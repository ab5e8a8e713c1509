#include "server/http_request.h"
#include "server/protocol.h"
#include "server/tarnwicksocket.h"
#include "support/rawclient.h"
#include "support/serverfixture.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// The server over real loopback connections, spoken to byte for byte as a browser would.
class tst_Server : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void listingHeaderBytes();
    void requestReading_data();
    void requestReading();
    void basicAccess_data();
    void basicAccess();
    void basicRefusalBytes();
    void passwordLogin();
    void loginWithLengthBeforeType();
    void loginThatWaitsToContinue();
    void sessionIdsAreNotGuessable();
    void downloads_data();
    void downloads();
    void notFoundPage();
    void unreadableFile();
    void hugeFileAnnouncesItsSize();
    void paths_data();
    void paths();
    void pipeIsNotOpened();
    void faviconSubstitute_data();
    void faviconSubstitute();
    void listingLinksFetchTheirFiles();
    void parallelRequestsOfOneBrowser();
    void answerReachesAClientStillSending();
    void answerReachesAClientThatEndedItsRequest_data();
    void answerReachesAClientThatEndedItsRequest();
    void dataLimitStopsAtTheCrossingBlock();
    void stopEndsTransfers();
    void portChangeMovesTheServer();
    void startFailure();

private:
    QByteArray get(const QByteArray &path, const QByteArray &extraHeaders = QByteArray());
    std::unique_ptr<ServerFixture> fixture;
};

static QByteArray sessionCookie(const RawResponse &response)
{
    return response.header("Set-Cookie");
}

void tst_Server::init()
{
    fixture = std::make_unique<ServerFixture>();
    QVERIFY(fixture->start());
}

void tst_Server::cleanup()
{
    fixture.reset();
}

QByteArray tst_Server::get(const QByteArray &path, const QByteArray &extraHeaders)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

void tst_Server::listingHeaderBytes()
{
    ServerFixture::writeFile(fixture->sharedPath("a.txt"), "x");
    const RawResponse response = RawClient::exchange(fixture->port(), get("/"));
    QCOMPARE(response.end, RawResponse::End::Closed);
    QCOMPARE(response.statusLine, QByteArray("HTTP/1.1 202 OK"));
    QCOMPARE(response.headerLines.size(), 4);
    QCOMPARE(response.headerLines.at(0), QByteArray("Server: TarnwickServer_1"));
    QCOMPARE(response.headerLines.at(1), QByteArray("Content-Type: text/html; charset=UTF-8"));
    QVERIFY2(QRegularExpression(QStringLiteral("^Set-Cookie: SessionId=[1-9][0-9]*$"))
                 .match(QString::fromLatin1(response.headerLines.at(2)))
                 .hasMatch(),
             response.headerLines.at(2).constData());
    QCOMPARE(response.headerLines.at(3), QByteArray("Connection: close"));
    QVERIFY(response.body.startsWith("<html><body><table border=\"1\" frame=\"border\"><tr><td"));
    QVERIFY(response.body.endsWith("</table></body></html>"));
}

void tst_Server::requestReading_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<int>("status"); // -1: closed without an answer

    const QByteArray request = "GET /a.txt HTTP/1.1\r\nHost: x\r\nUser-Agent: test\r\n\r\n";
    QTest::addRow("one segment") << QList<QByteArray> {request} << 202;
    QTest::addRow("split in the request line") << QList<QByteArray> {request.left(7), request.mid(7)} << 202;
    QTest::addRow("header lines in later segments")
        << QList<QByteArray> {request.left(20), request.mid(20, 15), request.mid(35)} << 202;
    QTest::addRow("byte by byte") << [&] {
        QList<QByteArray> bytes;
        for (char c : request)
            bytes.append(QByteArray(1, c));
        return bytes;
    }() << 202;
    QTest::addRow("HEAD") << QList<QByteArray> {"HEAD /a.txt HTTP/1.1\r\n\r\n"} << -1;
    QTest::addRow("OPTIONS") << QList<QByteArray> {"OPTIONS * HTTP/1.1\r\n\r\n"} << -1;
    QTest::addRow("garbage") << QList<QByteArray> {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"} << -1;
    QTest::addRow("oversized line") << QList<QByteArray> {"GET /" + QByteArray(20000, 'a')
                                                          + " HTTP/1.1\r\n\r\n"}
                                    << -1;
    QTest::addRow("oversized head") << QList<QByteArray> {
        "GET / HTTP/1.1\r\n" + QByteArray("X-Filler: " + QByteArray(1000, 'f') + "\r\n").repeated(80)
        + "\r\n"} << -1;
}

void tst_Server::requestReading()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, status);
    ServerFixture::writeFile(fixture->sharedPath("a.txt"), "content");

    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    client.sendChunks(chunks, 20);
    const RawResponse response = client.readToEnd();
    if (status < 0) {
        QVERIFY(response.raw.isEmpty());
        QVERIFY(response.end == RawResponse::End::Closed || response.end == RawResponse::End::Reset);
    } else {
        QCOMPARE(response.statusCode(), status);
        QCOMPARE(response.body, QByteArray("content"));
    }
}

void tst_Server::basicAccess_data()
{
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<int>("status");

    QTest::addRow("right user") << QByteArray("Basic " + QByteArray("anna:one").toBase64()) << 202;
    QTest::addRow("second user") << QByteArray("Basic " + QByteArray("bert:t:wo").toBase64()) << 202;
    QTest::addRow("scheme in lower case") << QByteArray("basic " + QByteArray("anna:one").toBase64()) << 202;
    QTest::addRow("wrong password") << QByteArray("Basic " + QByteArray("anna:two").toBase64()) << 401;
    QTest::addRow("no credentials") << QByteArray() << 401;
    QTest::addRow("bad base64") << QByteArray("Basic !!!") << 401;
    QTest::addRow("no colon") << QByteArray("Basic " + QByteArray("anna").toBase64()) << 401;
    QTest::addRow("other scheme") << QByteArray("Bearer abc") << 401;
}

void tst_Server::basicAccess()
{
    QFETCH(QByteArray, authorization);
    QFETCH(int, status);
    ServerFixture::config()->setParam(ParamAuthMode, AuthBasic);
    ServerFixture::config()->setUserList({QStringLiteral("anna:one"), QStringLiteral("bert:t:wo")});

    const QByteArray header
        = authorization.isEmpty() ? QByteArray() : "Authorization: " + authorization + "\r\n";
    const RawResponse response = RawClient::exchange(fixture->port(), get("/", header));
    QCOMPARE(response.statusCode(), status);
}

void tst_Server::basicRefusalBytes()
{
    ServerFixture::config()->setParam(ParamAuthMode, AuthBasic);
    const RawResponse response = RawClient::exchange(fixture->port(), get("/"));
    QCOMPARE(response.statusLine, QByteArray("HTTP/1.1 401 Authorization Required"));
    QCOMPARE(response.headerLines.size(), 5);
    QCOMPARE(response.headerLines.at(0), QByteArray("Server: TarnwickServer_1"));
    QCOMPARE(response.headerLines.at(1), QByteArray("Content-Type: text/html"));
    QVERIFY(response.headerLines.at(2).startsWith("Set-Cookie: SessionId="));
    QCOMPARE(response.headerLines.at(3), QByteArray("Connection: close"));
    QCOMPARE(response.headerLines.at(4), QByteArray("WWW-Authenticate: Basic realm=\"Private Area\""));
    QCOMPARE(response.body, QByteArray("<h1>Wrong password</h1>"));
    QCOMPARE(response.headerCount("Content-Length"), 0);
}

void tst_Server::passwordLogin()
{
    ServerFixture::config()->setParam(ParamAuthMode, AuthPassword);
    ServerFixture::config()->setParam(ParamPassword, QStringLiteral("a&b c+d"));
    fixture->reconfigure();
    ServerFixture::writeFile(fixture->sharedPath("a.txt"), "x");

    // A new browser gets the login page for any path.
    RawResponse response = RawClient::exchange(fixture->port(), get("/a.txt"));
    QCOMPARE(response.statusLine, QByteArray("HTTP/1.1 202 OK"));
    QCOMPARE(response.header("Content-Type"), QByteArray("text/html; charset=UTF-8"));
    QCOMPARE(response.body, QByteArray(ServerFixture::LoginPage));
    const QByteArray firstCookie = sessionCookie(response);

    auto login = [&](const QByteArray &password, const QByteArray &cookie) {
        const QByteArray body = "password=" + password;
        return RawClient::exchange(
            fixture->port(),
            "POST /login HTTP/1.1\r\nHost: x\r\nCookie: " + cookie
                + "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: "
                + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    };

    response = login("wrong", firstCookie);
    QCOMPARE(response.body, QByteArray(ServerFixture::LoginPage));

    // Browsers write a blank as "+" and a plus as "%2B".
    response = login("a%26b+c%2Bd", firstCookie);
    QCOMPARE(response.statusCode(), 202);
    QVERIFY(response.body.contains("a.txt"));
    const QByteArray loggedIn = sessionCookie(response);
    QVERIFY(loggedIn != firstCookie);

    response = RawClient::exchange(fixture->port(), get("/a.txt", "Cookie: " + loggedIn + "\r\n"));
    QCOMPARE(response.body, QByteArray("x"));
    QCOMPARE(sessionCookie(response), loggedIn);

    // The id from before the login no longer opens anything.
    response = RawClient::exchange(fixture->port(), get("/a.txt", "Cookie: " + firstCookie + "\r\n"));
    QCOMPARE(response.body, QByteArray(ServerFixture::LoginPage));

    // A wrong password sent with the logged-in cookie is refused, and the browser stays
    // logged in under the same id.
    response = login("wrong", loggedIn);
    QCOMPARE(response.body, QByteArray(ServerFixture::LoginPage));
    QCOMPARE(sessionCookie(response), loggedIn);
    response = RawClient::exchange(fixture->port(), get("/a.txt", "Cookie: " + loggedIn + "\r\n"));
    QCOMPARE(response.body, QByteArray("x"));

    // Logging in again moves the browser to another fresh id.
    response = login("a%26b+c%2Bd", loggedIn);
    QVERIFY(response.body.contains("a.txt"));
    const QByteArray again = sessionCookie(response);
    QVERIFY(again != loggedIn);
    QVERIFY(again != firstCookie);
    response = RawClient::exchange(fixture->port(), get("/a.txt", "Cookie: " + again + "\r\n"));
    QCOMPARE(response.body, QByteArray("x"));
    response = RawClient::exchange(fixture->port(), get("/a.txt", "Cookie: " + loggedIn + "\r\n"));
    QCOMPARE(response.body, QByteArray(ServerFixture::LoginPage));

    // A new password sends everyone back to the login page.
    ServerFixture::config()->setParam(ParamPassword, QStringLiteral("other"));
    fixture->reconfigure();
    response = RawClient::exchange(fixture->port(), get("/a.txt", "Cookie: " + loggedIn + "\r\n"));
    QCOMPARE(response.body, QByteArray(ServerFixture::LoginPage));
}

void tst_Server::loginWithLengthBeforeType()
{
    ServerFixture::config()->setParam(ParamAuthMode, AuthPassword);
    ServerFixture::config()->setParam(ParamPassword, QStringLiteral("pw"));
    fixture->reconfigure();

    // The order in which some browsers send the headers, the body in its own segment.
    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    client.sendChunks({"POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 11\r\nOrigin: http://x\r\n",
                       "Content-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\n\r\n",
                       "password=pw"},
                      30);
    const RawResponse response = client.readToEnd();
    QCOMPARE(response.statusCode(), 202);
    QVERIFY(response.body.startsWith("<html><body><table"));
}

void tst_Server::loginThatWaitsToContinue()
{
    ServerFixture::config()->setParam(ParamAuthMode, AuthPassword);
    ServerFixture::config()->setParam(ParamPassword, QStringLiteral("pw"));
    fixture->reconfigure();

    // curl holds a body back until it is told to go on.
    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    QVERIFY(
        client.send("POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                    "Content-Length: 11\r\nExpect: 100-continue\r\n\r\n"));
    const RawResponse interim = client.readHead();
    QCOMPARE(interim.raw, QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
    QVERIFY(client.send("password=pw"));
    const RawResponse response
        = RawResponse::parse(client.readToEnd().raw.mid(interim.raw.size()), RawResponse::End::Closed);
    QCOMPARE(response.statusCode(), 202);
    QVERIFY(response.body.startsWith("<html><body><table"));
}

void tst_Server::sessionIdsAreNotGuessable()
{
    ServerFixture::config()->setParam(ParamAuthMode, AuthPassword);
    ServerFixture::config()->setParam(ParamPassword, QStringLiteral("pw"));
    fixture->reconfigure();

    QSet<QByteArray> ids;
    for (int i = 0; i < 20; ++i)
        ids.insert(sessionCookie(RawClient::exchange(fixture->port(), get("/"))));
    QCOMPARE(ids.size(), 20);
    // Browsers that have not logged in take no place in the session store.
    QCOMPARE(HTTP_Request::sessionManager.count(), 0);

    // An id the server never issued is replaced, never adopted.
    const RawResponse response = RawClient::exchange(fixture->port(), get("/", "Cookie: SessionId=7\r\n"));
    QVERIFY(sessionCookie(response) != QByteArray("SessionId=7"));
    // Only the cookie named SessionId selects a session.
    const RawResponse other = RawClient::exchange(fixture->port(), get("/", "Cookie: theme=3\r\n"));
    QVERIFY(sessionCookie(other).startsWith("SessionId="));
}

void tst_Server::downloads_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("type"); // empty: no Content-Type line
    QTest::addColumn<QByteArray>("disposition"); // empty: no attachment line

    QTest::addRow("jpeg in capitals")
        << "photo.JPG" << QByteArray("jpeg") << QByteArray("image/jpeg")
        << QByteArray("attachment; filename=\"photo.JPG\"; filename*=UTF-8''photo.JPG");
    QTest::addRow("html page") << "index.html" << QByteArray("<p>") << QByteArray("text/html; charset=UTF-8")
                               << QByteArray();
    QTest::addRow("htm is not in the table")
        << "index.htm" << QByteArray("<p>") << QByteArray()
        << QByteArray("attachment; filename=\"index.htm\"; filename*=UTF-8''index.htm");
    QTest::addRow("aac") << "song.aac" << QByteArray("aac") << QByteArray("video/mp4v-es, audio/mp4")
                         << QByteArray("attachment; filename=\"song.aac\"; filename*=UTF-8''song.aac");
    QTest::addRow("no dot") << "README" << QByteArray("read me") << QByteArray()
                            << QByteArray("attachment; filename=\"README\"; filename*=UTF-8''README");
    QTest::addRow("non-Latin-1 name")
        << "\u65e5\u672c.pdf" << QByteArray("%PDF") << QByteArray("application/pdf")
        << QByteArray("attachment; filename=\"??.pdf\"; filename*=UTF-8''%E6%97%A5%E6%9C%AC.pdf");
    QTest::addRow("empty file") << "empty.zip" << QByteArray() << QByteArray("application/zip")
                                << QByteArray(
                                       "attachment; filename=\"empty.zip\"; filename*=UTF-8''empty.zip");
}

void tst_Server::downloads()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, disposition);
    ServerFixture::writeFile(fixture->sharedPath(name), content);

    const RawResponse response
        = RawClient::exchange(fixture->port(), get(QUrl::toPercentEncoding(name, "/").prepend('/')));
    QCOMPARE(response.statusLine, QByteArray("HTTP/1.1 202 OK"));
    QCOMPARE(response.header("Content-Type"), type);
    QCOMPARE(response.header("Content-Disposition"), disposition);
    QCOMPARE(response.header("Content-Length"),
             content.isEmpty() ? QByteArray() : QByteArray::number(content.size()));
    QCOMPARE(response.body, content);
    QCOMPARE(response.end, RawResponse::End::Closed);
}

void tst_Server::notFoundPage()
{
    const RawResponse response = RawClient::exchange(fixture->port(), get("/no%20such%3Cb%3E"));
    QCOMPARE(response.statusLine, QByteArray("HTTP/1.1 404 Not Found"));
    QCOMPARE(response.header("Content-Type"), QByteArray("text/html"));
    QCOMPARE(response.headerCount("Content-Length"), 0);
    QCOMPARE(response.body,
             "<html><title>Wrong URL</title><body><h1>Wrong URL</h1>Path=/no such&lt;b&gt;<br>or File="
                 + fixture->sharedPath("no such&lt;b&gt;").toLatin1() + "<br>Not found.</body></html>");
}

void tst_Server::unreadableFile()
{
    if (::geteuid() == 0)
        QSKIP("root reads every file");
    ServerFixture::writeFile(fixture->sharedPath("locked.txt"), "locked");
    QVERIFY(QFile::setPermissions(fixture->sharedPath("locked.txt"), QFileDevice::Permissions()));
    const RawResponse response = RawClient::exchange(fixture->port(), get("/locked.txt"));
    QCOMPARE(response.statusLine, QByteArray("HTTP/1.1 501 Can't read file"));
    QVERIFY(response.body.isEmpty());
}

void tst_Server::hugeFileAnnouncesItsSize()
{
    QFile file(fixture->sharedPath("huge.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(Q_INT64_C(5) * 1024 * 1024 * 1024));
    file.close();

    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    QVERIFY(client.send(get("/huge.bin")));
    QCOMPARE(client.readHead().header("Content-Length"), QByteArray("5368709120"));
    client.abort();
}

void tst_Server::paths_data()
{
    QTest::addColumn<QString>("mode"); // folder, file or upload
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body"); // empty: the not-found page

    QTest::addRow("folder: a file") << "folder" << QByteArray("/a.txt") << QByteArray("A");
    QTest::addRow("folder: a subfolder's file") << "folder" << QByteArray("/sub/b.txt") << QByteArray("B");
    QTest::addRow("folder: dot-dot") << "folder" << QByteArray("/../secret.txt") << QByteArray();
    QTest::addRow("folder: encoded dot-dot") << "folder" << QByteArray("/%2e%2e/secret.txt") << QByteArray();
    QTest::addRow("folder: encoded slashes")
        << "folder" << QByteArray("/sub%2F..%2F..%2Fsecret.txt") << QByteArray();
    QTest::addRow("folder: backslash") << "folder" << QByteArray("/..%5Csecret.txt") << QByteArray();
    QTest::addRow("folder: NUL") << "folder" << QByteArray("/a.txt%00.jpg") << QByteArray();
    QTest::addRow("folder: a folder") << "folder" << QByteArray("/sub") << QByteArray();
    QTest::addRow("folder: image folder")
        << "folder" << QByteArray("@icons/sand-light.jpg") << QByteArray("jpeg bytes");
    QTest::addRow("folder: out of the image folder")
        << "folder" << QByteArray("@icons/../lang/C/login.html") << QByteArray();
    QTest::addRow("folder: system temporary folder") << "folder" << QByteArray("/var/tmp/x") << QByteArray();
    QTest::addRow("folder: install prefix")
        << "folder" << QByteArray("/opt/TarnwickWebServer/img/x") << QByteArray();
    QTest::addRow("file: root") << "file" << QByteArray("/") << QByteArray("A");
    QTest::addRow("file: its name") << "file" << QByteArray("/a.txt") << QByteArray("A");
    QTest::addRow("file: a sibling stays private") << "file" << QByteArray("/c.txt") << QByteArray();
    QTest::addRow("file: one letter") << "file" << QByteArray("/c") << QByteArray();
    QTest::addRow("upload: the page") << "upload" << QByteArray("/") << QByteArray(ServerFixture::UploadPage);
    QTest::addRow("upload: a file of the page")
        << "upload" << QByteArray("/upload.css") << QByteArray("body{}");
    QTest::addRow("upload: out of the page folder")
        << "upload" << QByteArray("/../img/favicon.ico") << QByteArray();
}

void tst_Server::paths()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);

    // The shared folder sits inside a parent that also holds a file nobody may fetch.
    QTemporaryDir parent;
    QDir(parent.path()).mkpath(QStringLiteral("shared/sub"));
    ServerFixture::writeFile(parent.filePath("secret.txt"), "SECRET");
    ServerFixture::writeFile(parent.filePath("shared/a.txt"), "A");
    ServerFixture::writeFile(parent.filePath("shared/c.txt"), "C");
    ServerFixture::writeFile(parent.filePath("shared/c"), "C");
    ServerFixture::writeFile(parent.filePath("shared/secret.txt"), "not this one");
    ServerFixture::writeFile(parent.filePath("shared/sub/b.txt"), "B");
    if (mode == QLatin1String("folder"))
        fixture->share(parent.filePath("shared"));
    else if (mode == QLatin1String("file"))
        fixture->share(parent.filePath("shared/a.txt"));
    else
        fixture->shareUploadPage();

    path.replace("@icons/", fixture->iconDir().toUtf8());
    const RawResponse response = RawClient::exchange(fixture->port(), get(path));
    if (body.isEmpty()) {
        QCOMPARE(response.statusCode(), 404);
        QVERIFY(!response.body.contains("SECRET"));
    } else {
        QCOMPARE(response.statusCode(), 202);
        QCOMPARE(response.body, body);
    }
}

void tst_Server::pipeIsNotOpened()
{
    const QByteArray fifo = QFile::encodeName(fixture->sharedPath("pipe.txt"));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    // Opening a pipe would wait for a writer for ever.
    const RawResponse response = RawClient::exchange(fixture->port(), get("/pipe.txt"), 5000);
    QCOMPARE(response.statusCode(), 404);
}

void tst_Server::faviconSubstitute_data()
{
    QTest::addColumn<int>("thumbnails");
    QTest::addColumn<int>("status");
    QTest::addRow("thumbnail view on") << 1 << 202;
    QTest::addRow("thumbnail view off") << 0 << 404;
}

void tst_Server::faviconSubstitute()
{
    QFETCH(int, thumbnails);
    QFETCH(int, status);
    ServerFixture::config()->setParam(ParamThumbnailView, thumbnails);
    const RawResponse response = RawClient::exchange(fixture->port(), get("/favicon.ico"));
    QCOMPARE(response.statusCode(), status);
    if (status == 202) {
        QCOMPARE(response.body, QByteArray("icon bytes"));
        QCOMPARE(response.headerCount("Content-Type"), 0);
        QVERIFY(response.header("Content-Disposition").startsWith("attachment; filename=\"favicon.ico\""));
    }
}

void tst_Server::listingLinksFetchTheirFiles()
{
    const QStringList names {"a b.txt",     "#1.txt",       "what?.txt",        "100%.txt",
                             "<b>x<i>.txt", "quote\"d.txt", "\u00e4\u00f6.txt", "plus+sign.txt"};
    for (const QString &name : names)
        ServerFixture::writeFile(fixture->sharedPath(name), name.toUtf8());

    const RawResponse listing = RawClient::exchange(fixture->port(), get("/"));
    QCOMPARE(listing.statusCode(), 202);
    QVERIFY(!listing.body.contains("<b>x<i>"));
    const QRegularExpression link(QStringLiteral("<a href=\"([^\"]*)\">"));
    int fetched = 0;
    for (auto match = link.globalMatch(QString::fromUtf8(listing.body)); match.hasNext();) {
        const QByteArray href = match.next().captured(1).toUtf8();
        const RawResponse file = RawClient::exchange(fixture->port(), get("/" + href));
        QCOMPARE(file.statusCode(), 202);
        QVERIFY2(names.contains(QString::fromUtf8(file.body)), href.constData());
        ++fetched;
    }
    QCOMPARE(fetched, names.size());
}

void tst_Server::parallelRequestsOfOneBrowser()
{
    // A page and its pictures: parallel connections with one cookie, each with its own answer.
    const QByteArray cookie = sessionCookie(RawClient::exchange(fixture->port(), get("/")));
    constexpr int Count = 8;
    for (int i = 0; i < Count; ++i)
        ServerFixture::writeFile(fixture->sharedPath(QStringLiteral("f%1.png").arg(i)),
                                 QByteArray(1000 * (i + 1), 'a' + i));

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < Count; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        QVERIFY(clients.back()->connectTo(fixture->port()));
    }
    for (int i = 0; i < Count; ++i)
        QVERIFY(clients[i]->send(get("/f" + QByteArray::number(i) + ".png", "Cookie: " + cookie + "\r\n")));
    for (int i = 0; i < Count; ++i) {
        const RawResponse response = clients[i]->readToEnd();
        QCOMPARE(response.header("Content-Length"), QByteArray::number(1000 * (i + 1)));
        QCOMPARE(response.header("Content-Type"), QByteArray("image/png"));
        QCOMPARE(response.body, QByteArray(1000 * (i + 1), 'a' + i));
    }
}

void tst_Server::answerReachesAClientStillSending()
{
    ServerFixture::config()->setParam(ParamAuthMode, AuthBasic);
    // A refused post whose large body is still on its way: the answer must not be lost
    // to a reset when the server closes.
    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    const QByteArray body(4 * 1024 * 1024, 'u');
    QVERIFY(
        client.send("POST /upload HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                    "Content-Length: "
                    + QByteArray::number(body.size()) + "\r\n\r\n" + body));
    const RawResponse response = client.readToEnd();
    QCOMPARE(response.statusCode(), 401);
    QCOMPARE(response.body, QByteArray("<h1>Wrong password</h1>"));
}

void tst_Server::answerReachesAClientThatEndedItsRequest_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::addRow("file") << QByteArray("/ended.txt") << 202 << QByteArray("the whole file\n");
    QTest::addRow("listing") << QByteArray("/") << 202 << QByteArray("ended.txt");
    QTest::addRow("not found") << QByteArray("/missing.txt") << 404 << QByteArray("Not found");
}

void tst_Server::answerReachesAClientThatEndedItsRequest()
{
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    ServerFixture::writeFile(fixture->sharedPath("ended.txt"), "the whole file\n");

    // A client may end its sending side right after the request, as "nc -N" does, and
    // still reads the answer. Whether its end arrives with the request or after the head
    // was read varies, so many runs.
    for (int round = 0; round < 20; ++round) {
        RawClient client;
        QVERIFY(client.connectTo(fixture->port()));
        QVERIFY(client.send(get(path)));
        client.finishSending();
        const RawResponse response = client.readToEnd();
        QVERIFY2(
            response.statusCode() == status,
            qPrintable(
                QStringLiteral("round %1: %2").arg(round).arg(QString::fromLatin1(response.statusLine))));
        QVERIFY(response.body.contains(body));
    }
}

void tst_Server::dataLimitStopsAtTheCrossingBlock()
{
    const qint64 before = TarnwickSocket::Sent + TarnwickSocket::Received;
    // The limit counts everything since the program started.
    ServerFixture::config()->setParam(ParamDataLimit, int((before + 50000) / 1000));
    fixture->reconfigure();
    ServerFixture::writeFile(fixture->sharedPath("big.bin"), QByteArray(300000, 'b'));
    QSignalSpy limit(fixture->server.get(), &WebServer::dataLimit);

    const RawResponse response = RawClient::exchange(fixture->port(), get("/big.bin"));
    QCOMPARE(response.statusCode(), 202);
    QCOMPARE(response.header("Content-Length"), QByteArray("300000"));
    // The block that crossed the limit is the last one sent.
    QVERIFY2(response.body.size() < 60000, QByteArray::number(response.body.size()).constData());
    QCOMPARE(response.body.size() % 1024, 0);
    const qint64 limitBytes = TarnwickSocket::Limit;
    QVERIFY(TarnwickSocket::Sent + TarnwickSocket::Received >= limitBytes);
    QVERIFY(TarnwickSocket::Sent + TarnwickSocket::Received < limitBytes + 1024 + 1024);
    QTRY_COMPARE(limit.count(), 1);

    // Nothing more is served until a start clears the flag.
    QVERIFY(TarnwickSocket::isStopped());
    const RawResponse after = RawClient::exchange(fixture->port(), get("/big.bin"), 3000);
    QVERIFY(after.body.isEmpty());
    QCOMPARE(limit.count(), 1);

    ServerFixture::config()->setParam(ParamDataLimit, 0);
    fixture->reconfigure();
}

void tst_Server::stopEndsTransfers()
{
    QTemporaryFile big;
    QVERIFY(big.open());
    QVERIFY(big.resize(512 * 1024 * 1024));
    fixture->share(big.fileName());

    // A browser that stops reading keeps its connection thread busy in a send.
    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    QVERIFY(client.send(get("/")));
    QCOMPARE(client.readHead().statusCode(), 202);
    QTRY_COMPARE(fixture->server->threadCount(), 1);

    QElapsedTimer timer;
    timer.start();
    fixture->server->stop();
    QVERIFY(timer.elapsed() < 1000);
    const RawResponse rest = client.readToEnd(10000);
    QVERIFY(rest.end == RawResponse::End::Closed || rest.end == RawResponse::End::Reset);
    QVERIFY(rest.body.size() < 512 * 1024 * 1024);
    QTRY_COMPARE(fixture->server->findChildren<ServerThread *>().size(), 0);

    // Nothing is served after a stop.
    RawClient late;
    QVERIFY(!late.connectTo(fixture->port(), QHostAddress(QHostAddress::LocalHost), 2000)
            || late.readToEnd(2000).raw.isEmpty());
}

void tst_Server::portChangeMovesTheServer()
{
    const quint16 oldPort = fixture->port();
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 newPort = probe.serverPort();
    probe.close();

    ServerFixture::config()->setParam(ParamPort, newPort);
    fixture->reconfigure();
    QCOMPARE(fixture->server->getState(), 1);
    QCOMPARE(fixture->port(), newPort);
    QCOMPARE(RawClient::exchange(newPort, get("/")).statusCode(), 202);
    RawClient old;
    QVERIFY(!old.connectTo(oldPort, QHostAddress(QHostAddress::LocalHost), 2000));
}

void tst_Server::startFailure()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any));
    fixture->server->stop();
    ServerFixture::config()->setParam(ParamPort, taken.serverPort());
    fixture->reconfigure();

    QSignalSpy errors(fixture->server.get(), &WebServer::error);
    QVERIFY(!fixture->server->start());
    QCOMPARE(fixture->server->getState(), 0);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Unable to start the server"));
    QVERIFY(!errors.at(0).at(1).toString().isEmpty());
}

QTEST_GUILESS_MAIN(tst_Server)
#include "tst_server.moc"
