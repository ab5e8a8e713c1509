#include "config/dialog/configpagefolder.h"
#include "support/modalwaiter.h"
#include "support/pagehost.h"

#include <QCheckBox>
#include <QtTest>

class tst_ConfigPageFolder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void thumbnails_data();
    void thumbnails();
    void helpLink();
};

void tst_ConfigPageFolder::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect")));
}

void tst_ConfigPageFolder::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_ConfigPageFolder::thumbnails_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<int>("afterClick");

    QTest::addRow("table") << 0 << false << 1;
    QTest::addRow("thumbnails") << 1 << true << 0;
}

void tst_ConfigPageFolder::thumbnails()
{
    QFETCH(int, stored);
    QFETCH(bool, checked);
    QFETCH(int, afterClick);

    PageHost host;
    host.work.setParam(ParamThumbnailView, stored);
    auto *page = new ConfigPageFolder(&host);
    auto *box = page->findChild<QCheckBox *>(QStringLiteral("thumbnailBox"));
    QCOMPARE(box->text(), QStringLiteral("Enable thumbnail view"));
    QCOMPARE(box->isChecked(), checked);
    QCOMPARE(host.changes, 0);

    box->click();
    QCOMPARE(host.work.getParam(ParamThumbnailView, -1), afterClick);
    QCOMPARE(host.changes, 1);
}

void tst_ConfigPageFolder::helpLink()
{
    HelpFolder folder;
    folder.write(QStringLiteral("folder"), "about thumbnails");
    PageHost host;
    new ConfigPageFolder(&host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));

    QLabel *title = labelShowing(&host, QStringLiteral("Folder View Configuration"));
    QVERIFY(title);
    QString shown;
    ModalWaiter waiter([&](QDialog *dialog) {
        shown = dialog->findChild<QLabel *>()->text();
        dialog->accept();
    });
    clickText(title);
    QVERIFY(waiter.handled());
    QCOMPARE(shown, QStringLiteral("about thumbnails"));
}

QTEST_MAIN(tst_ConfigPageFolder)
#include "tst_configpagefolder.moc"
