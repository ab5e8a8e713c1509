#include "pages/folderpage.h"
#include "pages/html_element.h"
#include "pages/html_element_manager.h"
#include "support/rawclient.h"
#include "support/serverfixture.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <future>

class tst_Thumbnails : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void picture_data();
    void picture();
    void cellBytes();
    void scaledCopy_data();
    void scaledCopy();
    void unreadableImage_data();
    void unreadableImage();
    void cache();
    void listingRefreshesUntilReady();
    void listingsWhileTheWorkerRuns();
    void thumbnailFolder();
    void servedPage();

private:
    QTemporaryDir data;
};

namespace {

// A JPEG or PNG of random pixels, so it does not compress below the photo size; JPEG
// decoders ignore what follows the image, so padding gives any size above its own.
QByteArray photo(const char *format, int width = 300, int height = 200, qint64 padTo = 0)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = QRandomGenerator::global()->generate();
    }
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, format))
        qFatal("cannot make a %s", format);
    QByteArray bytes = buffer.data();
    if (padTo > bytes.size())
        bytes.append(QByteArray(padTo - bytes.size(), '\0'));
    return bytes;
}

quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffff;
    for (const char byte : bytes) {
        crc ^= static_cast<uchar>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &content)
{
    QByteArray chunk;
    QDataStream(&chunk, QIODevice::WriteOnly) << quint32(content.size());
    const QByteArray checked = type + content;
    chunk += checked;
    QByteArray crc;
    QDataStream(&crc, QIODevice::WriteOnly) << crc32(checked);
    return chunk + crc;
}

// A small PNG whose header claims 40000 x 40000 colour pixels: gigabytes once decoded.
QByteArray decompressionBomb()
{
    QByteArray header;
    QDataStream stream(&header, QIODevice::WriteOnly);
    stream << quint32(40000) << quint32(40000) << quint8(8) << quint8(2) << quint8(0) << quint8(0)
           << quint8(0);
    // zlib data without qCompress's length prefix: rows of zeros.
    const QByteArray pixels = qCompress(QByteArray(1024 * 1024, '\0')).mid(4);
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png += pngChunk("IHDR", header) + pngChunk("IDAT", pixels) + pngChunk("IEND", QByteArray());
    return png.size() < HTML_Element::PhotoSizeLimit ? png + QByteArray(HTML_Element::PhotoSizeLimit, '\0')
                                                     : png;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    ServerFixture::writeFile(path, bytes);
}

QString iconDir()
{
    return QString::fromLocal8Bit(*Configuration::IconDir);
}

// The address of the picture in a cell, or "" for none.
QByteArray pictureOf(const QByteArray &cell)
{
    static const QRegularExpression image(QStringLiteral("<img src=\"([^\"]*)\""));
    return image.match(QString::fromUtf8(cell)).captured(1).toUtf8();
}

QByteArray cellOf(const HTML_Element &element)
{
    QByteArray cell;
    element.toHTML(cell);
    return cell;
}

} // namespace

void tst_Thumbnails::init()
{
    QVERIFY(data.isValid());
    Configuration::setDataDir(data.path());
}

