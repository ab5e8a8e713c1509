#include "pages/html.h"
#include "support/testserver.h"

#include <QBuffer>
#include <QImage>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

// The listing with pictures, fetched over loopback as a browser shows it.
class tst_Thumbnails : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listing();
};

namespace {

// A JPEG of random pixels, padded to the size given; decoders ignore what follows the image.
QByteArray photo(qint64 size)
{
    QImage image(300, 200, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(image.scanLine(y)), image.width());
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 50);
    return buffer.data() + QByteArray(size - buffer.size(), '\0');
}

// The picture of each cell by the file's name.
QMap<QString, QByteArray> pictures(const QByteArray &page)
{
    static const QRegularExpression cell(
        QStringLiteral("<a href=\"[^\"]*\">(?:<img src=\"([^\"]*)\"[^>]*>)?<br>([^<]*)</a>"));
    QMap<QString, QByteArray> found;
    for (auto match = cell.globalMatch(QString::fromUtf8(page)); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        found.insert(m.captured(2), m.captured(1).toUtf8());
    }
    return found;
}

} // namespace

void tst_Thumbnails::listing()
{
    TestServer server;
    TestServer::config()->setParam(ParamThumbnailView, 1);
    const QString big = server.put("big.jpg", photo(40000));
    QImage small(10, 10, QImage::Format_RGB32);
    small.fill(Qt::red);
    QVERIFY(small.save(server.shared.filePath("small.png")));
    server.put("doc.pdf", "%PDF");
    server.put("notes", "n");
    // Decoded whole it would take more than 200 MiB.
    QVERIFY(QFile::copy(QStringLiteral(TEST_DATA_DIR "/bomb.png"), server.shared.filePath("bomb.png")));

    // The page reloads until every scaled copy is made.
    QByteArray page;
    QTRY_VERIFY_WITH_TIMEOUT(!(page = server.get("/").body).contains("http-equiv=\"refresh\""), 20000);
    QVERIFY(page.startsWith("<html><body background=\"" + Html::iconLink("sand-light.jpg") + "\">"));
    QMap<QString, QByteArray> shown = pictures(page);
    QCOMPARE(shown.value("small.png"), QByteArray("small.png"));
    QCOMPARE(shown.value("doc.pdf"), Html::iconLink("doc.png"));
    QCOMPARE(shown.value("bomb.png"), Html::iconLink("image.png"));
    QCOMPARE(shown.value("notes"), QByteArray());
    const QByteArray copy = shown.value("big.jpg");
    QVERIFY(copy.startsWith(Html::pathLink(QFile::encodeName(ServerThread::HTML_Manager.thumbnailFolder()))));
    const QImage scaled = QImage::fromData(server.get(copy).body);
    QCOMPARE(scaled.size(), QSize(128, 85));

    // A photo edited in place, to the same size, gets a new copy.
    QFile edited(big);
    QVERIFY(edited.open(QIODevice::WriteOnly) && edited.write(photo(40000)) == 40000);
    edited.setFileTime(QDateTime::currentDateTime().addSecs(10), QFileDevice::FileModificationTime);
    edited.close();
    QTRY_VERIFY_WITH_TIMEOUT(!(page = server.get("/").body).contains("http-equiv=\"refresh\""), 20000);
    shown = pictures(page);
    QVERIFY(shown.value("big.jpg") != copy);
    QVERIFY(QImage::fromData(server.get(shown.value("big.jpg")).body) != scaled);
}

QTEST_GUILESS_MAIN(tst_Thumbnails)
#include "tst_thumbnails.moc"
