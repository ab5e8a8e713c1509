#pragma once

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryFile>

// What a phone's reader makes of a QR code in a picture: zbarimg's reading, or nothing.
inline QString readQrCode(const QImage &image)
{
    QTemporaryFile png(QDir::tempPath() + QLatin1String("/qr-XXXXXX.png"));
    if (!png.open() || !image.save(&png, "PNG"))
        return QString();
    png.close();
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), png.fileName()});
    zbar.waitForFinished(20000);
    return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
}
