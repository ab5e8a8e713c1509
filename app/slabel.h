#pragma once

#include <QLabel>

class QScrollArea;

// A label inside a scroll area of its own, so that a long text scrolls instead of
// stretching the window. The scroll area owns the label: place getScrollArea(), never
// the label itself.
class Slabel : public QLabel
{
public:
    Slabel();
    explicit Slabel(const QString &text);

    QScrollArea *getScrollArea() const { return scrollArea; }

private:
    void createScrollArea();

    QScrollArea *scrollArea;
};
