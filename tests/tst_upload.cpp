#include "server/limits.h"
#include "support/rawclient.h"
#include "support/serverfixture.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

// How the common clients write an upload: their boundaries, their header orders and the
// part headers of their file field.
enum class Client { Firefox, Chromium, Curl };

QByteArray boundaryOf(Client client)
{
    switch (client) {
    case Client::Firefox:
        return "---------------------------9051914041544843365972754266";
    case Client::Chromium:
        return "----WebKitFormBoundary7MA4YWxkTrZu0gW";
    case Client::Curl:
        return "------------------------d74496d66958873e";
    }
    return QByteArray();
}

QByteArray delimiterOf(Client client)
{
    return "\r\n--" + boundaryOf(client);
}

// The body up to the file's first byte.
QByteArray partHeadOf(Client client, const QByteArray &fileName)
{
    const QByteArray type = client == Client::Curl ? "application/octet-stream" : "text/plain";
    return "--" + boundaryOf(client) + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\""
        + fileName + "\"\r\nContent-Type: " + type + "\r\n\r\n";
}

// The body after the file's last byte.
QByteArray closingOf(Client client)
{
    return delimiterOf(client) + "--\r\n";
}

QByteArray headOf(Client client, qint64 length, const QByteArray &extra = QByteArray())
{
    const QByteArray type = "Content-Type: multipart/form-data; boundary=" + boundaryOf(client) + "\r\n";
    const QByteArray size = "Content-Length: " + QByteArray::number(length) + "\r\n";
    switch (client) {
    case Client::Firefox:
        return "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64; "
               "rv:115.0) Gecko/20100101 Firefox/115.0\r\nAccept: text/html,*/*;q=0.8\r\n"
               "Accept-Language: en-US,en;q=0.5\r\nAccept-Encoding: gzip, deflate, br\r\n"
            + type + size + extra
            + "Origin: http://127.0.0.1\r\nConnection: keep-alive\r\nReferer: http://127.0.0.1/\r\n"
              "Upgrade-Insecure-Requests: 1\r\n\r\n";
    case Client::Chromium:
        return "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n" + size
            + "Cache-Control: max-age=0\r\nOrigin: http://127.0.0.1\r\n" + type + extra
            + "Upgrade-Insecure-Requests: 1\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) "
              "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36\r\n"
              "Accept: text/html,*/*;q=0.8\r\nReferer: http://127.0.0.1/\r\n"
              "Accept-Encoding: gzip, deflate, br\r\nAccept-Language: en-US,en;q=0.9\r\n\r\n";
    case Client::Curl:
        return "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n" + size
            + type + extra + "\r\n";
    }
    return QByteArray();
}

// A whole upload request of one file.
QByteArray uploadOf(Client client, const QByteArray &fileName, const QByteArray &content,
                    const QByteArray &extra = QByteArray())
{
    const QByteArray body = partHeadOf(client, fileName) + content + closingOf(client);
    return headOf(client, body.size(), extra) + body;
}

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size + 3, Qt::Uninitialized);
    QRandomGenerator random(seed);
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.truncate(size);
    return bytes;
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Every entry of a folder, hidden ones too.
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// Splits bytes after the given offsets.
QList<QByteArray> cut(const QByteArray &bytes, const QList<qsizetype> &offsets)
{
    QList<QByteArray> pieces;
    qsizetype from = 0;
    for (const qsizetype at : offsets) {
        pieces.append(bytes.mid(from, at - from));
        from = at;
    }
    pieces.append(bytes.mid(from));
    return pieces;
}

// Files may grow no larger than this while it lives; a write beyond fails as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_old {};
    void (*m_oldHandler)(int) = nullptr;
};

enum class Ending { FinishSending, Close, Reset, Silence };

} // namespace

Q_DECLARE_METATYPE(Client)
Q_DECLARE_METATYPE(Ending)

