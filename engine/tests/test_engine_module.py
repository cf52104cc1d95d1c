"""The engine module as the runtime sees it: names, paths, records, the
snapshot, the argument forms of the process list, the folder scan and ending
a child process."""
import dataclasses
import math
import os
import pathlib
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import engine

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from process_wait import settled  # noqa: E402

DIST = pathlib.Path(os.environ.get("VYR_DIST_DIR", pathlib.Path(engine.__file__).parent))
# How long a test waits for a child or a background scan: far above what a busy machine takes.
WAIT_LIMIT = 60


def sleeping_in(pid, argv):
    """Waits until the process `pid` runs `argv` and sleeps in it; False when that did not
    come within the limit."""
    return settled(pid, argv, "S", WAIT_LIMIT)


def run_fresh(code, env=None):
    """Runs `code` in a new interpreter; returns (returncode, stdout, stderr)."""
    full = os.environ.copy()
    full.update(env or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=180, env=full)
    return proc.returncode, proc.stdout, proc.stderr


def required_fields(cls):
    """The fields of a record that every builder gives, in their order."""
    return [f for f in dataclasses.fields(cls)
            if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING]


def required_values(cls, **over):
    """A value of its type for each field that `cls` requires (0.0, 1, "" or a
    new list), in field order; `over` replaces some by name."""
    values = {f.name: (1 if f.type is int else f.type()) for f in required_fields(cls)}
    values.update(over)
    return values


def replace_in_class(test, owner, name, value):
    """Sets a class attribute, given back (or taken away) at the test's end."""
    missing = object()
    old = owner.__dict__.get(name, missing)
    setattr(owner, name, value)
    test.addCleanup(lambda: delattr(owner, name) if old is missing else setattr(owner, name, old))


def refusing_init(cls, refuse):
    """An __init__ for `cls` that refuses the values for which `refuse(values)`
    is true and makes the others as the class does."""
    plain_init = cls.__init__

    def init(record, **values):
        if refuse(values):
            raise ValueError("refused")
        plain_init(record, **values)
    return init


def process_args(**over):
    values = dict(cpu_percent=1.0)
    values.update(over)
    return required_values(engine.ProcessEntry, **values)


class ModuleNames(unittest.TestCase):
    def test_names_in_loading_order(self):
        own = [n for n in vars(engine) if not n.startswith("__")]
        self.assertEqual(own, ["APP_DIR", "ASSETS_DIR", "CONFIG_DIR", "SETTINGS_FILE",
                               "DiskPartitionInfo", "FolderUsageInfo", "SystemMetricsSnapshot",
                               "ProcessEntry", "SettingsManager", "SystemMonitorEngine"])
        self.assertEqual(engine.__test__, {})

    def test_paths(self):
        for name in ("APP_DIR", "ASSETS_DIR", "CONFIG_DIR", "SETTINGS_FILE"):
            self.assertIsInstance(getattr(engine, name), pathlib.Path, name)
        self.assertEqual(engine.APP_DIR, pathlib.Path(engine.__file__).resolve().parent)
        self.assertEqual(engine.ASSETS_DIR, engine.APP_DIR / "assets")
        self.assertEqual(engine.CONFIG_DIR, pathlib.Path.home() / ".config" / "vyr-linux-monitor")
        self.assertEqual(engine.SETTINGS_FILE, engine.CONFIG_DIR / "settings.json")

    def test_paths_follow_home_and_links(self):
        with tempfile.TemporaryDirectory() as tmp:
            linked = pathlib.Path(tmp, "linked")
            linked.mkdir()
            so = pathlib.Path(engine.__file__)
            (linked / so.name).symlink_to(so)
            rc, out, err = run_fresh("""
                import engine
                print(engine.__file__)
                print(engine.APP_DIR)
                print(engine.ASSETS_DIR)
                print(engine.SETTINGS_FILE)
            """, env={"PYTHONPATH": str(linked), "HOME": tmp})
            self.assertEqual(rc, 0, err)
            lines = out.splitlines()
            self.assertEqual(lines[0], str(linked / so.name))
            self.assertEqual(lines[1], str(so.resolve().parent))
            self.assertEqual(lines[2], str(so.resolve().parent / "assets"))
            self.assertEqual(lines[3], os.path.join(tmp, ".config", "vyr-linux-monitor",
                                                    "settings.json"))

    def test_loading_measures_nothing(self):
        rc, out, err = run_fresh("""
            import threading, engine
            print(threading.active_count(), engine.CONFIG_DIR.exists())
        """, env={"HOME": tempfile.gettempdir() + "/vyr-no-such-home"})
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.split(), ["1", "False"])


