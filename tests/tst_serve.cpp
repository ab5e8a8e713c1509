#include "support/client.h"
#include "support/qrreader.h"

#include <QImage>
#include <QPainter>
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

private:
    QTemporaryDir shared;
};

namespace {

// tarnwick-serve in the background; what it prints is collected.
struct Serving
{
    explicit Serving(const QStringList &arguments)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] { output += process.readAll(); });
        process.start(QStringLiteral(TARNWICK_SERVE), arguments);
        (void)QTest::qWaitFor(
            [this] { return output.contains("open:") || process.state() == QProcess::NotRunning; }, 20000);
    }
    // Ends it as a service manager would; its exit status.
    int terminate()
    {
        process.terminate();
        process.waitForFinished(10000);
        output += process.readAll();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    // The port of the address it printed for this machine (the lines come one by one).
    quint16 port()
    {
        const QRegularExpression local(QStringLiteral("  http://127.0.0.1:(\\d+)/\n"));
        (void)QTest::qWaitFor([&] { return local.match(QString::fromUtf8(output)).hasMatch(); }, 10000);
        return local.match(QString::fromUtf8(output)).captured(1).toUShort();
    }
    // Before the process, which may still print while it is destroyed.
    QByteArray output;
    QProcess process;
};

// A QR code printed in half blocks (two rows of modules a line, escape sequences around)
// drawn as a picture.
QImage qrPicture(const QList<QByteArray> &lines)
{
    QList<QString> rows;
    for (const QByteArray &line : lines) {
        if (line.startsWith("\x1b["))
            rows.append(
                QString::fromUtf8(line).remove(QRegularExpression(QStringLiteral("\x1b\\[[0-9;]*m"))));
    }
    QImage image(rows.value(0).size() * 4, rows.size() * 8, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < rows.size(); ++y) {
        for (int x = 0; x < rows.at(y).size(); ++x) {
            const char16_t c = rows.at(y).at(x).unicode();
            if (c == 0x2580 || c == 0x2588) // the upper module is dark
                painter.fillRect(x * 4, y * 8, 4, 4, Qt::black);
            if (c == 0x2584 || c == 0x2588)
                painter.fillRect(x * 4, y * 8 + 4, 4, 4, Qt::black);
        }
    }
    return image;
}

// The long options a text names.
QSet<QString> options(QString text)
{
    QSet<QString> found;
    const QRegularExpression option(QStringLiteral("(?:^|[\\s,\\[|])(--[a-z][a-z-]*)"));
    for (const QRegularExpressionMatch &match : option.globalMatch(text.remove(QLatin1Char('\\'))))
        found.insert(match.captured(1));
    return found;
}

} // namespace

void tst_Serve::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QByteArray>("settings"); // config.dat for the run, when not empty

    const auto row = [](const char *name, const QStringList &arguments, int status, const char *output,
                        const QByteArray &settings = QByteArray()) {
        QTest::newRow(name) << arguments << status << QString::fromUtf8(output) << settings;
    };
    row("help", {"--help"}, 0, "Usage: tarnwick-serve");
    row("version", {"--version"}, 0, "tarnwick-serve " TARNWICK_VERSION "\n");
    row("nothing to share", {}, 2, "say what to share");
    row("missing folder", {"folder", "/no/such/folder"}, 2, "not a folder");
    row("no download folder", {"--download-dir", "/no/such", "receive"}, 2, "download folder");
    row("download folder is a file", {"--download-dir", TARNWICK_SERVE, "receive"}, 2, "download folder");
    row("password mode without one", {"--auth", "password", "folder", "/"}, 2, "needs a password");
    row("no password file", {"--auth", "password", "--password-file", "/no/such", "folder", "/"}, 2,
        "cannot read /no/such");
    row("damaged settings", {"folder", "/"}, 2, "config.dat is damaged", QByteArray("\0\0\0\x08\0\0", 6));
}

