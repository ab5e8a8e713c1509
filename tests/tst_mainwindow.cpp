#include "app/eventhandler.h"
#include "app/slinklabel.h"
#include "app/tarnwickwebserver.h"
#include "config/configuration.h"
#include "config/dialog/configdialog.h"
#include "config/session.h"
#include "net/addresslist.h"
#include "net/hostaddresses.h"
#include "net/outsideservices.h"
#include "server/serverthread.h"
#include "server/tarnwicksocket.h"
#include "server/webserver.h"
#include "support/fakeservice.h"
#include "support/modalwatch.h"
#include "support/rawclient.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QtTest>

#include <memory>

#include <unistd.h>

// Records the links handed to the desktop's open-URL service.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public Q_SLOTS:
    void record(const QUrl &url) { opened.append(url); }
};

// The window's controls, found the way a person finds them: by what they show.
struct Ui
{
    explicit Ui(TarnwickWebServer *window)
    {
        mode = window->findChild<QComboBox *>();
        for (QPushButton *button : window->findChildren<QPushButton *>()) {
            const QString text = button->text();
            if (text == QLatin1String("&Start") || text == QLatin1String("&Stop"))
                start = button;
            else if (text.startsWith(QLatin1String("Browse")))
                browse = button;
            else if (text == QLatin1String("&View"))
                view = button;
            else if (text == QLatin1String("&Exit"))
                exit = button;
            else if (text == QLatin1String("Help"))
                help = button;
            else if (text == QLatin1String("&Configuration"))
                config = button;
        }
        for (QLabel *label : window->findChildren<QLabel *>()) {
            if (auto *link = dynamic_cast<SLinkLabel *>(label))
                path = link;
        }
        status = EventHandler::eventHandler->getStatusWidget();
        addresses = window->findChild<AddressList *>()->findChild<QTableWidget *>();
        const QList<QAction *> menus = window->menuBar()->actions();
        fileMenu = menus.first()->menu();
        helpMenu = menus.last()->menu();
        const QList<QAction *> fileEntries = fileMenu->actions();
        recentSeparator = fileEntries.at(1);
        recent = fileEntries.mid(2, 4);
    }

    bool complete() const
    {
        return mode && start && browse && view && exit && help && config && path && status && addresses;
    }
    QStringList visibleRecent() const
    {
        QStringList texts;
        for (QAction *action : recent) {
            if (action->isVisible())
                texts.append(action->text());
        }
        return texts;
    }
    // Every row as "address port", joined by ", ".
    QString addressRow() const
    {
        QStringList rows;
        for (int row = 0; row < addresses->rowCount(); ++row)
            rows.append(addresses->item(row, 0)->text() + QLatin1Char(' ') + addresses->item(row, 1)->text());
        return rows.join(QLatin1String(", "));
    }
    // What addressRow() shows while the server runs on port: this machine's addresses.
    static QString running(int port)
    {
        QStringList rows;
        for (const QString &address : listenAddresses(interfaceEntries()))
            rows.append(QStringLiteral("%1 %2").arg(address).arg(port));
        return rows.join(QLatin1String(", "));
    }

    QComboBox *mode = nullptr;
    QPushButton *start = nullptr;
    QPushButton *browse = nullptr;
    QPushButton *view = nullptr;
    QPushButton *exit = nullptr;
    QPushButton *help = nullptr;
    QPushButton *config = nullptr;
    SLinkLabel *path = nullptr;
    QLabel *status = nullptr;
    QTableWidget *addresses = nullptr;
    QMenu *fileMenu = nullptr;
    QMenu *helpMenu = nullptr;
    QAction *recentSeparator = nullptr;
    QList<QAction *> recent;
};

class tst_MainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void firstStart();
    void savedState_data();
    void savedState();
    void stateIsSavedOnExit_data();
    void stateIsSavedOnExit();
    void choosingAFolderInShareFile();
    void choosingAFileInGetFiles();
    void emptyChoiceChangesNothing();
    void getFilesAndBack();
    void recentFiles();
    void browseStartsAtTheSharedPath_data();
    void browseStartsAtTheSharedPath();
    void startServeStop();
    void startAsksForAPassword_data();
    void startAsksForAPassword();
    void downloadFolderIsChecked_data();
    void downloadFolderIsChecked();
    void questionsOpenTheSettings_data();
    void questionsOpenTheSettings();
    void configurationOpensTheLastPage();
    void settingsDialogMovesTheServer();
    void modeChangeWhileRunningKeepsServing();
    void portChangeWhileRunning();
    void portCellEditWhileRunning();
    void portChangeWhileStopped();
    void dataLimitBox_data();
    void dataLimitBox();
    void dataLimitStopsARealTransfer();
    void serverErrorShowsAWarning();
    void exitQuestion_data();
    void exitQuestion();
    void view_data();
    void view();
    void viewSelectedRow();
    void help();
    void about();
    void networkChange_data();
    void networkChange();

private:
    static Configuration *settings() { return Configuration::getCurrentConfig(); }
    static void saveState(int mode, const QString &path, const QList<QString> &recent = {});
    static void forgetState();
    static quint16 freePort();
    static QByteArray get(const QByteArray &path);
    QString uploadPage() const { return dataDir.filePath(QStringLiteral("lang/C/upload.html")); }
    QString helpPage() const { return dataDir.filePath(QStringLiteral("lang/C/help/index.html")); }
    static void applyPort(int port);

    QTemporaryDir dataDir;
    QTemporaryDir shared;
    UrlRecorder recorder;
    // Answers the reachability checks with nothing to show.
    FakeService outside;
};

