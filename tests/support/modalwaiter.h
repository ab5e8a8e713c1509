#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <functional>

// Acts on the next modal dialog that opens, from inside its exec(), the way Qt's own
// tst_qmessagebox closes its boxes: by polling QApplication::activeModalWidget().
// Create it before the call that runs the dialog. If no new dialog shows within the
// time limit, or the action leaves it open, the waiter closes it so that no test ever
// waits on a person; handled() then tells the test.
// Unlike ModalWatch it skips the dialog already open when it is made, so an action can
// answer a dialog opened from inside another one with a waiter of its own (a timer
// does not fire again while its own slot runs, so one poller cannot do both).
class ModalWaiter
{
public:
    using Action = std::function<void(QDialog *)>;

    explicit ModalWaiter(Action action, int timeoutMs = 10000)
        : m_action(std::move(action))
        , m_previous(QApplication::activeModalWidget())
        , m_deadline(timeoutMs)
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start();
    }

    // The action ran on a dialog and that dialog was closed by it.
    bool handled() const { return m_ran && !m_leftOpen; }
    bool ran() const { return m_ran; }

private:
    void poll()
    {
        QWidget *active = QApplication::activeModalWidget();
        auto *dialog = qobject_cast<QDialog *>(active);
        if (dialog && active != m_previous) {
            m_timer.stop();
            m_ran = true;
            QPointer<QDialog> guard(dialog);
            m_action(dialog);
            if (guard && guard->isVisible()) {
                m_leftOpen = true;
                guard->reject();
            }
        } else if (m_deadline.hasExpired()) {
            m_timer.stop();
            if (dialog)
                dialog->reject();
        }
    }

    Action m_action;
    QPointer<QWidget> m_previous;
    QDeadlineTimer m_deadline;
    QTimer m_timer;
    bool m_ran = false;
    bool m_leftOpen = false;
};
