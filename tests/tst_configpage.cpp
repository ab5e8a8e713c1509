#include "config/dialog/configpage.h"
#include "support/modalwaiter.h"
#include "support/pagehost.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

// What the help dialog showed: its title, its message and its parent.
struct HelpShown
{
    QString title;
    QString text;
    QWidget *parent = nullptr;
};

static ModalWaiter::Action readAndClose(HelpShown *shown)
{
    return [shown](QDialog *dialog) {
        shown->title = dialog->windowTitle();
        shown->parent = dialog->parentWidget();
        if (auto *label = dialog->findChild<QLabel *>())
            shown->text = label->text();
        dialog->accept();
    };
}

class tst_ConfigPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void changesReachTheParentsSlot();
    void help_data();
    void help();
    void helpWithoutThePage();
};

void tst_ConfigPage::init()
{
    // The page reaches the dialog by the slot's name; a wrong name only warns.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect")));
}

void tst_ConfigPage::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_ConfigPage::changesReachTheParentsSlot()
{
    PageHost host;
    auto *page = new ConfigPage(&host);
    Q_EMIT page->configChanged();
    Q_EMIT page->configChanged();
    QCOMPARE(host.changes, 2);
}

void tst_ConfigPage::help_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("shown");

    QTest::addRow("plain") << QByteArray("<h1>Port</h1>") << QStringLiteral("<h1>Port</h1>");
    QTest::addRow("read as Latin-1") << QByteArray("caf\xe9 \xc3\xa9")
                                     << QStringLiteral(u"caf\u00e9 \u00c3\u00a9");
    QTest::addRow("ends at a zero byte") << QByteArray("before\0after", 12) << QStringLiteral("before");
    QTest::addRow("text mode line ends") << QByteArray("one\r\ntwo") << QStringLiteral("one\ntwo");
    QTest::addRow("empty page") << QByteArray() << QString();
}

void tst_ConfigPage::help()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, shown);

    HelpFolder folder;
    folder.write(QStringLiteral("port"), file);
    PageHost host;
    auto *page = new ConfigPage(&host);

    HelpShown seen;
    ModalWaiter waiter(readAndClose(&seen));
    QVERIFY(QMetaObject::invokeMethod(page, "help", Q_ARG(QString, QStringLiteral("port"))));
    QVERIFY(waiter.handled());
    QCOMPARE(seen.title, QStringLiteral("Help"));
    QCOMPARE(seen.parent, page);
    QCOMPARE(seen.text, shown);
}

void tst_ConfigPage::helpWithoutThePage()
{
    HelpFolder folder;
    PageHost host;
    auto *page = new ConfigPage(&host);

    HelpShown seen;
    ModalWaiter waiter(readAndClose(&seen));
    QVERIFY(QMetaObject::invokeMethod(page, "help", Q_ARG(QString, QStringLiteral("missing"))));
    QVERIFY(waiter.handled());
    QCOMPARE(seen.title, QStringLiteral("Help"));
    QCOMPARE(seen.text, QLatin1String("Can't read file:") + folder.pagePath(QStringLiteral("missing")));
}

QTEST_MAIN(tst_ConfigPage)
#include "tst_configpage.moc"
