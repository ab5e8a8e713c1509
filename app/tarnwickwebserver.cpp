#include "tarnwickwebserver.h"

#include "config/configuration.h"
#include "config/dialog/configdialog.h"
#include "config/session.h"
#include "eventhandler.h"
#include "net/addresslist.h"
#include "net/hostaddresses.h"
#include "qrdialog.h"
#include "server/serverthread.h"
#include "server/sharing.h"
#include "server/tarnwicksocket.h"
#include "server/webserver.h"
#include "slinklabel.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

namespace {
constexpr int MinimumWidth = 790;
constexpr int MinimumHeight = 460;
// Traffic is reported in KB of 1000 bytes.
constexpr qint64 BytesPerKB = 1000;

const char Contact[] = "tarnwick@example.org";
const char Homepage[] = "https://example.org/tarnwick";

using namespace Sharing;
enum SettingsPage { LastPage = -1, AuthPage = 0, ServerPage = 1 };

QString absolutePath(const QFileInfo &info)
{
    return info.filePath().isEmpty() ? QString() : info.absoluteFilePath();
}

} // namespace

TarnwickWebServer::TarnwickWebServer(const char *argument)
{
    Configuration::RootMode = qstrcmp(argument ? argument : "", "root") == 0;
    settings = Configuration::getCurrentConfig();

    EventHandler::eventHandler = new EventHandler(this);
    server = new WebServer(this);
    server->setAllowedHosts(hostNames(settings));
    // The server reaches the window through its signals only.
    EventHandler *hub = EventHandler::eventHandler;
    connect(server, &WebServer::newConnection, hub, &EventHandler::newConnection);
    connect(server, &WebServer::error, hub, &EventHandler::msg);
    connect(server, &WebServer::started, hub, &EventHandler::startTimer);
    connect(server, &WebServer::stopped, hub, &EventHandler::stopTimer);
    connect(server, &WebServer::dataLimit, this, &TarnwickWebServer::dataLimit);

    QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/img/TarnwickServer.png")));
    playIcon = QIcon(QStringLiteral(":/res/img/play.png"));
    stopIcon = QIcon(QStringLiteral(":/res/img/stop.png"));

    modeBox = new QComboBox;
    modeBox->addItem(tr("Operation mode: Share Folder"));
    modeBox->addItem(tr("Operation mode: Share File"));
    modeBox->addItem(tr("Operation mode: Get Files"));

    browseButton = createButton(tr("&Browse"), &TarnwickWebServer::browse, "find.png");
    helpButton = createButton(tr("Help"), &TarnwickWebServer::help, "query.png");

    pathLabel = new SLinkLabel;
    pathLabel->getScrollArea()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(pathLabel, &QLabel::linkActivated, this, &TarnwickWebServer::linkActivated);

    statusWidget = hub->getStatusWidget();

    startButton = createButton(tr("&Start"), &TarnwickWebServer::startButtonPressed, nullptr);
    startButton->setIcon(playIcon);
    viewButton = createButton(tr("&View"), &TarnwickWebServer::view, "view.png");
    qrButton = createButton(tr("&QR code"), &TarnwickWebServer::showQrCode, nullptr);
    configButton = createButton(tr("&Configuration"), &TarnwickWebServer::config, "preferences-system.png");
    exitButton = new QPushButton(tr("&Exit"), this);
    exitButton->setIcon(QIcon(QStringLiteral(":/res/img/exit.png")));
    connect(exitButton, &QPushButton::clicked, this, &TarnwickWebServer::close);

    addressList = new AddressList;
    connect(addressList, &AddressList::status, hub, &EventHandler::statusmsg);
    // A row's context menu (right button or the menu key) offers its QR code too.
    qrAction = new QAction(tr("Show as &QR code"), this);
    connect(qrAction, &QAction::triggered, this, &TarnwickWebServer::showQrCode);
    addressList->addAction(qrAction);
    addressList->setContextMenuPolicy(Qt::ActionsContextMenu);
    createLandscape();

    configAction
        = new QAction(QIcon(QStringLiteral(":/res/img/preferences-system.png")), tr("&Configuration"), this);
    connect(configAction, &QAction::triggered, this, &TarnwickWebServer::config);
    for (QAction *&action : recentFileActions) {
        action = new QAction(this);
        action->setVisible(false);
        connect(action, &QAction::triggered, this, &TarnwickWebServer::openRecentFile);
    }
    helpAction = new QAction(QIcon(QStringLiteral(":/res/img/query.png")), tr("Help"), this);
    connect(helpAction, &QAction::triggered, this, &TarnwickWebServer::help);
    aboutAction
        = new QAction(QIcon(QStringLiteral(":/res/img/info.png")), tr("&About Tarnwick Web Server"), this);
    connect(aboutAction, &QAction::triggered, this, &TarnwickWebServer::about);
    aboutQtAction = new QAction(tr("About &Qt"), this);
    connect(aboutQtAction, &QAction::triggered, qApp, &QApplication::aboutQt);

    fileMenu = menuBar()->addMenu(tr("&File"));
    fileMenu->addAction(configAction);
    recentSeparator = fileMenu->addSeparator();
    for (QAction *action : recentFileActions)
        fileMenu->addAction(action);
    fileMenu->addSeparator();
    updateRecentFileActions();
    menuBar()->addSeparator();
    helpMenu = menuBar()->addMenu(tr("Help"));
    helpMenu->addAction(helpAction);
    helpMenu->addAction(aboutAction);
    helpMenu->addAction(aboutQtAction);

    Session *session = Session::getSession();
    ServerThread::fileInfo.store(QFileInfo(session->getParam(ParamSharedPath)));

    browseButton->setDefault(true);

    connect(settings, &Configuration::configurationChanged, this, &TarnwickWebServer::configurationChanged);

    ServerThread::OperatingMode = -1;
    opeatingModeChanged(session->getParam(ParamOperatingMode, ReadDefault::OperatingMode));
    modeBox->setCurrentIndex(ServerThread::OperatingMode);
    connect(modeBox, &QComboBox::currentIndexChanged, this, &TarnwickWebServer::opeatingModeChanged);

    setWindowTitle(QStringLiteral("Tarnwick Web Server"));
    setMinimumSize(MinimumWidth, MinimumHeight);
    show();

    if (Configuration::RootMode && warningsOn())
        QMessageBox::warning(this, tr("The server run as root!"),
                             tr("Use this mode only if you want to use port 1 - 1024!"));
    // The defaults would share openly what the owner may have protected: said once, and
    // the server waits for settings the owner has applied.
    if (!settings->problem().isEmpty())
        settingsUnreadable();
}

