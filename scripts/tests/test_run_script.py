"""run.sh starts the program of the build folder that scripts/build.sh built,
whether VYR_BUILD_DIR is unset, relative or absolute, and under Xvfb only
when there is neither an X nor a Wayland display. Runs a copy of the script
in a scratch project whose build step and program are stand-ins."""
import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")

STAND_IN = """#!/bin/sh
printf '%s\\n' "$0" "$@" > "$VYR_TEST_REPORT"
"""


class RunScript(unittest.TestCase):
    def setUp(self):
        self.scratch = os.path.realpath(tempfile.mkdtemp(prefix="vyr-run-script-"))
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.project = os.path.join(self.scratch, "project")
        os.makedirs(os.path.join(self.project, "scripts"))
        shutil.copy(os.path.join(ROOT, "run.sh"), self.project)
        # The build step only records where it was asked to build.
        self.write(os.path.join(self.project, "scripts", "build.sh"),
                   '#!/bin/sh\necho "${VYR_BUILD_DIR:-build}" > "$VYR_TEST_REPORT.build"\n')
        self.bin = os.path.join(self.scratch, "bin")
        self.write(os.path.join(self.bin, "xvfb-run"), STAND_IN)
        self.report = os.path.join(self.scratch, "report")

    @staticmethod
    def write(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)

    def program(self, build_dir):
        path = os.path.join(build_dir, "dist", "Vyr_Sistem_Zuvedadu")
        self.write(path, STAND_IN)
        return path

    def run_script(self, **env_changes):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "VYR_BUILD_DIR")}
        env.update(PATH=self.bin + os.pathsep + env["PATH"], VYR_TEST_REPORT=self.report,
                   **env_changes)
        proc = subprocess.run(["bash", os.path.join(self.project, "run.sh"), "--a b", "c"],
                              cwd=self.scratch, env=env, capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(self.report) as f:
            started = f.read().splitlines()
        os.remove(self.report)
        return started

    def test_build_folder_unset_relative_or_absolute(self):
        absolute = os.path.join(self.scratch, "elsewhere", "out")
        cases = [
            ({}, os.path.join(self.project, "build")),
            ({"VYR_BUILD_DIR": "out/rel"}, os.path.join(self.project, "out", "rel")),
            ({"VYR_BUILD_DIR": absolute}, absolute),
        ]
        for env, build_dir in cases:
            with self.subTest(env=env):
                exe = self.program(build_dir)
                self.assertEqual(self.run_script(DISPLAY=":5", **env), [exe, "--a b", "c"])

    def test_xvfb_only_without_any_display(self):
        exe = self.program(os.path.join(self.project, "build"))
        cases = [
            ({"DISPLAY": ":5"}, [exe, "--a b", "c"]),
            ({"WAYLAND_DISPLAY": "wayland-0"}, [exe, "--a b", "c"]),
            ({}, [os.path.join(self.bin, "xvfb-run"), "-a", "-s", "-screen 0 1920x1080x24", exe,
                  "--a b", "c"]),
        ]
        for env, started in cases:
            with self.subTest(env=env):
                self.assertEqual(self.run_script(**env), started)


if __name__ == "__main__":
    unittest.main()