static const char *const Schemes[] = {"http", "https", "file", "mailto"};

static void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size(), qPrintable(path));
}

void tst_MainWindow::initTestCase()
{
    QVERIFY(QDir(dataDir.path()).mkpath(QStringLiteral("lang/C/help")));
    QVERIFY(QDir(dataDir.path()).mkpath(QStringLiteral("img")));
    writeFile(uploadPage(), "<html><body>upload page</body></html>");
    writeFile(helpPage(), "<html><body>help</body></html>");
    Configuration::setDataDir(dataDir.path());

    QVERIFY(QDir(shared.path()).mkpath(QStringLiteral("folder")));
    QVERIFY(QDir(shared.path()).mkpath(QStringLiteral("other folder")));
    writeFile(shared.filePath(QStringLiteral("folder/hello.txt")), "hello from the shared folder\n");
    writeFile(shared.filePath(QStringLiteral("folder/big.bin")), QByteArray(200000, 'x'));
    writeFile(shared.filePath(QStringLiteral("report.pdf")), "%PDF");

    for (const char *scheme : Schemes)
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &recorder, "record");
}

void tst_MainWindow::cleanupTestCase()
{
    for (const char *scheme : Schemes)
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    Configuration::setDataDir(Configuration::defaultDataDir());
}

void tst_MainWindow::init()
{
    forgetState();
    Configuration *current = settings();
    current->setParam(ParamPort, 0); // a free port
    current->setParam(ParamWarningMode, 0);
    current->setParam(ParamAuthMode, AuthNone);
    current->setParam(ParamDataLimit, 0);
    current->setParam(ParamDownloadPath, shared.path());
    TarnwickSocket::Sent = 0;
    TarnwickSocket::Received = 0;
    EventHandler::lastAddress.clear();
    recorder.opened.clear();
    OutsideServices::setServiceBases(outside.base(), outside.base());
}

void tst_MainWindow::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_MainWindow::forgetState()
{
    delete Session::session;
    Session::session = nullptr;
    QFile::remove(QString::fromLocal8Bit(*Configuration::ConfigDir) + QLatin1String("init.dat"));
}

// Writes init.dat as an earlier run would have left it.
void tst_MainWindow::saveState(int mode, const QString &path, const QList<QString> &recent)
{
    forgetState();
    Session *session = Session::getSession();
    session->setParam(ParamOperatingMode, mode);
    session->setParam(ParamSharedPath, path);
    session->recentFiles = recent;
    QVERIFY(session->save());
    delete Session::session;
    Session::session = nullptr;
}

quint16 tst_MainWindow::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

QByteArray tst_MainWindow::get(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// Applies settings with a new port, as the settings dialog does.
void tst_MainWindow::applyPort(int port)
{
    Configuration next("config.dat");
    for (auto it = settings()->paramMap().cbegin(); it != settings()->paramMap().cend(); ++it) {
        if (it.value().typeId() == QMetaType::Int)
            next.setParam(it.key(), it.value().toInt());
        else
            next.setParam(it.key(), it.value().toString());
    }
    next.setParam(ParamPort, port);
    QVERIFY(settings()->apply(&next));
}

void tst_MainWindow::firstStart()
{
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    QVERIFY(ui.complete());

    QCOMPARE(ui.mode->count(), 3);
    QCOMPARE(ui.mode->itemText(0), QStringLiteral("Operation mode: Share Folder"));
    QCOMPARE(ui.mode->itemText(1), QStringLiteral("Operation mode: Share File"));
    QCOMPARE(ui.mode->itemText(2), QStringLiteral("Operation mode: Get Files"));
    QCOMPARE(ui.mode->currentIndex(), 0);
    QCOMPARE(ServerThread::OperatingMode, 0);

    QCOMPARE(ui.path->text(), QStringLiteral("No folder selected"));
    QCOMPARE(ui.browse->text(), QStringLiteral("Browse Folder"));
    QVERIFY(ui.browse->isDefault());
    QCOMPARE(ui.start->text(), QStringLiteral("&Start"));
    QVERIFY(!ui.start->isEnabled());
    QVERIFY(!ui.view->isEnabled());
    QCOMPARE(ui.addressRow(), QStringLiteral("None 0"));
    QCOMPARE(window.webServer()->getState(), 0);
    QCOMPARE(window.webServer()->parent(), &window);

    QVERIFY(ui.visibleRecent().isEmpty());
    QVERIFY(!ui.recentSeparator->isVisible());
    QCOMPARE(ui.fileMenu->title(), QStringLiteral("&File"));
    QCOMPARE(ui.fileMenu->actions().first()->text(), QStringLiteral("&Configuration"));
    QCOMPARE(ui.helpMenu->title(), QStringLiteral("Help"));
    QStringList helpEntries;
    for (QAction *action : ui.helpMenu->actions())
        helpEntries.append(action->text());
    QCOMPARE(helpEntries, QStringList({"Help", "&About Tarnwick Web Server", "About &Qt"}));
}

void tst_MainWindow::savedState_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("path"); // relative to the shared folder; "upload" for the upload page
    QTest::addColumn<QString>("label"); // the link target, or the label's plain text
    QTest::addColumn<bool>("startEnabled");
    QTest::addColumn<QString>("browseText");

    QTest::addRow("folder") << 0 << "folder"
                            << "link" << true << "Browse Folder";
    QTest::addRow("file") << 1 << "report.pdf"
                          << "link" << true << "Browse File";
    QTest::addRow("share file, saved path a folder") << 1 << "folder"
                                                     << "No file selected" << false << "Browse File";
    QTest::addRow("share folder, saved path a file") << 0 << "report.pdf"
                                                     << "No folder selected" << false << "Browse Folder";
    QTest::addRow("folder gone") << 0 << "gone"
                                 << "No folder selected" << false << "Browse Folder";
    QTest::addRow("get files") << 2 << "folder"
                               << "upload" << true << "Browse File";
}

