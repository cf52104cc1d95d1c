"""Waiting for a child process to reach a state, however slow the machine."""
import pathlib
import time


def settled(pid, argv, state, limit=60):
    """Waits until the process `pid` runs `argv` (None: any, as a zombie keeps none) and is in
    `state`; False when that did not come within `limit` seconds. The kernel shows a new
    program's name a moment before its command line, and the program runs a while before it
    sleeps."""
    want = None if argv is None else b"".join(a.encode() + b"\0" for a in argv)
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            cmdline = pathlib.Path("/proc/%d/cmdline" % pid).read_bytes()
            now = pathlib.Path("/proc/%d/stat" % pid).read_text().rpartition(")")[2].split()[0]
        except (OSError, IndexError):
            return False
        if (want is None or cmdline == want) and now == state:
            return True
        time.sleep(0.01)
    return False
