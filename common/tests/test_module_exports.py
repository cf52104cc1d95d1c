"""The extension modules of the program folder, as the dynamic linker sees
them: each exports its entry point PyInit_<name> and no other symbol."""
import glob
import os
import subprocess
import sys
import unittest

DIST = os.environ["VYR_DIST_DIR"]
NM = os.environ.get("VYR_NM") or "nm"
MODULES = ["app", "engine", "vyr_desk_guard", "vyr_native_core", "vyr_build_info"]


def exported(path):
    """The names of the symbols that `path` defines for other objects."""
    out = subprocess.run([NM, "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    return sorted(line.split()[-1] for line in out.splitlines() if line.strip())


class ModuleExports(unittest.TestCase):
    def test_each_module_exports_its_entry_point_only(self):
        suffix = ".cpython-%d%d" % sys.version_info[:2]
        found = {os.path.basename(p).split(".")[0]: p for p in glob.glob(os.path.join(DIST, "*" + suffix + "*.so"))}
        self.assertEqual(sorted(found), sorted(MODULES))
        for name in MODULES:
            with self.subTest(name):
                self.assertEqual(exported(found[name]), ["PyInit_" + name])


if __name__ == "__main__":
    unittest.main()
