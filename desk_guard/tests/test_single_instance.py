"""The single-instance channel of vyr_desk_guard: key and name derivation, the
switches that turn it off, the lock file and local server of the first copy,
and real second copies handing over to a first one."""
import fcntl
import json
import os
import pwd
import socket
import stat
import subprocess
import textwrap
import unittest

import dg_support
from dg_support import WAIT_LIMIT

# Runs one call of the channel in a fresh process and prints what it left.
CALL = """
import json, os, sys
import vyr_desk_guard_testkit as tk
import vyr_desk_guard as dg
tk.app()
spec = json.loads(sys.argv[1])
win = None
if spec.get("title") is not None:
    win = tk.window(spec["title"], spec.get("kind", "main"))
    if spec.get("destroyed"):
        tk.destroy(win)
result = dg.ensure_vyr_single_instance(spec.get("code"), win)
st = dg._VYR_SINGLE_INSTANCE_STATE
print(json.dumps({
    "result": result, "keys": list(st), "locked": st["locked"], "app_key": st["app_key"],
    "server": None if st["server"] is None else st["server"].serverName(),
    "listening": None if st["server"] is None else st["server"].isListening(),
    "lock": None if st["lock_fh"] is None else st["lock_fh"].name,
    "main_win_is_win": st["main_win"] is win, "pid": os.getpid(),
}))
"""


def lock_path(base, key):
    return os.path.join(base, "vyr_locks", "vyr_single_%s.lock" % key)


class Derivation(unittest.TestCase):
    """Application key, user tag, server name and lock file of a first copy."""

    def run_cases(self, cases):
        """Starts every case in its own sandbox at once; yields (case, box, report)."""
        started = []
        for case in cases:
            box = dg_support.Sandbox(user=case.get("user", "tester"))
            self.addCleanup(box.cleanup)
            env = dict(case.get("env", {}))
            if "appdata" in case:
                env["LOCALAPPDATA"] = box.path(case["appdata"])
            started.append((case, box, box.start(CALL, json.dumps(case), env=env)))
        for case, box, proc in started:
            out, err = proc.communicate(timeout=WAIT_LIMIT)
            with self.subTest(case=case):
                self.assertEqual(proc.returncode, 0, err)
                yield case, box, json.loads(out)

    def test_application_key(self):
        cases = [
            {"code": "MONITOR", "key": "MONITOR"},
            {"code": "  my app 2 \t", "key": "MY_APP_2"},
            {"code": "a-b_c", "key": "A-B_C"},
            {"code": "Stra\u00dfe", "key": "STRASSE"},           # one letter becomes two
            {"code": "___", "key": "VYR_APP"},
            {"code": "\u00d6\u00c7", "key": "VYR_APP"},          # only non-ASCII letters
            {"code": "", "key": "VYR_APP"},
            {"code": None, "key": "VYR_APP"},
            # Empty code: the key comes from the window.
            {"code": "", "title": "Vyr \u00d6l\u00e7\u00fcm Arac\u0131 v2.1.0",
             "key": "VYR__L__M_ARACI"},
            {"code": "", "title": "Report v2.0.1 - Editor", "key": "REPORT"},
            {"code": " ", "title": "Pano \u2014 Geli\u015ftiren: Biri - x", "key": "PANO"},
            {"code": "", "title": "V2 Pano v3", "key": "V2_PANO"},   # capital V stays
            {"code": "", "title": "v1.2", "key": "SAMPLEMAINWINDOW"},
            {"code": "", "title": "", "key": "SAMPLEMAINWINDOW"},
            {"code": "", "title": "", "kind": "plain", "key": "QWIDGET"},
            {"code": "", "title": "Pano", "destroyed": True, "key": "VYR_APP"},
            # A given code wins over the window, version words included.
            {"code": "tool v2", "title": "Pano", "key": "TOOL_V2"},
        ]
        for case, box, got in self.run_cases(cases):
            key = case["key"]
            self.assertEqual(got["keys"], ["locked", "app_key", "lock_fh", "server", "main_win"])
            self.assertEqual((got["result"], got["locked"], got["app_key"]), (True, True, key))
            self.assertEqual(got["server"], "VYR_SINGLE_INSTANCE_%s_tester" % key)
            self.assertTrue(got["listening"])
            self.assertTrue(got["main_win_is_win"])
            path = lock_path(os.path.join(box.home, ".config"), key)
            self.assertEqual(got["lock"], path)
            with open(path, encoding="utf-8") as f:
                self.assertEqual(f.read(), str(got["pid"]))

    def test_user_tag_and_lock_folder(self):
        root_name = pwd.getpwuid(os.getuid()).pw_name
        cases = [
            {"code": "MONITOR", "user": "alice", "tag": "alice"},
            {"code": "MONITOR", "user": "J\u00f6hn Doe", "tag": "J_hn_Doe"},
            {"code": "MONITOR", "user": "", "env": {"USER": "bob.smith"}, "tag": "bob_smith"},
            {"code": "MONITOR", "user": "", "tag": root_name},     # account database
            {"code": "MONITOR", "appdata": "appdata/missing", "tag": "tester"},
        ]
        for case, box, got in self.run_cases(cases):
            self.assertEqual(got["server"], "VYR_SINGLE_INSTANCE_MONITOR_" + case["tag"])
            appdata = case.get("appdata")
            base = box.path(appdata) if appdata else os.path.join(box.home, ".config")
            self.assertEqual(got["lock"], lock_path(base, "MONITOR"))


