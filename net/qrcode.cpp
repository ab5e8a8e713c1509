#include "qrcode.h"

#include <qrencode.h>

#include <algorithm>

namespace {

// The light border a reader needs around the code, in modules.
constexpr int QuietZone = 4;

} // namespace

QrCode::QrCode(const QString &text)
{
    QRcode *code = QRcode_encodeString(text.toUtf8().constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code)
        return;
    m_size = code->width;
    m_modules.reserve(m_size * m_size);
    // Each byte is one module; its lowest bit says dark.
    for (int i = 0; i < m_size * m_size; ++i)
        m_modules.append(code->data[i] & 1);
    QRcode_free(code);
}

QImage QrCode::image(int scale) const
{
    const int side = (m_size + 2 * QuietZone) * scale;
    QImage picture(side, side, QImage::Format_Grayscale8);
    picture.fill(Qt::white);
    for (int y = 0; y < m_size; ++y) {
        for (int x = 0; x < m_size; ++x) {
            if (!dark(x, y))
                continue;
            for (int row = 0; row < scale; ++row) {
                uchar *line = picture.scanLine((y + QuietZone) * scale + row);
                std::fill_n(line + (x + QuietZone) * scale, scale, uchar(0));
            }
        }
    }
    return picture;
}

QString QrCode::text() const
{
    const auto at
        = [this](int x, int y) { return x >= 0 && y >= 0 && x < m_size && y < m_size && dark(x, y); };
    QString out;
    for (int y = -QuietZone; y < m_size + QuietZone; y += 2) {
        out += QLatin1String("\x1b[30;107m");
        for (int x = -QuietZone; x < m_size + QuietZone; ++x) {
            const bool top = at(x, y);
            const bool bottom = at(x, y + 1);
            out += top && bottom ? QChar(0x2588) : top ? QChar(0x2580) : bottom ? QChar(0x2584) : QChar(' ');
        }
        out += QLatin1String("\x1b[0m\n");
    }
    return out;
}