void TarnwickWebServer::settingsUnreadable()
{
    QMessageBox::warning(this, tr("The settings could not be read"),
                         settings->problem() + QLatin1Char('\n')
                             + tr("The server starts once the settings are applied in the Configuration."));
}

TarnwickWebServer::~TarnwickWebServer()
{
    delete server;
    server = nullptr;

    Session *session = Session::getSession();
    session->setParam(ParamSharedPath, absolutePath(ServerThread::fileInfo.load()));
    session->setParam(ParamOperatingMode, ServerThread::OperatingMode);
    session->save();
}

QPushButton *TarnwickWebServer::createButton(const QString &text, void (TarnwickWebServer::*slot)(),
                                             const char *iconName)
{
    auto *button = new QPushButton(text, this);
    if (iconName)
        button->setIcon(QIcon(QStringLiteral(":/res/img/%1").arg(QLatin1String(iconName))));
    connect(button, &QPushButton::clicked, this, slot);
    return button;
}

void TarnwickWebServer::createLandscape()
{
    auto *area = new QWidget;
    auto *layout = new QVBoxLayout(area);

    auto *top = new QHBoxLayout;
    top->addWidget(addressList);
    auto *side = new QVBoxLayout;
    side->addWidget(helpButton);
    side->addWidget(configButton);
    top->addLayout(side);
    layout->addLayout(top);

    auto *modeRow = new QHBoxLayout;
    modeRow->addWidget(modeBox);
    modeRow->addWidget(browseButton);
    layout->addLayout(modeRow);

    auto *pathRow = new QHBoxLayout;
    auto *pathCaption = new QLabel(QLatin1String("<b>") + tr("Shared Content") + QLatin1String(": </b>"));
    pathCaption->setTextFormat(Qt::RichText);
    pathRow->addWidget(pathCaption);
    pathRow->addWidget(pathLabel->getScrollArea());
    layout->addLayout(pathRow);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addWidget(startButton);
    buttonRow->addWidget(viewButton);
    buttonRow->addWidget(qrButton);
    buttonRow->addWidget(exitButton);
    layout->addLayout(buttonRow);

    // The controls stay together at the top, the status line at the bottom.
    layout->addStretch(1);
    layout->addWidget(statusWidget);

    auto *scroll = new QScrollArea;
    scroll->setWidget(area);
    scroll->setWidgetResizable(true);
    // Tab goes from control to control, never to the area around them.
    scroll->setFocusPolicy(Qt::NoFocus);
    setCentralWidget(scroll);
}

