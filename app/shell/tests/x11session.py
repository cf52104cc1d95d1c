"""A virtual X display with a window manager, and the monitor program run on
it from the program folder, for the end-to-end tests and the benchmark."""
import atexit
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "common", "tests"))
import x11display  # noqa: E402
from x11display import EVENT_WAIT, VirtualDisplay, private_folder, wait_until  # noqa: E402,F401

TITLE = "Vyr Ruvivu Zizodiro"
PROGRAM = "Vyr_Sistem_Zuvedadu"


_shots = []


def shots_folder():
    """Where the screenshots of this run go: VYR_E2E_SHOTS when set (they stay
    there for a look by eye), else a temporary folder of this run, removed when
    the run ends."""
    if not _shots:
        folder = os.environ.get("VYR_E2E_SHOTS")
        if folder:
            os.makedirs(folder, exist_ok=True)
        else:
            folder = tempfile.mkdtemp(prefix="vyr_e2e_shots_")
            atexit.register(shutil.rmtree, folder, True)
        _shots.append(folder)
    return _shots[0]


def have_tools():
    return x11display.have_tools("openbox", "xprop", "xdotool", "import")


class X11Session:
    """Xvfb (1920 x 1080) with openbox on a display of its own."""

    def __init__(self, width=1920, height=1080):
        self.x = VirtualDisplay(width, height)
        self.root, self.display = self.x.root, self.x.display
        self.env = dict(os.environ)
        for k in ("QT_QPA_PLATFORM", "PYTHONPATH", "LOCALAPPDATA", "VYR_ALLOW_MULTI_INSTANCE",
                  "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING"):
            self.env.pop(k, None)
        self.env = self.x.with_display(self.env)

    def close(self):
        self.x.close()

    def xdotool(self, *args):
        proc = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=20)
        if proc.returncode != 0:
            return None
        return proc.stdout

    def windows(self, pid, visible=True):
        args = ["search"] + (["--onlyvisible"] if visible else []) + ["--pid", str(pid)]
        out = self.xdotool(*args)
        return [int(w) for w in out.split()] if out else []

    def window_name(self, wid):
        out = self.xdotool("getwindowname", str(wid))
        return out.strip() if out is not None else None

    def geometry(self, wid):
        out = self.xdotool("getwindowgeometry", "--shell", str(wid))
        if not out:
            return None
        vals = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(vals["X"]), int(vals["Y"]), int(vals["WIDTH"]), int(vals["HEIGHT"])

    def find(self, pid, name, visible=True, prefix=False):
        for wid in self.windows(pid, visible):
            title = self.window_name(wid)
            if title == name or (prefix and title and title.startswith(name)):
                return wid
        return None

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.env, timeout=30,
                       capture_output=True)
        return path

    def pointer_to(self, x, y):
        self.xdotool("mousemove", str(x), str(y))

    def click(self, x, y, button=1):
        self.xdotool("mousemove", str(x), str(y))
        time.sleep(0.1)
        self.xdotool("click", str(button))

    def key(self, *keys):
        self.xdotool("key", *keys)


class Monitor:
    """The program, started from its folder with HOME in a temporary folder."""

    def __init__(self, session, dist, home, extra_env=None, args=()):
        self.session = session
        self.home = home
        env = dict(session.env)
        env["HOME"] = home
        env["TMPDIR"] = private_folder(home, "tmp")
        env["XDG_RUNTIME_DIR"] = private_folder(home, "run")
        env.update(extra_env or {})
        self.proc = subprocess.Popen([os.path.join(dist, PROGRAM), *args], cwd=home, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    @property
    def pid(self):
        return self.proc.pid

    def main_window(self, timeout=EVENT_WAIT):
        return wait_until(lambda: self.session.find(self.pid, TITLE), timeout)

    def settings(self):
        path = os.path.join(self.home, ".config", "vyr-linux-monitor", "settings.json")
        try:
            with open(path, encoding="utf-8") as fh:
                return json.load(fh)
        except (OSError, ValueError):
            return {}

    def signal(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)

    def wait(self, timeout=EVENT_WAIT):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return self.proc.returncode

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        out, err = self.proc.communicate()
        return out, err
