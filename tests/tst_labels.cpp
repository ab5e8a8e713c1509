#include "app/linklabel.h"
#include "app/messagedialog.h"
#include "app/slabel.h"
#include "app/slinklabel.h"
#include "support/modalwatch.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

#include <memory>

// Records the links handed to the desktop's open-URL service.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public Q_SLOTS:
    void record(const QUrl &url) { opened.append(url); }
};

class tst_Labels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void linkText_data();
    void linkText();
    void linkClickGivesTheTarget();
    void scrollAreaOwnsTheLabel();
    void scrollAreaHeights_data();
    void scrollAreaHeights();
    void messageDialogRunsModally();
    void messageDialogLinks_data();
    void messageDialogLinks();

private:
    UrlRecorder recorder;
};

static const char *const Schemes[] = {"http", "https", "mailto", "file", "ftp"};

void tst_Labels::initTestCase()
{
    for (const char *scheme : Schemes)
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &recorder, "record");
}

void tst_Labels::cleanupTestCase()
{
    for (const char *scheme : Schemes)
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
}

void tst_Labels::cleanup()
{
    recorder.opened.clear();
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

// The anchors of a label's rich text as (visible text, target) pairs.
static QList<QPair<QString, QString>> anchors(const QString &html)
{
    QList<QPair<QString, QString>> result;
    QTextDocument document;
    document.setHtml(html);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.charFormat().isAnchor())
                result.append({fragment.text(), fragment.charFormat().anchorHref()});
        }
    }
    return result;
}

void tst_Labels::linkText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("html");

    QTest::addRow("path is its own target")
        << "/home/user/MyDocs" << QString() << "<a href=\"/home/user/MyDocs\">/home/user/MyDocs</a>";
    QTest::addRow("text and target") << "Help"
                                     << "port"
                                     << "<a href=\"port\">Help</a>";
    QTest::addRow("markup characters in a name")
        << "/tmp/a&b <c> \"d\"" << QString()
        << "<a href=\"/tmp/a&amp;b &lt;c&gt; &quot;d&quot;\">/tmp/a&amp;b &lt;c&gt; &quot;d&quot;</a>";
}

void tst_Labels::linkText()
{
    QFETCH(QString, text);
    QFETCH(QString, target);
    QFETCH(QString, html);
    const QString expectedTarget = target.isNull() ? text : target;

    // The scroll area owns the label.
    auto *scrolled = new SLinkLabel;
    std::unique_ptr<QScrollArea> area(scrolled->getScrollArea());
    LinkLabel plain;
    LinkLabel constructed(text, expectedTarget);
    if (target.isNull()) {
        scrolled->setLinkText(text);
        plain.setLinkText(text);
    } else {
        scrolled->setLinkText(text, target);
        plain.setLinkText(text, target);
    }

    const QList<QPair<QString, QString>> expected {{text, expectedTarget}};
    for (const QLabel *label : {static_cast<QLabel *>(scrolled), static_cast<QLabel *>(&plain),
                                static_cast<QLabel *>(&constructed)}) {
        QCOMPARE(label->text(), html);
        QCOMPARE(anchors(label->text()), expected);
        // The owner decides what a click does.
        QVERIFY(!label->openExternalLinks());
    }
}

void tst_Labels::linkClickGivesTheTarget()
{
    QWidget window;
    auto *label = new LinkLabel(QStringLiteral("Open the help page"), QStringLiteral("dns"));
    label->setParent(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QSignalSpy activated(label, &QLabel::linkActivated);
    const QPoint onText(label->fontMetrics().horizontalAdvance(QLatin1Char('O')) * 3, label->height() / 2);
    QTest::mouseClick(label, Qt::LeftButton, {}, onText);
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.first().first().toString(), QStringLiteral("dns"));
    QVERIFY(recorder.opened.isEmpty());
}