class Switches(unittest.TestCase):
    """Ways the whole check is skipped, and the second call of the program."""

    def setUp(self):
        self.box = dg_support.Sandbox()
        self.addCleanup(self.box.cleanup)

    def call(self, *args, env=None, spec=None):
        spec = spec or {"code": "MONITOR", "title": "Pano"}
        proc = self.box.run(CALL, json.dumps(spec), *args, env=env)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return json.loads(proc.stdout)

    def assert_untouched(self):
        self.assertEqual(self.box.listing(), ["home", "runtime", "tmp"])

    def test_environment_switch(self):
        got = self.call(env={"VYR_ALLOW_MULTI_INSTANCE": "1"})
        self.assertEqual((got["result"], got["locked"], got["server"], got["lock"]),
                         (True, False, None, None))
        self.assertTrue(got["main_win_is_win"])      # the window is registered all the same
        self.assert_untouched()
        for value in ["true", " 1", "1 ", "", "0", "yes"]:
            with self.subTest(value=value):
                got = self.call(env={"VYR_ALLOW_MULTI_INSTANCE": value})
                self.assertEqual((got["result"], got["locked"]), (True, True))

    def test_skip_options_are_whole_arguments(self):
        flags = ["--vyr-elevated-task", "--vyr-root-helper", "--service", "--install-service",
                 "--uninstall-service", "--status", "--headless", "--self-test", "--screenshot"]
        for flag in flags:
            with self.subTest(flag=flag):
                got = self.call("first", flag)
                self.assertEqual((got["result"], got["locked"]), (True, False))
                self.assertTrue(got["main_win_is_win"])
        self.assert_untouched()
        for arg in ["--headless=1", "--STATUS", "x--service", "/opt/--headless/bin"]:
            with self.subTest(arg=arg):
                self.assertTrue(self.call(arg)["locked"])

    def test_later_call_only_registers_the_window(self):
        proc = self.box.run("""
            import os
            import vyr_desk_guard_testkit as tk
            import vyr_desk_guard as dg
            tk.app()
            st = dg._VYR_SINGLE_INSTANCE_STATE
            print(dg.ensure_vyr_single_instance("MONITOR", None), st["main_win"])
            lock, server = st["lock_fh"], st["server"]
            # Remove what the first call made: a later call must not make it again.
            os.remove(lock.name)
            os.remove(server.fullServerName())
            win = tk.window("Pano")
            print(dg.ensure_vyr_single_instance(app_code="OTHER", main_window=win))
            print(st["main_win"] is win, st["app_key"], st["lock_fh"] is lock,
                  st["server"] is server)
            print(os.path.exists(lock.name), os.path.exists(server.fullServerName()))
        """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.split(), ["True", "None", "True", "True", "MONITOR", "True",
                                               "True", "False", "False"])

    def test_codes_that_are_not_text(self):
        # Only a full check reads the code: the early returns take any value, and a
        # code whose strip() or key fails leaves the call unlocked with its error.
        script = """
            import json, sys
            import vyr_desk_guard_testkit as tk
            import vyr_desk_guard as dg
            tk.app()
            st = dg._VYR_SINGLE_INSTANCE_STATE
            codes = {"5": 5, "b'x'": b"x", "1.5": 1.5, "['a']": ["a"], "b'  '": b"  ",
                     "MONITOR": "MONITOR"}
            out = []
            for name in sys.argv[1:]:
                win = tk.window("Pano " + name)
                try:
                    got = repr(dg.ensure_vyr_single_instance(codes[name], win))
                except Exception as e:
                    got = type(e).__name__
                out.append([name, got, st["main_win"] is win, st["locked"], st["app_key"]])
            print(json.dumps(out))
        """
        allowed = ["5", "b'x'", "['a']"]
        full = ["5", "b'x'", "1.5", "['a']", "b'  '", "5", "b'x'"]
        after_lock = ["MONITOR", "5", "b'x'", "1.5"]
        runs = [
            ("switched off", allowed, {"VYR_ALLOW_MULTI_INSTANCE": "1"},
             [[c, "True", True, False, ""] for c in allowed]),
            ("full check", full, None,
             [["5", "AttributeError", True, False, ""],
              ["b'x'", "TypeError", True, False, ""],
              ["1.5", "AttributeError", True, False, ""],
              ["['a']", "AttributeError", True, False, ""],
              # Blank bytes strip to empty: the key comes from the window.
              ["b'  '", "True", True, True, "PANO_B"],
              ["5", "True", True, True, "PANO_B"],
              ["b'x'", "True", True, True, "PANO_B"]]),
            ("after the lock", after_lock, None,
             [[c, "True", True, True, "MONITOR"] for c in after_lock]),
        ]
        for name, codes, env, expected in runs:
            with self.subTest(name):
                box = dg_support.Sandbox()
                self.addCleanup(box.cleanup)
                proc = box.run(script, *codes, env=env)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(json.loads(proc.stdout), expected)

    def test_unusable_lock_folder_still_starts_the_server(self):
        blocker = self.box.path("not-a-folder")
        with open(blocker, "w") as f:
            f.write("x")
        got = self.call(env={"LOCALAPPDATA": blocker})
        self.assertEqual((got["result"], got["locked"], got["lock"], got["listening"]),
                         (True, True, None, True))

    def test_lock_path_that_is_not_a_plain_file_is_left_alone(self):
        # Whatever is planted at the lock path, the program runs without the lock
        # and no other file is written, truncated or created.
        def symlink(lock, target):
            os.symlink(target, lock)

        def hard_link(lock, target):
            os.link(target, lock)

        def fifo(lock, target):
            os.mkfifo(lock)
        cases = [("link to a file", symlink, True), ("dangling link", symlink, False),
                 ("hard link", hard_link, True), ("fifo", fifo, True)]
        for name, plant, target_exists in cases:
            with self.subTest(name):
                box = dg_support.Sandbox()
                self.addCleanup(box.cleanup)
                lock = lock_path(os.path.join(box.home, ".config"), "MONITOR")
                os.makedirs(os.path.dirname(lock))
                target = box.path("precious")
                if target_exists:
                    with open(target, "w") as f:
                        f.write("keep me")
                plant(lock, target)
                proc = box.run(CALL, json.dumps({"code": "MONITOR"}))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                got = json.loads(proc.stdout)
                self.assertEqual((got["result"], got["locked"], got["lock"], got["listening"]),
                                 (True, True, None, True))
                if target_exists:
                    with open(target) as f:
                        self.assertEqual(f.read(), "keep me")
                else:
                    self.assertFalse(os.path.lexists(target))

    @unittest.skipUnless(os.geteuid() == 0, "only root may give a file away")
    def test_another_users_lock_file_or_folder_is_no_lock_of_ours(self):
        # Whoever holds it, a lock that another user owns or may write to, or
        # one in such a folder, is not another copy: this one runs without a
        # lock and still answers later copies.
        def foreign(path):
            os.chown(path, 54321, 54321)

        def open_to_others(path):
            os.chmod(path, 0o777 if os.path.isdir(path) else 0o666)
        cases = [("file of another user", foreign, False), ("file writable by others", open_to_others, False),
                 ("folder of another user", foreign, True), ("folder writable by others", open_to_others, True)]
        for name, plant, on_folder in cases:
            with self.subTest(name):
                box = dg_support.Sandbox()
                self.addCleanup(box.cleanup)
                lock = lock_path(os.path.join(box.home, ".config"), "MONITOR")
                os.makedirs(os.path.dirname(lock))
                with open(lock, "w") as holder:
                    fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    plant(os.path.dirname(lock) if on_folder else lock)
                    proc = box.run(CALL, json.dumps({"code": "MONITOR"}))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                got = json.loads(proc.stdout)
                self.assertEqual((got["result"], got["locked"], got["lock"], got["listening"]),
                                 (True, True, None, True))

    def test_new_lock_file_is_the_users_only(self):
        self.call()
        lock = lock_path(os.path.join(self.box.home, ".config"), "MONITOR")
        self.assertEqual(stat.S_IMODE(os.lstat(lock).st_mode), 0o600)

    def test_socket_is_the_users_only_and_lock_file_is_not_inherited(self):
        proc = self.box.run("""
            import fcntl, os, stat
            import vyr_desk_guard_testkit as tk
            import vyr_desk_guard as dg
            tk.app()
            dg.ensure_vyr_single_instance("MONITOR")
            st = dg._VYR_SINGLE_INSTANCE_STATE
            mode = os.stat(st["server"].fullServerName()).st_mode
            print(stat.S_ISSOCK(mode), oct(mode & 0o777))
            print(bool(fcntl.fcntl(st["lock_fh"].fileno(), fcntl.F_GETFD) & fcntl.FD_CLOEXEC))
            print(st["lock_fh"].closed, os.path.dirname(st["server"].fullServerName()))
        """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.split(), ["True", "0o700", "True", "False", self.box.runtime])

    def test_server_lives_in_the_private_runtime_folder(self):
        # Another local user who listens first under the name in the shared
        # temporary folder is never talked to; a socket file left by a killed
        # copy is replaced.
        name = "VYR_SINGLE_INSTANCE_MONITOR_tester"
        per_user = os.path.join(self.box.tmp, "vyr-%d" % os.geteuid())
        cases = [
            ({}, self.box.runtime),
            ({"XDG_RUNTIME_DIR": None}, per_user),
            ({"XDG_RUNTIME_DIR": "relative"}, per_user),
        ]
        for env, folder in cases:
            with self.subTest(env=env):
                squatter = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.addCleanup(squatter.close)
                squatter.bind(os.path.join(self.box.tmp, name))
                squatter.listen(1)
                squatter.setblocking(False)
                os.makedirs(folder, 0o700, exist_ok=True)
                if os.path.exists(os.path.join(folder, name)):
                    os.remove(os.path.join(folder, name))
                stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                stale.bind(os.path.join(folder, name))
                stale.close()                     # its file stays behind
                full_env = dict(self.box.env, **env)
                if full_env["XDG_RUNTIME_DIR"] is None:
                    del full_env["XDG_RUNTIME_DIR"]
                proc = subprocess.run(
                    [dg_support.PYTHON, "-c", textwrap.dedent("""
                        import vyr_desk_guard_testkit as tk
                        import vyr_desk_guard as dg
                        tk.app()
                        print(dg.ensure_vyr_single_instance("MONITOR"))
                        server = dg._VYR_SINGLE_INSTANCE_STATE["server"]
                        print(server.isListening(), server.fullServerName())
                    """)], env=full_env, cwd=self.box.root, capture_output=True, text=True,
                    timeout=60)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stdout.split(), ["True", "True", os.path.join(folder, name)])
                with self.assertRaises(BlockingIOError):
                    squatter.accept()
                squatter.close()
                os.remove(os.path.join(self.box.tmp, name))