bool TarnwickWebServer::warningsOn() const
{
    return settings->getParam(ParamWarningMode, ReadDefault::WarningMode) != 0;
}

void TarnwickWebServer::setOperatingMode(int mode)
{
    modeBox->setCurrentIndex(mode);
}

void TarnwickWebServer::opeatingModeChanged(int mode)
{
    if (mode == ServerThread::OperatingMode)
        return;
    ServerThread::OperatingMode = mode;

    const QFileInfo target = ServerThread::fileInfo.load();
    switch (mode) {
    case ShareFolder:
        if (target.isDir()) {
            pathLabel->setLinkText(target.absoluteFilePath());
            setButtons(true);
        } else {
            setButtons(false);
            ServerThread::fileInfo.store(QFileInfo());
            pathLabel->setText(tr("No folder selected"));
        }
        browseButton->setText(tr("&Browse Folder"));
        break;
    case ShareFile:
        if (target.isFile()) {
            pathLabel->setLinkText(target.absoluteFilePath());
            setButtons(true);
        } else {
            ServerThread::fileInfo.store(QFileInfo());
            setButtons(false);
            pathLabel->setText(tr("No file selected"));
        }
        browseButton->setText(tr("&Browse File"));
        break;
    case GetFiles: {
        setButtons(true);
        const QFileInfo page = Sharing::target(GetFiles, QString());
        ServerThread::fileInfo.store(page);
        pathLabel->setLinkText(page.absoluteFilePath());
        browseButton->setText(tr("&Browse File"));
        break;
    }
    default:
        break;
    }
}

void TarnwickWebServer::setButtons(bool enable)
{
    const bool running = server->getState() == 1;
    qrButton->setEnabled(running);
    qrAction->setEnabled(running);
    if (running) {
        startButton->setText(tr("&Stop"));
        startButton->setIcon(stopIcon);
        viewButton->setEnabled(true);
    } else {
        startButton->setText(tr("&Start"));
        startButton->setIcon(playIcon);
        // Whoever calls, there must be something to share.
        startButton->setEnabled(
            enable && hasTarget(Mode(ServerThread::OperatingMode), ServerThread::fileInfo.load()));
        viewButton->setEnabled(false);
    }
}

void TarnwickWebServer::startButtonPressed()
{
    switch (server->getState()) {
    case 0:
        start();
        break;
    case 1:
        stop();
        break;
    default:
        break;
    }
}

