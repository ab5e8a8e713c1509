#include "slinklabel.h"

#include "linklabel.h"

#include <QFocusEvent>
#include <QScrollArea>

SLinkLabel::SLinkLabel()
{
    setTextInteractionFlags(LinkLabel::Interaction);
    // The label takes the focus, not the scroll area around it.
    getScrollArea()->setFocusPolicy(Qt::NoFocus);
}

void SLinkLabel::focusInEvent(QFocusEvent *event)
{
    Slabel::focusInEvent(event);
    // As in LinkLabel: the link takes the focus with the label, Tab goes on from there.
    if (text().startsWith(QLatin1String("<a "))) {
        setSelection(0, 0);
        Slabel::focusNextPrevChild(true);
    }
}

bool SLinkLabel::focusNextPrevChild(bool next)
{
    return QWidget::focusNextPrevChild(next);
}

void SLinkLabel::setLinkText(const QString &text, const QString &target)
{
    setText(LinkLabel::anchor(text, target));
}

void SLinkLabel::setLinkText(const QString &text)
{
    setLinkText(text, text);
}
