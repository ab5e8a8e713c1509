#pragma once

#include "base/lockedvalue.h"
#include "loginguard.h"
#include "pages/html_element_manager.h"
#include "requestrecord.h"

#include <QByteArray>
#include <QFileInfo>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <optional>

class HTTP_Request;
class QHostAddress;

/*!
    Serves the one request of each connection it is given, one connection after the other:
    a thread is started once and then waits for the next connection instead of ending,
    which spares a thread's start and end per request. It asks its owner for each
    connection (see NextConnection); when the owner has none for it in time, it ends.
*/
class ServerThread : public QThread
{
    Q_OBJECT

public:
    // What a connection brings from the owner's thread when it is handed over.
    struct Connection
    {
        qintptr descriptor = -1;
        // The client's address as the status line shows it.
        QString client;
        // The names the Host of a request may give besides addresses and "localhost".
        QStringList hosts;
        int authMode = 0;
        // The time the connection has for its request head, and the pace of a body.
        int headWaitMs = 0;
        int bodyWaitMs = 0;
        // Files open in the browser: shown types, ranges and HEAD are served.
        bool inlineFiles = false;
        // Whether served() is emitted, and newConnection() (only for a client other than the
        // one announced last).
        bool recording = false;
        bool announce = false;
    };
    // Called on the thread at its start and after each connection: the next connection, or
    // nothing when the thread is to end.
    using NextConnection = std::function<std::optional<Connection>(ServerThread *)>;
    // Called on the thread as soon as its connection is closed, before the log hears of it.
    using Closed = std::function<void(ServerThread *)>;

    ServerThread(NextConnection next, Closed closed, QObject *parent);
    ~ServerThread() override;

    // Makes this connection the thread's next one (the owner's lock held): from here on
    // abortConnection() and closeIfWaiting() act on it.
    void take(const Connection &connection);

    // Ends the connection at once from another thread: the thread's blocked reads and
    // writes return, it sees the stop flag and finishes the connection.
    void abortConnection();

    // From another thread: ends the connection if it is still waiting for its request head,
    // so that it is never served. False when its head has come (or its time ran out).
    bool closeIfWaiting();
    // closeIfWaiting() ended the connection.
    bool closedWhileWaiting() const { return headPhase == HeadPhase::Closed; }

    HTTP_Request *request;

    // An address as the status line shows it: dotted IPv4 also for a mapped IPv6 address.
    static QString peerName(const QHostAddress &address);

    // What is shared: the shared folder, the shared file, or in Get Files mode the
    // upload page. Written by the GUI thread, read by every connection.
    static LockedValue<QFileInfo> fileInfo;
    // The window's operating mode, a Sharing::Mode; the connections tell the modes apart
    // by fileInfo alone.
    static int OperatingMode;
    // The cells of the thumbnail listing and the worker that scales the photos.
    static HTML_Element_Manager HTML_Manager;
    // The failed logins of every client address.
    static LoginGuard loginGuard;

Q_SIGNALS:
    void newConnection(const QString &address);
    // Something the owner should know of; title and text are plain text.
    void error(const QString &title, const QString &msg);
    // A request was answered (only when Connection::recording asks for it).
    void served(const RequestRecord &record);

protected:
    void run() override;

private:
    void serve(const Connection &connection);
    // Answers the request whose head was read.
    void handle();
    bool accept();
    // Whether a login with these credentials is let in, and what it teaches the guard.
    bool login(bool attempt, bool accepted);
    void refuse();
    // Answers "403 Forbidden" with this page.
    void forbid(const QByteArray &page);
    void answer(const QByteArray &path);
    void sendHeader(const QByteArray &status, const QByteArray &last);
    QByteArray header(const QByteArray &status, const QByteArray &last);
    // Writes an answer in one piece: its header, and the body unless the request asked for
    // the header alone.
    void sendAnswer(const QByteArray &status, const QByteArray &last, const QByteArray &body);
    // One of the pages that answer an upload; also after a stop, which cut it short.
    // note: what it came to, for the log.
    void uploadAnswer(const char *page, const QByteArray &status, const QString &note);
    void notFound(const QByteArray &file);
    // orElse: sent instead when the file does not exist; empty for the not-found page.
    void sendFile(const QByteArray &path, const QByteArray &status, const QByteArray &type,
                  const QByteArray &orElse = QByteArray());
    void sendDir(const QByteArray &folder);
    void saveFile();
    // One of the server's own pages, as UTF-8 HTML.
    void sendPage(const char *name, const QByteArray &status);

    NextConnection nextConnection;
    Closed closed;
    // The connection being served.
    Connection connection;
    // What the answer was, for served().
    RequestRecord record;
    // The client's address as the status line shows it.
    QString peerText;
    // The request is a HEAD: every answer is its header alone.
    bool headOnly = false;

    // This connection's answer; parallel connections of one browser each have their own.
    qint64 responseLength = 0;
    QByteArray responseType;

    // Whether the connection still waits for its request head. The thread and
    // closeIfWaiting() each try to move it on from Waiting; the one that does decides
    // whether the request is served.
    enum class HeadPhase { Waiting, Over, Closed };
    std::atomic<HeadPhase> headPhase {HeadPhase::Waiting};

    // Guards the descriptor against being shut down after the thread closed it (the
    // number could already belong to another connection by then).
    QMutex descriptorMutex;
    qintptr descriptor = -1;
};
