"""The launcher as a user starts it: exit codes, start-up log, arguments, environment and the
single running copy."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from launcher_harness import LauncherTestCase, status_of  # noqa: E402

STARTUP_FAILURE = "Vyr Ruvivu Zizodiro: Python 3.12 Runtime (python312.dll) baslatilamadi."


class ExitCode(LauncherTestCase):
    def test_application_outcome_becomes_the_exit_code(self):
        cases = [
            # (what the app does, the launcher's exit code)
            ("pass", 0),
            ("sys.exit()", 0),
            ("sys.exit(None)", 0),
            ("sys.exit(3)", 3),
            ("sys.exit(True)", 1),
            ("sys.exit(False)", 0),
            ("sys.exit('bye')", 1),
            ("sys.exit(-1)", -1),
            ("sys.exit(2**31 - 1)", 2**31 - 1),
            ("sys.exit(-2**31)", -2**31),
            ("sys.exit(2**31)", 1),
            ("sys.exit(2**40)", 1),
            ("sys.exit(2**70)", 1),
            ("sys._vyr_exit_code = 7", 7),
            ("del sys._vyr_exit_code", 1),
            ("sys._vyr_exit_code = '3'", 1),
            ("sys._vyr_exit_code = 3.0", 1),
        ]
        folder = self.program_folder()
        for action, code in cases:
            with self.subTest(action=action):
                proc = self.run_launcher(folder, env=self.env(VYR_TEST_ACTION=action))
                self.assertEqual(proc.returncode, status_of(code), proc.stderr)
                self.assertFalse(os.path.exists(os.path.join(folder, "Tovrin")))

    def test_module_without_main_ends_with_zero(self):
        folder = self.program_folder()
        proc = self.run_launcher(folder, env=self.env(VYR_TEST_NO_MAIN="1",
                                                      VYR_TEST_ACTION="sys.exit(4)"))
        self.assertEqual(proc.returncode, 0, proc.stderr)

    def test_failure_outside_the_application_gives_one(self):
        # The working folder cannot be read: the bootstrap script itself fails.
        folder = self.program_folder()
        with open(os.path.join(folder, "sitecustomize.py"), "w") as f:
            f.write("import os\n"
                    "def broken():\n"
                    "    raise OSError('no folder')\n"
                    "os.getcwd = broken\n")
        proc = self.run_launcher(folder)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("OSError: no folder", proc.stderr)

    def test_runtime_that_cannot_start_is_reported(self):
        folder = self.program_folder()
        proc = self.run_launcher(folder, env=self.env(PYTHONHOME=os.path.join(self.scratch, "none")))
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stderr.splitlines()[-1], STARTUP_FAILURE)


class StartupErrorLog(LauncherTestCase):
    def test_failures_are_logged_under_local_app_data_or_the_program_folder(self):
        long_text = "ç" * 3000
        cases = [
            # (app present, action, LOCALAPPDATA given, expected text in the log)
            (True, "raise RuntimeError('çalışmadı')", True, "RuntimeError: çalışmadı"),
            (True, "raise RuntimeError('çalışmadı')", False, "RuntimeError: çalışmadı"),
            (True, "raise KeyboardInterrupt", True, "KeyboardInterrupt"),
            (True, f"raise ValueError('{long_text}')", True, f"ValueError: {long_text}"),
            (False, "pass", True, "ModuleNotFoundError: No module named 'app'"),
            (False, "pass", False, "ModuleNotFoundError: No module named 'app'"),
        ]
        for i, (app, action, local, text) in enumerate(cases):
            with self.subTest(action=action, app=app, local=local):
                folder = self.program_folder(f"prog{i}", app=app)
                local_dir = os.path.join(self.scratch, f"local{i}")
                log_dir = os.path.join(local_dir if local else folder, "Tovrin")
                log = os.path.join(log_dir, "startup_error.log")
                # An earlier log is replaced.
                os.makedirs(log_dir)
                with open(log, "w") as f:
                    f.write("an earlier failure\n" * 100)
                env = self.env(VYR_TEST_ACTION=action, LOCALAPPDATA=local_dir if local else None)
                proc = self.run_launcher(folder, env=env)
                self.assertEqual(proc.returncode, 1, proc.stderr)
                with open(log, "rb") as f:
                    logged = f.read().decode("utf-8")
                self.assertTrue(logged.startswith("Traceback (most recent call last):\n"), logged)
                self.assertTrue(logged.endswith(text + "\n"), logged[-200:])
                self.assertNotIn("an earlier failure", logged)
                self.assertFalse(logged.startswith("\ufeff"))
                # On the terminal as well: there is no message box here.
                self.assertEqual(proc.stderr, logged)

    def test_unwritable_log_folders_fall_back_to_the_program_folder_then_stderr(self):
        blocker = os.path.join(self.scratch, "not-a-folder")
        with open(blocker, "w") as f:
            f.write("x")
        cases = [
            # (LOCALAPPDATA, the program folder's Tovrin is a file, logged in the program folder)
            (blocker, False, True),
            (os.path.join(blocker, "below"), False, True),
            (blocker, True, False),
        ]
        for i, (local, tovrin_blocked, logged) in enumerate(cases):
            with self.subTest(local=local, tovrin_blocked=tovrin_blocked):
                folder = self.program_folder(f"prog{i}")
                if tovrin_blocked:
                    with open(os.path.join(folder, "Tovrin"), "w") as f:
                        f.write("x")
                proc = self.run_launcher(folder, env=self.env(
                    VYR_TEST_ACTION="raise RuntimeError('açılmadı')", LOCALAPPDATA=local))
                self.assertEqual(proc.returncode, 1, proc.stderr)
                self.assertTrue(proc.stderr.startswith("Traceback (most recent call last):\n"))
                self.assertTrue(proc.stderr.endswith("RuntimeError: açılmadı\n"), proc.stderr)
                log = os.path.join(folder, "Tovrin", "startup_error.log")
                if logged:
                    with open(log, encoding="utf-8") as f:
                        self.assertEqual(f.read(), proc.stderr)
                else:
                    self.assertFalse(os.path.exists(log))

    def test_empty_local_app_data_means_the_working_folder(self):
        folder = self.program_folder()
        proc = self.run_launcher(folder, env=self.env(VYR_TEST_ACTION="raise OSError",
                                                      LOCALAPPDATA=""))
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(os.path.isfile(os.path.join(folder, "Tovrin", "startup_error.log")))


class Surroundings(LauncherTestCase):
    def test_arguments_reach_sys_argv_unread(self):
        folder = self.program_folder()
        exe = os.path.join(folder, "Vyr_Sistem_Zuvedadu")
        args = ["a", "b c", "çalış", "-X", "dev", "-c", "print(1)", "--", "-m", ""]
        report = self.report_path("argv")
        proc = self.run_launcher(folder, args, env=self.env(VYR_TEST_REPORT=report))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data = self.wait_for_report(report)
        self.assertEqual(data["argv"], [exe] + args)
        self.assertFalse(data["dev_mode"])
        self.assertEqual(proc.stdout, "")

    def test_closed_standard_streams_are_opened_on_the_null_device(self):
        # Started with standard input, output or error closed, the launcher's own
        # files (its lock first) must not take their numbers: the program's output
        # would land in them.
        action = ("import sys\n"
                  "print('a line of output', flush=True)\n"
                  "sys.stderr.write('a line of errors\\n'); sys.stderr.flush()\n"
                  "report(fds=[os.readlink('/proc/self/fd/%d' % n) for n in range(3)])\n"
                  "sys.exit(6)")
        for closed in ((0, 1, 2), (0,), (1,), (2,), (1, 2)):
            with self.subTest(closed=closed):
                folder = self.program_folder("prog-" + "".join(map(str, closed)))
                report = self.report_path("fds-" + "".join(map(str, closed)))

                def close_streams():
                    for fd in closed:
                        os.close(fd)
                proc = subprocess.run(
                    [os.path.join(folder, "Vyr_Sistem_Zuvedadu")],
                    env=self.env(VYR_TEST_REPORT=report, VYR_TEST_ACTION=action),
                    cwd=self.scratch, input="", capture_output=True, text=True, timeout=60,
                    preexec_fn=close_streams)
                self.assertEqual(proc.returncode, 6, proc.stderr)
                fds = self.wait_for_report(report, key="fds")["fds"]
                for fd in range(3):
                    self.assertEqual(fds[fd] == "/dev/null", fd in closed, (fd, fds[fd]))
                self.assertEqual(proc.stdout, "" if 1 in closed else "a line of output\n")
                self.assertEqual(proc.stderr, "" if 2 in closed else "a line of errors\n")
                # The lock file (the only file in the session folder) stays empty.
                for name in os.listdir(self.runtime_dir):
                    with open(os.path.join(self.runtime_dir, name), "rb") as f:
                        self.assertEqual(f.read(), b"", name)

    def test_program_folder_search_path_and_environment(self):
        sep = os.pathsep
        qt = os.path.join("Lib", "site-packages", "PyQt5", "Qt5")
        cases = [
            # (folders made in the program folder, old PATH, expected values relative to it)
            ([], "/usr/bin:/bin",
             {"path0": ".", "PATH": ["."], "plugins": None}),
            ([], None,
             {"path0": ".", "PATH": ["."], "plugins": None}),
            ([], "{folder}" + sep + "/bin",  # already holds the program folder
             {"path0": ".", "PATH": ["."], "plugins": None}),
            ([os.path.join(qt, "bin"), os.path.join(qt, "plugins")], "/bin",
             {"path0": os.path.join("Lib", "site-packages"), "path1": ".",
              "PATH": [".", os.path.join(qt, "bin")], "plugins": os.path.join(qt, "plugins")}),
            (["plugins", os.path.join(qt, "plugins")], "/bin",
             {"path0": os.path.join("Lib", "site-packages"), "path1": ".",
              "PATH": ["."], "plugins": "plugins"}),
        ]
        for i, (folders, old_path, expected) in enumerate(cases):
            with self.subTest(folders=folders, old_path=old_path):
                folder = self.program_folder(f"prog{i}")
                for sub in folders:
                    os.makedirs(os.path.join(folder, sub), exist_ok=True)
                if old_path is not None:
                    old_path = old_path.format(folder=folder)
                report = self.report_path(f"env{i}")
                env = self.env(VYR_TEST_REPORT=report, PATH=old_path,
                               QT_QPA_PLATFORM_PLUGIN_PATH="/earlier")
                proc = self.run_launcher(folder, env=env, cwd="/")
                self.assertEqual(proc.returncode, 0, proc.stderr)
                data = self.wait_for_report(report)

                def full(rel):
                    return os.path.normpath(os.path.join(folder, rel))

                self.assertEqual(data["cwd"], folder)
                self.assertEqual(data["PYTHONPATH"], folder)
                self.assertEqual(data["path"][0], full(expected["path0"]))
                if "path1" in expected:
                    self.assertEqual(data["path"][1], full(expected["path1"]))
                self.assertEqual(data["path"].count(folder), 1)
                front = sep.join(full(p) for p in expected["PATH"]) + sep
                self.assertEqual(data["PATH"], front + (old_path or ""))
                plugins = expected["plugins"]
                self.assertEqual(data["QT_QPA_PLATFORM_PLUGIN_PATH"],
                                 full(plugins) if plugins else "/earlier")


class SingleRunningCopy(LauncherTestCase):
    def test_second_copy_without_skip_option_leaves_at_once(self):
        layouts = [
            ("session folder", {}),
            ("temporary folder", {"XDG_RUNTIME_DIR": None, "TMPDIR": "tmp"}),
        ]
        for layout, changes in layouts:
            with self.subTest(layout=layout):
                changes = {k: (os.path.join(self.scratch, v) if v else v) for k, v in changes.items()}
                if changes.get("TMPDIR"):
                    os.makedirs(changes["TMPDIR"], exist_ok=True)
                folder = self.program_folder("prog-" + layout.replace(" ", "-"))
                # A folder whose name holds a skip option lets every copy from it run.
                skip_folder = self.program_folder(f"--self-test-{layout.replace(' ', '-')}")
                first_report = self.report_path("first")
                first = self.start_launcher(folder, env=self.env(
                    VYR_TEST_REPORT=first_report, VYR_TEST_ACTION="wait_for_stop()", **changes))
                self.wait_for_report(first_report, first)

                cases = [
                    # (program folder, arguments, runs beside the first copy)
                    (folder, [], False),
                    (folder, ["--Service"], False),
                    (folder, ["--SERVICE", "--Headless"], False),
                    (folder, ["--statusbar"], True),
                    (folder, ["a", "b=--service"], True),
                    (folder, ["--screenshot"], True),
                    (skip_folder, [], True),
                ]
                for i, (where, args, runs) in enumerate(cases):
                    report = self.report_path(f"copy{i}")
                    proc = self.run_launcher(where, args, env=self.env(
                        VYR_TEST_REPORT=report, VYR_TEST_ACTION="sys.exit(6)", **changes))
                    self.assertIsNone(first.poll(), "the first copy ended before the test stopped it")
                    self.assertEqual(proc.returncode, 6 if runs else 0, (args, proc.stderr))
                    self.assertEqual(os.path.exists(report), runs, args)
                    if runs:
                        os.remove(report)
                self.assertIsNone(first.poll())
                self.assertEqual(self.stop_running(), [0])
                os.remove(first_report)

                # With the first copy gone the next one is the first.
                report = self.report_path("after")
                proc = self.run_launcher(folder, env=self.env(VYR_TEST_REPORT=report, **changes))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertTrue(os.path.exists(report))
                os.remove(report)

    def test_copy_with_skip_option_leaves_the_lock_alone(self):
        folder = self.program_folder()
        skipping = self.start_launcher(folder, ["--status"], env=self.env(
            VYR_TEST_REPORT=self.report_path("skipping"), VYR_TEST_ACTION="wait_for_stop()"))
        self.wait_for_report(self.report_path("skipping"), skipping)
        first = self.start_launcher(folder, env=self.env(
            VYR_TEST_REPORT=self.report_path("first"), VYR_TEST_ACTION="wait_for_stop()"))
        self.wait_for_report(self.report_path("first"), first)
        late = self.run_launcher(folder, env=self.env(VYR_TEST_REPORT=self.report_path("late")))
        self.assertEqual(late.returncode, 0)
        self.assertFalse(os.path.exists(self.report_path("late")))
        self.assertEqual(self.stop_running(), [0, 0])

    def test_unusable_runtime_folder_gives_way_to_the_per_user_folder(self):
        # A runtime folder that cannot hold the lock (missing, or one that is
        # not the user's own) is not used as it is: the lock is taken in the
        # checked per-user folder under TMPDIR, and keeps a second copy out.
        folder = self.program_folder()
        temp = os.path.join(self.scratch, "tmp")
        os.mkdir(temp, 0o700)
        for runtime in (os.path.join(self.scratch, "missing"), "/proc"):
            with self.subTest(runtime):
                env = dict(XDG_RUNTIME_DIR=runtime, TMPDIR=temp)
                first = self.start_launcher(folder, env=self.env(
                    VYR_TEST_REPORT=self.report_path("first"), VYR_TEST_ACTION="wait_for_stop()", **env))
                self.wait_for_report(self.report_path("first"), first)
                second = self.run_launcher(folder, env=self.env(
                    VYR_TEST_REPORT=self.report_path("second"), VYR_TEST_ACTION="sys.exit(6)", **env))
                self.assertEqual(second.returncode, 0, second.stderr)
                self.assertFalse(os.path.exists(self.report_path("second")))
                self.assertTrue(os.path.exists(os.path.join(
                    temp, "vyr-%d" % os.geteuid(), "VYR_SINGLE_INSTANCE_vyr-sysmonitor")))
                self.assertEqual(self.stop_running(), [0])
                os.unlink(self.report_path("first"))


if __name__ == "__main__":
    unittest.main()
