#include "contenttype.h"

#include "protocol.h"

#include <QUrl>

namespace {

struct Row
{
    const char *suffix;
    const char *type;
};

// Searched in this order; a suffix not listed gets no Content-Type line.
constexpr Row Types[] = {
    {"html", Http::TypeHtmlUtf8},
    {"jpg", "image/jpeg"},
    {"png", "image/png"},
    {"avi", "video/x-msvideo"},
    {"torrent", "application/x-bittorrent"},
    {"pdf", "application/pdf"},
    {"mp4", "video/mp4v-es, audio/mp4"},
    {"aac", "video/mp4v-es, audio/mp4"},
    {"flv", "video/x-flv"},
    {"3gp", "audio/3gpp, video/3gpp"},
    {"mp3", "audio/mpeg3"},
    {"mov", "video/quicktime"},
    {"doc", "application/msword"},
    {"pps", "application/vnd.ms-powerpoint"},
    {"rtf", "application/rtf"},
    {"xls", "application/excel"},
    {"wav", "audio/wav"},
    {"wmv", "video/x-ms-wmv"},
    {"zip", "application/zip"},
    {"exe", "application/octet-stream"},
};

// What browsers show themselves, when files open in the browser. Neither pages nor
// pictures that may hold scripts (SVG) are here: a shared file must not act as a page of
// this server.
constexpr Row ShownTypes[] = {
    {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},       {"png", "image/png"},
    {"gif", "image/gif"},        {"webp", "image/webp"},       {"avif", "image/avif"},
    {"bmp", "image/bmp"},        {"ico", "image/x-icon"},      {"pdf", "application/pdf"},
    {"txt", Http::TypeTextUtf8}, {"text", Http::TypeTextUtf8}, {"log", Http::TypeTextUtf8},
    {"md", Http::TypeTextUtf8},  {"csv", Http::TypeTextUtf8},  {"mp3", "audio/mpeg"},
    {"m4a", "audio/mp4"},        {"aac", "audio/aac"},         {"wav", "audio/wav"},
    {"ogg", "audio/ogg"},        {"oga", "audio/ogg"},         {"opus", "audio/ogg"},
    {"flac", "audio/flac"},      {"mp4", "video/mp4"},         {"m4v", "video/mp4"},
    {"webm", "video/webm"},      {"ogv", "video/ogg"},         {"mov", "video/quicktime"},
};

// The page itself is shown; everything else is offered for saving.
constexpr char ShownSuffix[] = "html";

QString fileNameOf(const QString &fileName)
{
    return fileName.mid(fileName.lastIndexOf(QLatin1Char('/')) + 1);
}

// A quoted header parameter cannot hold a quote, and a backslash would start an
// escape that not every browser reads the same way; control characters could end
// the line.
char plainNameChar(QChar c)
{
    const char16_t code = c.unicode();
    if (code > 0xff)
        return '?';
    if (code < 0x20 || (code >= 0x7f && code < 0xa0) || code == '"' || code == '\\')
        return '_';
    return char(code);
}

} // namespace

namespace ContentType {

Entry forFileName(const QString &fileName, bool inBrowser)
{
    const QString name = fileNameOf(fileName);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return {QByteArray(), true};
    const QString suffix = name.mid(dot + 1).toLower();
    if (inBrowser) {
        for (const Row &row : ShownTypes) {
            if (suffix == QLatin1String(row.suffix))
                return {QByteArray(row.type), false, true};
        }
    }
    for (const Row &row : Types) {
        if (suffix == QLatin1String(row.suffix))
            return {QByteArray(row.type), suffix != QLatin1String(ShownSuffix)};
    }
    return {QByteArray(), true};
}

QByteArray attachmentLine(const QString &fileName)
{
    // The whole name, suffix included: a download saved without its suffix would not
    // open with its program.
    const QString name = fileNameOf(fileName);

    QByteArray line(Http::AttachmentPrefix);
    line.reserve(line.size() + 3 * name.size() + 32);
    line += '"';
    for (qsizetype i = 0; i < name.size(); ++i) {
        line += plainNameChar(name.at(i));
        // One stand-in for a character beyond the first plane, not one per half.
        if (name.at(i).isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate())
            ++i;
    }
    line += '"';
    line += Http::AttachmentUtf8Name;
    line += QUrl::toPercentEncoding(name);
    line += Http::Crlf;
    return line;
}

} // namespace ContentType