// Uploads over real loopback connections, written byte for byte as the clients send them.
class tst_Upload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void storesWhatWasSent_data();
    void storesWhatWasSent();
    void delimiterAcrossSegments_data();
    void delimiterAcrossSegments();
    void fileNames_data();
    void fileNames();
    void existingName_data();
    void existingName();
    void refusedUploadIsAnsweredWhileTheBodyComes_data();
    void refusedUploadIsAnsweredWhileTheBodyComes();
    void malformedBodies_data();
    void malformedBodies();
    void bodyEndsEarly_data();
    void bodyEndsEarly();
    void folderCannotTakeTheFile_data();
    void folderCannotTakeTheFile();
    void writeFailureKeepsNothing();
    void sameNameTwiceAtOnce();
    void onlyInGetFilesMode_data();
    void onlyInGetFilesMode();
    void stopDuringUploadKeepsNothing();
    void stopTellsABrowserStillSending();
    void continueBeforeTheBody_data();
    void continueBeforeTheBody();

private:
    RawResponse upload(const QByteArray &request);
    void checkAnswer(const RawResponse &response, int status, const char *page);
    std::unique_ptr<ServerFixture> fixture;
};

void tst_Upload::init()
{
    fixture = std::make_unique<ServerFixture>();
    fixture->shareUploadPage();
    QVERIFY(fixture->start());
}

void tst_Upload::cleanup()
{
    fixture.reset();
}

RawResponse tst_Upload::upload(const QByteArray &request)
{
    // The connection stays open after the request: the answer must come without the
    // browser closing, and without waiting for a silence.
    RawClient client;
    if (!client.connectTo(fixture->port()) || !client.send(request))
        return RawResponse();
    return client.readToEnd(Limits::UploadSilenceMs / 2);
}

void tst_Upload::checkAnswer(const RawResponse &response, int status, const char *page)
{
    QCOMPARE(response.statusCode(), status);
    QCOMPARE(response.header("Content-Type"), QByteArray("text/html; charset=UTF-8"));
    QCOMPARE(response.body, QByteArray(page));
    QCOMPARE(response.end, RawResponse::End::Closed);
}

void tst_Upload::storesWhatWasSent_data()
{
    QTest::addColumn<Client>("client");
    QTest::addColumn<QByteArray>("content");

    const QList<QPair<const char *, Client>> clients {
        {"Firefox", Client::Firefox}, {"Chromium", Client::Chromium}, {"curl", Client::Curl}};
    for (const auto &[name, client] : clients) {
        const QByteArray boundary = boundaryOf(client);
        QTest::addRow("%s: text", name) << client << QByteArray("hello world\n");
        QTest::addRow("%s: empty file", name) << client << QByteArray();
        QTest::addRow("%s: 3 MiB", name) << client << randomBytes(3 * 1024 * 1024 + 5, 1);
        QTest::addRow("%s: CR LF and seven hyphens inside", name)
            << client << QByteArray("before\r\n-------after\r\n-------");
        QTest::addRow("%s: prefixes of its delimiter inside", name)
            << client << QByteArray("a\r\n--" + boundary.chopped(1) + "\r\n--" + boundary.left(5) + "\r\n-");
        QTest::addRow("%s: its boundary without the line end", name)
            << client << QByteArray("x--" + boundary + "--\r\ny\n--" + boundary);
        QTest::addRow("%s: ends in CR LF", name) << client << QByteArray("line\r\n");
    }
}

void tst_Upload::storesWhatWasSent()
{
    QFETCH(Client, client);
    QFETCH(QByteArray, content);

    const RawResponse response = upload(uploadOf(client, "sent.bin", content));
    checkAnswer(response, 202, ServerFixture::UploadOkPage);
    QCOMPARE(entries(fixture->downloads.path()), QStringList {"sent.bin"});
    QCOMPARE(sha256(fileContent(fixture->downloadPath("sent.bin"))), sha256(content));
}

void tst_Upload::delimiterAcrossSegments_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QByteArray>("content");

    // The end of the content, the delimiter and the closing line arrive in two segments,
    // cut at every offset, and once byte by byte.
    const Client client = Client::Chromium;
    const QByteArray content = randomBytes(100000, 2) + "\r\n--";
    const QByteArray request = uploadOf(client, "split.bin", content);
    const qsizetype contentEnd = request.size() - closingOf(client).size();
    for (qsizetype offset = -3; offset < closingOf(client).size(); ++offset)
        QTest::addRow("cut at %d", int(offset)) << cut(request, {contentEnd + offset}) << content;

    QList<qsizetype> everyByte;
    for (qsizetype at = contentEnd - 2; at < request.size(); ++at)
        everyByte.append(at);
    QTest::addRow("byte by byte") << cut(request, everyByte) << content;

    // The head, the part header and the content each in their own segments.
    const qsizetype headEnd = request.indexOf("\r\n\r\n") + 4;
    const qsizetype partEnd = request.indexOf("\r\n\r\n", headEnd) + 4;
    QTest::addRow("part header apart")
        << cut(request, {headEnd, headEnd + 10, partEnd - 1, partEnd}) << content;
}

