#include "folderpage.h"

#include "html.h"
#include "html_element_manager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The translations belong to the connection thread's catalogue context.
constexpr char Context[] = "ServerThread";

constexpr QByteArrayView RowStart = "<tr>";
constexpr QByteArrayView RowEnd = "</tr>";
constexpr int CellsPerRow = 3;
// Room reserved per entry before the rows are built.
constexpr qsizetype BytesPerEntry = 80;
// Room for the names of a folder before it is read; the buffer grows past it.
constexpr qsizetype NamesReserve = 16 * 1024;

constexpr char PageStart[] = "<html>";
// Reloads the page until every picture on it is ready.
constexpr char Refresh[] = "<meta http-equiv=\"refresh\" content=\"2\"/>";
constexpr char TableStart[] = "<table border=\"1\" frame=\"border\">";
constexpr char EmptyStart[] = "<tr><td><h2>";
constexpr char EmptyEnd[] = "</h2></td></tr>";
constexpr char PageEnd[] = "</table></body></html>";

// The page for phones: the viewport of the device, names that wrap rather than widen
// the page, and pictures no larger than their entry.
constexpr char PhoneStart[] = "<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                              "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
constexpr char PhoneStyle[]
    = "<style>[hidden]{display:none!important}"
      "body{margin:0;font:16px/1.4 system-ui,sans-serif;color:#222;background:#f4f4f4}"
      "header{position:sticky;top:0;background:#fff;padding:.5em .8em;box-shadow:0 1px 3px #0003}"
      "h1{font-size:1.15em;margin:0 0 .4em;overflow-wrap:anywhere}p{margin:1em;overflow-wrap:anywhere}"
      ".tools{display:flex;flex-wrap:wrap;gap:.4em}.tools input{flex:1 1 8em;min-width:0;font:inherit;"
      "padding:.3em .5em}.tools button{font:inherit;padding:.3em .6em}"
      "ul{list-style:none;margin:0;padding:.6em;display:grid;gap:.5em}"
      "@media (min-width:40em){ul{grid-template-columns:repeat(auto-fill,minmax(14em,1fr))}}"
      "li a{display:block;height:100%;box-sizing:border-box;padding:.6em .8em;background:#fff;"
      "border:1px solid #ddd;border-radius:6px;color:#0645ad;text-decoration:none}"
      "li img{display:block;max-width:100%;max-height:8em;margin:0 auto .4em}"
      ".name{display:block;overflow-wrap:anywhere}.meta{display:block;color:#555;font-size:.85em}</style>";
// Filter and sort in the browser; without scripts the tools stay hidden and the page keeps
// the order by name. Sorting by name restores that order; size and date start with the
// largest and newest, and a second press turns the order round.
constexpr char PhoneScript[]
    = "<script>(function(){var list=document.getElementById('files'),tools=document.getElementById('tools');"
      "if(!list)return;var items=[].slice.call(list.children),filter=tools.querySelector('input'),"
      "key='name',up=true;tools.hidden=false;filter.oninput=function(){var q=filter.value.toLowerCase();"
      "items.forEach(function(li){li.hidden=li.querySelector('.name').textContent.toLowerCase()"
      ".indexOf(q)<0;});};[].forEach.call(tools.querySelectorAll('button'),function(b){b.onclick="
      "function(){up=b.value==key?!up:b.value=='name';key=b.value;items.map(function(li,i){return["
      "key=='name'?i:+li.getAttribute('data-'+key),li];}).sort(function(a,c){return up?a[0]-c[0]:c[0]-a[0];})"
      ".forEach(function(p){list.appendChild(p[1]);});};});})();</script>";

QByteArray sizeLabel()
{
    return QCoreApplication::translate(Context, "Size=").toUtf8();
}

