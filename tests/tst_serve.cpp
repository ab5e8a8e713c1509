#include "support/client.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

// tarnwick-serve as a script would run it.
class tst_Serve : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void usage_data();
    void usage();
    void servesUntilTerminated();
    void receives();
    void manPage();

private:
    QTemporaryDir shared;
};

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any);
    return probe.serverPort();
}

// tarnwick-serve in the background; what it prints is collected.
struct Serving
{
    explicit Serving(const QStringList &arguments)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] { output += process.readAll(); });
        process.start(QStringLiteral(TARNWICK_SERVE), arguments);
        (void)QTest::qWaitFor([this] { return output.contains("Serving") || process.state() == QProcess::NotRunning; },
                        20000);
    }
    // Ends it as a service manager would; its exit status.
    int terminate()
    {
        process.terminate();
        process.waitForFinished(10000);
        output += process.readAll();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QProcess process;
    QByteArray output;
};

} // namespace

void tst_Serve::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QByteArray>("settings"); // config.dat for the run, when not empty

    QTemporaryFile file;
    const QByteArray none;
    QTest::addRow("help") << QStringList {"--help"} << 0 << "Usage: tarnwick-serve" << none;
    QTest::addRow("version") << QStringList {"--version"} << 0 << "tarnwick-serve " TARNWICK_VERSION "\n" << none;
    QTest::addRow("nothing to share") << QStringList() << 2 << "say what to share" << none;
    QTest::addRow("missing folder") << QStringList {"folder", "/no/such/folder"} << 2 << "not a folder" << none;
    QTest::addRow("folder given as file") << QStringList {"file", "/"} << 2 << "not a file" << none;
    QTest::addRow("no download folder") << QStringList {"--download-dir", "/no/such", "receive"} << 2
                                        << "download folder" << none;
    QTest::addRow("download folder is a file") << QStringList {"--download-dir", TARNWICK_SERVE, "receive"} << 2
                                               << "download folder" << none;
    QTest::addRow("password mode without one") << QStringList {"--auth", "password", "folder", "/"} << 2
                                               << "needs a password" << none;
    QTest::addRow("no password file") << QStringList {"--auth", "password", "--password-file", "/no/such", "folder", "/"}
                                      << 2 << "cannot read /no/such" << none;
    QTest::addRow("damaged settings") << QStringList {"folder", "/"} << 2 << "config.dat is damaged"
                                      << QByteArray("\0\0\0\x08\0\0", 6);
}

void tst_Serve::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QByteArray, settings);
    const QString config = QDir::homePath() + QLatin1String("/.tarnwickServer/config.dat");
    QDir().mkpath(QDir::homePath() + QLatin1String("/.tarnwickServer"));
    QFile file(config);
    QVERIFY(settings.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(settings) == settings.size()));
    file.close();
    const auto removeSettings = qScopeGuard([&] { QFile::remove(config); });
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(TARNWICK_SERVE), arguments);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), status);
    QVERIFY2(process.readAll().contains(output.toUtf8()), qPrintable(output));
}

void tst_Serve::servesUntilTerminated()
{
    QFile big(shared.filePath(QStringLiteral("big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(256 << 20));
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any));
    Serving busy({"--port", QString::number(taken.serverPort()), "folder", shared.path()});
    QCOMPARE(busy.terminate(), 3);
    QVERIFY2(busy.output.contains("Unable to start the server"), busy.output.constData());

    const quint16 port = freePort();
    QFile users(shared.filePath(QStringLiteral("users")));
    QVERIFY(users.open(QIODevice::WriteOnly) && users.write("x:y\na:b\n") > 0);
    users.close();
    Serving serving({"--port", QString::number(port), "--auth", "basic", "--users-file", users.fileName(),
                     "--listing", "phone", "folder", shared.path()});
    QVERIFY2(serving.output.contains(QStringLiteral(":%1/\n").arg(port).toUtf8()), serving.output.constData());
    const QByteArray refusal = Client::exchange(port, "GET / HTTP/1.1\r\n\r\n").raw;
    QVERIFY(refusal.startsWith("HTTP/1.1 401 "));
    const QByteArray phone = "GET / HTTP/1.1\r\nAuthorization: Basic YTpi\r\n\r\n";
    const QByteArray listing = Client::exchange(port, phone).raw;
    QVERIFY(listing.contains("viewport"));

    // Browsers caught in the middle of a download: the totals printed at the end hold
    // every byte they were sent.
    const QByteArray download = "GET /big.bin HTTP/1.1\r\nAuthorization: Basic YTpi\r\n\r\n";
    Client first(port), second(port);
    for (Client *client : {&first, &second}) {
        QVERIFY(client->send(download));
        QVERIFY(client->read(10000, 1 << 20).body.size() > 0);
    }
    QCOMPARE(serving.terminate(), 0);
    const qint64 sent = refusal.size() + first.read().raw.size() + second.read().raw.size();
    const QRegularExpressionMatch totals = QRegularExpression(QStringLiteral("Sent (\\d+) bytes, received (\\d+)"))
                                               .match(QString::fromUtf8(serving.output));
    QVERIFY2(totals.hasMatch(), serving.output.constData());
    QVERIFY(sent < 2 * big.size());
    QCOMPARE(totals.captured(1).toLongLong(), sent + listing.size());
    QCOMPARE(totals.captured(2).toLongLong(), 18 + phone.size() + 2 * download.size());
}

void tst_Serve::receives()
{
    QTemporaryDir downloads;
    const quint16 port = freePort();
    Serving serving({"--port", QString::number(port), "--bind", "127.0.0.1", "--download-dir",
                     downloads.path(), "--inline", "receive"});
    QVERIFY(serving.output.contains(QStringLiteral("  http://127.0.0.1:%1/\n").arg(port).toLatin1()));
    QCOMPARE(Client::exchange(port, "HEAD / HTTP/1.1\r\n\r\n").code(), 202);
    const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"s.txt\"\r\n\r\nsent\r\n--b--\r\n";
    const Reply reply = Client::exchange(port, "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b"
                                               "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QCOMPARE(reply.code(), 202);
    QFile stored(downloads.filePath(QStringLiteral("s.txt")));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), QByteArray("sent"));
    QCOMPARE(serving.terminate(), 0);
}

void tst_Serve::manPage()
{
    // Every option of --help is in the manual page, and the other way round.
    QProcess help;
    help.start(QStringLiteral(TARNWICK_SERVE), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(20000));
    QFile page(QStringLiteral(SERVE_MAN_PAGE));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const auto options = [](QString text) {
        QSet<QString> found;
        const QRegularExpression option(QStringLiteral("(?:^|[\\s,\\[|])(--[a-z][a-z-]*)"));
        for (const QRegularExpressionMatch &match : option.globalMatch(text.remove(QLatin1Char('\\'))))
            found.insert(match.captured(1));
        return found;
    };
    QCOMPARE(options(QString::fromUtf8(help.readAll())), options(QString::fromUtf8(page.readAll())));
}

QTEST_GUILESS_MAIN(tst_Serve)
#include "tst_serve.moc"
