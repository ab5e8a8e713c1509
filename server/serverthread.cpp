#include "serverthread.h"

#include "access.h"
#include "base/threadsanitizer.h"
#include "byterange.h"
#include "config/configuration.h"
#include "contenttype.h"
#include "http_request.h"
#include "http_session.h"
#include "limits.h"
#include "multipart.h"
#include "pagecache.h"
#include "pages/folderpage.h"
#include "pages/html.h"
#include "protocol.h"
#include "requestparser.h"
#include "route.h"
#include "sharing.h"
#include "tarnwicksocket.h"
#include "uploadfile.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QScopeGuard>
#include <QStorageInfo>

#include <chrono>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

LockedValue<QFileInfo> ServerThread::fileInfo;
int ServerThread::OperatingMode = 0;
HTML_Element_Manager ServerThread::HTML_Manager;
LoginGuard ServerThread::loginGuard;

namespace {
PageCache listings(Limits::ListingKeepMs);
} // namespace

QString ServerThread::peerName(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

namespace {

// The answers to an upload, in the page folder.
const char LoginPage[] = "login.html";
const char UploadOkPage[] = "upload_ok.html";
const char UploadErrorPage[] = "upload_err.html";
const char ExistPage[] = "exist.html";

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

ServerThread::ServerThread(NextConnection next, Closed closed, QObject *parent)
    : QThread(parent)
    , request(new HTTP_Request)
    , nextConnection(std::move(next))
    , closed(std::move(closed))
{
    request->moveToThread(this);
}

ServerThread::~ServerThread()
{
    // The owner deletes the thread once it has ended; wait() lets the thread also leave
    // Qt's own finishing code.
    wait();
    ThreadSanitizer::happensAfter(this);
    delete request;
}

void ServerThread::take(const Connection &connection)
{
    headPhase = HeadPhase::Waiting;
    QMutexLocker locker(&descriptorMutex);
    descriptor = connection.descriptor;
}

void ServerThread::abortConnection()
{
    QMutexLocker locker(&descriptorMutex);
    if (descriptor >= 0)
        ::shutdown(int(descriptor), SHUT_RDWR);
}

bool ServerThread::closeIfWaiting()
{
    HeadPhase waiting = HeadPhase::Waiting;
    if (!headPhase.compare_exchange_strong(waiting, HeadPhase::Closed))
        return false;
    abortConnection();
    return true;
}

void ServerThread::run()
{
    // The kernel's file copy has no "no signal" flag: the thread holds SIGPIPE back for
    // good, so that a browser that went away makes a send fail rather than end the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (std::optional<Connection> given = nextConnection(this); given; given = nextConnection(this))
        serve(*given);
    // The owner deletes the thread once it has ended, and waits for it in Qt; the sanitizer
    // does not see that wait, so the ordering is stated here.
    ThreadSanitizer::happensBefore(this);
}

void ServerThread::serve(const Connection &given)
{
    connection = given;
    record = RequestRecord();
    headOnly = false;
    responseLength = 0;
    responseType.clear();
    request->reset(connection.bodyWaitMs);
    TarnwickSocket *socket = request->socket;
    socket->open(int(connection.descriptor));

    peerText = connection.client;
    if (connection.announce)
        Q_EMIT newConnection(peerText);
    const bool complete = request->start(connection.headWaitMs, connection.inlineFiles);
    HeadPhase waiting = HeadPhase::Waiting;
    const bool stillOpen = headPhase.compare_exchange_strong(waiting, HeadPhase::Over);
    const bool answered = complete && stillOpen;
    if (answered) {
        handle();
        // Only an answer is worth the wait for the browser to hang up; a connection
        // without a whole request in time gets none and is cut at once below.
        request->endAnswer();
    }
    if (answered && connection.recording) {
        record.client = peerText;
        record.method = request->session->method == RequestParser::Post ? Http::MethodPost : Http::MethodGet;
        record.path = request->session->url.path(QUrl::FullyEncoded).toLatin1();
        record.sent = socket->sentHere();
    }
    request->finish();
    // Told just before the close rather than after it, so that a browser that connects
    // again as soon as it sees the end is not counted twice.
    closed(this);
    {
        QMutexLocker locker(&descriptorMutex);
        descriptor = -1;
        socket->abort();
    }
    if (answered && connection.recording)
        Q_EMIT served(record);
}

void ServerThread::handle()
{
    HTTP_Session *session = request->session;
    headOnly = session->method == RequestParser::Head;
    QByteArray path = RequestParser::decodedPath(session->url);
    const bool post = session->method == RequestParser::Post;
    const bool form = post && (path == Http::PathUpload || path == Http::PathLogin);
    if (TarnwickSocket::isStopped()) {
        // The server stopped, or the data limit was reached, as the request came.
        if (form && path == Http::PathUpload)
            uploadAnswer(UploadErrorPage, Http::StatusServerError,
                         QStringLiteral("refused: the server stopped"));
        return;
    }
    if (!Access::hostAccepted(request->host, connection.hosts)) {
        quint16 port = 0;
        const QHostAddress local = request->socket->localAddress(&port);
        forbid(Html::wrongHostPage(Sharing::address(peerName(local), port)));
        return;
    }
    if (form && Access::crossSite(request->origin, request->host, request->fetchSite)) {
        forbid(Html::crossSitePage());
        return;
    }
    if (!accept()) {
        refuse();
        return;
    }
    if (post && session->contentLength != 0) {
        // A body nobody asked for gets no answer. Only in Get Files mode did the owner ask
        // for files; in the others an upload gets the not-found page and its body is only
        // drained by the close.
        if (path == Http::PathUpload) {
            if (Sharing::receivesFiles(fileInfo.load()))
                saveFile();
            else
                notFound(QFile::encodeName(fileInfo.load().absoluteFilePath()) + path);
        }
        return;
    }
    if (post && path == Http::PathLogin) {
        path = Http::PathRoot;
        // A login starts a new session, so an id seen before it is worth nothing.
        if (connection.authMode == AuthPassword && request->sentPassword)
            HTTP_Request::sessionManager.renewId(session);
    }
    answer(path);
}

bool ServerThread::accept()
{
    switch (connection.authMode) {
    case AuthNone:
        return true;
    case AuthPassword:
        return login(request->sentPassword,
                     Access::passwordAccepted(request->session->password, Configuration::Password.load()));
    case AuthBasic:
        return login(request->hasCredentials,
                     Access::basicAccepted(request->credentials, request->hasCredentials,
                                           Configuration::getCurrentConfig()->userList()));
    default:
        return false;
    }
}

bool ServerThread::login(bool attempt, bool accepted)
{
    if (!attempt)
        return accepted;
    // A try that comes before the guard allows it is refused whatever it brings.
    const qint64 now = monotonicMs();
    if (!loginGuard.mayTry(peerText, now)) {
        record.note = QStringLiteral("login refused: too many tries");
        return false;
    }
    if (accepted) {
        loginGuard.succeeded(peerText);
    } else {
        loginGuard.failed(peerText, now);
        record.note = QStringLiteral("login refused");
    }
    return accepted;
}

void ServerThread::forbid(const QByteArray &page)
{
    responseLength = page.size();
    responseType = Http::TypeHtml;
    sendAnswer(Http::StatusForbidden, QByteArray(), page);
}

void ServerThread::refuse()
{
    if (connection.authMode == AuthBasic) {
        responseLength = 0;
        responseType = Http::TypeHtml;
        // The challenge is the header's last line; its end comes here.
        QByteArray answer = header(Http::StatusUnauthorized, Http::BasicChallenge) + Http::Crlf;
        if (!headOnly)
            answer += "<h1>" + tr("Wrong password").toUtf8() + "</h1>";
        request->socket->write(answer);
        return;
    }
    sendPage(LoginPage, Http::StatusOk);
}

void ServerThread::answer(const QByteArray &path)
{
    const QFileInfo target = fileInfo.load();
    const QString thumbnails = HTML_Manager.thumbnailFolder();
    const Route::Shared shared {
        QFile::encodeName(target.absoluteFilePath()),
        target.isFile(),
        Sharing::receivesFiles(target),
        *Configuration::IconDir,
        thumbnails.isEmpty() ? QByteArray() : QFile::encodeName(thumbnails) + '/',
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

void ServerThread::uploadAnswer(const char *page, const QByteArray &status, const QString &note)
{
    record.note = note;
    if (!TarnwickSocket::isStopped()) {
        sendPage(page, status);
        return;
    }
    // The server stopped, or the data limit was reached, during the upload: the browser
    // learns that nothing was kept while the connection still allows it.
    QFile file(QFile::decodeName(*Configuration::LangPath + page));
    const QByteArray body = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    responseLength = body.size();
    responseType = Http::TypeHtmlUtf8;
    request->socket->writeAfterStop(header(status, QByteArray()) + body);
    request->answeredAfterStop = true;
}

void ServerThread::sendHeader(const QByteArray &status, const QByteArray &last)
{
    request->socket->write(header(status, last));
}

void ServerThread::sendAnswer(const QByteArray &status, const QByteArray &last, const QByteArray &body)
{
    request->socket->write(headOnly ? header(status, last) : header(status, last) + body);
}

QByteArray ServerThread::header(const QByteArray &status, const QByteArray &last)
{
    record.status = status.left(3).toInt();
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
    return header;
}

void ServerThread::notFound(const QByteArray &file)
{
    responseLength = 0;
    responseType = Http::TypeHtml;
    sendAnswer(Http::StatusNotFound, QByteArray(),
               Html::notFoundPage(QString::fromUtf8(RequestParser::decodedPath(request->session->url)),
                                  QString::fromUtf8(file)));
}

void ServerThread::sendFile(const QByteArray &path, const QByteArray &status, const QByteArray &type,
                            const QByteArray &orElse)
{
    // By its bytes, so that a name that is not valid UTF-8 is found too. Links are followed.
    struct stat entry
    {
    };
    if (::stat(path.constData(), &entry) != 0) {
        if (orElse.isEmpty())
            notFound(path);
        else
            sendFile(orElse, status, type);
        return;
    }
    // Only regular files: a folder has no bytes, and a pipe or device could hang the thread.
    // Not blocking, and looked at again once open, in case another file took the name.
    const int fd = S_ISREG(entry.st_mode) ? ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    if (!S_ISREG(entry.st_mode) || (fd >= 0 && (::fstat(fd, &entry) != 0 || !S_ISREG(entry.st_mode)))) {
        if (fd >= 0)
            ::close(fd);
        notFound(path);
        return;
    }
    if (fd < 0) {
        responseLength = 0;
        sendHeader(Http::StatusCantRead, QByteArray());
        return;
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });

    const qint64 size = entry.st_size;
    QByteArray last;
    ByteRange::Answer range;
    // Only the shared files (those sent as their name's type) have parts; the server's own
    // pages are sent whole.
    if (connection.inlineFiles && type.isEmpty()) {
        // An If-Range names a version of the file, and the server gives its files none, so
        // none matches: the whole file is sent.
        range = ByteRange::resolve(request->hasIfRange ? QByteArray() : request->range, size);
        last = QByteArray(Http::AcceptRangesLine) + Http::Crlf;
        if (range.kind != ByteRange::Kind::Whole)
            last += Http::ContentRangePrefix + ByteRange::contentRange(range, size) + Http::Crlf;
        if (range.kind == ByteRange::Kind::Unsatisfiable) {
            responseLength = 0;
            sendHeader(Http::StatusRangeNotSatisfiable, last);
            return;
        }
    }
    const bool part = range.kind == ByteRange::Kind::Part;

    responseLength = part ? range.length : size;
    if (type.isEmpty()) {
        const QString name = QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1));
        const ContentType::Entry entry = ContentType::forFileName(name, connection.inlineFiles);
        responseType = entry.type;
        if (entry.shown)
            last += QByteArray(Http::NoSniffLine) + Http::Crlf;
        if (entry.attachment)
            last += ContentType::attachmentLine(name);
    } else {
        responseType = type;
    }
    const QByteArray head = header(part ? QByteArray(Http::StatusPartial) : status, last);
    if (headOnly || responseLength == 0) {
        request->socket->write(head);
        return;
    }
    request->socket->writeHeader(head);
    request->socket->sendFile(fd, part ? range.first : 0, responseLength);
}

void ServerThread::sendDir(const QByteArray &path)
{
    struct stat about
    {
    };
    if (::stat(path.constData(), &about) != 0 || !S_ISDIR(about.st_mode)) {
        notFound(path);
        return;
    }
    const QString folder = QFile::decodeName(path);

    responseLength = 0;
    responseType = Http::TypeHtmlUtf8;
    if (headOnly) {
        sendHeader(Http::StatusOk, QByteArray());
        return;
    }

    const Configuration *config = Configuration::getCurrentConfig();
    const bool thumbnails = config->getParam(ParamThumbnailView, ReadDefault::ThumbnailView) == 1;
    const bool phone = config->getParam(ParamPhoneListing, ReadDefault::PhoneListing) == 1;
    const QString shared = fileInfo.load().absoluteFilePath();
    // What makes one listing page differ from another. A file added or removed changes the
    // folder's time, so a reader that comes meanwhile gets the new list at once.
    const QByteArray key = QByteArray::number(int(thumbnails) + 2 * int(phone)) + '|'
        + QByteArray::number(qint64(about.st_mtim.tv_sec)) + '.'
        + QByteArray::number(qint64(about.st_mtim.tv_nsec)) + '|' + path;
    const PageCache::Page page = listings.page(key, [&] {
        if (phone) {
            const QString name = QFileInfo(folder).fileName();
            return FolderPage::phonePage(
                FolderPage::phoneListing(folder, thumbnails ? &HTML_Manager : nullptr),
                name.isEmpty() ? folder : name, shared);
        }
        const FolderPage::Listing listing = thumbnails ? FolderPage::thumbnailListing(folder, HTML_Manager)
                                                       : FolderPage::plainListing(folder);
        return FolderPage::page(listing.rows, listing.allReady,
                                thumbnails ? FolderPage::thumbnailBody() : QByteArray(FolderPage::PlainBody),
                                shared);
    });
    request->socket->writeHeader(header(Http::StatusOk, QByteArray()));
    request->socket->sendBytes(*page);
}

void ServerThread::sendPage(const char *name, const QByteArray &status)
{
    sendFile(*Configuration::LangPath + name, status, Http::TypeHtmlUtf8);
}

void ServerThread::saveFile()
{
    HTTP_Session *session = request->session;
    const QByteArray boundary = Multipart::boundary(session->contentType);
    if (boundary.isEmpty()) {
        uploadAnswer(UploadErrorPage, Http::StatusServerError, QStringLiteral("refused: not a file upload"));
        return;
    }

    // The file's name is in the body, so a client that waits is let go on here; a refusal
    // before this point (access, mode, body type) comes without it.
    request->sendContinue();
    const Multipart::PartHeadResult part = request->readPartHead(boundary);
    if (part.status != Multipart::Status::Complete) {
        uploadAnswer(UploadErrorPage, Http::StatusServerError,
                     QStringLiteral("refused: no file in the body"));
        return;
    }
    const std::optional<QString> sentName = Multipart::fileName(part.head.disposition);
    const std::optional<QString> name = sentName ? Multipart::storedName(*sentName) : std::nullopt;
    if (!name) {
        uploadAnswer(UploadErrorPage, Http::StatusServerError, QStringLiteral("refused: not a file name"));
        return;
    }
    const auto refused
        = [&name](const QString &reason) { return QStringLiteral("refused %1: %2").arg(*name, reason); };

    // Nothing is written for a name that is taken; the body is still read, so that the
    // browser, which sends it whole before it reads, gets the answer. The temporary file's
    // rename decides a late clash.
    const QString folder = Configuration::DownloadDir.load().absoluteFilePath();
    const QString target = folder + QLatin1Char('/') + *name;
    const QFileInfo existing(target);
    if (existing.exists() || existing.isSymLink()) {
        if (request->socket->skipBody(session->contentLength))
            request->unreadBody = 0;
        uploadAnswer(ExistPage, Http::StatusOk, refused(QStringLiteral("the name is taken")));
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
        uploadAnswer(UploadErrorPage, Http::StatusServerError, refused(upload.errorString()));
        return;
    }
    const TarnwickSocket::SaveResult saved = request->socket->saveFile(
        upload.file(), request->bodyStart, session->contentLength, Multipart::delimiter(boundary));
    const qint64 size = upload.file()->size();
    switch (saved) {
    case TarnwickSocket::SaveResult::Stored:
        request->unreadBody = 0;
        break;
    case TarnwickSocket::SaveResult::WriteFailed:
        // How much of the file had been stored, and the room left where it went.
        Q_EMIT error(
            tr("File save error"),
            tr("File: %1\nReaded bytes: %2\nAvailable bytes: %3")
                .arg(*name, QString::number(size), QString::number(QStorageInfo(folder).bytesAvailable())));
        uploadAnswer(UploadErrorPage, Http::StatusServerError,
                     refused(QStringLiteral("the disk took only %1 bytes").arg(size)));
        return;
    case TarnwickSocket::SaveResult::Stopped:
        uploadAnswer(UploadErrorPage, Http::StatusServerError, refused(QStringLiteral("the server stopped")));
        return;
    case TarnwickSocket::SaveResult::Incomplete:
    case TarnwickSocket::SaveResult::NoDelimiter:
        // The browser did not upload a file; there is nothing to tell the owner.
        uploadAnswer(UploadErrorPage, Http::StatusServerError,
                     refused(QStringLiteral("the body ended early")));
        return;
    }

    switch (upload.keep(target)) {
    case UploadFile::Keep::Kept:
        uploadAnswer(UploadOkPage, Http::StatusOk,
                     QStringLiteral("stored %1 (%2 bytes)").arg(*name).arg(size));
        break;
    case UploadFile::Keep::NameTaken:
        uploadAnswer(ExistPage, Http::StatusOk, refused(QStringLiteral("the name is taken")));
        break;
    case UploadFile::Keep::Failed:
        Q_EMIT error(tr("File save error"), failed(upload.errorString()));
        uploadAnswer(UploadErrorPage, Http::StatusServerError, refused(upload.errorString()));
        break;
    }
}
