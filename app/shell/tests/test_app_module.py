"""The app module as Python sees it: loading, the environment it prepares,
the display probe and the single-instance rule."""
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from apptest import NO_GUARD, Sandbox


class ModuleTestCase(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)

    def run_ok(self, code, **env):
        rc, out, err = self.box.run(code, **env)
        self.assertEqual(rc, 0, err)
        return out


class Loading(ModuleTestCase):
    def test_names_and_their_order(self):
        out = self.run_ok("""
            import fcntl, os, signal, subprocess, sys, time, typing
            import engine
            import app
            own = [n for n in vars(app) if not (n.startswith("__") and n.endswith("__"))]
            print(own)
            print(app.fcntl is fcntl, app.os is os, app.signal is signal,
                  app.subprocess is subprocess, app.sys is sys, app.time is time)
            print(app.Dict is typing.Dict, app.List is typing.List, app.Optional is typing.Optional)
            print(app.ASSETS_DIR is engine.ASSETS_DIR, app.SettingsManager is engine.SettingsManager,
                  app.SystemMonitorEngine is engine.SystemMonitorEngine,
                  app.ProcessEntry is engine.ProcessEntry,
                  app.SystemMetricsSnapshot is engine.SystemMetricsSnapshot)
            print(app.__test__, callable(app.main), bool(app.__doc__))
        """)
        lines = out.splitlines()
        self.assertEqual(eval(lines[0]), [
            "fcntl", "os", "signal", "subprocess", "sys", "time", "Dict", "List", "Optional",
            "_configure_display_platform", "ASSETS_DIR", "ProcessEntry", "SettingsManager",
            "SystemMetricsSnapshot", "SystemMonitorEngine", "METRIC_META", "level_color",
            "_ensure_single_instance", "main"])
        self.assertEqual(lines[1:], ["True True True True True True", "True True True",
                                     "True True True True True", "{} True True"])

    def test_second_import_returns_the_first_module(self):
        out = self.run_ok("""
            import sys, warnings
            warnings.simplefilter("error")
            import engine
            calls = []
            real = engine.SettingsManager
            import app as first
            first.MARK = 1
            import app as again
            del sys.modules["app"]
            import app as third
            print(first is again is third, third.MARK)
        """)
        self.assertEqual(out, "True 1\n")

    def test_engine_missing_fails_the_import_and_a_later_import_starts_again(self):
        out = self.run_ok("""
            import sys
            sys.modules["engine"] = None   # the engine cannot be imported
            try:
                import app
            except ImportError as e:
                print("ImportError")
            print("app" in sys.modules)
            del sys.modules["engine"]
            import app
            print(app.SettingsManager.__module__)
        """)
        self.assertEqual(out.splitlines(), ["ImportError", "False", "engine"])

    def test_engine_without_a_name(self):
        self.box.module("engine", """
            ASSETS_DIR = None
            class SettingsManager: pass
        """)
        rc, out, err = self.box.run("import app")
        self.assertNotEqual(rc, 0)
        self.assertIn("ImportError: cannot import name 'ProcessEntry' from 'engine'", err)
        self.assertIn("init app", err)

    def test_metric_table(self):
        out = self.run_ok("""
            import app
            meta = app.METRIC_META
            print(repr([(k, list(v.items())) for k, v in meta.items()]))
            for target in (meta, meta["cpu"]):
                try:
                    target["new"] = 1
                except TypeError:
                    print("read-only")
        """)
        lines = out.splitlines()
        self.assertEqual(eval(lines[0]), [
            ("workload", [("short", "Vyr"), ("title", "Genel İş Yükü"),
                          ("full_title", "Genel İş Yükü & Ruvivu Dengesi"), ("accent", "#15803D")]),
            ("cpu", [("short", "CPU"), ("title", "İşlemci (CPU)"),
                     ("full_title", "İşlemci (CPU) Yükü ve Çekirdekler"), ("accent", "#0284C7")]),
            ("ram", [("short", "RAM"), ("title", "Bellek (RAM)"),
                     ("full_title", "Bellek (RAM) Kullanımı"), ("accent", "#4F46E5")]),
            ("disk", [("short", "DİSK"), ("title", "Hafıza (Disk)"),
                      ("full_title", "Hafıza (Disk Doluluk & Okuma/Yazma)"), ("accent", "#D97706")]),
            ("swap", [("short", "SWAP"), ("title", "Swap (Takas)"),
                      ("full_title", "Swap (Takas Belleği) Durumu"), ("accent", "#7C3AED")]),
        ])
        disk_short = eval(lines[0])[3][1][0][1]
        self.assertEqual([hex(ord(c)) for c in disk_short], ["0x44", "0x130", "0x53", "0x4b"])
        self.assertEqual(lines[1:], ["read-only", "read-only"])

    def test_level_color(self):
        out = self.run_ok("""
            import app
            for p in (88, 87.99, 75, 74.99, 0, -5, 150, float("nan"), 88.0):
                print(app.level_color(p, "#ABCDEF"))
            print(app.level_color(percent=90, default_hex="x"))
        """)
        self.assertEqual(out.split(), ["#DC2626", "#D97706", "#D97706", "#ABCDEF", "#ABCDEF",
                                       "#ABCDEF", "#DC2626", "#ABCDEF", "#DC2626", "#DC2626"])


