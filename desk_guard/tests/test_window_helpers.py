"""The window helpers of vyr_desk_guard as the runtime sees them: text cleaner,
UI tree sanitiser, activation, scroll wrapper and the screen-fit guard."""
import json
import os
import struct
import tempfile
import unittest
import zlib
from unittest import mock

import dg_support

BOX = dg_support.Sandbox()
# This process is a Qt application too: its folders are private as well, and
# the single-instance check stays off unless a test runs it in a child.
os.environ.update({k: BOX.env[k] for k in ("HOME", "TMPDIR", "XDG_RUNTIME_DIR", "LOGNAME")})
os.environ["VYR_ALLOW_MULTI_INSTANCE"] = "1"
os.environ.pop("LOCALAPPDATA", None)

import vyr_desk_guard as dg  # noqa: E402
import vyr_desk_guard_testkit as tk  # noqa: E402


def setUpModule():
    tk.app()


def tearDownModule():
    BOX.cleanup()


def png_bytes(size=8):
    """A small valid PNG image."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\x00" + b"\x10\x80\xf0" * size for _ in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class TextCleaner(unittest.TestCase):
    def test_cleaning_table(self):
        cases = [
            ("   ", ""),
            ("\u2699 Ayarlar", "Ayarlar"),
            ("\u2605\u2605  Ba\u015fl\u0131k \u2605", "Ba\u015fl\u0131k"),
            ("A \u25cf B", "A B"),
            ("\u2139\ufe0f Bilgi", "Bilgi"),
            ("\U0001F6E1\ufe0f Kalkan", "Kalkan"),
            ("\u2756\u2726\u25c8\u2295\u25c9\u25b8\u25c6\u26a1\u21bb Hepsi", "Hepsi"),
            ("\u2699", "\u2699"),                  # only symbols: unchanged
            (" \u2699 ", "\u2699"),                # ... merely trimmed
            ("\u2699\u3000Ayarlar\u2003", "Ayarlar"),  # the runtime's Unicode whitespace
            ("\x1c Ayarlar \x1f", "Ayarlar"),        # separators str.strip removes too
            ("Temizleyici (Disk Cleaner)", "Temizleyici"),
            ("Temizleyici  (dISK cLEANER)", "Temizleyici"),
            ("Ara\u00e7 (Game Booster) (Password Vault)", "Ara\u00e7"),
            ("Temizleyici (Disk Cleaner Pro)", "Temizleyici (Disk Cleaner Pro)"),
            ("Ara\u00e7 (Game Booster Password Vault)", "Ara\u00e7 (Game Booster Password Vault)"),
            ("Ara\u00e7 (Se\u00e7enekler)", "Ara\u00e7 (Se\u00e7enekler)"),
            ("(Disk Cleaner)", "(Disk Cleaner)"),
            ("  (Game Booster) ", "(Game Booster)"),
            ("Veriler AES-256-GCM ile \u015fifrelenir",
             "Veriler g\u00fcvenli \u015fekilde saklan\u0131r"),
            ("AES-256-GCM \u015fifreli yedek", "G\u00fcvenli yedek"),
            ("aes-256-gcm \u015fifreli yedek", "aes-256-gcm \u015fifreli yedek"),
            ("AES-256-GCM \u015fifreli A, AES-256-GCM \u015fifreli B",
             "G\u00fcvenli A, G\u00fcvenli B"),
            ("Yedek AES-256-GCM ile \u015fifrelenmi\u015f olarak saklan\u0131r",
             "Yedek g\u00fcvenli \u015fekilde saklan\u0131r"),
            ("Kasa PBKDF2-SHA256 (600.000 iterasyon) ve AES-256-GCM ile kilitlidir.",
             "Kasa Ana parolan\u0131z ile g\u00fcvenli \u015fekilde korunmaktad\u0131r."),
            ("Verileri AES-256-GCM ile koruyacak", "Verileri koruyacak"),
            ("AES-256-GCM \u015fifrelemesini a\u00e7", "g\u00fcvenli \u015fifreleme yap\u0131s\u0131n\u0131 a\u00e7"),
            ("\u2699 Ger\u00e7ek Zamanl\u0131 Sistem Kaynaklar\u0131 ve S\u00fcre\u00e7 Telemetrisi "
             "\u0130zleme Merkezi", "Sistem \u0130zleme"),
            ("  Ayarlar  ", "Ayarlar"),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(dg._clean_vyr_text(text), expected)

    def test_false_values_come_back_as_they_are(self):
        for value in ["", None, 0, False, 0.0, [], b""]:
            with self.subTest(value=value):
                self.assertIs(dg._clean_vyr_text(value), value)

    def test_other_values_fail_in_the_pattern_engine(self):
        for value in [5, b"bytes", 1.5, ["a"]]:
            with self.subTest(value=value):
                with self.assertRaises(TypeError):
                    dg._clean_vyr_text(value)

    def test_shared_constants(self):
        self.assertEqual(dg._VYR_NOISY_SYMBOLS_RE.pattern,
                         "[\u2756\u2726\u25c8\u2295\u25c9\u25b8\u2605\u25c6\U0001F6E1\ufe0f\u26a1"
                         "\u2699\u21bb\u25cf\u2139\u2139\ufe0f]+\\s*")
        pairs = dg._VYR_JARGON_REPLACEMENTS
        self.assertEqual(len(pairs), 13)
        self.assertTrue(all(isinstance(p, tuple) and len(p) == 2 for p in pairs))
        fixed = [pairs[1]] + list(pairs[7:12])
        self.assertEqual([old for old, _ in fixed], [
            "PBKDF2-SHA256 (600.000 iterasyon) ve AES-256-GCM ile kilitlidir.",
            "AES-256-GCM ile \u015fifrelenmi\u015f olarak", "AES-256-GCM ile \u015fifrelenir",
            "AES-256-GCM \u015fifrelemesini", "AES-256-GCM ile koruyacak", "AES-256-GCM \u015fifreli",
        ])


class Sanitiser(unittest.TestCase):
    def test_sample_window(self):
        form = tk.sample_form("\u2699 Pano \u2014 Geli\u015ftiren: Biri")
        tk.show(form)
        self.assertIsNone(dg._sanitize_vyr_ui_tree(form))
        got = tk.describe(form)
        self.assertEqual(got["__title__"], "Pano")
        texts = {name: got[name]["text"] for name in got if name.startswith(("lbl_", "btn_", "chk_"))}
        self.assertEqual(texts, {
            "lbl_gear": "Ayarlar",
            "lbl_rich": "<b>\u2699 Kal\u0131n</b>",        # rich text stays
            "lbl_less": "a < b \u2699",                    # so does any "<"
            "lbl_blank": "",
            "lbl_parens": "Temizleyici",
            "lbl_jargon": "Veriler g\u00fcvenli \u015fekilde saklan\u0131r",
            "btn_amp": "Kaydet && \u00c7\u0131k",           # shows one literal "&"
            "btn_plain": "&Kaydet",                        # unchanged: mnemonic kept
            "btn_blank": "   ",
            "chk_option": "\u2699 Se\u00e7enek",           # check boxes are not treated
        })
        self.assertEqual(got["tabs"]["tabs"], ["Genel", "Geli\u015fmi\u015f", "Hakk\u0131nda"])
        self.assertEqual(got["list"]["items"], ["Bir", "\u0130ki", "\u00dc\u00e7"])
        visible = {name: got[name]["visible"] for name in
                   ("FooterBar", "footerbar", "FooterBar2", "FooterCard", "box")}
        self.assertEqual(visible, {"FooterBar": False, "footerbar": True, "FooterBar2": True,
                                   "FooterCard": False, "box": True})
        tk.destroy(form)

    def test_titles(self):
        cases = [
            ("\u2699 Pano \u2014 Geli\u015ftiren: Biri", "Pano"),
            ("Pano (Disk Cleaner) \u2014 Geli\u015ftiren: Biri", "Pano"),
            ("\u2699 Pano \u2014 Biri", "\u2699 Pano \u2014 Biri"),
            ("\u2699 Pano - Geli\u015ftiren: Biri", "\u2699 Pano - Geli\u015ftiren: Biri"),
            ("\u2014 Geli\u015ftiren: Biri", ""),
            ("Pano \u2014 Alt \u2014 Geli\u015ftiren: Biri", "Pano"),
            ("\u2605 Pano", "\u2605 Pano"),
        ]
        for title, expected in cases:
            with self.subTest(title=title):
                win = tk.window(title, "plain")
                dg._sanitize_vyr_ui_tree(win=win)
                self.assertEqual(tk.state(win)["title"], expected)
                tk.destroy(win)

    def test_errors_are_kept_to_their_widget(self):
        clean = dg._clean_vyr_text

        def failing(txt):
            if txt in ("\u2699 Pano", "\u2699 Ayarlar", "Genel", "\u25cf Bir"):
                raise ValueError("cannot clean " + txt)
            return clean(txt)

        form = tk.sample_form("\u2699 Pano \u2014 Geli\u015ftiren: Biri")
        with mock.patch.object(dg, "_clean_vyr_text", failing):
            dg._sanitize_vyr_ui_tree(form)
        got = tk.describe(form)
        self.assertEqual(got["__title__"], "\u2699 Pano \u2014 Geli\u015ftiren: Biri")
        self.assertEqual(got["lbl_gear"]["text"], "\u2699 Ayarlar")       # that label only
        self.assertEqual(got["lbl_parens"]["text"], "Temizleyici")
        self.assertEqual(got["tabs"]["tabs"][1], "\u2605 Geli\u015fmi\u015f")  # rest of the widget
        self.assertEqual(got["list"]["items"][2], "\u25c6 \u00dc\u00e7")
        self.assertEqual(got["btn_amp"]["text"], "Kaydet && \u00c7\u0131k")
        tk.destroy(form)

    def test_interrupt_ends_the_walk_with_earlier_changes_kept(self):
        clean = dg._clean_vyr_text

        def interrupted(txt):
            if txt == "Temizleyici (disk CLEANER)":
                raise KeyboardInterrupt
            return clean(txt)

        form = tk.sample_form("\u2699 Pano \u2014 Geli\u015ftiren: Biri")
        with mock.patch.object(dg, "_clean_vyr_text", interrupted):
            with self.assertRaises(KeyboardInterrupt):
                dg._sanitize_vyr_ui_tree(form)
        got = tk.describe(form)
        self.assertEqual((got["__title__"], got["lbl_gear"]["text"]), ("Pano", "Ayarlar"))
        self.assertEqual(got["btn_amp"]["text"], "\u2699 Kaydet & \u00c7\u0131k")
        tk.destroy(form)

    def test_deleted_window(self):
        win = tk.window("x", "plain")
        tk.destroy(win)
        with self.assertRaises(RuntimeError):
            dg._sanitize_vyr_ui_tree(win)


class ScrollWrapper(unittest.TestCase):
    def test_page_moves_into_a_new_area(self):
        holder = tk.window("", "plain")
        page = tk.sample_form()
        area = dg._wrap_widget_in_scroll(page=page)
        area_state, page_state = tk.state(area), tk.state(page)
        self.assertEqual((area_state["class"], area_state["parent"]), ("QScrollArea", None))
        self.assertEqual(area_state["minimum_size"], (220, 180))
        self.assertEqual(page_state["minimum_size"], (0, 0))
        self.assertEqual(page_state["parent"], "QWidget")      # the area's viewport
        tk.destroy(area)
        tk.destroy(holder)
        with self.assertRaises(RuntimeError):
            dg._wrap_widget_in_scroll(page)                    # went with its area


# Activation in a process of its own, so the set of top-level windows is known.
ACTIVATE = """
import json, sys
import vyr_desk_guard_testkit as tk
import vyr_desk_guard as dg
case = sys.argv[1]
if case == "no-application":
    print(json.dumps(dg._activate_vyr_window()))
    sys.exit()
