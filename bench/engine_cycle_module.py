"""One engine cycle through the engine module, as the telemetry worker runs
it, over all processes. Prints: cycles, processes (the ids under /proc after
the last cycle), CPU microseconds per cycle of the calling thread (as the
core's figure is its thread's).

The engine starts a folder scan when it is made: a thread of its own that
runs du on a few folders for some tens of milliseconds. The cycles are
measured after it has ended, as the worker's cycles run between scans."""
import os
import sys
import time

import engine

CYCLES = int(sys.argv[1]) if len(sys.argv) > 1 else 40

e = engine.SystemMonitorEngine()
deadline = time.monotonic() + 60
while len(os.listdir("/proc/self/task")) > 1 and time.monotonic() < deadline:
    time.sleep(0.005)
# The first lists fill the engine's per-process records; the cycles after
# them bring the process to the steady state in which the benchmark, which
# keeps its core from round to round, measures the core.
for _ in range(20):
    e.get_system_snapshot()
    rows = e.collect_processes(sort_by="workload", search_query="", group_by_app=False, limit=None)
start = time.thread_time()
for _ in range(CYCLES):
    e.get_system_snapshot()
    rows = e.collect_processes(sort_by="workload", search_query="", group_by_app=False, limit=None)
spent = time.thread_time() - start
processes = sum(1 for name in os.listdir("/proc") if name.isdigit())
print(CYCLES, processes, spent / CYCLES * 1e6)
