#include "multipart.h"

#include "httpsyntax.h"
#include "limits.h"
#include "protocol.h"

#include <QFile>
#include <QList>

#include <cstring>

namespace {

using namespace HttpSyntax;
using Multipart::Status;

// A boundary is at most this long.
constexpr qsizetype MaxBoundary = 70;

bool isBoundaryChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c))
        return true;
    return c != '\0' && std::strchr("'()+_,-./:=? ", c) != nullptr;
}

struct Parameter
{
    QByteArray name;
    QByteArray value;
};

// The text of a quoted string, which starts after the opening quote; *end is set after
// the closing one. A backslash before a quote keeps it in the text; any other
// backslash is text, since old browsers send unescaped Windows paths. False when the
// closing quote is missing.
bool quotedString(QByteArrayView text, qsizetype *end, QByteArray *value)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '"') {
            *value += '"';
            ++i;
        } else if (c == '"') {
            *end = i + 1;
            return true;
        } else {
            *value += c;
        }
    }
    return false;
}

// The parameters after the first ";" of a header value such as
// form-data; name="file"; filename="a.txt". Names are lower-cased. A parameter whose
// quoted value does not end ends the list.
QList<Parameter> parameters(QByteArrayView value)
{
    QList<Parameter> result;
    qsizetype pos = value.indexOf(';');
    if (pos < 0)
        return result;
    ++pos;
    while (pos < value.size()) {
        const char c = value[pos];
        if (c == ';' || c == ' ' || c == '\t') {
            ++pos;
            continue;
        }
        qsizetype nameEnd = pos;
        while (nameEnd < value.size() && value[nameEnd] != '=' && value[nameEnd] != ';')
            ++nameEnd;
        Parameter parameter;
        parameter.name = trimOws(value.sliced(pos, nameEnd - pos)).toByteArray().toLower();
        pos = nameEnd;
        if (pos < value.size() && value[pos] == '=') {
            ++pos;
            while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t'))
                ++pos;
            if (pos < value.size() && value[pos] == '"') {
                qsizetype used = 0;
                if (!quotedString(value.sliced(pos + 1), &used, &parameter.value))
                    return result;
                pos += 1 + used;
                // Anything between the closing quote and the next ";" is not part of it.
                while (pos < value.size() && value[pos] != ';')
                    ++pos;
            } else {
                qsizetype valueEnd = pos;
                while (valueEnd < value.size() && value[valueEnd] != ';')
                    ++valueEnd;
                parameter.value = trimOws(value.sliced(pos, valueEnd - pos)).toByteArray();
                pos = valueEnd;
            }
        }
        result.append(parameter);
    }
    return result;
}

std::optional<QByteArray> parameter(const QList<Parameter> &list, const char *name)
{
    for (const Parameter &entry : list) {
        if (entry.name == name)
            return entry.value;
    }
    return std::nullopt;
}

// An extended value such as UTF-8''%e2%82%ac.txt; nothing for another character set.
std::optional<QString> extendedValue(QByteArrayView value)
{
    const qsizetype charsetEnd = value.indexOf('\'');
    if (charsetEnd < 0)
        return std::nullopt;
    const qsizetype languageEnd = value.indexOf('\'', charsetEnd + 1);
    if (languageEnd < 0)
        return std::nullopt;
    const QByteArrayView charset = value.first(charsetEnd);
    const QByteArray bytes = percentDecoded(value.sliced(languageEnd + 1), false);
    if (equalsNoCase(charset, "UTF-8"))
        return utf8OrLatin1(bytes);
    if (equalsNoCase(charset, "ISO-8859-1"))
        return QString::fromLatin1(bytes);
    return std::nullopt;
}

Multipart::PartHeadResult finished(Status status)
{
    Multipart::PartHeadResult result;
    result.status = status;
    return result;
}

// Within the bound, more bytes may still complete the part header.
Multipart::PartHeadResult needMore(QByteArrayView body)
{
    return finished(body.size() > Limits::MaxPartHead ? Status::Bad : Status::Incomplete);
}

} // namespace

