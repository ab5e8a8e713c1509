#pragma once

#include <QLabel>

// A label showing its text as one hyperlink, without a scroll area. It does not open
// the link itself: a click, or Enter once Tab has reached it, emits linkActivated() with
// the target.
class LinkLabel : public QLabel
{
public:
    LinkLabel();
    LinkLabel(const QString &text, const QString &target);

    void setLinkText(const QString &text, const QString &target);
    // The text is its own target.
    void setLinkText(const QString &text);

    // The rich text of a link: <a href="target">text</a>. Both are escaped, so a path
    // with '&', '<' or '"' in it shows and arrives as it is.
    static QString anchor(const QString &text, const QString &target);

    // What a link label takes from the mouse and the keyboard.
    static constexpr Qt::TextInteractionFlags Interaction
        = Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard;

protected:
    void focusInEvent(QFocusEvent *event) override;
    bool focusNextPrevChild(bool next) override;
};