void tst_Upload::delimiterAcrossSegments()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QByteArray, content);

    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    QVERIFY(client.sendChunks(chunks, 10));
    checkAnswer(client.readToEnd(Limits::UploadSilenceMs / 2), 202, ServerFixture::UploadOkPage);
    QCOMPARE(sha256(fileContent(fixture->downloadPath("split.bin"))), sha256(content));
}

void tst_Upload::fileNames_data()
{
    QTest::addColumn<QByteArray>("sent"); // the filename parameter's bytes
    QTest::addColumn<QString>("stored"); // empty: refused

    QTest::addRow("plain") << QByteArray("photo.jpg") << QStringLiteral("photo.jpg");
    QTest::addRow("parent folder") << QByteArray("../x") << QStringLiteral("x");
    QTest::addRow("two parents up") << QByteArray("../../x") << QStringLiteral("x");
    QTest::addRow("absolute path") << QByteArray("/etc/x") << QStringLiteral("x");
    QTest::addRow("Windows path") << QByteArray("C:\\fakepath\\x.txt") << QStringLiteral("x.txt");
    QTest::addRow("Windows parent") << QByteArray("..\\x") << QStringLiteral("x");
    QTest::addRow("UTF-8") << QByteArray("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt")
                           << QStringLiteral("\u65e5\u672c\u8a9e.txt");
    QTest::addRow("Latin-1") << QByteArray("r\xe9sum\xe9.pdf") << QStringLiteral("r\u00e9sum\u00e9.pdf");
    QTest::addRow("quote from a browser")
        << QByteArray("say %22hi%22.txt") << QStringLiteral("say \"hi\".txt");
    QTest::addRow("markup with a slash") << QByteArray("<b>x</b>") << QStringLiteral("b>");
    QTest::addRow("no file chosen") << QByteArray() << QString();
    QTest::addRow("dot") << QByteArray(".") << QString();
    QTest::addRow("dot-dot") << QByteArray("..") << QString();
    QTest::addRow("ends in dot-dot") << QByteArray("a/..") << QString();
    QTest::addRow("folder") << QByteArray("dir/") << QString();
    QTest::addRow("control character") << QByteArray("a\x01z") << QString();
    QTest::addRow("NUL") << QByteArray("a\0z", 3) << QString();
    QTest::addRow("C1 control in Latin-1") << QByteArray("a\x85z") << QString();
    QTest::addRow("too long") << QByteArray(256, 'n') << QString();
}

void tst_Upload::fileNames()
{
    QFETCH(QByteArray, sent);
    QFETCH(QString, stored);

    // The download folder sits in a parent that nothing may reach.
    QTemporaryDir parent;
    QVERIFY(QDir(parent.path()).mkdir(QStringLiteral("downloads")));
    const QString downloads = parent.filePath(QStringLiteral("downloads"));
    fixture->setDownloadDir(downloads);

    const RawResponse response = upload(uploadOf(Client::Firefox, sent, "named"));
    QCOMPARE(entries(parent.path()), QStringList {"downloads"});
    if (stored.isEmpty()) {
        checkAnswer(response, 500, ServerFixture::UploadErrorPage);
        QCOMPARE(entries(downloads), QStringList());
    } else {
        checkAnswer(response, 202, ServerFixture::UploadOkPage);
        QCOMPARE(entries(downloads), QStringList {stored});
        QCOMPARE(fileContent(downloads + QLatin1Char('/') + stored), QByteArray("named"));
    }
}

void tst_Upload::existingName_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("file") << "file";
    QTest::addRow("folder") << "folder";
    QTest::addRow("link to nothing") << "dangling link";
}

