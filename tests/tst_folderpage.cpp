#include "pages/folderpage.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Sizes = QList<qint64>;

class tst_FolderPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cell_data();
    void cell();
    void rows_data();
    void rows();
    void entries_data();
    void entries();
    void entryKinds_data();
    void entryKinds();
    void page_data();
    void page();
    void listing_data();
    void listing();
    void translatedTexts();
};

// Creates \a name of \a size bytes in \a folder; large sizes stay sparse.
static void makeFile(const QString &folder, const QString &name, qint64 size)
{
    QFile file(folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        qFatal("cannot create %s", qPrintable(file.fileName()));
}

static QByteArray plainCell(const QByteArray &link, const QByteArray &text, const QByteArray &size)
{
    return "<td align=\"center\" width=\"200\"><a href=\"" + link + "\"><br>" + text + "</a><br>Size=" + size
        + "</td>";
}

// The names a listing shows, in its order.
static QStringList listedNames(const QString &folder)
{
    QStringList names;
    static const QRegularExpression name(QStringLiteral("<br>([^<]*)</a>"));
    const QString rows = QString::fromUtf8(FolderPage::plainListing(folder).rows);
    for (const QRegularExpressionMatch &match : name.globalMatch(rows))
        names.append(match.captured(1));
    return names;
}

void tst_FolderPage::cell_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("cell");

    QTest::addRow("blank") << QStringLiteral("a b.txt") << qint64(12)
                           << QByteArray(
                                  "<td align=\"center\" width=\"200\"><a href=\"a%20b.txt\"><br>a b.txt</a>"
                                  "<br>Size=12</td>");
    QTest::addRow("empty file") << QStringLiteral("empty") << qint64(0) << plainCell("empty", "empty", "0");
    QTest::addRow("number sign") << QStringLiteral("#1.txt") << qint64(1)
                                 << plainCell("%231.txt", "#1.txt", "1");
    QTest::addRow("question mark") << QStringLiteral("what?.txt") << qint64(1)
                                   << plainCell("what%3F.txt", "what?.txt", "1");
    QTest::addRow("percent sign") << QStringLiteral("100%.txt") << qint64(1)
                                  << plainCell("100%25.txt", "100%.txt", "1");
    QTest::addRow("escape-like name")
        << QStringLiteral("a%20b") << qint64(1) << plainCell("a%2520b", "a%20b", "1");
    QTest::addRow("markup") << QStringLiteral("<b>x<i>.html") << qint64(1)
                            << plainCell("%3Cb%3Ex%3Ci%3E.html", "&lt;b&gt;x&lt;i&gt;.html", "1");
    QTest::addRow("quotes") << QStringLiteral("say \"hi\" it's.txt") << qint64(1)
                            << plainCell("say%20%22hi%22%20it%27s.txt", "say &quot;hi&quot; it&#39;s.txt",
                                         "1");
    QTest::addRow("ampersand") << QStringLiteral("a&b.txt") << qint64(1)
                               << plainCell("a%26b.txt", "a&amp;b.txt", "1");
    QTest::addRow("colon, not a scheme")
        << QStringLiteral("javascript:x") << qint64(1) << plainCell("javascript%3Ax", "javascript:x", "1");
    QTest::addRow("non-ASCII") << QStringLiteral("k\u00e4si \u20ac.jpg") << qint64(3)
                               << plainCell("k%C3%A4si%20%E2%82%AC.jpg", "k\xc3\xa4si \xe2\x82\xac.jpg", "3");
    QTest::addRow("letters, digits and -._~ kept in the link")
        << QStringLiteral("aZ09-._~") << qint64(1) << plainCell("aZ09-._~", "aZ09-._~", "1");
    QTest::addRow("other ASCII punctuation encoded")
        << QStringLiteral("!$&()*+,;=@[]^`{|}") << qint64(1)
        << plainCell("%21%24%26%28%29%2A%2B%2C%3B%3D%40%5B%5D%5E%60%7B%7C%7D", "!$&amp;()*+,;=@[]^`{|}", "1");
    QTest::addRow("control character and DEL encoded")
        << QStringLiteral("a\tb\x7f") << qint64(1) << plainCell("a%09b%7F", "a\tb\x7f", "1");
    QTest::addRow("5 GB") << QStringLiteral("big.bin") << qint64(5368709120)
                          << plainCell("big.bin", "big.bin", "5368709120");
}

