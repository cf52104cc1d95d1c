"""Live check on this machine: the engine's figures against the classic
system-information library, run by the system interpreter as an oracle."""
import json
import os
import pathlib
import signal
import subprocess
import time
import unittest

import engine

ORACLE_PYTHON = "/usr/bin/python3"
ORACLE = pathlib.Path(__file__).with_name("oracle_psutil.py")
EXCLUDED = ("claude", "antigravity", "language_server")


def oracle():
    out = subprocess.run([ORACLE_PYTHON, str(ORACLE)], capture_output=True, text=True,
                         timeout=120, check=True)
    return json.loads(out.stdout)


def have_oracle():
    try:
        subprocess.run([ORACLE_PYTHON, "-c", "import psutil"], check=True, timeout=60,
                       capture_output=True)
        return True
    except (OSError, subprocess.SubprocessError):
        return False


def renames_itself(name):
    """Kernel workers put their current work queue into the name, which can change
    between any two reads; the oracle's before/after reads cannot pin it down."""
    return name.startswith("kworker/")


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
        # Children whose state is known: sleeping, stopped and a zombie.
        cls.sleeper = subprocess.Popen(["sleep", "60"], start_new_session=True)
        cls.stopped = subprocess.Popen(["sleep", "60"], start_new_session=True)
        cls.zombie = subprocess.Popen(["true"], start_new_session=True)
        time.sleep(0.3)
        os.kill(cls.stopped.pid, signal.SIGSTOP)
        time.sleep(0.2)
        cls.before = oracle()
        cls.engine = engine.SystemMonitorEngine()
        cls.t0 = time.time()
        cls.snap = cls.engine.get_system_snapshot()
        cls.t1 = time.time()
        cls.rows = {r.pid: r for r in cls.engine.collect_processes(limit=None)}
        cls.after = oracle()

    @classmethod
    def tearDownClass(cls):
        for c in (cls.sleeper, cls.stopped):
            c.kill()
            c.wait()
        cls.zombie.wait()

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

    def test_names_users_and_states(self):
        compared = 0
        for pid_text, (name, user, status, cmdline, _) in self.before["procs"].items():
            pid = int(pid_text)
            later = self.after["procs"].get(pid_text)
            if later is None or later[:2] != [name, user] or pid not in self.rows:
                continue  # gone, or changed between the two oracle runs
            if renames_itself(name):
                continue
            row = self.rows[pid]
            self.assertEqual(row.name, name, pid)
            self.assertEqual(row.username, user or "-", pid)
            if cmdline is not None and later[3] == cmdline:
                self.assertEqual(row.cmdline, cmdline[:120] or name, pid)
            compared += 1
        self.assertGreater(compared, 3)
        for child, state in ((self.sleeper, "sleeping"), (self.stopped, "stopped"),
                             (self.zombie, "zombie")):
            self.assertEqual(self.before["procs"][str(child.pid)][2], state)
            self.assertEqual(self.rows[child.pid].status, state)
            rss = self.before["procs"][str(child.pid)][4] or 0
            self.assertEqual(self.rows[child.pid].ram_mb * 2 ** 20, rss)
            self.assertEqual(self.rows[child.pid].ram_percent,
                             rss / float(self.before["mem_total"]) * 100)
        # Every process the oracle lists twice is in the engine's list,
        # unless an exclusion word keeps it out.
        for pid_text, (name, _, _, cmdline, _) in self.before["procs"].items():
            if pid_text not in self.after["procs"] or renames_itself(name):
                continue
            text = (name + " " + (cmdline or "")[:120]).lower()
            if any(w in text for w in EXCLUDED):
                self.assertNotIn(int(pid_text), self.rows)
            elif self.after["procs"][pid_text][0] == name:
                self.assertIn(int(pid_text), self.rows, name)


if __name__ == "__main__":
    unittest.main()
