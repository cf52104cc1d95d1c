"""scripts/setup.sh installs the packages of the set it is asked for that are
missing: as root itself, as another user through sudo, and without sudo not at
all (it prints the apt-get command for root and fails). Runs the script with
stand-ins for id, dpkg-query, apt-get, sudo and locale on a PATH that holds
nothing else but bash, grep and env."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SETUP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "setup.sh")

STAND_INS = {
    "id": 'printf "%s\\n" "$VYR_TEST_UID"\n',
    # Every package asked about is installed, except those in VYR_TEST_MISSING.
    "dpkg-query": 'shift 2\nfor p in "$@"; do\n'
                  '  case " $VYR_TEST_MISSING " in *" $p "*) ;; '
                  '*) printf "%s install ok installed\\n" "$p" ;; esac\n'
                  'done\n',
    "apt-get": 'printf "apt-get %s\\n" "$*" >> "$VYR_TEST_REPORT"\n',
    "sudo": 'printf "sudo\\n" >> "$VYR_TEST_REPORT"\nexec "$@"\n',
    "locale": 'printf "C\\nC.utf8\\ntr_TR.utf8\\n"\n',
}


class SetupScript(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vyr-setup-script-")
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.report = os.path.join(self.scratch, "report")

    def tools(self, with_sudo):
        folder = os.path.join(self.scratch, "sudo" if with_sudo else "plain")
        if not os.path.isdir(folder):
            os.makedirs(folder)
            for name in ("bash", "grep", "env"):
                os.symlink(shutil.which(name), os.path.join(folder, name))
            for name, body in STAND_INS.items():
                if name == "sudo" and not with_sudo:
                    continue
                path = os.path.join(folder, name)
                with open(path, "w") as fh:
                    fh.write("#!/bin/sh\n" + body)
                os.chmod(path, 0o755)
        return folder

    def run_setup(self, uid, sudo, missing, *args):
        env = {"PATH": self.tools(sudo), "HOME": self.scratch, "VYR_PYTHON": sys.executable,
               "VYR_TEST_UID": str(uid), "VYR_TEST_MISSING": " ".join(missing),
               "VYR_TEST_REPORT": self.report}
        for name in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH"):
            if name in os.environ:
                env[name] = os.environ[name]
        proc = subprocess.run([shutil.which("bash"), SETUP, *args], env=env,
                              capture_output=True, text=True, timeout=60)
        try:
            with open(self.report) as fh:
                ran = fh.read().splitlines()
            os.remove(self.report)
        except FileNotFoundError:
            ran = []
        return proc, ran

    def test_who_installs_what(self):
        cases = [
            ("root installs a missing test package itself", 0, False, ["trayer"], ["test"],
             ["apt-get update -qq", "apt-get install -y -qq --no-install-recommends trayer"]),
            ("another user through sudo", 1000, True, ["cmake", "xvfb"], [],
             ["sudo", "apt-get update -qq",
              "sudo", "apt-get install -y -qq --no-install-recommends cmake xvfb"]),
            ("the program's set leaves the test packages out", 1000, False,
             ["wine64", "clang", "weston"], [], []),
            ("nothing missing", 1000, False, [], ["test"], []),
        ]
        for name, uid, sudo, missing, args, ran in cases:
            with self.subTest(name):
                proc, seen = self.run_setup(uid, sudo, missing, *args)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stdout.splitlines(), [sys.executable])
                self.assertEqual(seen, ran)

    def test_without_root_or_sudo_it_prints_the_command_and_installs_nothing(self):
        for args, missing in (([], ["qtbase5-dev"]), (["test"], ["wine64", "btop"])):
            with self.subTest(args=args):
                proc, seen = self.run_setup(1000, False, missing, *args)
                self.assertNotEqual(proc.returncode, 0)
                self.assertEqual(seen, [])
                self.assertEqual(proc.stdout, "")
                self.assertIn("\n  apt-get install -y --no-install-recommends %s\n"
                              % " ".join(missing), proc.stderr)
                self.assertIn("needs root", proc.stderr)

    def test_an_unknown_set_is_refused(self):
        proc, seen = self.run_setup(0, False, ["cmake"], "everything")
        self.assertEqual(proc.returncode, 2)
        self.assertEqual(seen, [])
        self.assertIn("usage", proc.stderr)


if __name__ == "__main__":
    unittest.main()
