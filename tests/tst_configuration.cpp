#include "config/configuration.h"
#include "support/scratchhome.h"

#include <QtTest>

#include <atomic>
#include <memory>

// The 166 bytes of a config.dat that holds the first-start defaults and no users.
static const QByteArray DefaultsFile
    = QByteArray::fromHex("0000000800001f90000000020000001f90000002580000000200000002580000"
                          "01f40000000200000000000000000b0000000200000000000000000a00000002"
                          "000000000a000000050000000a0000000036002f0068006f006d0065002f0075"
                          "007300650072002f004d00790044006f00630073002f0044006f0077006e006c"
                          "006f006100640073000000030000000200000000010000000000000002000000"
                          "000000000000");

static QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static void writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Records what the current configuration and the argument hold while the signal runs.
class Listener : public QObject
{
    Q_OBJECT
public:
    explicit Listener(Configuration *current)
        : current(current)
    {
        connect(current, &Configuration::configurationChanged, this, &Listener::configurationChanged);
    }
    Configuration *current;
    int calls = 0;
    int portSeenInCurrent = 0;
    int portSeenInNext = 0;

public Q_SLOTS:
    void configurationChanged(Configuration *next)
    {
        ++calls;
        portSeenInCurrent = current->getParam(ParamPort, 0);
        portSeenInNext = next->getParam(ParamPort, 0);
    }
};

class tst_Configuration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstStartDefaults();
    void applyWritesTheDefaultsFile();
    void applyRoundTrip();
    void applyOrderSeenByListener();
    void applyFailure_data();
    void applyFailure();
    void damagedFileLoadsEmpty();
    void equals_data();
    void equals();
    void sameValuesUnderOtherIds();
    void setLangPath_data();
    void setLangPath();
    void relativeLangPathLooksInResources();
    void dataDirFollowsLocale();
    void readersDuringApply();
};

void tst_Configuration::firstStartDefaults()
{
    ScratchHome home;
    Configuration config("config.dat");

    QCOMPARE(config.getParam(ParamPort, 0), 8080);
    QCOMPARE(config.getParam(ParamAuthMode, -1), 0);
    QCOMPARE(config.getParam(ParamWarningMode, 0), 1);
    QCOMPARE(config.getParam(ParamMaxConn, 0), 10);
    QCOMPARE(config.getParam(ParamDataLimit, -1), 0);
    QCOMPARE(config.getParam(ParamLifetime, 0), 600);
    QCOMPARE(config.getParam(ParamThumbnailView, -1), 0);
    QCOMPARE(config.getParam(ParamDownloadPath), QStringLiteral("/home/user/MyDocs/Downloads"));
    QCOMPARE(config.getParam(ParamDnsEnabled, ReadDefault::DnsEnabled), 0);
    QCOMPARE(config.getParam(ParamPassword), QString());
    QVERIFY(config.userList().isEmpty());

    // The defaults stay in memory until the first apply; the folder exists, private.
    QVERIFY(!QFile::exists(home.file("config.dat")));
    QVERIFY(QFileInfo(home.settingsDir()).isDir());
    QCOMPARE(QFile::permissions(home.settingsDir()) & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());
    QCOMPARE(QByteArray(*Configuration::ConfigDir),
             (home.path() + QLatin1String("/.tarnwickServer/")).toLocal8Bit());
}

void tst_Configuration::applyWritesTheDefaultsFile()
{
    ScratchHome home;
    Configuration current("config.dat");
    Configuration next("config.dat");
    QVERIFY(current.apply(&next));
    QCOMPARE(readAll(home.file("config.dat")).toHex(), DefaultsFile.toHex());
}

void tst_Configuration::applyRoundTrip()
{
    ScratchHome home;
    Configuration current("config.dat");
    Configuration next("config.dat");
    next.setParam(ParamAuthMode, AuthBasic);
    next.setParam(ParamPassword, QStringLiteral("s\u00e4\u00e4t\u00f6"));
    next.setParam(ParamDnsUser, QString());
    next.setUserList({QStringLiteral("anna:one"), QStringLiteral("nocolon"), QStringLiteral("b:x:y")});
    QVERIFY(current.apply(&next));
    QVERIFY(current.equals(&next));

    Configuration loaded("config.dat");
    QVERIFY(loaded.equals(&next));
    QCOMPARE(loaded.userList(), next.userList());
    QCOMPARE(loaded.getParam(ParamPassword), QStringLiteral("s\u00e4\u00e4t\u00f6"));
    QCOMPARE(loaded.getParam(ParamAuthMode, 0), int(AuthBasic));
}

