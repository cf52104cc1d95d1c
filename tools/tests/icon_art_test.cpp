#include "icon_art.hpp"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <vector>

namespace {

std::uint32_t u16(const QByteArray& b, int at) {
    return static_cast<std::uint8_t>(b[at]) | (static_cast<std::uint8_t>(b[at + 1]) << 8);
}
std::uint32_t u32(const QByteArray& b, int at) { return u16(b, at) | (u16(b, at + 2) << 16); }

TEST(IconArt, EverySizeIsACapsuleOnATransparentSquare) {
    for (const int size : {16, 24, 32, 48, 64, 128, 256, 512}) {
        SCOPED_TRACE(size);
        const QImage image = vyr::icon_art::paint_icon(size);
        ASSERT_EQ(image.size(), QSize(size, size));
        ASSERT_TRUE(image.hasAlphaChannel());
        // Corners and the band above the capsule are empty, the middle is solid paint.
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(image.pixel(size - 1, size - 1)), 0);
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 10)), 0);
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255);
        // The first meter bar is lit green; the body at the right end is dark.
        const QRgb bar = image.pixel(size * 27 / 100, size * 6 / 10);
        EXPECT_GT(qGreen(bar), 0x80);
        EXPECT_GT(qGreen(bar), qRed(bar) + 0x40);
        const QRgb body = image.pixel(size * 9 / 10, size / 2);
        EXPECT_LT(qGreen(body), 0x60);
    }
}

TEST(IconArt, IcoHoldsBitmapsUpTo128AndPngAt256) {
    std::vector<QImage> images;
    for (const int size : vyr::icon_art::kIconSizes) images.push_back(vyr::icon_art::paint_icon(size));
    const QByteArray ico = vyr::icon_art::make_ico(images);

    ASSERT_GE(ico.size(), 6);
    EXPECT_EQ(u16(ico, 0), 0u);
    EXPECT_EQ(u16(ico, 2), 1u);
    ASSERT_EQ(u16(ico, 4), images.size());
    std::uint32_t expected_offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const QImage& image = images[i];
        const int size = image.width();
        SCOPED_TRACE(size);
        const int entry = 6 + 16 * static_cast<int>(i);
        EXPECT_EQ(static_cast<std::uint8_t>(ico[entry]), size == 256 ? 0 : size);
        EXPECT_EQ(static_cast<std::uint8_t>(ico[entry + 1]), size == 256 ? 0 : size);
        EXPECT_EQ(u16(ico, entry + 4), 1u);
        EXPECT_EQ(u16(ico, entry + 6), 32u);
        const std::uint32_t bytes = u32(ico, entry + 8);
        const std::uint32_t offset = u32(ico, entry + 12);
        EXPECT_EQ(offset, expected_offset);
        expected_offset += bytes;
        ASSERT_LE(offset + bytes, static_cast<std::uint32_t>(ico.size()));
        const QByteArray blob = ico.mid(static_cast<int>(offset), static_cast<int>(bytes));

        if (size == 256) {
            ASSERT_TRUE(blob.startsWith("\x89PNG\r\n\x1a\n"));
            const QImage decoded = QImage::fromData(blob, "PNG");
            EXPECT_EQ(decoded.convertToFormat(QImage::Format_ARGB32), image);
            continue;
        }
        const int mask_stride = ((size + 31) / 32) * 4;
        ASSERT_EQ(blob.size(), 40 + size * size * 4 + mask_stride * size);
        EXPECT_EQ(u32(blob, 0), 40u);
        EXPECT_EQ(u32(blob, 4), static_cast<std::uint32_t>(size));
        EXPECT_EQ(u32(blob, 8), static_cast<std::uint32_t>(2 * size));
        EXPECT_EQ(u16(blob, 12), 1u);
        EXPECT_EQ(u16(blob, 14), 32u);
        EXPECT_EQ(u32(blob, 16), 0u);
        // Rows are stored bottom-up as BGRA; check every pixel and its mask bit.
        const int mask_start = 40 + size * size * 4;
        for (int y = 0; y < size; ++y) {
            const int stored_row = size - 1 - y;
            for (int x = 0; x < size; ++x) {
                const QRgb px = image.pixel(x, y);
                const int at = 40 + (stored_row * size + x) * 4;
                ASSERT_EQ(static_cast<std::uint8_t>(blob[at]), qBlue(px));
                ASSERT_EQ(static_cast<std::uint8_t>(blob[at + 1]), qGreen(px));
                ASSERT_EQ(static_cast<std::uint8_t>(blob[at + 2]), qRed(px));
                ASSERT_EQ(static_cast<std::uint8_t>(blob[at + 3]), qAlpha(px));
                const auto mask_byte = static_cast<std::uint8_t>(blob[mask_start + stored_row * mask_stride + x / 8]);
                ASSERT_EQ((mask_byte >> (7 - x % 8)) & 1, qAlpha(px) == 0 ? 1 : 0) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(expected_offset, static_cast<std::uint32_t>(ico.size()));
}

}  // namespace
