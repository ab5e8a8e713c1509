#include "serverthread.h"

#include "access.h"
#include "config/configuration.h"
#include "contenttype.h"
#include "http_request.h"
#include "http_session.h"
#include "limits.h"
#include "multipart.h"
#include "pages/folderpage.h"
#include "pages/html.h"
#include "protocol.h"
#include "requestparser.h"
#include "route.h"
#include "sharing.h"
#include "tarnwicksocket.h"
#include "base/threadsanitizer.h"
#include "uploadfile.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QStorageInfo>

#include <sys/socket.h>
#include <unistd.h>

LockedValue<QFileInfo> ServerThread::fileInfo;
int ServerThread::OperatingMode = 0;
HTML_Element_Manager ServerThread::HTML_Manager;

namespace {

// The answers to an upload, in the page folder.
const char UploadOkPage[] = "upload_ok.html";
const char UploadErrorPage[] = "upload_err.html";
const char ExistPage[] = "exist.html";

QString text(const QByteArray *value)
{
    return value ? QString::fromLocal8Bit(*value) : QString();
}

// The peer as the status line shows it: dotted IPv4 also for a mapped IPv6 address.
QString addressText(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

ServerThread::ServerThread(qintptr socketDescriptor, QObject *parent)
    : QThread(parent)
    , request(new HTTP_Request)
    , socketDescriptor(socketDescriptor)
    , authMode(Configuration::getCurrentConfig()->getParam(ParamAuthMode, ReadDefault::AuthMode))
    , headWaitMs(Limits::RequestWaitMs)
{
    request->moveToThread(this);
    // On the connection's thread, the last of our code there.
    connect(this, &QThread::finished, this, qOverload<>(&ServerThread::end), Qt::DirectConnection);
}

ServerThread::~ServerThread()
{
    // The owner deletes the thread once end() has told it the thread is done; wait()
    // lets the thread also leave Qt's own finishing code.
    wait();
    ThreadSanitizer::happensAfter(this);
    disconnect();
    delete request;
}

void ServerThread::abortConnection()
{
    QMutexLocker locker(&descriptorMutex);
    if (descriptorOpen)
        ::shutdown(int(socketDescriptor), SHUT_RDWR);
}

bool ServerThread::closeIfWaiting()
{
    HeadPhase waiting = HeadPhase::Waiting;
    if (!headPhase.compare_exchange_strong(waiting, HeadPhase::Closed))
        return false;
    abortConnection();
    return true;
}

void ServerThread::end()
{
    Q_EMIT end(this);
    // Qt hands the signal over to the owner's thread, and the owner waits for this thread
    // before deleting it; the sanitizer sees neither, so the ordering is stated here.
    ThreadSanitizer::happensBefore(this);
}

void ServerThread::run()
{
    TarnwickSocket *socket = request->socket;
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        Q_EMIT error(tr("Server error"), socket->errorString());
        QMutexLocker locker(&descriptorMutex);
        descriptorOpen = false;
        ::close(int(socketDescriptor));
        return;
    }

    const QHostAddress peer = socket->peerAddress();
    if (!peer.isNull()) {
        Q_EMIT newConnection(addressText(peer));
        const bool complete = request->start(headWaitMs);
        HeadPhase waiting = HeadPhase::Waiting;
        const bool stillOpen = headPhase.compare_exchange_strong(waiting, HeadPhase::Over);
        if (complete && stillOpen) {
            if (!accept()) {
                refuse();
            } else {
                HTTP_Session *session = request->session;
                QString path = RequestParser::decodedPath(session->url);
                if (session->method == RequestParser::Post && session->contentLength != 0) {
                    // A body nobody asked for gets no answer. Only in Get Files mode did the
                    // owner ask for files; in the others an upload gets the not-found page
                    // and its body is only drained by the close.
                    if (path == QLatin1String(Http::PathUpload)) {
                        if (Sharing::receivesFiles(fileInfo.load()))
                            saveFile();
                        else
                            notFound(path);
                    }
                } else {
                    if (session->method == RequestParser::Post && path == QLatin1String(Http::PathLogin)) {
                        path = QLatin1String(Http::PathRoot);
                        // A login starts a new session, so an id seen before it is worth nothing.
                        if (authMode == AuthPassword && request->sentPassword)
                            HTTP_Request::sessionManager.renewId(session);
                    }
                    answer(path);
                }
            }
            // Only an answer is worth the wait for the browser to hang up; a connection
            // without a whole request in time gets none and is cut at once below.
            request->close();
        }
    }

    QMutexLocker locker(&descriptorMutex);
    descriptorOpen = false;
    socket->abort();
}

bool ServerThread::accept()
{
    switch (authMode) {
    case AuthNone:
        return true;
    case AuthPassword:
        return Access::passwordAccepted(request->session->password, Configuration::Password.load());
    case AuthBasic:
        return Access::basicAccepted(request->credentials, request->hasCredentials,
                                     Configuration::getCurrentConfig()->userList());
    default:
        return false;
    }
}

void ServerThread::refuse()
{
    if (authMode == AuthBasic) {
        responseLength = 0;
        responseType = Http::TypeHtml;
        sendHeader(Http::StatusUnauthorized, Http::BasicChallenge);
        TarnwickSocket *socket = request->socket;
        socket->write(Http::Crlf);
        socket->write("<h1>");
        socket->writeTranslatedUtf8("Wrong password");
        socket->write("</h1>");
        return;
    }
    sendFile(text(Configuration::LangPath) + QLatin1String("login.html"), Http::StatusOk, Http::TypeHtmlUtf8);
}

void ServerThread::answer(const QString &path)
{
    const QFileInfo target = fileInfo.load();
    const QString thumbnails = HTML_Manager.thumbnailFolder();
    const Route::Shared shared {
        target.absoluteFilePath(),
        target.isFile(),
        Sharing::receivesFiles(target),
        text(Configuration::IconDir),
        thumbnails.isEmpty() ? QString() : thumbnails + QLatin1Char('/'),
        Configuration::getCurrentConfig()->getParam(ParamThumbnailView, ReadDefault::ThumbnailView) == 1,
    };
    const Route::Answer answer = Route::answer(path, shared);
    switch (answer.kind) {
    case Route::Kind::File:
        sendFile(answer.path, Http::StatusOk, QByteArray(), answer.orElse);
        break;
    case Route::Kind::Listing:
        sendDir(answer.path);
        break;
    case Route::Kind::NotFound:
        notFound(answer.path);
        break;
    }
}

void ServerThread::sendHeader(const QByteArray &status, const QByteArray &last)
{
    QByteArray header;
    header.reserve(256 + last.size());
    header.append(Http::Version).append(status).append(Http::Crlf);
    header.append(Http::ServerLine).append(Http::Crlf);
    if (responseLength > 0)
        header.append(Http::ContentLengthPrefix)
            .append(QByteArray::number(responseLength))
            .append(Http::Crlf);
    if (!responseType.isEmpty())
        header.append(Http::ContentTypePrefix).append(responseType).append(Http::Crlf);
    header.append(Http::SetCookiePrefix).append(request->session->cookieValue()).append(Http::Crlf);
    header.append(Http::ConnectionClose).append(Http::Crlf);
    header.append(last).append(Http::Crlf);
    request->socket->write(header);
}

void ServerThread::notFound(const QString &file)
{
    responseLength = 0;
    responseType = Http::TypeHtml;
    sendHeader(Http::StatusNotFound, QByteArray());
    request->socket->write(Html::notFoundPage(RequestParser::decodedPath(request->session->url), file));
}

void ServerThread::sendFile(const QString &path, const QByteArray &status, const QByteArray &type,
                            const QString &orElse)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        if (orElse.isEmpty())
            notFound(path);
        else
            sendFile(orElse, status, type);
        return;
    }
    // Only regular files: a folder has no bytes, and a pipe or device could hang the thread.
    if (!info.isFile()) {
        notFound(path);
        return;
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        responseLength = 0;
        sendHeader(Http::StatusCantRead, QByteArray());
        return;
    }

    responseLength = file.size();
    QByteArray last;
    if (type.isEmpty()) {
        const ContentType::Entry entry = ContentType::forFileName(info.fileName());
        responseType = entry.type;
        if (entry.attachment)
            last = ContentType::attachmentLine(info.fileName());
    } else {
        responseType = type;
    }
    sendHeader(status, last);
    request->socket->sendFile(&file);
}

