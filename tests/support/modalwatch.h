#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

// Answers the modal dialogs that the code under test opens, in order, as a person
// would: it polls QApplication::activeModalWidget() while the dialogs' own event loops
// run and hands each newly shown dialog to the next action. A dialog that appears when
// no action is left is rejected and counted in unexpected, so a test never hangs on it.
class ModalWatch : public QObject
{
public:
    using Action = std::function<void(QWidget *)>;

    ModalWatch()
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, &ModalWatch::poll);
        timer.start();
    }

    ModalWatch &then(Action action)
    {
        actions.append(std::move(action));
        return *this;
    }

    // Common answers.
    static Action press(QMessageBox::StandardButton button)
    {
        return [button](QWidget *widget) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box && box->button(button))
                box->button(button)->click();
            else if (auto *dialog = qobject_cast<QDialog *>(widget))
                dialog->reject();
        };
    }
    static Action reject()
    {
        return [](QWidget *widget) {
            if (auto *dialog = qobject_cast<QDialog *>(widget))
                dialog->reject();
            else
                widget->close();
        };
    }

    // What was seen, in order: window title, and for message boxes their text and icon.
    QStringList titles;
    QStringList texts;
    QList<QMessageBox::Icon> icons;
    QList<Qt::TextFormat> formats;
    int unexpected = 0;

    int seen() const { return int(titles.size()); }
    int pending() const { return int(actions.size()); }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || handled.contains(modal))
            return;
        handled.append(modal);
        titles.append(modal->windowTitle());
        auto *box = qobject_cast<QMessageBox *>(modal);
        texts.append(box ? box->text() : QString());
        icons.append(box ? box->icon() : QMessageBox::NoIcon);
        formats.append(box ? box->textFormat() : Qt::AutoText);
        if (actions.isEmpty()) {
            ++unexpected;
            reject()(modal);
            return;
        }
        const Action action = actions.takeFirst();
        action(modal);
    }

    QTimer timer;
    QList<Action> actions;
    // Dialogs already answered; a pointer goes null once its dialog is destroyed.
    QList<QPointer<QWidget>> handled;
};
