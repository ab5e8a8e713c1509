#include "server/contenttype.h"
#include "server/protocol.h"

#include <QtTest>

class tst_ContentType : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void forFileName_data();
    void forFileName();
    void attachmentLine_data();
    void attachmentLine();
};

void tst_ContentType::forFileName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("attachment");

    const QByteArray none;
    QTest::addRow("index.html") << QStringLiteral("index.html") << QByteArray(Http::TypeHtmlUtf8) << false;
    QTest::addRow("INDEX.HTML") << QStringLiteral("INDEX.HTML") << QByteArray("text/html; charset=UTF-8")
                                << false;
    QTest::addRow("index.htm") << QStringLiteral("index.htm") << none << true;
    QTest::addRow("photo.JPG") << QStringLiteral("photo.JPG") << QByteArray("image/jpeg") << true;
    QTest::addRow("photo.Jpg") << QStringLiteral("photo.Jpg") << QByteArray("image/jpeg") << true;
    QTest::addRow("photo.jpeg") << QStringLiteral("photo.jpeg") << none << true;
    QTest::addRow("png") << QStringLiteral("a.png") << QByteArray("image/png") << true;
    QTest::addRow("avi") << QStringLiteral("a.avi") << QByteArray("video/x-msvideo") << true;
    QTest::addRow("torrent") << QStringLiteral("a.torrent") << QByteArray("application/x-bittorrent") << true;
    QTest::addRow("pdf") << QStringLiteral("report.pdf") << QByteArray("application/pdf") << true;
    QTest::addRow("mp4") << QStringLiteral("clip.mp4") << QByteArray("video/mp4v-es, audio/mp4") << true;
    QTest::addRow("song.aac") << QStringLiteral("song.aac") << QByteArray("video/mp4v-es, audio/mp4") << true;
    QTest::addRow("flv") << QStringLiteral("a.flv") << QByteArray("video/x-flv") << true;
    QTest::addRow("3gp") << QStringLiteral("a.3gp") << QByteArray("audio/3gpp, video/3gpp") << true;
    QTest::addRow("mp3") << QStringLiteral("a.mp3") << QByteArray("audio/mpeg3") << true;
    QTest::addRow("mov") << QStringLiteral("a.mov") << QByteArray("video/quicktime") << true;
    QTest::addRow("doc") << QStringLiteral("a.doc") << QByteArray("application/msword") << true;
    QTest::addRow("pps") << QStringLiteral("a.pps") << QByteArray("application/vnd.ms-powerpoint") << true;
    QTest::addRow("rtf") << QStringLiteral("a.rtf") << QByteArray("application/rtf") << true;
    QTest::addRow("xls") << QStringLiteral("a.xls") << QByteArray("application/excel") << true;
    QTest::addRow("wav") << QStringLiteral("a.wav") << QByteArray("audio/wav") << true;
    QTest::addRow("wmv") << QStringLiteral("a.wmv") << QByteArray("video/x-ms-wmv") << true;
    QTest::addRow("zip") << QStringLiteral("a.zip") << QByteArray("application/zip") << true;
    QTest::addRow("exe") << QStringLiteral("setup.EXE") << QByteArray("application/octet-stream") << true;
    QTest::addRow("gif") << QStringLiteral("anim.gif") << none << true;
    QTest::addRow("txt") << QStringLiteral("notes.txt") << none << true;
    QTest::addRow("no dot") << QStringLiteral("README") << none << true;
    QTest::addRow("last suffix counts") << QStringLiteral("archive.tar.gz") << none << true;
    QTest::addRow("last suffix of a known pair")
        << QStringLiteral("page.html.zip") << QByteArray("application/zip") << true;
    QTest::addRow("trailing dot") << QStringLiteral("photo.jpg.") << none << true;
    QTest::addRow("suffix-like name") << QStringLiteral("jpg") << none << true;
    QTest::addRow("dot in the folder only") << QStringLiteral("/srv/share.pdf/README") << none << true;
    QTest::addRow("path to a page") << QStringLiteral("/opt/x/lang/C/login.html")
                                    << QByteArray(Http::TypeHtmlUtf8) << false;
}

void tst_ContentType::forFileName()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, type);
    QFETCH(bool, attachment);

    const ContentType::Entry entry = ContentType::forFileName(fileName);
    QCOMPARE(entry.type, type);
    QCOMPARE(entry.attachment, attachment);
}

