"""A virtual X display for the tests and benchmarks that need real windows:
Xvfb on a display number of its own, optionally managed by openbox.

Xvfb runs with -noreset. By default it resets itself each time its last
client disconnects, and a client that connects during that reset fails to
open the display. The start-up wait polls with short-lived clients (xprop),
so now and then the last poll left just as openbox connected: openbox ended
at once ("Failed to open the display") and the wait ran out for nothing.

openbox gets a home, runtime and temporary folder of its own and nothing of
the caller's session (no session manager, no bus); what it prints goes to a
log in the display's folder, which a failed start reports."""
import os
import shutil
import subprocess
import tempfile
import time

# Clear of :0 to :2 (which the monitor's display probe tries) and of
# xvfb-run's numbers from 99 up.
DISPLAY_NUMBERS = range(400, 700)
WM_START_WAIT = 60  # seconds; starting a window manager is slow on a loaded machine
# How long a check waits for a window, a click's outcome or a paint: far above what a
# loaded machine takes; only a failing check waits that long.
EVENT_WAIT = 60


def have_tools(*names):
    return all(shutil.which(n) for n in ("Xvfb",) + names)


def wait_until(pred, timeout=EVENT_WAIT, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = pred()
        if value:
            return value
        time.sleep(step)
    return None


def stop(proc):
    """Ends a started program: politely first, then for good."""
    if proc is not None and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def private_folder(*parts):
    path = os.path.join(*parts)
    os.makedirs(path, mode=0o700, exist_ok=True)
    return path


class VirtualDisplay:
    """Xvfb at `width` x `height` (24 bits), with openbox when `window_manager`."""

    def __init__(self, width=1920, height=1080, window_manager=True):
        self.root = tempfile.mkdtemp(prefix="vyr_x11_")
        self.xvfb = self.wm = None
        try:
            self.xvfb, self.display = self._start_server(width, height)
            if window_manager:
                self.wm = self._start_window_manager()
        except BaseException:
            self.close()
            raise

    def with_display(self, env):
        """A copy of `env` that points X clients at this display only."""
        env = dict(env)
        for key in ("WAYLAND_DISPLAY", "XAUTHORITY"):
            env.pop(key, None)
        env["DISPLAY"] = self.display
        return env

    def _start_server(self, width, height):
        log = open(os.path.join(self.root, "xvfb.log"), "ab")
        try:
            for number in DISPLAY_NUMBERS:
                read_fd, write_fd = os.pipe()
                server = subprocess.Popen(
                    ["Xvfb", ":%d" % number, "-displayfd", str(write_fd), "-screen", "0",
                     "%dx%dx24" % (width, height), "-nolisten", "tcp", "-noreset"],
                    pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
                os.close(write_fd)
                # The number arrives once the server accepts clients; end of file
                # means that it gave up (the number is taken).
                with os.fdopen(read_fd) as fh:
                    ready = fh.readline().strip()
                if ready:
                    return server, ":" + ready
                server.wait()
        finally:
            log.close()
        raise RuntimeError("Xvfb did not start")

    def _start_window_manager(self):
        home = private_folder(self.root, "wm-home")
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "DISPLAY": self.display,
            "HOME": home,
            "XDG_RUNTIME_DIR": private_folder(self.root, "wm-run"),
            "TMPDIR": private_folder(self.root, "wm-tmp"),
            "LANG": "C.UTF-8",
        }
        log_path = os.path.join(self.root, "openbox.log")
        with open(log_path, "ab") as log:
            wm = subprocess.Popen(["openbox"], env=env, cwd=home, stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log)
        # Windows mapped before the window manager runs are taken over late, and
        # their toolkits then misjudge where they are: wait for it.
        if wait_until(lambda: wm.poll() is not None or self._window_manager_running(),
                      WM_START_WAIT) and wm.poll() is None:
            return wm
        status = wm.poll()
        if status is None:
            wm.kill()
            wm.wait()
        with open(log_path, encoding="utf-8", errors="replace") as fh:
            raise RuntimeError("openbox did not start (%s): %s" % (
                "ended with %d" % status if status is not None else "no answer",
                fh.read().strip()))

    def _window_manager_running(self):
        proc = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                              env={"PATH": os.environ.get("PATH", ""), "DISPLAY": self.display},
                              capture_output=True, text=True, timeout=20)
        return "window id" in proc.stdout

    def close(self):
        stop(self.wm)
        stop(self.xvfb)
        shutil.rmtree(self.root, ignore_errors=True)