void tst_FolderPage::cell()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(QByteArray, cell);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    makeFile(folder.path(), name, size);
    const FolderPage::Listing listing = FolderPage::plainListing(folder.path());
    QCOMPARE(listing.rows, "<tr>" + cell + "</tr>");
    QCOMPARE(listing.count, 1);
}

void tst_FolderPage::rows_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<QByteArray>("rows");

    QTest::addRow("one") << 1 << QByteArray("<tr>[a]</tr>");
    QTest::addRow("three, one full row") << 3 << QByteArray("<tr>[a][b][c]</tr>");
    QTest::addRow("four, three then one") << 4 << QByteArray("<tr>[a][b][c]</tr><tr>[d]</tr>");
    QTest::addRow("five, three then two") << 5 << QByteArray("<tr>[a][b][c]</tr><tr>[d][e]</tr>");
    QTest::addRow("six, two full rows") << 6 << QByteArray("<tr>[a][b][c]</tr><tr>[d][e][f]</tr>");
    QTest::addRow("seven") << 7 << QByteArray("<tr>[a][b][c]</tr><tr>[d][e][f]</tr><tr>[g]</tr>");
}

void tst_FolderPage::rows()
{
    QFETCH(int, files);
    QFETCH(QByteArray, rows);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    for (int i = 0; i < files; ++i) {
        const QByteArray name(1, char('a' + i));
        makeFile(folder.path(), QString::fromLatin1(name), i);
        rows.replace('[' + name + ']', plainCell(name, name, QByteArray::number(i)));
    }
    const FolderPage::Listing listing = FolderPage::plainListing(folder.path());
    QCOMPARE(listing.rows, rows);
    QCOMPARE(listing.count, files);
}

void tst_FolderPage::entries_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QStringList>("listed");

    QTest::addRow("upper case first") << QStringList {"b.txt", "C.txt", "A.jpg"} << QStringList()
                                      << QStringList() << QStringList {"A.jpg", "C.txt", "b.txt"};
    QTest::addRow("B.txt before a.txt")
        << QStringList {"a.txt", "B.txt"} << QStringList() << QStringList() << QStringList {"B.txt", "a.txt"};
    QTest::addRow("by character code, not by number")
        << QStringList {"9.txt", "10.txt", "_x", "~y"} << QStringList() << QStringList()
        << QStringList {"10.txt", "9.txt", "_x", "~y"};
    QTest::addRow("non-ASCII after ASCII") << QStringList {"\u00e4.txt", "z.txt", "Z.txt"} << QStringList()
                                           << QStringList() << QStringList {"Z.txt", "z.txt", "\u00e4.txt"};
    QTest::addRow("subfolders and hidden files absent")
        << QStringList {".hidden", "x.txt"} << QStringList {"sub", ".git"} << QStringList()
        << QStringList {"x.txt"};
    QTest::addRow("link to a file listed, link to a folder not")
        << QStringList {"real.txt"} << QStringList {"dir"}
        << QStringList {"file-link>real.txt", "dir-link>dir"} << QStringList {"file-link", "real.txt"};
    QTest::addRow("beyond U+FFFF by UTF-16 unit, as QString compares")
        << QStringList {"b", "\u00e4", "a\u00e4", "ab", "\uff01", "\U0001F600", "Z", "\ue000x"}
        << QStringList() << QStringList()
        << QStringList {"Z", "ab", "a\u00e4", "b", "\u00e4", "\U0001F600", "\ue000x", "\uff01"};
    QTest::addRow("prefix first") << QStringList {"ab", "a", "abc", "\u00e4\u00e4", "\u00e4"} << QStringList()
                                  << QStringList()
                                  << QStringList {"a", "ab", "abc", "\u00e4", "\u00e4\u00e4"};
    QTest::addRow("alike in the first 16 bytes, then by the rest")
        << QStringList {"abcdefghijklmnopB",  "abcdefghijklmnopa",      "abcdefghijklmnop",
                        "abcdefghijklmnoA",   "abcdefghijklmnop\uff01", "abcdefghijklmnop\U0001F600",
                        "abcdefghijklmnopa~", "abcdefghijklmnopa!"}
        << QStringList() << QStringList()
        << QStringList {"abcdefghijklmnoA",           "abcdefghijklmnop",      "abcdefghijklmnopB",
                        "abcdefghijklmnopa",          "abcdefghijklmnopa!",    "abcdefghijklmnopa~",
                        "abcdefghijklmnop\U0001F600", "abcdefghijklmnop\uff01"};
    QTest::addRow("8 bytes and beyond")
        << QStringList {"abcdefgh", "abcdefg", "abcdefghi", "abcdefgH"} << QStringList() << QStringList()
        << QStringList {"abcdefg", "abcdefgH", "abcdefgh", "abcdefghi"};
    QTest::addRow("broken link absent")
        << QStringList {"x.txt"} << QStringList() << QStringList {"gone>missing"} << QStringList {"x.txt"};
    QTest::addRow("empty folder") << QStringList() << QStringList() << QStringList() << QStringList();
}

