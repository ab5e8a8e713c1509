#pragma once

#include <QIcon>
#include <QMainWindow>

class AddressList;
class Configuration;
class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class SLinkLabel;
class WebServer;

// The program's only main window and its controller: it chooses the operating mode and
// what is shared, starts and stops the server and shows where it can be reached. It is
// published on the session bus at "/"; only its scriptable slots are reachable there.
class TarnwickWebServer : public QMainWindow
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.vardle.WebServer")

public:
    // argument: the first command-line argument left after the toolkit took its own
    // options, or null. Exactly "root" turns root mode on.
    explicit TarnwickWebServer(const char *argument);
    // Stops the server and saves the operating mode and the shared path.
    ~TarnwickWebServer() override;

    // Starts the server after the questions about the password and the download folder.
    void start();
    void stop();
    void setOperatingMode(int mode);
    // The Start button's state; enable says whether there is something to share.
    void setButtons(bool enable);
    // Shares the folder or file at path (the choosers and the recent files end here);
    // an empty path, a cancelled choice, changes nothing.
    void fileOrDirSelected(const QString &path);

    WebServer *webServer() const { return server; }

private Q_SLOTS:
    void browse();
    void help();
    void startButtonPressed();
    void view();
    // The selected address as a QR code, for a phone to open.
    void showQrCode();
    void config();
    void opeatingModeChanged(int mode);
    void aboutQt();
    void about();
    void openRecentFile();

public Q_SLOTS:
    void configurationChanged(Configuration *next);
    // The Exit button: asks first while the server runs. False when the owner stays.
    bool close();
    // The data limit was reached: stops the server and reports the totals.
    void dataLimit();
    void linkActivated(const QString &link);

    // Called over the bus when the device's network connection goes down or comes up.
    Q_SCRIPTABLE void OffLine();
    Q_SCRIPTABLE void OnLine();
    // Brings the window to the front; always answers 0.
    Q_SCRIPTABLE int top_application();

private:
    QPushButton *createButton(const QString &text, void (TarnwickWebServer::*slot)(), const char *iconName);
    void createLandscape();
    void updateRecentFileActions();
    void setCurrentFile(const QString &path);
    void networkChanged(bool online);
    // Opens the settings dialog on a page, or turns the open one to it.
    void showSettings(int page);
    void portChanged();
    void settingsUnreadable();
    bool warningsOn() const;

    static constexpr int MaxRecentFiles = 4;

    // The current configuration.
    Configuration *settings;
    SLinkLabel *pathLabel;
    QLabel *statusWidget;
    QIcon playIcon;
    QIcon stopIcon;
    AddressList *addressList;
    QPushButton *helpButton;
    QComboBox *modeBox;
    QPushButton *browseButton;
    QPushButton *configButton;
    QPushButton *startButton;
    QPushButton *viewButton;
    QPushButton *qrButton;
    QAction *qrAction;
    QPushButton *exitButton;
    WebServer *server;
    QMenu *fileMenu;
    QMenu *helpMenu;
    QAction *configAction;
    QAction *aboutAction;
    QAction *helpAction;
    QAction *aboutQtAction;
    QAction *recentSeparator;
    QAction *recentFileActions[MaxRecentFiles];
};