void tst_MainWindow::savedState()
{
    QFETCH(int, mode);
    QFETCH(QString, path);
    QFETCH(QString, label);
    QFETCH(bool, startEnabled);
    QFETCH(QString, browseText);
    saveState(mode, shared.filePath(path));

    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    QCOMPARE(ui.mode->currentIndex(), mode);
    QCOMPARE(ServerThread::OperatingMode, mode);
    QCOMPARE(ui.browse->text(), browseText);
    QCOMPARE(ui.start->isEnabled(), startEnabled);

    const QString target = ServerThread::fileInfo.load().filePath();
    if (label == QLatin1String("link")) {
        QCOMPARE(target, shared.filePath(path));
        QCOMPARE(ui.path->text(), QStringLiteral("<a href=\"%1\">%1</a>").arg(shared.filePath(path)));
    } else if (label == QLatin1String("upload")) {
        QCOMPARE(target, uploadPage());
        QCOMPARE(ui.path->text(), QStringLiteral("<a href=\"%1\">%1</a>").arg(uploadPage()));
    } else {
        // The saved path is forgotten.
        QCOMPARE(target, QString());
        QCOMPARE(ui.path->text(), label);
    }
}

void tst_MainWindow::stateIsSavedOnExit_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("saved");

    QTest::addRow("folder") << "folder" << 0 << "folder";
    QTest::addRow("file") << "report.pdf" << 1 << "report.pdf";
    QTest::addRow("get files") << QString() << 2 << "upload";
    QTest::addRow("nothing") << QString() << 0 << QString();
}

void tst_MainWindow::stateIsSavedOnExit()
{
    QFETCH(QString, choice);
    QFETCH(int, mode);
    QFETCH(QString, saved);
    {
        TarnwickWebServer window(nullptr);
        if (!choice.isEmpty())
            window.fileOrDirSelected(shared.filePath(choice));
        window.setOperatingMode(mode);
    }
    delete Session::session;
    Session::session = nullptr;
    Session *session = Session::getSession();
    QCOMPARE(session->getParam(ParamOperatingMode, -1), mode);
    const QString expected = saved.isEmpty() ? QString()
        : saved == QLatin1String("upload")   ? uploadPage()
                                             : shared.filePath(saved);
    QCOMPARE(session->getParam(ParamSharedPath), expected);
}

void tst_MainWindow::choosingAFolderInShareFile()
{
    saveState(1, QString());
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    QCOMPARE(ui.path->text(), QStringLiteral("No file selected"));

    const QString folder = shared.filePath(QStringLiteral("folder"));
    window.fileOrDirSelected(folder);
    QCOMPARE(ui.mode->currentIndex(), 0);
    QCOMPARE(ServerThread::OperatingMode, 0);
    QCOMPARE(ServerThread::fileInfo.load().absoluteFilePath(), folder);
    QCOMPARE(ui.path->text(), QStringLiteral("<a href=\"%1\">%1</a>").arg(folder));
    QCOMPARE(ui.browse->text(), QStringLiteral("Browse Folder"));
    QVERIFY(ui.start->isEnabled());
    QCOMPARE(Session::getSession()->recentFiles, QList<QString>({folder}));
}

void tst_MainWindow::choosingAFileInGetFiles()
{
    saveState(2, QString());
    TarnwickWebServer window(nullptr);
    Ui ui(&window);

    const QString file = shared.filePath(QStringLiteral("report.pdf"));
    window.fileOrDirSelected(file);
    QCOMPARE(ui.mode->currentIndex(), 1);
    QCOMPARE(ServerThread::fileInfo.load().absoluteFilePath(), file);
    QCOMPARE(ui.path->text(), QStringLiteral("<a href=\"%1\">%1</a>").arg(file));
}

void tst_MainWindow::emptyChoiceChangesNothing()
{
    const QString folder = shared.filePath(QStringLiteral("folder"));
    saveState(0, folder);
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    const QString before = ui.path->text();

    window.fileOrDirSelected(QString());
    QCOMPARE(ui.path->text(), before);
    QCOMPARE(ServerThread::fileInfo.load().absoluteFilePath(), folder);
    QVERIFY(Session::getSession()->recentFiles.isEmpty());
    QVERIFY(ui.visibleRecent().isEmpty());
}

