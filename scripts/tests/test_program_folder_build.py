"""./run.sh configures a new build folder without the tests and builds the
target `dist` alone; ./test.sh switches the tests on in the same folder. The
program folder's configure then looks for neither GoogleTest nor the mingw-w64
cross tools and warns about nothing, `dist` makes the launcher, the five
modules and the assets without compiling any test, and switching the tests on
leaves every command of `dist` as it was, so nothing built is built again."""
import os
import subprocess
import sys
import sysconfig
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CMAKE = os.environ.get("VYR_CMAKE", "cmake")
PYTHON = os.environ.get("VYR_PYTHON", sys.executable)


def clean_env():
    # The checking build preloads its sanitizer runtime into this interpreter;
    # the compilers that CMake tries out run without it.
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                         "PYTHONMALLOC")}


class ProgramFolderBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="vyr-dist-build-")
        cls.build = os.path.join(cls.scratch.name, "build")

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def configure(self, *options):
        proc = subprocess.run(
            [CMAKE, "--no-warn-unused-cli", "-S", SOURCE, "-B", self.build, "-G", "Ninja",
             "-DPython_EXECUTABLE=" + PYTHON, *options],
            env=clean_env(), capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc

    def dist_commands(self):
        proc = subprocess.run(["ninja", "-C", self.build, "-t", "commands", "dist"],
                              env=clean_env(), capture_output=True, text=True, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout.splitlines()

    def test_without_tests_then_with_them_in_the_same_folder(self):
        # find_package(GTest) with this set fails the configure.
        proc = self.configure("-DVYR_TESTS=OFF", "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON")
        self.assertNotIn("Warning", proc.stderr)
        with open(os.path.join(self.build, "CMakeCache.txt")) as fh:
            self.assertNotIn("VYR_MINGW_", fh.read())

        before = self.dist_commands()
        text = "\n".join(before)
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        outputs = ["dist/Vyr_Sistem_Zuvedadu", "dist/assets/icon_512.png",
                   "dist/translations/qtbase_tr.qm"]
        outputs += ["dist/%s%s" % (m, suffix) for m in
                    ("app", "engine", "vyr_desk_guard", "vyr_native_core", "vyr_build_info")]
        for output in outputs:
            with self.subTest(output=output):
                self.assertIn(output, text)
        self.assertEqual([c for c in before if "tests/" in c or "gtest" in c], [])

        self.configure("-DVYR_TESTS=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=OFF")
        self.assertEqual(sorted(self.dist_commands()), sorted(before))
        targets = subprocess.run(["ninja", "-C", self.build, "-t", "targets", "all"],
                                 env=clean_env(), capture_output=True, text=True, timeout=120)
        self.assertIn("launcher_tests", targets.stdout)


if __name__ == "__main__":
    unittest.main()
