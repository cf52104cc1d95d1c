import unittest

import vyr_native_core as nc


def frame_with_length(total, version=1):
    """A valid frame whose length field says `total` bytes (any size up to 1023)."""
    word = total | (version << 10)
    head = bytes([0x55, word & 0xFF, word >> 8])
    head += bytes([nc.duml_crc8(head)])
    body = head + bytes([2, 6, 1, 0, 64, 0, 1]) + bytes(range(256)) * 4
    body = body[: total - 2]
    crc = nc.duml_crc16(body)
    return body + bytes([crc & 0xFF, crc >> 8])


class Checksums(unittest.TestCase):
    def test_known_values(self):
        self.assertEqual(nc.duml_crc8(b""), 0x77)
        self.assertEqual(nc.duml_crc16(b""), 0x3692)
        self.assertEqual(nc.duml_crc8(b"abc"), 0xD7)
        self.assertEqual(nc.duml_crc16(b"abc"), 0x865A)

    def test_arguments_are_bytes_only(self):
        for fn in (nc.duml_crc8, nc.duml_crc16, nc.duml_parse_frame):
            with self.assertRaises(TypeError):
                fn("abc")
            with self.assertRaises(TypeError):
                fn(b"a", b"b")
            with self.assertRaises(TypeError):
                fn(data=b"abc")


class Build(unittest.TestCase):
    ARGS = (2, 0, 6, 0, 1, 64, 0, 1)

    def test_examples(self):
        self.assertEqual(nc.duml_build_frame(*self.ARGS, b"abc"),
                         bytes.fromhex("55 10 04 56 02 06 01 00 40 00 01 61 62 63 54 6A"))
        self.assertEqual(nc.duml_build_frame(*self.ARGS, b""),
                         bytes.fromhex("55 0D 04 33 02 06 01 00 40 00 01 18 F7"))

    def test_payload_limit(self):
        frame = nc.duml_build_frame(*self.ARGS, b"x" * 1000)
        self.assertEqual(len(frame), 1013)
        self.assertEqual(frame[1:3], b"\xF5\x07")
        with self.assertRaises(ValueError):
            nc.duml_build_frame(*self.ARGS, b"x" * 1001)

    def test_text_payload_counts_utf8_bytes(self):
        self.assertEqual(nc.duml_build_frame(*self.ARGS, "ö"),
                         nc.duml_build_frame(*self.ARGS, "ö".encode()))
        self.assertEqual(len(nc.duml_build_frame(*self.ARGS, "ö" * 500)), 1013)
        with self.assertRaises(ValueError):
            nc.duml_build_frame(*self.ARGS, "a" + "ö" * 500)

    def test_fields_are_cut(self):
        cases = [  # (argument index, value, byte index, stored)
            (0, 33, 4, 1),
            (1, 9, 4, 1 << 5),
            (4, 70000, 6, 4464 & 0xFF),
            (7, 300, 10, 44),
        ]
        for index, value, byte, stored in cases:
            with self.subTest(index=index, value=value):
                args = [0] * 8
                args[index] = value
                frame = nc.duml_build_frame(*args, b"")
                self.assertEqual(frame[byte], stored)
                self.assertIsNotNone(nc.duml_parse_frame(frame))
        parsed = nc.duml_parse_frame(nc.duml_build_frame(0, 0, 0, 0, 70000, 0, 0, 0, b""))
        self.assertEqual(parsed[4], 4464)
        parsed = nc.duml_parse_frame(nc.duml_build_frame(0, 0, 0, 0, -1, 0, 0, 0, b""))
        self.assertEqual(parsed[4], 65535)

    def test_argument_errors(self):
        with self.assertRaises(TypeError):
            nc.duml_build_frame(*self.ARGS)
        with self.assertRaises(TypeError):
            nc.duml_build_frame(*self.ARGS, 5)
        with self.assertRaises(OverflowError):
            nc.duml_build_frame(2**31, 0, 6, 0, 1, 64, 0, 1, b"")


class Parse(unittest.TestCase):
    GOOD = bytes.fromhex("55 10 04 56 02 06 01 00 40 00 01 61 62 63 54 6A")

    def test_round_trip(self):
        self.assertEqual(nc.duml_parse_frame(self.GOOD), (2, 0, 6, 0, 1, 64, 0, 1, b"abc"))
        empty = nc.duml_parse_frame(bytes.fromhex("55 0D 04 33 02 06 01 00 40 00 01 18 F7"))
        self.assertEqual(empty, (2, 0, 6, 0, 1, 64, 0, 1, b""))

    def test_trailing_bytes_are_ignored(self):
        self.assertEqual(nc.duml_parse_frame(self.GOOD + b"\x00\xff"),
                         nc.duml_parse_frame(self.GOOD))

    def test_any_version_bits(self):
        for version in (0, 5, 63):
            with self.subTest(version=version):
                self.assertIsNotNone(nc.duml_parse_frame(frame_with_length(20, version)))

    def test_longest_declared_length(self):
        parsed = nc.duml_parse_frame(frame_with_length(1023))
        self.assertEqual(len(parsed[8]), 1010)

    def test_invalid_frames_give_none(self):
        bad_magic = b"\x54" + self.GOOD[1:]
        short_length = frame_with_length(12) + b"\x00" * 8
        too_long = frame_with_length(40)[:39]
        bad_header = self.GOOD[:3] + bytes([self.GOOD[3] ^ 1]) + self.GOOD[4:]
        bad_frame = self.GOOD[:-1] + bytes([self.GOOD[-1] ^ 1])
        cases = {
            "empty": b"",
            "twelve bytes": self.GOOD[:12],
            "bad magic": bad_magic,
            "declared length 12": short_length,
            "declared length beyond data": too_long,
            "bad header crc": bad_header,
            "bad frame crc": bad_frame,
        }
        for name, data in cases.items():
            with self.subTest(name):
                self.assertIsNone(nc.duml_parse_frame(data))


class ModuleShape(unittest.TestCase):
    def test_names(self):
        own = sorted(n for n in dir(nc) if not n.startswith("__"))
        self.assertEqual(own, ["duml_build_frame", "duml_crc16", "duml_crc8", "duml_parse_frame"])
        self.assertIsNone(nc.__doc__)
        self.assertIsNone(nc.duml_crc8.__doc__)


if __name__ == "__main__":
    unittest.main()
