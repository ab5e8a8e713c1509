#include "app/serveoptions.h"

#include <QtTest>

class tst_ServeOptions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void valid_data();
    void valid();
    void checkReachability();
    void invalid_data();
    void invalid();
    void repeatedUsers();
};

void tst_ServeOptions::valid_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("port"); // -1: not given
    QTest::addColumn<int>("authMode"); // -1: not given

    QTest::addRow("folder") << QStringList {"folder", "/srv"} << int(ServeOptions::ShareFolder) << "/srv"
                            << -1 << -1;
    QTest::addRow("file") << QStringList {"file", "a b.txt"} << int(ServeOptions::ShareFile) << "a b.txt"
                          << -1 << -1;
    QTest::addRow("receive") << QStringList {"receive"} << int(ServeOptions::Receive) << "" << -1 << -1;
    QTest::addRow("options first") << QStringList {"--port", "9000", "--auth", "basic", "folder", "/srv"}
                                   << int(ServeOptions::ShareFolder) << "/srv" << 9000 << 2;
    QTest::addRow("options last") << QStringList {"folder", "/srv", "--auth", "password"}
                                  << int(ServeOptions::ShareFolder) << "/srv" << -1 << 1;
    QTest::addRow("lowest port") << QStringList {"--port", "1", "receive"} << int(ServeOptions::Receive) << ""
                                 << 1 << -1;
}

void tst_ServeOptions::valid()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, mode);
    QFETCH(QString, path);
    QFETCH(int, port);
    QFETCH(int, authMode);

    QString error;
    const auto options = ServeOptions::parse(arguments, &error);
    QVERIFY2(options, qPrintable(error));
    QCOMPARE(int(options->mode), mode);
    QCOMPARE(options->path, path);
    QCOMPARE(options->port.value_or(-1), port);
    QCOMPARE(options->authMode.value_or(-1), authMode);
}

void tst_ServeOptions::checkReachability()
{
    QString error;
    const auto plain = ServeOptions::parse({"receive"}, &error);
    QVERIFY(plain);
    QVERIFY(!plain->checkReachability);
    const auto asked = ServeOptions::parse({"--check-reachability", "receive"}, &error);
    QVERIFY2(asked, qPrintable(error));
    QVERIFY(asked->checkReachability);
    QVERIFY(ServeOptions::usage().contains(QLatin1String("--check-reachability")));
}

void tst_ServeOptions::invalid_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");

    QTest::addRow("nothing") << QStringList() << "say what to share";
    QTest::addRow("unknown command") << QStringList {"share", "/srv"} << "unknown command";
    QTest::addRow("folder without path") << QStringList {"folder"} << "takes one PATH";
    QTest::addRow("two paths") << QStringList {"folder", "/a", "/b"} << "takes one PATH";
    QTest::addRow("receive with path") << QStringList {"receive", "/a"} << "takes no PATH";
    QTest::addRow("port zero") << QStringList {"--port", "0", "receive"} << "--port";
    QTest::addRow("port too big") << QStringList {"--port", "65536", "receive"} << "--port";
    QTest::addRow("port not a number") << QStringList {"--port", "80x", "receive"} << "--port";
    QTest::addRow("missing value") << QStringList {"receive", "--port"} << "needs a value";
    QTest::addRow("unknown auth") << QStringList {"--auth", "digest", "receive"} << "--auth";
    QTest::addRow("user without colon") << QStringList {"--user", "anna", "receive"} << "NAME:PASSWORD";
    QTest::addRow("user without name") << QStringList {"--user", ":pw", "receive"} << "NAME:PASSWORD";
    QTest::addRow("negative limit") << QStringList {"--data-limit", "-1", "receive"} << "--data-limit";
    QTest::addRow("short lifetime") << QStringList {"--lifetime", "59", "receive"} << "--lifetime";
    QTest::addRow("unknown option") << QStringList {"--verbose", "receive"} << "unknown option";
}

void tst_ServeOptions::invalid()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    QString error;
    QVERIFY(!ServeOptions::parse(arguments, &error));
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void tst_ServeOptions::repeatedUsers()
{
    QString error;
    const auto options = ServeOptions::parse({"--user", "a:1", "--user", "b:2:3", "receive"}, &error);
    QVERIFY(options);
    QCOMPARE(options->users, QStringList({"a:1", "b:2:3"}));
}

QTEST_GUILESS_MAIN(tst_ServeOptions)
#include "tst_serveoptions.moc"