void TarnwickWebServer::start()
{
    if (!settings->problem().isEmpty()) {
        settingsUnreadable();
        return;
    }
    if (warningsOn() && settings->getParam(ParamAuthMode, ReadDefault::AuthMode) == AuthNone) {
        const auto answer = QMessageBox::question(this, tr("The shared files are accessible for everyone."),
                                                  tr("Do you want to set password?"),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer == QMessageBox::Yes)
            showSettings(AuthPage);
    }

    if (ServerThread::OperatingMode == GetFiles) {
        const QString folder = settings->getParam(ParamDownloadPath);
        Configuration::DownloadDir.store(QFileInfo(folder));
        if (downloadFolderProblem(folder)) {
            const auto answer = QMessageBox::question(this, tr("The download directory is invalid."),
                                                      tr("Do you want to set directory?"),
                                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
            if (answer == QMessageBox::Yes)
                showSettings(ServerPage);
            return;
        }
    }

    if (server->start()) {
        addressList->updateAll();
        setButtons(true);
    }
}

void TarnwickWebServer::stop()
{
    server->stop();
    setButtons(true);
    addressList->showStopped();
}

void TarnwickWebServer::browse()
{
    const QString current = absolutePath(ServerThread::fileInfo.load());
    QString chosen;
    if (ServerThread::OperatingMode == ShareFolder) {
        chosen = QFileDialog::getExistingDirectory(this, QString(), current, QFileDialog::ShowDirsOnly);
    } else {
        // The install folder is no place to look for something to share.
        const QString from = current.startsWith(QLatin1String("/opt/")) ? QStringLiteral("/") : current;
        chosen = QFileDialog::getOpenFileName(this, QString(), from, tr("All (*)"));
    }
    fileOrDirSelected(chosen);
}

void TarnwickWebServer::fileOrDirSelected(const QString &path)
{
    if (path.isEmpty())
        return;
    const QFileInfo entry(path);
    pathLabel->setLinkText(entry.absoluteFilePath());
    pathLabel->setCursor(viewButton->isEnabled() ? Qt::PointingHandCursor : Qt::ArrowCursor);
    ServerThread::fileInfo.store(entry);
    setButtons(true);
    modeBox->setCurrentIndex(entry.isDir() ? ShareFolder : ShareFile);
    setCurrentFile(entry.absoluteFilePath());
}

void TarnwickWebServer::setCurrentFile(const QString &path)
{
    QList<QString> &files = Session::getSession()->recentFiles;
    files.removeAll(path);
    files.prepend(path);
    while (files.size() > MaxRecentFiles)
        files.removeLast();
    updateRecentFileActions();
}

void TarnwickWebServer::updateRecentFileActions()
{
    const QList<QString> &files = Session::getSession()->recentFiles;
    const int shown = int(qMin(files.size(), qsizetype(MaxRecentFiles)));
    for (int i = 0; i < shown; ++i) {
        const QString text = tr("&%1 %2").arg(i + 1).arg(QFileInfo(files.at(i)).fileName());
        recentFileActions[i]->setText(text);
        recentFileActions[i]->setData(files.at(i));
        recentFileActions[i]->setVisible(true);
    }
    for (int i = shown; i < MaxRecentFiles; ++i)
        recentFileActions[i]->setVisible(false);
    recentSeparator->setVisible(shown > 0);
}

void TarnwickWebServer::openRecentFile()
{
    if (auto *action = qobject_cast<QAction *>(sender()))
        fileOrDirSelected(action->data().toString());
}

void TarnwickWebServer::view()
{
    QDesktopServices::openUrl(
        QUrl(address(addressList->getSelectedItemName(), settings->getParam(ParamPort, ReadDefault::Port))));
}

void TarnwickWebServer::showQrCode()
{
    QrDialog(address(addressList->getSelectedItemName(), settings->getParam(ParamPort, ReadDefault::Port)),
             this);
}

void TarnwickWebServer::linkActivated(const QString &)
{
    // Stopped, there is no address to open; the shared folder or file itself is there.
    if (server->getState() != 1) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(absolutePath(ServerThread::fileInfo.load())));
        return;
    }
    view();
}

void TarnwickWebServer::help()
{
    const QString page = QString::fromLocal8Bit(*Configuration::LangPath) + QLatin1String("help/index.html");
    QDesktopServices::openUrl(QUrl::fromLocalFile(page));
}

void TarnwickWebServer::config()
{
    showSettings(LastPage);
}

