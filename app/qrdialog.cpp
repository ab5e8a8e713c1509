#include "qrdialog.h"

#include "net/qrcode.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

namespace {
// About 6 cm for an address on a screen of common density: a phone reads it from a
// metre or so.
constexpr int ModulePixels = 8;
} // namespace

QrDialog::QrDialog(const QString &address, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("QR code of the address"));
    auto *code = new QLabel;
    code->setObjectName(QStringLiteral("qrCode"));
    code->setPixmap(QPixmap::fromImage(QrCode(address).image(ModulePixels)));
    code->setAlignment(Qt::AlignCenter);
    auto *text = new QLabel(address);
    text->setAlignment(Qt::AlignCenter);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(code);
    layout->addWidget(text);
    layout->addWidget(buttons);
    exec();
}
