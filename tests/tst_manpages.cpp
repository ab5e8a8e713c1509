#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

// The manual page of tarnwick-serve and its --help text name the same commands and the
// same options.
class tst_ManPages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void serveHelpMatchesPage_data();
    void serveHelpMatchesPage();

private:
    QStringList helpTags;
    QString page;
};

namespace {

// The tag of every entry of the --help text: a line indented by exactly two blanks,
// up to the gap before its description ("--port N", "-h, --help", "folder PATH").
QStringList tagsOfHelp(const QString &help)
{
    static const QRegularExpression entry(QStringLiteral("^  (\\S.*?)(?:\\s{2,}|$)"));
    QStringList tags;
    for (const QString &line : help.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = entry.match(line);
        if (match.hasMatch())
            tags.append(match.captured(1));
    }
    return tags;
}

// The tag line after every .TP of the page's section, as plain text.
QStringList tagsOfSection(const QString &page, const QString &section)
{
    QStringList tags;
    bool inSection = false;
    bool tagNext = false;
    for (QString line : page.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String(".SH "))) {
            inSection = line.mid(4).trimmed() == section;
            continue;
        }
        if (!inSection)
            continue;
        if (tagNext) {
            line.remove(QRegularExpression(QStringLiteral("^\\.[A-Z]+\\s*")));
            tags.append(line.replace(QLatin1String("\\-"), QLatin1String("-")).remove(QLatin1Char('"')));
        }
        tagNext = line == QLatin1String(".TP");
    }
    return tags;
}

// The option names ("--port", "-h") or the command words ("folder") of the tags.
QStringList namesOf(const QStringList &tags, bool options)
{
    static const QRegularExpression option(QStringLiteral("(?:^|[\\s,])(--?[a-z][a-z-]*)"));
    QStringList names;
    for (const QString &tag : tags) {
        if (tag.startsWith(QLatin1Char('-')) != options)
            continue;
        if (options) {
            for (const QRegularExpressionMatch &match : option.globalMatch(tag))
                names.append(match.captured(1));
        } else {
            names.append(tag.section(QLatin1Char(' '), 0, 0));
        }
    }
    return names;
}

QStringList missingFrom(const QStringList &list, const QStringList &names)
{
    QStringList missing;
    for (const QString &name : names) {
        if (!list.contains(name))
            missing.append(name);
    }
    return missing;
}

} // namespace

void tst_ManPages::initTestCase()
{
    QProcess serve;
    serve.start(QStringLiteral(TARNWICK_SERVE), {QStringLiteral("--help")});
    QVERIFY(serve.waitForFinished(20000));
    QCOMPARE(serve.exitCode(), 0);
    helpTags = tagsOfHelp(QString::fromUtf8(serve.readAllStandardOutput()));

    QFile file(QStringLiteral(SERVE_MAN_PAGE));
    QVERIFY2(file.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(file.fileName()));
    page = QString::fromUtf8(file.readAll());
}

void tst_ManPages::serveHelpMatchesPage_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<bool>("options");

    QTest::addRow("commands") << "COMMANDS" << false;
    QTest::addRow("options") << "OPTIONS" << true;
}

void tst_ManPages::serveHelpMatchesPage()
{
    QFETCH(QString, section);
    QFETCH(bool, options);

    const QStringList inHelp = namesOf(helpTags, options);
    const QStringList inPage = namesOf(tagsOfSection(page, section), options);
    QVERIFY(inHelp.size() >= 3);
    QVERIFY2(
        missingFrom(inPage, inHelp).isEmpty(),
        qPrintable(QLatin1String("in --help, not in the page: ") + missingFrom(inPage, inHelp).join(u' ')));
    QVERIFY2(
        missingFrom(inHelp, inPage).isEmpty(),
        qPrintable(QLatin1String("in the page, not in --help: ") + missingFrom(inHelp, inPage).join(u' ')));
}

QTEST_GUILESS_MAIN(tst_ManPages)
#include "tst_manpages.moc"