class Records(unittest.TestCase):
    def test_fields_and_defaults(self):
        # The records' sizes, their types of field, and where the fields that
        # a builder may leave out begin (the names and order of the fields are
        # the C++ records' own, which the C++ tests hold them to).
        records = [(engine.SystemMetricsSnapshot, 35, "partitions"),
                   (engine.ProcessEntry, 14, "process_count"),
                   (engine.DiskPartitionInfo, 7, None), (engine.FolderUsageInfo, 4, None)]
        for cls, count, first_optional in records:
            with self.subTest(cls.__name__):
                fields = dataclasses.fields(cls)
                self.assertEqual(len(fields), count)
                self.assertEqual(len({f.name for f in fields}), count)
                for f in fields:
                    self.assertIn(f.type, (float, int, str, list), f.name)
                optional = fields[len(required_fields(cls)):]
                self.assertEqual(optional[0].name if optional else None, first_optional)
                self.assertEqual(cls.__module__, "engine")

    def test_snapshot_defaults_and_own_lists(self):
        required = required_values(engine.SystemMetricsSnapshot)
        a = engine.SystemMetricsSnapshot(**required)
        b = engine.SystemMetricsSnapshot(**required)
        self.assertEqual(a.partitions, [])
        self.assertIsNot(a.partitions, b.partitions)
        swap = [f.name for f in dataclasses.fields(engine.SystemMetricsSnapshot)
                if f.name not in required and f.name != "partitions"]
        self.assertEqual(len(swap), 8)
        for name in swap:
            self.assertEqual(getattr(a, name), 0.0, name)
        a.partitions.append(engine.DiskPartitionInfo("/dev/sda1", "/", "ext4", 1.0, 0.5, 0.5, 50.0))
        self.assertEqual(b.partitions, [])
        self.assertNotEqual(a, b)
        with self.assertRaises(TypeError):
            engine.SystemMetricsSnapshot(timestamp=1.0)

    def test_process_entry_behaves_like_a_value_record(self):
        row = engine.ProcessEntry(**process_args())
        self.assertEqual(row.process_count, 1)
        self.assertEqual(row.cmdline, "")
        by_position = engine.ProcessEntry(*process_args().values(), 3, "bash -l")
        self.assertEqual(by_position.process_count, 3)
        self.assertEqual(by_position.cmdline, "bash -l")
        self.assertEqual(row, engine.ProcessEntry(**process_args()))
        row.cpu_percent += 5.0  # grouping adds into an existing row
        self.assertEqual(row.cpu_percent, 6.0)
        self.assertNotEqual(row, engine.ProcessEntry(**process_args()))
        self.assertEqual(repr(engine.FolderUsageInfo("Belgeler (Documents)", "/home/a/Documents",
                                                     1536.0, "1.50 GB")),
                         "FolderUsageInfo(label='Belgeler (Documents)', path='/home/a/Documents', "
                         "size_mb=1536.0, size_str='1.50 GB')")