// What each kind of file shows: "" none, "itself" the file, "scaled" a copy still being
// made (the image icon until then), or an install-folder icon.
void tst_Thumbnails::picture_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<QString>("picture");

    QTest::addRow("photo of 19999 bytes shows itself") << "photo.jpg" << qint64(19999) << false << "itself";
    QTest::addRow("photo of 20000 bytes is scaled") << "photo.jpg" << qint64(20000) << false << "scaled";
    QTest::addRow("upper-case extension") << "PHOTO.JPG" << qint64(50000) << false << "scaled";
    QTest::addRow("small png") << "pic.png" << qint64(100) << false << "itself";
    QTest::addRow("large png") << "pic.Png" << qint64(20000) << false << "scaled";
    QTest::addRow("jpeg is not a photo here") << "pic.jpeg" << qint64(30000) << false << "";
    QTest::addRow("gif") << "anim.gif" << qint64(100) << false << "";
    QTest::addRow("hidden-style name") << ".profile" << qint64(10) << false << "";
    QTest::addRow("no extension") << "README" << qint64(10) << false << "";
    QTest::addRow("executable without extension") << "tool" << qint64(10) << true << "";
    QTest::addRow("executable with unknown extension") << "run.sh" << qint64(10) << true << "application.png";
    QTest::addRow("unknown extension") << "run.sh" << qint64(10) << false << "";
    QTest::addRow("exe") << "setup.EXE" << qint64(10) << false << "application.png";
    QTest::addRow("known extension beats executable") << "notes.txt" << qint64(10) << true << "txt.png";
    QTest::addRow("trailing dot, no extension") << "name." << qint64(10) << true << "";
    QTest::addRow("htm") << "page.htm" << qint64(10) << false << "";
    QTest::addRow("html") << "page.html" << qint64(10) << false << "html.png";
    QTest::addRow("pdf") << "paper.pdf" << qint64(10) << false << "doc.png";
    QTest::addRow("pps") << "slides.pps" << qint64(10) << false << "doc.png";
    QTest::addRow("ogg") << "song.ogg" << qint64(10) << false << "music.png";
    QTest::addRow("m4a is media") << "song.m4a" << qint64(10) << false << "media.png";
    QTest::addRow("3gp") << "clip.3gp" << qint64(10) << false << "media.png";
    QTest::addRow("last extension counts") << "src.tar.gz" << qint64(10) << false << "folder_tar.png";
    QTest::addRow("xls") << "sums.xls" << qint64(10) << false << "sheet.png";
    QTest::addRow("5 GB film") << "film.avi" << qint64(5368709120) << false << "media.png";
}

void tst_Thumbnails::picture()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(bool, executable);
    QFETCH(QString, picture);

    QTemporaryDir folder;
    QTemporaryDir copies;
    QVERIFY(folder.isValid() && copies.isValid());
    QFile file(folder.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
    if (executable)
        QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
    file.close();

    const QFileInfo info(file.fileName());
    const HTML_Element element(&info, copies.path());
    QCOMPARE(element.isReady(), picture != QLatin1String("scaled"));
    const QByteArray cell = cellOf(element);
    QVERIFY(cell.endsWith("</a><br>Size=" + QByteArray::number(size) + "</td>"));
    QByteArray expected;
    if (picture == QLatin1String("itself"))
        expected = FolderPage::nameLink(name.toUtf8());
    else if (picture == QLatin1String("scaled"))
        expected = (iconDir() + QLatin1String("image.png")).toUtf8();
    else if (!picture.isEmpty())
        expected = (iconDir() + picture).toUtf8();
    QCOMPARE(pictureOf(cell), expected);
    QCOMPARE(cell.contains("<img "), !picture.isEmpty());
}

void tst_Thumbnails::cellBytes()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    writeFile(folder.filePath(QStringLiteral("a b.txt")), "twelve bytes");
    const QFileInfo info(folder.filePath(QStringLiteral("a b.txt")));
    const QByteArray icons = FolderPage::pathLink(*Configuration::IconDir);
    QCOMPARE(cellOf(HTML_Element(&info, QString())),
             "<td align=\"center\" width=\"200\"><a href=\"a%20b.txt\"><img src=\"" + icons
                 + "txt.png\" vspace=\"8\" align=\"center\" border=\"0\"><br>a b.txt</a><br>Size=12</td>");

    writeFile(folder.filePath(QStringLiteral("#1 ä.png")), "tiny");
    const QFileInfo small(folder.filePath(QStringLiteral("#1 ä.png")));
    QCOMPARE(
        cellOf(HTML_Element(&small, QString())),
        "<td align=\"center\" width=\"200\"><a href=\"%231%20%C3%A4.png\"><img src=\"%231%20%C3%A4.png\" "
        "vspace=\"8\" align=\"center\" border=\"0\"><br>#1 \xc3\xa4.png</a><br>Size=4</td>");
}

