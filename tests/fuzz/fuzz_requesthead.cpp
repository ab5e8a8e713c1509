// The request head as the connection reads it: the whole buffer so far is parsed again
// after every read, so each cut of the input must agree with the parse of all of it.
// A complete head also has its path decoded and checked, and a form body its field read.

#include "fuzzcheck.h"

#include "server/limits.h"
#include "server/protocol.h"
#include "server/requestparser.h"
#include "server/route.h"

using RequestParser::ParseResult;
using RequestParser::Status;

namespace {

bool sameHead(const RequestParser::RequestHead &a, const RequestParser::RequestHead &b)
{
    return a.method == b.method && a.url == b.url && a.contentType == b.contentType
        && a.contentLength == b.contentLength && a.hasContentLength == b.hasContentLength
        && a.sessionId == b.sessionId && a.expectContinue == b.expectContinue
        && a.credentials == b.credentials && a.hasCredentials == b.hasCredentials;
}

void checkComplete(const QByteArray &bytes, const ParseResult &result)
{
    const RequestParser::RequestHead &head = result.head;
    FUZZ_CHECK(result.headSize > 0 && result.headSize <= bytes.size());
    FUZZ_CHECK(result.headSize <= Limits::MaxHeadSize);
    FUZZ_CHECK(bytes.at(result.headSize - 1) == '\n');
    FUZZ_CHECK(head.method == RequestParser::Get || head.method == RequestParser::Post);
    FUZZ_CHECK(head.url.isValid());
    FUZZ_CHECK(head.contentLength >= 0);
    FUZZ_CHECK(head.hasContentLength || head.contentLength == 0);
    FUZZ_CHECK(!head.hasCredentials || head.credentials.contains(QLatin1Char(':')));

    // Whatever the path, it reaches one listed name of the shared folder or an image folder.
    const QByteArray path = RequestParser::decodedPath(head.url);
    FUZZ_CHECK(path.startsWith('/'));
    const Route::Answer answer = Route::answer(path, {"/srv/share", false, false, "/i/", "/t/", true});
    if (answer.kind == Route::Kind::File) {
        const QByteArray name = answer.path.mid(answer.path.lastIndexOf('/') + 1);
        FUZZ_CHECK(!name.isEmpty() && !name.startsWith('.') && !name.contains('\0'));
        FUZZ_CHECK(answer.path.chopped(name.size()) == "/srv/share/"
                   || answer.path.chopped(name.size()) == "/i/" || answer.path.chopped(name.size()) == "/t/");
    }

    if (head.method == RequestParser::Post) {
        const QByteArray body
            = bytes.mid(result.headSize, qMin<qint64>(head.contentLength, Limits::MaxFormBody));
        RequestParser::formField(body, Http::PasswordField);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzz::bytesOf(data, size);
    const ParseResult whole = RequestParser::parseHead(bytes);
    if (whole.status == Status::Complete)
        checkComplete(bytes, whole);
    else
        FUZZ_CHECK(whole.headSize == 0);

    // Reads that end around each line end, where the parser decides, and a few anywhere;
    // a short input is cut everywhere.
    QList<qsizetype> cuts;
    if (bytes.size() <= 256) {
        for (qsizetype at = 1; at < bytes.size(); ++at)
            cuts << at;
    } else {
        for (qsizetype at = bytes.indexOf('\n'); at >= 0 && cuts.size() < 64;
             at = bytes.indexOf('\n', at + 1))
            cuts << at << at + 1;
        Fuzz::Splitter splitter(bytes);
        cuts << splitter.cuts(bytes.size(), 8);
    }

    for (const qsizetype cut : std::as_const(cuts)) {
        if (cut >= bytes.size())
            continue;
        const ParseResult part = RequestParser::parseHead(QByteArray::fromRawData(bytes.constData(), cut));
        if (whole.status == Status::Complete && cut >= whole.headSize) {
            FUZZ_CHECK(part.status == Status::Complete);
            FUZZ_CHECK(part.headSize == whole.headSize);
            FUZZ_CHECK(sameHead(part.head, whole.head));
        } else {
            // Nothing is decided before the bytes that decide it, and never otherwise.
            FUZZ_CHECK(part.status == Status::Incomplete || part.status == whole.status);
            FUZZ_CHECK(part.status != Status::Complete);
        }
    }
    return 0;
}