class Snapshot(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.engine = engine.SystemMonitorEngine()
        time.sleep(0.2)
        cls.snap = cls.engine.get_system_snapshot()

    def test_all_fields_filled(self):
        s = self.snap
        self.assertIsInstance(s, engine.SystemMetricsSnapshot)
        for f in dataclasses.fields(engine.SystemMetricsSnapshot):
            self.assertIsInstance(getattr(s, f.name), f.type, f.name)
        self.assertGreater(s.ram_total_gb, 0.0)
        self.assertGreater(s.disk_total_gb, 0.0)
        self.assertGreaterEqual(s.cpu_count_logical, 1)
        self.assertEqual(len(s.cpu_per_core), s.cpu_count_logical)
        self.assertTrue(all(isinstance(v, float) and 0.0 <= v <= 100.0 for v in s.cpu_per_core))
        self.assertGreater(len(s.partitions), 0)
        self.assertIsInstance(s.partitions[0], engine.DiskPartitionInfo)
        self.assertEqual(s.disk_mount, "/")
        self.assertRegex(s.workload_color, r"^#[0-9A-F]{6}$")
        self.assertRegex(s.uptime_str, r"^(\d+g )?\d+s \d+dk$")
        self.assertLess(abs(s.timestamp - time.time()), 5.0)

    def test_figures_agree_with_each_other(self):
        s = self.snap
        self.assertEqual(s.cpu_percent, sum(s.cpu_per_core) / len(s.cpu_per_core))
        load_pct = min(s.load_1m / max(1, s.cpu_count_logical) * 100.0, 100.0)
        overall = min(0.5 * max(s.cpu_percent, load_pct) + 0.35 * s.ram_percent
                      + 0.15 * s.swap_percent, 100.0)
        self.assertEqual(s.overall_workload_percent, overall)
        label = ("DÜŞÜK / RAHAT" if overall < 35 else "NORMAL / DENGELİ" if overall < 65
                 else "YOĞUN YÜK" if overall < 85 else "KRİTİK YÜK")
        self.assertEqual(s.workload_label, label)
        self.assertAlmostEqual(s.ram_used_gb, s.ram_total_gb - s.ram_avail_gb, places=9)
        self.assertAlmostEqual(s.swap_used_mb, s.swap_used_gb * 1024, places=6)

    def test_load_averages_are_the_runtime_s_own(self):
        # The kernel moves them every few seconds: a snapshot taken between
        # two equal readings of os.getloadavg() shows exactly those figures.
        for _ in range(20):
            before = os.getloadavg()
            s = self.engine.get_system_snapshot()
            if os.getloadavg() == before:
                self.assertEqual((s.load_1m, s.load_5m, s.load_15m), before)
                return
        self.fail("the load averages changed during every snapshot")

    def test_primary_disk_is_what_the_snapshot_shows(self):
        mount, device, usage = self.engine._resolve_primary_disk()
        self.assertIn(mount, ("/", str(engine.APP_DIR)))
        self.assertEqual(usage._fields, ("total", "used", "free", "percent"))
        self.assertEqual([type(v) for v in usage], [int, int, int, float])
        self.assertEqual(usage, (usage.total, usage.used, usage.free, usage.percent))
        st = os.statvfs(mount)
        self.assertEqual(usage.total, st.f_blocks * st.f_frsize)
        self.assertEqual(usage.percent, round(usage.used / (usage.used + usage.free) * 100, 1))
        s = self.engine.get_system_snapshot()
        self.assertEqual(device, s.disk_device)
        self.assertEqual(usage.total / 2 ** 30, s.disk_total_gb)

    def test_a_partition_whose_record_is_refused_is_left_out(self):
        # Only the partition whose record cannot be made is missing; when that
        # leaves none, the entry that stands in for an empty list is made.
        e = self.engine
        listed = e._get_partitions()
        mount, device, _ = e._resolve_primary_disk()
        stand_in = [(device, mount if mount == "/" else "/ (Ana Disk)")]
        expected = [(p.device, p.mountpoint) for p in listed[1:]] or stand_in
        made = []

        def refuse_first(values):
            made.append(values["device"])
            return len(made) == 1
        replace_in_class(self, engine.DiskPartitionInfo, "__init__",
                         refusing_init(engine.DiskPartitionInfo, refuse_first))
        for name, call in (("_get_partitions", e._get_partitions),
                           ("get_system_snapshot", lambda: e.get_system_snapshot().partitions)):
            with self.subTest(name):
                made.clear()
                parts = call()
                self.assertEqual([(p.device, p.mountpoint) for p in parts], expected)
                self.assertTrue(all(type(p) is engine.DiskPartitionInfo for p in parts))
        # The stand-in entry has no guard: when it cannot be made either, the call fails.
        replace_in_class(self, engine.DiskPartitionInfo, "__init__",
                         refusing_init(engine.DiskPartitionInfo, lambda values: True))
        with self.assertRaises(ValueError):
            e._get_partitions()

    def test_each_call_is_a_new_record(self):
        a = self.engine.get_system_snapshot()
        b = self.engine.get_system_snapshot()
        self.assertIsNot(a, b)
        self.assertIsNot(a.partitions, b.partitions)
        self.assertGreaterEqual(b.timestamp, a.timestamp)
        self.assertEqual(self.engine._format_uptime(), b.uptime_str)


class ProcessList(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.engine = engine.SystemMonitorEngine()
        cls.tmp = tempfile.TemporaryDirectory()
        # A child under a name no other process has.
        cls.probe_name = "vyrprobe%d" % os.getpid()
        probe = pathlib.Path(cls.tmp.name, cls.probe_name)
        probe.symlink_to(shutil.which("sleep"))
        cls.children = [subprocess.Popen([str(probe), "60"], start_new_session=True)
                        for _ in range(2)]
        for c in cls.children:
            if not sleeping_in(c.pid, [str(probe), "60"]):
                cls.tearDownClass()
                raise RuntimeError("the probe child %d did not start" % c.pid)

    @classmethod
    def tearDownClass(cls):
        for c in cls.children:
            c.kill()
            c.wait()
        cls.tmp.cleanup()

    def test_argument_forms(self):
        e = self.engine
        forms = [
            ((), {}),
            (("cpu", "", True, 5), {}),
            ((), {"sort_by": "ram", "search_query": "", "group_by_app": False, "limit": 5}),
            (("disk",), {"limit": 3}),
        ]
        for args, kwargs in forms:
            rows = e.collect_processes(*args, **kwargs)
            self.assertIsInstance(rows, list)
            self.assertTrue(all(isinstance(r, engine.ProcessEntry) for r in rows))
            self.assertLessEqual(len(rows), kwargs.get("limit", args[3] if len(args) > 3 else 80))
        self.assertEqual(e.collect_processes(limit=0), [])
        with self.assertRaises(TypeError):
            e.collect_processes(limit=1.5)
        with self.assertRaises(TypeError):
            e.collect_processes(bogus=1)
        with self.assertRaises(AttributeError):
            e.collect_processes(search_query=42)

    def test_the_probe_children(self):
        rows = self.engine.collect_processes(search_query="  " + self.probe_name.upper() + " ",
                                             limit=None)
        self.assertEqual(sorted(r.pid for r in rows), sorted(c.pid for c in self.children))
        me = pwd.getpwuid(os.getuid()).pw_name
        for r in rows:
            self.assertEqual(r.name, self.probe_name)
            self.assertEqual(r.display_name, self.probe_name)
            self.assertEqual(r.username, me)
            self.assertEqual(r.status, "sleeping")
            self.assertTrue(r.cmdline.endswith(self.probe_name + " 60"))
            self.assertEqual(r.process_count, 1)
            self.assertGreater(r.ram_mb, 0.0)
        grouped = self.engine.collect_processes("workload", self.probe_name, "yes", 75)
        self.assertEqual(len(grouped), 1)
        self.assertEqual(grouped[0].process_count, 2)
        self.assertEqual(grouped[0].display_name, self.probe_name + " (2 işlem)")
        # a negative limit drops rows from the end, as slicing does
        self.assertEqual(len(self.engine.collect_processes("cpu", self.probe_name, False, -1)), 1)
        by_pid = self.engine.collect_processes(search_query=str(self.children[0].pid), limit=None)
        self.assertIn(self.children[0].pid, [r.pid for r in by_pid])

    def test_sorted_by_the_chosen_key(self):
        keys = {
            "cpu": lambda r: (r.cpu_percent, r.ram_mb),
            "ram": lambda r: (r.ram_mb, r.cpu_percent),
            "swap": lambda r: (r.swap_mb, r.ram_mb),
            "disk": lambda r: (r.disk_rw_kb_s, r.disk_total_mb, r.ram_mb),
            "workload": lambda r: (r.workload_score, r.cpu_percent, r.ram_mb),
        }
        for sort_by, key in keys.items():
            rows = self.engine.collect_processes(sort_by=sort_by, limit=None)
            self.assertEqual([key(r) for r in rows], sorted((key(r) for r in rows), reverse=True),
                             sort_by)
            self.assertTrue(all(r.cpu_percent >= 0.0 for r in rows))

    def test_records_are_what_their_classes_make(self):
        # Each record the engine gives, the snapshot's too, is what its class
        # makes of the same values: equal, with the same repr and asdict, and
        # the same attributes in the same order, each of the same type.
        snapshot = self.engine.get_system_snapshot()
        rows = (self.engine.collect_processes(limit=None)
                + self.engine.collect_processes(group_by_app=True, limit=None))
        for i, record in enumerate([snapshot, *snapshot.partitions, *rows]):
            with self.subTest(type(record).__name__, i=i):
                values = {f.name: getattr(record, f.name) for f in dataclasses.fields(record)}
                made = type(record)(**{k: list(v) if isinstance(v, list) else v for k, v in values.items()})
                self.assertEqual(record, made)
                self.assertEqual(repr(record), repr(made))
                self.assertEqual(dataclasses.asdict(record), dataclasses.asdict(made))
                self.assertEqual([(k, type(v), v) for k, v in vars(record).items()],
                                 [(k, type(v), v) for k, v in vars(made).items()])
        # A row changed by its caller changes alone.
        a, b = rows[0], rows[1]
        before = dataclasses.astuple(b)
        a.swap_mb += 1.0
        a.name = "x"
        self.assertEqual(dataclasses.astuple(b), before)

    def test_own_counters(self):
        swap, io = engine.SystemMonitorEngine._read_proc_swap_and_io(os.getpid())
        self.assertIsInstance(swap, float)
        self.assertIsInstance(io, int)
        self.assertEqual(self.engine._read_proc_swap_and_io(2 ** 30), (0.0, 0))
        # Values that name no process folder read nothing, and never fail.
        for value in (2 ** 70, -1, "abc", "", 5.0, None, True, object()):
            with self.subTest(value=value):
                self.assertEqual(engine.SystemMonitorEngine._read_proc_swap_and_io(value), (0.0, 0))
        with self.assertRaises(TypeError):
            engine.SystemMonitorEngine._read_proc_swap_and_io()

    def replace_in_class(self, owner, name, value):
        replace_in_class(self, owner, name, value)

    def test_a_row_whose_record_is_refused_is_left_out(self):
        # An __init__ or an attribute setting that refuses one process's
        # values leaves out that process alone, in every form of the list.
        refused = self.children[0].pid
        kept = self.children[1].pid
        plain_init = engine.ProcessEntry.__init__

        def init(record, **values):
            if values["pid"] == refused:
                raise ValueError("refused")
            plain_init(record, **values)

        def setattr_(record, name, value):
            if name == "pid" and value == refused:
                raise ValueError("refused")
            object.__setattr__(record, name, value)

        e = self.engine
        for name, value in (("__init__", init), ("__setattr__", setattr_)):
            with self.subTest(name):
                self.replace_in_class(engine.ProcessEntry, name, value)
                self.assertEqual([r.pid for r in e.collect_processes(search_query=self.probe_name)], [kept])
                # the limit counts the rows that were made
                self.assertEqual([r.pid for r in e.collect_processes("cpu", self.probe_name, False, 1)], [kept])
                self.assertEqual([r.pid for r in e.collect_processes("cpu", self.probe_name, False, -1)], [])
                everyone = e.collect_processes(limit=None)
                self.assertNotIn(refused, [r.pid for r in everyone])
                self.assertIn(kept, [r.pid for r in everyone])
                grouped = e.collect_processes(search_query=self.probe_name, group_by_app=True)
                self.assertEqual([(r.pid, r.process_count, r.display_name) for r in grouped],
                                 [(kept, 1, self.probe_name)])
                self.doCleanups()
                self.assertEqual(len(e.collect_processes(search_query=self.probe_name)), 2)

    def test_a_group_whose_record_is_refused_is_left_out(self):
        # A value only a group has (more than one process) refused by the
        # record's __init__: that group alone is missing.
        e = self.engine
        self.replace_in_class(engine.ProcessEntry, "__init__",
                              refusing_init(engine.ProcessEntry, lambda v: v["process_count"] != 1))
        self.assertEqual(e.collect_processes(search_query=self.probe_name, group_by_app=True), [])
        grouped = e.collect_processes(group_by_app=True, limit=None)
        self.assertTrue(grouped)
        self.assertTrue(all(r.process_count == 1 for r in grouped))
        self.assertNotIn(self.probe_name, [r.name for r in grouped])
        # the limit counts the groups that were made
        self.assertEqual(len(e.collect_processes(group_by_app=True, limit=2)), min(2, len(grouped)))

    def test_a_search_that_is_not_a_text(self):
        # Bytes strip and lower-case as a text does, but no process's name or
        # command line holds them: every process fails the search. An empty
        # search of bytes is no search.
        e = self.engine
        self.assertEqual(e.collect_processes(search_query=b"x"), [])
        self.assertEqual(e.collect_processes(search_query=self.probe_name.encode(), group_by_app=True), [])
        everyone = e.collect_processes(search_query=b"  ", limit=None)
        self.assertLessEqual({c.pid for c in self.children}, {r.pid for r in everyone})

    def test_an_exit_request_from_a_record_passes_on(self):
        def init(record, **values):
            raise KeyboardInterrupt

        self.replace_in_class(engine.ProcessEntry, "__init__", init)
        with self.assertRaises(KeyboardInterrupt):
            self.engine.collect_processes(search_query=self.probe_name)

    def test_records_are_made_by_the_class_the_module_carries(self):
        class Subclass(engine.ProcessEntry):
            pass

        class Plain:
            def __init__(self, **values):
                self.__dict__.update(values)

        plain_snapshot = type("OtherSnapshot", (Plain,), {})
        for name, cls in (("ProcessEntry", Subclass), ("ProcessEntry", Plain),
                          ("SystemMetricsSnapshot", plain_snapshot)):
            with self.subTest(cls=cls.__name__):
                original = getattr(engine, name)
                setattr(engine, name, cls)
                try:
                    if name == "ProcessEntry":
                        rows = (self.engine.collect_processes(search_query=self.probe_name)
                                + self.engine.collect_processes(search_query=self.probe_name,
                                                                group_by_app=True))
                        self.assertEqual(len(rows), 3)
                        self.assertTrue(all(type(r) is cls for r in rows), rows)
                        self.assertEqual({r.name for r in rows}, {self.probe_name})
                    else:
                        snapshot = self.engine.get_system_snapshot()
                        self.assertIs(type(snapshot), cls)
                        self.assertTrue(all(type(p) is engine.DiskPartitionInfo for p in snapshot.partitions))
                finally:
                    setattr(engine, name, original)
        self.assertIs(type(self.engine.collect_processes(limit=1)[0]), engine.ProcessEntry)


class FolderScan(unittest.TestCase):
    def test_a_folder_whose_record_is_refused_is_left_out(self):
        with tempfile.TemporaryDirectory() as home:
            for name in ("Documents", "Desktop"):
                pathlib.Path(home, name).mkdir()
            rc, out, err = run_fresh("""
                import time, engine
                plain_init = engine.FolderUsageInfo.__init__
                def init(record, **values):
                    if values["label"] == "Belgeler (Documents)":
                        raise ValueError("refused")
                    plain_init(record, **values)
                engine.FolderUsageInfo.__init__ = init
                e = engine.SystemMonitorEngine()
                while not e.get_folder_usages():
                    time.sleep(0.05)
                assert e.folder_usages == e.get_folder_usages()
                for f in e.get_folder_usages():
                    print(f.label)
            """, env={"HOME": home})
            self.assertEqual(rc, 0, err)
            self.assertIn("Masaüstü (Desktop)", out.splitlines())
            self.assertNotIn("Belgeler (Documents)", out.splitlines())

    def test_scan_of_a_home_folder(self):
        with tempfile.TemporaryDirectory() as home:
            docs = pathlib.Path(home, "Documents")
            docs.mkdir()
            (docs / "big.bin").write_bytes(b"x" * (3 << 20))
            pathlib.Path(home, "Desktop").symlink_to(docs)  # measured where it points
            rc, out, err = run_fresh("""
                import time, engine
                e = engine.SystemMonitorEngine()
                stamp = e._last_folder_scan
                assert stamp > 0.0   # the engine started a scan when it was made
                deadline = time.monotonic() + 120   # the scan runs du, slowly on a busy machine
                while not e.get_folder_usages() and time.monotonic() < deadline:
                    time.sleep(0.05)
                first = e.get_folder_usages()
                again = e.get_folder_usages()
                assert first is not again and first == again
                assert all(a is b for a, b in zip(first, again))
                first.clear()
                assert e.get_folder_usages() == again
                e.trigger_folder_scan_async()   # within 45 s: refused
                assert e._last_folder_scan == stamp
                assert e.folder_usages == again
                for f in again:
                    print(f.label, f.size_mb, f.size_str, sep="|")
            """, env={"HOME": home})
            self.assertEqual(rc, 0, err)
            found = {line.split("|")[0]: line.split("|")[1:] for line in out.splitlines()}
            self.assertIn("Belgeler (Documents)", found)
            self.assertGreaterEqual(float(found["Belgeler (Documents)"][0]), 3.0)
            self.assertEqual(found["Masaüstü (Desktop)"], found["Belgeler (Documents)"])
            self.assertNotIn("İndirilenler (Downloads)", found)
            sizes = [float(v[0]) for v in found.values()]
            self.assertEqual(sizes, sorted(sizes, reverse=True))


class Termination(unittest.TestCase):
    def child(self):
        c = subprocess.Popen(["sleep", "60"], start_new_session=True)
        self.addCleanup(lambda: (c.poll() is None and c.kill(), c.wait()))
        self.assertTrue(sleeping_in(c.pid, ["sleep", "60"]), "the child did not start")
        return c

    def test_end_and_kill(self):
        term = engine.SystemMonitorEngine.terminate_process
        c = self.child()
        self.assertEqual(term(c.pid, force=False),
                         (True, "'sleep' (PID %d) sonlandırma sinyali gönderildi (SIGTERM)." % c.pid))
        self.assertEqual(c.wait(WAIT_LIMIT), -signal.SIGTERM)
        c = self.child()
        self.assertEqual(term(c.pid, True),
                         (True, "'sleep' (PID %d) zorla kapatıldı (SIGKILL)." % c.pid))
        self.assertEqual(c.wait(WAIT_LIMIT), -signal.SIGKILL)
        self.assertEqual(term(c.pid), (False, "PID %d artık çalışmıyor." % c.pid))

    def test_values_that_name_no_running_process(self):
        term = engine.SystemMonitorEngine().terminate_process
        gone = "PID %s artık çalışmıyor."
        invalid = "Hata: pid must be a positive integer (got %s)"
        cases = [
            (0, gone % 0), (-1, invalid % -1), (-2 ** 70, invalid % -2 ** 70),
            (2 ** 40, gone % 2 ** 40), (2 ** 70, gone % 2 ** 70),
            # not integers: their texts name no process
            (True, gone % True), (False, gone % False), (5.0, gone % 5.0),
            (-1.5, "Hata: pid must be a positive integer (got -1.5)"),
            ("abc", "Hata: '<' not supported between instances of 'str' and 'int'"),
            ("12", "Hata: '<' not supported between instances of 'str' and 'int'"),
        ]
        for value, message in cases:
            for force in (False, True):
                # a name no process has: a value taken for a real process
                # id (True as 1) is still never signalled
                self.assertEqual(term(value, force, expected_name="no such program"),
                                 (False, message), repr(value))

    def test_none_is_the_calling_process(self):
        rc, out, err = run_fresh("""
            import signal
            import engine
            got = []
            signal.signal(signal.SIGTERM, lambda sig, frame: got.append(sig))
            term = engine.SystemMonitorEngine.terminate_process
            print(term(None, expected_name="no such program"), got)
            ok, message = term(None)
            print(ok, got)
            print(message)
        """)
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0], "(False, 'PID None artık çalışmıyor.') []")
        self.assertEqual(lines[1], "True [%d]" % signal.SIGTERM)
        self.assertRegex(lines[2], r"^'python[^']*' \(PID None\) sonlandırma sinyali gönderildi \(SIGTERM\)\.$")

    def test_a_force_without_a_truth(self):
        # Whether to kill is asked once the process is open and named: a
        # truth test that fails ends the call with its text and no signal.
        class NoTruth:
            def __init__(self, error):
                self.error = error

            def __bool__(self):
                raise self.error

        term = engine.SystemMonitorEngine.terminate_process
        c = self.child()
        self.assertEqual(term(c.pid, NoTruth(ValueError("no truth"))), (False, "Hata: no truth"))
        self.assertEqual(term(c.pid, force=NoTruth(RuntimeError())), (False, "Hata: "))
        with self.assertRaises(KeyboardInterrupt):
            term(c.pid, NoTruth(KeyboardInterrupt()))
        self.assertIsNone(c.poll())
        c.kill()
        c.wait()
        for pid, message in ((c.pid, "PID %d artık çalışmıyor." % c.pid),
                             (0, "PID 0 artık çalışmıyor."),
                             (-1, "Hata: pid must be a positive integer (got -1)"),
                             ("abc", "Hata: '<' not supported between instances of 'str' and 'int'")):
            self.assertEqual(term(pid, NoTruth(ValueError("no truth"))), (False, message))

    def test_a_name_bytes_cannot_carry_is_no_process_s_name(self):
        # A process may name itself anything, also what the engine might have
        # used to stand for such a name; it is still not signalled.
        names = [b"\xff\xfe\xfd<invalid>", "\ud800".encode("utf-8", "surrogatepass")]
        for name in names:
            with self.subTest(name=name):
                c = subprocess.Popen(
                    [sys.executable, "-c", "import ctypes, sys, time\n"
                     "ctypes.CDLL(None).prctl(15, bytes.fromhex(sys.argv[1]), 0, 0, 0)\n"
                     "print(flush=True)\ntime.sleep(60)\n", name.hex()],
                    stdout=subprocess.PIPE, start_new_session=True)
                self.addCleanup(lambda c=c: (c.poll() is None and c.kill(), c.wait(), c.stdout.close()))
                c.stdout.readline()  # the name is set
                ok, message = engine.SystemMonitorEngine.terminate_process(c.pid, True, expected_name="\ud800")
                self.assertEqual((ok, message), (False, "PID %d artık çalışmıyor." % c.pid))
                self.assertIsNone(c.poll())

    def test_confirmed_name(self):
        term = engine.SystemMonitorEngine().terminate_process
        c = self.child()
        self.assertEqual(term(c.pid, force=True, expected_name="firefox"),
                         (False, "PID %d artık çalışmıyor." % c.pid))
        self.assertIsNone(c.poll())
        self.assertEqual(term(c.pid, expected_name="sleep")[0], True)
        self.assertEqual(c.wait(WAIT_LIMIT), -signal.SIGTERM)