// Lays count cells out in rows of CellsPerRow, the last row holding what is left:
// row() writes a row's start and end tag, cell() the cell of one index.
template<typename Row, typename Cell>
void layOut(qsizetype count, Row row, Cell cell)
{
    for (qsizetype first = 0; first < count; first += CellsPerRow) {
        row(RowStart);
        const qsizetype end = qMin(first + CellsPerRow, count);
        for (qsizetype i = first; i < end; ++i)
            cell(i);
        row(RowEnd);
    }
}

qsizetype rowCount(qsizetype cells)
{
    return (cells + CellsPerRow - 1) / CellsPerRow;
}

bool isAscii(const char *name, qsizetype size)
{
    return std::all_of(name, name + size, [](char c) { return static_cast<uchar>(c) < 0x80; });
}

// A name that is not valid UTF-8 is linked by its bytes and shown with stand-ins for
// the bytes that are not.
bool isUtf8(const char *name, qsizetype size)
{
    return QUtf8StringView(name, size).isValidUtf8();
}

// UTF-8 bytes in the order QString::compare() gives their texts. Byte order is code point
// order, but QString compares UTF-16 units, in which U+E000..U+FFFF come after the
// characters beyond U+FFFF (those are written with units D800..DFFF). The first byte in
// which two names differ is the lead byte of a character whenever the characters differ
// in length, and only U+E000..U+FFFF are led by EE or EF, so lifting those two above the
// leads F0..F4 gives QString's order.
uint orderOf(char byte)
{
    const auto b = static_cast<uchar>(byte);
    return b == 0xee || b == 0xef ? b + 0x10u : b;
}

bool comesBefore(const char *a, qsizetype aSize, const char *b, qsizetype bSize)
{
    const qsizetype common = qMin(aSize, bSize);
    for (qsizetype i = 0; i < common; ++i) {
        if (a[i] != b[i])
            return orderOf(a[i]) < orderOf(b[i]);
    }
    return aSize < bSize;
}

// The bytes of a name held in a sort key; most names fit, and then the keys alone
// order them.
constexpr qsizetype KeyWordBytes = 8;
constexpr int KeyWords = 2;
constexpr qsizetype KeyBytes = KeyWordBytes * KeyWords;

// Bytes [from, from + KeyWordBytes) of a name in orderOf(), so that comparing the
// numbers compares those bytes; past the end of the name come zeros, which sort before
// every byte a name can hold.
quint64 keyWord(const char *name, qsizetype size, qsizetype from)
{
    quint64 word = 0;
    for (qsizetype i = from; i < from + KeyWordBytes; ++i)
        word = word << 8 | (i < size ? orderOf(name[i]) : 0u);
    return word;
}

// One listed file: its sort key, where its name lies in the names buffer, and its size.
struct FolderFile
{
    quint64 key[KeyWords];
    qsizetype offset;
    qsizetype nameSize;
    qint64 size;
    qint64 modifiedMs;
    bool isUtf8;
};

struct FolderFiles
{
    QByteArray names; // every name as UTF-8, one after the other
    std::vector<FolderFile> files;

    const char *name(const FolderFile &file) const { return names.constData() + file.offset; }
    QByteArrayView nameOf(const FolderFile &file) const { return QByteArrayView(name(file), file.nameSize); }
    // The name as the page shows it.
    QByteArray textOf(const FolderFile &file) const
    {
        return file.isUtf8 ? QByteArray::fromRawData(name(file), file.nameSize)
                           : QString::fromUtf8(nameOf(file)).toUtf8();
    }

    bool sortsBefore(const FolderFile &a, const FolderFile &b) const
    {
        for (int i = 0; i < KeyWords; ++i) {
            if (a.key[i] != b.key[i])
                return a.key[i] < b.key[i];
        }
        // The same first KeyBytes; a name that ends within them is the other's beginning.
        if (a.nameSize <= KeyBytes || b.nameSize <= KeyBytes)
            return a.nameSize < b.nameSize;
        return comesBefore(name(a) + KeyBytes, a.nameSize - KeyBytes, name(b) + KeyBytes,
                           b.nameSize - KeyBytes);
    }
};

