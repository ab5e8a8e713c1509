#include "folderpage.h"

#include "html.h"

#include <QCoreApplication>
#include <QDir>

namespace {

// The translations belong to the connection thread's catalogue context.
constexpr char Context[] = "ServerThread";

constexpr char CellStart[] = "<td align=\"center\" width=\"200\"><a href=\"";
constexpr char LinkEnd[] = "\"><br>";
constexpr char NameEnd[] = "</a><br>";
constexpr char CellEnd[] = "</td>";
constexpr char RowStart[] = "<tr>";
constexpr char RowEnd[] = "</tr>";
constexpr int CellsPerRow = 3;
// Room reserved per entry before the rows are built.
constexpr qsizetype BytesPerEntry = 80;

constexpr char PageStart[] = "<html>";
// Reloads the page until every picture on it is ready.
constexpr char Refresh[] = "<meta http-equiv=\"refresh\" content=\"2\"/>";
constexpr char TableStart[] = "<table border=\"1\" frame=\"border\">";
constexpr char EmptyStart[] = "<tr><td><h2>";
constexpr char EmptyEnd[] = "</h2></td></tr>";
constexpr char PageEnd[] = "</table></body></html>";

} // namespace

namespace FolderPage {

QByteArray cell(const QFileInfo &file)
{
    QByteArray out;
    appendCell(file, out);
    return out;
}

bool appendCell(const QFileInfo &file, QByteArray &out)
{
    const QByteArray name = file.fileName().toUtf8();
    out += CellStart;
    // Encoded whole, so "#", "?" and "%" stay part of the name and a ":" cannot
    // make the link look like a scheme.
    out += name.toPercentEncoding();
    out += LinkEnd;
    out += Html::escapeUtf8(name);
    out += NameEnd;
    out += QCoreApplication::translate(Context, "Size=").toUtf8();
    out += QByteArray::number(file.size());
    out += CellEnd;
    return true;
}

QByteArray rows(const QFileInfoList &entries,
                const std::function<bool(const QFileInfo &, QByteArray &)> &cellFor, bool *allReady)
{
    QByteArray out;
    out.reserve(entries.size() * BytesPerEntry);
    bool ready = true;
    for (qsizetype first = 0; first < entries.size(); first += CellsPerRow) {
        out += RowStart;
        const qsizetype end = qMin(first + CellsPerRow, entries.size());
        for (qsizetype i = first; i < end; ++i) {
            if (!cellFor(entries.at(i), out))
                ready = false;
        }
        out += RowEnd;
    }
    if (allReady)
        *allReady = ready;
    return out;
}

QFileInfoList entries(const QString &folder)
{
    return QDir(folder).entryInfoList(QDir::Files, QDir::Name);
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
