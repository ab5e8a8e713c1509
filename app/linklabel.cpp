#include "linklabel.h"

LinkLabel::LinkLabel(const QString &text, const QString &target)
{
    setLinkText(text, target);
}

void LinkLabel::setLinkText(const QString &text, const QString &target)
{
    setText(anchor(text, target));
}

void LinkLabel::setLinkText(const QString &text)
{
    setLinkText(text, text);
}

QString LinkLabel::anchor(const QString &text, const QString &target)
{
    return QLatin1String("<a href=\"") + target.toHtmlEscaped() + QLatin1String("\">") + text.toHtmlEscaped()
        + QLatin1String("</a>");
}
