#include "config/configuration.h"
#include "config/paramfile.h"
#include "config/session.h"
#include "support/filesizelimit.h"

#include <QtTest>

using Params = QMap<int, QVariant>;

// config.dat and init.dat, byte for byte, and the settings in force around them.
class tst_Settings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void bytes_data();
    void bytes();
    void damaged_data();
    void damaged();
    void configuration();
    void applyFailure();

private:
    QString file(const char *name) const
    {
        return QDir::homePath() + QLatin1String("/.tarnwickServer/") + name;
    }
};

namespace {

// The settings file of a first start.
const QByteArray Defaults
    = QByteArray::fromHex("0000000800001f90000000020000001f90000002580000000200000002580000"
                          "01f40000000200000000000000000b0000000200000000000000000a00000002"
                          "000000000a000000050000000a0000000036002f0068006f006d0065002f0075"
                          "007300650072002f004d00790044006f00630073002f0044006f0077006e006c"
                          "006f006100640073000000030000000200000000010000000000000002000000"
                          "000000000000");

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void tst_Settings::init()
{
    QDir(file("")).removeRecursively();
    QDir().mkpath(file(""));
}

void tst_Settings::bytes_data()
{
    QTest::addColumn<Params>("params");
    QTest::addColumn<QList<QString>>("strings");
    QTest::addColumn<QByteArray>("bytes");

    QTest::addRow("defaults") << Params {{8080, 8080}, {600, 600},
                                         {500, 0},     {11, 0},
                                         {10, 10},     {5, QStringLiteral("/home/user/MyDocs/Downloads")},
                                         {3, 1},       {0, 0}}
                              << QList<QString>() << Defaults;
    QTest::addRow("null and non-ASCII text, users")
        << Params {{411, QVariant(QString())}, {1, QStringLiteral("p\u00e4\u20ac")}}
        << QList<QString> {QStringLiteral("anna:sala"), QStringLiteral("")}
        << QByteArray::fromHex(
               "000000020000019b0000000a00ffffffff000000010000000a0000000006007000e420ac0000000"
               "2000000120061006e006e0061003a00730061006c006100000000");
}

void tst_Settings::bytes()
{
    QFETCH(Params, params);
    QFETCH(QList<QString>, strings);
    QFETCH(QByteArray, bytes);
    QCOMPARE(ParamFile::encode(params, strings).toHex(), bytes.toHex());
    const ParamFile::Contents read = ParamFile::decode(bytes);
    QCOMPARE(read.params, params);
    QCOMPARE(read.strings, strings);
    QCOMPARE(read.params.value(411).toString().isNull(), params.value(411).toString().isNull());
}

void tst_Settings::damaged_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("params");
    QTest::addColumn<int>("strings");

    // One record (id 3 = 1) and two users.
    const QByteArray whole
        = QByteArray::fromHex("00000001000000030000000200000000010000000200000004006100620000000400630064");
    QTest::addRow("ends inside the value") << whole.left(15) << 0 << 0;
    QTest::addRow("ends before the users") << whole.left(17) << 1 << 0;
    QTest::addRow("ends inside the second user") << whole.chopped(2) << 1 << 1;
    QTest::addRow("unknown value type")
        << QByteArray::fromHex("00000001000000030000000700000000010000000000") << 0 << 0;
    QTest::addRow("huge counts") << QByteArray::fromHex("ffffffff00000003000000020000000001ffffffff") << 0
                                 << 0;
}

void tst_Settings::damaged()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, params);
    QFETCH(int, strings);
    const ParamFile::Contents read = ParamFile::decode(bytes);
    QCOMPARE(read.params.size(), params);
    QCOMPARE(read.strings.size(), strings);
}

// A listener that looks at both copies while apply() tells it.
class Listener : public QObject
{
public:
    explicit Listener(Configuration *current)
    {
        connect(current, &Configuration::configurationChanged, this, [this, current](Configuration *next) {
            seen << current->getParam(ParamPort, 0) << next->getParam(ParamPort, 0);
        });
    }
    QList<int> seen;
};

void tst_Settings::configuration()
{
    // A first start takes the defaults in memory; a missing key reads as each reader's own.
    Configuration current("config.dat");
    QCOMPARE(current.getParam(ParamLifetime, 0), 600);
    QCOMPARE(current.getParam(ParamDnsEnabled, 7), 7);
    QVERIFY(!QFile::exists(file("config.dat")));

    Configuration next("config.dat");
    QVERIFY(current.apply(&next));
    QCOMPARE(contents(file("config.dat")), Defaults);
    QCOMPARE(QFile::permissions(file("config.dat"))
                 & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
             QFile::Permissions());

    // Listeners compare the old values, still in force, with the new ones; the file is
    // complete before they are told.
    Listener listener(&current);
    next.setParam(ParamPort, 9090);
    next.setUserList({QStringLiteral("a:b")});
    QVERIFY(current.apply(&next));
    QCOMPARE(listener.seen, (QList<int> {8080, 9090}));
    QCOMPARE(current.getParam(ParamPort, 0), 9090);
    Configuration again("config.dat");
    QVERIFY(again.equals(&current));
}

void tst_Settings::applyFailure()
{
    // CI runs as root, so permissions cannot block a write; a folder in the way can.
    QVERIFY(QDir().mkpath(file("config.dat/x")));
    Configuration current("config.dat");
    Listener listener(&current);
    Configuration next("config.dat");
    next.setParam(ParamPort, 4321);
    QVERIFY(!current.apply(&next));
    QVERIFY(listener.seen.isEmpty());
    QCOMPARE(current.getParam(ParamPort, 0), 8080);

    // A full disk (a file-size limit stands in) keeps the old files.
    QVERIFY(QDir(file("config.dat")).removeRecursively());
    QVERIFY(current.apply(&current));
    Session state("init.dat");
    QVERIFY(state.save());
    {
        const FileSizeLimit limit(16);
        state.recentFiles = {QStringLiteral("/a/long/enough/path")};
        QVERIFY(!current.apply(&next) && !state.save());
    }
    QCOMPARE(contents(file("config.dat")), Defaults);
    QCOMPARE(contents(file("init.dat")), ParamFile::encode({}, {}));

    // A file that is there but cannot be read is told, and holds until an apply.
    QFile::resize(file("config.dat"), 60);
    Configuration damaged("config.dat");
    QVERIFY(damaged.problem().contains(QStringLiteral("damaged")));
    QVERIFY(damaged.apply(&next));
    QVERIFY(damaged.problem().isEmpty());
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
