"""Shared pieces of the vyr_desk_guard tests: fresh interpreter processes whose
home, application-data, runtime and temporary folders are private temporary
folders, so no test touches the real user's files."""
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

PYTHON = os.environ.get("VYR_PYTHON", sys.executable)
# How long a test waits for a copy it started: far above what a busy machine takes.
WAIT_LIMIT = 180


class Sandbox:
    """A set of private folders and the environment that points at them."""

    def __init__(self, user="tester"):
        self.root = tempfile.mkdtemp(prefix="vyr-dg-")
        self.home = self._dir("home")
        self.tmp = self._dir("tmp")
        self.runtime = self._dir("runtime")
        os.chmod(self.runtime, 0o700)
        self.env = dict(os.environ)
        for name in ("LOCALAPPDATA", "VYR_ALLOW_MULTI_INSTANCE", "LOGNAME", "USER", "LNAME",
                     "USERNAME"):
            self.env.pop(name, None)
        self.env.update({
            "HOME": self.home,
            "TMPDIR": self.tmp,
            "XDG_RUNTIME_DIR": self.runtime,
            "QT_QPA_PLATFORM": "offscreen",
            "PYTHONDONTWRITEBYTECODE": "1",
            "LOGNAME": user,
        })
        # Children start in the sandbox: search paths must not depend on it.
        paths = self.env.get("PYTHONPATH", "").split(os.pathsep)
        self.env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths if p)

    def _dir(self, name):
        path = os.path.join(self.root, name)
        os.makedirs(path)
        return path

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def listing(self):
        """Every path below the private folders, relative to the root."""
        found = []
        for base, dirs, files in os.walk(self.root):
            for name in dirs + files:
                found.append(os.path.relpath(os.path.join(base, name), self.root))
        return sorted(found)

    def run(self, code, *args, env=None, timeout=None):
        """Runs `code` in a new interpreter; returns the CompletedProcess."""
        full_env = dict(self.env)
        full_env.update(env or {})
        return subprocess.run([PYTHON, "-c", textwrap.dedent(code), *args],
                              capture_output=True, text=True, timeout=timeout or WAIT_LIMIT,
                              env=full_env, cwd=self.root)

    def start(self, code, *args, env=None):
        """Starts `code` in a new interpreter with pipes; returns the Popen."""
        full_env = dict(self.env)
        full_env.update(env or {})
        return subprocess.Popen([PYTHON, "-u", "-c", textwrap.dedent(code), *args],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=full_env, cwd=self.root)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)
