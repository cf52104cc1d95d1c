"""A virtual X display with a window manager, and the monitor program run on
it from the program folder, for the end-to-end tests and the benchmark."""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

TITLE = "Vyr Ruvivu Zizodiro"
PROGRAM = "Vyr_Sistem_Zuvedadu"


def have_tools():
    return all(shutil.which(t) for t in ("Xvfb", "openbox", "xdotool", "import"))


def wait_until(pred, timeout=20.0, step=0.05):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = pred()
        if value:
            return value
        time.sleep(step)
    return None


class X11Session:
    """Xvfb (1920 x 1080) with openbox on a display of its own."""

    def __init__(self, width=1920, height=1080):
        self.root = tempfile.mkdtemp(prefix="vyr_x11_")
        # Display numbers of its own: clear of :0 to :2 (which the display probe
        # tries) and of xvfb-run's numbers from 99 up.
        self.xvfb, self.display = None, None
        # -noreset: by default the server resets whenever its last client leaves, and
        # a window manager that connects while the server resets after a probe
        # (xprop below) fails to open the display.
        for number in range(400, 700):
            read_fd, write_fd = os.pipe()
            server = subprocess.Popen(
                ["Xvfb", ":%d" % number, "-displayfd", str(write_fd), "-screen", "0",
                 "%dx%dx24" % (width, height), "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_fd)
            with os.fdopen(read_fd) as fh:
                ready = fh.readline().strip()
            if ready:
                self.xvfb, self.display = server, ":" + ready
                break
            server.wait()  # that number is taken: the server gave up
        if self.xvfb is None:
            raise RuntimeError("Xvfb did not start")
        self.env = dict(os.environ)
        for k in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "PYTHONPATH", "LOCALAPPDATA",
                  "VYR_ALLOW_MULTI_INSTANCE", "QT_AUTO_SCREEN_SCALE_FACTOR",
                  "QT_ENABLE_HIGHDPI_SCALING"):
            self.env.pop(k, None)
        self.env["DISPLAY"] = self.display
        self.wm = subprocess.Popen(["openbox"], env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        # Windows mapped before the window manager runs are taken over late,
        # and Qt then misjudges where they are: wait for it.
        if not wait_until(self.window_manager_running, 60):  # slow on a loaded machine
            self.close()
            raise RuntimeError("openbox did not start")

    def window_manager_running(self):
        proc = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env,
                              capture_output=True, text=True, timeout=20)
        return "window id" in proc.stdout

    def close(self):
        for p in (self.wm, self.xvfb):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(self.root, ignore_errors=True)

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
        env["TMPDIR"] = os.path.join(home, "tmp")
        os.makedirs(env["TMPDIR"], exist_ok=True)
        env.update(extra_env or {})
        self.proc = subprocess.Popen([os.path.join(dist, PROGRAM), *args], cwd=home, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    @property
    def pid(self):
        return self.proc.pid

    def main_window(self, timeout=30):
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

    def wait(self, timeout=30):
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
