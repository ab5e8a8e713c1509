#include "slabel.h"

#include <QScrollArea>

namespace {
// Room above the label's own height before the scroll area stops growing.
constexpr int ExtraHeight = 30;
} // namespace

Slabel::Slabel()
{
    createScrollArea();
}

Slabel::Slabel(const QString &text)
    : QLabel(text)
{
    createScrollArea();
}

void Slabel::createScrollArea()
{
    scrollArea = new QScrollArea;
    scrollArea->setWidget(this);
    scrollArea->setWidgetResizable(true);
    // Fixed now, from the text given at construction; later texts scroll.
    const int height = sizeHint().height();
    scrollArea->setMinimumHeight(height);
    scrollArea->setMaximumHeight(height + ExtraHeight);
}
