#pragma once

#include <QDialog>

// An address as a QR code, large enough for a phone's camera at arm's length, with the
// address written under it. Modal: it runs in its constructor, like the other dialogs.
class QrDialog : public QDialog
{
    Q_OBJECT

public:
    QrDialog(const QString &address, QWidget *parent);
};