void tst_MainWindow::getFilesAndBack()
{
    const QString folder = shared.filePath(QStringLiteral("folder"));
    saveState(0, folder);
    TarnwickWebServer window(nullptr);
    Ui ui(&window);

    ui.mode->setCurrentIndex(2);
    QCOMPARE(ServerThread::OperatingMode, 2);
    QCOMPARE(ServerThread::fileInfo.load().absoluteFilePath(), uploadPage());
    QCOMPARE(ui.path->text(), QStringLiteral("<a href=\"%1\">%1</a>").arg(uploadPage()));
    QCOMPARE(ui.browse->text(), QStringLiteral("Browse File"));
    QVERIFY(ui.start->isEnabled());

    // The upload page replaced the folder, and it is no folder.
    ui.mode->setCurrentIndex(0);
    QCOMPARE(ui.path->text(), QStringLiteral("No folder selected"));
    QCOMPARE(ui.browse->text(), QStringLiteral("Browse Folder"));
    QVERIFY(!ui.start->isEnabled());
    QCOMPARE(ServerThread::fileInfo.load().filePath(), QString());

    // It is a file, though.
    ui.mode->setCurrentIndex(2);
    ui.mode->setCurrentIndex(1);
    QCOMPARE(ServerThread::fileInfo.load().absoluteFilePath(), uploadPage());
    QCOMPARE(ui.path->text(), QStringLiteral("<a href=\"%1\">%1</a>").arg(uploadPage()));
    QVERIFY(ui.start->isEnabled());
}

void tst_MainWindow::recentFiles()
{
    QStringList paths;
    for (int i = 1; i <= 5; ++i) {
        const QString path = shared.filePath(QStringLiteral("recent%1").arg(i));
        QVERIFY(QDir().mkpath(path));
        paths.append(path);
    }

    {
        TarnwickWebServer window(nullptr);
        Ui ui(&window);
        for (const QString &path : paths)
            window.fileOrDirSelected(path);
        // The fifth pushed the oldest out; newest first.
        QCOMPARE(ui.visibleRecent(), QStringList({"&1 recent5", "&2 recent4", "&3 recent3", "&4 recent2"}));
        QCOMPARE(ui.recent.at(0)->data().toString(), paths.at(4));
        QVERIFY(ui.recentSeparator->isVisible());

        // An entry already listed moves to the front, once.
        window.fileOrDirSelected(paths.at(2));
        QCOMPARE(ui.visibleRecent(), QStringList({"&1 recent3", "&2 recent5", "&3 recent4", "&4 recent2"}));

        // Choosing an entry shares it.
        ui.recent.at(3)->trigger();
        QCOMPARE(ServerThread::fileInfo.load().absoluteFilePath(), paths.at(1));
        QCOMPARE(ui.visibleRecent(), QStringList({"&1 recent2", "&2 recent3", "&3 recent5", "&4 recent4"}));

        // A file entry switches to Share File.
        window.fileOrDirSelected(shared.filePath(QStringLiteral("report.pdf")));
        QCOMPARE(ui.visibleRecent().first(), QStringLiteral("&1 report.pdf"));
        ui.recent.at(1)->trigger();
        QCOMPARE(ui.mode->currentIndex(), 0);
    }

    // Kept in init.dat.
    delete Session::session;
    Session::session = nullptr;
    QCOMPARE(Session::getSession()->recentFiles,
             QList<QString>(
                 {paths.at(1), shared.filePath(QStringLiteral("report.pdf")), paths.at(2), paths.at(4)}));
    TarnwickWebServer window(nullptr);
    QCOMPARE(Ui(&window).visibleRecent(),
             QStringList({"&1 recent2", "&2 report.pdf", "&3 recent3", "&4 recent5"}));
}

void tst_MainWindow::browseStartsAtTheSharedPath_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("shared");
    QTest::addColumn<QString>("startsIn");
    QTest::addColumn<QFileDialog::FileMode>("fileMode");

    const QString folder = shared.filePath(QStringLiteral("folder"));
    QTest::addRow("share folder") << 0 << folder << folder << QFileDialog::Directory;
    QTest::addRow("share file") << 1 << shared.filePath(QStringLiteral("report.pdf")) << shared.path()
                                << QFileDialog::ExistingFile;
    // The install folder is no place to look for something to share.
    QTest::addRow("install folder") << 1 << "/opt/TarnwickWebServer/lang/C/upload.html"
                                    << "/" << QFileDialog::ExistingFile;
}

void tst_MainWindow::browseStartsAtTheSharedPath()
{
    QFETCH(int, mode);
    QFETCH(QString, shared);
    QFETCH(QString, startsIn);
    QFETCH(QFileDialog::FileMode, fileMode);
    saveState(mode, QString());

    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ServerThread::fileInfo.store(QFileInfo(shared));
    const QString label = ui.path->text();

    ModalWatch watch;
    QString directory;
    QFileDialog::FileMode shownMode = QFileDialog::AnyFile;
    watch.then([&](QWidget *widget) {
        if (auto *dialog = qobject_cast<QFileDialog *>(widget)) {
            directory = dialog->directory().absolutePath();
            shownMode = dialog->fileMode();
        }
        ModalWatch::reject()(widget);
    });
    ui.browse->click();

    QCOMPARE(watch.seen(), 1);
    QCOMPARE(directory, startsIn);
    QCOMPARE(shownMode, fileMode);
    // Cancelled: nothing changes.
    QCOMPARE(ui.path->text(), label);
    QCOMPARE(ServerThread::fileInfo.load().filePath(), shared);
    QVERIFY(Session::getSession()->recentFiles.isEmpty());
}

