// An upload body as the connection reads it. The first line of the input is the
// Content-Type value, the rest the body. The part header is parsed again after every
// read, as the reader does, and the content is then scanned for the delimiter in reads
// of many sizes, keeping the tail that might start it, as the file writer does; the
// bytes written must be exactly those before the first delimiter of the whole body.

#include "fuzzcheck.h"

#include "server/limits.h"
#include "server/multipart.h"

#include <QFile>

using Multipart::PartHeadResult;
using Multipart::Status;

namespace {

void checkStoredName(const QString &sent)
{
    const std::optional<QString> stored = Multipart::storedName(sent);
    if (!stored)
        return;
    // It is joined to the download folder: one plain name, nothing else.
    FUZZ_CHECK(!stored->isEmpty() && *stored != QLatin1String(".") && *stored != QLatin1String(".."));
    FUZZ_CHECK(!stored->contains(QLatin1Char('/')) && !stored->contains(QLatin1Char('\\')));
    FUZZ_CHECK(!stored->contains(QChar(0)));
    FUZZ_CHECK(QFile::encodeName(*stored).size() <= Limits::MaxFileName);
    FUZZ_CHECK(sent.endsWith(*stored));
}

void checkBoundary(const QByteArray &boundary)
{
    FUZZ_CHECK(!boundary.isEmpty() && boundary.size() <= 70);
    FUZZ_CHECK(!boundary.contains('"') && !boundary.contains('\r') && !boundary.contains('\n'));
    // What was accepted reads back the same when sent quoted.
    FUZZ_CHECK(Multipart::boundary("multipart/form-data; boundary=\"" + boundary + '"') == boundary);
}

// The reader: the body so far is parsed after every read, until it is decided or the
// window is full.
PartHeadResult readPartHead(const QByteArray &body, QByteArrayView boundary, Fuzz::Splitter *splitter)
{
    const qsizetype window = qMin<qsizetype>(body.size(), Limits::MaxPartHead + 1);
    QList<qsizetype> ends = splitter->cuts(window, 32);
    ends << window;
    PartHeadResult part;
    for (const qsizetype end : std::as_const(ends)) {
        part = Multipart::parsePartHead(QByteArrayView(body.constData(), end), boundary);
        if (part.status != Status::Incomplete)
            break;
    }
    return part;
}

// The file writer: reads of the given sizes after \a first, each scanned behind the
// bytes held back from the one before.
void scanInReads(const QByteArray &content, const QByteArray &delimiter, const QList<qsizetype> &cuts)
{
    const qsizetype expected = content.indexOf(delimiter);
    QByteArray written;
    QByteArray buffer;
    bool found = false;
    qsizetype from = 0;
    QList<qsizetype> ends = cuts;
    ends << content.size();
    for (const qsizetype end : std::as_const(ends)) {
        if (end <= from)
            continue;
        buffer += content.mid(from, end - from);
        from = end;
        const Multipart::Scan scan = Multipart::scan(buffer, delimiter);
        FUZZ_CHECK(scan.content >= 0 && scan.content <= buffer.size());
        written += buffer.first(scan.content);
        if (scan.found) {
            found = true;
            break;
        }
        buffer.remove(0, scan.content);
        // The writer's buffer has room for this much in front of a read.
        FUZZ_CHECK(buffer.size() < delimiter.size());
    }
    FUZZ_CHECK(found == (expected >= 0));
    if (found)
        FUZZ_CHECK(written == content.first(expected));
    else
        FUZZ_CHECK(written + buffer == content);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzz::bytesOf(data, size);
    const qsizetype lineEnd = bytes.indexOf('\n');
    QByteArray contentType = lineEnd < 0 ? bytes : bytes.first(lineEnd);
    if (contentType.endsWith('\r'))
        contentType.chop(1);
    // The Content-Type value and a part's Content-Disposition share the parameter reader.
    if (const std::optional<QString> name = Multipart::fileName(contentType))
        checkStoredName(*name);

    const QByteArray boundary = Multipart::boundary(contentType);
    if (boundary.isEmpty() || lineEnd < 0)
        return 0;
    checkBoundary(boundary);

    const QByteArray body
        = QByteArray::fromRawData(bytes.constData() + lineEnd + 1, bytes.size() - lineEnd - 1);
    Fuzz::Splitter splitter(bytes);
    const PartHeadResult part = readPartHead(body, boundary, &splitter);
    const qsizetype window = qMin<qsizetype>(body.size(), Limits::MaxPartHead + 1);
    const PartHeadResult whole = Multipart::parsePartHead(QByteArrayView(body.constData(), window), boundary);
    FUZZ_CHECK(part.status == whole.status);
    if (part.status != Status::Complete) {
        FUZZ_CHECK(part.size == 0);
        return 0;
    }
    FUZZ_CHECK(part.size == whole.size && part.size > 0 && part.size <= window);
    FUZZ_CHECK(part.head.disposition == whole.head.disposition
               && part.head.contentType == whole.head.contentType);

    if (const std::optional<QString> name = Multipart::fileName(part.head.disposition))
        checkStoredName(*name);

    const QByteArray delimiter = Multipart::delimiter(boundary);
    const QByteArray content = body.mid(part.size);
    scanInReads(content, delimiter, splitter.cuts(content.size(), 256));
    if (content.size() <= 4096) {
        QList<qsizetype> everyByte;
        for (qsizetype at = 1; at < content.size(); ++at)
            everyByte << at;
        scanInReads(content, delimiter, everyByte);
    }
    return 0;
}
