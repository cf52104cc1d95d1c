"""The settings store: precedence of reads, the file's exact bytes, what an
unreadable file becomes, and writes that never leave a broken file."""
import ctypes
import json
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import engine

# The settings file of a store that holds the defaults alone, byte for byte:
# the one place that spells the defaults out; the other cases compare what a
# store does with the store's own DEFAULT_SETTINGS.
DEFAULT_FILE = (b'{\n'
                b'  "orientation": "vertical",\n'
                b'  "x": null,\n'
                b'  "y": null,\n'
                b'  "always_on_top": true,\n'
                b'  "locked": false,\n'
                b'  "opacity": 0.95,\n'
                b'  "group_by_app": false,\n'
                b'  "refresh_ms": 1500\n'
                b'}')


# A store in a child, with the settings folder given as its argument: it
# prints what it started with and the value of "locked" after setting it.
SET_LOCKED = textwrap.dedent("""
    import json, pathlib, sys
    import engine
    engine.CONFIG_DIR = pathlib.Path(sys.argv[1])
    engine.SETTINGS_FILE = engine.CONFIG_DIR / "settings.json"
    s = engine.SettingsManager()
    before = list(s.data.items())
    s.set("locked", True)
    print(json.dumps([before, s.get("locked")]))
""")


def without_root_file_rights():
    """Run in a child before it starts: takes away root's right to write
    files and folders whatever their permissions (CAP_DAC_OVERRIDE), so that
    permissions count as they do for a user."""
    if os.geteuid() != 0:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    pr_capbset_drop, cap_dac_override = 24, 1
    if libc.prctl(pr_capbset_drop, cap_dac_override, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")


def run_watched(code, args, rss_limit=512 << 20, timeout=120, **popen):
    """Runs `code` in a new interpreter with `args`, killed once its resident
    memory passes `rss_limit` bytes or `timeout` seconds have passed; returns
    (returncode, stdout, stderr, whether it was killed). The output goes to
    files, so a child that writes much never waits for a reader."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args], stdout=out,
                                stderr=err, **popen)
        killed = False
        end = time.monotonic() + timeout
        while proc.poll() is None:
            try:
                status = pathlib.Path("/proc/%d/status" % proc.pid).read_text()
                rss = int(status.split("VmRSS:")[1].split()[0]) * 1024 if "VmRSS:" in status else 0
            except (OSError, IndexError, ValueError):
                rss = 0
            if rss > rss_limit or time.monotonic() > end:
                proc.kill()
                killed = True
                break
            try:
                proc.wait(0.05)
            except subprocess.TimeoutExpired:
                pass
        proc.wait()
        out.seek(0)
        err.seek(0)
        return proc.returncode, out.read().decode(), err.read().decode(), killed


def defaults(**changed):
    """The default settings in their order, with `changed` values."""
    return dict(engine.SettingsManager.DEFAULT_SETTINGS, **changed)


def python_bytes(data):
    """What the runtime's json writes for `data` with the store's layout."""
    return json.dumps(data, indent=2, ensure_ascii=False).encode("utf-8")


class Store(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.config = pathlib.Path(self.tmp.name, "home", ".config", "vyr-linux-monitor")
        self.file = self.config / "settings.json"
        saved = (engine.CONFIG_DIR, engine.SETTINGS_FILE)
        engine.CONFIG_DIR, engine.SETTINGS_FILE = self.config, self.file

        def restore():
            engine.CONFIG_DIR, engine.SETTINGS_FILE = saved
        self.addCleanup(restore)

    def write(self, raw):
        self.config.mkdir(parents=True, exist_ok=True)
        self.file.write_bytes(raw if isinstance(raw, bytes) else raw.encode("utf-8"))

    def leftovers(self):
        return sorted(p.name for p in self.config.iterdir()
                      if p.name not in ("settings.json", "settings.json.bak"))

    def test_defaults_and_precedence(self):
        s = engine.SettingsManager()
        self.assertIsInstance(s.data, dict)
        self.assertEqual(list(s.data.items()), list(defaults().items()))
        self.assertIsNot(s.data, engine.SettingsManager.DEFAULT_SETTINGS)
        self.assertEqual(s.get("refresh_ms", 5), 1500)
        self.assertIs(s.get("hover_popup", True), True)
        self.assertIsNone(s.get("x"))
        self.assertEqual(s.get("bg_alpha", 210), 210)
        self.assertFalse(self.file.exists())  # reading never writes
        self.assertIs(s.load(), s.data)
        s.save()
        self.assertEqual(self.file.read_bytes(), DEFAULT_FILE)
        self.assertEqual(list(json.loads(DEFAULT_FILE).items()), list(s.data.items()))

    def test_file_values_win_unchanged(self):
        self.write('{"always_on_top": null, "locked": "evet", "extra": [1, {"a": 2}], "x": 12,'
                   ' "x": 40}')
        s = engine.SettingsManager()
        self.assertIsNone(s.get("always_on_top", True))
        self.assertEqual(s.get("locked"), "evet")
        self.assertEqual(s.get("x"), 40)  # the last of a repeated key
        self.assertEqual(list(s.data)[-1], "extra")
        s.set("locked", True)
        self.assertEqual(self.file.read_bytes(), python_bytes(s.data))
        self.assertEqual(json.loads(self.file.read_text())["extra"], [1, {"a": 2}])

    def test_written_bytes(self):
        s = engine.SettingsManager()
        s.set("bg_alpha", 65)
        self.assertEqual(self.file.read_bytes(), DEFAULT_FILE[:-2] + b',\n  "bg_alpha": 65\n}')
        s.set("bg_alpha", 210)
        self.assertEqual(list(json.loads(self.file.read_text()))[-1], "bg_alpha")
        s.set("etiket", "Çalışma Alanı ✓")
        s.set("oran", 1.0)
        s.set("nan", float("nan"))
        raw = self.file.read_bytes()
        self.assertEqual(raw, python_bytes(s.data))
        self.assertIn('"Çalışma Alanı ✓"'.encode("utf-8"), raw)
        self.assertIn(b'"oran": 1.0', raw)
        self.assertIn(b'"nan": NaN', raw)
        self.assertEqual(self.leftovers(), [])
        # Read back by a new store.
        t = engine.SettingsManager()
        self.assertEqual(t.get("etiket"), "Çalışma Alanı ✓")
        self.assertTrue(t.get("nan") != t.get("nan"))

    def test_every_set_rewrites_the_file(self):
        s = engine.SettingsManager()
        s.set("x", 10)
        first = os.stat(self.file).st_ino
        s.set("x", 10)  # the same value: written again
        second = os.stat(self.file).st_ino
        self.assertNotEqual(first, second)  # a new file took the old one's place
        self.file.write_text("{}")
        s.set("x", 10)
        self.assertEqual(self.file.read_bytes(), python_bytes(s.data))

    def test_unreadable_files_are_kept_aside(self):
        cases = [
            ("not json", b"{orientation: vertical"),
            ("array", b"[1, 2]"),
            ("number", b"42"),
            ("byte-order mark", b"\xef\xbb\xbf{\"locked\": true}"),
            ("invalid utf-8", b"{\"a\": \"\xff\"}"),
            ("trailing comma", b"{\"locked\": true,}"),
        ]
        for name, raw in cases:
            with self.subTest(name):
                for p in self.config.glob("*"):
                    p.unlink()
                self.write(raw)
                s = engine.SettingsManager()
                self.assertEqual(list(s.data.items()), list(defaults().items()))
                self.assertEqual(self.file.read_bytes(), raw)  # untouched until a set
                s.set("locked", True)
                self.assertEqual(self.file.read_bytes(),
                                 python_bytes(defaults(locked=True)))
                self.assertEqual(pathlib.Path(str(self.file) + ".bak").read_bytes(), raw)
                s.set("x", 5)  # the backup is made once
                self.assertEqual(pathlib.Path(str(self.file) + ".bak").read_bytes(), raw)

    def test_files_that_are_not_plain_files_are_never_waited_on(self):
        # Each store runs in a process of its own: a read that waits would hang.
        code = SET_LOCKED
        bak = pathlib.Path(str(self.file) + ".bak")

        def fifo():
            os.mkfifo(self.file)

        def fifo_and_backup():
            os.mkfifo(self.file)
            bak.write_bytes(b"an older backup")

        # A device that reads zeros without end. As root the link points at a
        # node of the test's own: a store that wrote through the link would
        # otherwise replace the system's /dev/zero.
        device = "/dev/zero"
        if os.geteuid() == 0:
            device = os.path.join(self.tmp.name, "zero")
            os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 5))

        def link_to_a_device():
            self.file.symlink_to(device)

        def link_to_a_device_and_backup():
            self.file.symlink_to(device)
            bak.write_bytes(b"an older backup")
        # (setup, what the settings path is after the first set, what the backup is)
        cases = [
            ("fifo", fifo, "written", "fifo"),
            # Moving the FIFO aside would replace a backup with content: the
            # backup stays, and the settings take the FIFO's place.
            ("fifo beside a backup", fifo_and_backup, "written", "older backup"),
            ("link to a device", link_to_a_device, "written", "link"),
            # Nothing is written through the link into the device: the values
            # live in memory.
            ("link to a device beside a backup", link_to_a_device_and_backup, "link", "older backup"),
        ]
        for name, setup, after, backup in cases:
            with self.subTest(name):
                for p in self.config.glob("*"):
                    p.unlink()
                self.config.mkdir(parents=True, exist_ok=True)
                setup()
                try:
                    proc = subprocess.run([sys.executable, "-c", code, str(self.config)],
                                          capture_output=True, text=True, timeout=30)
                except subprocess.TimeoutExpired:
                    self.fail("the store waited on the settings file")
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(json.loads(proc.stdout), [[list(i) for i in defaults().items()], True])
                if after == "written":
                    self.assertTrue(stat.S_ISREG(os.lstat(self.file).st_mode))  # never opened as a FIFO
                    self.assertEqual(self.file.read_bytes(),
                                     python_bytes(defaults(locked=True)))
                else:
                    self.assertEqual(os.readlink(self.file), device)
                    self.assertTrue(stat.S_ISCHR(os.stat(device).st_mode))
                if backup == "fifo":
                    self.assertTrue(stat.S_ISFIFO(os.lstat(bak).st_mode))
                elif backup == "link":
                    self.assertEqual(os.readlink(bak), device)
                    self.assertTrue(stat.S_ISCHR(os.stat(device).st_mode))
                else:
                    self.assertEqual(bak.read_bytes(), b"an older backup")
                self.assertEqual(self.leftovers(), [])

    def test_nan_and_infinity_are_read(self):
        self.write('{"opacity": NaN, "y": -Infinity, "x": Infinity}\r\n')
        s = engine.SettingsManager()
        self.assertNotEqual(s.get("opacity"), s.get("opacity"))
        self.assertEqual(s.get("y"), float("-inf"))
        self.assertFalse(pathlib.Path(str(self.file) + ".bak").exists())

    def test_failed_writes_keep_the_value_and_the_file(self):
        s = engine.SettingsManager()
        s.set("x", 1)
        before = self.file.read_bytes()
        s.set("bad", object())  # cannot be encoded: the old file stays
        self.assertEqual(self.file.read_bytes(), before)
        self.assertIn("bad", s.data)
        del s.data["bad"]
        s.set("kötü", "\udcff")  # a lone surrogate cannot be written as UTF-8
        self.assertEqual(self.file.read_bytes(), before)
        self.assertEqual(self.leftovers(), [])
        # A file where the folder should be: nothing is raised.
        blocked = pathlib.Path(self.tmp.name, "blocked")
        blocked.write_text("x")
        engine.CONFIG_DIR, engine.SETTINGS_FILE = blocked, blocked / "settings.json"
        s.set("y", 2)
        self.assertEqual(s.get("y"), 2)

    def test_dropped_failures_reach_the_trace_only_when_asked(self):
        # The store runs on after a file it cannot read or write; with Qt's
        # logging rules asking for the engine's trace, each failure is one
        # line on standard error, and none without.
        self.write("not json")
        code = textwrap.dedent("""
            import pathlib, sys
            import engine
            engine.CONFIG_DIR = pathlib.Path(sys.argv[1])
            engine.SETTINGS_FILE = engine.CONFIG_DIR / "settings.json"
            s = engine.SettingsManager()
            s.set("bad", object())
            print(s.get("bad") is not None)
        """)
        traced = ["vyr.engine: settings file read: JSONDecodeError: Expecting value: line 1 column 1 (char 0)",
                  "vyr.engine: settings file write: TypeError: Object of type object is not JSON serializable"]
        for rules, lines in ((None, []), ("vyr.engine=true", traced), ("vyr.app=true", [])):
            with self.subTest(rules=rules):
                env = dict(os.environ)
                env.pop("QT_LOGGING_RULES", None)
                if rules:
                    env["QT_LOGGING_RULES"] = rules
                proc = subprocess.run([sys.executable, "-c", code, str(self.config)], env=env,
                                      capture_output=True, text=True, timeout=30)
                self.assertEqual((proc.returncode, proc.stdout), (0, "True\n"), proc.stderr)
                self.assertEqual(proc.stderr.splitlines(), lines)

    def test_creates_the_folders_and_keeps_permissions(self):
        s = engine.SettingsManager()
        self.assertFalse(self.config.parent.exists())
        s.set("locked", True)
        self.assertTrue(self.file.is_file())
        os.chmod(self.file, 0o600)
        s.set("locked", False)
        self.assertEqual(stat.S_IMODE(os.stat(self.file).st_mode), 0o600)

    def test_a_linked_file_stays_linked(self):
        # Dotfile managers keep settings.json as a link; the store writes
        # through it, making the file a dangling link points at, as an open
        # of the path would.
        dotfiles = pathlib.Path(self.tmp.name, "dotfiles")
        real = dotfiles / "settings.json"
        cases = [
            # (name, where the link points, a file there already)
            ("to a file", str(real), True),
            ("dangling", str(real), False),
            ("dangling, relative", os.path.join("..", "..", "..", "dotfiles", "settings.json"), False),
            ("to a dangling link", str(dotfiles / "link"), False),
        ]
        for name, target, exists in cases:
            with self.subTest(name):
                shutil.rmtree(dotfiles, ignore_errors=True)
                shutil.rmtree(self.config, ignore_errors=True)
                dotfiles.mkdir()
                self.config.mkdir(parents=True)
                if exists:
                    real.write_text('{"locked": true}')
                if target.endswith("link"):
                    os.symlink(real, target)
                self.file.symlink_to(target)
                s = engine.SettingsManager()
                self.assertIs(s.get("locked"), exists)
                s.set("x", 3)
                self.assertEqual(os.readlink(self.file), target)
                self.assertEqual(real.read_bytes(), python_bytes(s.data))
                self.assertEqual(sorted(p.name for p in dotfiles.iterdir()),
                                 sorted({"settings.json", pathlib.Path(target).name}))
                self.assertEqual(self.leftovers(), [])

    def test_an_unreadable_linked_file_is_kept_aside_and_the_link_stays(self):
        # The backup is a copy of what the link led to; the new settings go
        # through the link into the linked file.
        real = pathlib.Path(self.tmp.name, "dotfiles", "settings.json")
        real.parent.mkdir()
        real.write_bytes(b"{orientation: vertical")
        real.chmod(0o600)
        self.config.mkdir(parents=True)
        self.file.symlink_to(real)
        s = engine.SettingsManager()
        s.set("locked", True)
        self.assertEqual(os.readlink(self.file), str(real))
        self.assertEqual(real.read_bytes(), python_bytes(defaults(locked=True)))
        bak = pathlib.Path(str(self.file) + ".bak")
        self.assertFalse(bak.is_symlink())
        self.assertEqual(bak.read_bytes(), b"{orientation: vertical")
        self.assertEqual(stat.S_IMODE(os.stat(bak).st_mode), 0o600)
        self.assertEqual(sorted(p.name for p in real.parent.iterdir()), ["settings.json"])
        self.assertEqual(self.leftovers(), [])

    def test_a_link_that_leads_nowhere_is_left_alone(self):
        # A link to itself cannot be opened; the value stays in memory.
        self.config.mkdir(parents=True)
        self.file.symlink_to("settings.json")
        s = engine.SettingsManager()
        s.set("x", 3)
        self.assertEqual(s.get("x"), 3)
        self.assertEqual(os.readlink(self.file), "settings.json")
        self.assertEqual(self.leftovers(), [])

    def test_a_folder_that_cannot_be_written_holding_a_file_that_can(self):
        # No file can be made beside settings.json, so the new text goes over
        # the file itself, cut to its length. The store runs in a process of
        # its own, without root's right to write any folder.
        code = textwrap.dedent("""
            import pathlib, sys
            import engine
            engine.CONFIG_DIR = pathlib.Path(sys.argv[1])
            engine.SETTINGS_FILE = engine.CONFIG_DIR / "settings.json"
            s = engine.SettingsManager()
            s.set("note", "")
            s.set("locked", True)
        """)
        self.write(json.dumps({"note": "a long text that the new one is shorter than " * 8}))
        os.chmod(self.file, 0o640)
        os.chmod(self.config, 0o555)
        self.addCleanup(os.chmod, self.config, 0o755)
        proc = subprocess.run([sys.executable, "-c", code, str(self.config)], capture_output=True,
                              text=True, timeout=60, preexec_fn=without_root_file_rights)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(self.file.read_bytes(), python_bytes(defaults(note="", locked=True)))
        self.assertEqual(stat.S_IMODE(os.stat(self.file).st_mode), 0o640)
        self.assertEqual(self.leftovers(), [])

    def test_an_unreadable_file_in_a_folder_that_cannot_be_written(self):
        # No backup can be made beside it: the file itself takes the new
        # settings at the first set, and the trace says that no backup was
        # kept. The store runs without root's right to write any folder.
        code = """
            import pathlib, sys
            import engine
            engine.CONFIG_DIR = pathlib.Path(sys.argv[1])
            engine.SETTINGS_FILE = engine.CONFIG_DIR / "settings.json"
            s = engine.SettingsManager()
            s.set("locked", True)
            s.set("x", 5)
        """
        self.write(b"{orientation: vertical" + b" " * 400)
        os.chmod(self.file, 0o640)
        os.chmod(self.config, 0o555)
        self.addCleanup(os.chmod, self.config, 0o755)
        env = dict(os.environ, QT_LOGGING_RULES="vyr.engine=true")
        rc, out, err, killed = run_watched(code, [str(self.config)], env=env,
                                           preexec_fn=without_root_file_rights)
        self.assertEqual((rc, killed), (0, False), err)
        self.assertEqual(json.loads(self.file.read_bytes()), defaults(locked=True, x=5))
        self.assertEqual(self.file.read_bytes(), python_bytes(defaults(locked=True, x=5)))
        self.assertEqual(stat.S_IMODE(os.stat(self.file).st_mode), 0o640)
        self.assertFalse(pathlib.Path(str(self.file) + ".bak").exists())
        self.assertEqual(self.leftovers(), [])
        backup_lines = [line for line in err.splitlines() if "backup" in line]
        self.assertEqual(len(backup_lines), 1, err)  # tried once: the file is readable after
        self.assertTrue(backup_lines[0].startswith(
            "vyr.engine: settings file backup: no backup kept of the unreadable file: "), err)
        self.assertNotIn("settings file write", err)

    def test_files_longer_than_the_bound_are_not_read(self):
        # The store reads at most 1 MiB; a longer file counts as unreadable,
        # whatever it holds, and is kept aside at the first set. A file of
        # /proc that never ends is not read to its end: the store starts at
        # once and with little memory, and its settings live in memory.
        code = SET_LOCKED
        bak = pathlib.Path(str(self.file) + ".bak")
        just_over = json.dumps({"locked": True, "note": "x" * (1 << 20)}).encode()
        at_bound = json.dumps({"locked": "evet", "note": "x" * ((1 << 20) - 40)}).encode()
        at_bound += b" " * ((1 << 20) - len(at_bound))
        cases = [
            # (name, the file or where the link points, what the backup holds)
            ("valid json beyond the bound", just_over, just_over),
            ("a link to a file of /proc without end", "/proc/self/pagemap", None),
        ]
        for name, content, backup in cases:
            with self.subTest(name):
                shutil.rmtree(self.config, ignore_errors=True)
                self.config.mkdir(parents=True)
                if isinstance(content, bytes):
                    self.file.write_bytes(content)
                else:
                    self.file.symlink_to(content)
                rc, out, err, killed = run_watched(code, [str(self.config)])
                self.assertFalse(killed, "the store read the settings file without end")
                self.assertEqual(rc, 0, err)
                self.assertEqual(json.loads(out), [[list(i) for i in defaults().items()], True])
                if backup is None:
                    self.assertEqual(os.readlink(self.file), content)
                    self.assertFalse(bak.exists())
                else:
                    self.assertEqual(bak.read_bytes(), backup)
                    self.assertEqual(self.file.read_bytes(), python_bytes(defaults(locked=True)))
                self.assertEqual(self.leftovers(), [])
        # A file of exactly 1 MiB is read.
        shutil.rmtree(self.config)
        self.write(at_bound)
        self.assertEqual(len(at_bound), 1 << 20)
        self.assertEqual(engine.SettingsManager().get("locked"), "evet")

    def test_default_location_under_home(self):
        with tempfile.TemporaryDirectory() as home:
            code = textwrap.dedent("""
                import engine
                engine.SettingsManager().set("hover_popup", False)
            """)
            env = dict(os.environ, HOME=home)
            subprocess.run([sys.executable, "-c", code], check=True, env=env, timeout=60)
            path = pathlib.Path(home, ".config", "vyr-linux-monitor", "settings.json")
            self.assertEqual(json.loads(path.read_text())["hover_popup"], False)

    def test_subclass_and_instance_attributes(self):
        class Mine(engine.SettingsManager):
            DEFAULT_SETTINGS = {"only": 1}
        m = Mine()
        self.assertEqual(m.data, {"only": 1})
        self.assertEqual(m.get("refresh_ms", 7), 7)
        m.note = "instances take attributes"
        self.assertEqual(m.note, "instances take attributes")


if __name__ == "__main__":
    unittest.main()
