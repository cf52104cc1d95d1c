"""The same cycle written in Python on the classic system-information
library: the snapshot's calls, the process listing with the same attributes,
the per-process status and io reads, the scores, the sort. Run by the system
interpreter (Debian's python3-psutil). Prints: cycles, processes (the ids
under /proc after the last cycle), CPU microseconds per cycle."""
import os
import sys
import time

import psutil

CYCLES = int(sys.argv[1]) if len(sys.argv) > 1 else 40
ATTRS = ["pid", "name", "username", "status", "memory_percent", "memory_info", "cmdline"]
SKIP = ("squashfs", "tmpfs", "devtmpfs", "overlay")


class Cycle:
    def __init__(self):
        psutil.cpu_percent(interval=None)
        psutil.cpu_percent(interval=None, percpu=True)
        self.last_io = psutil.disk_io_counters()
        self.last_io_time = time.time()
        self.cache = {}
        self.io_last = {}
        self.count = psutil.cpu_count() or 1

    def snapshot(self):
        now = time.time()
        per = psutil.cpu_percent(interval=None, percpu=True)
        cpu = sum(per) / len(per)
        try:
            freq = psutil.cpu_freq().current
        except Exception:
            freq = 0.0
        vm = psutil.virtual_memory()
        sw = psutil.swap_memory()
        root = psutil.disk_usage("/")
        device = "/"
        for p in psutil.disk_partitions(all=False):
            if p.mountpoint == "/":
                device = p.device
                break
        io = psutil.disk_io_counters()
        elapsed = max(now - self.last_io_time, 0.1)
        read = max(io.read_bytes - self.last_io.read_bytes, 0) / elapsed / 1048576
        write = max(io.write_bytes - self.last_io.write_bytes, 0) / elapsed / 1048576
        self.last_io, self.last_io_time = io, now
        load = os.getloadavg()
        overall = min(0.5 * max(cpu, min(load[0] / self.count * 100.0, 100.0))
                      + 0.35 * vm.percent + 0.15 * sw.percent, 100.0)
        up = int(time.time() - psutil.boot_time())
        parts, seen = [], set()
        for p in psutil.disk_partitions(all=False):
            if p.fstype in SKIP or p.device in seen:
                continue
            try:
                u = psutil.disk_usage(p.mountpoint)
            except Exception:
                continue
            if u.total < 524288000:
                continue
            seen.add(p.device)
            parts.append((p.device, p.mountpoint, p.fstype, u.total / 2 ** 30, u.percent))
        return (now, cpu, per, freq, vm, sw, root, device, read, write, load, overall, up, parts)

    @staticmethod
    def swap_and_io(pid):
        swap, total = 0.0, 0
        try:
            with open("/proc/%d/status" % pid, encoding="utf-8", errors="ignore") as f:
                for line in f:
                    if line.startswith("VmSwap:"):
                        parts = line.split()
                        if len(parts) > 1:
                            swap = int(parts[1]) / 1024.0
                        break
        except Exception:
            pass
        try:
            r = w = 0
            with open("/proc/%d/io" % pid, encoding="utf-8", errors="ignore") as f:
                for line in f:
                    if line.startswith("read_bytes:"):
                        r = int(line.split()[1])
                    elif line.startswith("write_bytes:"):
                        w = int(line.split()[1])
            total = r + w
        except Exception:
            pass
        return swap, total

    def processes(self):
        now = time.time()
        total_swap = max(psutil.swap_memory().total / 1048576, 1.0)
        rows, current = [], set()
        for proc in psutil.process_iter(ATTRS):
            try:
                info = proc.info
                pid = info["pid"]
                current.add(pid)
                cached = self.cache.setdefault(pid, proc)
                cpu = min(cached.cpu_percent(interval=None) / self.count, 100.0)
                name = info["name"] or "pid-%d" % pid
                cmd = " ".join(info["cmdline"] or [])[:120] or name
                low = name.lower(), cmd.lower()
                if any(w in low[0] or w in low[1] for w in ("claude", "antigravity",
                                                            "language_server")):
                    continue
                mem = info["memory_info"]
                ram_mb = mem.rss / 1048576 if mem else 0.0
                ram_pct = float(info["memory_percent"] or 0.0)
                swap_mb, total_io = self.swap_and_io(pid)
                rate = 0.0
                if pid in self.io_last and total_io > 0:
                    prev, t = self.io_last[pid]
                    if total_io >= prev:
                        rate = (total_io - prev) / max(now - t, 0.1) / 1024.0
                if total_io > 0:
                    self.io_last[pid] = (total_io, now)
                disk_mb = total_io / 1048576
                score = (cpu * 1.4 + ram_pct * 1.1 + swap_mb / total_swap * 100.0 * 1.2
                         + min(rate / 512.0, 25.0) + min(disk_mb / 500.0, 10.0))
                rows.append((pid, name, name, info["username"] or "-", info["status"] or "running",
                             cpu, ram_pct, ram_mb, swap_mb, rate, disk_mb, score, 1, cmd))
            except Exception:
                continue
        for pid in [p for p in self.cache if p not in current]:
            self.cache.pop(pid, None)
            self.io_last.pop(pid, None)
        rows.sort(key=lambda r: (r[11], r[5], r[7]), reverse=True)
        return rows


c = Cycle()
for _ in range(3):
    c.snapshot()
    rows = c.processes()
start = time.process_time()
for _ in range(CYCLES):
    c.snapshot()
    rows = c.processes()
spent = time.process_time() - start
processes = sum(1 for name in os.listdir("/proc") if name.isdigit())
print(CYCLES, processes, spent / CYCLES * 1e6)
