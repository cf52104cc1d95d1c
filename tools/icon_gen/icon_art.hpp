// The program's icon artwork and the Windows icon file made from it.
#pragma once

#include <QByteArray>
#include <QImage>

#include <vector>

namespace vyr::icon_art {

// The sizes of the program icon, the small ones first.
inline constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};
inline constexpr int kLargeIconSize = 512;

// The icon painted at `size` x `size` pixels: a rounded workload capsule holding a meter of
// rising bars,
// on a transparent background (ARGB32, not premultiplied).
QImage paint_icon(int size);

// A multi-size .ico: images of 256 pixels and more are stored as PNG, smaller ones as
// uncompressed 32-bit bitmaps with their transparency mask.
QByteArray make_ico(const std::vector<QImage>& images);

}  // namespace vyr::icon_art
