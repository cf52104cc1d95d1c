"""The icons, fonts and Qt translation that the build puts into the program folder."""
import filecmp
import os
import struct
import unittest

DIST = os.environ["VYR_DIST_DIR"]
ICONS = os.environ["VYR_ICON_DIR"]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_header(path):
    """(width, height, bit depth, colour type) of a PNG file."""
    with open(path, "rb") as f:
        data = f.read(33)
    if data[:8] != PNG_SIGNATURE or data[12:16] != b"IHDR":
        raise AssertionError(f"{path} is not a PNG file")
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    return width, height, depth, colour


class ProgramFolderAssets(unittest.TestCase):
    def test_png_icons_have_their_sizes_and_alpha(self):
        cases = [(os.path.join(DIST, "assets", "icon_512.png"), 512),
                 (os.path.join(DIST, "vyr-linux-monitor_icon.png"), 256)]
        cases += [(os.path.join(ICONS, f"icon_{n}.png"), n) for n in (16, 24, 32, 48, 64, 128, 256)]
        for path, size in cases:
            with self.subTest(path=path):
                # 8 bits per channel, colour type 6: RGB with alpha.
                self.assertEqual(png_header(path), (size, size, 8, 6))

    def test_ico_beside_assets_lists_every_size(self):
        with open(os.path.join(DIST, "vyr-linux-monitor_icon.ico"), "rb") as f:
            ico = f.read()
        reserved, kind, count = struct.unpack_from("<HHH", ico)
        self.assertEqual((reserved, kind, count), (0, 1, 7))
        sizes = []
        for i in range(count):
            w, h, colours, _, planes, bpp, size, offset = struct.unpack_from("<BBBBHHII", ico, 6 + 16 * i)
            blob = ico[offset:offset + size]
            self.assertEqual(len(blob), size)
            self.assertEqual((colours, planes, bpp), (0, 1, 32))
            pixels = w or 256
            sizes.append(pixels)
            if pixels == 256:
                self.assertTrue(blob.startswith(PNG_SIGNATURE))
            else:
                header, width, height, _, depth, compression = struct.unpack_from("<IiiHHI", blob)
                self.assertEqual((header, width, height, depth, compression), (40, pixels, 2 * pixels, 32, 0))
        self.assertEqual(sizes, [16, 24, 32, 48, 64, 128, 256])

    def test_fonts_and_qt_texts_are_debians(self):
        for copied, source in ((os.path.join("assets", "Roboto-Bold.ttf"), "VYR_ROBOTO_BOLD"),
                               (os.path.join("assets", "Inter-Bold.otf"), "VYR_INTER_BOLD"),
                               (os.path.join("translations", "qtbase_tr.qm"), "VYR_QTBASE_TR")):
            with self.subTest(copied=copied):
                self.assertTrue(filecmp.cmp(os.path.join(DIST, copied), os.environ[source], shallow=False))


if __name__ == "__main__":
    unittest.main()
