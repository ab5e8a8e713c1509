#include "config/configuration.h"
#include "config/session.h"
#include "support/scratchhome.h"

#include <QtTest>

// init.dat after a run in mode 1 sharing "/srv/kuvat/ö", with the settings dialog
// last closed on page 2 and two recent paths.
static const QByteArray StateFile = QByteArray::fromHex(
    "000000030000002c0000000200000000020000002a0000000a0000000018002f007300720076002f006b0075"
    "007600610074002f00f6000000290000000200000000010000000200000018002f007300720076002f006b"
    "0075007600610074002f00f600000014002f0074006d0070002f0061002e007400780074");

static QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class tst_Session : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void missingFileIsEmpty();
    void saveWritesTheLayout();
    void loadReadsTheLayout();
    void damagedFile();
    void saveFailure();
    void singleInstance();
};

void tst_Session::missingFileIsEmpty()
{
    ScratchHome home;
    const Configuration settings("config.dat"); // the settings folder follows this home
    Session session("init.dat");
    QCOMPARE(session.getParam(ParamOperatingMode, ReadDefault::OperatingMode), 0);
    QCOMPARE(session.getParam(ParamConfigPage, ReadDefault::ConfigPage), 0);
    QCOMPARE(session.getParam(ParamSharedPath), QString());
    QVERIFY(session.recentFiles.isEmpty());
    QVERIFY(session.paramMap().isEmpty());
}

void tst_Session::saveWritesTheLayout()
{
    ScratchHome home;
    const Configuration settings("config.dat"); // the settings folder follows this home
    Session session("init.dat");
    session.setParam(ParamOperatingMode, 1);
    session.setParam(ParamSharedPath, QStringLiteral("/srv/kuvat/\u00f6"));
    session.setParam(ParamConfigPage, 2);
    session.recentFiles = {QStringLiteral("/srv/kuvat/\u00f6"), QStringLiteral("/tmp/a.txt")};
    QVERIFY(session.save());
    QCOMPARE(readAll(home.file("init.dat")).toHex(), StateFile.toHex());
}

void tst_Session::loadReadsTheLayout()
{
    ScratchHome home;
    const Configuration settings("config.dat"); // the settings folder follows this home
    QDir().mkpath(home.settingsDir());
    QFile file(home.file("init.dat"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(StateFile);
    file.close();

    Session session("init.dat");
    QCOMPARE(session.getParam(ParamOperatingMode, 0), 1);
    QCOMPARE(session.getParam(ParamConfigPage, 0), 2);
    QCOMPARE(session.getParam(ParamSharedPath), QStringLiteral("/srv/kuvat/\u00f6"));
    QCOMPARE(session.recentFiles,
             QList<QString>({QStringLiteral("/srv/kuvat/\u00f6"), QStringLiteral("/tmp/a.txt")}));
}

void tst_Session::damagedFile()
{
    ScratchHome home;
    const Configuration settings("config.dat"); // the settings folder follows this home
    QDir().mkpath(home.settingsDir());
    QFile file(home.file("init.dat"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(StateFile.left(StateFile.size() - 4));
    file.close();

    // The map was whole; the list keeps what could be read.
    Session session("init.dat");
    QCOMPARE(session.getParam(ParamOperatingMode, 0), 1);
    QCOMPARE(session.recentFiles, QList<QString>({QStringLiteral("/srv/kuvat/\u00f6")}));
}

void tst_Session::saveFailure()
{
    ScratchHome home;
    const Configuration settings("config.dat"); // the settings folder follows this home
    // A folder where the file should be makes the replace fail.
    QVERIFY(QDir().mkpath(home.file("init.dat")));
    Session session("init.dat");
    session.setParam(ParamOperatingMode, 2);
    QVERIFY(!session.save());
    QVERIFY(QFileInfo(home.file("init.dat")).isDir());
}

void tst_Session::singleInstance()
{
    Session *session = Session::getSession();
    QVERIFY(session);
    QCOMPARE(Session::getSession(), session);
    QCOMPARE(Session::session, session);
}

QTEST_GUILESS_MAIN(tst_Session)
#include "tst_session.moc"
