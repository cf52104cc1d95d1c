#include "icon_art.hpp"

#include <QBuffer>
#include <QColor>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdint>

namespace vyr::icon_art {
namespace {

void put16(QByteArray& out, std::uint16_t v) {
    out.append(static_cast<char>(v & 0xFF));
    out.append(static_cast<char>(v >> 8));
}

void put32(QByteArray& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.append(static_cast<char>((v >> shift) & 0xFF));
}

QByteArray png_bytes(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// BITMAPINFOHEADER, bottom-up BGRA rows, then the 1-bit mask (set where fully transparent).
QByteArray dib_bytes(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();
    const int mask_stride = ((w + 31) / 32) * 4;
    QByteArray out;
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(w));
    put32(out, static_cast<std::uint32_t>(h * 2));  // colour rows and mask rows
    put16(out, 1);
    put16(out, 32);
    put32(out, 0);  // no compression
    put32(out, static_cast<std::uint32_t>(w * h * 4 + mask_stride * h));
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (int y = h - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(static_cast<char>(qBlue(row[x])));
            out.append(static_cast<char>(qGreen(row[x])));
            out.append(static_cast<char>(qRed(row[x])));
            out.append(static_cast<char>(qAlpha(row[x])));
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        QByteArray mask(mask_stride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(row[x]) == 0) mask[x / 8] = static_cast<char>(mask[x / 8] | (0x80 >> (x % 8)));
        }
        out.append(mask);
    }
    return out;
}

}  // namespace

QImage paint_icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);

    const qreal s = size;
    // The capsule: a pill lying across the square, dark body with a light rim.
    const QRectF body(s * 0.04, s * 0.22, s * 0.92, s * 0.56);
    const qreal radius = body.height() / 2;
    QLinearGradient shade(body.topLeft(), body.bottomLeft());
    shade.setColorAt(0.0, QColor(0x33, 0x41, 0x55));
    shade.setColorAt(1.0, QColor(0x0F, 0x17, 0x2A));
    p.setPen(QPen(QColor(0xCB, 0xD5, 0xE1), qMax<qreal>(1.0, s / 32)));
    p.setBrush(shade);
    p.drawRoundedRect(body, radius, radius);

    // A workload meter inside: four bars rising left to right, three of them lit from green
    // to amber, the last one dim.
    const QRectF inner = body.adjusted(radius * 0.62, body.height() * 0.2, -radius * 0.62,
                                       -body.height() * 0.2);
    const int bars = 4;
    const qreal gap = inner.width() * 0.08;
    const qreal bar_width = (inner.width() - gap * (bars - 1)) / bars;
    const QColor lit[] = {QColor(0x16, 0xA3, 0x4A), QColor(0x65, 0xC2, 0x1B),
                          QColor(0xF5, 0x9E, 0x0B)};
    p.setPen(Qt::NoPen);
    for (int i = 0; i < bars; ++i) {
        const qreal height = inner.height() * (0.55 + 0.15 * i);
        const QRectF bar(inner.left() + i * (bar_width + gap), inner.bottom() - height, bar_width,
                         height);
        const qreal corner = qMin(bar_width, height) * 0.3;
        p.setBrush(i < 3 ? lit[i] : QColor(0x47, 0x55, 0x69));
        p.drawRoundedRect(bar, corner, corner);
    }
    p.end();
    return image;
}

QByteArray make_ico(const std::vector<QImage>& images) {
    std::vector<QByteArray> blobs;
    for (const QImage& image : images) {
        blobs.push_back(image.width() >= 256 ? png_bytes(image) : dib_bytes(image));
    }
    QByteArray out;
    put16(out, 0);  // reserved
    put16(out, 1);  // icon
    put16(out, static_cast<std::uint16_t>(images.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int w = images[i].width();
        const int h = images[i].height();
        out.append(static_cast<char>(w >= 256 ? 0 : w));
        out.append(static_cast<char>(h >= 256 ? 0 : h));
        out.append('\0');  // no palette
        out.append('\0');
        put16(out, 1);   // planes
        put16(out, 32);  // bits per pixel
        put32(out, static_cast<std::uint32_t>(blobs[i].size()));
        put32(out, offset);
        offset += static_cast<std::uint32_t>(blobs[i].size());
    }
    for (const QByteArray& blob : blobs) out.append(blob);
    return out;
}

}  // namespace vyr::icon_art