void tst_Serve::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QByteArray, settings);
    QVERIFY(QDir().mkpath(QDir::homePath() + QLatin1String("/.tarnwickServer")));
    QFile config(QDir::homePath() + QLatin1String("/.tarnwickServer/config.dat"));
    QVERIFY(settings.isEmpty()
            || (config.open(QIODevice::WriteOnly) && config.write(settings) == settings.size()));
    config.close();
    const auto removeSettings = qScopeGuard([&] { config.remove(); });
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(TARNWICK_SERVE), arguments);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), status);
    const QString said = QString::fromUtf8(process.readAll());
    QVERIFY2(said.contains(output), qPrintable(output));
    // Every option of --help is in the manual page, and the other way round.
    QFile page(QStringLiteral(SERVE_MAN_PAGE));
    if (arguments == QStringList {QStringLiteral("--help")})
        QCOMPARE(options(said),
                 options(page.open(QIODevice::ReadOnly) ? QString::fromUtf8(page.readAll()) : QString()));
}

void tst_Serve::servesUntilTerminated()
{
    QFile big(shared.filePath(QStringLiteral("big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(256 << 20));
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any));
    Serving busy({"-p", QString::number(taken.serverPort()), shared.path()});
    QCOMPARE(busy.terminate(), 3);
    QVERIFY2(busy.output.contains(QStringLiteral("port %1 is in use").arg(taken.serverPort()).toLatin1()),
             busy.output.constData());

    // The short form of a folder; its address and a QR code of the first one.
    QFile users(shared.filePath(QStringLiteral("users")));
    QVERIFY(users.open(QIODevice::WriteOnly) && users.write("x:y\na:b\n") > 0);
    users.close();
    Serving serving({"--port", "0", "--auth", "basic", "--users-file", users.fileName(), "--qr", "--listing",
                     "phone", shared.path()});
    const quint16 port = serving.port();
    QVERIFY2(port > 0, serving.output.constData());
    const QString shown = QString::fromLatin1(serving.output.split('\n').at(1).trimmed());
    QTRY_COMPARE(readQrCode(qrPicture(serving.output.split('\n').mid(2))), shown);
    const QByteArray refusal = Client::exchange(port, "GET / HTTP/1.1\r\n\r\n").raw;
    QVERIFY(refusal.startsWith("HTTP/1.1 401 "));
    QTRY_VERIFY(
        serving.output.contains(QStringLiteral(" 127.0.0.1 GET / 401 %1\n").arg(refusal.size()).toLatin1()));
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
    const QRegularExpressionMatch totals
        = QRegularExpression(QStringLiteral("Sent (\\d+) bytes, received (\\d+)"))
              .match(QString::fromUtf8(serving.output));
    QVERIFY2(totals.hasMatch(), serving.output.constData());
    QVERIFY(sent < 2 * big.size());
    QCOMPARE(totals.captured(1).toLongLong(), sent + listing.size());
    QCOMPARE(totals.captured(2).toLongLong(), 18 + phone.size() + 2 * download.size());
}

void tst_Serve::receives()
{
    // Out of the box, into the desktop's download folder, on a port the system picks.
    const QString downloads = QDir::homePath() + QLatin1String("/Downloads");
    QVERIFY(QDir().mkpath(downloads));
    Serving serving({"--port", "0", "--bind", "127.0.0.1", "--inline", "receive"});
    QVERIFY2(serving.output.startsWith(QStringLiteral("Receiving files into %1 ").arg(downloads).toUtf8()),
             serving.output.constData());
    const quint16 port = serving.port();
    QCOMPARE(Client::exchange(port, "HEAD / HTTP/1.1\r\n\r\n").code(), 202);
    const QByteArray body
        = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"s.txt\"\r\n\r\nsent\r\n--b--\r\n";
    const QByteArray upload = "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                              "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    QCOMPARE(Client::exchange(port, upload).code(), 202);
    QCOMPARE(Client::exchange(port, upload).code(), 202);
    QFile stored(downloads + QLatin1String("/s.txt"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), QByteArray("sent"));
    QTRY_VERIFY(serving.output.contains("refused s.txt: the name is taken\n")
                && serving.output.contains("stored s.txt (4 bytes)\n"));
    QCOMPARE(serving.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_Serve)
#include "tst_serve.moc"
