#include "config/dialog/configpageserver.h"
#include "config/paramfile.h"
#include "support/modalwaiter.h"
#include "support/pagehost.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

class tst_ConfigPageServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void initialValues_data();
    void initialValues();
    void missingKeysShowReadDefaults();
    void ranges_data();
    void ranges();
    void spinBoxWrites_data();
    void spinBoxWrites();
    void typingThePort_data();
    void typingThePort();
    void warnings();
    void typingThePath();
    void browsePath_data();
    void browsePath();
    void helpLinks_data();
    void helpLinks();
    void titleIsNoLink();
};

void tst_ConfigPageServer::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect")));
}

void tst_ConfigPageServer::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_ConfigPageServer::initialValues_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("shown");

    QTest::addRow("port") << "portBox" << int(ParamPort) << 8081 << 8081;
    QTest::addRow("highest port") << "portBox" << int(ParamPort) << 65535 << 65535;
    QTest::addRow("port above 65000") << "portBox" << int(ParamPort) << 65001 << 65001;
    QTest::addRow("connections") << "maxConnBox" << int(ParamMaxConn) << 25 << 25;
    QTest::addRow("connections above the box's own maximum")
        << "maxConnBox" << int(ParamMaxConn) << 150 << 99;
    QTest::addRow("data limit") << "dataLimitBox" << int(ParamDataLimit) << 1000000000 << 1000000000;
    QTest::addRow("session lifetime") << "lifetimeBox" << int(ParamLifetime) << 61 << 61;
}

void tst_ConfigPageServer::initialValues()
{
    QFETCH(QString, box);
    QFETCH(int, id);
    QFETCH(int, stored);
    QFETCH(int, shown);

    PageHost host;
    host.work.setParam(id, stored);
    auto *page = new ConfigPageServer(&host);
    auto *spinBox = page->findChild<QSpinBox *>(box);
    QVERIFY(spinBox);
    QCOMPARE(spinBox->value(), shown);
    // Showing a value is no edit, even where the box had to clamp it.
    QCOMPARE(host.changes, 0);
    QCOMPARE(host.work.getParam(id, 0), stored);
}

void tst_ConfigPageServer::missingKeysShowReadDefaults()
{
    PageHost host;
    QVERIFY(ParamFile::write(host.home.file("config.dat"), {}, {}));
    host.work.load();
    QVERIFY(host.work.paramMap().isEmpty());

    auto *page = new ConfigPageServer(&host);
    QVERIFY(page->findChild<QCheckBox *>(QStringLiteral("warningBox"))->isChecked());
    QCOMPARE(page->findChild<QSpinBox *>(QStringLiteral("portBox"))->value(), 8080);
    QCOMPARE(page->findChild<QSpinBox *>(QStringLiteral("maxConnBox"))->value(), 10);
    QCOMPARE(page->findChild<QSpinBox *>(QStringLiteral("dataLimitBox"))->value(), 0);
    QCOMPARE(page->findChild<QSpinBox *>(QStringLiteral("lifetimeBox"))->value(), 600);
    QCOMPARE(page->findChild<QLineEdit *>(QStringLiteral("pathEdit"))->text(), QString());
    QVERIFY(host.work.paramMap().isEmpty());
}

void tst_ConfigPageServer::ranges_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");

    // The port label promises 1 - 65535.
    QTest::addRow("port") << "portBox" << 1 << 65535;
    QTest::addRow("connections") << "maxConnBox" << 1 << 99;
    QTest::addRow("data limit") << "dataLimitBox" << 0 << 1000000000;
    QTest::addRow("session lifetime") << "lifetimeBox" << 60 << 10000;
}

void tst_ConfigPageServer::ranges()
{
    QFETCH(QString, box);
    QFETCH(int, minimum);
    QFETCH(int, maximum);

    PageHost host;
    auto *page = new ConfigPageServer(&host);
    auto *spinBox = page->findChild<QSpinBox *>(box);
    QVERIFY(spinBox);
    QCOMPARE(spinBox->minimum(), minimum);
    QCOMPARE(spinBox->maximum(), maximum);
}

void tst_ConfigPageServer::spinBoxWrites_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("written");

    QTest::addRow("port") << "portBox" << int(ParamPort) << 9000 << 9000;
    QTest::addRow("port 65535") << "portBox" << int(ParamPort) << 65535 << 65535;
    QTest::addRow("port beyond the range") << "portBox" << int(ParamPort) << 70000 << 65535;
    QTest::addRow("port 0") << "portBox" << int(ParamPort) << 0 << 1;
    QTest::addRow("connections") << "maxConnBox" << int(ParamMaxConn) << 3 << 3;
    QTest::addRow("data limit") << "dataLimitBox" << int(ParamDataLimit) << 5000 << 5000;
    QTest::addRow("lifetime") << "lifetimeBox" << int(ParamLifetime) << 10000 << 10000;
    QTest::addRow("lifetime below a minute") << "lifetimeBox" << int(ParamLifetime) << 10 << 60;
}

void tst_ConfigPageServer::spinBoxWrites()
{
    QFETCH(QString, box);
    QFETCH(int, id);
    QFETCH(int, value);
    QFETCH(int, written);

    PageHost host;
    auto *page = new ConfigPageServer(&host);
    page->findChild<QSpinBox *>(box)->setValue(value);
    QCOMPARE(host.work.getParam(id, -1), written);
    QCOMPARE(host.changes, 1);
}

