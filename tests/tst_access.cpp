#include "server/access.h"

#include <QtTest>

class tst_Access : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void equalsConstantTime_data();
    void equalsConstantTime();
    void password_data();
    void password();
    void basic_data();
    void basic();
};

void tst_Access::equalsConstantTime_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("equal");

    QTest::addRow("same") << "secret"
                          << "secret" << true;
    QTest::addRow("both empty") << ""
                                << "" << true;
    QTest::addRow("one empty") << ""
                               << "secret" << false;
    QTest::addRow("prefix") << "secre"
                            << "secret" << false;
    QTest::addRow("longer") << "secrets"
                            << "secret" << false;
    QTest::addRow("case") << "Secret"
                          << "secret" << false;
    QTest::addRow("repeated key") << "secretsecret"
                                  << "secret" << false;
    QTest::addRow("non-ASCII") << "s\u00e4\u00e4"
                               << "s\u00e4\u00e4" << true;
    QTest::addRow("non-ASCII differs") << "s\u00e4\u00e4"
                                       << "saa" << false;
}

void tst_Access::equalsConstantTime()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, equal);
    QCOMPARE(Access::equalsConstantTime(a, b), equal);
    QCOMPARE(Access::equalsConstantTime(b, a), equal);
}

void tst_Access::password_data()
{
    QTest::addColumn<QString>("session");
    QTest::addColumn<QString>("configured");
    QTest::addColumn<bool>("accepted");

    QTest::addRow("logged in") << "pw"
                               << "pw" << true;
    QTest::addRow("never logged in") << ""
                                     << "pw" << false;
    QTest::addRow("wrong password") << "px"
                                    << "pw" << false;
    QTest::addRow("no password configured") << ""
                                            << "" << true;
    // A browser that logged in before the password was removed must not be locked out.
    QTest::addRow("old login, password removed") << "old"
                                                 << "" << true;
}

void tst_Access::password()
{
    QFETCH(QString, session);
    QFETCH(QString, configured);
    QFETCH(bool, accepted);
    QCOMPARE(Access::passwordAccepted(session, configured), accepted);
}

void tst_Access::basic_data()
{
    QTest::addColumn<QString>("credentials");
    QTest::addColumn<bool>("hasCredentials");
    QTest::addColumn<QStringList>("users");
    QTest::addColumn<bool>("accepted");

    const QStringList users {"anna:one", "bert:two:three", "nocolon"};
    QTest::addRow("first user") << "anna:one" << true << users << true;
    QTest::addRow("password with a colon") << "bert:two:three" << true << users << true;
    QTest::addRow("entry without colon") << "nocolon" << true << users << true;
    QTest::addRow("wrong password") << "anna:two" << true << users << false;
    QTest::addRow("user name case") << "Anna:one" << true << users << false;
    QTest::addRow("no credentials") << "" << false << users << false;
    QTest::addRow("empty credentials") << "" << true << users << false;
    QTest::addRow("empty table") << "anna:one" << true << QStringList() << false;
}

void tst_Access::basic()
{
    QFETCH(QString, credentials);
    QFETCH(bool, hasCredentials);
    QFETCH(QStringList, users);
    QFETCH(bool, accepted);
    QCOMPARE(Access::basicAccepted(credentials, hasCredentials, users), accepted);
}

QTEST_GUILESS_MAIN(tst_Access)
#include "tst_access.moc"
