#include "app/startup.h"
#include "app/tarnwickwebserver.h"
#include "config/configuration.h"
#include "support/modalwatch.h"

#include <QApplication>
#include <QMetaClassInfo>
#include <QTranslator>
#include <QtTest>

// What the toolkit left of the command line "-style fusion root" (see main below).
static const char *toolkitLeftArgument = nullptr;

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void localeCatalogue_data();
    void localeCatalogue();
    void builtInCatalogue();
    void rootFlag_data();
    void rootFlag();
    void toolkitOptionsAreRemoved();
    void frame();
    void topApplicationShowsTheWindow();
    void busInterface();
};

void tst_Startup::cleanup()
{
    for (QTranslator *translator : qApp->findChildren<QTranslator *>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_Startup::localeCatalogue_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("found");

    QTest::addRow("full name") << "fi_FI.qm"
                               << "fi_FI" << true;
    QTest::addRow("full name, no suffix") << "fi_FI"
                                          << "fi_FI" << true;
    QTest::addRow("language only") << "fi.qm"
                                   << "fi_FI" << true;
    QTest::addRow("language only, no suffix") << "fi"
                                              << "fi_FI" << true;
    QTest::addRow("other language") << "sv.qm"
                                    << "fi_FI" << false;
    QTest::addRow("more specific than the locale") << "fi_FI.qm"
                                                   << "fi" << false;
}

void tst_Startup::localeCatalogue()
{
    QFETCH(QString, fileName);
    QFETCH(QString, locale);
    QFETCH(bool, found);
    QTemporaryDir dir;
    QVERIFY(QFile::copy(QStringLiteral(TEST_QM_FILE), dir.filePath(fileName)));

    if (!found)
        QTest::ignoreMessage(
            QtDebugMsg, qPrintable(QStringLiteral("No translator found for locale: \"%1\"").arg(locale)));
    QCOMPARE(Startup::installTranslations(qApp, locale, dir.path()), found);

    // The locale's catalogue wins over the built-in one for texts both hold.
    QCOMPARE(QCoreApplication::translate("TarnwickWebServer", "Version"),
             found ? QStringLiteral("Versio") : QStringLiteral("Version"));
}

void tst_Startup::builtInCatalogue()
{
    QTemporaryDir dir;
    QTest::ignoreMessage(QtDebugMsg, "No translator found for locale: \"C\"");
    QVERIFY(!Startup::installTranslations(qApp, QStringLiteral("C"), dir.path()));
    const QString notice = QCoreApplication::translate("TarnwickWebServer", "r4");
    QVERIFY(notice != QLatin1String("r4"));
    QVERIFY(!notice.isEmpty());
}

void tst_Startup::rootFlag_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<bool>("isNull");
    QTest::addColumn<bool>("root");
    QTest::addColumn<bool>("warnings");

    QTest::addRow("no argument") << QByteArray() << true << false << true;
    QTest::addRow("root") << QByteArray("root") << false << true << true;
    QTest::addRow("root, warnings off") << QByteArray("root") << false << true << false;
    QTest::addRow("capital R") << QByteArray("Root") << false << false << true;
    QTest::addRow("trailing blank") << QByteArray("root ") << false << false << true;
    QTest::addRow("empty") << QByteArray("") << false << false << true;
    QTest::addRow("longer word") << QByteArray("rooted") << false << false << true;
}

void tst_Startup::rootFlag()
{
    QFETCH(QByteArray, argument);
    QFETCH(bool, isNull);
    QFETCH(bool, root);
    QFETCH(bool, warnings);
    Configuration::getCurrentConfig()->setParam(ParamWarningMode, warnings ? 1 : 0);
    Configuration::RootMode = !root;
    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::Ok));
    {
        TarnwickWebServer window(isNull ? nullptr : argument.constData());
        QCOMPARE(Configuration::RootMode, root);
    }
    Configuration::getCurrentConfig()->setParam(ParamWarningMode, 1);

    // Root mode with warnings on warns once, while the window is being built.
    const bool warned = root && warnings;
    QCOMPARE(watch.seen(), warned ? 1 : 0);
    QCOMPARE(watch.unexpected, 0);
    if (warned) {
        QCOMPARE(watch.titles.first(), QStringLiteral("The server run as root!"));
        QCOMPARE(watch.texts.first(), QStringLiteral("Use this mode only if you want to use port 1 - 1024!"));
        QCOMPARE(watch.icons.first(), QMessageBox::Warning);
    }
}

void tst_Startup::toolkitOptionsAreRemoved()
{
    QCOMPARE(QByteArray(toolkitLeftArgument), QByteArray("root"));
    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::Ok));
    TarnwickWebServer window(toolkitLeftArgument);
    QVERIFY(Configuration::RootMode);
    QCOMPARE(watch.seen(), 1);
}

void tst_Startup::frame()
{
    TarnwickWebServer window(nullptr);
    QVERIFY(window.isVisible());
    QCOMPARE(window.windowTitle(), QStringLiteral("Tarnwick Web Server"));
    QCOMPARE(window.minimumSize(), QSize(790, 460));
    QVERIFY(!QApplication::windowIcon().isNull());
    QCOMPARE(Configuration::getCurrentConfig(), Configuration::config);

    // Every icon the window and dialogs name is compiled in.
    const char *icons[] = {
        "TarnwickServer",      "play", "stop", "find",  "query", "view", "preferences-system", "exit", "info",
        "preferences-network", "dns",  "kgpg", "folder"};
    for (const char *name : icons)
        QVERIFY2(!QImage(QStringLiteral(":/res/img/%1.png").arg(QLatin1String(name))).isNull(), name);
}

void tst_Startup::topApplicationShowsTheWindow()
{
    TarnwickWebServer window(nullptr);
    window.showMinimized();
    QCOMPARE(window.top_application(), 0);
    QVERIFY(window.isVisible());
    QVERIFY(!(window.windowState() & Qt::WindowMinimized));

    window.hide();
    QCOMPARE(window.top_application(), 0);
    QVERIFY(window.isVisible());
}

void tst_Startup::busInterface()
{
    const QMetaObject &meta = TarnwickWebServer::staticMetaObject;
    const int info = meta.indexOfClassInfo("D-Bus Interface");
    QVERIFY(info >= 0);
    QCOMPARE(QByteArray(meta.classInfo(info).value()), QByteArray("com.vardle.WebServer"));

    QList<QByteArray> scriptable;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        if (meta.method(i).attributes() & QMetaMethod::Scriptable)
            scriptable.append(meta.method(i).methodSignature());
    }
    QCOMPARE(scriptable, QList<QByteArray>({"OffLine()", "OnLine()", "top_application()"}));
}

int main(int argc, char **argv)
{
    // The window program hands the toolkit its whole command line; the toolkit takes
    // its own options (here a style and its value) before the program looks at argv.
    char style[] = "-style";
    char fusion[] = "fusion";
    char root[] = "root";
    char *appArgv[] = {argv[0], style, fusion, root, nullptr};
    int appArgc = 4;
    QApplication app(appArgc, appArgv);
    toolkitLeftArgument = Startup::firstArgument(appArgc, appArgv);

    tst_Startup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