// The files a listing shows, read with one stat per entry and no QFileInfo.
FolderFiles readFolder(const QString &folder)
{
    FolderFiles found;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return found;
    found.names.reserve(NamesReserve);
    const int fd = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        // Hidden files, "." and ".." start with a dot; a folder needs no stat to be left out.
        if (name[0] == '.' || entry->d_type == DT_DIR)
            continue;
        // Links are followed: a link to a file shows the file's size, a broken link fails.
        struct stat status;
        if (::fstatat(fd, name, &status, 0) != 0 || !S_ISREG(status.st_mode))
            continue;
        const auto nameSize = qsizetype(std::strlen(name));
        FolderFile file {};
        file.isUtf8 = isAscii(name, nameSize) || isUtf8(name, nameSize);
        for (int word = 0; word < KeyWords; ++word)
            file.key[word] = keyWord(name, nameSize, word * KeyWordBytes);
        file.offset = found.names.size();
        file.nameSize = nameSize;
        file.size = qint64(status.st_size);
        file.modifiedMs = qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
        found.files.push_back(file);
        found.names.append(name, nameSize);
    }
    ::closedir(dir);

    std::sort(found.files.begin(), found.files.end(),
              [&found](const FolderFile &a, const FolderFile &b) { return found.sortsBefore(a, b); });
    return found;
}

// The thumbnail view's element of every listed file, in listing order; null for a name
// that is not valid UTF-8, which a QFileInfo cannot name and which shows no picture. The
// page holds its elements until it is built, whatever the cache drops meanwhile.
using Elements = std::vector<std::shared_ptr<HTML_Element>>;

Elements elementsOf(const FolderFiles &found, const QString &folder, HTML_Element_Manager &manager)
{
    const QByteArray folderPath = QFile::encodeName(folder) + '/';
    QList<QByteArray> keys;
    QList<const FolderFile *> named;
    keys.reserve(qsizetype(found.files.size()));
    for (const FolderFile &file : found.files) {
        if (!file.isUtf8)
            continue;
        keys.append(HTML_Element_Manager::key(folderPath + found.nameOf(file).toByteArray(), file.size,
                                              file.modifiedMs));
        named.append(&file);
    }
    const QDir dir(folder);
    const QList<std::shared_ptr<HTML_Element>> made = manager.elements(
        keys, [&](qsizetype i) { return QFileInfo(dir, QString::fromUtf8(found.nameOf(*named.at(i)))); });
    Elements elements(found.files.size());
    for (qsizetype i = 0; i < named.size(); ++i)
        elements[size_t(named.at(i) - found.files.data())] = made.at(i);
    return elements;
}

} // namespace

