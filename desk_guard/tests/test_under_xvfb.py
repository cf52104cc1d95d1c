"""A second copy raises the first copy's real X11 window (run under Xvfb with
openbox as the window manager)."""
import json
import os
import shutil
import subprocess
import time
import unittest

import dg_support

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
deadline = time.monotonic() + 20
while not calls and time.monotonic() < deadline:
    tk.run(20)
tk.run(500)
print(json.dumps({"calls": len(calls), "state": tk.state(win)}), flush=True)
sys.stdin.readline()
"""


def xdotool(*args):
    proc = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=10)
    return proc.stdout.strip()


@unittest.skipUnless(os.environ.get("DISPLAY") and shutil.which("xdotool")
                     and shutil.which("openbox") and shutil.which("xprop"),
                     "needs an X display, xdotool, xprop and openbox")
class RealWindow(unittest.TestCase):
    def setUp(self):
        self.box = dg_support.Sandbox()
        self.addCleanup(self.box.cleanup)
        self.box.env["QT_QPA_PLATFORM"] = "xcb"
        wm_env = dict(self.box.env)
        self.wm = subprocess.Popen(["openbox"], env=wm_env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(self.wm.wait)
        self.addCleanup(self.wm.terminate)
        # Windows appear only once the window manager has taken the screen.
        deadline = time.monotonic() + 60  # slow on a loaded machine
        while time.monotonic() < deadline:
            probe = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                                   capture_output=True, text=True, env=wm_env)
            if "window id" in probe.stdout:
                break
            time.sleep(0.05)

    def test_second_start_raises_the_minimized_window(self):
        first = self.box.start(FIRST_COPY)
        self.addCleanup(first.kill)
        self.assertEqual(first.stdout.readline().strip(), "READY")
        self.assertEqual(xdotool("search", "--onlyvisible", "--name", "^Vyr Pano$"), "")
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
        shown = xdotool("search", "--onlyvisible", "--name", "^Vyr Pano$")
        self.assertNotEqual(shown, "")
        self.assertEqual(xdotool("getactivewindow", "getwindowname"), "Vyr Pano")
        if os.environ.get("VYR_SHOT"):
            subprocess.run(["import", "-window", "root", os.environ["VYR_SHOT"]], check=False)
        first.stdin.write("\n")
        first.stdin.flush()
        first.wait(timeout=30)
        self.assertEqual(first.returncode, 0)


if __name__ == "__main__":
    unittest.main()