void ServerThread::sendDir(const QString &folder)
{
    if (!QFileInfo(folder).isDir()) {
        notFound(folder);
        return;
    }

    const bool thumbnails
        = Configuration::getCurrentConfig()->getParam(ParamThumbnailView, ReadDefault::ThumbnailView) == 1;
    const FolderPage::Listing listing
        = thumbnails ? FolderPage::thumbnailListing(folder, HTML_Manager) : FolderPage::plainListing(folder);

    responseLength = 0;
    responseType = Http::TypeHtmlUtf8;
    sendHeader(Http::StatusOk, QByteArray());
    request->socket->write(
        FolderPage::page(listing.rows, listing.allReady,
                         thumbnails ? FolderPage::thumbnailBody() : QByteArray(FolderPage::PlainBody),
                         fileInfo.load().absoluteFilePath()));
}

void ServerThread::sendPage(const char *name, const QByteArray &status)
{
    sendFile(text(Configuration::LangPath) + QLatin1String(name), status, Http::TypeHtmlUtf8);
}

void ServerThread::saveFile()
{
    HTTP_Session *session = request->session;
    const QByteArray boundary = Multipart::boundary(session->contentType);
    if (boundary.isEmpty()) {
        sendPage(UploadErrorPage, Http::StatusServerError);
        return;
    }

    // The file's name is in the body, so a client that waits is let go on here; a refusal
    // before this point (access, mode, body type) comes without it.
    request->sendContinue();
    const Multipart::PartHeadResult part = request->readPartHead(boundary);
    if (part.status != Multipart::Status::Complete) {
        sendPage(UploadErrorPage, Http::StatusServerError);
        return;
    }
    const std::optional<QString> sentName = Multipart::fileName(part.head.disposition);
    const std::optional<QString> name = sentName ? Multipart::storedName(*sentName) : std::nullopt;
    if (!name) {
        sendPage(UploadErrorPage, Http::StatusServerError);
        return;
    }

    // Told before the body is read; the temporary file's rename decides a late clash.
    const QString folder = Configuration::DownloadDir.load().absoluteFilePath();
    const QString target = folder + QLatin1Char('/') + *name;
    const QFileInfo existing(target);
    if (existing.exists() || existing.isSymLink()) {
        sendPage(ExistPage, Http::StatusOk);
        return;
    }

    // The warnings are plain text; the name may hold anything a browser sends. They say
    // where the file was to go and why it could not.
    const auto failed = [&](const QString &reason) {
        return tr("File: %1").arg(*name) + QLatin1Char('\n') + tr("Folder: %1").arg(folder)
            + QLatin1Char('\n') + tr("Error: %1").arg(reason);
    };
    UploadFile upload(folder);
    if (!upload.create()) {
        Q_EMIT error(tr("File save error"), failed(upload.errorString()));
        sendPage(UploadErrorPage, Http::StatusServerError);
        return;
    }
    const TarnwickSocket::SaveResult saved = request->socket->saveFile(
        upload.file(), request->bodyStart, session->contentLength, Multipart::delimiter(boundary));
    switch (saved) {
    case TarnwickSocket::SaveResult::Stored:
        request->unreadBody = 0;
        break;
    case TarnwickSocket::SaveResult::WriteFailed:
        // How much of the file had been stored, and the room left where it went.
        Q_EMIT error(tr("File save error"),
                     tr("File: %1\nReaded bytes: %2\nAvailable bytes: %3")
                         .arg(*name, QString::number(upload.file()->size()),
                              QString::number(QStorageInfo(folder).bytesAvailable())));
        sendPage(UploadErrorPage, Http::StatusServerError);
        return;
    case TarnwickSocket::SaveResult::Stopped:
        // Nothing is sent once the server has stopped.
        return;
    case TarnwickSocket::SaveResult::Incomplete:
    case TarnwickSocket::SaveResult::NoDelimiter:
        // The browser did not upload a file; there is nothing to tell the owner.
        sendPage(UploadErrorPage, Http::StatusServerError);
        return;
    }

    switch (upload.keep(target)) {
    case UploadFile::Keep::Kept:
        sendPage(UploadOkPage, Http::StatusOk);
        break;
    case UploadFile::Keep::NameTaken:
        sendPage(ExistPage, Http::StatusOk);
        break;
    case UploadFile::Keep::Failed:
        Q_EMIT error(tr("File save error"), failed(upload.errorString()));
        sendPage(UploadErrorPage, Http::StatusServerError);
        break;
    }
}