void tst_Thumbnails::scaledCopy_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("height");

    QTest::addRow("jpeg") << "photo.jpg" << photo("JPEG", 300, 200) << 85;
    QTest::addRow("png") << "photo.png" << photo("PNG", 256, 512) << 256;
    QTest::addRow("narrower than the copy") << "narrow.jpg" << photo("JPEG", 64, 32, 20000) << 64;
    QTest::addRow("name beyond Latin-1") << "kuva \u20ac \U0001F600.JPG" << photo("JPEG", 300, 200) << 85;
    QTest::addRow("png named jpg") << "odd.jpg" << photo("PNG", 300, 200) << 85;
}

void tst_Thumbnails::scaledCopy()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, height);
    QVERIFY(bytes.size() >= HTML_Element::PhotoSizeLimit);

    QTemporaryDir folder;
    QTemporaryDir copies;
    QVERIFY(folder.isValid() && copies.isValid());
    writeFile(folder.filePath(name), bytes);
    const QFileInfo info(folder.filePath(name));
    QString copy;
    {
        HTML_Element element(&info, copies.path());
        QVERIFY(!element.isReady());
        element.init();
        QVERIFY(element.isReady());
        copy = QString::fromUtf8(QByteArray::fromPercentEncoding(pictureOf(cellOf(element))));
        QCOMPARE(QFileInfo(copy).absolutePath(), copies.path());
        const QImage image(copy);
        QCOMPARE(image.width(), HTML_Element::ThumbnailWidth);
        QVERIFY2(qAbs(image.height() - height) <= 1, qPrintable(QString::number(image.height())));
    }
    QVERIFY(!QFile::exists(copy));
}

void tst_Thumbnails::unreadableImage_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::addRow("not an image") << QByteArray(30000, 'x');
    QTest::addRow("decompression bomb") << decompressionBomb();
    QTest::addRow("jpeg cut inside its header") << photo("JPEG").left(100) + QByteArray(30000, '\0');
    QTest::addRow("empty scan") << QByteArray("\xff\xd8\xff\xd9", 4) + QByteArray(30000, '\0');
}

// The worker survives what it cannot read, and the cell falls back to the image icon.
void tst_Thumbnails::unreadableImage()
{
    QFETCH(QByteArray, bytes);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    writeFile(folder.filePath(QStringLiteral("bad.png")), bytes);
    writeFile(folder.filePath(QStringLiteral("good.jpg")), photo("JPEG"));
    HTML_Element_Manager manager;
    const QFileInfo bad(folder.filePath(QStringLiteral("bad.png")));
    const QFileInfo good(folder.filePath(QStringLiteral("good.jpg")));
    const auto badElement = manager.toHTML(&bad);
    const auto goodElement = manager.toHTML(&good);
    QTRY_VERIFY(badElement->isReady() && goodElement->isReady());
    QCOMPARE(pictureOf(cellOf(*badElement)), (iconDir() + QLatin1String("image.png")).toUtf8());
    QVERIFY(pictureOf(cellOf(*goodElement)).startsWith(manager.thumbnailFolder().toUtf8()));
    // Only the good photo's copy is left.
    QCOMPARE(QDir(manager.thumbnailFolder()).entryList(QDir::Files).size(), 1);
}