class ScalingDefaults(ModuleTestCase):
    def test_set_only_where_absent(self):
        cases = [
            ({}, ("1", "1")),
            ({"QT_AUTO_SCREEN_SCALE_FACTOR": "0"}, ("0", "1")),
            ({"QT_ENABLE_HIGHDPI_SCALING": ""}, ("1", "")),
            ({"QT_AUTO_SCREEN_SCALE_FACTOR": "2", "QT_ENABLE_HIGHDPI_SCALING": "0"}, ("2", "0")),
        ]
        code = """
            import os, app
            print(repr((os.environ["QT_AUTO_SCREEN_SCALE_FACTOR"],
                        os.environ["QT_ENABLE_HIGHDPI_SCALING"])))
            print(os.popen("printenv QT_AUTO_SCREEN_SCALE_FACTOR").read().strip())
        """
        for env, expected in cases:
            with self.subTest(env=env):
                out = self.run_ok(code, QT_QPA_PLATFORM="offscreen", **env).splitlines()
                self.assertEqual(eval(out[0]), expected)
                self.assertEqual(out[1], expected[0])  # children see it too


def free_display_number():
    for n in range(140, 400):
        if not os.path.exists("/tmp/.X%d-lock" % n) and \
                not os.path.exists("/tmp/.X11-unix/X%d" % n):
            return n
    raise unittest.SkipTest("no free display number")


