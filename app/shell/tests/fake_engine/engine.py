"""A small stand-in for the engine module, for the app module's tests.

Its record types are the program's own (from the engine module of the
program folder, found further along the module search path); everything else
is a stand-in that reads its settings from the usual file under HOME and can
be steered through environment variables:

FAKE_ENGINE_LOG       append one line per engine call to this file
FAKE_ENGINE_FAIL_GET  comma-separated settings keys whose get() raises ValueError
FAKE_ENGINE_SLOW_MS   milliseconds that each snapshot takes
FAKE_ENGINE_PROCS     number of processes that collect_processes returns (default 5)
"""
import dataclasses
import importlib.machinery
import importlib.util
import json
import os
import sys
import threading
import time
from pathlib import Path

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


def _program_engine():
    """The engine module of the program folder, loaded beside this one."""
    here = os.path.dirname(os.path.abspath(__file__))
    others = [p for p in sys.path if os.path.abspath(p or os.curdir) != here]
    spec = importlib.machinery.PathFinder.find_spec("engine", others)
    if spec is None:
        raise ImportError("no engine module of the program on the module search path")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_PROGRAM_ENGINE = _program_engine()
DiskPartitionInfo = _PROGRAM_ENGINE.DiskPartitionInfo
FolderUsageInfo = _PROGRAM_ENGINE.FolderUsageInfo
SystemMetricsSnapshot = _PROGRAM_ENGINE.SystemMetricsSnapshot
ProcessEntry = _PROGRAM_ENGINE.ProcessEntry

# Texts with a form of their own where a record has them.
_FORMED_TEXTS = {"workload_color": "#15803D", "disk_mount": "/"}


def _record(cls, number, **given):
    """A record of `cls`: the fields in `given` as given, every other field
    that a builder must give a value of its type made from `number`."""
    values = {}
    for f in dataclasses.fields(cls):
        if f.name in given:
            values[f.name] = given[f.name]
        elif f.default is not dataclasses.MISSING or f.default_factory is not dataclasses.MISSING:
            continue
        elif f.type is str:
            values[f.name] = _FORMED_TEXTS.get(f.name, "%s %d" % (f.name, number))
        else:
            values[f.name] = f.type() if f.type is list else f.type(number)
    return cls(**values)


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
        return _record(SystemMetricsSnapshot, self.snapshots, timestamp=time.time(),
                       overall_workload_percent=pct, cpu_per_core=[10.0, 15.0],
                       partitions=[_record(DiskPartitionInfo, 1)])

    def collect_processes(self, sort_by="workload", search_query="", group_by_app=False, limit=75):
        _log("processes %s %r %s %d" % (sort_by, search_query, group_by_app, limit))
        n = int(os.environ.get("FAKE_ENGINE_PROCS", "5"))
        return [_record(ProcessEntry, i, pid=1000 + i, name="proc%d" % i, display_name="proc%d" % i,
                        workload_score=float(n - i), cmdline="/usr/bin/proc%d --flag" % i)
                for i in range(min(n, limit))]

    def trigger_folder_scan_async(self):
        _log("folder_scan")

    def get_folder_usages(self):
        return [_record(FolderUsageInfo, 12)]

    @staticmethod
    def terminate_process(pid, force=False, *, expected_name=None):
        _log("terminate %d %s" % (pid, force))
        return (False, "PID %d artık çalışmıyor." % pid)
