// Takes the README's pictures of the real window and settings dialog, one per mode:
//
//   cmake -S . -B build -DTARNWICK_BUILD_DOCS=ON && cmake --build build --target screenshots
//   HOME=/home/anna QT_QPA_PLATFORM=offscreen build/bin/screenshots docs
//   for f in window window-get access settings; do convert "docs/$f.png" "PNG8:docs/$f.png"; done
//
// It shares folders and files it makes below HOME and starts the server on port 8080,
// so run it in a scratch home. It shows the data folder of an installed program.

#include "app/tarnwickwebserver.h"
#include "config/configuration.h"
#include "config/dialog/configdialog.h"
#include "config/paramid.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QTimer>

namespace {

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// One browser request, so the status line has a connection and traffic to show.
void visit(int port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!socket.waitForConnected(5000))
        return;
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    while (socket.waitForReadyRead(5000))
        socket.readAll();
    wait(2500); // the status line refreshes every 2 s
}

bool shoot(QWidget *widget, const QString &path)
{
    if (!widget->grab().save(path)) {
        qWarning("Cannot write %s", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    Q_INIT_RESOURCE(icons);
    Q_INIT_RESOURCE(translations);
    QApplication app(argc, argv);
    if (argc != 2) {
        qWarning("usage: screenshots OUTPUT-FOLDER");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QString holiday = QDir::homePath() + QLatin1String("/Pictures/Holiday");
    const QString downloads = QDir::homePath() + QLatin1String("/Downloads");
    if (!QDir().mkpath(holiday) || !QDir().mkpath(downloads)
        || !writeFile(holiday + QLatin1String("/beach.jpg"), QByteArray(542000, 'x'))) {
        qWarning("Cannot make the sample files below %s", qPrintable(QDir::homePath()));
        return 1;
    }
    Configuration::setDataDir(QStringLiteral(TARNWICK_DATA_DIR));

    // Open access and no questions before a start.
    Configuration *settings = Configuration::getCurrentConfig();
    settings->setParam(ParamWarningMode, 0);
    settings->setParam(ParamAuthMode, 0);
    settings->setParam(ParamDownloadPath, downloads);
    const int port = settings->getParam(ParamPort, 8080);

    bool ok = true;
    TarnwickWebServer window(nullptr);
    // Off-line: nothing goes to the outside services.
    window.OffLine();

    window.fileOrDirSelected(holiday);
    window.start();
    visit(port, "/beach.jpg");
    ok &= shoot(&window, out.filePath(QStringLiteral("window.png")));
    window.stop();

    window.setOperatingMode(2);
    window.start();
    visit(port, "/");
    ok &= shoot(&window, out.filePath(QStringLiteral("window-get.png")));
    window.stop();

    // Basic users, so the access page shows its table; the dialog reads config.dat.
    settings->setParam(ParamAuthMode, 2);
    settings->setUserList({QStringLiteral("anna:holiday-2026"), QStringLiteral("bert:correct horse")});
    if (!settings->apply(settings))
        return 1;

    // The settings dialog runs inside its constructor: picture it from there.
    const auto shootDialog = [&](int page, const char *name) {
        QTimer::singleShot(500, [&] {
            if (QWidget *dialog = QApplication::activeModalWidget()) {
                ok &= shoot(dialog, out.filePath(QLatin1String(name)));
                dialog->close();
            }
        });
        ConfigDialog(&window, page);
    };
    shootDialog(0, "access.png");
    shootDialog(1, "settings.png");
    return ok ? 0 : 1;
}
