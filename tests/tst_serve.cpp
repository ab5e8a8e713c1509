#include "net/hostaddresses.h"
#include "support/rawclient.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

// tarnwick-serve as a script would run it.
class tst_Serve : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void usageErrors_data();
    void usageErrors();
    void helpAndVersion();
    void portInUse();
    void servesAFolderUntilTerminated();
    void terminatedDuringDownloads();
    void fewDescriptors();
    void receivesUploads();

private:
    QByteArray run(const QStringList &arguments, int *status);
    static quint16 freePort();
    QTemporaryDir shared;
};

void tst_Serve::initTestCase()
{
    QFile file(shared.filePath(QStringLiteral("hello.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("hello");
}

QByteArray tst_Serve::run(const QStringList &arguments, int *status)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(TARNWICK_SERVE), arguments);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
    }
    *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAll();
}

quint16 tst_Serve::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

void tst_Serve::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::addRow("nothing to share") << QStringList() << "say what to share";
    QTest::addRow("bad port") << QStringList {"--port", "http", "folder", "/"} << "--port";
    QTest::addRow("missing folder") << QStringList {"folder", "/no/such/folder"} << "not a folder";
    QTest::addRow("folder given as file") << QStringList {"file", "/"} << "not a file";
    QTest::addRow("no download folder")
        << QStringList {"--download-dir", "/no/such", "receive"} << "download folder";
}

void tst_Serve::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    int status = 0;
    const QByteArray output = run(arguments, &status);
    QCOMPARE(status, 2);
    QVERIFY2(output.contains(message.toUtf8()), output.constData());
}

void tst_Serve::helpAndVersion()
{
    int status = -1;
    QVERIFY(run({"--help"}, &status).contains("Usage: tarnwick-serve"));
    QCOMPARE(status, 0);
    QCOMPARE(run({"--version"}, &status), QByteArray("tarnwick-serve 1.5.6\n"));
    QCOMPARE(status, 0);
}

void tst_Serve::portInUse()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any));
    int status = 0;
    const QByteArray output
        = run({"--port", QString::number(taken.serverPort()), "folder", shared.path()}, &status);
    QCOMPARE(status, 3);
    QVERIFY2(output.contains("Unable to start the server"), output.constData());
}

void tst_Serve::servesAFolderUntilTerminated()
{
    const quint16 port = freePort();
    QProcess process;
    QByteArray output;
    process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&process, &QProcess::readyRead, this, [&] { output += process.readAll(); });
    process.start(QStringLiteral(TARNWICK_SERVE), {"--port", QString::number(port), "folder", shared.path()});
    QVERIFY(process.waitForStarted());
    // The addresses the window lists, with the port.
    const QStringList addresses = listenAddresses(interfaceEntries());
    QTRY_VERIFY_WITH_TIMEOUT(
        output.contains(QStringLiteral("http://%1:%2/").arg(addresses.last()).arg(port).toUtf8()), 20000);
    for (const QString &address : addresses)
        QVERIFY2(output.contains(QStringLiteral("  http://%1:%2/\n").arg(address).arg(port).toUtf8()),
                 output.constData());
    QVERIFY2(!output.contains("Public address"), output.constData());

    const RawResponse response = RawClient::exchange(port, "GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(response.statusCode(), 202);
    QCOMPARE(response.body, QByteArray("hello"));
    QTRY_VERIFY(output.contains("Connection from 127.0.0.1"));

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    output += process.readAll();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == 0, output.constData());
    QVERIFY2(QRegularExpression(QStringLiteral("Sent [1-9][0-9]* bytes, received [1-9][0-9]* bytes"))
                 .match(QString::fromUtf8(output))
                 .hasMatch(),
             output.constData());
}

void tst_Serve::terminatedDuringDownloads()
{
    QFile big(shared.filePath(QStringLiteral("big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.resize(256 * 1024 * 1024));
    big.close();

    const quint16 port = freePort();
    QProcess process;
    QByteArray output;
    process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&process, &QProcess::readyRead, this, [&] { output += process.readAll(); });
    process.start(QStringLiteral(TARNWICK_SERVE), {"--port", QString::number(port), "folder", shared.path()});
    QTRY_VERIFY_WITH_TIMEOUT(
        output.contains(
            QStringLiteral("http://%1:").arg(listenAddresses(interfaceEntries()).last()).toUtf8()),
        20000);

    // Browsers that stop reading leave their connections stuck in sends.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        QVERIFY(clients.back()->connectTo(port));
        QVERIFY(clients.back()->send("GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n"));
        QCOMPARE(clients.back()->readHead().statusCode(), 202);
    }

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    output += process.readAll();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == 0, output.constData());
    QVERIFY(QFile::remove(big.fileName()));
}

void tst_Serve::fewDescriptors()
{
    // A descriptor limit that leaves room for some 40 connections, and many more idle ones.
    const quint16 port = freePort();
    QProcess process;
    QByteArray output;
    process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&process, &QProcess::readyRead, this, [&] { output += process.readAll(); });
    process.start(QStringLiteral("/bin/sh"),
                  {"-c", "ulimit -n 256 && exec \"$0\" \"$@\"", TARNWICK_SERVE, "--port",
                   QString::number(port), "folder", shared.path()});
    QTRY_VERIFY_WITH_TIMEOUT(
        output.contains(
            QStringLiteral("http://%1:").arg(listenAddresses(interfaceEntries()).last()).toUtf8()),
        20000);

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 150; ++i) {
        idle.push_back(std::make_unique<RawClient>(RawClient::Wait::Blocking));
        QVERIFY(idle.back()->connectTo(port));
    }
    // The connections closed to make room have ended.
    QTest::qWait(500);
    const RawResponse response = RawClient::exchange(port, "GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(response.statusCode(), 202);
    QCOMPARE(response.body, QByteArray("hello"));

    idle.clear();
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, output.constData());
}

void tst_Serve::receivesUploads()
{
    QTemporaryDir downloads;
    const quint16 port = freePort();
    QProcess process;
    QByteArray output;
    process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&process, &QProcess::readyRead, this, [&] { output += process.readAll(); });
    process.start(QStringLiteral(TARNWICK_SERVE),
                  {"--port", QString::number(port), "--download-dir", downloads.path(), "receive"});
    QTRY_VERIFY_WITH_TIMEOUT(
        output.contains(
            QStringLiteral("http://%1:").arg(listenAddresses(interfaceEntries()).last()).toUtf8()),
        20000);

    // The upload page, then a file sent as curl -F sends it.
    const RawResponse page = RawClient::exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(page.statusCode(), 202);
    QVERIFY(page.body.contains("action=\"/upload\""));

    QByteArray content(3 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 % 251);
    const QByteArray boundary = "------------------------d74496d66958873e";
    const QByteArray body = "--" + boundary
        + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"sent.bin\"\r\n"
          "Content-Type: application/octet-stream\r\n\r\n"
        + content + "\r\n--" + boundary + "--\r\n";
    const RawResponse answer = RawClient::exchange(
        port,
        "POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\nContent-Type: multipart/form-data; boundary=" + boundary + "\r\n\r\n" + body);
    QCOMPARE(answer.statusCode(), 202);
    QVERIFY(answer.body.contains("<meta name=\"upload-result\" content=\"stored\">"));
    QFile stored(downloads.filePath(QStringLiteral("sent.bin")));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == content);

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    output += process.readAll();
    QVERIFY2(process.exitCode() == 0, output.constData());
}

QTEST_GUILESS_MAIN(tst_Serve)
#include "tst_serve.moc"
