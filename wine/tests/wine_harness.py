"""Runs this build's Windows programs under Wine.

The prefix (VYR_WINEPREFIX) is made once per build folder by `wine_harness.py make-prefix`,
the fixture of the wine tests. Each test class then runs its own Wine server on it, with
its own home, runtime and temporary folders (and its own X display when it shows windows),
and ends it with every program it started; the tests take turns on the prefix.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

WIN32_BIN = os.environ.get("VYR_WIN32_BIN", "")
PREFIX = os.environ.get("VYR_WINEPREFIX", "")
SOURCE_DIR = os.environ.get("VYR_SOURCE_DIR", "")
# Debian's wine64 package puts the 64-bit loader and server here, off PATH.
WINE_FOLDERS = ("/usr/lib/wine",)
READY_MARK = ".vyr-prefix-ready"
# How long a test waits for one program under Wine: far above what it takes on a busy
# machine, below the test's own limit.
RUN_TIMEOUT = 180
# Mono and Gecko are never installed into the prefix; nothing here needs them.
DLL_OVERRIDES = "mscoree,mshtml="


def wine_tool(name):
    """The path of wine64 or wineserver: on PATH, else in Debian's folder for them."""
    found = shutil.which(name)
    if found:
        return found
    for folder in WINE_FOLDERS:
        path = os.path.join(folder, name)
        if os.access(path, os.X_OK):
            return path
    return None


def windows_path(path):
    """A Linux path as programs under Wine see it (drive Z: is the root folder)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def program(name):
    return os.path.join(WIN32_BIN, name)


def base_environment(scratch, display=None):
    """The environment of the Wine server and its programs: private folders under
    `scratch`, quiet Wine, UTF-8 text and, when given, an X display."""
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        "WINEPREFIX": PREFIX,
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": DLL_OVERRIDES,
    }
    for name, sub in (("HOME", "home"), ("TMPDIR", "tmp"), ("XDG_RUNTIME_DIR", "run")):
        env[name] = os.path.join(scratch, sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    if display:
        env["DISPLAY"] = display
    return env


def missing_parts():
    """What keeps the wine tests from running, as a text for a failure message."""
    parts = []
    for tool in ("wine64", "wineserver"):
        if wine_tool(tool) is None:
            parts.append(f"{tool} (Debian package wine64; ./test.sh installs it)")
    if not PREFIX or not os.path.exists(os.path.join(PREFIX, READY_MARK)):
        parts.append(f"the prefix {PREFIX!r} (made by the test wine_prefix)")
    for name in ("win_probe.exe", "Vyr_Sistem_Zuvedadu.exe", "python312.dll"):
        if not os.path.exists(program(name)):
            parts.append(f"{program(name)} (built with the mingw-w64 cross tools)")
    return parts


class WineSession:
    """A Wine server of its own on the shared prefix; close() ends it and every program
    that runs in it."""

    def __init__(self, scratch, display=None):
        missing = missing_parts()
        if missing:
            raise RuntimeError("cannot run under Wine, missing: " + "; ".join(missing))
        self.wine = wine_tool("wine64")
        self.wineserver = wine_tool("wineserver")
        self.env = base_environment(scratch, display)
        # Started as a daemon, the server's first process leaves once the server listens:
        # no program of the session starts a server of its own beside it, however slow
        # the machine.
        # Its output goes to a file: the server keeps the streams it is given.
        log_path = os.path.join(scratch, "wineserver.log")
        with open(log_path, "w") as log:
            started = subprocess.run([self.wineserver, "--persistent"], env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=log, stderr=log, timeout=RUN_TIMEOUT)
        if started.returncode != 0:
            with open(log_path) as log:
                raise RuntimeError(f"the Wine server did not start ({started.returncode}): {log.read().strip()}")
        # The first program starts Wine's own services, which keep the standard streams
        # they are given: they get none, so no test waits on a stream they hold open.
        subprocess.run([self.wine, program("win_probe.exe"), "mutex", "Local\\vyr-start"], env=self.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=RUN_TIMEOUT, check=True)

    def environment(self, **changes):
        env = dict(self.env)
        env.update(changes)
        return env

    def run(self, args, timeout=RUN_TIMEOUT, **changes):
        """Runs a Windows program (a Linux path and its arguments) to its end."""
        return subprocess.run([self.wine, *args], env=self.environment(**changes), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)

    def start(self, args, **changes):
        """Starts a Windows program with pipes for all three standard streams."""
        return subprocess.Popen([self.wine, *args], env=self.environment(**changes), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)

    def close(self):
        """Ends the server and every program in it, and waits until it is gone."""
        for option in ("--kill", "--wait"):
            subprocess.run([self.wineserver, option], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=RUN_TIMEOUT)


class WineTestCase(unittest.TestCase):
    """One Wine session (and X display when `display` is set) for the whole class."""

    display = False

    @classmethod
    def setUpClass(cls):
        cls.scratch = os.path.realpath(tempfile.mkdtemp(prefix="vyr-wine-"))
        cls.x = None
        cls.session = None
        try:
            if cls.display:
                sys.path.insert(0, os.path.join(SOURCE_DIR, "app", "shell", "tests"))
                from x11session import X11Session
                cls.x = X11Session(width=1280, height=800)
            cls.session = WineSession(cls.scratch, cls.x.display if cls.x else None)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.session is not None:
            cls.session.close()
        if cls.x is not None:
            cls.x.close()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        self.folder = tempfile.mkdtemp(dir=self.scratch, prefix=self._testMethodName[:40] + "-")


def wait_until(predicate, timeout=RUN_TIMEOUT, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def read_report(path):
    """{key: [values]} of a report of the tests' runtime, or None when there is none."""
    if not os.path.exists(path):
        return None
    unescape = {"n": "\n", "r": "\r", "\\": "\\"}
    data = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            data.setdefault(key, []).append(re.sub(r"\\(.)", lambda m: unescape[m.group(1)], value))
    return data


