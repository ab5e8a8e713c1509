#include "eventhandler.h"

#include "server/tarnwicksocket.h"

#include <QLabel>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

namespace {
constexpr int RefreshMs = 2000;
// Traffic is shown in KB of 1000 bytes.
constexpr qint64 BytesPerKB = 1000;
} // namespace

EventHandler *EventHandler::eventHandler = nullptr;
QString EventHandler::lastAddress;

EventHandler::EventHandler(QWidget *parent)
    : QObject(parent)
    , timer(new QTimer(this))
    , parentWindow(parent)
    , statusLabel(new QLabel)
{
    connect(timer, &QTimer::timeout, this, &EventHandler::sendDataInfo);
    statusLabel->setTextFormat(Qt::RichText);
}

EventHandler::~EventHandler()
{
    timer->stop();
    delete timer;
    // Normally the window's layout has adopted the line and deletes it.
    if (statusLabel && !statusLabel->parent())
        delete statusLabel;
    if (eventHandler == this)
        eventHandler = nullptr;
}

void EventHandler::startTimer()
{
    timer->start(RefreshMs);
}

void EventHandler::stopTimer()
{
    timer->stop();
}

void EventHandler::msg(const QString &title, const QString &msg)
{
    // Boxes are widgets and live on the GUI thread; a direct call from elsewhere is
    // handed over instead of touching the queue.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, title, msg] { this->msg(title, msg); }, Qt::QueuedConnection);
        return;
    }
    // A box is open, and this call came through its event loop: the open box's caller
    // shows it once that box is closed. Waiting for the lock here would never end.
    if (!mutex.tryLock()) {
        pending.append({title, msg});
        return;
    }
    QPointer<EventHandler> self(this);
    showWarning(title, msg);
    while (self && !pending.isEmpty()) {
        const QPair<QString, QString> next = pending.takeFirst();
        showWarning(next.first, next.second);
    }
    if (self)
        mutex.unlock();
}

void EventHandler::showWarning(const QString &title, const QString &text)
{
    // On the heap: if the window goes while the box is open, the box goes with it.
    QPointer<QMessageBox> box
        = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, parentWindow);
    box->setTextFormat(Qt::PlainText);
    box->exec();
    delete box;
}

void EventHandler::newConnection(const QString &address)
{
    if (address == lastAddress)
        return;
    timer->stop();
    lastAddress = address;
    sendDataInfo();
}

void EventHandler::statusmsg(const QString &msg)
{
    statusLabel->setText(QLatin1String("<center>") + msg + QLatin1String("</center>"));
}

void EventHandler::sendDataInfo()
{
    if (!lastAddress.isEmpty()) {
        // 64-bit all the way: the totals pass 2 GB on a busy day.
        const qint64 total = TarnwickSocket::Sent.load() + TarnwickSocket::Received.load();
        statusLabel->setText(QLatin1String("<center>") + tr("%1").arg(total / BytesPerKB)
                             + QLatin1String("KB ") + tr("Last connection") + QLatin1String(": ")
                             + lastAddress.toHtmlEscaped() + QLatin1String("</center>"));
    }
    timer->start(RefreshMs);
}
