#include "pages/html.h"

#include <QtTest>

class tst_Html : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void escape_data();
    void escape();
    void escapeLatin1_data();
    void escapeLatin1();
    void notFoundPage_data();
    void notFoundPage();
};

void tst_Html::escape_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::addRow("plain") << QStringLiteral("a b.txt") << QByteArray("a b.txt");
    QTest::addRow("empty") << QString() << QByteArray();
    QTest::addRow("ampersand") << QStringLiteral("a&b") << QByteArray("a&amp;b");
    QTest::addRow("angle brackets") << QStringLiteral("<script>") << QByteArray("&lt;script&gt;");
    QTest::addRow("double quotes") << QStringLiteral("\"q\"") << QByteArray("&quot;q&quot;");
    QTest::addRow("single quote") << QStringLiteral("it's") << QByteArray("it&#39;s");
    QTest::addRow("entity escaped again") << QStringLiteral("&amp;") << QByteArray("&amp;amp;");
    QTest::addRow("all five in a row") << QStringLiteral("&<>\"'") << QByteArray("&amp;&lt;&gt;&quot;&#39;");
    QTest::addRow("only the longest entity") << QStringLiteral("\"\"\"") << QByteArray("&quot;&quot;&quot;");
    QTest::addRow("UTF-8") << QStringLiteral("\u00e4<\u20ac>") << QByteArray("\xc3\xa4&lt;\xe2\x82\xac&gt;");
    QTest::addRow("beyond the first plane")
        << QStringLiteral("\U0001F600&") << QByteArray("\xf0\x9f\x98\x80&amp;");
    QTest::addRow("other markup characters kept") << QStringLiteral("#?%=/;") << QByteArray("#?%=/;");
}

void tst_Html::escape()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(Html::escape(text), bytes);
    QCOMPARE(Html::escapeUtf8(text.toUtf8()), bytes);

    // Written into room for the longest escape of every byte, between two guard bytes
    // that must stay as they are.
    const QByteArray utf8 = text.toUtf8();
    QByteArray buffer(utf8.size() * Html::MaxEscapedBytes + 2, '#');
    char *const start = buffer.data() + 1;
    const char *const end = Html::writeEscapedUtf8(utf8.constData(), utf8.size(), start);
    QCOMPARE(QByteArray(start, end - start), bytes);
    QCOMPARE(buffer.front(), '#');
    QCOMPARE(buffer.back(), '#');
}

void tst_Html::escapeLatin1_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::addRow("plain") << QStringLiteral("/docs/a b.txt") << QByteArray("/docs/a b.txt");
    QTest::addRow("Latin-1") << QStringLiteral("/\u00e4<\u00ff>") << QByteArray("/\xe4&lt;\xff&gt;");
    QTest::addRow("outside Latin-1") << QStringLiteral("/\u20ac\"") << QByteArray("/?&quot;");
}

void tst_Html::escapeLatin1()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(Html::escapeLatin1(text), bytes);
}

void tst_Html::notFoundPage_data()
{
    QTest::addColumn<QString>("requestPath");
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QByteArray>("page");

    QTest::addRow("plain name") << QStringLiteral("/a b.txt") << QStringLiteral("/srv/share//a b.txt")
                                << QByteArray(
                                       "<html><title>Wrong URL</title><body><h1>Wrong URL</h1>Path=/a b.txt"
                                       "<br>or File=/srv/share//a b.txt<br>Not found.</body></html>");
    QTest::addRow("markup in the request")
        << QStringLiteral("/<script>alert('x')</script>") << QStringLiteral("/srv/<script>&")
        << QByteArray("<html><title>Wrong URL</title><body><h1>Wrong URL</h1>"
                      "Path=/&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"
                      "<br>or File=/srv/&lt;script&gt;&amp;<br>Not found.</body></html>");
    QTest::addRow("outside Latin-1")
        << QStringLiteral("/\u00e4\u20ac") << QStringLiteral("/f/\u00e4\u20ac")
        << QByteArray("<html><title>Wrong URL</title><body><h1>Wrong URL</h1>Path=/\xe4?"
                      "<br>or File=/f/\xe4?<br>Not found.</body></html>");
}

void tst_Html::notFoundPage()
{
    QFETCH(QString, requestPath);
    QFETCH(QString, filePath);
    QFETCH(QByteArray, page);
    QCOMPARE(Html::notFoundPage(requestPath, filePath), page);
}

QTEST_GUILESS_MAIN(tst_Html)
#include "tst_html.moc"
