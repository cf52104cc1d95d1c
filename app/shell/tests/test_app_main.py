"""app.main() as the bootstrap sees it, on Qt's offscreen platform with the
fake engine: start-up order, the exit request with the event loop's result,
the signals, the GIL, errors that escape an event handler and the end of the
worker."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from apptest import DIST, NO_GUARD, Sandbox

# Runs main() and stops it with a signal once `ready()` holds (or after a
# while); prints what the test needs and the exit request's code.
RUNNER = """
import os, signal, sys, threading, time
import app

TICKS = [0]
READY = lambda: len(log_lines("snapshot")) >= {cycles}

def log_lines(prefix):
    try:
        with open(os.environ["FAKE_ENGINE_LOG"]) as fh:
            return [l for l in fh.read().splitlines() if l.startswith(prefix)]
    except FileNotFoundError:
        return []

def stopper():
    deadline = time.time() + 150  # a slow start on a busy machine still gets its signal late
    while not READY() and time.time() < deadline:
        TICKS[0] += 1          # Python runs while the event loop waits
        time.sleep(0.02)
    {before_signal}
    os.kill(os.getpid(), signal.{signal})

threading.Thread(target=stopper, daemon=True).start()
try:
    app.main()
    print("returned")
except SystemExit as e:
    print("SystemExit", repr(e.code))
