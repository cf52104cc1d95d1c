"""A small stand-in for the engine module, for the app module's tests.

It keeps the engine's names and record fields, reads its settings from the
usual file under HOME, and can be steered through environment variables:

FAKE_ENGINE_LOG       append one line per engine call to this file
FAKE_ENGINE_FAIL_GET  comma-separated settings keys whose get() raises ValueError
FAKE_ENGINE_SLOW_MS   milliseconds that each snapshot takes
FAKE_ENGINE_PROCS     number of processes that collect_processes returns (default 5)
"""
import json
import os
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import List

APP_DIR = Path(__file__).resolve().parent
ASSETS_DIR = APP_DIR / "assets"
CONFIG_DIR = Path.home() / ".config" / "vyr-linux-monitor"
SETTINGS_FILE = CONFIG_DIR / "settings.json"

_log_lock = threading.Lock()


def _log(line):
    path = os.environ.get("FAKE_ENGINE_LOG")
    if not path:
        return
    with _log_lock, open(path, "a", encoding="utf-8") as fh:
        fh.write(line + "\n")


@dataclass
class DiskPartitionInfo:
    device: str
    mountpoint: str
    fstype: str
    total_gb: float
    used_gb: float
    free_gb: float
    percent: float


@dataclass
class FolderUsageInfo:
    label: str
    path: str
    size_mb: float
    size_str: str


@dataclass
class SystemMetricsSnapshot:
    timestamp: float
    load_1m: float
    load_5m: float
    load_15m: float
    overall_workload_percent: float
    workload_label: str
    workload_color: str
    uptime_str: str
    cpu_percent: float
    cpu_per_core: List[float]
    cpu_freq_mhz: float
    cpu_count_logical: int
    cpu_count_physical: int
    ram_percent: float
    ram_used_gb: float
    ram_total_gb: float
    ram_avail_gb: float
    ram_cached_gb: float
    disk_percent: float
    disk_used_gb: float
    disk_total_gb: float
    disk_free_gb: float
    disk_read_mb_s: float
    disk_write_mb_s: float
    disk_mount: str
    disk_device: str
    partitions: List[DiskPartitionInfo] = field(default_factory=list)
    swap_percent: float = 0.0
    swap_used_gb: float = 0.0
    swap_total_gb: float = 0.0
    swap_free_gb: float = 0.0
    swap_used_mb: float = 0.0
    swap_total_mb: float = 0.0
    swap_sin_mb: float = 0.0
    swap_sout_mb: float = 0.0


@dataclass
class ProcessEntry:
    pid: int
    name: str
    display_name: str
    username: str
    status: str
    cpu_percent: float
    ram_percent: float
    ram_mb: float
    swap_mb: float
    disk_rw_kb_s: float
    disk_total_mb: float
    workload_score: float
    process_count: int = 1
    cmdline: str = ""


class SettingsManager:
    DEFAULT_SETTINGS = {
        "orientation": "vertical",
        "x": None,
        "y": None,
        "always_on_top": True,
        "locked": False,
        "opacity": 0.95,
        "group_by_app": False,
        "refresh_ms": 1500,
    }

    def __init__(self):
        self.data = dict(self.DEFAULT_SETTINGS)
        try:
            with open(SETTINGS_FILE, encoding="utf-8") as fh:
                loaded = json.load(fh)
            if isinstance(loaded, dict):
                self.data.update(loaded)
        except Exception:
            pass
        _log("settings.init")

    def get(self, key, default=None):
        if key in os.environ.get("FAKE_ENGINE_FAIL_GET", "").split(","):
            raise ValueError("settings read failed for " + key)
        if key in self.data:
            return self.data[key]
        return self.DEFAULT_SETTINGS.get(key, default)

    def set(self, key, value):
        self.data[key] = value
        _log("settings.set %s %r" % (key, value))
        try:
            CONFIG_DIR.mkdir(parents=True, exist_ok=True)
            with open(SETTINGS_FILE, "w", encoding="utf-8") as fh:
                json.dump(self.data, fh, indent=2, ensure_ascii=False)
        except Exception:
            pass


class SystemMonitorEngine:
    def __init__(self):
        self.snapshots = 0
        _log("engine.init")

    def get_system_snapshot(self):
        self.snapshots += 1
        _log("snapshot %d %s" % (self.snapshots, threading.current_thread().name))
        slow = int(os.environ.get("FAKE_ENGINE_SLOW_MS", "0"))
        if slow:
            time.sleep(slow / 1000.0)
        pct = float(self.snapshots % 100)
        return SystemMetricsSnapshot(
            timestamp=time.time(), load_1m=0.5, load_5m=0.4, load_15m=0.3,
            overall_workload_percent=pct, workload_label="Dengeli", workload_color="#15803D",
            uptime_str="1 sa 2 dk", cpu_percent=12.5, cpu_per_core=[10.0, 15.0],
            cpu_freq_mhz=2400.0, cpu_count_logical=2, cpu_count_physical=1,
            ram_percent=40.0, ram_used_gb=3.2, ram_total_gb=8.0, ram_avail_gb=4.8,
            ram_cached_gb=1.0, disk_percent=55.0, disk_used_gb=110.0, disk_total_gb=200.0,
            disk_free_gb=90.0, disk_read_mb_s=0.1, disk_write_mb_s=0.2, disk_mount="/",
            disk_device="/dev/sda1",
            partitions=[DiskPartitionInfo("/dev/sda1", "/", "ext4", 200.0, 110.0, 90.0, 55.0)],
            swap_percent=3.0)

    def collect_processes(self, sort_by="workload", search_query="", group_by_app=False, limit=75):
        _log("processes %s %r %s %d" % (sort_by, search_query, group_by_app, limit))
        n = int(os.environ.get("FAKE_ENGINE_PROCS", "5"))
        return [ProcessEntry(pid=1000 + i, name="proc%d" % i, display_name="proc%d" % i,
                             username="user", status="running", cpu_percent=float(i),
                             ram_percent=1.0, ram_mb=10.0 * i, swap_mb=0.0, disk_rw_kb_s=0.0,
                             disk_total_mb=1.0, workload_score=float(n - i),
                             cmdline="/usr/bin/proc%d --flag" % i)
                for i in range(min(n, limit))]

    def trigger_folder_scan_async(self):
        _log("folder_scan")

    def get_folder_usages(self):
        return [FolderUsageInfo("İndirilenler", "/home/u/Downloads", 12.0, "12 MB")]

    @staticmethod
    def terminate_process(pid, force=False, *, expected_name=None):
        _log("terminate %d %s" % (pid, force))
        return (False, "PID %d artık çalışmıyor." % pid)
