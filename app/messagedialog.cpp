#include "messagedialog.h"

#include "slabel.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QScreen>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

namespace {
// Wide enough for a help page to read as paragraphs, narrow enough for a small screen.
constexpr int MinimumTextWidth = 440;
constexpr int TextWidth = 560;
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
    QScrollArea *area = label->getScrollArea();
    area->setMinimumWidth(MinimumTextWidth);
    layout->addWidget(area);
    layout->addWidget(buttons);

    // The label's heights follow its unwrapped text; the dialog opens as tall as the
    // wrapped text needs, as far as the screen allows, and scrolls only beyond that.
    area->setMaximumHeight(QWIDGETSIZE_MAX);
    const QSize screen = this->screen()->availableGeometry().size();
    const QMargins margins = layout->contentsMargins();
    const int frame = 2 * area->frameWidth();
    const int sides = margins.left() + margins.right() + frame;
    const int textWidth = qMin(TextWidth, screen.width() - sides);
    const int rest
        = margins.top() + margins.bottom() + layout->spacing() + buttons->sizeHint().height() + frame;
    resize(textWidth + sides, qMin(label->heightForWidth(textWidth) + rest, screen.height()));

    exec();
}

void MessageDialog::open(const QString &link)
{
    if (link.startsWith(QLatin1String("http://")))
        QDesktopServices::openUrl(QUrl(link));
}