// Elements are found again by path, size and modification time, nothing else.
void tst_Thumbnails::cache()
{
    QTemporaryDir first;
    QTemporaryDir second;
    QVERIFY(first.isValid() && second.isValid());
    const QString name = QStringLiteral("photo.jpg");
    writeFile(first.filePath(name), photo("JPEG", 300, 200));
    writeFile(second.filePath(name), photo("JPEG", 200, 400));

    HTML_Element_Manager manager;
    const QFileInfo info(first.filePath(name));
    const auto element = manager.toHTML(&info);
    QCOMPARE(manager.toHTML(&info), element);

    const QFileInfo other(second.filePath(name));
    const auto otherElement = manager.toHTML(&other);
    QVERIFY(otherElement != element);
    QTRY_VERIFY(element->isReady() && otherElement->isReady());
    QVERIFY(cellOf(*otherElement).endsWith("Size=" + QByteArray::number(other.size()) + "</td>"));
    QVERIFY(pictureOf(cellOf(*element)) != pictureOf(cellOf(*otherElement)));

    // Replaced by a photo of another size and time: a new element with the new size.
    const QByteArray replacement = photo("JPEG", 400, 100);
    writeFile(first.filePath(name), replacement);
    QFile(first.filePath(name))
        .setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime);
    const QFileInfo replaced(first.filePath(name));
    const auto newElement = manager.toHTML(&replaced);
    QVERIFY(newElement != element);
    QVERIFY(cellOf(*newElement).endsWith("Size=" + QByteArray::number(replacement.size()) + "</td>"));
    QTRY_VERIFY(newElement->isReady());
    const QImage copy(QString::fromUtf8(QByteArray::fromPercentEncoding(pictureOf(cellOf(*newElement)))));
    QCOMPARE(copy.size(), QSize(128, 32));
}

void tst_Thumbnails::listingRefreshesUntilReady()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QByteArray jpeg = photo("JPEG", 64, 48);
    writeFile(folder.filePath(QStringLiteral("a.jpg")), jpeg.leftJustified(19999, '\0', true));
    writeFile(folder.filePath(QStringLiteral("b.jpg")), jpeg.leftJustified(20000, '\0', true));
    writeFile(folder.filePath(QStringLiteral("c.txt")), "c");

    HTML_Element_Manager manager;
    FolderPage::Listing listing = FolderPage::thumbnailListing(folder.path(), manager);
    QCOMPARE(listing.count, 3);
    if (listing.allReady)
        QSKIP("the worker finished before the page was built");
    QVERIFY(listing.rows.contains("<img src=\"a.jpg\""));
    QVERIFY(listing.rows.contains("<a href=\"b.jpg\"><img src=\""
                                  + FolderPage::pathLink(*Configuration::IconDir) + "image.png\""));

    QTRY_VERIFY((listing = FolderPage::thumbnailListing(folder.path(), manager)).allReady);
    const QByteArray copies = FolderPage::pathLink(QFile::encodeName(manager.thumbnailFolder()));
    QVERIFY(listing.rows.contains("<a href=\"b.jpg\"><img src=\"" + copies + '/'));
    // From the cache from now on: the same bytes.
    QCOMPARE(FolderPage::thumbnailListing(folder.path(), manager).rows, listing.rows);
}

// Connection threads list folders at once while the worker scales their photos.
void tst_Thumbnails::listingsWhileTheWorkerRuns()
{
    QTemporaryDir first;
    QTemporaryDir second;
    QVERIFY(first.isValid() && second.isValid());
    const QByteArray jpeg = photo("JPEG", 160, 120, 20000);
    constexpr int Photos = 40;
    for (int i = 0; i < Photos; ++i) {
        writeFile(first.filePath(QStringLiteral("p%1.jpg").arg(i)), jpeg);
        writeFile(second.filePath(QStringLiteral("p%1.jpg").arg(i)), jpeg + "x");
    }

    HTML_Element_Manager manager;
    std::vector<std::future<bool>> listers;
    for (int thread = 0; thread < 8; ++thread) {
        const QString folder = thread % 2 ? first.path() : second.path();
        listers.push_back(std::async(std::launch::async, [&manager, folder] {
            QDeadlineTimer deadline(30000);
            while (!deadline.hasExpired()) {
                const FolderPage::Listing listing = FolderPage::thumbnailListing(folder, manager);
                if (listing.count != Photos || listing.rows.count("<td ") != Photos)
                    return false;
                if (listing.allReady)
                    return listing.rows.count(
                               FolderPage::pathLink(QFile::encodeName(manager.thumbnailFolder())))
                        == Photos;
                QThread::msleep(10);
            }
            return false;
        }));
    }
    for (std::future<bool> &lister : listers)
        QVERIFY(lister.get());
    QCOMPARE(QDir(manager.thumbnailFolder()).entryList(QDir::Files).size(), 2 * Photos);
}

