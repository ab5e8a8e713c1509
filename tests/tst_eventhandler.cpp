#include "app/eventhandler.h"
#include "server/tarnwicksocket.h"
#include "support/modalwatch.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>
#include <thread>

// Emits an error from a thread of its own, as a connection thread does.
class ErrorSource : public QObject
{
    Q_OBJECT

Q_SIGNALS:
    void error(const QString &title, const QString &text);
};

class tst_EventHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void statusMessage();
    void trafficLine_data();
    void trafficLine();
    void sameAddressDoesNotRefresh();
    void newAddressRestartsThePeriod();
    void timerRefreshesWhileRunning();
    void warningIsPlainText_data();
    void warningIsPlainText();
    void messagesDuringABoxWait();
    void messageFromAnotherThread();

private:
    QString line() const { return handler->getStatusWidget()->text(); }
    static void setTotals(qint64 sent, qint64 received)
    {
        TarnwickSocket::Sent = sent;
        TarnwickSocket::Received = received;
    }

    std::unique_ptr<QWidget> window;
    EventHandler *handler = nullptr;
};

void tst_EventHandler::init()
{
    EventHandler::lastAddress.clear();
    setTotals(0, 0);
    window = std::make_unique<QWidget>();
    handler = new EventHandler(window.get());
    // The window's layout adopts the status line, as the main window's does.
    (new QVBoxLayout(window.get()))->addWidget(handler->getStatusWidget());
}

void tst_EventHandler::cleanup()
{
    window.reset();
    handler = nullptr;
    setTotals(0, 0);
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_EventHandler::statusMessage()
{
    QCOMPARE(line(), QString());
    handler->statusmsg(QStringLiteral("No internet connection"));
    QCOMPARE(line(), QStringLiteral("<center>No internet connection</center>"));

    // Before the first connection there is no summary: the message stays.
    handler->sendDataInfo();
    QCOMPARE(line(), QStringLiteral("<center>No internet connection</center>"));
}

void tst_EventHandler::trafficLine_data()
{
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("expected");

    QTest::addRow("example") << qint64(123000) << qint64(456) << "192.168.1.5"
                             << "<center>123KB Last connection: 192.168.1.5</center>";
    QTest::addRow("below one KB") << qint64(400) << qint64(599) << "10.0.0.2"
                                  << "<center>0KB Last connection: 10.0.0.2</center>";
    QTest::addRow("exactly one KB") << qint64(1000) << qint64(0) << "10.0.0.2"
                                    << "<center>1KB Last connection: 10.0.0.2</center>";
    // Past 2 GB, and past 4 GB, where 32-bit totals wrap.
    QTest::addRow("above 2 GB") << qint64(2147483647) << qint64(1000) << "10.0.0.3"
                                << "<center>2147484KB Last connection: 10.0.0.3</center>";
    QTest::addRow("above 4 GB") << qint64(5000000000) << qint64(4294967296) << "10.0.0.3"
                                << "<center>9294967KB Last connection: 10.0.0.3</center>";
}

void tst_EventHandler::trafficLine()
{
    QFETCH(qint64, sent);
    QFETCH(qint64, received);
    QFETCH(QString, address);
    QFETCH(QString, expected);

    setTotals(sent, received);
    handler->newConnection(address);
    QCOMPARE(EventHandler::lastAddress, address);
    QCOMPARE(line(), expected);
}

void tst_EventHandler::sameAddressDoesNotRefresh()
{
    handler->newConnection(QStringLiteral("192.168.1.5"));
    QCOMPARE(line(), QStringLiteral("<center>0KB Last connection: 192.168.1.5</center>"));

    setTotals(50000, 0);
    handler->newConnection(QStringLiteral("192.168.1.5"));
    QCOMPARE(line(), QStringLiteral("<center>0KB Last connection: 192.168.1.5</center>"));
    // The next tick does.
    QTRY_COMPARE_WITH_TIMEOUT(line(), QStringLiteral("<center>50KB Last connection: 192.168.1.5</center>"),
                              3000);
}

void tst_EventHandler::newAddressRestartsThePeriod()
{
    handler->newConnection(QStringLiteral("10.0.0.1"));
    handler->startTimer();
    QTest::qWait(1500);

    setTotals(7000, 0);
    handler->newConnection(QStringLiteral("10.0.0.2"));
    QCOMPARE(line(), QStringLiteral("<center>7KB Last connection: 10.0.0.2</center>"));

    // Without the restart the tick would come 500 ms from now.
    setTotals(9000, 0);
    QTest::qWait(1000);
    QCOMPARE(line(), QStringLiteral("<center>7KB Last connection: 10.0.0.2</center>"));
    QTRY_COMPARE_WITH_TIMEOUT(line(), QStringLiteral("<center>9KB Last connection: 10.0.0.2</center>"), 2000);
}

void tst_EventHandler::timerRefreshesWhileRunning()
{
    EventHandler::lastAddress = QStringLiteral("10.0.0.9");
    handler->startTimer();
    setTotals(2000, 0);
    QTRY_COMPARE_WITH_TIMEOUT(line(), QStringLiteral("<center>2KB Last connection: 10.0.0.9</center>"), 3000);

    handler->stopTimer();
    setTotals(3000, 0);
    QTest::qWait(2500);
    QCOMPARE(line(), QStringLiteral("<center>2KB Last connection: 10.0.0.9</center>"));
}

void tst_EventHandler::warningIsPlainText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addRow("plain") << "Can't write file: report.pdf";
    // A browser chooses upload file names: no markup of theirs reaches the box as markup.
    QTest::addRow("markup in a file name")
        << "Can't write file: <img src=\"http://10.1.1.1/x.png\"><b>x</b>.txt";
    QTest::addRow("link") << "<a href=\"http://example.org/\">click</a>";
}