void tst_MainWindow::startServeStop()
{
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    WebServer *server = window.webServer();
    QVERIFY(ui.start->isEnabled());

    ui.start->click();
    QCOMPARE(server->getState(), 1);
    QCOMPARE(ui.start->text(), QStringLiteral("&Stop"));
    QVERIFY(ui.view->isEnabled());
    QCOMPARE(ui.addressRow(), Ui::running(0));
    const quint16 port = server->serverPort();
    QVERIFY(port != 0);

    const RawResponse response = RawClient::exchange(port, get("/hello.txt"));
    QCOMPARE(response.statusCode(), 202);
    QCOMPARE(response.body, QByteArray("hello from the shared folder\n"));

    // The connection reaches the status line through the status hub.
    QTRY_COMPARE(EventHandler::lastAddress, QStringLiteral("127.0.0.1"));
    QTRY_VERIFY(ui.status->text().endsWith(QLatin1String("KB Last connection: 127.0.0.1</center>")));

    ui.start->click();
    QCOMPARE(server->getState(), 0);
    QCOMPARE(ui.start->text(), QStringLiteral("&Start"));
    QVERIFY(ui.start->isEnabled());
    QVERIFY(!ui.view->isEnabled());
    QCOMPARE(ui.addressRow(), QStringLiteral("None 0"));
    RawClient client;
    QVERIFY(!client.connectTo(port, QHostAddress(QHostAddress::LocalHost), 2000));
}

void tst_MainWindow::startAsksForAPassword_data()
{
    QTest::addColumn<int>("authMode");
    QTest::addColumn<bool>("warnings");
    QTest::addColumn<bool>("asks");

    QTest::addRow("open access") << int(AuthNone) << true << true;
    QTest::addRow("open access, warnings off") << int(AuthNone) << false << false;
    QTest::addRow("password") << int(AuthPassword) << true << false;
    QTest::addRow("basic") << int(AuthBasic) << true << false;
}

void tst_MainWindow::startAsksForAPassword()
{
    QFETCH(int, authMode);
    QFETCH(bool, warnings);
    QFETCH(bool, asks);
    settings()->setParam(ParamAuthMode, authMode);
    settings()->setParam(ParamWarningMode, warnings ? 1 : 0);
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);

    // Every start asks, also after No before.
    for (int round = 0; round < 2; ++round) {
        ModalWatch watch;
        watch.then(ModalWatch::press(QMessageBox::No));
        ui.start->click();
        QCOMPARE(watch.seen(), asks ? 1 : 0);
        if (asks) {
            QCOMPARE(watch.titles.first(), QStringLiteral("The shared files are accessible for everyone."));
            QCOMPARE(watch.texts.first(), QStringLiteral("Do you want to set password?"));
            QCOMPARE(watch.icons.first(), QMessageBox::Question);
        }
        // The answer does not hold the start back.
        QCOMPARE(window.webServer()->getState(), 1);
        settings()->setParam(ParamWarningMode, 0);
        ui.start->click();
        settings()->setParam(ParamWarningMode, warnings ? 1 : 0);
        QCOMPARE(window.webServer()->getState(), 0);
    }
}

void tst_MainWindow::downloadFolderIsChecked_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("starts");

    QTest::addRow("writable folder") << "folder" << true;
    QTest::addRow("missing") << "gone" << false;
    QTest::addRow("a file") << "report.pdf" << false;
    QTest::addRow("not writable") << "locked" << false;
}

void tst_MainWindow::downloadFolderIsChecked()
{
    QFETCH(QString, folder);
    QFETCH(bool, starts);
    if (folder == QLatin1String("locked")) {
        if (::geteuid() == 0)
            QSKIP("root writes into any folder");
        QVERIFY(QDir().mkpath(shared.filePath(folder)));
        QFile::setPermissions(shared.filePath(folder), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    settings()->setParam(ParamDownloadPath, shared.filePath(folder));
    saveState(2, QString());
    // Asked also with the warnings off.
    TarnwickWebServer window(nullptr);
    Ui ui(&window);

    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::No));
    ui.start->click();
    QCOMPARE(window.webServer()->getState(), starts ? 1 : 0);
    QCOMPARE(Configuration::DownloadDir.load().filePath(), shared.filePath(folder));
    QCOMPARE(watch.seen(), starts ? 0 : 1);
    if (!starts) {
        QCOMPARE(watch.titles.first(), QStringLiteral("The download directory is invalid."));
        QCOMPARE(watch.texts.first(), QStringLiteral("Do you want to set directory?"));
        QCOMPARE(ui.start->text(), QStringLiteral("&Start"));
    }
}

// The row of the settings dialog's page list, or -1 when the widget is no settings dialog.
static int settingsPage(QWidget *widget)
{
    if (!qobject_cast<ConfigDialog *>(widget))
        return -1;
    return widget->findChild<QListWidget *>(QStringLiteral("pageList"))->currentRow();
}