void tst_FolderPage::entries()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, links);
    QFETCH(QStringList, listed);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QDir dir(folder.path());
    for (const QString &name : std::as_const(files))
        makeFile(folder.path(), name, 1);
    for (const QString &name : std::as_const(folders))
        QVERIFY(dir.mkdir(name));
    for (const QString &link : std::as_const(links))
        QVERIFY(QFile::link(link.section(QLatin1Char('>'), 1),
                            dir.filePath(link.section(QLatin1Char('>'), 0, 0))));

    QCOMPARE(listedNames(folder.path()), listed);
    QCOMPARE(FolderPage::plainListing(folder.path()).count, listed.size());
}

// Entries that are neither a file nor a folder, or that no link could name.
void tst_FolderPage::entryKinds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("listed");

    QTest::addRow("file") << "file" << true;
    QTest::addRow("pipe") << "pipe" << false;
    QTest::addRow("link to a pipe") << "link to pipe" << false;
    QTest::addRow("link to a link to a file") << "link to link" << true;
    QTest::addRow("link to a hidden file") << "link to hidden" << true;
    QTest::addRow("name that is not UTF-8") << "not UTF-8" << false;
}

void tst_FolderPage::entryKinds()
{
    QFETCH(QString, kind);
    QFETCH(bool, listed);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QByteArray dir = QFile::encodeName(folder.path()) + '/';
    const QByteArray entry = dir + (kind == QLatin1String("not UTF-8") ? "a\xff.txt" : "entry");
    // Qt cannot name a file whose name does not decode, so the folder cannot remove it.
    const auto removeEntry = qScopeGuard([&entry] { ::unlink(entry.constData()); });

    makeFile(folder.path(), QStringLiteral(".hidden"), 1);
    makeFile(folder.path(), QStringLiteral("file"), 1);
    QCOMPARE(::mkfifo((dir + ".pipe").constData(), 0600), 0);
    QCOMPARE(::symlink("file", (dir + ".link").constData()), 0);
    if (kind == QLatin1String("file") || kind == QLatin1String("not UTF-8")) {
        const int fd = ::open(entry.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        ::close(fd);
    } else if (kind == QLatin1String("pipe")) {
        QCOMPARE(::mkfifo(entry.constData(), 0600), 0);
    } else {
        const char *target = kind == QLatin1String("link to pipe") ? ".pipe"
            : kind == QLatin1String("link to link")                ? ".link"
                                                                   : ".hidden";
        QCOMPARE(::symlink(target, entry.constData()), 0);
    }

    const QStringList expected = listed ? QStringList {"entry", "file"} : QStringList {"file"};
    QCOMPARE(listedNames(folder.path()), expected);
    QCOMPARE(FolderPage::plainListing(folder.path()).count, expected.size());
}

void tst_FolderPage::page_data()
{
    QTest::addColumn<QByteArray>("rows");
    QTest::addColumn<bool>("allReady");
    QTest::addColumn<QByteArray>("bodyTag");
    QTest::addColumn<QString>("sharedPath");
    QTest::addColumn<QByteArray>("page");

    QTest::addRow("plain listing")
        << QByteArray("<tr><td>x</td></tr>") << true << QByteArray(FolderPage::PlainBody)
        << QStringLiteral("/srv/share")
        << QByteArray("<html><body><table border=\"1\" frame=\"border\"><tr><td>x</td></tr>"
                      "</table></body></html>");
    QTest::addRow("pictures still being made")
        << QByteArray("<tr><td>x</td></tr>") << false
        << QByteArray("<body background=\"/img/sand-light.jpg\">") << QStringLiteral("/srv/share")
        << QByteArray(
               "<html><meta http-equiv=\"refresh\" content=\"2\"/><body background=\"/img/sand-light.jpg\">"
               "<table border=\"1\" frame=\"border\"><tr><td>x</td></tr></table></body></html>");
    QTest::addRow("empty folder") << QByteArray() << true << QByteArray("<body>")
                                  << QStringLiteral("/home/user/My Docs")
                                  << QByteArray(
                                         "<html><body><table border=\"1\" frame=\"border\"><tr><td><h2>"
                                         "No files in shared folder: /home/user/My Docs</h2></td></tr>"
                                         "</table></body></html>");
    QTest::addRow("empty folder with markup and non-ASCII in its path")
        << QByteArray() << true << QByteArray("<body>") << QStringLiteral("/srv/<b>&\u00e4")
        << QByteArray(
               "<html><body><table border=\"1\" frame=\"border\"><tr><td><h2>"
               "No files in shared folder: /srv/&lt;b&gt;&amp;\xc3\xa4</h2></td></tr></table></body></html>");
}

void tst_FolderPage::page()
{
    QFETCH(QByteArray, rows);
    QFETCH(bool, allReady);
    QFETCH(QByteArray, bodyTag);
    QFETCH(QString, sharedPath);
    QFETCH(QByteArray, page);
    QCOMPARE(FolderPage::page(rows, allReady, bodyTag, sharedPath), page);
}

void tst_FolderPage::listing_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<Sizes>("sizes");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QByteArray>("page");

    const QByteArray start("<html><body><table border=\"1\" frame=\"border\">");
    const QByteArray end("</table></body></html>");
    QTest::addRow("four files, two rows")
        << QStringList {"d.txt", "c d.txt", "b.txt", "a.txt"} << Sizes {4, 3, 2, 1} << QStringList {"sub"}
        << start + "<tr>" + plainCell("a.txt", "a.txt", "1") + plainCell("b.txt", "b.txt", "2")
            + plainCell("c%20d.txt", "c d.txt", "3") + "</tr><tr>" + plainCell("d.txt", "d.txt", "4")
            + "</tr>" + end;
    QTest::addRow("three files, one row")
        << QStringList {"x", "y", "z"} << Sizes {0, 10, 100} << QStringList()
        << start + "<tr>" + plainCell("x", "x", "0") + plainCell("y", "y", "10") + plainCell("z", "z", "100")
            + "</tr>" + end;
    QTest::addRow("empty folder") << QStringList() << Sizes() << QStringList()
                                  << start + "<tr><td><h2>No files in shared folder: {folder}</h2></td></tr>"
            + end;
    QTest::addRow("only a subfolder and a hidden file")
        << QStringList {".hidden"} << Sizes {5} << QStringList {"sub"}
        << start + "<tr><td><h2>No files in shared folder: {folder}</h2></td></tr>" + end;
}