namespace Multipart {

QByteArray boundary(QByteArrayView contentType)
{
    const qsizetype semicolon = contentType.indexOf(';');
    const QByteArrayView type = trimOws(semicolon < 0 ? contentType : contentType.first(semicolon));
    if (!equalsNoCase(type, Http::TypeMultipartForm))
        return QByteArray();
    const std::optional<QByteArray> value = parameter(parameters(contentType), "boundary");
    if (!value || value->isEmpty() || value->size() > MaxBoundary || value->endsWith(' '))
        return QByteArray();
    for (const char c : *value) {
        if (!isBoundaryChar(c))
            return QByteArray();
    }
    return *value;
}

QByteArray delimiter(QByteArrayView boundary)
{
    return QByteArray(Http::Crlf) + "--" + boundary.toByteArray();
}

PartHeadResult parsePartHead(QByteArrayView body, QByteArrayView boundary)
{
    const QByteArray dashBoundary = "--" + boundary.toByteArray();
    qsizetype pos = 0;
    if (body.startsWith(dashBoundary)) {
        pos = dashBoundary.size();
    } else if (body.size() < dashBoundary.size() && QByteArrayView(dashBoundary).startsWith(body)) {
        return needMore(body);
    } else {
        // A preamble, which clients hardly ever send, ends with the line end before the
        // first boundary line.
        const qsizetype at = body.indexOf(delimiter(boundary));
        if (at < 0)
            return needMore(body);
        pos = at + 2 + dashBoundary.size();
    }

    // The rest of the boundary line: blanks, then the line end. Two hyphens would close
    // a body without any part.
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t'))
        ++pos;
    if (pos < body.size() && body[pos] == '\r')
        ++pos;
    if (pos >= body.size())
        return needMore(body);
    if (body[pos] != '\n')
        return finished(Status::Bad);
    ++pos;

    PartHeadResult result;
    bool haveDisposition = false;
    bool haveType = false;
    for (;;) {
        const qsizetype lineFeed = body.indexOf('\n', pos);
        if (lineFeed < 0)
            return needMore(body);
        if (lineFeed + 1 > Limits::MaxPartHead)
            return finished(Status::Bad);
        QByteArrayView line = body.sliced(pos, lineFeed - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        pos = lineFeed + 1;
        if (line.isEmpty())
            break;

        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || !isToken(line.first(colon)))
            return finished(Status::Bad);
        const QByteArrayView name = line.first(colon);
        const QByteArrayView value = trimOws(line.sliced(colon + 1));
        for (const char c : value) {
            if (isControl(c) && c != '\t')
                return finished(Status::Bad);
        }
        if (equalsNoCase(name, Http::HeaderContentDisposition) && !haveDisposition) {
            result.head.disposition = value.toByteArray();
            haveDisposition = true;
        } else if (equalsNoCase(name, Http::HeaderContentType) && !haveType) {
            result.head.contentType = value.toByteArray();
            haveType = true;
        }
    }
    result.status = Status::Complete;
    result.size = pos;
    return result;
}

std::optional<QString> fileName(QByteArrayView disposition)
{
    const QList<Parameter> list = parameters(disposition);
    if (const std::optional<QByteArray> extended = parameter(list, "filename*")) {
        if (const std::optional<QString> name = extendedValue(*extended))
            return name;
    }
    const std::optional<QByteArray> plain = parameter(list, "filename");
    if (!plain)
        return std::nullopt;
    return utf8OrLatin1(QByteArray(*plain).replace("%22", "\""));
}

std::optional<QString> storedName(const QString &name)
{
    const qsizetype cut = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    const QString last = name.mid(cut + 1);
    // A name that starts with a dot is hidden, and in a home folder it could be a shell's
    // start-up file; "." and ".." name no file at all.
    if (last.isEmpty() || last.startsWith(QLatin1Char('.')))
        return std::nullopt;
    for (const QChar c : last) {
        if (c.category() == QChar::Other_Control)
            return std::nullopt;
    }
    if (QFile::encodeName(last).size() > Limits::MaxFileName)
        return std::nullopt;
    return last;
}

Scan scan(QByteArrayView data, QByteArrayView delimiter)
{
    // The C library's search takes no null pointer, which an empty view may hold.
    if (data.isEmpty())
        return {0, false};
    // The C library's search is about twice as fast as QByteArrayMatcher here, and every
    // byte of an upload passes through it.
    const void *at = ::memmem(data.data(), size_t(data.size()), delimiter.data(), size_t(delimiter.size()));
    if (at)
        return {static_cast<const char *>(at) - data.data(), true};

    // The longest tail that the delimiter begins with; it starts with the delimiter's CR.
    const qsizetype longest = qMin(data.size(), delimiter.size() - 1);
    for (qsizetype start = data.size() - longest; start < data.size(); ++start) {
        const qsizetype length = data.size() - start;
        if (data[start] == delimiter[0]
            && std::memcmp(data.data() + start, delimiter.data(), size_t(length)) == 0)
            return {start, false};
    }
    return {data.size(), false};
}

} // namespace Multipart