void tst_EventHandler::warningIsPlainText()
{
    QFETCH(QString, text);
    ModalWatch watch;
    QString shown;
    Qt::TextFormat labelFormat = Qt::AutoText;
    watch.then([&](QWidget *box) {
        for (QLabel *label : box->findChildren<QLabel *>()) {
            if (label->text() == text) {
                shown = label->text();
                labelFormat = label->textFormat();
            }
        }
        ModalWatch::press(QMessageBox::Ok)(box);
    });

    handler->msg(QStringLiteral("Upload failed"), text);
    QCOMPARE(watch.seen(), 1);
    QCOMPARE(watch.titles.first(), QStringLiteral("Upload failed"));
    QCOMPARE(watch.texts.first(), text);
    QCOMPARE(watch.icons.first(), QMessageBox::Warning);
    QCOMPARE(watch.formats.first(), Qt::PlainText);
    QCOMPARE(shown, text);
    QCOMPARE(labelFormat, Qt::PlainText);
}

void tst_EventHandler::messagesDuringABoxWait()
{
    ModalWatch watch;
    bool directCallReturned = false;
    bool firstStillOpen = false;
    watch.then([&](QWidget *first) {
        // Arrives through the open box's own event loop, as a queued error does.
        QMetaObject::invokeMethod(
            handler, [this] { handler->msg(QStringLiteral("two"), QStringLiteral("second")); },
            Qt::QueuedConnection);
        QTest::qWait(50);
        // A direct call while the box is open must not wait for it.
        handler->msg(QStringLiteral("three"), QStringLiteral("third"));
        directCallReturned = true;
        firstStillOpen = first->isVisible();
        ModalWatch::press(QMessageBox::Ok)(first);
    });
    watch.then(ModalWatch::press(QMessageBox::Ok));
    watch.then([&](QWidget *third) {
        // And one more while a queued box is showing.
        handler->msg(QStringLiteral("four"), QStringLiteral("fourth"));
        ModalWatch::press(QMessageBox::Ok)(third);
    });
    watch.then(ModalWatch::press(QMessageBox::Ok));

    handler->msg(QStringLiteral("one"), QStringLiteral("first"));
    QVERIFY(directCallReturned);
    QVERIFY(firstStillOpen);
    // One at a time, in order, none dropped.
    QCOMPARE(watch.titles, QStringList({"one", "two", "three", "four"}));
    QCOMPARE(watch.texts, QStringList({"first", "second", "third", "fourth"}));
    QCOMPARE(watch.unexpected, 0);

    // The lock was given back: the next message shows at once.
    watch.then(ModalWatch::press(QMessageBox::Ok));
    handler->msg(QStringLiteral("five"), QStringLiteral("fifth"));
    QCOMPARE(watch.seen(), 5);
    QCOMPARE(watch.titles.last(), QStringLiteral("five"));
}

void tst_EventHandler::messageFromAnotherThread()
{
    ErrorSource source;
    connect(&source, &ErrorSource::error, handler, &EventHandler::msg);
    ModalWatch watch;
    watch.then(ModalWatch::press(QMessageBox::Ok));
    // A joined thread: the race detector sees its end ordered before the source goes.
    std::thread thread([&source] {
        Q_EMIT source.error(QStringLiteral("Connection"), QStringLiteral("Can't read file: a.txt"));
    });
    thread.join();
    QTRY_COMPARE(watch.seen(), 1);
    QCOMPARE(watch.texts.first(), QStringLiteral("Can't read file: a.txt"));
}

QTEST_MAIN(tst_EventHandler)
#include "tst_eventhandler.moc"