void tst_ContentType::attachmentLine_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("line");

    QTest::addRow("photo.JPG") << QStringLiteral("photo.JPG")
                               << QByteArray("Content-Disposition: attachment; filename=\"photo.JPG\"; "
                                             "filename*=UTF-8''photo.JPG\r\n");
    QTest::addRow("suffixes kept") << QStringLiteral("archive.tar.gz")
                                   << QByteArray(
                                          "Content-Disposition: attachment; filename=\"archive.tar.gz\"; "
                                          "filename*=UTF-8''archive.tar.gz\r\n");
    QTest::addRow("no dot") << QStringLiteral("README")
                            << QByteArray("Content-Disposition: attachment; filename=\"README\"; "
                                          "filename*=UTF-8''README\r\n");
    QTest::addRow("name in a path") << QStringLiteral("/srv/share.d/index.htm")
                                    << QByteArray("Content-Disposition: attachment; filename=\"index.htm\"; "
                                                  "filename*=UTF-8''index.htm\r\n");
    QTest::addRow("hidden file") << QStringLiteral(".profile")
                                 << QByteArray("Content-Disposition: attachment; filename=\".profile\"; "
                                               "filename*=UTF-8''.profile\r\n");
    QTest::addRow("blank") << QStringLiteral("a b.txt")
                           << QByteArray("Content-Disposition: attachment; filename=\"a b.txt\"; "
                                         "filename*=UTF-8''a%20b.txt\r\n");
    QTest::addRow("percent sign") << QStringLiteral("100%.txt")
                                  << QByteArray("Content-Disposition: attachment; filename=\"100%.txt\"; "
                                                "filename*=UTF-8''100%25.txt\r\n");
    QTest::addRow("quotes") << QStringLiteral("say \"hi\".txt")
                            << QByteArray("Content-Disposition: attachment; filename=\"say _hi_.txt\"; "
                                          "filename*=UTF-8''say%20%22hi%22.txt\r\n");
    QTest::addRow("backslash") << QStringLiteral("a\\\".txt")
                               << QByteArray("Content-Disposition: attachment; filename=\"a__.txt\"; "
                                             "filename*=UTF-8''a%5C%22.txt\r\n");
    QTest::addRow("CR LF and a header")
        << QStringLiteral("x\r\nSet-Cookie: a=1.pdf")
        << QByteArray("Content-Disposition: attachment; "
                      "filename=\"x__Set-Cookie: a=1.pdf\"; "
                      "filename*=UTF-8''x%0D%0ASet-Cookie%3A%20a%3D1.pdf\r\n");
    QTest::addRow("tab, DEL and C1 control")
        << QStringLiteral("a\tb\u007fc\u0085d.wav")
        << QByteArray("Content-Disposition: attachment; filename=\"a_b_c_d.wav\"; "
                      "filename*=UTF-8''a%09b%7Fc%C2%85d.wav\r\n");
    QTest::addRow("Latin-1") << QStringLiteral("k\u00e4si \u00a9.jpg")
                             << QByteArray("Content-Disposition: attachment; filename=\"k\xe4si \xa9.jpg\"; "
                                           "filename*=UTF-8''k%C3%A4si%20%C2%A9.jpg\r\n");
    QTest::addRow("outside Latin-1") << QStringLiteral("\u65e5\u672c\u20ac.pdf")
                                     << QByteArray("Content-Disposition: attachment; filename=\"???.pdf\"; "
                                                   "filename*=UTF-8''%E6%97%A5%E6%9C%AC%E2%82%AC.pdf\r\n");
    QTest::addRow("beyond the first plane")
        << QStringLiteral("a\U0001F600.png")
        << QByteArray("Content-Disposition: attachment; filename=\"a?.png\"; "
                      "filename*=UTF-8''a%F0%9F%98%80.png\r\n");
}

void tst_ContentType::attachmentLine()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, line);

    const QByteArray result = ContentType::attachmentLine(fileName);
    QCOMPARE(result, line);
    QVERIFY(result.startsWith(Http::AttachmentPrefix));
    // One line, whatever the name: the only CR and LF are its end.
    QCOMPARE(result.count('\r'), 1);
    QCOMPARE(result.count('\n'), 1);
    QVERIFY(result.endsWith(Http::Crlf));
}

QTEST_GUILESS_MAIN(tst_ContentType)
#include "tst_contenttype.moc"