void TarnwickWebServer::showSettings(int page)
{
    // A start with its questions can come from an Apply of the dialog already open: that
    // dialog shows the page, as a second one would share and replace its working copy.
    if (auto *open = findChild<ConfigDialog *>(QString(), Qt::FindDirectChildrenOnly)) {
        open->showPage(page);
        return;
    }
    // Runs until the owner closes it; what was applied arrives through configurationChanged.
    ConfigDialog dialog(this, page);
}

void TarnwickWebServer::configurationChanged(Configuration *next)
{
    server->setAllowedHosts(hostNames(next));
    if (server->getState() == 1)
        addressList->configurationChanged(next);

    // This runs inside Configuration::apply(), while the current settings still hold the
    // old values: compare now, act once apply() has taken the new ones, so that the
    // restart, its questions and the address list see them. The server itself has
    // already moved to the new port.
    if (settings->getParam(ParamPort, ReadDefault::Port) != next->getParam(ParamPort, ReadDefault::Port))
        QMetaObject::invokeMethod(this, &TarnwickWebServer::portChanged, Qt::QueuedConnection);

    // The settings are read from the current configuration, which holds the new values
    // once apply() returns; next is the caller's copy and may be gone by then.
}

void TarnwickWebServer::portChanged()
{
    if (server->getState() == 1) {
        stop();
        start();
    } else {
        // Also when the server's own move to the new port failed: it is stopped now.
        setButtons(true);
        addressList->showStopped();
    }
}

bool TarnwickWebServer::close()
{
    if (server->getState() == 1 && warningsOn()) {
        const auto answer
            = QMessageBox::question(this, tr("The server is running."), tr("Do you want to exit?"),
                                    QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer != QMessageBox::Yes)
            return false;
    }
    return QMainWindow::close();
}

void TarnwickWebServer::about()
{
    const QString homepage = QLatin1String(Homepage);
    const QString contact = QLatin1String(Contact);
    const QString text = tr("Version") + QLatin1String(": ") + version() + QLatin1String("<br>") + tr("r4")
        + QLatin1String("<br>") + tr("Contact") + QLatin1String(": <a href=\"mailto:") + contact
        + QLatin1String("\">") + contact + QLatin1String("</a><br>") + tr("Homepage")
        + QLatin1String(": <a href=\"") + homepage + QLatin1String("\">") + homepage + QLatin1String("</a>");
    QMessageBox::about(this, tr("About Tarnwick Web Server"), text);
}

void TarnwickWebServer::aboutQt()
{
    QMessageBox::aboutQt(this);
}

void TarnwickWebServer::dataLimit()
{
    stop();

    // 64-bit totals: a limit or a total above 2 GB is reported as it is.
    const qint64 limit = TarnwickSocket::Limit.load();
    const qint64 sent = TarnwickSocket::Sent.load();
    const qint64 received = TarnwickSocket::Received.load();
    const QString text = tr("Max. data limit") + QStringLiteral(": %1 KB ").arg(limit / BytesPerKB)
        + tr("reached") + QLatin1Char('\n') + tr("Server stopped") + QLatin1String(".\n") + tr("Sent bytes")
        + QStringLiteral(": %1 KB").arg(sent / BytesPerKB) + QLatin1Char('\n') + tr("Received bytes")
        + QStringLiteral(": %1 KB").arg(received / BytesPerKB);
    QMessageBox box(QMessageBox::Critical, tr("Data limit reached"), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void TarnwickWebServer::OffLine()
{
    networkChanged(false);
}

void TarnwickWebServer::OnLine()
{
    networkChanged(true);
}

void TarnwickWebServer::networkChanged(bool online)
{
    addressList->setOnLine(online);
    if (server->getState() != 1)
        return;
    addressList->updateAll();
    if (!warningsOn())
        return;
    // Shown once the bus call has been answered: the caller does not wait for the owner.
    const QString text = online ? tr("The server is accessible on the new IP address!")
                                : tr("The server is not accessible on the removed IP address!");
    QMetaObject::invokeMethod(
        this, [this, text] { QMessageBox::warning(this, tr("Network connection changed"), text); },
        Qt::QueuedConnection);
}

int TarnwickWebServer::top_application()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    return 0;
}
