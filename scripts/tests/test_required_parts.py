"""A source tree that lacks one part of the program does not configure: no
build comes out of it with a module or a program missing."""
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CMAKE = os.environ.get("VYR_CMAKE", "cmake")
# The deliverables: the launcher, the modules' folders and the assets.
PARTS = ["launcher", "engine", "app", "desk_guard", "native", "assets"]


def tracked_files():
    """The files of the source tree as a clone has them (relative paths): git's
    list, else every file outside build folders."""
    listed = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z"], capture_output=True)
    if listed.returncode == 0:
        return [name for name in listed.stdout.decode("utf-8", "surrogateescape").split("\0") if name]
    files = []
    for base, dirs, names in os.walk(SOURCE):
        dirs[:] = [d for d in dirs if not d.startswith((".", "build"))]
        files += [os.path.relpath(os.path.join(base, n), SOURCE) for n in names]
    return files


class RequiredParts(unittest.TestCase):
    def test_a_clone_without_one_part_fails_to_configure(self):
        files = tracked_files()
        self.assertIn("CMakeLists.txt", files)
        for part in PARTS:
            with self.subTest(part), tempfile.TemporaryDirectory() as tmp:
                clone = os.path.join(tmp, "src")
                for name in files:
                    if name.split("/")[0] == part or not os.path.isfile(os.path.join(SOURCE, name)):
                        continue
                    os.makedirs(os.path.dirname(os.path.join(clone, name)), exist_ok=True)
                    shutil.copy2(os.path.join(SOURCE, name), os.path.join(clone, name))
                # Ninja, the build's own generator: the setup installs no other.
                proc = subprocess.run([CMAKE, "-G", "Ninja", "-S", clone,
                                       "-B", os.path.join(tmp, "build")],
                                      capture_output=True, text=True, timeout=120)
                self.assertNotEqual(proc.returncode, 0, proc.stdout)
                self.assertIn(part + "/ is missing from the source tree", proc.stderr)
                # It stops before looking for any library.
                self.assertNotIn("Python", proc.stdout)


if __name__ == "__main__":
    unittest.main()
