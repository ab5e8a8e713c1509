#include "slinklabel.h"

#include "linklabel.h"

void SLinkLabel::setLinkText(const QString &text, const QString &target)
{
    setText(LinkLabel::anchor(text, target));
}

void SLinkLabel::setLinkText(const QString &text)
{
    setLinkText(text, text);
}
