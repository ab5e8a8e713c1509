#pragma once

#include "slabel.h"

// A scrollable label showing its text as one hyperlink. It does not open the link
// itself: a click emits linkActivated() with the target.
class SLinkLabel : public Slabel
{
public:
    SLinkLabel() = default;

    void setLinkText(const QString &text, const QString &target);
    // The text is its own target.
    void setLinkText(const QString &text);
};
