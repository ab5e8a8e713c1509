#include "html.h"

#include <cstring>

namespace {

constexpr char NotFoundStart[] = "<html><title>Wrong URL</title><body><h1>Wrong URL</h1>Path=";
constexpr char NotFoundFile[] = "<br>or File=";
constexpr char NotFoundEnd[] = "<br>Not found.</body></html>";

const char *entityFor(char c)
{
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '"':
        return "&quot;";
    case '\'':
        return "&#39;";
    default:
        return nullptr;
    }
}

// The five characters are single bytes in both encodings, so the encoded bytes can
// be escaped directly. Most names need nothing, and then nothing is copied.
QByteArray escaped(QByteArray bytes)
{
    qsizetype first = 0;
    while (first < bytes.size() && !entityFor(bytes.at(first)))
        ++first;
    if (first == bytes.size())
        return bytes;

    QByteArray out;
    out.reserve(bytes.size() + 16);
    out.append(bytes.constData(), first);
    for (qsizetype i = first; i < bytes.size(); ++i) {
        if (const char *entity = entityFor(bytes.at(i)))
            out += entity;
        else
            out += bytes.at(i);
    }
    return out;
}

} // namespace

namespace Html {

QByteArray escape(const QString &text)
{
    return escaped(text.toUtf8());
}

char *writeEscapedUtf8(const char *utf8, qsizetype size, char *out)
{
    for (const char *end = utf8 + size; utf8 != end; ++utf8) {
        if (const char *entity = entityFor(*utf8)) {
            const size_t length = std::strlen(entity);
            std::memcpy(out, entity, length);
            out += length;
        } else {
            *out++ = *utf8;
        }
    }
    return out;
}

QByteArray escapeLatin1(const QString &text)
{
    return escaped(text.toLatin1());
}

QByteArray notFoundPage(const QString &requestPath, const QString &filePath)
{
    return NotFoundStart + escapeLatin1(requestPath) + NotFoundFile + escapeLatin1(filePath) + NotFoundEnd;
}

} // namespace Html
