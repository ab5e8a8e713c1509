#include "pages/folderpage.h"

#include <QtTest>

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
    void page_data();
    void page();
    void listing_data();
    void listing();
    void translatedTexts();
};

// Creates \a name of \a size bytes in \a folder; large sizes stay sparse.
static QFileInfo makeFile(const QString &folder, const QString &name, qint64 size)
{
    QFile file(folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    file.close();
    return QFileInfo(file.fileName());
}

static QByteArray plainCell(const QByteArray &link, const QByteArray &text, const QByteArray &size)
{
    return "<td align=\"center\" width=\"200\"><a href=\"" + link + "\"><br>" + text + "</a><br>Size=" + size
        + "</td>";
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
    const QFileInfo file = makeFile(folder.path(), name, size);
    QCOMPARE(FolderPage::cell(file), cell);

    QByteArray appended("<tr>");
    QVERIFY(FolderPage::appendCell(file, appended));
    QCOMPARE(appended, "<tr>" + cell);
}

void tst_FolderPage::rows_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("waiting");
    QTest::addColumn<QByteArray>("rows");
    QTest::addColumn<bool>("allReady");

    QTest::addRow("none") << QStringList() << QStringList() << QByteArray() << true;
    QTest::addRow("one") << QStringList {"a"} << QStringList() << QByteArray("<tr>[a]</tr>") << true;
    QTest::addRow("three, one full row")
        << QStringList {"a", "b", "c"} << QStringList() << QByteArray("<tr>[a][b][c]</tr>") << true;
    QTest::addRow("four, three then one") << QStringList {"a", "b", "c", "d"} << QStringList()
                                          << QByteArray("<tr>[a][b][c]</tr><tr>[d]</tr>") << true;
    QTest::addRow("five, three then two") << QStringList {"a", "b", "c", "d", "e"} << QStringList()
                                          << QByteArray("<tr>[a][b][c]</tr><tr>[d][e]</tr>") << true;
    QTest::addRow("six, two full rows") << QStringList {"a", "b", "c", "d", "e", "f"} << QStringList()
                                        << QByteArray("<tr>[a][b][c]</tr><tr>[d][e][f]</tr>") << true;
    QTest::addRow("seven") << QStringList {"a", "b", "c", "d", "e", "f", "g"} << QStringList()
                           << QByteArray("<tr>[a][b][c]</tr><tr>[d][e][f]</tr><tr>[g]</tr>") << true;
    QTest::addRow("one cell waiting") << QStringList {"a", "b", "c", "d"} << QStringList {"b"}
                                      << QByteArray("<tr>[a][b][c]</tr><tr>[d]</tr>") << false;
    QTest::addRow("last cell waiting") << QStringList {"a", "b", "c", "d"} << QStringList {"d"}
                                       << QByteArray("<tr>[a][b][c]</tr><tr>[d]</tr>") << false;
}

void tst_FolderPage::rows()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, waiting);
    QFETCH(QByteArray, rows);
    QFETCH(bool, allReady);

    QFileInfoList entries;
    for (const QString &name : std::as_const(names))
        entries.append(QFileInfo(QStringLiteral("/nowhere/") + name));
    QStringList asked;
    const auto cellFor = [&](const QFileInfo &file, QByteArray &out) {
        asked.append(file.fileName());
        out += '[' + file.fileName().toUtf8() + ']';
        return !waiting.contains(file.fileName());
    };

    bool ready = !allReady;
    QCOMPARE(FolderPage::rows(entries, cellFor, &ready), rows);
    QCOMPARE(ready, allReady);
    // Every entry is asked once, in order, also after one that is not ready.
    QCOMPARE(asked, names);
    QCOMPARE(FolderPage::rows(entries, cellFor, nullptr), rows);
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

    QStringList names;
    for (const QFileInfo &entry : FolderPage::entries(folder.path()))
        names.append(entry.fileName());
    QCOMPARE(names, listed);
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

    bool allReady = false;
    const QByteArray rows
        = FolderPage::rows(FolderPage::entries(folder.path()), FolderPage::appendCell, &allReady);
    QVERIFY(allReady);
    QCOMPARE(FolderPage::page(rows, allReady, FolderPage::PlainBody, folder.path()),
             page.replace("{folder}", folder.path().toUtf8()));
}

// The texts come from the connection thread's catalogue context.
void tst_FolderPage::translatedTexts()
{
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(TEST_QM_FILE)));
    QVERIFY(QCoreApplication::installTranslator(&translator));

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QFileInfo file = makeFile(folder.path(), QStringLiteral("a.txt"), 12);
    QVERIFY(FolderPage::cell(file).endsWith("<br>Koko=12</td>"));
    QVERIFY(FolderPage::page(QByteArray(), true, FolderPage::PlainBody, QStringLiteral("/srv"))
                .contains("<h2>Jaetussa kansiossa ei ole tiedostoja: /srv</h2>"));

    QVERIFY(QCoreApplication::removeTranslator(&translator));
}

QTEST_GUILESS_MAIN(tst_FolderPage)
#include "tst_folderpage.moc"
