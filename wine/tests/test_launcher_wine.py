"""The Windows launcher under Wine, built from its own sources and bound to the tests'
python312.dll (wine/runtime), which plays the application: exit codes, the start-up log,
what reaches the runtime, the named mutex, raising the running copy's window, the message
box of a runtime that cannot start and program paths longer than MAX_PATH.

Programs are started through win_probe.exe, which passes an exact command line and reads
back the full 32-bit exit code, on an X display with a window manager."""
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_harness import (RUN_TIMEOUT, SOURCE_DIR, WineTestCase, program, read_report,  # noqa: E402
                          wait_until, windows_path)

LAUNCHER = "Vyr_Sistem_Zuvedadu.exe"
PRODUCT_TITLE = "Vyr Ruvivu Zizodiro"
MUTEX = "Local\\VYR_SINGLE_INSTANCE_vyr-sysmonitor"
RUNTIME_FAILURE = "Python 3.12 Runtime (python312.dll) baslatilamadi."
# How long the probe looks for the message box; the test waits a little longer for it.
BOX_WAIT_MS = (RUN_TIMEOUT - 30) * 1000
SKIP_OPTIONS = ["--vyr-elevated-task", "--vyr-root-helper", "--service", "--install-service",
                "--uninstall-service", "--status", "--headless", "--self-test", "--screenshot"]


def folder_for_path_length(base, length):
    """A folder under `base` in which the launcher's Windows path is `length` long."""
    need = length - len(windows_path(os.path.join(base, LAUNCHER)))
    folder = base
    while need > 0:
        step = min(need, 121)
        if need - step == 1:
            step -= 1
        folder = os.path.join(folder, "d" * (step - 1))
        need -= step
    return folder


class Copy:
    """One launcher started through the probe."""

    def __init__(self, proc, report, stop):
        self.proc, self.report_path, self.stop_path = proc, report, stop

    def exit_code(self, timeout=RUN_TIMEOUT):
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            # What the probe said shows whether the launcher started at all.
            self.proc.kill()
            out, err = self.proc.communicate()
            raise AssertionError(f"the probe did not end within {timeout} s: {out!r} {err!r}") from None
        lines = out.splitlines()
        if not lines or not lines[-1].startswith("exit "):
            raise AssertionError(f"the probe gave no exit code: {out!r} {err!r}")
        return int(lines[-1].split()[1])

    def pid(self):
        line = self.proc.stdout.readline().strip()
        if not line.startswith("started "):
            raise AssertionError(f"the launcher did not start: {line!r}")
        return int(line.split()[1])

    def report(self):
        return read_report(self.report_path)

    def running(self):
        """Whether the launcher still runs: the probe waits for it."""
        return self.proc.poll() is None

    def stop(self):
        open(self.stop_path, "w").close()
        return self.exit_code()