class Concurrency(unittest.TestCase):
    def test_init_again_while_a_list_is_read(self):
        # A second __init__ makes a new core; the call that is still reading
        # with the old one finishes with it.
        rc, out, err = run_fresh("""
            import threading, time
            import engine
            e = engine.SystemMonitorEngine()
            done = threading.Event()
            lists = []
            def reader():
                for _ in range(15):
                    lists.append(len(e.collect_processes(limit=None)))
                    e.get_system_snapshot()
                done.set()
            t = threading.Thread(target=reader)
            t.start()
            inits = 0
            while not done.is_set() and inits < 25:
                e.__init__()
                inits += 1
                time.sleep(0.01)
            t.join()
            print(len(lists), min(lists) > 0, inits > 0)
        """)
        self.assertEqual((rc, out.strip()), (0, "15 True True"), err)

    def test_other_threads_run_while_the_engine_reads(self):
        import threading
        e = engine.SystemMonitorEngine()
        stop = threading.Event()
        ticks = []

        def reader():
            while not stop.is_set():
                e.get_system_snapshot()
                e.collect_processes(limit=None)

        t = threading.Thread(target=reader)
        t.start()
        try:
            for _ in range(20):
                ticks.append(len(e.get_folder_usages()) >= 0)
                engine.SystemMonitorEngine.terminate_process(0)
                time.sleep(0.01)
        finally:
            stop.set()
            t.join(30)
        self.assertFalse(t.is_alive())
        self.assertEqual(len(ticks), 20)


