"""Shared helpers of the app module's Python tests: every case runs in a fresh
interpreter, with the fake engine (and optionally a fake desktop helper)
first on the module search path and HOME in a temporary folder."""
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_ENGINE = os.path.join(HERE, "fake_engine")
DIST = os.environ.get("VYR_DIST_DIR", "")

# A desktop helper that cannot be loaded, so the fallback lock is used.
NO_GUARD = "raise ImportError('no desktop helper here')\n"


class Sandbox:
    """A temporary HOME and TMPDIR, and a folder for fake modules."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="vyr_app_test_")
        self.home = os.path.join(self.root, "home")
        self.tmp = os.path.join(self.root, "tmp")
        self.mods = os.path.join(self.root, "mods")
        for d in (self.home, self.tmp, self.mods):
            os.makedirs(d)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def module(self, name, source):
        with open(os.path.join(self.mods, name + ".py"), "w", encoding="utf-8") as fh:
            fh.write(textwrap.dedent(source))

    def env(self, **overrides):
        env = dict(os.environ)
        for k in ("QT_QPA_PLATFORM", "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING",
                  "VYR_ALLOW_MULTI_INSTANCE"):
            env.pop(k, None)
        env["HOME"] = self.home
        env["TMPDIR"] = self.tmp
        env["PYTHONPATH"] = os.pathsep.join([self.mods, FAKE_ENGINE, DIST])
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        for k, v in overrides.items():
            if v is None:
                env.pop(k, None)
            else:
                env[k] = v
        return env

    def run(self, code, timeout=180, **overrides):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=timeout,
                              env=self.env(**overrides), cwd=self.root)
        return proc.returncode, proc.stdout, proc.stderr

    def start(self, code, **overrides):
        return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=self.env(**overrides), cwd=self.root)
