#include "server/http_session.h"

#include <QtTest>

#include <limits>

using CookiePairs = QList<QPair<QByteArray, QByteArray>>;

class tst_HttpSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void setCookie_data();
    void setCookie();
    void cookieValueReadsBack_data();
    void cookieValueReadsBack();
};

void tst_HttpSession::setCookie_data()
{
    QTest::addColumn<CookiePairs>("cookies");
    QTest::addColumn<quint64>("before");
    QTest::addColumn<quint64>("id");

    const quint64 none = 0;
    const quint64 earlier = 9;
    QTest::addRow("session cookie") << CookiePairs {{"SessionId", "42"}} << none << quint64(42);
    QTest::addRow("after another cookie")
        << CookiePairs {{"theme", "3"}, {"SessionId", "17"}} << none << quint64(17);
    QTest::addRow("first of two session cookies")
        << CookiePairs {{"SessionId", "5"}, {"SessionId", "6"}} << none << quint64(5);
    QTest::addRow("largest id") << CookiePairs {{"SessionId", "18446744073709551615"}} << none
                                << std::numeric_limits<quint64>::max();
    QTest::addRow("beyond 64 bits") << CookiePairs {{"SessionId", "18446744073709551616"}} << earlier << none;
    QTest::addRow("zero") << CookiePairs {{"SessionId", "0"}} << earlier << none;
    QTest::addRow("not a number") << CookiePairs {{"SessionId", "abc"}} << earlier << none;
    QTest::addRow("plus sign") << CookiePairs {{"SessionId", "+5"}} << earlier << none;
    QTest::addRow("minus sign") << CookiePairs {{"SessionId", "-5"}} << earlier << none;
    QTest::addRow("leading zero") << CookiePairs {{"SessionId", "05"}} << earlier << none;
    QTest::addRow("trailing text") << CookiePairs {{"SessionId", "5x"}} << earlier << none;
    QTest::addRow("only other cookies") << CookiePairs {{"theme", "3"}} << earlier << earlier;
    QTest::addRow("name in other letter case") << CookiePairs {{"sessionid", "5"}} << earlier << earlier;
    QTest::addRow("no cookie") << CookiePairs {} << earlier << earlier;
}

void tst_HttpSession::setCookie()
{
    QFETCH(CookiePairs, cookies);
    QFETCH(quint64, before);
    QFETCH(quint64, id);

    QList<QNetworkCookie> list;
    for (const auto &pair : cookies)
        list.append(QNetworkCookie(pair.first, pair.second));
    HTTP_Session record;
    record.id = before;
    record.setCookie(list);
    QCOMPARE(record.id, id);
}

void tst_HttpSession::cookieValueReadsBack_data()
{
    QTest::addColumn<quint64>("id");
    QTest::addColumn<QByteArray>("value");

    QTest::addRow("small") << quint64(1) << QByteArray("SessionId=1");
    QTest::addRow("largest") << std::numeric_limits<quint64>::max()
                             << QByteArray("SessionId=18446744073709551615");
}

void tst_HttpSession::cookieValueReadsBack()
{
    QFETCH(quint64, id);
    QFETCH(QByteArray, value);

    HTTP_Session sent;
    sent.id = id;
    QCOMPARE(sent.cookieValue(), value);

    // What the browser returns is read as the same id.
    HTTP_Session returned;
    returned.setCookie(QNetworkCookie::parseCookies(sent.cookieValue()));
    QCOMPARE(returned.id, id);
}

QTEST_GUILESS_MAIN(tst_HttpSession)
#include "tst_httpsession.moc"
