#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <functional>

// Answers the modal dialogs that the code under test opens, in order, from inside their
// own event loops, by polling QApplication::activeModalWidget() as Qt's own box tests do.
// A dialog already open when it is made is left alone, so an answer can open a dialog and
// answer it with a Modals of its own. A dialog beyond the answers, or one an answer leaves
// open, is closed and counted, so that no test waits on a person.
class Modals
{
public:
    using Answer = std::function<void(QWidget *)>;

    explicit Modals(QList<Answer> answers = {})
        : answers(std::move(answers))
        , previous(QApplication::activeModalWidget())
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start(10);
    }

    static Answer press(QMessageBox::StandardButton button)
    {
        return [button](QWidget *box) { qobject_cast<QMessageBox *>(box)->button(button)->click(); };
    }

    // Waits until every answer has been given.
    bool done(int ms = 5000) const
    {
        return QTest::qWaitFor([this] { return answers.isEmpty(); }, ms);
    }

    // Title, text and format of each dialog seen.
    QStringList titles, texts;
    QList<Qt::TextFormat> formats;
    int unexpected = 0;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == previous || !modal->isVisible() || handled.contains(modal))
            return;
        handled.append(modal);
        auto *box = qobject_cast<QMessageBox *>(modal);
        titles.append(modal->windowTitle());
        texts.append(box ? box->text() : QString());
        formats.append(box ? box->textFormat() : Qt::AutoText);
        QPointer<QWidget> guard(modal);
        if (!answers.isEmpty())
            answers.takeFirst()(modal);
        if (guard && guard->isVisible()) {
            ++unexpected;
            guard->close();
        }
    }

    QList<Answer> answers;
    QPointer<QWidget> previous;
    QList<QPointer<QWidget>> handled;
    QTimer timer;
};