void tst_Upload::existingName()
{
    QFETCH(QString, kind);
    const QString taken = fixture->downloadPath("taken.txt");
    if (kind == QLatin1String("file"))
        ServerFixture::writeFile(taken, "old");
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(taken));
    else
        QVERIFY(QFile::link(fixture->downloadPath("nowhere"), taken));

    checkAnswer(upload(uploadOf(Client::Chromium, "taken.txt", "new")), 202, ServerFixture::ExistPage);
    QCOMPARE(entries(fixture->downloads.path()), QStringList {"taken.txt"});
    if (kind == QLatin1String("file"))
        QCOMPARE(fileContent(taken), QByteArray("old"));
}

void tst_Upload::refusedUploadIsAnsweredWhileTheBodyComes_data()
{
    QTest::addColumn<QString>("refusal");
    QTest::addRow("name taken") << "taken";
    QTest::addRow("Share Folder mode") << "folder";
}

void tst_Upload::refusedUploadIsAnsweredWhileTheBodyComes()
{
    QFETCH(QString, refusal);
    ServerFixture::writeFile(fixture->downloadPath("big.bin"), "old");
    if (refusal == QLatin1String("folder"))
        fixture->shareFolder();

    // The answer comes before the body is read; the close must not reset the connection,
    // which would make the client lose the answer.
    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    QVERIFY(client.send(uploadOf(Client::Curl, "big.bin", randomBytes(8 * 1024 * 1024, 3))));
    const RawResponse response = client.readToEnd();
    if (refusal == QLatin1String("taken")) {
        checkAnswer(response, 202, ServerFixture::ExistPage);
    } else {
        QCOMPARE(response.statusCode(), 404);
        QCOMPARE(response.end, RawResponse::End::Closed);
    }
    QCOMPARE(fileContent(fixture->downloadPath("big.bin")), QByteArray("old"));
}

void tst_Upload::malformedBodies_data()
{
    QTest::addColumn<QByteArray>("request");

    const QByteArray part = partHeadOf(Client::Curl, "m.txt") + "content" + closingOf(Client::Curl);
    // length < 0: the body's own length.
    auto post = [](const QByteArray &type, const QByteArray &body, qsizetype length = -1) {
        return "POST /upload HTTP/1.1\r\nHost: x\r\nContent-Type: " + type + "\r\nContent-Length: "
            + QByteArray::number(length < 0 ? body.size() : length) + "\r\n\r\n" + body;
    };
    const QByteArray type = "multipart/form-data; boundary=" + boundaryOf(Client::Curl);
    QTest::addRow("no boundary") << post("multipart/form-data", part);
    QTest::addRow("other boundary") << post("multipart/form-data; boundary=other", part);
    QTest::addRow("not multipart") << post("application/octet-stream", part);
    QTest::addRow("no delimiter in the body") << post(type, partHeadOf(Client::Curl, "m.txt") + "content");
    QTest::addRow("delimiter beyond the announced length")
        << post(type, part, part.size() - closingOf(Client::Curl).size());
    QTest::addRow("no file part header")
        << post(type, "--" + boundaryOf(Client::Curl) + "\r\n\r\ncontent" + closingOf(Client::Curl));
    QTest::addRow("a plain field first") << post(type,
                                                 "--" + boundaryOf(Client::Curl)
                                                     + "\r\nContent-Disposition: form-data; name=\"a\"\r\n"
                                                       "\r\nvalue"
                                                     + closingOf(Client::Curl));
    QTest::addRow("closed before any part") << post(type, "--" + boundaryOf(Client::Curl) + "--\r\n");
    QTest::addRow("part header too long")
        << post(type,
                "--" + boundaryOf(Client::Curl) + "\r\nX-Filler: " + QByteArray(Limits::MaxPartHead, 'f')
                    + "\r\n" + part.mid(part.indexOf("\r\n") + 2));
}

void tst_Upload::malformedBodies()
{
    QFETCH(QByteArray, request);
    checkAnswer(upload(request), 500, ServerFixture::UploadErrorPage);
    QCOMPARE(entries(fixture->downloads.path()), QStringList());
}

