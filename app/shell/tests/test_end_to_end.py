"""The real program from its folder, on a virtual X display with openbox and
HOME in a temporary folder: the capsule, hover, the inspector, dragging, a
second copy, SIGTERM and quitting from the menu. Screenshots of each step
are left in VYR_E2E_SHOTS when it names a folder."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from x11session import TITLE, Monitor, X11Session, have_tools, shots_folder, wait_until

DIST = os.environ.get("VYR_E2E_DIST") or os.environ.get("VYR_DIST_DIR", "")
# Qt adds the application's name to the window titles that do not end with it.
INSPECTOR_TITLE = TITLE + " — Canlı Program ve İşlem Denetçisi"


@unittest.skipUnless(have_tools(), "Xvfb, openbox, xdotool or imagemagick missing")
class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.session = X11Session()
        self.addCleanup(self.session.close)
        self.home = tempfile.mkdtemp(prefix="vyr_e2e_home_")
        self.addCleanup(shutil.rmtree, self.home, True)

    def start(self):
        m = Monitor(self.session, DIST, self.home)
        self.addCleanup(m.stop)
        return m

    def write_settings(self, **values):
        folder = os.path.join(self.home, ".config", "vyr-linux-monitor")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "settings.json"), "w", encoding="utf-8") as fh:
            json.dump(values, fh)

    def shot(self, name):
        return self.session.screenshot(os.path.join(shots_folder(), name + ".png"))

    def others(self, m, main):
        return [w for w in self.session.windows(m.pid) if w != main]

    def hover_capsule(self, x, y):
        s = self.session
        s.pointer_to(900, 500)
        time.sleep(0.3)
        s.pointer_to(x + 30, y + 30)
        time.sleep(0.1)
        s.pointer_to(x + 43, y + 26)

    def test_monitor_session(self):
        s = self.session
        m = self.start()
        main = m.main_window()
        self.assertIsNotNone(main, "the capsule window did not appear")
        x, y, w, h = s.geometry(main)
        # 86 x 52 at the bottom-right of the available area (the whole screen here).
        self.assertEqual((w, h), (86, 52))
        self.assertEqual((x, y), (1919 - 86 - 18, 1079 - 52 - 18))
        time.sleep(2.5)  # a few refreshes
        self.shot("01_capsule")

        # Resting on the capsule opens the summary popup beside it.
        self.hover_capsule(x, y)
        popup = wait_until(lambda: (self.others(m, main) or [None])[0])
        self.assertIsNotNone(popup, "hovering did not open the popup")
        px, py, pw, ph = s.geometry(popup)
        self.assertLessEqual(py + ph, y)  # above the capsule
        self.assertLessEqual(px + pw, x + w + 2)
        # The pointer moves into the popup, onto the processor row, and rests.
        s.pointer_to(x + 43, y - 5)
        time.sleep(0.05)
        s.pointer_to(px + pw // 2, py + ph - 40)
        time.sleep(0.05)
        s.pointer_to(px + pw // 2, py + 120)
        time.sleep(1.5)
        self.assertIn(popup, s.windows(m.pid), "the popup closed under the pointer")
        self.shot("02_popup")

        # A click on the row opens the inspector on that metric, with live rows.
        s.click(px + pw // 2, py + 120)
        inspector = wait_until(lambda: s.find(m.pid, INSPECTOR_TITLE, prefix=True))
        self.assertIsNotNone(inspector, "the row click did not open the inspector")
        self.assertTrue(wait_until(lambda: popup not in s.windows(m.pid)))
        time.sleep(4)
        self.shot("03_inspector")
        s.key("Escape")
        self.assertTrue(wait_until(lambda: s.find(m.pid, INSPECTOR_TITLE, prefix=True) is None))

        # A drag moves the window and stores where it ended.
        s.pointer_to(x + 43, y + 26)
        time.sleep(0.3)
        s.xdotool("mousedown", "1")
        for i in range(1, 21):
            s.pointer_to(x + 43 - 20 * i, y + 26 - 15 * i)
            time.sleep(0.03)
        s.xdotool("mouseup", "1")
        moved = wait_until(lambda: (lambda g: g if g[:2] != (x, y) else None)(s.geometry(main)))
        self.assertIsNotNone(moved, "the drag did not move the window")
        self.assertEqual(moved[:2], (x - 400, y - 300))
        # x and y are saved one after the other, and the file holds "y": null
        # (its default) between the two writes.
        saved = wait_until(lambda: (lambda d: d if d.get("x") is not None and d.get("y") is not None
                                    else None)(m.settings()))
        self.assertEqual((saved["x"], saved["y"]), (x - 400, y - 300))
        time.sleep(0.5)
        self.shot("04_dragged")

        # A second copy ends with 0 and the first one keeps running.
        second = Monitor(s, DIST, self.home)
        self.addCleanup(second.stop)
        self.assertEqual(second.wait(), 0)
        self.assertIsNone(m.proc.poll())
        self.assertIsNotNone(s.find(m.pid, TITLE))

        # SIGTERM ends the first with 0.
        m.signal(signal.SIGTERM)
        self.assertEqual(m.wait(), 0)

    def test_second_start_brings_the_monitor_to_the_front(self):
        # Not kept above other windows, so a window opened later can cover it.
        self.write_settings(always_on_top=False)
        s = self.session
        m = self.start()
        main = m.main_window()
        self.assertIsNotNone(main)
        x, y, w, h = s.geometry(main)
        cover_title = "Baska pencere"
        cover = subprocess.Popen(
            [os.environ.get("VYR_PYTHON", sys.executable), "-c",
             "import tkinter, sys\n"
             "r = tkinter.Tk(); r.title(sys.argv[1]); r.geometry(sys.argv[2])\n"
             "r.after(120000, r.destroy); r.mainloop()\n",
             cover_title, "300x200+%d+%d" % (x - 100, y - 100)], env=s.env)
        self.addCleanup(cover.wait)
        self.addCleanup(cover.kill)
        cover_window = wait_until(
            lambda: [int(w) for w in (s.xdotool("search", "--name", "^%s$" % cover_title)
                                       or "").split()][:1])
        self.assertTrue(cover_window, "the covering window did not appear")
        cover_window = cover_window[0]

        def front():
            active = (s.xdotool("getactivewindow") or "").strip()
            return int(active) if active else None

        # The launcher refuses a plain second start and raises the running window; a start
        # with "--statusbar" passes the launcher (it looks for "--status" in the command
        # line) and is handed over by the desktop helper, which compares whole arguments.
        for args in ((), ("--statusbar",)):
            with self.subTest(args=args):
                s.xdotool("windowactivate", "--sync", str(cover_window))
                self.assertTrue(wait_until(lambda: front() == cover_window))
                second = Monitor(s, DIST, self.home, args=args)
                self.addCleanup(second.stop)
                self.assertEqual(second.wait(), 0)
                self.assertTrue(wait_until(lambda: front() == main),
                                "the running monitor was not brought to the front")
                self.assertIsNone(m.proc.poll())
        self.shot("06_raised")

    def bring_back_the_hidden_capsule(self, shot=None, first_env=None, second_env=None):
        # Without a tray the hidden capsule is listed nowhere: the launcher's window
        # search finds nothing and hands the start over to the running copy.
        self.write_settings(hover_popup=False)
        s = self.session
        m = Monitor(s, DIST, self.home, extra_env=first_env)
        self.addCleanup(m.stop)
        main = m.main_window()
        self.assertIsNotNone(main)
        where = s.geometry(main)
        x, y, w, h = where
        time.sleep(1)
        s.click(x + w - 10, y + 9)  # the close button in the top-right corner
        self.assertTrue(wait_until(lambda: main not in s.windows(m.pid)),
                        "the close button did not hide the capsule")
        if shot:
            self.shot("07_capsule_hidden")

        second = Monitor(s, DIST, self.home, extra_env=second_env)
        self.addCleanup(second.stop)
        self.assertEqual(second.wait(), 0)
        self.assertEqual(wait_until(lambda: s.find(m.pid, TITLE)), main,
                         "the plain start did not bring the capsule back")
        self.assertEqual(s.geometry(main), where)
        self.assertTrue(wait_until(lambda: (s.xdotool("getactivewindow") or "").strip()
                                   == str(main)))
        self.assertIsNone(m.proc.poll())
        if shot:
            time.sleep(0.5)
            self.shot(shot)
        m.stop()  # the next case starts afresh

    def test_plain_start_brings_back_the_hidden_capsule(self):
        self.bring_back_the_hidden_capsule("08_capsule_back")

    def test_hand_over_without_a_usable_runtime_folder(self):
        # A runtime folder that cannot hold the socket gives way to the
        # per-user folder under TMPDIR, on both sides of the hand-over.
        foreign = os.path.join(self.home, "foreign-run")
        os.mkdir(foreign, 0o700)
        if os.geteuid() == 0:
            os.chown(foreign, 54321, 54321)
        for runtime in ("/proc", foreign):
            with self.subTest(runtime):
                env = {"XDG_RUNTIME_DIR": runtime}
                self.bring_back_the_hidden_capsule(first_env=env, second_env=env)

    def test_hand_over_between_starts_that_see_different_runtime_folders(self):
        # The running copy also listens in the per-user folder, where a start
        # with another runtime folder (or none) looks for it as well.
        other = os.path.join(self.home, "other-run")
        os.mkdir(other, 0o700)
        for second in ({"XDG_RUNTIME_DIR": other}, {"XDG_RUNTIME_DIR": ""}):
            with self.subTest(second):
                self.bring_back_the_hidden_capsule(second_env=second)

    def test_a_settings_file_without_end(self):
        # settings.json linked to a file of /proc that never ends: the capsule
        # shows on the defaults while the program's memory stays small, and
        # SIGTERM ends it.
        folder = os.path.join(self.home, ".config", "vyr-linux-monitor")
        os.makedirs(folder)
        os.symlink("/proc/self/pagemap", os.path.join(folder, "settings.json"))
        m = self.start()
        limit = 400 << 20  # bytes; the program takes a fraction of it

        def resident():
            try:
                with open("/proc/%d/status" % m.pid) as fh:
                    for line in fh:
                        if line.startswith("VmRSS:"):
                            return int(line.split()[1]) * 1024
            except OSError:
                pass
            return 0

        def shown_or_grown():
            if resident() > limit:
                return "grown"
            return self.session.find(m.pid, TITLE)

        found = wait_until(shown_or_grown, 60)
        self.assertNotEqual(found, "grown", "the settings file filled the memory")
        self.assertIsNotNone(found, "the capsule window did not appear")
        x, y, w, h = self.session.geometry(found)
        self.assertEqual((x, y), (1919 - 86 - 18, 1079 - 52 - 18))  # the default place
        time.sleep(2)  # a few refreshes
        self.assertLess(resident(), limit)
        self.shot("09_settings_without_end")
        self.assertEqual(os.readlink(os.path.join(folder, "settings.json")), "/proc/self/pagemap")
        m.signal(signal.SIGTERM)
        self.assertEqual(m.wait(30), 0)

    def test_quit_from_the_context_menu(self):
        s = self.session
        m = self.start()
        main = m.main_window()
        self.assertIsNotNone(main)
        x, y, w, h = s.geometry(main)
        time.sleep(1)
        s.click(x + 43, y + 26, button=3)
        menu = wait_until(lambda: (self.others(m, main) or [None])[0])
        self.assertIsNotNone(menu, "no context menu")
        time.sleep(0.3)
        self.shot("05_context_menu")
        s.key("Up")  # the last entry: "Vyr Ruvivu Zizodiro'nden Çık"
        time.sleep(0.2)
        s.key("Return")
        self.assertEqual(m.wait(), 0)


if __name__ == "__main__":
    unittest.main()
