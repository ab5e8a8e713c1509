#include "html_element.h"

#include "html.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>

namespace {

// Shown for a photo whose copy is not made yet or cannot be made.
constexpr char ImageIcon[] = "image.png";
constexpr char ExecutableIcon[] = "application.png";

struct IconRow
{
    const char *extensions[8];
    const char *icon;
};

const IconRow IconTable[] = {
    {{"html"}, "html.png"},
    {{"doc", "rtf", "pdf", "pps"}, "doc.png"},
    {{"mp3", "wav", "ogg", "aac"}, "music.png"},
    {{"avi", "mov", "mp4", "3gp", "flv", "vob", "wmv", "m4a"}, "media.png"},
    {{"zip", "rar", "gz"}, "folder_tar.png"},
    {{"txt"}, "txt.png"},
    {{"xls"}, "sheet.png"},
    {{"exe"}, ExecutableIcon},
};

// The text after the last dot, lower-cased; none when there is no dot or the only dot
// starts the name (".profile").
QString extension(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? fileName.mid(dot + 1).toLower() : QString();
}

// A name in the thumbnail folder that a visitor cannot guess, so the copies of earlier
// listings cannot be fetched by trying names.
QString thumbnailName(const QString &extension)
{
    quint64 bits[2];
    QRandomGenerator::system()->fillRange(bits);
    return QString::number(bits[0], 16) + QString::number(bits[1], 16) + QLatin1Char('.') + extension;
}

} // namespace

HTML_Element::HTML_Element(const QFileInfo *file, const QString &thumbnailFolder)
    : utf8Name(file->fileName().toUtf8())
    , path(file->absoluteFilePath())
    , size(file->size())
{
    const QString name = file->fileName();
    if (isPhoto(name)) {
        if (size < PhotoSizeLimit) {
            address = Html::nameLink(utf8Name);
        } else if (thumbnailFolder.isEmpty()) {
            setIcon(ImageIcon);
        } else {
            thumbnailPath = thumbnailFolder + QLatin1Char('/') + thumbnailName(extension(name));
            ready = false;
        }
        return;
    }
    const QByteArray known = iconFor(name, file->isExecutable());
    if (!known.isNull())
        setIcon(known.constData());
}

HTML_Element::~HTML_Element()
{
    if (!thumbnailPath.isEmpty())
        QFile::remove(thumbnailPath);
}

bool HTML_Element::isReady() const
{
    return ready.load(std::memory_order_acquire);
}

void HTML_Element::init()
{
    if (isReady())
        return;

    // The format comes from the content; the name may lie. The reader's allocation limit
    // refuses an image that would decode to more memory than it allows.
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    const QSize full = reader.size();
    // A reader that can decode at a reduced size (JPEG) skips most of the work.
    if (full.width() > ThumbnailWidth && reader.supportsOption(QImageIOHandler::ScaledSize))
        reader.setScaledSize(
            QSize(ThumbnailWidth, qMax(1, int(qint64(full.height()) * ThumbnailWidth / full.width()))));
    QImage image = reader.read();
    if (!image.isNull() && image.width() != ThumbnailWidth)
        image = image.scaledToWidth(ThumbnailWidth, Qt::FastTransformation);

    if (image.isNull() || !image.save(thumbnailPath)) {
        QFile::remove(thumbnailPath);
        thumbnailPath.clear();
        setIcon(ImageIcon);
    } else {
        address = Html::pathLink(QFile::encodeName(thumbnailPath));
    }
    ready.store(true, std::memory_order_release);
}

QByteArray HTML_Element::sizeLabel()
{
    return QCoreApplication::translate("HTML_Element", "Size=").toUtf8();
}

void HTML_Element::toHTML(QByteArray &out, const QByteArray &sizeLabel) const
{
    Html::appendCell(out, utf8Name, utf8Name, size, picture(), sizeLabel);
}

QByteArray HTML_Element::picture() const
{
    return isReady() ? address : Html::iconLink(ImageIcon);
}

void HTML_Element::setIcon(const char *file)
{
    address = Html::iconLink(file);
}

QByteArray HTML_Element::iconFor(const QString &fileName, bool executable)
{
    const QString ext = extension(fileName);
    if (ext.isEmpty())
        return QByteArray();
    for (const IconRow &row : IconTable) {
        for (const char *known : row.extensions) {
            if (known && ext == QLatin1String(known))
                return QByteArray(row.icon);
        }
    }
    return executable ? QByteArray(ExecutableIcon) : QByteArray();
}

bool HTML_Element::isPhoto(const QString &fileName)
{
    const QString ext = extension(fileName);
    return ext == QLatin1String("jpg") || ext == QLatin1String("png");
}