void tst_Upload::bodyEndsEarly_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<bool>("inPartHead"); // the body ends inside the part header, not the file

    QTest::addRow("shorter than announced") << Ending::FinishSending << false;
    QTest::addRow("part header cut short") << Ending::FinishSending << true;
    QTest::addRow("client closes midway") << Ending::Close << false;
    QTest::addRow("client resets midway") << Ending::Reset << false;
    QTest::addRow("client closes in the part header") << Ending::Close << true;
    QTest::addRow("client goes silent") << Ending::Silence << false;
}

void tst_Upload::bodyEndsEarly()
{
    QFETCH(Ending, ending);
    QFETCH(bool, inPartHead);

    const QByteArray request = uploadOf(Client::Firefox, "partial.bin", randomBytes(2 * 1024 * 1024, 4));
    const qsizetype at = inPartHead ? request.indexOf("\r\n\r\n") + 30 : request.size() / 2;
    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    QVERIFY(client.send(request.left(at)));
    if (!inPartHead) // the file is on its way
        QTRY_COMPARE(entries(fixture->downloads.path()).size(), 1);

    switch (ending) {
    case Ending::FinishSending: {
        client.finishSending();
        // The client's own FIN makes the end look like a reset (see RawClient).
        const RawResponse response = client.readToEnd(Limits::UploadSilenceMs / 2);
        QCOMPARE(response.statusCode(), 500);
        QCOMPARE(response.body, QByteArray(ServerFixture::UploadErrorPage));
        break;
    }
    case Ending::Close:
        client.close();
        break;
    case Ending::Reset:
        client.abort();
        break;
    case Ending::Silence: {
        const RawResponse response = client.readToEnd(Limits::UploadSilenceMs + 5000);
        QCOMPARE(response.statusCode(), 500);
        QCOMPARE(response.body, QByteArray(ServerFixture::UploadErrorPage));
        break;
    }
    }
    client.close();
    QTRY_COMPARE(fixture->server->threadCount(), 0);
    QCOMPARE(entries(fixture->downloads.path()), QStringList());
}

void tst_Upload::folderCannotTakeTheFile_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("warning");

    QTest::addRow("missing folder") << "missing" << QByteArray("a.txt") << "File: a.txt";
    QTest::addRow("a file, not a folder") << "file" << QByteArray("a.txt") << "File: a.txt";
    QTest::addRow("read-only folder") << "read-only" << QByteArray("a.txt") << "File: a.txt";
    // The owner sees the name as it came, never rendered as markup.
    QTest::addRow("markup in the name")
        << "missing" << QByteArray("<font color=red>%2 &amp;.txt") << "File: <font color=red>%2 &amp;.txt";
}

