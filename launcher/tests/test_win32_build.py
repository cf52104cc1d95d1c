"""The Windows launcher is real code: it compiles and links with the mingw-w64 cross tools,
and its resource script makes the icon groups and the version block it should."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

SOURCE = os.environ["VYR_LAUNCHER_SOURCE"]
GXX = os.environ.get("VYR_MINGW_GXX", "")
WINDRES = os.environ.get("VYR_MINGW_WINDRES", "")
OBJDUMP = os.environ.get("VYR_MINGW_OBJDUMP", "")
ICON_DIR = os.environ["VYR_PROGRAM_ICON_DIR"]
BOOTSTRAP_CPP = os.environ["VYR_BOOTSTRAP_CPP"]

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]


def run(cmd):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    if proc.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)} failed:\n{proc.stdout}{proc.stderr}")
    return proc.stdout


def read_res(data):
    """[(type, name, language, body)] of a .res file; names and types are ints or texts."""
    def name_or_id(p):
        if data[p:p + 2] == b"\xff\xff":
            return struct.unpack_from("<H", data, p + 2)[0], p + 4
        end = p
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[p:end].decode("utf-16-le"), end + 2

    entries, pos = [], 0
    while pos + 8 <= len(data):
        size, header = struct.unpack_from("<II", data, pos)
        kind, p = name_or_id(pos + 8)
        name, p = name_or_id(p)
        p = (p + 3) & ~3
        _, _, language = struct.unpack_from("<IHH", data, p)
        if size:
            entries.append((kind, name, language, data[pos + header:pos + header + size]))
        pos = (pos + header + size + 3) & ~3
    return entries


def read_version_block(data, pos=0):
    """(key, value, children) of one block of a version resource."""
    length, value_length, kind = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    p = pos + 6
    key_end = p
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[p:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    if kind == 1:  # text, counted in characters
        value = data[p:p + 2 * value_length].decode("utf-16-le").rstrip("\0")
        p += 2 * value_length
    else:
        value = data[p:p + value_length]
        p += value_length
    children = []
    p = (p + 3) & ~3
    while p < end:
        child = read_version_block(data, p)
        children.append(child[:3])
        p = (p + child[3] + 3) & ~3
    return key, value, children, length


class Win32Build(unittest.TestCase):
    def setUp(self):
        for tool in (GXX, WINDRES, OBJDUMP):
            if not tool or not shutil.which(tool):
                self.fail("the mingw-w64 cross tools are missing: "
                          "install g++-mingw-w64-x86-64-posix and binutils-mingw-w64-x86-64")
        self.out = tempfile.mkdtemp(prefix="vyr-win32-")
        self.addCleanup(shutil.rmtree, self.out, True)

    def windres(self, kind, name):
        target = os.path.join(self.out, name)
        run([WINDRES, "-c", "65001", "-I", ICON_DIR, "-O", kind,
             os.path.join(SOURCE, "src", "win32", "launcher.rc"), target])
        return target

    def test_launcher_compiles_and_links_for_windows(self):
        sources = [os.path.join(SOURCE, "src", rel) for rel in
                   ("launcher.cpp", "run.cpp", "win32/platform_win32.cpp", "win32/main_win32.cpp")]
        sources += [BOOTSTRAP_CPP, os.path.join(SOURCE, "tests", "win32_link_stub.cpp")]
        objects = []
        for i, source in enumerate(sources):
            obj = os.path.join(self.out, f"{i}.o")
            run([GXX, "-std=c++17", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-O2",
                 "-I", os.path.join(SOURCE, "include"), "-I", os.path.join(SOURCE, "src", "win32"),
                 "-c", source, "-o", obj])
            objects.append(obj)
        objects.append(self.windres("coff", "resources.o"))
        exe = os.path.join(self.out, "Vyr_Sistem_Zuvedadu.exe")
        run([GXX, "-mwindows", "-static", "-o", exe, *objects, "-lshell32"])

        headers = run([OBJDUMP, "-p", exe])
        self.assertIn("file format pei-x86-64", headers)
        self.assertRegex(headers, r"Subsystem\s+00000002\s+\(Windows GUI\)")
        for dll in ("KERNEL32.dll", "USER32.dll", "SHELL32.dll"):
            self.assertIn(f"DLL Name: {dll}", headers)
        for function in ("CreateMutexW", "EnumWindows", "GetWindowTextW", "IsIconic",
                         "SetForegroundWindow", "BringWindowToTop", "MessageBoxW",
                         "CommandLineToArgvW", "GetModuleFileNameW", "SetDllDirectoryW",
                         "_wputenv_s"):
            self.assertRegex(headers, rf"\b{function}\b")
        # Icons, icon groups and the version block only: no manifest was added on the way.
        self.assertRegex(headers, r"Type Table: .*Num Names: 0, IDs: 3\n")

    def test_resources_hold_two_icon_groups_and_the_version_block(self):
        with open(self.windres("res", "launcher.res"), "rb") as f:
            entries = read_res(f.read())
        self.assertEqual({kind for kind, *_ in entries}, {RT_ICON, RT_GROUP_ICON, RT_VERSION})

        icons = {name: body for kind, name, _, body in entries if kind == RT_ICON}
        groups = [(name, body) for kind, name, _, body in entries if kind == RT_GROUP_ICON]
        self.assertEqual([name for name, _ in groups], ["IDI_ICON1", 1])
        for name, body in groups:
            with self.subTest(group=name):
                reserved, kind, count = struct.unpack_from("<HHH", body)
                self.assertEqual((reserved, kind, count), (0, 1, len(ICON_SIZES)))
                sizes = []
                for i in range(count):
                    w, h, _, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", body, 6 + 14 * i)
                    image = icons[icon_id]
                    self.assertEqual((planes, bits, size), (1, 32, len(image)))
                    pixels = w or 256
                    sizes.append(pixels)
                    if pixels == 256:
                        self.assertTrue(image.startswith(PNG_SIGNATURE))
                    else:
                        header, width, height, _, depth, compression = struct.unpack_from("<IiiHHI", image)
                        self.assertEqual((header, width, height, depth, compression),
                                         (40, pixels, 2 * pixels, 32, 0))
                self.assertEqual(sizes, ICON_SIZES)

        versions = [(name, language, body) for kind, name, language, body in entries if kind == RT_VERSION]
        self.assertEqual(len(versions), 1)
        key, fixed, children, _ = read_version_block(versions[0][2])
        self.assertEqual(key, "VS_VERSION_INFO")
        (signature, _, file_ms, file_ls, product_ms, product_ls, _, flags, os_value,
         file_type, _, _, _) = struct.unpack("<13I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms, file_ls, product_ms, product_ls), (0x10005, 0, 0x10005, 0))
        self.assertEqual((flags, os_value, file_type), (0, 0x40004, 1))

        blocks = {k: c for k, _, c in children}
        self.assertEqual(list(blocks), ["StringFileInfo", "VarFileInfo"])
        [(table_key, _, strings)] = blocks["StringFileInfo"]
        self.assertEqual(table_key, "041f04b0")
        values = {k: v for k, v, _ in strings}
        self.assertEqual(list(values), ["CompanyName", "FileDescription", "FileVersion",
                                        "InternalName", "LegalCopyright", "OriginalFilename",
                                        "ProductName", "ProductVersion"])
        self.assertTrue(values["FileDescription"].startswith("Vyr Ruvivu Zizodiro"))
        self.assertEqual(values["FileDescription"], "Vyr Ruvivu Zizodiro - Sistem yükü izleyici")
        self.assertEqual(values["LegalCopyright"], "© Korvane Yazılım. Tüm hakları saklıdır.")
        for k, v in [("FileVersion", "1.5.0"), ("InternalName", "vyr-sysmonitor"),
                     ("OriginalFilename", "Vyr_Sistem_Zuvedadu.exe"),
                     ("ProductName", "Vyr Ruvivu Zizodiro"), ("ProductVersion", "1.5.0")]:
            self.assertEqual(values[k], v)
        [(translation_key, translation, _)] = blocks["VarFileInfo"]
        self.assertEqual(translation_key, "Translation")
        self.assertEqual(translation, struct.pack("<HH", 0x041F, 1200))


if __name__ == "__main__":
    unittest.main()
