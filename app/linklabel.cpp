#include "linklabel.h"

#include <QFocusEvent>

LinkLabel::LinkLabel()
{
    setTextInteractionFlags(Interaction);
}

LinkLabel::LinkLabel(const QString &text, const QString &target)
    : LinkLabel()
{
    setLinkText(text, target);
}

void LinkLabel::focusInEvent(QFocusEvent *event)
{
    QLabel::focusInEvent(event);
    // The one link takes the focus with the label, so that Enter opens it.
    if (text().startsWith(QLatin1String("<a "))) {
        setSelection(0, 0);
        QLabel::focusNextPrevChild(true);
    }
}

bool LinkLabel::focusNextPrevChild(bool next)
{
    // Tab and Shift+Tab go on to the next control; the label's own walk from link to link
    // would hold Shift+Tab at a link that starts the text.
    return QWidget::focusNextPrevChild(next);
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