void tst_Thumbnails::thumbnailFolder()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    writeFile(folder.filePath(QStringLiteral("a.jpg")), photo("JPEG"));
    QString copies;
    {
        HTML_Element_Manager manager;
        QVERIFY(manager.thumbnailFolder().isEmpty());
        const QFileInfo info(folder.filePath(QStringLiteral("a.jpg")));
        const auto element = manager.toHTML(&info);
        copies = manager.thumbnailFolder();
        QVERIFY(copies.startsWith(QDir::tempPath() + QLatin1String("/tarnwickServer-")));
        struct stat status;
        QCOMPARE(::lstat(QFile::encodeName(copies).constData(), &status), 0);
        QVERIFY(S_ISDIR(status.st_mode));
        QCOMPARE(status.st_mode & 07777, 0700u);
        QCOMPARE(status.st_uid, ::getuid());
        QTRY_VERIFY(element->isReady());
    }
    QVERIFY(!QFileInfo::exists(copies));
}

// Over the wire: the page reloads until the copy exists, which is then served, and
// nothing outside the copies' folder is.
void tst_Thumbnails::servedPage()
{
    ServerFixture fixture;
    QVERIFY(fixture.start());
    ServerFixture::config()->setParam(ParamThumbnailView, 1);
    writeFile(fixture.sharedPath(QStringLiteral("photo.jpg")), photo("JPEG", 256, 128));
    writeFile(fixture.sharedPath(QStringLiteral("secret.txt")), "secret");
    const auto get = [&fixture](const QByteArray &path) {
        return RawClient::exchange(fixture.port(), "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    };

    RawResponse page = get("/");
    QCOMPARE(page.statusCode(), 202);
    QVERIFY(page.body.startsWith("<html>"));
    QVERIFY(page.body.contains("<body background=\"" + FolderPage::pathLink(*Configuration::IconDir)
                               + "sand-light.jpg\">"));
    QTRY_VERIFY_WITH_TIMEOUT(!(page = get("/")).body.contains("http-equiv=\"refresh\""), 10000);
    const QByteArray copy = pictureOf(page.body);
    const QString copies = ServerThread::HTML_Manager.thumbnailFolder();
    QVERIFY(copy.startsWith(FolderPage::pathLink(QFile::encodeName(copies))));

    const RawResponse image = get(copy);
    QCOMPARE(image.statusCode(), 202);
    QCOMPARE(QImage::fromData(image.body).size(), QSize(128, 64));

    // A link in the copies' folder leads nowhere, and neither does a name not there.
    QVERIFY(
        QFile::link(fixture.sharedPath(QStringLiteral("secret.txt")), copies + QLatin1String("/link.txt")));
    const QByteArray link = FolderPage::pathLink(QFile::encodeName(copies + QLatin1String("/link.txt")));
    QCOMPARE(get(link).statusCode(), 404);
    QVERIFY(QFile::remove(copies + QLatin1String("/link.txt")));
    QCOMPARE(get(FolderPage::pathLink(QFile::encodeName(copies + QLatin1String("/none.jpg")))).statusCode(),
             404);

    ServerFixture::config()->setParam(ParamThumbnailView, 0);
    QVERIFY(!get("/").body.contains("<img "));
}

QTEST_GUILESS_MAIN(tst_Thumbnails)
#include "tst_thumbnails.moc"