namespace FolderPage {

QByteArray thumbnailBody()
{
    return "<body background=\"" + Html::iconLink("sand-light.jpg") + "\">";
}

Listing plainListing(const QString &folder)
{
    const FolderFiles found = readFolder(folder);
    const QByteArray label = sizeLabel();
    Listing listing;
    listing.count = qsizetype(found.files.size());
    if (listing.count == 0)
        return listing;

    // Room for the longest text every name could give; what is left over is cut off.
    qsizetype bound = rowCount(listing.count) * (RowStart.size() + RowEnd.size());
    for (const FolderFile &file : found.files)
        bound += Html::cellBound(file.nameSize, label.size());
    listing.rows.resize(bound);
    char *out = listing.rows.data();
    layOut(
        listing.count, [&out](QByteArrayView tag) { out = std::copy(tag.begin(), tag.end(), out); },
        [&](qsizetype i) {
            const FolderFile &file = found.files[size_t(i)];
            out = Html::writeCell(out, found.nameOf(file), found.textOf(file), file.size, label);
        });
    listing.rows.truncate(out - listing.rows.constData());
    return listing;
}

Listing thumbnailListing(const QString &folder, HTML_Element_Manager &manager)
{
    const FolderFiles found = readFolder(folder);
    Listing listing;
    listing.count = qsizetype(found.files.size());
    if (listing.count == 0)
        return listing;

    const Elements elements = elementsOf(found, folder, manager);
    const QByteArray label = HTML_Element::sizeLabel();
    listing.rows.reserve(listing.count * BytesPerEntry);
    layOut(
        listing.count, [&listing](QByteArrayView tag) { listing.rows.append(tag); },
        [&](qsizetype i) {
            const FolderFile &file = found.files[size_t(i)];
            const HTML_Element *element = elements[size_t(i)].get();
            if (!element) {
                Html::appendCell(listing.rows, found.nameOf(file), found.textOf(file), file.size,
                                 QByteArray(), label);
                return;
            }
            // Asked before the cell is written: a cell that shows its copy while the page
            // still reloads costs a reload, the other way round the copy would never show.
            if (!element->isReady())
                listing.allReady = false;
            element->toHTML(listing.rows, label);
        });
    return listing;
}

Listing phoneListing(const QString &folder, HTML_Element_Manager *manager)
{
    const FolderFiles found = readFolder(folder);
    Listing listing;
    listing.count = qsizetype(found.files.size());
    const Elements elements = manager && listing.count > 0 ? elementsOf(found, folder, *manager) : Elements();
    listing.rows.reserve(listing.count * 2 * BytesPerEntry);
    for (size_t i = 0; i < found.files.size(); ++i) {
        const FolderFile &file = found.files[i];
        const HTML_Element *element = elements.empty() ? nullptr : elements[i].get();
        // Asked before the picture, as in the thumbnail listing.
        if (element && !element->isReady())
            listing.allReady = false;
        Html::appendEntry(listing.rows, found.nameOf(file), found.textOf(file), file.size, file.modifiedMs,
                          element ? element->picture() : QByteArray());
    }
    return listing;
}

QByteArray phonePage(const Listing &listing, const QString &title, const QString &sharedPath)
{
    const auto text
        = [](const char *source) { return Html::escape(QCoreApplication::translate(Context, source)); };
    const QByteArray name = Html::escape(title);
    QByteArray out;
    out.reserve(listing.rows.size() + 4096);
    out += PhoneStart;
    if (!listing.allReady)
        out += Refresh;
    out += "<title>" + name + "</title>" + PhoneStyle + "</head><body><header><h1>" + name + "</h1>";
    out += "<div class=\"tools\" id=\"tools\" hidden><input type=\"search\" placeholder=\"" + text("Filter")
        + "\" aria-label=\"" + text("Filter") + "\"><button type=\"button\" value=\"name\">" + text("Name")
        + "</button><button type=\"button\" value=\"size\">" + text("Size")
        + "</button><button type=\"button\" value=\"date\">" + text("Date") + "</button></div></header>";
    if (listing.rows.isEmpty())
        out += "<p>" + text("No files in shared folder: ") + Html::escape(sharedPath) + "</p>";
    else
        out += "<ul id=\"files\">" + listing.rows + "</ul>";
    out += PhoneScript;
    out += "</body></html>";
    return out;
}

QByteArray page(const QByteArray &rows, bool allReady, const QByteArray &bodyTag, const QString &sharedPath)
{
    QByteArray out;
    out.reserve(rows.size() + bodyTag.size() + 256);
    out += PageStart;
    if (!allReady)
        out += Refresh;
    out += bodyTag;
    out += TableStart;
    if (rows.isEmpty()) {
        out += EmptyStart;
        out += QCoreApplication::translate(Context, "No files in shared folder: ").toUtf8();
        out += Html::escape(sharedPath);
        out += EmptyEnd;
    } else {
        out += rows;
    }
    out += PageEnd;
    return out;
}

} // namespace FolderPage
