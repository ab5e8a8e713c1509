#include <QDir>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QtTest>

// The page files installed beside the program, as browsers get them.
class tst_InstallPages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void selfContained_data();
    void selfContained();
    void uploadFormWorksWithoutScripts();
    void resultPagesNameTheirOutcome_data();
    void resultPagesNameTheirOutcome();
};

static QByteArray page(const QString &name)
{
    QFile file(QStringLiteral(TARNWICK_PAGE_DIR) + QLatin1Char('/') + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every value of the named attribute in the page, in order.
static QStringList attributeValues(const QString &html, const QString &attribute)
{
    QStringList values;
    const QRegularExpression pattern(QStringLiteral("\\s%1\\s*=\\s*(\"([^\"]*)\"|'([^']*)'|([^\\s>]+))")
                                         .arg(QRegularExpression::escape(attribute)),
                                     QRegularExpression::CaseInsensitiveOption);
    for (auto match = pattern.globalMatch(html); match.hasNext();) {
        const QRegularExpressionMatch found = match.next();
        for (int group = 2; group <= 4; ++group) {
            if (found.capturedStart(group) >= 0) {
                values.append(found.captured(group));
                break;
            }
        }
    }
    return values;
}

void tst_InstallPages::selfContained_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"login.html", "upload.html", "upload_ok.html", "upload_err.html", "exist.html"})
        QTest::addRow("%s", name) << QString::fromLatin1(name);
}

void tst_InstallPages::selfContained()
{
    QFETCH(QString, name);
    const QByteArray bytes = page(name);
    QVERIFY2(!bytes.isEmpty(), qPrintable(name));

    // UTF-8, and said so before any text that needs it.
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString html = utf8.decode(bytes);
    QVERIFY(!utf8.hasError());
    QVERIFY(bytes.left(512).contains("<meta charset=\"utf-8\">"));
    // Usable on a phone.
    QVERIFY(html.contains(
        QLatin1String("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">")));

    // Nothing fetched from elsewhere: links lead to this server's own paths, images and
    // the icon are inline.
    const QRegularExpression own(QStringLiteral("^(/[^/\\\\].*|/|#.*)$"));
    for (const QString &attribute : {QStringLiteral("href"), QStringLiteral("action")}) {
        for (const QString &value : attributeValues(html, attribute)) {
            if (value.startsWith(QLatin1String("data:")))
                continue;
            QVERIFY2(own.match(value).hasMatch(), qPrintable(attribute + QLatin1Char('=') + value));
        }
    }
    QVERIFY2(attributeValues(html, QStringLiteral("src")).isEmpty(), qPrintable(name));
    QVERIFY(!html.contains(QLatin1String("@import"), Qt::CaseInsensitive));
    QVERIFY(!html.contains(QRegularExpression(QStringLiteral("url\\(\\s*['\"]?(?!data:)"))));
    QVERIFY(!html.contains(QRegularExpression(QStringLiteral("(https?:)?//[a-z0-9.-]+\\.[a-z]{2,}"),
                                              QRegularExpression::CaseInsensitiveOption)));
}

void tst_InstallPages::uploadFormWorksWithoutScripts()
{
    const QString html = QString::fromUtf8(page(QStringLiteral("upload.html")));
    const QRegularExpression formPattern(QStringLiteral("<form\\b([^>]*)>(.*?)</form>"),
                                         QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch form = formPattern.match(html);
    QVERIFY(form.hasMatch());
    const QString attributes = form.captured(1) + QLatin1Char(' ');
    QCOMPARE(attributeValues(attributes, QStringLiteral("method")), QStringList {"post"});
    QCOMPARE(attributeValues(attributes, QStringLiteral("action")), QStringList {"/upload"});
    QCOMPARE(attributeValues(attributes, QStringLiteral("enctype")), QStringList {"multipart/form-data"});

    // The file is the first field the form sends, and a button sends it.
    const QRegularExpression fieldPattern(QStringLiteral("<(input|select|textarea)\\b([^>]*)>"));
    const QRegularExpressionMatch first = fieldPattern.match(form.captured(2));
    QVERIFY(first.hasMatch());
    const QString field = first.captured(2) + QLatin1Char(' ');
    QCOMPARE(attributeValues(field, QStringLiteral("type")), QStringList {"file"});
    QCOMPARE(attributeValues(field, QStringLiteral("name")), QStringList {"file"});
    QVERIFY(form.captured(2).contains(QRegularExpression(QStringLiteral("<button\\b[^>]*type=\"submit\""))));
    // The script posts each file to the form's own target and reads the outcome the
    // result pages name.
    QVERIFY(html.contains(QLatin1String("meta[name=\"upload-result\"]")));
}

void tst_InstallPages::resultPagesNameTheirOutcome_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("outcome");
    QTest::addRow("stored") << "upload_ok.html"
                            << "stored";
    QTest::addRow("name taken") << "exist.html"
                                << "exists";
    QTest::addRow("not stored") << "upload_err.html"
                                << "failed";
}

void tst_InstallPages::resultPagesNameTheirOutcome()
{
    QFETCH(QString, name);
    QFETCH(QString, outcome);
    const QString html = QString::fromUtf8(page(name));
    const QRegularExpression marker(QStringLiteral("<meta name=\"upload-result\" content=\"([a-z]+)\">"));
    QCOMPARE(marker.match(html).captured(1), outcome);
    // The upload page knows the outcome by that word.
    QVERIFY(QString::fromUtf8(page(QStringLiteral("upload.html")))
                .contains(QLatin1Char('\'') + outcome + QLatin1Char('\'')));
    // The way back to the upload page.
    QVERIFY(attributeValues(html, QStringLiteral("href")).contains(QStringLiteral("/")));
}

QTEST_GUILESS_MAIN(tst_InstallPages)
#include "tst_installpages.moc"