class DisplayProbe(ModuleTestCase):
    PROBE = """
        import os, app
        print(repr((os.environ.get("DISPLAY"), os.environ.get("QT_QPA_PLATFORM"))))
    """

    def probe(self, **env):
        return eval(self.run_ok(self.PROBE, **env).strip())

    def test_a_chosen_platform_stands(self):
        for value in ("wayland", "", "offscreen"):
            with self.subTest(platform=value):
                self.assertEqual(self.probe(QT_QPA_PLATFORM=value, DISPLAY=":0"), (":0", value))

    def test_an_unreadable_environment_stops_the_probe_and_an_interrupt_passes(self):
        # os.environ fails on reading DISPLAY: an ordinary error leaves the
        # platform to Qt (with a line in the app's trace when asked for), an
        # interrupt ends the load.
        code = """
            import os
            class Environment(dict):
                def __getitem__(self, key):
                    if key == "DISPLAY":
                        raise %s
                    return dict.__getitem__(self, key)
            os.environ = Environment(os.environ)
            import app
            print(os.environ.get("QT_QPA_PLATFORM"))
        """
        rc, out, err = self.box.run(code % "ValueError('no display here')", DISPLAY=":7",
                                    QT_LOGGING_RULES="vyr.app=true")
        self.assertEqual((rc, out), (0, "None\n"), err)
        self.assertIn("vyr.app: display probe: ValueError: no display here\n", err)
        rc, out, err = self.box.run(code % "KeyboardInterrupt", DISPLAY=":7")
        self.assertNotEqual(rc, 0)
        self.assertEqual(out, "")
        self.assertIn("KeyboardInterrupt", err)

    @unittest.skipUnless(shutil.which("Xvfb"), "Xvfb is not installed")
    def test_finds_a_running_display(self):
        n = free_display_number()
        server = subprocess.Popen(["Xvfb", ":%d" % n, "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        deadline = time.time() + 60  # Xvfb starts slowly on a busy machine
        while not os.path.exists("/tmp/.X11-unix/X%d" % n):
            if time.time() > deadline or server.poll() is not None:
                self.skipTest("Xvfb did not start")
            time.sleep(0.05)
        name = ":%d" % n
        self.assertEqual(self.probe(DISPLAY=name), (name, "xcb"))
        # A display name that opens nothing: the fixed names are tried next;
        # with none of them running the environment is left alone.
        fixed_running = any(os.path.exists("/tmp/.X11-unix/X%d" % i) for i in (0, 1, 2))
        if not fixed_running:
            self.assertEqual(self.probe(DISPLAY=":%d" % (n + 1)), (":%d" % (n + 1), None))
            self.assertEqual(self.probe(DISPLAY=None), (None, None))


class SingleInstance(ModuleTestCase):
    HOLD = """
        import sys, app
        lock = app._ensure_single_instance()
        print(type(lock).__name__, getattr(lock, "name", None), flush=True)
        sys.stdin.readline()
    """

    def lock_path(self):
        # The user's own folder in the temporary folder, made as the program makes it.
        folder = os.path.join(self.box.tmp, "vyr-%d" % os.geteuid())
        os.makedirs(folder, 0o700, exist_ok=True)
        return os.path.join(folder, "vyr-linux-monitor.lock")

    def held_by_another_user(self, path):
        """A process of another user that holds the lock on `path`, opened
        read-only for it; it ends when the test does."""
        fd = os.open(path, os.O_RDONLY)
        self.addCleanup(os.close, fd)
        holder = subprocess.Popen(
            ["setpriv", "--reuid=54321", "--regid=54321", "--clear-groups",
             "sh", "-c", "flock -x %d && echo held && read x" % fd],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, pass_fds=(fd,))
        self.addCleanup(holder.wait)
        self.addCleanup(holder.stdin.close)
        self.assertEqual(holder.stdout.readline(), "held\n")

    def test_fallback_lock_keeps_a_second_copy_out(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        first = self.box.start(self.HOLD)
        self.addCleanup(first.communicate)
        self.addCleanup(first.kill)
        line = first.stdout.readline().split()
        self.assertEqual(line, ["TextIOWrapper", self.lock_path()])

        rc, out, err = self.box.run("""
            import app
            app._ensure_single_instance()
            print("still running")
        """)
        self.assertEqual((rc, out, err), (0, "", ""))
        self.assertIsNone(first.poll())  # the first copy is undisturbed

        first.kill()
        first.communicate()
        # The file left behind does not block the next start.
        out = self.run_ok("import app; print(app._ensure_single_instance() is not None)")
        self.assertEqual(out, "True\n")

    def test_lock_file_contents_are_kept(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        with open(self.lock_path(), "w") as fh:
            fh.write("12345")
        self.run_ok("import app; f = app._ensure_single_instance(); assert f is not None")
        with open(self.lock_path()) as fh:
            self.assertEqual(fh.read(), "12345")

    def test_lock_file_that_cannot_be_used_runs_without_a_lock(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        victim = os.path.join(self.box.root, "victim")
        with open(victim, "w") as fh:
            fh.write("precious")
        cases = {
            "a folder in the way": lambda: os.mkdir(self.lock_path()),
            "a symbolic link": lambda: os.symlink(victim, self.lock_path()),
        }
        for name, make in cases.items():
            with self.subTest(name):
                if os.path.islink(self.lock_path()):
                    os.unlink(self.lock_path())
                elif os.path.isdir(self.lock_path()):
                    os.rmdir(self.lock_path())
                make()
                out = self.run_ok("import app; print(app._ensure_single_instance())")
                self.assertEqual(out, "None\n")
        with open(victim) as fh:
            self.assertEqual(fh.read(), "precious")

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv") and shutil.which("flock"),
                         "needs root, setpriv and flock to act as another user")
    def test_another_users_lock_files_do_not_count(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        # Another user holding the name in the shared temporary folder keeps nobody out.
        shared = os.path.join(self.box.tmp, "vyr-linux-monitor.lock")
        open(shared, "w").close()
        os.chown(shared, 54321, 54321)
        self.held_by_another_user(shared)
        out = self.run_ok("import app; print(app._ensure_single_instance().name)")
        self.assertEqual(out, self.lock_path() + "\n")

        # A file in our own folder that another user owns, or may write to, is
        # not our lock: this copy runs without one, even while it is held.
        cases = {
            "owned by another user": lambda path: os.chown(path, 54321, 54321),
            "writable by others": lambda path: os.chmod(path, 0o666),
        }
        for name, make in cases.items():
            with self.subTest(name):
                if os.path.exists(self.lock_path()):
                    os.unlink(self.lock_path())
                open(self.lock_path(), "w").close()
                make(self.lock_path())
                self.held_by_another_user(self.lock_path())
                out = self.run_ok("import app; print(app._ensure_single_instance())")
                self.assertEqual(out, "None\n")

    def test_without_file_locking_every_copy_runs(self):
        self.box.module("vyr_desk_guard", NO_GUARD)
        out = self.run_ok("""
            import os, app
            app.fcntl = None
            print(app._ensure_single_instance(), os.path.exists(%r))
        """ % self.lock_path())
        self.assertEqual(out, "None False\n")

    def test_desktop_helper_comes_first(self):
        cases = [
            ("returns False", "return False", "None\nMONITOR None\n", False),
            ("returns True", "return True", "None\nMONITOR None\n", False),
            ("fails", "raise RuntimeError('no socket')", "file\nMONITOR None\n", True),
        ]
        for name, body, expected, locked in cases:
            with self.subTest(name):
                if os.path.exists(self.lock_path()):
                    os.unlink(self.lock_path())
                self.box.module("vyr_desk_guard", """
                    import sys
                    def ensure_vyr_single_instance(app_code, main_window=None):
                        sys.stderr.write("%%s %%s\\n" %% (app_code, main_window))
                        %s
                """ % body)
                rc, out, err = self.box.run("""
                    import app
                    r = app._ensure_single_instance()
                    print("file" if r is not None else r)
                """)
                self.assertEqual(rc, 0, err)
                self.assertEqual(out + err, expected)
                self.assertEqual(os.path.exists(self.lock_path()), locked)

    def test_an_exit_request_from_the_helper_passes_on(self):
        self.box.module("vyr_desk_guard", """
            def ensure_vyr_single_instance(app_code, main_window=None):
                raise SystemExit(7)
        """)
        rc, out, err = self.box.run("import app; app._ensure_single_instance(); print('no')")
        self.assertEqual((rc, out), (7, ""))


if __name__ == "__main__":
    unittest.main()