void tst_Upload::folderCannotTakeTheFile()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, name);
    QFETCH(QString, warning);

    QTemporaryDir parent;
    const QString downloads = parent.filePath(QStringLiteral("downloads"));
    if (folder == QLatin1String("file")) {
        ServerFixture::writeFile(downloads, "a file");
    } else if (folder == QLatin1String("read-only")) {
        if (::geteuid() == 0)
            QSKIP("root writes into any folder");
        QVERIFY(QDir().mkdir(downloads));
        QVERIFY(QFile::setPermissions(downloads, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }
    fixture->setDownloadDir(downloads);
    QSignalSpy warnings(fixture->server.get(), &WebServer::error);

    checkAnswer(upload(uploadOf(Client::Chromium, name, "content")), 500, ServerFixture::UploadErrorPage);
    QTRY_COMPARE(warnings.count(), 1);
    QCOMPARE(warnings.at(0).at(0).toString(), QStringLiteral("File save error"));
    QCOMPARE(warnings.at(0).at(1).toString(), warning);
    if (folder == QLatin1String("read-only"))
        QCOMPARE(entries(downloads), QStringList());
    else if (folder == QLatin1String("missing"))
        QVERIFY(!QFileInfo::exists(downloads));
}

void tst_Upload::writeFailureKeepsNothing()
{
    // Writes beyond 64 KiB fail as on a full disk.
    const FileSizeLimit limit(64 * 1024);
    QSignalSpy warnings(fixture->server.get(), &WebServer::error);

    checkAnswer(upload(uploadOf(Client::Firefox, "big.bin", randomBytes(1024 * 1024, 5))), 500,
                ServerFixture::UploadErrorPage);
    QTRY_COMPARE(warnings.count(), 1);
    QCOMPARE(warnings.at(0).at(0).toString(), QStringLiteral("File save error"));
    const QString text = warnings.at(0).at(1).toString();
    QVERIFY2(
        QRegularExpression(QStringLiteral("^File: big\\.bin\nReaded bytes: 65536\nAvailable bytes: [0-9]+$"))
            .match(text)
            .hasMatch(),
        qPrintable(text));
    QCOMPARE(entries(fixture->downloads.path()), QStringList());
}

void tst_Upload::sameNameTwiceAtOnce()
{
    // Both uploads are under way, past the test for an existing name, before either ends.
    const QByteArray first = uploadOf(Client::Chromium, "both.bin", QByteArray(1024 * 1024, 'a'));
    const QByteArray second = uploadOf(Client::Curl, "both.bin", QByteArray(1024 * 1024 + 1, 'b'));
    const qsizetype firstCut = first.size() - closingOf(Client::Chromium).size();
    const qsizetype secondCut = second.size() - closingOf(Client::Curl).size();

    RawClient one;
    RawClient two;
    QVERIFY(one.connectTo(fixture->port()));
    QVERIFY(two.connectTo(fixture->port()));
    QVERIFY(one.send(first.left(firstCut)));
    QVERIFY(two.send(second.left(secondCut)));
    QTRY_COMPARE(entries(fixture->downloads.path()).size(), 2);

    QVERIFY(two.send(second.mid(secondCut)));
    QVERIFY(one.send(first.mid(firstCut)));
    const RawResponse answers[] = {one.readToEnd(), two.readToEnd()};
    QCOMPARE(answers[0].statusCode(), 202);
    QCOMPARE(answers[1].statusCode(), 202);
    const QSet<QByteArray> bodies {answers[0].body, answers[1].body};
    QCOMPARE(bodies, (QSet<QByteArray> {ServerFixture::UploadOkPage, ServerFixture::ExistPage}));

    QCOMPARE(entries(fixture->downloads.path()), QStringList {"both.bin"});
    const QByteArray stored = fileContent(fixture->downloadPath("both.bin"));
    const QByteArray winner = answers[0].body == ServerFixture::UploadOkPage
        ? QByteArray(1024 * 1024, 'a')
        : QByteArray(1024 * 1024 + 1, 'b');
    QCOMPARE(sha256(stored), sha256(winner));
}

void tst_Upload::onlyInGetFilesMode_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("stored");
    QTest::addRow("Get Files") << "upload" << true;
    QTest::addRow("Share Folder") << "folder" << false;
    QTest::addRow("Share File") << "file" << false;
    // A file shared from another folder that happens to be named like the upload page.
    QTest::addRow("Share File of a page's name") << "file named upload.html" << false;
}

void tst_Upload::onlyInGetFilesMode()
{
    QFETCH(QString, mode);
    QFETCH(bool, stored);
    if (mode == QLatin1String("folder")) {
        fixture->shareFolder();
    } else if (mode.startsWith(QLatin1String("file"))) {
        const QString name
            = mode == QLatin1String("file") ? QStringLiteral("shared.txt") : QStringLiteral("upload.html");
        ServerFixture::writeFile(fixture->sharedPath(name), "shared");
        fixture->share(fixture->sharedPath(name));
    }

    const RawResponse response = upload(uploadOf(Client::Firefox, "visitor.txt", "written by a visitor"));
    if (stored) {
        checkAnswer(response, 202, ServerFixture::UploadOkPage);
        QCOMPARE(entries(fixture->downloads.path()), QStringList {"visitor.txt"});
    } else {
        QCOMPARE(response.statusCode(), 404);
        QCOMPARE(response.end, RawResponse::End::Closed);
        QCOMPARE(entries(fixture->downloads.path()), QStringList());
    }
}

void tst_Upload::stopDuringUploadKeepsNothing()
{
    const QByteArray request = uploadOf(Client::Chromium, "stopped.bin", randomBytes(1024 * 1024, 6));
    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    QVERIFY(client.send(request.left(request.size() / 2)));
    QTRY_COMPARE(entries(fixture->downloads.path()).size(), 1);

    fixture->server->stop();
    QTRY_COMPARE(fixture->server->findChildren<ServerThread *>().size(), 0);
    QCOMPARE(entries(fixture->downloads.path()), QStringList());
}

