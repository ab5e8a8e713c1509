#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>

class QFileInfo;

/*!
 * One file's cell of the thumbnail listing: a link to the file with a picture, the
 * file's name and its size. The picture follows the file's kind: a photo of
 * PhotoSizeLimit bytes or more shows a scaled copy, made later by init(), and the image
 * icon until then; a smaller photo shows itself; other known kinds show an icon from the
 * install folder; the rest show none.
 *
 * Everything but the scaled copy is fixed when the element is made. init() runs in one
 * thread and publishes its result through the ready flag, so toHTML() may run in any
 * number of threads meanwhile.
 */
class HTML_Element : public QObject
{
    Q_OBJECT

public:
    // Photos below this size are sent to the browser as they are.
    static constexpr qint64 PhotoSizeLimit = 20000;
    // The width of a scaled copy; the height keeps the photo's proportions.
    static constexpr int ThumbnailWidth = 128;

    /*!
     * Classifies \a file. A scaled copy goes into \a thumbnailFolder under a name no one
     * can guess; with no folder the photo shows the image icon.
     */
    HTML_Element(const QFileInfo *file, const QString &thumbnailFolder);
    // Deletes the scaled copy.
    ~HTML_Element() override;

    bool isReady() const;
    // Makes the scaled copy; the image icon stands in when the photo cannot be read,
    // is too large to decode, or the copy cannot be written.
    void init();
    // Appends the cell, with the translated "Size=" looked up once per page.
    void toHTML(QByteArray &out, const QByteArray &sizeLabel) const;
    // The address of the picture the cell shows now, in link form; null for none.
    QByteArray picture() const;
    static QByteArray sizeLabel();

    // The install-folder icon for a file name, or a null array for no picture; photos
    // are not told apart here.
    static QByteArray iconFor(const QString &fileName, bool executable);
    // Whether a file of this name is a photo: the extension jpg or png, in any case.
    static bool isPhoto(const QString &fileName);

private:
    // Shows an icon of the install folder.
    void setIcon(const char *file);

    QByteArray utf8Name;
    QString path; // the file's absolute path, which init() reads
    qint64 size;
    QString thumbnailPath; // the scaled copy, made by init()
    // The picture's address in link form, null for none; worked out once, as the cell is
    // written on every listing.
    QByteArray address;
    // Set last, after the fields above have their final values.
    std::atomic<bool> ready {true};
};