after = len(log_lines("snapshot"))
time.sleep(0.6)
print("worker ended", len(log_lines("snapshot")) == after)
print("python ran", TICKS[0] > 0)
"""


class MainTestCase(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.log = os.path.join(self.box.root, "engine.log")

    def run_main(self, cycles=2, signal="SIGTERM", before_signal="pass", prelude="", **env):
        env.setdefault("QT_QPA_PLATFORM", "offscreen")
        env.setdefault("FAKE_ENGINE_LOG", self.log)
        # A log left by an earlier run would make the stopper signal at once, before
        # main() has its handlers.
        if os.path.exists(self.log):
            os.unlink(self.log)
        code = prelude + RUNNER.format(cycles=cycles, signal=signal, before_signal=before_signal)
        return self.box.run(code, **env)

    def engine_log(self):
        try:
            with open(self.log) as fh:
                return fh.read().splitlines()
        except FileNotFoundError:
            return []

    def write_settings(self, data):
        folder = os.path.join(self.box.home, ".config", "vyr-linux-monitor")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "settings.json"), "w") as fh:
            json.dump(data, fh)


class EndOfTheProgram(MainTestCase):
    def test_signals_end_with_status_zero_after_the_worker(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        for sig in ("SIGTERM", "SIGINT"):
            with self.subTest(sig):
                rc, out, err = self.run_main(signal=sig)
                self.assertEqual(rc, 0, err)
                self.assertEqual(out.splitlines(),
                                 ["SystemExit 0", "worker ended True", "python ran True"], err)
                log = self.engine_log()
                self.assertEqual(log[:2], ["settings.init", "engine.init"])
                # The worker samples, and collects no processes while the inspector is hidden.
                self.assertTrue(any(l.startswith("snapshot") for l in log))
                self.assertFalse(any(l.startswith("processes") for l in log))

    def test_numbers_do_not_follow_the_users_locale(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        rc, out, err = self.run_main(
            prelude="import locale\n",
            before_signal="print('numeric', locale.setlocale(locale.LC_NUMERIC), "
                          "locale.localeconv()['decimal_point'], flush=True)",
            LANG="tr_TR.UTF-8", LC_ALL=None, LC_NUMERIC=None)
        self.assertEqual(rc, 0, err)
        self.assertIn("numeric C .", out)


class StartUp(MainTestCase):
    def test_second_copy_ends_before_building_anything(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        first = self.box.start(
            "import app\nimport sys\n"
            "lock = app._ensure_single_instance()\nprint('held', flush=True)\nsys.stdin.readline()\n")
        self.addCleanup(first.communicate)
        self.addCleanup(first.kill)
        self.assertEqual(first.stdout.readline(), "held\n")
        rc, out, err = self.run_main()
        self.assertEqual((rc, out), (0, ""))
        self.assertEqual(self.engine_log(), [])  # no settings, no engine, no worker

    def test_desktop_helper_sees_the_window_before_it_is_shown(self):
        self.box.module("vyr_desk_guard", """
            import sys
            calls = []
            def ensure_vyr_single_instance(app_code, main_window=None):
                kind = type(main_window).__name__
                sys.stderr.write("guard %s %s\\n" % (app_code, kind))
                if main_window is not None:
                    raise RuntimeError("could not record the window")
                return True
        """)
        rc, out, err = self.run_main()
        self.assertEqual(rc, 0, err)
        self.assertIn("SystemExit 0", out)
        guard_lines = [l for l in err.splitlines() if l.startswith("guard")]
        self.assertEqual(guard_lines, ["guard MONITOR NoneType", "guard MONITOR PyCapsule"])
        self.assertNotIn("could not record", err)  # a failed registration is dropped
        # The helper took the instance: no lock file of our own.
        self.assertFalse(os.path.exists(os.path.join(self.box.tmp, "vyr-linux-monitor.lock")))

    def test_unreadable_refresh_period_still_starts(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        for value in ("fast", None, [1500], "2000", 1200.7):
            with self.subTest(refresh_ms=value):
                self.write_settings({"refresh_ms": value})
                rc, out, err = self.run_main(cycles=1)
                self.assertEqual(rc, 0, err)
                self.assertIn("SystemExit 0", out)

    def test_a_failing_engine_leaves_main_with_its_error(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        self.box.module("engine", """
            from pathlib import Path
            ASSETS_DIR = Path("/nonexistent/assets")
            class ProcessEntry: pass
            class SystemMetricsSnapshot: pass
            class SettingsManager:
                def get(self, key, default=None): return default
                def set(self, key, value): pass
            class SystemMonitorEngine:
                def __init__(self):
                    raise RuntimeError("no /proc here")
        """)
        rc, out, err = self.box.run("""
            import app
            try:
                app.main()
            except SystemExit:
                print("SystemExit")
            except RuntimeError as e:
                print("RuntimeError", e)
        """, QT_QPA_PLATFORM="offscreen")
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, "RuntimeError no /proc here\n")


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare") and os.path.isdir("/tmp/.X11-unix") and DIST,
                     "needs root, unshare, the X socket folder and the program folder")
class WithoutAnyDisplay(unittest.TestCase):
    """The program started where no X server and no Wayland compositor can be
    reached: a mount namespace with an empty folder over the X sockets, and a
    network namespace of its own, which hides the servers' abstract sockets."""

    def test_the_start_fails_with_a_message_and_the_launchers_failure_code(self):
        root = tempfile.mkdtemp(prefix="vyr_no_display_")
        self.addCleanup(shutil.rmtree, root, True)
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PYTHONPATH", "XAUTHORITY")}
        folders = {}
        for name in ("HOME", "TMPDIR", "XDG_RUNTIME_DIR", "LOCALAPPDATA"):
            folders[name] = os.path.join(root, name.lower())
            os.mkdir(folders[name], 0o700)
        env.update(folders)
        program = os.path.join(DIST, "Vyr_Sistem_Zuvedadu")
        proc = subprocess.run(
            ["unshare", "-m", "-n", "sh", "-c",
             'mount -t tmpfs none /tmp/.X11-unix && exec "$0"', program],
            env=env, cwd=root, capture_output=True, text=True, timeout=120)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        for name in ("Ekran bulunamadı", "DISPLAY: tanımsız", "WAYLAND_DISPLAY: tanımsız"):
            self.assertIn(name, proc.stderr)
        with open(os.path.join(folders["LOCALAPPDATA"], "Tovrin", "startup_error.log"), encoding="utf-8") as fh:
            log = fh.read()
        self.assertIn("Ekran bulunamadı", log)
        self.assertIn("WAYLAND_DISPLAY", log)


class ErrorsInHandlers(MainTestCase):
    def test_go_to_the_excepthook_and_the_program_goes_on(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        prelude = """
import sys
seen = []
def hook(t, v, tb):
    seen.append((t.__name__, str(v), tb is not None))
sys.excepthook = hook
"""
        rc, out, err = self.run_main(
            cycles=3, prelude=prelude,
            before_signal="print('hook', sorted(set(seen)), flush=True)",
            FAKE_ENGINE_FAIL_GET="bg_alpha")
        self.assertEqual(rc, 0, err)
        self.assertIn("hook [('ValueError', 'settings read failed for bg_alpha', True)]", out)
        self.assertIn("SystemExit 0", out)


if __name__ == "__main__":
    unittest.main()
