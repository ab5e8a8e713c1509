#pragma once

#include <QDialog>

class Slabel;

// A modal dialog with a rich-text message in a scrollable label and one OK button.
// It runs in its constructor: create it as a local object, it has been answered when
// the constructor returns.
class MessageDialog : public QDialog
{
    Q_OBJECT

public:
    // title is translated in the context "MessageDialog".
    MessageDialog(const char *title, const QString &text, QWidget *parent);
    // The dialog's own open() stays reachable beside the link slot below.
    using QDialog::open;

protected Q_SLOTS:
    // Opens web links of the message in the desktop's browser; any other link does nothing.
    void open(const QString &link);

private:
    Slabel *label;
};
