"""Live check on this machine: the engine's figures against the classic
system-information library, run by the system interpreter as an oracle."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import unittest

import engine

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from process_wait import settled  # noqa: E402

ORACLE_PYTHON = "/usr/bin/python3"
ORACLE = pathlib.Path(__file__).with_name("oracle_psutil.py")
EXCLUDED = ("claude", "antigravity", "language_server")


def oracle(pids):
    out = subprocess.run([ORACLE_PYTHON, str(ORACLE), *map(str, pids)], capture_output=True,
                         text=True, timeout=120, check=True)
    return json.loads(out.stdout)


def have_oracle():
    try:
        subprocess.run([ORACLE_PYTHON, "-c", "import psutil"], check=True, timeout=60,
                       capture_output=True)
        return True
    except (OSError, subprocess.SubprocessError):
        return False


def uptime_text(seconds):
    up = int(seconds)
    days, rem = divmod(up, 86400)
    hours, rem = divmod(rem, 3600)
    minutes = rem // 60
    return ("%dg %ds %ddk" % (days, hours, minutes)) if days > 0 else ("%ds %ddk" % (hours, minutes))


@unittest.skipUnless(have_oracle(), "the system interpreter has no psutil")
class AgainstTheOracle(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The processes compared are this test's own children, whose state and
        # command line are known, and two whose names and command lines stay as
        # they are while it runs: itself and its parent. A child sleeping, one
        # stopped, a zombie, one with carriage returns in its arguments and one
        # that an exclusion word keeps out of the list (a shell that waits for
        # its sleep).
        started = []

        def child(*args):
            c = subprocess.Popen(args, start_new_session=True)
            started.append((c, list(args)))
            return c

        cls.sleeper = child("sleep", "60")
        cls.stopped = child("sleep", "60")
        cls.zombie = child("true")
        cls.with_cr = child("sh", "-c", "sleep 60; :", "vyr", "line\rend", "pair\r\nend", "last\r")
        cls.excluded = child("sh", "-c", "sleep 60; :", "vyr", EXCLUDED[-1])
        cls.children = (cls.sleeper, cls.stopped, cls.zombie, cls.with_cr, cls.excluded)
        try:
            for c, argv in started:
                if not (settled(c.pid, None, "Z") if c is cls.zombie else settled(c.pid, argv, "S")):
                    raise RuntimeError("the child %r did not start" % argv)
            os.kill(cls.stopped.pid, signal.SIGSTOP)
            if not settled(cls.stopped.pid, ["sleep", "60"], "T"):
                raise RuntimeError("the stopped child did not stop")
        except BaseException:
            cls.tearDownClass()
            raise
        cls.listed = [c.pid for c in cls.children if c is not cls.excluded] + [
            os.getpid(), os.getppid()]
        pids = cls.listed + [cls.excluded.pid]
        cls.before = oracle(pids)
        cls.engine = engine.SystemMonitorEngine()
        cls.t0 = time.time()
        cls.snap = cls.engine.get_system_snapshot()
        cls.t1 = time.time()
        cls.rows = {r.pid: r for r in cls.engine.collect_processes(limit=None)}
        cls.after = oracle(pids)

    @classmethod
    def tearDownClass(cls):
        for c in cls.children:
            if c is not cls.zombie:
                os.killpg(c.pid, signal.SIGKILL)
            c.wait()

    def test_machine_totals(self):
        s, o = self.snap, self.before
        self.assertEqual(s.ram_total_gb * 2 ** 30, o["mem_total"])
        self.assertEqual(s.swap_total_gb * 2 ** 30, o["swap_total"])
        self.assertEqual(s.swap_total_mb * 2 ** 20, o["swap_total"])
        self.assertEqual(s.cpu_count_logical, o["logical"])
        self.assertEqual(s.cpu_count_physical, o["physical"] or o["logical"])

    def test_boot_time(self):
        boot = self.before["boot_time"]
        self.assertEqual(boot, self.after["boot_time"])
        self.assertIn(self.snap.uptime_str, {uptime_text(self.t0 - boot),
                                             uptime_text(self.t1 - boot)})

    def test_partition_list(self):
        expected, seen = [], set()
        for device, mount, fstype in self.before["partitions"]:
            if fstype in ("squashfs", "tmpfs", "devtmpfs", "overlay") or device in seen:
                continue
            usage = self.before["usage"].get(mount)
            if usage is None or usage[0] < 524288000:
                continue
            seen.add(device)
            expected.append((device, mount, fstype, usage[0] / 2 ** 30))
        got = [(p.device, p.mountpoint, p.fstype, p.total_gb) for p in self.snap.partitions]
        if expected:
            self.assertEqual(got, expected)
        else:
            self.assertEqual(len(got), 1)
        root = self.before["usage"].get("/")
        if root and root[1] > 0 and root[0] > 10 * 2 ** 30:
            self.assertEqual(self.snap.disk_total_gb * 2 ** 30, root[0])
            on_root = [p[0] for p in self.before["partitions"] if p[1] == "/"]
            self.assertEqual(self.snap.disk_device, on_root[0] if on_root else "/")

    def test_names_users_and_command_lines(self):
        for pid in self.listed:
            name, user, status, cmdline, _ = self.before["procs"][str(pid)]
            with self.subTest(pid=pid, name=name):
                later = self.after["procs"][str(pid)]
                self.assertEqual([later[0], later[1], later[3]], [name, user, cmdline])
                if pid != os.getppid():  # the parent runs other tests meanwhile: its state moves
                    self.assertEqual(later[2], status)
                self.assertIn(pid, self.rows)
                row = self.rows[pid]
                self.assertEqual(row.name, name)
                self.assertEqual(row.username, user or "-")
                self.assertIsNotNone(cmdline)
                self.assertEqual(row.cmdline, cmdline[:120] or name)
        # A carriage return, alone or before a line feed, reads as a line feed.
        self.assertEqual(self.rows[self.with_cr.pid].cmdline,
                         "sh -c sleep 60; : vyr line\nend pair\nend last\n")
        self.assertNotIn(self.excluded.pid, self.rows)
        self.assertIn(EXCLUDED[-1], self.before["procs"][str(self.excluded.pid)][3])

    def test_states_and_memory(self):
        for child, state in ((self.sleeper, "sleeping"), (self.stopped, "stopped"),
                             (self.zombie, "zombie")):
            self.assertEqual(self.before["procs"][str(child.pid)][2], state)
            self.assertEqual(self.rows[child.pid].status, state)
            rss = self.before["procs"][str(child.pid)][4] or 0
            self.assertEqual(self.rows[child.pid].ram_mb * 2 ** 20, rss)
            self.assertEqual(self.rows[child.pid].ram_percent,
                             rss / float(self.before["mem_total"]) * 100)

if __name__ == "__main__":
    unittest.main()