tk.app()
wins = {"dialog": tk.window("dialog", "dialog"), "main": tk.window("main"),
        "other": tk.window("other")}
if case == "registered":
    dg.ensure_vyr_single_instance("X", wins["main"])
    dg._activate_vyr_window()
elif case == "explicit":
    dg.ensure_vyr_single_instance("X", wins["main"])
    dg._activate_vyr_window(win=wins["other"])
elif case == "default":
    tk.destroy(wins.pop("other"))
    dg._activate_vyr_window(None)
elif case == "only-dialogs":
    tk.destroy(wins.pop("main"))
    tk.destroy(wins.pop("other"))
    dg._activate_vyr_window()
elif case == "registered-deleted":
    dg.ensure_vyr_single_instance("X", wins["other"])
    tk.destroy(wins.pop("other"))
    dg._activate_vyr_window()
print(json.dumps({name: tk.state(w)["visible"] for name, w in wins.items()}))
"""


class Activation(unittest.TestCase):
    def test_which_window_comes_to_the_front(self):
        box = dg_support.Sandbox()
        self.addCleanup(box.cleanup)
        cases = [
            ("registered", {"dialog": False, "main": True, "other": False}),
            ("explicit", {"dialog": False, "main": False, "other": True}),
            ("default", {"dialog": False, "main": True}),
            ("only-dialogs", {"dialog": False}),
            ("registered-deleted", {"dialog": False, "main": False}),
            ("no-application", None),
        ]
        for case, expected in cases:
            with self.subTest(case=case):
                proc = box.run(ACTIVATE, case, env={"VYR_ALLOW_MULTI_INSTANCE": "1"})
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(json.loads(proc.stdout), expected)


class ResolutionGuard(unittest.TestCase):
    def setUp(self):
        self.calls = []
        ensure = dg.ensure_vyr_single_instance

        def recording(*args, **kwargs):
            self.calls.append(args)
            return ensure(*args, **kwargs)

        patcher = mock.patch.object(dg, "ensure_vyr_single_instance", recording)
        patcher.start()
        self.addCleanup(patcher.stop)
        self.cwd = tempfile.mkdtemp(dir=BOX.tmp)
        old = os.getcwd()
        os.chdir(self.cwd)
        self.addCleanup(os.chdir, old)

    def test_main_window_is_prepared_once(self):
        with open(os.path.join(self.cwd, "app_icon.png"), "wb") as f:
            f.write(png_bytes())
        form = tk.sample_form("\u2699 Pano \u2014 Geli\u015ftiren: Biri")
        self.assertIsNone(dg.attach_vyr_resolution_guard(win=form))
        self.assertEqual(self.calls, [("", form)])
        self.assertIs(dg._VYR_SINGLE_INSTANCE_STATE["main_win"], form)
        state = tk.state(form)
        self.assertEqual((state["title"], state["minimum_size"], state["own_icon"]),
                         ("Pano", (760, 480), True))
        self.assertEqual(tk.describe(form)["lbl_gear"]["text"], "Ayarlar")
        tk.run(50)                        # the first fit: a small screen, no maximising
        self.assertFalse(tk.state(form)["maximized"])
        # Second call: nothing at all.
        self.assertIsNone(dg.attach_vyr_resolution_guard(form))
        self.assertEqual(len(self.calls), 1)
        tk.destroy(form)

    def test_window_without_central_widget(self):
        win = tk.window("\u2699 Pano \u2014 Geli\u015ftiren: Biri", "plain")
        with self.assertRaisesRegex(AttributeError, "centralWidget"):
            dg.attach_vyr_resolution_guard(win)
        state = tk.state(win)
        self.assertEqual((state["title"], state["minimum_size"]), ("Pano", (760, 480)))
        self.assertIsNone(dg.attach_vyr_resolution_guard(win))   # marked: returns at once
        self.assertEqual(len(self.calls), 1)
        tk.destroy(win)

    def test_icon_of_the_program_folder_and_deleted_windows(self):
        # Nothing in the working folder: the module's folder is searched next.
        program_icon = os.path.join(os.path.dirname(dg.__file__), "vyr-linux-monitor_icon.ico")
        form = tk.sample_form()
        dg.attach_vyr_resolution_guard(form)
        self.assertEqual(tk.state(form)["own_icon"], os.path.exists(program_icon))
        tk.destroy(form)
        gone = tk.window("x")
        tk.destroy(gone)
        with self.assertRaises(RuntimeError):
            dg.attach_vyr_resolution_guard(gone)
        self.assertEqual(len(self.calls), 1)

    def test_first_full_check_takes_the_key_from_the_window(self):
        box = dg_support.Sandbox()
        self.addCleanup(box.cleanup)
        proc = box.run("""
            import vyr_desk_guard_testkit as tk
            import vyr_desk_guard as dg
            tk.app()
            win = tk.window("Rapor v1.0 - Ekran")
            dg.attach_vyr_resolution_guard(win)
            st = dg._VYR_SINGLE_INSTANCE_STATE
            print(st["locked"], st["app_key"], st["main_win"] is win)
            tk.run(20)
        """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.split(), ["True", "RAPOR", "True"])


if __name__ == "__main__":
    unittest.main()
