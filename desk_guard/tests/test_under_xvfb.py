"""A second copy raises the first copy's real X11 window (run under Xvfb with
openbox as the window manager)."""
import json
import os
import subprocess
import sys
import unittest

import dg_support

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "common", "tests"))
import x11display  # noqa: E402

FIRST_COPY = """
import json, sys, time
import vyr_desk_guard_testkit as tk
import vyr_desk_guard as dg
tk.app()
win = tk.window("Vyr Pano")
dg.ensure_vyr_single_instance("MONITOR", None)
dg.ensure_vyr_single_instance("MONITOR", win)
tk.show(win)
tk.run(300)
tk.show(win, "minimized")
tk.run(300)
calls = []
activate = dg._activate_vyr_window
def counting(*args):
    calls.append(args)
    activate(*args)
dg._activate_vyr_window = counting
print("READY", flush=True)
deadline = time.monotonic() + 600  # until the second copy came, however slow the machine
while not calls and time.monotonic() < deadline:
    tk.run(20)
tk.run(500)
print(json.dumps({"calls": len(calls), "state": tk.state(win)}), flush=True)
sys.stdin.readline()
"""


@unittest.skipUnless(x11display.have_tools("xdotool", "openbox", "xprop"),
                     "needs Xvfb, xdotool, xprop and openbox")
class RealWindow(unittest.TestCase):
    def setUp(self):
        self.box = dg_support.Sandbox()
        self.addCleanup(self.box.cleanup)
        # Windows appear only once the window manager has taken the screen.
        self.x = x11display.VirtualDisplay(1280, 800)
        self.addCleanup(self.x.close)
        self.box.env = self.x.with_display(self.box.env)
        self.box.env["QT_QPA_PLATFORM"] = "xcb"

    def xdotool(self, *args):
        proc = subprocess.run(["xdotool", *args], env=self.box.env, capture_output=True,
                              text=True, timeout=x11display.EVENT_WAIT)
        return proc.stdout.strip()

    def test_second_start_raises_the_minimized_window(self):
        first = self.box.start(FIRST_COPY)
        self.addCleanup(first.kill)
        self.assertEqual(first.stdout.readline().strip(), "READY")
        # The window manager takes the minimised window off the screen a moment later.
        self.assertTrue(x11display.wait_until(
            lambda: self.xdotool("search", "--onlyvisible", "--name", "^Vyr Pano$") == ""),
            "the minimised window is still on the screen")
        second = self.box.run("""
            import vyr_desk_guard_testkit as tk
            import vyr_desk_guard as dg
            tk.app()
            dg.ensure_vyr_single_instance("MONITOR")
            print("second copy kept running")
        """)
        self.assertEqual((second.returncode, second.stdout), (0, ""), second.stderr)
        report = json.loads(first.stdout.readline())
        self.assertEqual(report["calls"], 1)
        self.assertEqual((report["state"]["visible"], report["state"]["minimized"]), (True, False))
        self.assertTrue(x11display.wait_until(
            lambda: self.xdotool("search", "--onlyvisible", "--name", "^Vyr Pano$")),
            "the restored window is not on the screen")
        x11display.wait_until(lambda: self.xdotool("getactivewindow", "getwindowname") == "Vyr Pano")
        self.assertEqual(self.xdotool("getactivewindow", "getwindowname"), "Vyr Pano")
        if os.environ.get("VYR_SHOT"):
            subprocess.run(["import", "-window", "root", os.environ["VYR_SHOT"]], check=False,
                           env=self.box.env)
        first.stdin.write("\n")
        first.stdin.flush()
        first.wait(timeout=30)
        self.assertEqual(first.returncode, 0)


if __name__ == "__main__":
    unittest.main()
