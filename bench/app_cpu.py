"""CPU use and resident memory of the running monitor, side by side with btop.

Starts the program from its folder on a virtual X display (Xvfb with
openbox) with HOME in a temporary folder, lets it settle, then measures its
own processor time (all threads, from /proc/<pid>/stat) over a fixed span:
first with only the capsule on the desktop (the pointer away from it, so
that no popup opens), then with the process inspector open. While the
inspector is open, btop runs beside it in a pseudo terminal of a fixed size,
with its update_ms set to the monitor's refresh through a config file in a
private XDG_CONFIG_HOME, and both processes are measured over the same span.
Each round starts the monitor twice, fresh each time: as it runs, keeping
the files of every process open between lists, and with
VYR_PROC_FILES_KEPT=0, opening every file afresh; btop runs beside each.
With --extra N, N sleeping processes are started first and run through all
rounds. The figures of every round are printed, then min / median / max over
the rounds, ratios included.

    python3 bench/app_cpu.py [--dist build/dist] [--rounds 3] [--seconds 60]
                             [--settle 5] [--refresh-ms 1500] [--term 200x60]
                             [--extra 0]
"""
import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
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


def measure(pids, seconds):
    """Share of one core of each process over the same span."""
    c0, t0 = [cpu_seconds(p) for p in pids], time.monotonic()
    time.sleep(seconds)
    c1, t1 = [cpu_seconds(p) for p in pids], time.monotonic()
    return [100.0 * (b - a) / (t1 - t0) for a, b in zip(c0, c1)]


def open_inspector(session, main):
    x, y, _, _ = session.geometry(main)
    session.click(x + 43, y + 26, button=3)  # the capsule's context menu
    time.sleep(0.5)
    session.key("Down", "Down", "Return")   # "Canlı Kaynak & İşlem Denetçisini Aç"


