#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

// A QR code of a short text, such as an address a phone should open, made by libqrencode.
class QrCode
{
public:
    explicit QrCode(const QString &text);

    // Modules per side; 0 when the text could not be encoded.
    int size() const { return m_size; }
    bool dark(int x, int y) const { return m_modules.at(y * m_size + x); }

    // Black on white with the quiet zone of four modules around it, \a scale pixels a module.
    QImage image(int scale) const;
    // The same for a terminal: two rows of modules a line in Unicode half blocks, coloured
    // black on white so that it reads in a dark terminal as in a light one.
    QString text() const;

private:
    int m_size = 0;
    QList<bool> m_modules;
};
