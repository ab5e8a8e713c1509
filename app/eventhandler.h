#pragma once

#include <QLabel>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

class QTimer;
class QWidget;

// The status hub between the server and the window: the status line at the bottom of
// the window, with the traffic summary refreshed while the server runs, and the warning
// boxes for errors the server reports. One per process, created by the window.
class EventHandler : public QObject
{
    Q_OBJECT

public:
    // parent is the window; it parents the warning boxes.
    explicit EventHandler(QWidget *parent);
    ~EventHandler() override;

    // The traffic refresh runs while the server runs.
    void startTimer();
    void stopTimer();

    // The status line, created without a parent: the window places it and owns it.
    QLabel *getStatusWidget() const { return statusLabel; }

    static EventHandler *eventHandler;
    // The address of the last browser that connected; empty until one does.
    static QString lastAddress;

public Q_SLOTS:
    // A warning box with one OK button. The text is shown as it is, never as markup:
    // it may carry file names and other text that a browser chose. One box at a time;
    // a message that comes while a box is open is shown after it.
    void msg(const QString &title, const QString &msg);
    void newConnection(const QString &address);
    void statusmsg(const QString &msg);
    void sendDataInfo();

private:
    void showWarning(const QString &title, const QString &text);

    QTimer *timer;
    QWidget *parentWindow;
    QPointer<QLabel> statusLabel;
    // Held while a box of msg() is open.
    QMutex mutex;
    // Messages that came while a box was open, oldest first. GUI thread only.
    QList<QPair<QString, QString>> pending;
};