# A first copy: registers a hidden window, counts activations and reports
# after the first one (or after 20 s without any).
FIRST_COPY = """
import json, sys, time
import vyr_desk_guard_testkit as tk
import vyr_desk_guard as dg
tk.app()
win = tk.window("Pano", auto_hide=sys.argv[1] == "auto-hide")
if sys.argv[1] == "minimized":
    tk.show(win, "minimized")
dg.ensure_vyr_single_instance("MONITOR", None)
dg.ensure_vyr_single_instance("MONITOR", win)
calls = []
activate = dg._activate_vyr_window
def counting(*args, **kwargs):
    calls.append((args, kwargs))
    activate(*args, **kwargs)
dg._activate_vyr_window = counting
print("READY", flush=True)
deadline = time.monotonic() + 600  # until the second copy came, however slow the machine
while not calls and time.monotonic() < deadline:
    tk.run(20)
tk.run(300)          # time for any further, wrong activation
print(json.dumps({"calls": calls, "state": tk.state(win)}), flush=True)
"""

SECOND_COPY = """
import vyr_desk_guard_testkit as tk
import vyr_desk_guard as dg
tk.app()
dg.ensure_vyr_single_instance("MONITOR")
print("second copy kept running")
"""


class SecondCopy(unittest.TestCase):
    """Real processes: a later copy hands over to the first one and ends."""

    def setUp(self):
        self.box = dg_support.Sandbox()
        self.addCleanup(self.box.cleanup)
        self.server_path = os.path.join(self.box.runtime, "VYR_SINGLE_INSTANCE_MONITOR_tester")
        self.lock = lock_path(os.path.join(self.box.home, ".config"), "MONITOR")

    def second_copy(self):
        return self.box.run(SECOND_COPY)

    def test_message_bytes_and_no_lock_file(self):
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(self.server_path)
        listener.listen(1)
        proc = self.box.start(SECOND_COPY)
        listener.settimeout(WAIT_LIMIT)
        conn, _ = listener.accept()
        conn.settimeout(WAIT_LIMIT)
        data = b""
        while chunk := conn.recv(64):      # until the second copy disconnects
            data += chunk
        conn.close()
        out, err = proc.communicate(timeout=WAIT_LIMIT)
        self.assertEqual(data, b"ACTIVATE\n")
        self.assertEqual((proc.returncode, out, err), (0, "", ""))
        self.assertFalse(os.path.exists(os.path.dirname(self.lock)))

    def test_running_copy_comes_to_the_front_once(self):
        first = self.box.start(FIRST_COPY, "auto-hide")
        self.addCleanup(first.kill)
        self.assertEqual(first.stdout.readline().strip(), "READY")
        second = self.second_copy()
        self.assertEqual((second.returncode, second.stdout), (0, ""), second.stderr)
        out, err = first.communicate(timeout=WAIT_LIMIT)
        self.assertEqual(first.returncode, 0, err)
        report = json.loads(out)
        self.assertEqual(report["calls"], [[[], {}]])     # once, without a window
        self.assertEqual(report["state"]["shows"], 1)     # shown once, then hid itself again

    def test_minimized_running_copy_is_restored(self):
        first = self.box.start(FIRST_COPY, "minimized")
        self.addCleanup(first.kill)
        self.assertEqual(first.stdout.readline().strip(), "READY")
        self.assertEqual(self.second_copy().returncode, 0)
        report = json.loads(first.communicate(timeout=WAIT_LIMIT)[0])
        self.assertEqual(len(report["calls"]), 1)
        state = report["state"]
        self.assertEqual((state["visible"], state["minimized"]), (True, False))

    def test_lock_held_without_server(self):
        os.makedirs(os.path.dirname(self.lock))
        with open(self.lock, "w") as holder:
            holder.write("holder")
            holder.flush()
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            proc = self.second_copy()
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, "", ""))
        with open(self.lock) as f:
            self.assertEqual(f.read(), "holder")
        self.assertFalse(os.path.exists(self.server_path))

    def test_plain_start_through_the_launcher_hands_over(self):
        # The launcher's lock is held and no window manager lists a window of
        # the running copy: the launcher hands the start over to the desktop
        # helper's server, whose name it must derive the same way.
        launcher = os.path.join(os.environ["VYR_DIST_DIR"], "Vyr_Sistem_Zuvedadu")
        cases = [("tester", True), ("J\u00f6hn Doe", True), ("caf\udce9", True),
                 ("x\U0001F600y", True), ("", True), ("tester", False)]
        for user, runtime_dir in cases:
            with self.subTest(user=user, runtime_dir=runtime_dir):
                box = dg_support.Sandbox(user=user)
                self.addCleanup(box.cleanup)
                if not runtime_dir:
                    del box.env["XDG_RUNTIME_DIR"]
                folder = box.runtime if runtime_dir else os.path.join(box.tmp,
                                                                      "vyr-%d" % os.geteuid())
                os.makedirs(folder, 0o700, exist_ok=True)
                with open(os.path.join(folder, "VYR_SINGLE_INSTANCE_vyr-sysmonitor"), "w") as lock:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    first = box.start(FIRST_COPY, "minimized")
                    self.addCleanup(first.kill)
                    self.assertEqual(first.stdout.readline().strip(), "READY")
                    env = {k: v for k, v in box.env.items()
                           if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
                    second = subprocess.run([launcher], env=env, cwd=box.root,
                                            capture_output=True, text=True, timeout=WAIT_LIMIT)
                    self.assertEqual((second.returncode, second.stdout), (0, ""), second.stderr)
                    out, err = first.communicate(timeout=WAIT_LIMIT)
                self.assertEqual(first.returncode, 0, err)
                report = json.loads(out)
                self.assertEqual(len(report["calls"]), 1)
                state = report["state"]
                self.assertEqual((state["visible"], state["minimized"]), (True, False))

    def test_activation_errors_reach_the_log_and_the_server_keeps_answering(self):
        first = self.box.start("""
            import sys, time
            import vyr_desk_guard_testkit as tk
            import vyr_desk_guard as dg
            tk.app()
            dg.ensure_vyr_single_instance("MONITOR", tk.window("Pano"))
            dg._VYR_SINGLE_INSTANCE_STATE = None        # the record can no longer be read
            print("READY", flush=True)
            for _ in range(2):
                sys.stdin.readline()
                tk.run(300)
                print("ALIVE", flush=True)
        """)
        self.addCleanup(first.kill)
        self.assertEqual(first.stdout.readline().strip(), "READY")
        for _ in range(2):
            self.assertEqual(self.second_copy().returncode, 0)
            first.stdin.write("\n")
            first.stdin.flush()
            self.assertEqual(first.stdout.readline().strip(), "ALIVE")
        out, err = first.communicate(timeout=WAIT_LIMIT)
        self.assertEqual((first.returncode, err), (0, ""))
        with open(os.path.join(self.box.home, "Vyr_Logs", "vyr_runtime_slot.log")) as f:
            log = f.read()
        self.assertEqual(log.count("AttributeError: 'NoneType' object has no attribute 'get'"), 2)


if __name__ == "__main__":
    unittest.main()