# Code for `run_fresh`: kept_files() gives the descriptors of that
# interpreter that are kept process files, by number.
KEPT_FILES = """
import os, re
def kept_files():
    out = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/" + name)
        except OSError:
            continue
        if re.fullmatch(r"/proc/[0-9]+/(stat|status|io|cmdline)", target):
            out[int(name)] = target
    return out
"""


class KeptFiles(unittest.TestCase):
    """The process files the engine keeps open take only descriptors the
    program can spare, and its children never see them."""

    def setUp(self):
        import resource
        self.hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        if self.hard != resource.RLIM_INFINITY and self.hard < 4096:
            self.skipTest("a hard descriptor limit below 4 096")
        self.home = tempfile.TemporaryDirectory()
        self.addCleanup(self.home.cleanup)

    def env(self, **more):
        """A home of its own, and the files kept as by default."""
        return dict(HOME=self.home.name, VYR_PROC_FILES_KEPT="", **more)

    def test_nearly_full_descriptor_table(self):
        # soft = hard, and all but a handful taken before the engine is made.
        rc, out, err = run_fresh("""
            import errno, os, resource, subprocess
            import engine
            resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
            name = "vyr-nearly-full-" + str(os.getpid())
            children = [subprocess.Popen([name, "600"], executable="/bin/sleep", stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                        for _ in range(100)]
            try:
                own = []
                try:
                    while True:
                        own.append(os.open("/dev/null", os.O_RDONLY | os.O_CLOEXEC))
                except OSError as e:
                    assert e.errno == errno.EMFILE, e
                for _ in range(16):
                    os.close(own.pop())
                e = engine.SystemMonitorEngine()
                for _ in range(3):
                    rows = e.collect_processes(search_query=name, limit=1000)
                    assert sorted(r.pid for r in rows) == sorted(c.pid for c in children), len(rows)
                    with open("/dev/null") as f:
                        pass
                    e.get_system_snapshot()
                print("ok")
            finally:
                for c in children:
                    c.kill()
                    c.wait()
        """, env=self.env())
        self.assertEqual((rc, out.strip()), (0, "ok"), err)

    def test_no_kept_descriptor_below_1024(self):
        rc, out, err = run_fresh(KEPT_FILES + textwrap.dedent("""
            import resource
            import engine
            hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
            e = engine.SystemMonitorEngine()
            e.collect_processes(limit=None)
            kept = kept_files()
            print(len(kept) > 0, min(kept, default=0) >= 1024)
        """), env=self.env())
        self.assertEqual((rc, out.strip()), (0, "True True"), err)

    def test_a_started_program_gets_the_starting_limit(self):
        # A stand-in du writes down its descriptor limit, its signal state
        # and its open descriptors; the second engine's scan runs it while
        # the first one's list keeps its files open.
        bin_dir = pathlib.Path(self.home.name, "bin")
        bin_dir.mkdir()
        report = pathlib.Path(self.home.name, "report")
        du = bin_dir / "du"
        du.write_text(textwrap.dedent("""\
            #!/bin/sh
            {
              echo run
              # Read by the shell itself: while it starts a command, it
              # blocks signals for a moment.
              while read -r line; do
                case $line in "Max open files"*) echo "$line" ;; esac
              done < /proc/$$/limits
              while read -r line; do
                case $line in SigBlk:*|SigIgn:*) echo "$line" ;; esac
              done < /proc/$$/status
              ls -l /proc/$$/fd
            } >> "$VYR_DU_REPORT"
            for last; do :; done
            printf '1\\t%s\\n' "$last"
            """))
        du.chmod(0o755)
        pathlib.Path(self.home.name, "Documents").mkdir()
        rc, out, err = run_fresh(KEPT_FILES + textwrap.dedent("""
            import resource, time
            import engine
            hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
            resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))
            def scanned(e):
                for _ in range(600):
                    if e.get_folder_usages():
                        return True
                    time.sleep(0.05)
            first = engine.SystemMonitorEngine()
            assert scanned(first)
            first.collect_processes(limit=None)
            print(len(kept_files()) > 0, resource.getrlimit(resource.RLIMIT_NOFILE)[0] > 1024)
            second = engine.SystemMonitorEngine()
            assert scanned(second)
            print(len(kept_files()) > 0)
        """), env=self.env(VYR_DU_REPORT=str(report),
                             PATH=str(bin_dir) + os.pathsep + os.environ.get("PATH", "")))
        self.assertEqual((rc, out.split()), (0, ["True", "True", "True"]), err)
        runs = report.read_text().split("run\n")[1:]
        self.assertGreaterEqual(len(runs), 2, report.read_text())
        for run in runs:
            lines = run.splitlines()
            self.assertEqual(lines[0].split()[3], "1024", run)
            sig = {l.split(":")[0]: int(l.split()[1], 16) for l in lines if l.startswith("Sig")}
            self.assertEqual(sig["SigBlk"], 0, run)
            for ignored_by_the_runtime in (signal.SIGPIPE, signal.SIGXFSZ):
                self.assertFalse(sig["SigIgn"] & (1 << (ignored_by_the_runtime - 1)), run)
            for line in lines:
                if " -> " in line:
                    number, target = line.split(" -> ", 1)
                    self.assertLess(int(number.split()[-1]), 1024, run)
                    self.assertNotRegex(target, r"^/proc/[0-9]+/", run)

if __name__ == "__main__":
    unittest.main()
