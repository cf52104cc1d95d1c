"""Prints, as JSON, what the classic system-information library says about
this machine and about the processes whose ids are the arguments. Run by the
system interpreter (Debian's python3-psutil); the engine's live check compares
its own figures with these."""
import json
import sys

import psutil


def main():
    vm = psutil.virtual_memory()
    sw = psutil.swap_memory()
    out = {
        "mem_total": vm.total,
        "swap_total": sw.total,
        "logical": psutil.cpu_count(logical=True),
        "physical": psutil.cpu_count(logical=False),
        "boot_time": psutil.boot_time(),
        "partitions": [],
        "usage": {},
        "procs": {},
    }
    for p in psutil.disk_partitions(all=False):
        out["partitions"].append([p.device, p.mountpoint, p.fstype])
        try:
            u = psutil.disk_usage(p.mountpoint)
            out["usage"][p.mountpoint] = [u.total, u.used, u.free, u.percent]
        except OSError:
            pass
    for pid in sys.argv[1:]:
        try:
            info = psutil.Process(int(pid)).as_dict(["pid", "name", "username", "status",
                                                     "cmdline", "memory_info"])
        except psutil.NoSuchProcess:
            continue
        cmdline = info["cmdline"]
        out["procs"][str(info["pid"])] = [
            info["name"], info["username"], info["status"],
            None if cmdline is None else " ".join(cmdline),
            info["memory_info"].rss if info["memory_info"] else None]
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