void tst_Configuration::applyOrderSeenByListener()
{
    ScratchHome home;
    Configuration current("config.dat");
    Listener listener(&current);
    Configuration next("config.dat");
    next.setParam(ParamPort, 9090);

    QVERIFY(current.apply(&next));
    QCOMPARE(listener.calls, 1);
    QCOMPARE(listener.portSeenInCurrent, 8080);
    QCOMPARE(listener.portSeenInNext, 9090);
    QCOMPARE(current.getParam(ParamPort, 0), 9090);

    // The file was complete before anyone was told.
    QCOMPARE(Configuration("config.dat").getParam(ParamPort, 0), 9090);
}

void tst_Configuration::applyFailure_data()
{
    QTest::addColumn<QString>("blocker");
    // Tests run as root in CI, so permissions cannot block a write; a folder or file in
    // the way can.
    QTest::addRow("settings folder is a file") << QStringLiteral(".tarnwickServer");
    QTest::addRow("config.dat is a folder") << QStringLiteral(".tarnwickServer/config.dat/x");
}

void tst_Configuration::applyFailure()
{
    QFETCH(QString, blocker);
    ScratchHome home;
    writeAll(home.path() + QLatin1Char('/') + blocker, "in the way");

    Configuration current("config.dat");
    current.setParam(ParamPort, 1234);
    Listener listener(&current);
    Configuration next("config.dat");
    next.setParam(ParamPort, 4321);
    next.setUserList({QStringLiteral("a:b")});

    QVERIFY(!current.apply(&next));
    QCOMPARE(listener.calls, 0);
    QCOMPARE(current.getParam(ParamPort, 0), 1234);
    QVERIFY(current.userList().isEmpty());
}

void tst_Configuration::damagedFileLoadsEmpty()
{
    ScratchHome home;
    writeAll(home.file("config.dat"), DefaultsFile.left(60));
    Configuration config("config.dat");
    QVERIFY(config.paramMap().isEmpty());
    QCOMPARE(config.getParam(ParamPort, ReadDefault::Port), 8080);
    QCOMPARE(config.getParam(ParamDownloadPath), QString());
}

void tst_Configuration::equals_data()
{
    QTest::addColumn<QVariantMap>("changes");
    QTest::addColumn<QStringList>("usersA");
    QTest::addColumn<QStringList>("usersB");
    QTest::addColumn<bool>("equal");

    const QStringList none;
    QTest::addRow("same") << QVariantMap() << none << none << true;
    QTest::addRow("same users") << QVariantMap() << QStringList {"a:1"} << QStringList {"a:1"} << true;
    QTest::addRow("other value") << QVariantMap {{"8080", 8081}} << none << none << false;
    QTest::addRow("extra key") << QVariantMap {{"1", QStringLiteral("pw")}} << none << none << false;
    QTest::addRow("other user") << QVariantMap() << none << QStringList {"a:b"} << false;
    QTest::addRow("users reordered") << QVariantMap() << QStringList {"a:1", "b:2"}
                                     << QStringList {"b:2", "a:1"} << false;
}

void tst_Configuration::equals()
{
    QFETCH(QVariantMap, changes);
    QFETCH(QStringList, usersA);
    QFETCH(QStringList, usersB);
    QFETCH(bool, equal);
    ScratchHome home;

    Configuration a("config.dat");
    a.setUserList(usersA);
    Configuration b("config.dat");
    b.setUserList(usersB);
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.value().typeId() == QMetaType::Int)
            b.setParam(it.key().toInt(), it.value().toInt());
        else
            b.setParam(it.key().toInt(), it.value().toString());
    }
    QCOMPARE(a.equals(&b), equal);
    QCOMPARE(b.equals(&a), equal);
}

