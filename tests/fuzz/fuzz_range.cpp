// The Range value of a download: the input's first line is the file's size, the rest the
// value. Whatever is asked, a part lies within the file, its Content-Range asks for it
// again, and the value reaches the answer as the request head carried it.

#include "fuzzcheck.h"

#include "server/byterange.h"
#include "server/httpsyntax.h"
#include "server/requestparser.h"

using ByteRange::Kind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzz::bytesOf(data, size);
    const qsizetype lineEnd = bytes.indexOf('\n');
    bool ok = false;
    const qint64 fileSize = lineEnd < 0 ? 0 : bytes.first(lineEnd).toLongLong(&ok);
    if (!ok || fileSize < 0)
        return 0;
    const QByteArray value = bytes.sliced(lineEnd + 1);

    const ByteRange::Answer answer = ByteRange::resolve(value, fileSize);
    if (answer.kind == Kind::Part) {
        FUZZ_CHECK(answer.first >= 0 && answer.length > 0 && answer.length <= fileSize - answer.first);
        const QByteArray range = ByteRange::contentRange(answer, fileSize);
        FUZZ_CHECK(range.startsWith("bytes ") && range.endsWith('/' + QByteArray::number(fileSize)));
        const QByteArray again = "bytes=" + range.sliced(6, range.indexOf('/') - 6);
        const ByteRange::Answer same = ByteRange::resolve(again, fileSize);
        FUZZ_CHECK(same.kind == Kind::Part && same.first == answer.first && same.length == answer.length);
    } else if (answer.kind == Kind::Unsatisfiable) {
        FUZZ_CHECK(ByteRange::contentRange(answer, fileSize) == "bytes */" + QByteArray::number(fileSize));
    }

    // A value on one line reaches the answer trimmed, as the head carried it.
    const RequestParser::ParseResult parsed
        = RequestParser::parseHead("GET / HTTP/1.1\r\nRange: " + value + "\r\n\r\n", true);
    if (!value.contains('\n') && !value.contains('\r') && parsed.status == RequestParser::Status::Complete)
        FUZZ_CHECK(parsed.head.range == HttpSyntax::trimOws(value));
    return 0;
}