void tst_MainWindow::questionsOpenTheSettings_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("downloadFolder");
    QTest::addColumn<int>("page");
    QTest::addColumn<bool>("starts");

    // The password question: the start goes on once the dialog is closed.
    QTest::addRow("password") << 0 << "folder" << 0 << true;
    // The download folder question: the server stays stopped.
    QTest::addRow("download folder") << 2 << "gone" << 1 << false;
}

void tst_MainWindow::questionsOpenTheSettings()
{
    QFETCH(int, mode);
    QFETCH(QString, downloadFolder);
    QFETCH(int, page);
    QFETCH(bool, starts);
    settings()->setParam(ParamWarningMode, 1);
    settings()->setParam(ParamAuthMode, mode == 0 ? AuthNone : AuthPassword);
    settings()->setParam(ParamDownloadPath, shared.filePath(downloadFolder));
    saveState(mode, shared.filePath(QStringLiteral("folder")));
    Session::getSession()->setParam(ParamConfigPage, 3);
    TarnwickWebServer window(nullptr);
    Ui ui(&window);

    ModalWatch watch;
    int shownPage = -1;
    int serverState = -1;
    watch.then(ModalWatch::press(QMessageBox::Yes));
    watch.then([&](QWidget *dialog) {
        shownPage = settingsPage(dialog);
        serverState = window.webServer()->getState();
        ModalWatch::reject()(dialog);
    });
    ui.start->click();

    QCOMPARE(watch.seen(), 2);
    QCOMPARE(watch.unexpected, 0);
    QCOMPARE(shownPage, page);
    // The dialog runs to its end before the start goes on.
    QCOMPARE(serverState, 0);
    QCOMPARE(window.webServer()->getState(), starts ? 1 : 0);
}

void tst_MainWindow::configurationOpensTheLastPage()
{
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ModalWatch watch;
    QList<int> pages;
    const auto record = [&](QWidget *dialog) {
        pages.append(settingsPage(dialog));
        ModalWatch::reject()(dialog);
    };
    watch.then(record).then(record);

    Session::getSession()->setParam(ParamConfigPage, 2);
    ui.config->click();
    Session::getSession()->setParam(ParamConfigPage, 3);
    ui.fileMenu->actions().first()->trigger();
    QCOMPARE(pages, QList<int>({2, 3}));
}

void tst_MainWindow::settingsDialogMovesTheServer()
{
    // The dialog edits what config.dat holds: put the test's settings there first.
    applyPort(freePort());
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ui.start->click();
    QCOMPARE(window.webServer()->getState(), 1);

    const quint16 newPort = freePort();
    ModalWatch watch;
    watch.then([&](QWidget *dialog) {
        auto *portBox = dialog->findChild<QSpinBox *>(QStringLiteral("portBox"));
        if (portBox)
            portBox->setValue(newPort);
        if (auto *apply = dialog->findChild<QPushButton *>(QStringLiteral("applyButton")))
            apply->click();
        ModalWatch::reject()(dialog);
    });
    ui.config->click();
    QCOMPARE(watch.seen(), 1);

    QTRY_COMPARE(ui.addressRow(), Ui::running(newPort));
    QCOMPARE(window.webServer()->serverPort(), newPort);
    QCOMPARE(ui.start->text(), QStringLiteral("&Stop"));
    QCOMPARE(RawClient::exchange(newPort, get("/hello.txt")).statusCode(), 202);
}

void tst_MainWindow::modeChangeWhileRunningKeepsServing()
{
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ui.start->click();
    const quint16 port = window.webServer()->serverPort();

    window.fileOrDirSelected(shared.filePath(QStringLiteral("report.pdf")));
    QCOMPARE(window.webServer()->getState(), 1);
    QCOMPARE(window.webServer()->serverPort(), port);
    QCOMPARE(ui.start->text(), QStringLiteral("&Stop"));
    // The next connection sees the new target.
    const RawResponse response = RawClient::exchange(port, get("/"));
    QCOMPARE(response.statusCode(), 202);
    QCOMPARE(response.body, QByteArray("%PDF"));
}

void tst_MainWindow::portCellEditWhileRunning()
{
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ui.start->click();
    const quint16 oldPort = window.webServer()->serverPort();

    // The owner types a new port into the table: it is saved, and the server moves there.
    const quint16 newPort = freePort();
    ui.addresses->item(0, 1)->setText(QString::number(newPort));
    QTRY_COMPARE(ui.addressRow(), Ui::running(newPort));
    QCOMPARE(window.webServer()->getState(), 1);
    QCOMPARE(window.webServer()->serverPort(), newPort);
    QCOMPARE(Configuration("config.dat").getParam(ParamPort, -1), int(newPort));
    QCOMPARE(RawClient::exchange(newPort, get("/hello.txt")).statusCode(), 202);
    RawClient client;
    QVERIFY(!client.connectTo(oldPort, QHostAddress(QHostAddress::LocalHost), 2000));
}

