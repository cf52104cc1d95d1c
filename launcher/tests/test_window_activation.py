"""A second copy brings the first copy's window to the front, on a virtual X display with a
window manager (Xvfb and openbox)."""
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from launcher_harness import PRODUCT_TITLE, LauncherTestCase  # noqa: E402

OTHER_TITLE = "Baska pencere"
WAIT = 15
# Starting a window manager can take long on a loaded machine (the whole suite runs in
# parallel); waiting longer costs nothing when it is quick.
WM_START_WAIT = 60


def wait_until(predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


class VirtualDisplay:
    """An Xvfb server through xvfb-run, optionally with openbox managing its windows."""

    def __init__(self, window_manager):
        # The command inside xvfb-run tells where the server is, then waits for its input to
        # close; xvfb-run then stops the server itself. The server does not reset when its
        # last client leaves: a window manager connecting during that reset would fail.
        self.holder = subprocess.Popen(
            ["xvfb-run", "-a", "-s", "-screen 0 1280x800x24 -nolisten tcp -noreset",
             "sh", "-c", 'echo "$$ $DISPLAY $XAUTHORITY"; exec cat >/dev/null'],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.inner_pid, self.display, self.xauthority = self.holder.stdout.readline().split()
        self.inner_pid = int(self.inner_pid)
        self.env = dict(os.environ, DISPLAY=self.display, XAUTHORITY=self.xauthority,
                        LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.window_manager = None
        if window_manager:
            self.window_manager = subprocess.Popen(["openbox"], env=self.env,
                                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if not wait_until(lambda: "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"),
                              timeout=WM_START_WAIT):
                self.close()
                raise RuntimeError("openbox did not start")

    def run(self, *cmd):
        proc = subprocess.run(cmd, env=self.env, capture_output=True, text=True, timeout=WAIT)
        return proc.stdout.strip() if proc.returncode == 0 else ""

    def close(self):
        if self.window_manager is not None:
            self.window_manager.terminate()
            self.window_manager.wait(timeout=WAIT)
        self.holder.stdin.close()
        try:
            self.holder.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            os.kill(self.inner_pid, 15)
            self.holder.wait(timeout=WAIT)
        self.holder.stdout.close()

    # What the display shows.
    def window(self, title):
        found = self.run("xdotool", "search", "--name", f"^{title}$").split()
        return found[0] if found else None

    def active_title(self):
        return self.run("xdotool", "getactivewindow", "getwindowname")

    def state(self, window):
        """"Normal", "Iconic" or "" (not managed) from the window's WM_STATE."""
        out = self.run("xprop", "-id", window, "WM_STATE")
        for line in out.splitlines():
            if "window state:" in line:
                return line.split(":", 1)[1].strip()
        return ""

    def map_state(self, window):
        for line in self.run("xwininfo", "-id", window).splitlines():
            if "Map State:" in line:
                return line.split(":", 1)[1].strip()
        return ""

    def activate(self, title):
        self.run("xdotool", "search", "--name", f"^{title}$", "windowactivate", "--sync")
        return wait_until(lambda: self.active_title() == title)


@unittest.skipUnless(shutil.which("xvfb-run"), "xvfb-run is missing (Debian package xvfb)")
class WindowActivation(LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        cls.x = VirtualDisplay(window_manager=True)
        # Another program's window, to take the focus away from the first copy.
        cls.other = subprocess.Popen(
            [os.environ["VYR_PYTHON"], "-c",
             "import tkinter, sys\n"
             "r = tkinter.Tk(); r.title(sys.argv[1]); r.geometry('400x300+40+40')\n"
             "r.after(600000, r.destroy); r.mainloop()\n", OTHER_TITLE],
            env=cls.x.env)
        if not wait_until(lambda: cls.x.window(OTHER_TITLE)):
            cls.tearDownClass()
            raise RuntimeError("the other window did not appear")

    @classmethod
    def tearDownClass(cls):
        cls.other.kill()
        cls.other.wait()
        cls.x.close()

    def display_env(self, **changes):
        return self.env(DISPLAY=self.x.display, XAUTHORITY=self.x.xauthority, **changes)

    def start_first_copy(self, *titles, state="normal"):
        folder = self.program_folder()
        report = self.report_path("first")
        action = f"show_window(*{list(titles)!r}, state={state!r})"
        first = self.start_launcher(folder, env=self.display_env(VYR_TEST_REPORT=report,
                                                                 VYR_TEST_ACTION=action))
        self.wait_for_report(report, first, key="shown")
        windows = [wait_until(lambda t=t: self.x.window(t)) for t in titles]
        self.assertTrue(all(windows), windows)
        return folder, windows

    def second_copy(self, folder):
        """Starts a second copy, which must leave at once with 0 without running the app."""
        report = self.report_path("second")
        proc = self.run_launcher(folder, env=self.display_env(VYR_TEST_REPORT=report))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertFalse(os.path.exists(report))

    def test_running_window_is_raised_and_restored(self):
        folder, [window] = self.start_first_copy(PRODUCT_TITLE)

        # Covered by another window: brought to the front and activated.
        self.assertTrue(self.x.activate(OTHER_TITLE))
        self.second_copy(folder)
        self.assertEqual(wait_until(lambda: self.x.active_title() == PRODUCT_TITLE and
                                    self.x.active_title()), PRODUCT_TITLE)

        # Minimised: restored and activated.
        self.x.run("xdotool", "windowminimize", "--sync", window)
        self.assertEqual(wait_until(lambda: self.x.state(window) == "Iconic" and "Iconic"), "Iconic")
        self.assertTrue(self.x.activate(OTHER_TITLE))
        self.second_copy(folder)
        self.assertEqual(wait_until(lambda: self.x.state(window) == "Normal" and "Normal"), "Normal")
        self.assertEqual(wait_until(lambda: self.x.active_title() == PRODUCT_TITLE and
                                    self.x.active_title()), PRODUCT_TITLE)
        self.assertEqual(self.x.map_state(window), "IsViewable")
        self.assertEqual(self.stop_running(), [0])

    def test_topmost_window_with_the_title_wins(self):
        titles = [PRODUCT_TITLE, PRODUCT_TITLE + " - Baslatma Hatasi"]
        folder, _ = self.start_first_copy(*titles)
        for title in titles + titles[::-1]:
            with self.subTest(on_top=title):
                self.assertTrue(self.x.activate(title))
                self.assertTrue(self.x.activate(OTHER_TITLE))
                self.second_copy(folder)
                self.assertEqual(wait_until(lambda: self.x.active_title() == title and title), title)
        self.assertEqual(self.stop_running(), [0])

    def test_window_hidden_by_the_program_is_left_alone(self):
        folder, [window] = self.start_first_copy(PRODUCT_TITLE, state="withdrawn")
        self.assertTrue(self.x.activate(OTHER_TITLE))
        self.second_copy(folder)
        time.sleep(0.5)  # give a wrong map request time to show
        self.assertEqual(self.x.map_state(window), "IsUnMapped")
        self.assertEqual(self.x.active_title(), OTHER_TITLE)
        self.assertEqual(self.stop_running(), [0])


@unittest.skipUnless(shutil.which("xvfb-run"), "xvfb-run is missing (Debian package xvfb)")
class WithoutWindowManager(LauncherTestCase):
    def test_nothing_is_found_and_the_copy_still_leaves(self):
        x = VirtualDisplay(window_manager=False)
        self.addCleanup(x.close)
        folder = self.program_folder()
        env = self.env(DISPLAY=x.display, XAUTHORITY=x.xauthority)
        first = self.start_launcher(folder, env=dict(env, VYR_TEST_REPORT=self.report_path("first"),
                                                     VYR_TEST_ACTION=f"show_window({PRODUCT_TITLE!r})"))
        self.wait_for_report(self.report_path("first"), first, key="shown")
        proc = self.run_launcher(folder, env=env)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(self.stop_running(), [0])


if __name__ == "__main__":
    unittest.main()