void tst_FolderPage::listing()
{
    QFETCH(QStringList, files);
    QFETCH(Sizes, sizes);
    QFETCH(QStringList, folders);
    QFETCH(QByteArray, page);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    for (qsizetype i = 0; i < files.size(); ++i)
        makeFile(folder.path(), files.at(i), sizes.at(i));
    for (const QString &name : std::as_const(folders))
        QVERIFY(QDir(folder.path()).mkdir(name));

    page.replace("{folder}", folder.path().toUtf8());
    const FolderPage::Listing listing = FolderPage::plainListing(folder.path());
    QVERIFY(listing.allReady);
    QCOMPARE(FolderPage::page(listing.rows, listing.allReady, FolderPage::PlainBody, folder.path()), page);
}

// The texts come from the connection thread's catalogue context.
void tst_FolderPage::translatedTexts()
{
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(TEST_QM_FILE)));
    QVERIFY(QCoreApplication::installTranslator(&translator));

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    makeFile(folder.path(), QStringLiteral("a.txt"), 12);
    QVERIFY(FolderPage::plainListing(folder.path()).rows.endsWith("<br>Koko=12</td></tr>"));
    QVERIFY(FolderPage::page(QByteArray(), true, FolderPage::PlainBody, QStringLiteral("/srv"))
                .contains("<h2>Jaetussa kansiossa ei ole tiedostoja: /srv</h2>"));

    QVERIFY(QCoreApplication::removeTranslator(&translator));
}

QTEST_GUILESS_MAIN(tst_FolderPage)
#include "tst_folderpage.moc"