void tst_Configuration::sameValuesUnderOtherIds()
{
    ScratchHome home;
    Configuration a("config.dat");
    Configuration b("config.dat");
    a.setParam(ParamDnsUser, QStringLiteral("x"));
    b.setParam(ParamDnsPass, QStringLiteral("x"));
    QVERIFY(!a.equals(&b));
}

void tst_Configuration::setLangPath_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("suffix");

    QTest::addRow("locale folder exists") << "fi_FI"
                                          << "fi_FI" << true << "fi_FI/";
    QTest::addRow("locale folder missing") << "C"
                                           << "fi_FI" << false << "fi_FI/";
    QTest::addRow("C folder") << "C"
                              << "C" << true << "C/";
}

void tst_Configuration::setLangPath()
{
    QFETCH(QString, existing);
    QFETCH(QString, locale);
    QFETCH(bool, found);
    QFETCH(QString, suffix);
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(existing);

    Configuration::LangPath->clear();
    const QString base = dir.path() + QLatin1Char('/');
    QCOMPARE(Configuration::setLangPath(base, locale.toLatin1()), found);
    QCOMPARE(QString::fromLocal8Bit(*Configuration::LangPath), base + suffix);
}

void tst_Configuration::relativeLangPathLooksInResources()
{
    Configuration::LangPath->clear();
    QVERIFY(!Configuration::setLangPath(QStringLiteral("lang/"), "C"));
    QCOMPARE(*Configuration::LangPath, QByteArray(":/lang/C/"));
}

void tst_Configuration::dataDirFollowsLocale()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("lang/C"));
    QDir(dir.path()).mkpath(QStringLiteral("lang/sv_SE"));

    // The tests run in the C locale: its folder is taken.
    Configuration::setDataDir(dir.path());
    const QString base = dir.path() + QLatin1Char('/');
    QCOMPARE(Configuration::dataDir(), base);
    QCOMPARE(QString::fromLocal8Bit(*Configuration::LangPath), base + QLatin1String("lang/C/"));
    QCOMPARE(QString::fromLocal8Bit(*Configuration::IconDir), base + QLatin1String("img/"));

    // A locale without a folder falls back to C.
    QLocale::setDefault(QLocale(QStringLiteral("fi_FI")));
    Configuration::setDataDir(dir.path());
    QLocale::setDefault(QLocale::c());
    QCOMPARE(QString::fromLocal8Bit(*Configuration::LangPath), base + QLatin1String("lang/C/"));
}

void tst_Configuration::readersDuringApply()
{
    ScratchHome home;
    Configuration current("config.dat");
    Configuration first("config.dat");
    first.setParam(ParamPassword, QStringLiteral("first"));
    first.setUserList({QStringLiteral("a:1")});
    Configuration second("config.dat");
    second.setParam(ParamPassword, QStringLiteral("second"));
    second.setUserList({QStringLiteral("b:2"), QStringLiteral("c:3")});
    QVERIFY(current.apply(&first));

    // Connection threads read while the GUI thread replaces the settings: every read
    // must see one whole value or the other.
    std::atomic<bool> done {false};
    std::atomic<int> bad {0};
    auto reader = [&] {
        while (!done) {
            const QString password = current.getParam(ParamPassword);
            const QList<QString> users = current.userList();
            if (password != QLatin1String("first") && password != QLatin1String("second"))
                ++bad;
            if (users.size() != 1 && users.size() != 2)
                ++bad;
        }
    };
    std::unique_ptr<QThread> threads[] = {std::unique_ptr<QThread>(QThread::create(reader)),
                                          std::unique_ptr<QThread>(QThread::create(reader))};
    for (auto &thread : threads)
        thread->start();
    for (int i = 0; i < 200; ++i)
        QVERIFY(current.apply(i % 2 ? &first : &second));
    done = true;
    for (auto &thread : threads)
        QVERIFY(thread->wait(10000));
    QCOMPARE(bad.load(), 0);
}

QTEST_GUILESS_MAIN(tst_Configuration)
#include "tst_configuration.moc"