void tst_MainWindow::portChangeWhileRunning()
{
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ui.start->click();
    const quint16 oldPort = window.webServer()->serverPort();

    const quint16 newPort = freePort();
    QSignalSpy started(window.webServer(), &WebServer::started);
    applyPort(newPort);
    QTRY_VERIFY(started.count() >= 2); // moved by the server, then restarted by the window
    QCOMPARE(window.webServer()->getState(), 1);
    QCOMPARE(window.webServer()->serverPort(), newPort);
    QCOMPARE(ui.start->text(), QStringLiteral("&Stop"));
    QCOMPARE(ui.addressRow(), Ui::running(newPort));

    QCOMPARE(RawClient::exchange(newPort, get("/hello.txt")).statusCode(), 202);
    RawClient client;
    QVERIFY(!client.connectTo(oldPort, QHostAddress(QHostAddress::LocalHost), 2000));
}

void tst_MainWindow::portChangeWhileStopped()
{
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);

    const quint16 newPort = freePort();
    applyPort(newPort);
    QTRY_COMPARE(ui.addressRow(), QStringLiteral("None %1").arg(newPort));
    QCOMPARE(window.webServer()->getState(), 0);
    QCOMPARE(ui.start->text(), QStringLiteral("&Start"));
}

void tst_MainWindow::dataLimitBox_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<QString>("text");

    QTest::addRow("example") << qint64(5000000) << qint64(4990123) << qint64(12345)
                             << "Max. data limit: 5000 KB reached\nServer stopped.\n"
                                "Sent bytes: 4990 KB\nReceived bytes: 12 KB";
    // Totals past 2 GB and 4 GB, where 32-bit totals wrap.
    QTest::addRow("above 2 GB") << qint64(3000000000) << qint64(2999999000) << qint64(2147484648)
                                << "Max. data limit: 3000000 KB reached\nServer stopped.\n"
                                   "Sent bytes: 2999999 KB\nReceived bytes: 2147484 KB";
    QTest::addRow("above 4 GB") << qint64(10000000000) << qint64(5000000000) << qint64(5000001000)
                                << "Max. data limit: 10000000 KB reached\nServer stopped.\n"
                                   "Sent bytes: 5000000 KB\nReceived bytes: 5000001 KB";
}

void tst_MainWindow::dataLimitBox()
{
    QFETCH(qint64, limit);
    QFETCH(qint64, sent);
    QFETCH(qint64, received);
    QFETCH(QString, text);
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ui.start->click();
    QCOMPARE(window.webServer()->getState(), 1);

    TarnwickSocket::Limit = limit;
    TarnwickSocket::Sent = sent;
    TarnwickSocket::Received = received;
    ModalWatch watch;
    QString shownText;
    watch.then([&](QWidget *box) {
        // Already stopped while the box is up.
        shownText = window.webServer()->getState() == 0 ? ui.start->text() : QStringLiteral("running");
        ModalWatch::press(QMessageBox::Ok)(box);
    });
    // The way the sockets' signal arrives: through the server.
    Q_EMIT window.webServer()->dataLimit();
    TarnwickSocket::Limit = 0;

    QCOMPARE(watch.seen(), 1);
    QCOMPARE(watch.texts.first(), text);
    QCOMPARE(watch.icons.first(), QMessageBox::Critical);
    QCOMPARE(watch.formats.first(), Qt::PlainText);
    QCOMPARE(shownText, QStringLiteral("&Start"));
    QCOMPARE(ui.addressRow(), QStringLiteral("None 0"));
}

void tst_MainWindow::dataLimitStopsARealTransfer()
{
    settings()->setParam(ParamDataLimit, 50); // KB
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    settings()->setParam(ParamDataLimit, 0);
    ui.start->click();

    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::Ok));
    const RawResponse response = RawClient::exchange(window.webServer()->serverPort(), get("/big.bin"));
    QVERIFY(response.body.size() < 200000);
    QTRY_COMPARE(watch.seen(), 1);
    TarnwickSocket::Limit = 0;

    static const QRegularExpression text(
        QStringLiteral("^Max. data limit: 50 KB reached\nServer stopped.\nSent bytes: (\\d+) KB\nReceived "
                       "bytes: (\\d+) KB$"));
    const QRegularExpressionMatch match = text.match(watch.texts.first());
    QVERIFY2(match.hasMatch(), qPrintable(watch.texts.first()));
    QVERIFY(match.captured(1).toInt() + match.captured(2).toInt() >= 49);
    QCOMPARE(window.webServer()->getState(), 0);
    QCOMPARE(ui.start->text(), QStringLiteral("&Start"));
}

void tst_MainWindow::serverErrorShowsAWarning()
{
    TarnwickWebServer window(nullptr);
    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::Ok));
    Q_EMIT window.webServer()->error(QStringLiteral("Upload"), QStringLiteral("Can't write <b>a.txt</b>"));
    QCOMPARE(watch.seen(), 1);
    QCOMPARE(watch.titles.first(), QStringLiteral("Upload"));
    QCOMPARE(watch.texts.first(), QStringLiteral("Can't write <b>a.txt</b>"));
    QCOMPARE(watch.formats.first(), Qt::PlainText);
}

void tst_MainWindow::exitQuestion_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("warnings");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("asks");
    QTest::addColumn<bool>("closes");

    QTest::addRow("running, stay") << true << true << int(QMessageBox::No) << true << false;
    QTest::addRow("running, exit") << true << true << int(QMessageBox::Yes) << true << true;
    QTest::addRow("running, warnings off") << true << false << 0 << false << true;
    QTest::addRow("stopped") << false << true << 0 << false << true;
}

