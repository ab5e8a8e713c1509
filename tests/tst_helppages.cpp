#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextDocument>
#include <QtTest>

// The help pages as they are installed: the settings pages show the eight short ones as
// rich text read as Latin-1, the window opens index.html in a browser.
class tst_HelpPages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settingsPage_data();
    void settingsPage();
    void index();
};

static QByteArray readPage(const QString &name)
{
    QFile file(QStringLiteral(HELP_DIR "/%1").arg(name));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void tst_HelpPages::settingsPage_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("heading");

    QTest::addRow("port") << "port"
                          << "Port";
    QTest::addRow("connections") << "connections"
                                 << "Max. Connections";
    QTest::addRow("limit") << "limit"
                           << "Data limit";
    QTest::addRow("lifetime") << "lifetime"
                              << "Session lifetime";
    QTest::addRow("path") << "path"
                          << "Download path";
    QTest::addRow("dns") << "dns"
                         << "Dynamic DNS";
    QTest::addRow("folder") << "folder"
                            << "Folder view";
    QTest::addRow("auth") << "auth"
                          << "Authentication";
}

void tst_HelpPages::settingsPage()
{
    QFETCH(QString, name);
    QFETCH(QString, heading);
    const QByteArray bytes = readPage(name + QLatin1String(".html"));
    QVERIFY2(!bytes.isEmpty(), qPrintable(name));

    // Read as Latin-1: anything beyond ASCII would show as the wrong characters.
    for (char c : bytes)
        QVERIFY2(uchar(c) < 0x80 && (uchar(c) >= 0x20 || c == '\n'), qPrintable(name));
    const QString text = QString::fromLatin1(bytes);
    QVERIFY(Qt::mightBeRichText(text));

    QTextDocument document;
    document.setHtml(text);
    const QString plain = document.toPlainText();
    QVERIFY(plain.startsWith(heading));
    QVERIFY(plain.size() > 150);
    // Every tag and entity was understood: none is left over as text.
    static const QRegularExpression leftOver(QStringLiteral("[<>]|&[a-z]+;"));
    QVERIFY2(!plain.contains(leftOver), qPrintable(plain));
}

void tst_HelpPages::index()
{
    const QByteArray bytes = readPage(QStringLiteral("index.html"));
    QVERIFY(!bytes.isEmpty());
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    QVERIFY(!utf8.hasError());
    QVERIFY(text.contains(QLatin1String("<meta charset=\"utf-8\">")));
    QVERIFY(text.contains(QLatin1String("name=\"viewport\"")));
    // Opened from the disk: it must not need any other file or the network.
    static const QRegularExpression outside(QStringLiteral("(src|href)=\"(?!#|data:)"));
    QVERIFY2(!text.contains(outside), qPrintable(outside.match(text).captured()));
    // Every in-page link has its target.
    static const QRegularExpression anchor(QStringLiteral("href=\"#([a-z]+)\""));
    for (auto it = anchor.globalMatch(text); it.hasNext();) {
        const QString id = it.next().captured(1);
        QVERIFY2(text.contains(QStringLiteral("id=\"%1\"").arg(id)), qPrintable(id));
    }
}

QTEST_GUILESS_MAIN(tst_HelpPages)
#include "tst_helppages.moc"
