"""CPU use and resident memory of the running monitor.

Starts the program from its folder on a virtual X display (Xvfb with
openbox) with HOME in a temporary folder, lets it settle, then measures its
own processor time (all threads, from /proc/<pid>/stat) over a fixed span:
first with only the capsule on the desktop, then with the process inspector
open. Reports the share of one core and the peak resident memory (VmHWM).

    python3 bench/app_cpu.py [--dist build/dist] [--seconds 60] [--settle 5]
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "app", "shell", "tests"))
from x11session import Monitor, X11Session, have_tools, wait_until  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as fh:
        fields = fh.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the whole line (11, 12 after the name).
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as fh:
        for line in fh:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def measure(pid, seconds):
    c0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    c1, t1 = cpu_seconds(pid), time.monotonic()
    return 100.0 * (c1 - c0) / (t1 - t0)


def open_inspector(session, main):
    x, y, _, _ = session.geometry(main)
    session.click(x + 43, y + 26, button=3)  # the capsule's context menu
    time.sleep(0.5)
    session.key("Down", "Down", "Return")   # "Canlı Kaynak & İşlem Denetçisini Aç"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dist", default=os.path.join(HERE, "..", "build", "dist"))
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--settle", type=float, default=5.0)
    args = ap.parse_args()
    if not have_tools():
        sys.exit("needs Xvfb, openbox, xdotool and imagemagick")

    session = X11Session()
    home = tempfile.mkdtemp(prefix="vyr_bench_home_")
    try:
        m = Monitor(session, os.path.abspath(args.dist), home)
        main_window = m.main_window()
        if main_window is None:
            sys.exit("the monitor did not start: %s" % (m.stop(),))
        time.sleep(args.settle)
        closed = measure(m.pid, args.seconds)
        rss_closed = status_kb(m.pid, "VmHWM") / 1024.0

        open_inspector(session, main_window)
        if not wait_until(lambda: len(session.windows(m.pid)) > 1, 10):
            sys.exit("the inspector did not open")
        time.sleep(args.settle)
        opened = measure(m.pid, args.seconds)
        rss_open = status_kb(m.pid, "VmHWM") / 1024.0
        threads = status_kb(m.pid, "Threads")
        m.signal()
        m.wait(30)

        print("monitor CPU use over %.0f s (share of one core), peak resident memory" % args.seconds)
        print("  capsule only:       %6.2f %%   peak RSS %6.1f MB" % (closed, rss_closed))
        print("  inspector open:     %6.2f %%   peak RSS %6.1f MB" % (opened, rss_open))
        print("  threads at the end: %d" % threads)
    finally:
        session.close()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