void tst_ConfigPageServer::typingThePort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QList<int>>("written");

    QTest::addRow("9000") << "9000" << QList<int> {9, 90, 900, 9000};
    QTest::addRow("the highest port") << "65535" << QList<int> {6, 65, 655, 6553, 65535};
}

void tst_ConfigPageServer::typingThePort()
{
    QFETCH(QString, typed);
    QFETCH(QList<int>, written);

    PageHost host;
    auto *page = new ConfigPageServer(&host);
    auto *port = page->findChild<QSpinBox *>(QStringLiteral("portBox"));
    port->selectAll();
    // Every keystroke is an edit of its own.
    QList<int> seen;
    for (const QChar digit : typed) {
        QTest::keyClick(port, digit.toLatin1());
        seen.append(host.work.getParam(ParamPort, -1));
    }
    QCOMPARE(seen, written);
    QCOMPARE(host.changes, int(written.size()));
}

void tst_ConfigPageServer::warnings()
{
    PageHost host;
    host.work.setParam(ParamWarningMode, 0);
    auto *page = new ConfigPageServer(&host);
    auto *box = page->findChild<QCheckBox *>(QStringLiteral("warningBox"));
    QVERIFY(!box->isChecked());
    QCOMPARE(box->text(), QStringLiteral("Show warning messages"));

    box->click();
    QCOMPARE(host.work.getParam(ParamWarningMode, -1), 1);
    box->click();
    QCOMPARE(host.work.getParam(ParamWarningMode, -1), 0);
    QCOMPARE(host.changes, 2);
}

void tst_ConfigPageServer::typingThePath()
{
    PageHost host;
    host.work.setParam(ParamDownloadPath, QStringLiteral("/data/in"));
    auto *page = new ConfigPageServer(&host);
    auto *path = page->findChild<QLineEdit *>(QStringLiteral("pathEdit"));
    QCOMPARE(path->text(), QStringLiteral("/data/in"));
    QTest::keyClicks(path, QStringLiteral("box"));
    QCOMPARE(host.work.getParam(ParamDownloadPath), QStringLiteral("/data/inbox"));
    QCOMPARE(host.changes, 3);
}

void tst_ConfigPageServer::browsePath_data()
{
    QTest::addColumn<bool>("choose");
    QTest::addRow("a folder chosen") << true;
    QTest::addRow("cancelled") << false;
}

void tst_ConfigPageServer::browsePath()
{
    QFETCH(bool, choose);

    QTemporaryDir start;
    QDir(start.path()).mkdir(QStringLiteral("chosen"));
    const QString chosen = QDir(start.path()).filePath(QStringLiteral("chosen"));
    PageHost host;
    host.work.setParam(ParamDownloadPath, start.path());
    auto *page = new ConfigPageServer(&host);

    QString startedIn;
    bool directoriesOnly = false;
    ModalWaiter waiter([&](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        QVERIFY(files);
        startedIn = files->directory().absolutePath();
        directoriesOnly
            = files->fileMode() == QFileDialog::Directory && files->testOption(QFileDialog::ShowDirsOnly);
        if (choose) {
            // Going into the folder is enough; a selection would wait for the dialog's
            // file list, which is filled in the background.
            files->setDirectory(chosen);
            dialog->accept();
        } else {
            dialog->reject();
        }
    });
    page->findChild<QPushButton *>(QStringLiteral("browseButton"))->click();
    QVERIFY(waiter.handled());
    QCOMPARE(startedIn, start.path());
    QVERIFY(directoriesOnly);

    const QString expected = choose ? chosen : start.path();
    QCOMPARE(page->findChild<QLineEdit *>(QStringLiteral("pathEdit"))->text(), expected);
    QCOMPARE(host.work.getParam(ParamDownloadPath), expected);
    QCOMPARE(host.changes, choose ? 1 : 0);
}

void tst_ConfigPageServer::helpLinks_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("page");

    QTest::addRow("port") << "Port [1 - 65535]:"
                          << "port";
    QTest::addRow("connections") << "Max. Connections:"
                                 << "connections";
    QTest::addRow("data limit") << "Data limit [KB]:"
                                << "limit";
    QTest::addRow("session lifetime") << "Session lifetime [s]:"
                                      << "lifetime";
    QTest::addRow("download path") << "Download path:"
                                   << "path";
}

void tst_ConfigPageServer::helpLinks()
{
    QFETCH(QString, label);
    QFETCH(QString, page);

    HelpFolder folder;
    for (const char *name : {"port", "connections", "limit", "lifetime", "path"})
        folder.write(QLatin1String(name), QByteArray("help on ") + name);
    PageHost host;
    new ConfigPageServer(&host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));

    QLabel *link = labelShowing(&host, label);
    QVERIFY(link);
    QString shown;
    ModalWaiter waiter([&](QDialog *dialog) {
        shown = dialog->findChild<QLabel *>()->text();
        dialog->accept();
    });
    clickText(link);
    QVERIFY(waiter.handled());
    QCOMPARE(shown, QLatin1String("help on ") + page);
}

void tst_ConfigPageServer::titleIsNoLink()
{
    PageHost host;
    new ConfigPageServer(&host);
    QLabel *title = labelShowing(&host, QStringLiteral("Server configuration"));
    QVERIFY(title);
    QVERIFY(!title->text().contains(QLatin1String("<a")));
}

QTEST_MAIN(tst_ConfigPageServer)
#include "tst_configpageserver.moc"