void tst_MainWindow::exitQuestion()
{
    QFETCH(bool, running);
    QFETCH(bool, warnings);
    QFETCH(int, answer);
    QFETCH(bool, asks);
    QFETCH(bool, closes);
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    if (running)
        ui.start->click();
    settings()->setParam(ParamWarningMode, warnings ? 1 : 0);

    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::StandardButton(answer)));
    QCOMPARE(window.close(), closes);
    QCOMPARE(watch.seen(), asks ? 1 : 0);
    if (asks) {
        QCOMPARE(watch.titles.first(), QStringLiteral("The server is running."));
        QCOMPARE(watch.texts.first(), QStringLiteral("Do you want to exit?"));
    }
    QCOMPARE(window.isVisible(), !closes);
    QCOMPARE(window.webServer()->getState(), running ? 1 : 0);

    // The Exit button asks the same.
    if (!closes) {
        watch.then(ModalWatch::press(QMessageBox::Yes));
        ui.exit->click();
        QCOMPARE(watch.seen(), 2);
        QVERIFY(!window.isVisible());
    }
}

void tst_MainWindow::view_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("portPart");

    QTest::addRow("port 80") << 80 << "";
    QTest::addRow("port 8080") << 8080 << ":8080";
}

void tst_MainWindow::view()
{
    QFETCH(int, port);
    QFETCH(QString, portPart);
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ui.start->click();
    settings()->setParam(ParamPort, port);
    // No row selected: the first one.
    const QString url = QLatin1String("http://") + listenAddresses(interfaceEntries()).first() + portPart;

    ui.view->click();
    // The path link does the same, whatever it links to.
    Q_EMIT ui.path->linkActivated(QStringLiteral("/somewhere/else"));
    QCOMPARE(recorder.opened, QList<QUrl>({QUrl(url), QUrl(url)}));
}

void tst_MainWindow::viewSelectedRow()
{
    FakeService service;
    const QByteArray reply
        = "checked: success" + QByteArray(20, '.') + " on 203.0.113.7 \"" + QByteArray(20, '.');
    service.answer("/tools/open-ports/check.php", reply);
    OutsideServices::setServiceBases(service.base(), service.base());
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ui.start->click();
    QTRY_COMPARE(ui.addressRow(), Ui::running(0) + QStringLiteral(", 203.0.113.7 0"));
    settings()->setParam(ParamPort, 8080);

    ui.addresses->selectRow(ui.addresses->rowCount() - 1);
    ui.view->click();
    QCOMPARE(recorder.opened, QList<QUrl>({QUrl(QStringLiteral("http://203.0.113.7:8080"))}));
}

void tst_MainWindow::help()
{
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ui.help->click();
    ui.helpMenu->actions().first()->trigger();
    const QUrl page = QUrl::fromLocalFile(helpPage());
    QCOMPARE(recorder.opened, QList<QUrl>({page, page}));
}

void tst_MainWindow::about()
{
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::Ok));
    ui.helpMenu->actions().at(1)->trigger();

    QCOMPARE(watch.seen(), 1);
    QCOMPARE(watch.titles.first(), QStringLiteral("About Tarnwick Web Server"));
    const QString notice = QCoreApplication::translate("TarnwickWebServer", "r4");
    QCOMPARE(
        watch.texts.first(),
        QStringLiteral("Version: 1.5.6<br>") + notice
            + QStringLiteral("<br>Contact: <a href=\"mailto:tarnwick@example.org\">tarnwick@example.org</a>"
                             "<br>Homepage: <a href=\"https://example.org/tarnwick\">"
                             "https://example.org/tarnwick</a>"));
}

void tst_MainWindow::networkChange_data()
{
    QTest::addColumn<bool>("online");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("warnings");
    QTest::addColumn<QString>("text"); // empty: no box

    QTest::addRow("on-line") << true << true << true << "The server is accessible on the new IP address!";
    QTest::addRow("off-line") << false << true << true
                              << "The server is not accessible on the removed IP address!";
    QTest::addRow("warnings off") << true << true << false << QString();
    QTest::addRow("stopped") << false << false << true << QString();
}

void tst_MainWindow::networkChange()
{
    QFETCH(bool, online);
    QFETCH(bool, running);
    QFETCH(bool, warnings);
    QFETCH(QString, text);
    saveState(0, shared.filePath(QStringLiteral("folder")));
    TarnwickWebServer window(nullptr);
    Ui ui(&window);
    if (running)
        ui.start->click();
    settings()->setParam(ParamWarningMode, warnings ? 1 : 0);

    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::Ok));
    if (online)
        window.OnLine();
    else
        window.OffLine();
    // The call returns at once: a caller on the bus does not wait for the owner.
    QCOMPARE(watch.seen(), 0);
    if (text.isEmpty()) {
        QTest::qWait(200);
        QCOMPARE(watch.seen(), 0);
    } else {
        QTRY_COMPARE(watch.seen(), 1);
        QCOMPARE(watch.titles.first(), QStringLiteral("Network connection changed"));
        QCOMPARE(watch.texts.first(), text);
        QCOMPARE(watch.icons.first(), QMessageBox::Warning);
    }
    QCOMPARE(window.webServer()->getState(), running ? 1 : 0);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
