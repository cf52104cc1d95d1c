"""Runs the built launcher from throw-away program folders with the stand-in app module."""
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

LAUNCHER = os.path.join(os.environ["VYR_DIST_DIR"], "Vyr_Sistem_Zuvedadu")
FIXTURE_APP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixture", "app.py")
PRODUCT_TITLE = "Vyr Ruvivu Zizodiro"
RUN_TIMEOUT = 180  # seconds for one launcher run: far above what a busy machine takes


def status_of(code):
    """The process status that a launcher exit code becomes on this system."""
    return code & 0xFF


class LauncherTestCase(unittest.TestCase):
    def setUp(self):
        self.scratch = os.path.realpath(tempfile.mkdtemp(prefix="vyr-launcher-"))
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.runtime_dir = os.path.join(self.scratch, "run")
        os.mkdir(self.runtime_dir, 0o700)
        # The launcher's own temporary folder: the per-user folder it makes there
        # goes with the scratch folder.
        self.temp_dir = os.path.join(self.scratch, "temp")
        os.mkdir(self.temp_dir, 0o755)
        self.stop_file = os.path.join(self.scratch, "stop")
        self._running = []
        self.addCleanup(self._end_running)

    def env(self, **changes):
        """The launcher's environment: no display, private session and temporary folders, UTF-8 text."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "LOCALAPPDATA", "PYTHONPATH",
                            "PYTHONHOME", "VYR_TEST_ACTION", "VYR_TEST_REPORT", "VYR_TEST_NO_MAIN")}
        env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8", XDG_RUNTIME_DIR=self.runtime_dir, TMPDIR=self.temp_dir,
                   VYR_TEST_STOP=self.stop_file)
        for key, value in changes.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        return env

    def program_folder(self, name="prog", app=True):
        """A new program folder holding a copy of the launcher (and the stand-in app)."""
        folder = os.path.join(self.scratch, name)
        os.makedirs(folder)
        shutil.copy2(LAUNCHER, folder)
        if app:
            shutil.copy(FIXTURE_APP, os.path.join(folder, "app.py"))
        return folder

    def report_path(self, name):
        return os.path.join(self.scratch, name + ".json")

    def run_launcher(self, folder, args=(), env=None, cwd=None):
        return subprocess.run([os.path.join(folder, "Vyr_Sistem_Zuvedadu"), *args],
                              env=env if env is not None else self.env(), cwd=cwd or self.scratch,
                              capture_output=True, text=True, timeout=RUN_TIMEOUT)

    def start_launcher(self, folder, args=(), env=None):
        proc = subprocess.Popen([os.path.join(folder, "Vyr_Sistem_Zuvedadu"), *args],
                                env=env if env is not None else self.env(), cwd=self.scratch,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self._running.append(proc)
        return proc

    def wait_for_report(self, path, proc=None, key=None, timeout=RUN_TIMEOUT):
        """The report at `path` once it exists (and holds `key`)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    data = json.load(f)
                if key is None or key in data:
                    return data
            if proc is not None and proc.poll() is not None:
                out, err = proc.communicate()
                self.fail(f"the launcher ended early with {proc.returncode}: {out} {err}")
            time.sleep(0.05)
        self.fail(f"no report at {path} within {timeout} s")

    def stop_running(self):
        """Asks every started copy to end and returns their exit statuses."""
        open(self.stop_file, "w").close()
        statuses = []
        for proc in self._running:
            try:
                proc.communicate(timeout=RUN_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
            statuses.append(proc.returncode)
        self._running.clear()
        os.remove(self.stop_file)
        return statuses

    def _end_running(self):
        for proc in self._running:
            if proc.poll() is None:
                proc.kill()
            proc.communicate()
