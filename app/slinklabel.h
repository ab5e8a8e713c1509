#pragma once

#include "slabel.h"

// A scrollable label showing its text as one hyperlink. It does not open the link
// itself: a click, or Enter once Tab has reached it, emits linkActivated() with the target.
class SLinkLabel : public Slabel
{
public:
    SLinkLabel();

    void setLinkText(const QString &text, const QString &target);
    // The text is its own target.
    void setLinkText(const QString &text);

protected:
    void focusInEvent(QFocusEvent *event) override;
    bool focusNextPrevChild(bool next) override;
};