void tst_Labels::scrollAreaOwnsTheLabel()
{
    auto *label = new Slabel(QStringLiteral("text"));
    QPointer<QLabel> watch(label);
    QScrollArea *area = label->getScrollArea();
    QCOMPARE(area->widget(), label);
    QVERIFY(area->widgetResizable());
    QVERIFY(!area->parent());
    delete area;
    QVERIFY(watch.isNull());
}

void tst_Labels::scrollAreaHeights_data()
{
    QTest::addColumn<QString>("text");
    QTest::addRow("empty") << QString();
    QTest::addRow("one line") << QStringLiteral("/home/user/MyDocs/photos");
    QTest::addRow("three lines") << QStringLiteral("one<br>two<br>three");
}

void tst_Labels::scrollAreaHeights()
{
    QFETCH(QString, text);
    QLabel reference(text);
    const int height = reference.sizeHint().height();

    std::unique_ptr<Slabel> label(text.isNull() ? new Slabel : new Slabel(text));
    std::unique_ptr<QScrollArea> area(label->getScrollArea());
    label.release();
    QCOMPARE(area->minimumHeight(), height);
    QCOMPARE(area->maximumHeight(), height + 30);

    // Taken once: a later, longer text scrolls.
    static_cast<Slabel *>(area->widget())->setText(QStringLiteral("a<br>b<br>c<br>d<br>e<br>f"));
    QCOMPARE(area->minimumHeight(), height);
    QCOMPARE(area->maximumHeight(), height + 30);
}

void tst_Labels::messageDialogRunsModally()
{
    const QString text = QStringLiteral("<b>Port</b> The port the server listens on. ").repeated(20);
    QString shownText;
    bool wraps = false;
    int minimumHeight = -1;
    ModalWatch watch;
    watch.then([&](QWidget *dialog) {
        const QList<QLabel *> labels = dialog->findChildren<QLabel *>();
        for (QLabel *label : labels) {
            if (auto *slabel = dynamic_cast<Slabel *>(label)) {
                shownText = slabel->text();
                wraps = slabel->wordWrap();
                minimumHeight = slabel->getScrollArea()->minimumHeight();
            }
        }
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });

    QWidget parent;
    MessageDialog dialog("Help", text, &parent);
    // The constructor returned: the dialog ran and was answered.
    QCOMPARE(watch.seen(), 1);
    QCOMPARE(watch.unexpected, 0);
    QCOMPARE(watch.titles.first(), QStringLiteral("Help"));
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.parentWidget(), &parent);
    QCOMPARE(shownText, text);
    QVERIFY(wraps);
    // The heights were taken before word wrap was switched on: one unwrapped line.
    QCOMPARE(minimumHeight, QLabel(text).sizeHint().height());
}

void tst_Labels::messageDialogLinks_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<bool>("opens");

    QTest::addRow("http") << "http://example.org/tarnwick/help" << true;
    QTest::addRow("https") << "https://example.org/" << false;
    QTest::addRow("mailto") << "mailto:someone@example.org" << false;
    QTest::addRow("file") << "file:///etc/passwd" << false;
    QTest::addRow("upper-case scheme") << "HTTP://example.org/" << false;
    QTest::addRow("relative page") << "port.html" << false;
}

void tst_Labels::messageDialogLinks()
{
    QFETCH(QString, link);
    QFETCH(bool, opens);

    ModalWatch watch;
    watch.then([&](QWidget *dialog) {
        for (QLabel *label : dialog->findChildren<QLabel *>()) {
            if (dynamic_cast<Slabel *>(label))
                Q_EMIT label->linkActivated(link);
        }
        // A link does not close the dialog.
        QVERIFY(dialog->isVisible());
        static_cast<QDialog *>(dialog)->accept();
    });
    MessageDialog dialog("Links", QStringLiteral("<a href=\"%1\">link</a>").arg(link), nullptr);
    QCOMPARE(watch.seen(), 1);

    if (opens)
        QCOMPARE(recorder.opened, QList<QUrl>({QUrl(link)}));
    else
        QVERIFY(recorder.opened.isEmpty());
}

QTEST_MAIN(tst_Labels)
#include "tst_labels.moc"