class Btop:
    """btop in a pseudo terminal of a fixed size, its own config folder."""

    def __init__(self, root, update_ms, cols, rows):
        config = os.path.join(root, "config")
        os.makedirs(os.path.join(config, "btop"))
        with open(os.path.join(config, "btop", "btop.conf"), "w") as fh:
            fh.write("update_ms = %d\n" % update_ms)
        env = dict(os.environ, HOME=root, XDG_CONFIG_HOME=config, TERM="xterm-256color")
        env.pop("DISPLAY", None)
        self.script = subprocess.Popen(
            ["script", "-q", "-e", "-c", "stty rows %d cols %d; exec btop" % (rows, cols), os.devnull],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        self.pid = wait_until(self._child, 10)
        if self.pid is None:
            self.stop()
            raise RuntimeError("btop did not start")

    def _child(self):
        try:
            with open("/proc/%d/task/%d/children" % (self.script.pid, self.script.pid)) as fh:
                kids = [int(k) for k in fh.read().split()]
            for k in kids:
                with open("/proc/%d/comm" % k) as fh:
                    if fh.read().strip() == "btop":
                        return k
        except OSError:
            pass
        return None

    def stop(self):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            self.script.wait(10)
        except subprocess.TimeoutExpired:
            self.script.kill()
            self.script.wait()


def one_run(session, args, cols, rows, extra_env):
    home = tempfile.mkdtemp(prefix="vyr_bench_home_")
    btop = None
    try:
        if args.refresh_ms != 1500:
            os.makedirs(os.path.join(home, ".config", "vyr-linux-monitor"))
            with open(os.path.join(home, ".config", "vyr-linux-monitor", "settings.json"), "w") as fh:
                json.dump({"refresh_ms": args.refresh_ms}, fh)
        # The pointer away from where the capsule appears: the previous round
        # left it on its capsule, and a pointer resting there opens the popup.
        session.pointer_to(0, 0)
        m = Monitor(session, os.path.abspath(args.dist), home, extra_env)
        main_window = m.main_window()
        if main_window is None:
            sys.exit("the monitor did not start: %s" % (m.stop(),))
        time.sleep(args.settle)
        if len(session.windows(m.pid)) != 1:
            sys.exit("more than the capsule is shown")
        closed = measure([m.pid], args.seconds)[0]
        rss_closed = status_kb(m.pid, "VmHWM") / 1024.0

        btop = Btop(os.path.join(home, "btop"), args.refresh_ms, cols, rows)
        open_inspector(session, main_window)
        if not wait_until(lambda: len(session.windows(m.pid)) > 1, 10):
            sys.exit("the inspector did not open")
        time.sleep(args.settle)
        opened, beside = measure([m.pid, btop.pid], args.seconds)
        rss_open = status_kb(m.pid, "VmHWM") / 1024.0
        rss_btop = status_kb(btop.pid, "VmHWM") / 1024.0
        m.signal()
        m.wait(30)
        return {"capsule": closed, "capsule_rss": rss_closed, "inspector": opened,
                "inspector_rss": rss_open, "btop": beside, "btop_rss": rss_btop,
                "ratio": opened / beside if beside > 0 else float("inf")}
    finally:
        if btop:
            btop.stop()
        shutil.rmtree(home, ignore_errors=True)


# The monitor keeping its process files open, and opening them afresh.
RUNS = [("", "kept", None), ("open_", "opening", {"VYR_PROC_FILES_KEPT": "0"})]


def one_round(session, args, cols, rows):
    r = {}
    for prefix, _, env in RUNS:
        r.update({prefix + k: v for k, v in one_run(session, args, cols, rows, env).items()})
    r["kept_ratio"] = r["inspector"] / r["open_inspector"] if r["open_inspector"] > 0 else float("inf")
    return r


ROWS = []
for _prefix, _name, _env in RUNS:
    ROWS += [
        (_prefix + "capsule", "%s: monitor, capsule only" % _name, "%6.2f %%"),
        (_prefix + "capsule_rss", "  peak RSS", "%6.1f MB"),
        (_prefix + "inspector", "%s: monitor, inspector open" % _name, "%6.2f %%"),
        (_prefix + "inspector_rss", "  peak RSS", "%6.1f MB"),
        (_prefix + "btop", "%s: btop, same span" % _name, "%6.2f %%"),
        (_prefix + "btop_rss", "  peak RSS", "%6.1f MB"),
        (_prefix + "ratio", "%s: inspector open / btop" % _name, "%6.2f"),
    ]
ROWS.append(("kept_ratio", "inspector open, kept / opening", "%6.2f"))


class Sleepers:
    """`count` sleeping processes for the span of the benchmark."""

    def __init__(self, count):
        self.procs = [subprocess.Popen(["sleep", "infinity"], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                      for _ in range(count)]

    def stop(self):
        for p in self.procs:
            p.kill()
        for p in self.procs:
            p.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dist", default=os.path.join(HERE, "..", "build", "dist"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--settle", type=float, default=5.0)
    ap.add_argument("--refresh-ms", type=int, default=1500)
    ap.add_argument("--term", default="200x60", help="btop's terminal, COLSxROWS")
    ap.add_argument("--extra", type=int, default=0, help="sleeping processes to start first")
    args = ap.parse_args()
    if not have_tools():
        sys.exit("needs Xvfb, openbox, xdotool and imagemagick")
    if not shutil.which("btop") or not shutil.which("script"):
        sys.exit("needs btop and script (./test.sh installs btop)")
    cols, rows = (int(v) for v in args.term.lower().split("x"))

    results = []
    sleepers = Sleepers(args.extra)
    session = X11Session()
    try:
        for n in range(args.rounds):
            r = one_round(session, args, cols, rows)
            results.append(r)
            print("round %d: " % (n + 1) + ", ".join(
                "%s %s" % (label.strip(), fmt % r[key]) for key, label, fmt in ROWS), flush=True)
    finally:
        session.close()
        sleepers.stop()

    print()
    print("share of one core over %.0f s per round, %d rounds, refresh %d ms, btop in %dx%d, "
          "%d extra sleeping processes" % (args.seconds, len(results), args.refresh_ms, cols, rows, args.extra))
    print("%-36s %10s %10s %10s" % ("", "min", "median", "max"))
    for key, label, fmt in ROWS:
        vals = [r[key] for r in results]
        print("%-36s %10s %10s %10s" % (label, fmt % min(vals), fmt % statistics.median(vals),
                                        fmt % max(vals)))


if __name__ == "__main__":
    main()