def make_prefix():
    """Makes the prefix unless an earlier run made it; prints what it did."""
    if missing := [t for t in ("wine64", "wineserver") if wine_tool(t) is None]:
        print("missing:", ", ".join(missing), "(Debian package wine64; ./test.sh installs it)")
        return 1
    if os.path.exists(os.path.join(PREFIX, READY_MARK)):
        print(f"the prefix {PREFIX} was made by an earlier run")
        return 0
    shutil.rmtree(PREFIX, ignore_errors=True)
    scratch = tempfile.mkdtemp(prefix="vyr-wineprefix-")
    try:
        env = base_environment(scratch)
        # The user folders of the prefix point into the home folder: one that stays.
        env["HOME"] = os.path.join(os.path.dirname(PREFIX), "home")
        os.makedirs(env["HOME"], exist_ok=True)
        log_path = os.path.join(scratch, "wineboot.log")
        with open(log_path, "w") as log:
            boot = subprocess.run([wine_tool("wine64"), "wineboot", "--init"], env=env,
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=480)
            subprocess.run([wine_tool("wineserver"), "--wait"], env=env, stdin=subprocess.DEVNULL,
                           stdout=log, stderr=log, timeout=120)
        version = subprocess.run([wine_tool("wine64"), "--version"], capture_output=True, text=True).stdout.strip()
        with open(log_path) as log:
            print(log.read())
        if boot.returncode != 0 or not os.path.isdir(os.path.join(PREFIX, "drive_c", "windows")):
            print(f"wineboot failed with {boot.returncode}")
            return 1
        with open(os.path.join(PREFIX, READY_MARK), "w") as mark:
            mark.write(version + "\n")
        print(f"made the prefix {PREFIX} with {version}")
        return 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["make-prefix"]:
        sys.exit(make_prefix())
    print("usage: wine_harness.py make-prefix")
    sys.exit(2)
