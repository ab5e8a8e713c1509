#include "config/paramfile.h"

#include <QtTest>

using Params = QMap<int, QVariant>;
using Strings = QList<QString>;

class tst_ParamFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodeGolden_data() { goldenRows(); }
    void encodeGolden();
    void decodeGolden_data() { goldenRows(); }
    void decodeGolden();
    void damaged_data();
    void damaged();
    void writeIsOwnerOnly();

private:
    static void goldenRows();
};

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

void tst_ParamFile::goldenRows()
{
    QTest::addColumn<Params>("params");
    QTest::addColumn<Strings>("strings");
    QTest::addColumn<QByteArray>("bytes");

    const Params defaults {
        {8080, 8080}, {600, 600}, {500, 0},
        {11, 0},      {10, 10},   {5, QStringLiteral("/home/user/MyDocs/Downloads")},
        {3, 1},       {0, 0},
    };
    QTest::addRow("defaults, 166 bytes")
        << defaults << Strings()
        << hex("0000000800001f90000000020000001f90000002580000000200000002580000"
               "01f40000000200000000000000000b0000000200000000000000000a00000002"
               "000000000a000000050000000a0000000036002f0068006f006d0065002f0075"
               "007300650072002f004d00790044006f00630073002f0044006f0077006e006c"
               "006f006100640073000000030000000200000000010000000000000002000000"
               "000000000000");
    QTest::addRow("nothing") << Params() << Strings() << hex("0000000000000000");
    QTest::addRow("null and non-ASCII strings, users")
        << Params {{411, QVariant(QString())}, {1, QStringLiteral("p\u00e4\u20ac")}}
        << Strings {QStringLiteral("anna:sala"), QStringLiteral("")}
        << hex("000000020000019b0000000a00ffffffff000000010000000a0000000006007000e420ac0000000200000012"
               "0061006e006e0061003a00730061006c006100000000");
    QTest::addRow("saved window state")
        << Params {{41, 1}, {42, QStringLiteral("/srv/kuvat/\u00f6")}, {44, 2}}
        << Strings {QStringLiteral("/srv/kuvat/\u00f6"), QStringLiteral("/tmp/a.txt")}
        << hex("000000030000002c0000000200000000020000002a0000000a0000000018002f007300720076002f006b0075"
               "007600610074002f00f6000000290000000200000000010000000200000018002f007300720076002f006b"
               "0075007600610074002f00f600000014002f0074006d0070002f0061002e007400780074");
}

void tst_ParamFile::encodeGolden()
{
    QFETCH(Params, params);
    QFETCH(Strings, strings);
    QFETCH(QByteArray, bytes);
    QCOMPARE(ParamFile::encode(params, strings).toHex(), bytes.toHex());
}

void tst_ParamFile::decodeGolden()
{
    QFETCH(Params, params);
    QFETCH(Strings, strings);
    QFETCH(QByteArray, bytes);
    const ParamFile::Contents contents = ParamFile::decode(bytes);
    QCOMPARE(contents.params, params);
    QCOMPARE(contents.strings, strings);
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        QCOMPARE(contents.params.value(it.key()).typeId(), it.value().typeId());
        QCOMPARE(contents.params.value(it.key()).toString().isNull(), it.value().toString().isNull());
    }
}

void tst_ParamFile::damaged_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Params>("params");
    QTest::addColumn<Strings>("strings");

    // One int record (id 3 = 1) and two users.
    const QByteArray whole
        = hex("00000001000000030000000200000000010000000200000004006100620000000400630064");
    QTest::addRow("whole file") << whole << Params {{3, 1}} << Strings {"ab", "cd"};
    QTest::addRow("empty file") << QByteArray() << Params() << Strings();
    QTest::addRow("ends inside the count") << whole.left(2) << Params() << Strings();
    QTest::addRow("ends inside a record") << whole.left(10) << Params() << Strings();
    QTest::addRow("ends inside the value") << whole.left(15) << Params() << Strings();
    QTest::addRow("ends before the users") << whole.left(17) << Params {{3, 1}} << Strings();
    QTest::addRow("ends inside the second user")
        << whole.left(whole.size() - 2) << Params {{3, 1}} << Strings {"ab"};
    QTest::addRow("unknown value type")
        << hex("000000010000000300000007000000000100000000") << Params() << Strings();
    QTest::addRow("string of odd length")
        << hex("00000001000000010000000a0000000003006100") << Params() << Strings();
    QTest::addRow("huge record count")
        << hex("ffffffff000000030000000200000000010000") << Params() << Strings();
    QTest::addRow("huge string length")
        << hex("00000001000000010000000a007ffffffe0061") << Params() << Strings();
    QTest::addRow("huge user count") << hex("00000000ffffffff00000004006100620000") << Params()
                                     << Strings {"ab"};
}

void tst_ParamFile::damaged()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Params, params);
    QFETCH(Strings, strings);
    const ParamFile::Contents contents = ParamFile::decode(bytes);
    QCOMPARE(contents.params, params);
    QCOMPARE(contents.strings, strings);
}

void tst_ParamFile::writeIsOwnerOnly()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.dat"));
    QVERIFY(ParamFile::write(path, Params {{1, QStringLiteral("secret")}}, Strings()));
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(QFile::permissions(path) & others, QFileDevice::Permissions());
    QVERIFY(QFile::permissions(path).testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    ParamFile::Contents contents;
    QVERIFY(ParamFile::read(path, &contents));
    QCOMPARE(contents.params.value(1).toString(), QStringLiteral("secret"));
    QVERIFY(!ParamFile::read(dir.filePath(QStringLiteral("missing.dat")), &contents));
}

QTEST_GUILESS_MAIN(tst_ParamFile)
#include "tst_paramfile.moc"