class LauncherUnderWine(WineTestCase):
    display = True

    def program_folder(self, *names):
        folder = os.path.join(self.folder, *(names or ("prog",)))
        os.makedirs(folder)
        for name in (LAUNCHER, "python312.dll"):
            shutil.copy2(program(name), folder)
        return folder

    def start(self, folder, args="", action="return", name="copy", env=None, unset=()):
        """Starts the launcher of `folder` with `args` after its path on the command line."""
        report = os.path.join(self.folder, name + ".report")
        stop = os.path.join(self.folder, name + ".stop")
        settings = {"VYR_TEST_ACTION": action, "VYR_TEST_REPORT": windows_path(report),
                    "VYR_TEST_STOP": windows_path(stop), **(env or {})}
        probe = [program("win_probe.exe"), "run"]
        for key, value in settings.items():
            probe += ["--set", f"{key}={value}"]
        for key in unset:
            probe += ["--unset", key]
        line = f'"{windows_path(os.path.join(folder, LAUNCHER))}"' + (f" {args}" if args else "")
        return Copy(self.session.start(probe + [line]), report, stop)

    def run_copy(self, folder, args="", action="return", name="copy", **kw):
        copy = self.start(folder, args, action, name, **kw)
        return copy.exit_code(), copy.report()

    def start_holding(self, folder, args="", name="first"):
        """A copy whose application runs until it is stopped; returns once it runs."""
        copy = self.start(folder, args, "hold", name)
        self.addCleanup(lambda: copy.running() and copy.stop())
        wait_until(lambda: (copy.report() or {}).get("script") or not copy.running())
        if not (copy.report() or {}).get("script") or not copy.running():
            copy.proc.kill()
            self.fail(f"the copy {name} did not start its application: {copy.proc.communicate()}")
        return copy

    def assert_still_running(self, copy):
        """Fails when `copy` has ended: what came after it did not run beside it."""
        if not copy.running():
            self.fail(f"the first copy ended before the test stopped it: {copy.proc.communicate()}")

    def mutex_state(self):
        return self.session.run([program("win_probe.exe"), "mutex", MUTEX]).stdout.strip()

    # ---- exit codes and the start-up log ---------------------------------------------

    def test_application_outcome_becomes_the_exit_code(self):
        # `long` is 32 bits wide on Windows, so a value beyond the signed 32-bit range fails
        # to convert in the runtime itself, and the launcher clears that error.
        cases = [
            # (what the application does, exit code, the error the launcher clears)
            ("return", 0, None),
            ("exit None", 0, None),
            ("exit 3", 3, None),
            ("exit True", 1, None),
            ("exit False", 0, None),
            ("exit 'bye'", 1, None),
            ("exit -1", -1, None),
            ("exit 2147483647", 2**31 - 1, None),
            ("exit -2147483648", -2**31, None),
            ("exit 2147483648", 1, "OverflowError"),
            (f"exit {2**40}", 1, "OverflowError"),
            (f"exit {2**70}", 1, "OverflowError"),
            ("set '3'", 1, "TypeError"),
            ("set 3.0", 1, "TypeError"),
            ("del", 1, None),
            ("fail-script", 1, None),
        ]
        folder = self.program_folder()
        for i, (action, code, error) in enumerate(cases):
            with self.subTest(action=action):
                got, report = self.run_copy(folder, action=action, name=f"case{i}")
                self.assertEqual(got, code)
                self.assertEqual(report.get("error_cleared"), [error] if error else None)
                self.assertEqual(report["sys_lookup"], ["_vyr_exit_code"])
                self.assertEqual(report["finalized"], ["1"])
        self.assertEqual(sorted(os.listdir(folder)), sorted([LAUNCHER, "python312.dll"]))

    def test_failures_are_logged_under_local_app_data_or_the_program_folder(self):
        local = os.path.join(self.folder, "yerel veri çğü")
        for given in (True, False):
            with self.subTest(local_app_data=given):
                folder = self.program_folder("given" if given else "not given")
                kw = {"env": {"LOCALAPPDATA": windows_path(local)}} if given else {"unset": ["LOCALAPPDATA"]}
                code, report = self.run_copy(folder, action="raise çalışmadı", name=f"log{given}", **kw)
                self.assertEqual(code, 1)
                self.assertEqual(report["finalized"], ["1"])
                where = os.path.join(local if given else folder, "Tovrin", "startup_error.log")
                with open(where, "rb") as f:
                    text = f.read().decode("utf-8")
                self.assertIn("RuntimeError: çalışmadı\r\n", text)
                self.assertNotIn("\n", text.replace("\r\n", ""))
                other = os.path.join(folder if given else local, "Tovrin")
                self.assertFalse(os.path.exists(other), other)
                shutil.rmtree(os.path.join(local if given else folder, "Tovrin"))

    # ---- what reaches the runtime ----------------------------------------------------

    def test_runtime_gets_the_split_command_line_and_the_program_folder(self):
        folder = self.program_folder("program folder")
        exe = windows_path(os.path.join(folder, LAUNCHER))
        args = r'plain "two words" "say \"hi\"" back\slash "tail\\" -X dev --help çğü'
        code, report = self.run_copy(folder, args)
        self.assertEqual(code, 0)
        self.assertEqual(report["command_line"], [f'"{exe}" {args}'])
        self.assertEqual(report["argv"], [exe, "plain", "two words", 'say "hi"', "back\\slash", "tail\\",
                                          "-X", "dev", "--help", "çğü"])
        # The runtime's own options are not read, and the configuration is cleared once
        # the runtime is up.
        self.assertEqual(report["parse_argv"], ["0"])
        self.assertEqual(report["config_cleared"], ["1"])
        # Started from another folder, the launcher makes its own folder the working
        # folder, the DLL folder and PYTHONPATH.
        for key in ("cwd", "dll_directory", "PYTHONPATH"):
            self.assertEqual(report[key], [windows_path(folder)], key)
        with open(os.path.join(SOURCE_DIR, "launcher", "bootstrap.py"), encoding="utf-8") as f:
            self.assertEqual(report["script"], [f.read()])
        self.assertEqual(report["compiler_flags"], ["none"])

    def test_program_paths_longer_than_max_path(self):
        # Wine's CreateProcessW refuses program paths of 260 characters or more, as Windows
        # does without long-path support; Wine's own loader starts them. Unlike Windows
        # without that support, Wine also takes a working folder that long.
        base = os.path.join(self.folder, "long")
        for length in (259, 260, 261, 520, 521, 1000):
            with self.subTest(length=length):
                folder = folder_for_path_length(base, length)
                os.makedirs(folder)
                for name in (LAUNCHER, "python312.dll"):
                    shutil.copy2(program(name), folder)
                exe = os.path.join(folder, LAUNCHER)
                self.assertEqual(len(windows_path(exe)), length)
                report_path = os.path.join(self.folder, f"long{length}.report")
                proc = self.session.run([exe], VYR_TEST_ACTION="exit 7", VYR_TEST_REPORT=windows_path(report_path))
                self.assertEqual(proc.returncode, 7, proc.stderr)
                report = read_report(report_path)
                self.assertEqual(report["module_path"], [windows_path(exe)])
                self.assertEqual(report["argv"][0], windows_path(exe))
                for key in ("cwd", "dll_directory", "PYTHONPATH"):
                    self.assertEqual(report[key], [windows_path(folder)], key)
                shutil.rmtree(base)

    # ---- one running copy --------------------------------------------------------------

    def test_a_second_copy_leaves_unless_a_skip_option_is_given(self):
        folder = self.program_folder()
        first = self.start_holding(folder)
        self.assertEqual(self.mutex_state(), "owned")

        # Without a skip option: exit code 0 at once, the runtime never started.
        for args in ("", "--Service", "--statu", "-headless"):
            with self.subTest(args=args):
                code, report = self.run_copy(folder, args, action="exit 5", name="second")
                self.assert_still_running(first)
                self.assertEqual(code, 0)
                self.assertIsNone(report)

        # A skip option anywhere on the command line, also inside a longer word, another
        # argument or the program path: the copy runs beside the first.
        beside = self.program_folder("x--screenshot")
        cases = [(folder, option) for option in SKIP_OPTIONS] + [
            (folder, "--statusbar"), (folder, '"a=--self-test b"'), (folder, "one --headless two"),
            (beside, ""),
        ]
        for i, (where, args) in enumerate(cases):
            with self.subTest(args=args, folder=os.path.basename(where)):
                code, report = self.run_copy(where, args, action="exit 5", name=f"skip{i}")
                self.assert_still_running(first)
                self.assertEqual(code, 5)
                self.assertIsNotNone(report)
        self.assertEqual(first.stop(), 0)
        self.assertEqual(self.mutex_state(), "absent")

        # A copy with a skip option never takes the mutex: a later copy becomes the first.
        helper = self.start_holding(folder, "--headless", name="helper")
        self.assertEqual(self.mutex_state(), "absent")
        main = self.start_holding(folder, name="main")
        self.assertEqual(self.mutex_state(), "owned")
        code, report = self.run_copy(folder, name="third")
        self.assert_still_running(main)
        self.assertEqual((code, report), (0, None))
        self.assertEqual(main.stop(), 0)
        self.assertEqual(helper.stop(), 0)
        self.assertEqual(self.mutex_state(), "absent")

    # ---- the running copy's window ---------------------------------------------------

    def open_windows(self, *titles):
        host = self.session.start([program("win_probe.exe"), "windows"])
        self.addCleanup(self.close_windows, host)
        self.assertEqual(host.stdout.readline().strip(), "ready")
        for i, title in enumerate(titles):
            self.assertEqual(self.ask(host, f"make {title}"), f"made {i}")
        return host

    @staticmethod
    def ask(host, command):
        host.stdin.write(command + "\n")
        host.stdin.flush()
        return host.stdout.readline().strip()

    def close_windows(self, host):
        if host.poll() is None:
            self.ask(host, "quit")
        host.communicate(timeout=RUN_TIMEOUT)

    def state_becomes(self, host, window, expected):
        """The window's state once it equals `expected` (or the last one seen)."""
        state = None

        def reached():
            nonlocal state
            state = self.ask(host, f"state {window}")
            return state == expected

        wait_until(reached)
        return state

    def bring_to_front(self, host, window):
        """Raises the window and waits until it is the first of the probe's windows: the
        window manager restacks a moment later, and the next copy must find the order the
        test set."""
        self.ask(host, f"front {window}")
        on_top = wait_until(lambda: self.ask(host, f"state {window}").endswith(f" first={window}"))
        self.assertTrue(on_top, f"the window {window} did not come on top")

    def second_copy_leaves(self, folder, first):
        code, report = self.run_copy(folder, name="second")
        self.assert_still_running(first)
        self.assertEqual((code, report), (0, None))

    def test_second_copy_restores_and_raises_the_running_window(self):
        # Windows lets a newly started program take the foreground; Wine never holds a
        # program back from it, and there BringWindowToTop alone activates the window too,
        # so this shows the restore and the raise, not the system's foreground rules.
        folder = self.program_folder()
        first = self.start_holding(folder)
        host = self.open_windows(PRODUCT_TITLE, "Baska pencere")
        in_front = "state iconic=0 visible=1 foreground=1 first=0"
        steps = [
            ("covered by another window", []),
            ("minimised", ["minimize 0"]),
            ("hidden", ["hide 0"]),
        ]
        for name, commands in steps:
            with self.subTest(step=name):
                for command in commands + ["front 1"]:
                    self.ask(host, command)
                self.assertEqual(self.state_becomes(host, 1, "state iconic=0 visible=1 foreground=1 first=1"),
                                 "state iconic=0 visible=1 foreground=1 first=1")
                self.second_copy_leaves(folder, first)
                self.assertEqual(self.state_becomes(host, 0, in_front), in_front)
        self.assertEqual(first.stop(), 0)

    def test_the_topmost_window_with_the_title_wins(self):
        folder = self.program_folder()
        first = self.start_holding(folder)
        # The title only has to hold the product title.
        host = self.open_windows(PRODUCT_TITLE, "Baska pencere", f"{PRODUCT_TITLE} - Baslatma Hatasi")
        for on_top in (0, 2, 0):
            with self.subTest(on_top=on_top):
                self.bring_to_front(host, on_top)
                self.bring_to_front(host, 1)
                self.second_copy_leaves(folder, first)
                expected = f"state iconic=0 visible=1 foreground=1 first={on_top}"
                self.assertEqual(self.state_becomes(host, on_top, expected), expected)
        self.assertEqual(first.stop(), 0)

    def test_without_a_titled_window_the_second_copy_still_leaves(self):
        folder = self.program_folder()
        first = self.start_holding(folder)
        host = self.open_windows("Baska pencere")
        self.bring_to_front(host, 0)
        self.second_copy_leaves(folder, first)
        self.assertEqual(self.ask(host, "state 0"), "state iconic=0 visible=1 foreground=1 first=0")
        self.assertEqual(first.stop(), 0)

    # ---- a runtime that cannot start -------------------------------------------------

    def test_runtime_that_cannot_start_shows_the_box_and_gives_one(self):
        folder = self.program_folder()
        watcher = self.session.start([program("win_probe.exe"), "box", PRODUCT_TITLE, str(BOX_WAIT_MS)])
        copy = self.start(folder, action="fail-init")
        pid = copy.pid()
        # A box that is never found must not stay open for the next test.
        self.addCleanup(lambda: copy.proc.poll() is None and
                        self.session.run([program("win_probe.exe"), "end", str(pid)]))
        out, err = watcher.communicate(timeout=RUN_TIMEOUT)
        self.assertEqual(watcher.returncode, 0, out + err)
        lines = out.splitlines()
        self.assertEqual(lines[:3], [f"caption {PRODUCT_TITLE}", "owner 0", f"process {pid}"])
        self.assertEqual(lines[-1], "closed")
        controls = lines[3:-1]
        # Windows shares icons between processes and the probe names the error icon; Wine
        # keeps an icon in the process that loaded it, so only its presence shows there.
        icons = [line for line in controls if line.startswith("icon ")]
        self.assertIn(icons, (["icon error"], ["icon unreadable"]))
        self.assertEqual(sorted(line for line in controls if line not in icons),
                         ["button 1 OK", f"text {RUNTIME_FAILURE}"])
        self.assertEqual(copy.exit_code(), 1)
        report = copy.report()
        self.assertEqual(report, {"start_refused": ["1"]})


if __name__ == "__main__":
    unittest.main()
