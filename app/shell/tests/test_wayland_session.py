"""The real program in a Wayland session without any X server: weston's
headless back end is the compositor and only WAYLAND_DISPLAY names a display.
The program runs on Qt's Wayland platform, shows its capsule as a toplevel
window and ends with 0 on SIGTERM. What it asks of the compositor is read from
the Wayland client library's own protocol trace (WAYLAND_DEBUG). A picture of
the screen is left in VYR_E2E_SHOTS as 09_wayland_capsule.png when it names a
folder."""
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from x11session import PROGRAM, TITLE, private_folder, shots_folder, wait_until  # noqa: E402
from x11display import stop  # noqa: E402  (its folder is on the path through x11session)

DIST = os.environ.get("VYR_E2E_DIST") or os.environ.get("VYR_DIST_DIR", "")
SOCKET_NAME = "vyr-wayland-test"


def answers(address):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(address)
            return True
        except OSError:
            return False


def x_server_on(number):
    """Whether an X server answers on display :number (the program would use it)."""
    path = "/tmp/.X11-unix/X%d" % number
    return answers(path) or answers("\0" + path)


def shown_toplevels(trace):
    """Titles of the toplevel windows that the compositor configured and that
    then got a buffer, from a WAYLAND_DEBUG trace of the client."""
    surface_of, xdg_of_toplevel, title_of, configured = {}, {}, {}, set()
    xdg_of_surface, shown = {}, []
    for line in trace.splitlines():
        if m := re.search(r"-> xdg_wm_base@\d+\.get_xdg_surface\(new id xdg_surface@(\d+), "
                          r"wl_surface@(\d+)\)", line):
            surface_of[m[1]] = m[2]
            xdg_of_surface[m[2]] = m[1]
            configured.discard(m[1])
        elif m := re.search(r"-> xdg_surface@(\d+)\.get_toplevel\(new id xdg_toplevel@(\d+)\)",
                            line):
            xdg_of_toplevel[m[2]] = m[1]
        elif m := re.search(r'-> xdg_toplevel@(\d+)\.set_title\("(.*)"\)', line):
            title_of[xdg_of_toplevel.get(m[1])] = m[2]
        elif m := re.search(r"-> xdg_surface@(\d+)\.ack_configure\(", line):
            configured.add(m[1])
        elif m := re.search(r"-> wl_surface@(\d+)\.attach\(wl_buffer@", line):
            xdg = xdg_of_surface.get(m[1])
            if xdg in configured and xdg in title_of and title_of[xdg] not in shown:
                shown.append(title_of[xdg])
    return shown


@unittest.skipUnless(shutil.which("weston"), "weston is missing")
class WaylandOnly(unittest.TestCase):
    def setUp(self):
        busy = [n for n in (0, 1, 2) if x_server_on(n)]
        if busy:
            self.skipTest("an X server answers on :%d, which the program would rightly use"
                          % busy[0])
        self.root = tempfile.mkdtemp(prefix="vyr_wayland_")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.runtime = private_folder(self.root, "run")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(HOME=private_folder(self.root, "weston-home"), XDG_RUNTIME_DIR=self.runtime,
                   TMPDIR=private_folder(self.root, "weston-tmp"))
        self.weston = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--socket=" + SOCKET_NAME,
             "--width=1280", "--height=800", "--use-pixman", "--idle-time=0", "--debug",
             "--log=" + os.path.join(self.root, "weston.log")],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        self.addCleanup(stop, self.weston)
        self.weston_env = dict(env, WAYLAND_DISPLAY=SOCKET_NAME)
        if not wait_until(lambda: answers(os.path.join(self.runtime, SOCKET_NAME)), 30):
            self.fail("weston did not start: " + self.weston_log())

    def weston_log(self):
        try:
            with open(os.path.join(self.root, "weston.log"), errors="replace") as fh:
                return fh.read()
        except OSError:
            return ""

    def screenshot(self, name):
        """weston's own screen picture, kept for a look by eye."""
        folder = tempfile.mkdtemp(dir=self.root)
        subprocess.run(["weston-screenshooter"], env=self.weston_env, cwd=folder, timeout=30,
                       capture_output=True)
        for path in glob.glob(os.path.join(folder, "*.png")):
            shutil.move(path, os.path.join(shots_folder(), name))

    def test_capsule_shows_and_sigterm_ends_with_zero(self):
        home = private_folder(self.root, "home")
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PYTHONPATH",
                            "LOCALAPPDATA", "VYR_ALLOW_MULTI_INSTANCE", "XAUTHORITY")}
        env.update(HOME=home, TMPDIR=private_folder(home, "tmp"), XDG_RUNTIME_DIR=self.runtime,
                   WAYLAND_DISPLAY=SOCKET_NAME, WAYLAND_DEBUG="client")
        trace_path = os.path.join(self.root, "program.err")
        with open(trace_path, "wb") as trace:
            program = subprocess.Popen([os.path.join(DIST, PROGRAM)], cwd=home, env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=trace)
        self.addCleanup(stop, program)

        def trace_text():
            with open(trace_path, encoding="utf-8", errors="replace") as fh:
                return fh.read()

        shown = wait_until(lambda: program.poll() is not None or TITLE in shown_toplevels(
            trace_text()), 60)
        text = trace_text()
        self.assertIsNone(program.poll(), "the program ended with %s: %s" % (
            program.returncode, text[-3000:]))
        self.assertTrue(shown, "no toplevel was shown: " + text[-3000:])
        self.assertEqual(shown_toplevels(text)[0], TITLE)
        time.sleep(2)  # a refresh or two
        self.screenshot("09_wayland_capsule.png")

        program.send_signal(signal.SIGTERM)
        self.assertEqual(program.wait(120), 0)


if __name__ == "__main__":
    unittest.main()