void tst_Upload::stopTellsABrowserStillSending()
{
    // A browser that sends a large body as fast as it can, on a plain socket whose sends
    // block; the body is one block of bytes again and again.
    const qint64 size = qint64(16) * 1024 * 1024 * 1024;
    const QByteArray head = headOf(Client::Curl, size) + partHeadOf(Client::Curl, "cut-off.bin");
    const QByteArray block = randomBytes(1024 * 1024, 8);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // How full the buffers are at the stop varies; a few runs catch the full ones.
    for (int round = 0; round < 6; ++round) {
        if (round > 0)
            QVERIFY(fixture->start());
        address.sin_port = htons(fixture->port());
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        std::atomic<qint64> sent {0};
        std::atomic<bool> ended {false};
        std::thread browser([&] {
            if (::send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL) == head.size()) {
                for (;;) {
                    const ssize_t n = ::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL);
                    if (n <= 0)
                        break;
                    sent += n;
                }
            }
            ended = true;
        });
        const auto finish = qScopeGuard([&] {
            ::shutdown(fd, SHUT_RDWR);
            browser.join();
            ::close(fd);
        });
        QTRY_VERIFY(sent > 8 * 1024 * 1024);
        QVERIFY(!ended);

        // Stopped in the middle of the body, the server reads no more and answers
        // nothing: the browser must find its sends failing, not waiting for room that
        // never comes.
        fixture->server->stop();
        QTRY_VERIFY_WITH_TIMEOUT(ended, 5000);
        QTRY_COMPARE(fixture->server->findChildren<ServerThread *>().size(), 0);
        QCOMPARE(entries(fixture->downloads.path()), QStringList());
    }
}

void tst_Upload::continueBeforeTheBody_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("nameTaken");
    QTest::addColumn<bool>("continues"); // the client is told to send its body
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("page"); // empty: not compared

    QTest::addRow("stored") << "upload" << false << true << 202 << QByteArray(ServerFixture::UploadOkPage);
    // The name is in the body, so the body must come before the name can be refused.
    QTest::addRow("name taken") << "upload" << true << true << 202 << QByteArray(ServerFixture::ExistPage);
    QTest::addRow("Share Folder mode") << "folder" << false << false << 404 << QByteArray();
}

void tst_Upload::continueBeforeTheBody()
{
    QFETCH(QString, mode);
    QFETCH(bool, nameTaken);
    QFETCH(bool, continues);
    QFETCH(int, status);
    QFETCH(QByteArray, page);
    if (mode == QLatin1String("folder"))
        fixture->shareFolder();
    if (nameTaken)
        ServerFixture::writeFile(fixture->downloadPath("waited.bin"), "old");

    // curl asks before it sends a large body, and waits a second for the answer unless told.
    const QByteArray content = randomBytes(4 * 1024 * 1024, 7);
    const QByteArray request = uploadOf(Client::Curl, "waited.bin", content, "Expect: 100-continue\r\n");
    const qsizetype headEnd = request.indexOf("\r\n\r\n") + 4;
    RawClient client;
    QVERIFY(client.connectTo(fixture->port()));
    QVERIFY(client.send(request.left(headEnd)));
    const RawResponse first = client.readHead();
    const QByteArray interim("HTTP/1.1 100 Continue\r\n\r\n");
    RawResponse response;
    if (continues) {
        QCOMPARE(first.raw, interim);
        QVERIFY(client.send(request.mid(headEnd)));
        response = client.readToEnd();
        response = RawResponse::parse(response.raw.mid(interim.size()), response.end);
    } else {
        response = client.readToEnd();
        QVERIFY(!response.raw.contains("100 Continue"));
    }
    QCOMPARE(response.statusCode(), status);
    QCOMPARE(response.end, RawResponse::End::Closed);
    if (!page.isEmpty())
        QCOMPARE(response.body, page);
    QCOMPARE(sha256(fileContent(fixture->downloadPath("waited.bin"))),
             sha256(status == 202 && !nameTaken ? content : QByteArray(nameTaken ? "old" : "<missing>")));
}

QTEST_GUILESS_MAIN(tst_Upload)
#include "tst_upload.moc"
