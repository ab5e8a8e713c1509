#include "messagedialog.h"

#include "slabel.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

namespace {
// Wide enough for a help page to read as paragraphs, narrow enough for a small screen.
constexpr int MinimumTextWidth = 440;
} // namespace

MessageDialog::MessageDialog(const char *title, const QString &text, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr(title));

    label = new Slabel(text);
    // After the label's heights were taken, so they follow the unwrapped text.
    label->setWordWrap(true);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, Qt::Horizontal);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(label, &QLabel::linkActivated, this, qOverload<const QString &>(&MessageDialog::open));

    auto *layout = new QVBoxLayout(this);
    label->getScrollArea()->setMinimumWidth(MinimumTextWidth);
    layout->addWidget(label->getScrollArea());
    layout->addWidget(buttons);

    exec();
}

void MessageDialog::open(const QString &link)
{
    if (link.startsWith(QLatin1String("http://")))
        QDesktopServices::openUrl(QUrl(link));
}
