#pragma once

#include <QLabel>

// A label showing its text as one hyperlink, without a scroll area. It does not open
// the link itself: a click emits linkActivated() with the target.
class LinkLabel : public QLabel
{
public:
    LinkLabel() = default;
    LinkLabel(const QString &text, const QString &target);

    void setLinkText(const QString &text, const QString &target);
    // The text is its own target.
    void setLinkText(const QString &text);

    // The rich text of a link: <a href="target">text</a>. Both are escaped, so a path
    // with '&', '<' or '"' in it shows and arrives as it is.
    static QString anchor(const QString &text, const QString &target);
};
