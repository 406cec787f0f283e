#include "imaging/ZDImageOps.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QPainter>

namespace {

// Decoders allocate what a header claims; a hostile file may claim a lot.
constexpr int kAllocationLimitMiB = 64;

QByteArray pngData(const QImage &image)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

QByteArray scaledPng(const QByteArray &data, int width, int height)
{
    if (width < 1 || height < 1)
        return {};
    QBuffer in;
    in.setData(data);
    QImageReader reader(&in);
    reader.setAllocationLimit(kAllocationLimitMiB);
    const QImage image = reader.read();
    if (image.isNull())
        return {};
    return pngData(image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

QByteArray iconFilePng(const QString &path, int side, int maxSide)
{
    QImageReader reader(path);
    reader.setAllocationLimit(kAllocationLimitMiB);
    const QSize size = reader.size();
    if (side < 1 || !size.isValid() || size.width() > maxSide || size.height() > maxSide)
        return {};
    const QImage image = reader.read();
    if (image.isNull())
        return {};
    return pngData(image.scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

QByteArray genericIconPng(int side)
{
    if (side < 1)
        return {};
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(side / 48.0, side / 48.0);
    painter.setPen(QPen(QColor(40, 70, 120), 2));
    painter.setBrush(QColor(90, 140, 210));
    painter.drawRoundedRect(QRectF(3, 3, 42, 42), 9, 9);
    painter.setBrush(QColor(240, 245, 255));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QRectF(16, 16, 16, 16));
    painter.end();
    return pngData(image);
}

} // namespace

const ZDImageBackend &ZDImageOps::backend()
{
    static const ZDImageBackend table{&scaledPng, &iconFilePng, &genericIconPng};
    return table;
}
