#include "html.h"

#include "config/configuration.h"

#include <charconv>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>

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

template<size_t N>
constexpr qsizetype length(const char (&)[N])
{
    return qsizetype(N - 1);
}

char *write(char *out, const char *bytes, qsizetype size)
{
    std::memcpy(out, bytes, size_t(size));
    return out + size;
}

template<size_t N>
char *write(char *out, const char (&text)[N])
{
    return write(out, text, length(text));
}

constexpr char CellStart[] = "<td align=\"center\" width=\"200\"><a href=\"";
constexpr char LinkEnd[] = "\">";
constexpr char PictureStart[] = "<img src=\"";
constexpr char PictureEnd[] = "\" vspace=\"8\" align=\"center\" border=\"0\">";
constexpr char NameStart[] = "<br>";
constexpr char NameEnd[] = "</a><br>";
constexpr char CellEnd[] = "</td>";
// The most bytes one byte of a name becomes in a link ("%XX").
constexpr qsizetype MaxEncodedBytes = 3;
// The most bytes of a 64-bit size in decimal, with a sign.
constexpr qsizetype MaxSizeDigits = std::numeric_limits<qint64>::digits10 + 2;
// The bytes a link keeps; every other byte becomes %XX, as QByteArray::toPercentEncoding()
// writes it.
bool isUnreserved(uchar c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~';
}

// keep: a byte written as it is besides the unreserved ones ('/' in a path), or 0.
char *writePercentEncoded(const char *bytes, qsizetype size, char *out, char keep = 0)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    for (const char *end = bytes + size; bytes != end; ++bytes) {
        const auto c = static_cast<uchar>(*bytes);
        if (isUnreserved(c) || (keep && *bytes == keep)) {
            *out++ = *bytes;
        } else {
            *out++ = '%';
            *out++ = Hex[c >> 4];
            *out++ = Hex[c & 0xf];
        }
    }
    return out;
}

QByteArray percentEncoded(const QByteArray &bytes, char keep)
{
    QByteArray out(bytes.size() * MaxEncodedBytes, Qt::Uninitialized);
    out.truncate(writePercentEncoded(bytes.constData(), bytes.size(), out.data(), keep) - out.constData());
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

QByteArray wrongHostPage(const QString &address)
{
    const QByteArray link = escape(address);
    return "<html><title>Wrong address</title><body><h1>Wrong address</h1>This server is reached at <a "
           "href=\""
        + link + "\">" + link + "</a>.</body></html>";
}

QByteArray crossSitePage()
{
    return "<html><title>Refused</title><body><h1>Refused</h1>A page of another site sent this form; nothing "
           "was "
           "done.</body></html>";
}

QByteArray notFoundPage(const QString &requestPath, const QString &filePath)
{
    return NotFoundStart + escapeLatin1(requestPath) + NotFoundFile + escapeLatin1(filePath) + NotFoundEnd;
}

qsizetype cellBound(qsizetype nameSize, qsizetype labelSize, qsizetype pictureSize)
{
    return length(CellStart) + nameSize * (MaxEncodedBytes + MaxEscapedBytes) + length(LinkEnd)
        + length(PictureStart) + pictureSize + length(PictureEnd) + length(NameStart) + length(NameEnd)
        + labelSize + MaxSizeDigits + length(CellEnd);
}

char *writeCell(char *out, QByteArrayView name, QByteArrayView text, qint64 size, const QByteArray &label,
                const QByteArray &picture)
{
    out = write(out, CellStart);
    // Encoded whole, so "#", "?" and "%" stay part of the name and a ":" cannot
    // make the link look like a scheme.
    out = writePercentEncoded(name.data(), name.size(), out);
    out = write(out, LinkEnd);
    if (!picture.isNull()) {
        out = write(out, PictureStart);
        out = write(out, picture.constData(), picture.size());
        out = write(out, PictureEnd);
    }
    out = write(out, NameStart);
    out = writeEscapedUtf8(text.data(), text.size(), out);
    out = write(out, NameEnd);
    out = write(out, label.constData(), label.size());
    out = std::to_chars(out, out + MaxSizeDigits, size).ptr;
    return write(out, CellEnd);
}

QByteArray nameLink(const QByteArray &utf8Name)
{
    return percentEncoded(utf8Name, 0);
}

QByteArray pathLink(const QByteArray &path)
{
    return percentEncoded(path, '/');
}

void appendCell(QByteArray &out, QByteArrayView name, QByteArrayView text, qint64 size,
                const QByteArray &picture, const QByteArray &label)
{
    const qsizetype start = out.size();
    out.resize(start + cellBound(name.size(), label.size(), picture.size()));
    const char *end = writeCell(out.data() + start, name, text, size, label, picture);
    out.truncate(end - out.constData());
}

QByteArray humanSize(qint64 bytes)
{
    static constexpr const char *Units[] = {" bytes", " KB", " MB", " GB", " TB"};
    constexpr qint64 Step = 1000;
    qint64 unit = 1;
    int i = 0;
    while (i + 1 < int(std::size(Units)) && bytes / unit >= Step) {
        unit *= Step;
        ++i;
    }
    if (i > 0 && bytes < 10 * unit) {
        const qint64 tenths = (bytes * 10 + unit / 2) / unit;
        return QByteArray::number(tenths / 10) + '.' + QByteArray::number(tenths % 10) + Units[i];
    }
    return QByteArray::number((bytes + unit / 2) / unit) + Units[i];
}

void appendEntry(QByteArray &out, QByteArrayView name, QByteArrayView text, qint64 size, qint64 modifiedMs,
                 const QByteArray &picture)
{
    const std::time_t seconds = std::time_t(modifiedMs / 1000);
    std::tm local {};
    char date[32] = "";
    if (::localtime_r(&seconds, &local))
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &local);

    out += "<li data-size=\"" + QByteArray::number(size) + "\" data-date=\""
        + QByteArray::number(qint64(seconds)) + "\"><a href=\"" + nameLink(name.toByteArray()) + "\">";
    if (!picture.isNull())
        out += "<img src=\"" + picture + "\" alt=\"\">";
    out += "<span class=\"name\">";
    const qsizetype at = out.size();
    out.resize(at + text.size() * MaxEscapedBytes);
    out.truncate(writeEscapedUtf8(text.data(), text.size(), out.data() + at) - out.constData());
    out += "</span><span class=\"meta\">" + humanSize(size) + " \xc2\xb7 " + date + "</span></a></li>";
}

QByteArray iconLink(const char *file)
{
    const QByteArray *iconDir = Configuration::IconDir;
    return pathLink((iconDir ? *iconDir : QByteArray()) + file);
}

} // namespace Html
