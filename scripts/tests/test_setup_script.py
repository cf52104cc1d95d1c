"""scripts/setup.sh installs the packages of the set it is asked for that are
missing: as root itself, as another user through sudo when sudo lets them in,
and otherwise not at all (it prints the command for root and fails). Runs the
script with stand-ins for id, dpkg-query, apt-get, sudo, locale and localedef
on a PATH that holds nothing else but a few basic tools, in a session of its
own: with no standard input and no terminal, or with a terminal as its standard
input and controlling terminal."""
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SETUP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "setup.sh")
LOCALE_STEP = "localedef -i tr_TR -f UTF-8 tr_TR.UTF-8"

# sudo as the system's: -n never prompts, -v asks for the password on a terminal.
# VYR_TEST_SUDO: "open" lets the user in without a password, "password" after
# one (typed on a terminal), "refuses" never.
SUDO = r'''
printf "sudo %s\n" "$*" >> "$VYR_TEST_REPORT"
case "$1" in
  -v)
    if ! { true </dev/tty; } 2>/dev/null; then
      echo "sudo: a terminal is required to read the password" >&2; exit 1
    fi
    case "$VYR_TEST_SUDO" in
      refuses) echo "user is not in the sudoers file." >&2; exit 1 ;;
      *) : > "$VYR_TEST_REPORT.granted"; exit 0 ;;
    esac ;;
  -n)
    shift
    if [ "$VYR_TEST_SUDO" != open ] && [ ! -e "$VYR_TEST_REPORT.granted" ]; then
      echo "sudo: a password is required" >&2; exit 1
    fi ;;
  *) echo "sudo: the script asked without -n or -v" >&2; exit 1 ;;
esac
exec "$@"
'''

STAND_INS = {
    "id": 'printf "%s\\n" "$VYR_TEST_UID"\n',
    # Every package asked about is installed, except those in VYR_TEST_MISSING
    # ("*": every one).
    "dpkg-query": 'shift 2\nfor p in "$@"; do\n'
                  '  case " $VYR_TEST_MISSING " in *" $p "*|" * ") ;; '
                  '*) printf "%s install ok installed\\n" "$p" ;; esac\n'
                  'done\n',
    "apt-get": 'printf "apt-get %s\\n" "$*" >> "$VYR_TEST_REPORT"\n'
               'echo "Unpacking something (1.0) ..."\n'
               'if [ -n "$VYR_TEST_APT_FAILS" ]; then\n'
               '  echo "E: Unable to locate package $VYR_TEST_APT_FAILS"; exit 100\nfi\n',
    "sudo": SUDO,
    "locale": 'printf "C\\nC.utf8\\n"\n[ -z "$VYR_TEST_NO_LOCALE" ] && printf "tr_TR.utf8\\n"\n'
              'exit 0\n',
    "localedef": 'printf "localedef %s\\n" "$*" >> "$VYR_TEST_REPORT"\n',
}
TOOLS = ("bash", "grep", "env", "mktemp", "tail", "sed", "true")


class SetupScript(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vyr-setup-script-")
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.report = os.path.join(self.scratch, "report")
        self.tmp = os.path.join(self.scratch, "tmp")
        os.mkdir(self.tmp)

    def tools(self, with_sudo):
        folder = os.path.join(self.scratch, "sudo" if with_sudo else "plain")
        if not os.path.isdir(folder):
            os.makedirs(folder)
            for name in TOOLS:
                os.symlink(shutil.which(name), os.path.join(folder, name))
            for name, body in STAND_INS.items():
                if name == "sudo" and not with_sudo:
                    continue
                path = os.path.join(folder, name)
                with open(path, "w") as fh:
                    fh.write("#!/bin/sh\n" + body)
                os.chmod(path, 0o755)
        return folder

    def run_setup(self, uid, sudo, missing, *args, terminal=None, locale=True, apt_fails=""):
        """Runs the script; sudo is None (no sudo) or how the stand-in answers;
        terminal None (no standard input), "controlling" (a terminal as standard
        input and controlling terminal) or "input only" (as after "su -c")."""
        env = {"PATH": self.tools(sudo is not None), "HOME": self.scratch, "TMPDIR": self.tmp,
               "VYR_PYTHON": sys.executable, "VYR_TEST_UID": str(uid),
               "VYR_TEST_MISSING": " ".join(missing), "VYR_TEST_SUDO": sudo or "",
               "VYR_TEST_NO_LOCALE": "" if locale else "1", "VYR_TEST_APT_FAILS": apt_fails,
               "VYR_TEST_REPORT": self.report}
        for name in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH"):
            if name in os.environ:
                env[name] = os.environ[name]
        if terminal is not None:
            leader, follower = pty.openpty()
            self.addCleanup(os.close, leader)
            stdin = follower
            if terminal == "input only":
                self.hold_as_another_sessions_terminal(follower)
        else:
            stdin = subprocess.DEVNULL
        command = [shutil.which("bash"), SETUP, *args]
        if terminal == "controlling":
            command = [shutil.which("setsid"), "--ctty"] + command
        try:
            proc = subprocess.run(command, env=env, stdin=stdin,
                                  start_new_session=terminal != "controlling",
                                  capture_output=True, text=True, timeout=60)
        finally:
            if terminal is not None:
                os.close(follower)
        try:
            with open(self.report) as fh:
                ran = fh.read().splitlines()
            os.remove(self.report)
        except FileNotFoundError:
            ran = []
        if os.path.exists(self.report + ".granted"):
            os.remove(self.report + ".granted")
        return proc, ran

    def hold_as_another_sessions_terminal(self, follower):
        """Makes the terminal the controlling terminal of another session (as the
        login shell's is when "su -c" starts a session of its own)."""
        holder = subprocess.Popen([shutil.which("setsid"), "--ctty", shutil.which("sleep"), "600"],
                                  stdin=follower)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        device = os.stat(follower).st_rdev
        while True:
            with open("/proc/%d/stat" % holder.pid) as fh:
                fields = fh.read().rsplit(")", 1)[1].split()
            if int(fields[4]) == device:  # tty_nr
                return
            self.assertIsNone(holder.poll(), "setsid --ctty ended")
            time.sleep(0.01)

    @staticmethod
    def apt_runs(ran):
        return [line for line in ran if line.startswith("apt-get ")]

    def assert_root_command(self, stderr, locale_step):
        """The missing list and, below it, the one line for root."""
        listed = re.search(r"^setup: these Debian packages are missing: (.+)$", stderr, re.M)
        self.assertIsNotNone(listed, stderr)
        line = ("apt-get update && apt-get install -y --no-install-recommends " + listed.group(1)
                + (" && " + LOCALE_STEP if locale_step else ""))
        self.assertIn("needs root", stderr)
        self.assertIn("\n  " + line + "\n", stderr)
        return listed.group(1).split()

    def test_who_installs_what(self):
        update = "apt-get -q update"
        install = ("apt-get -q -y -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-confdef "
                   "-o Dpkg::Options::=--force-confold install --no-install-recommends ")
        cases = [
            ("root installs a missing test package itself", 0, None, ["trayer"], ["test"], None,
             [update, install + "trayer"]),
            ("another user through sudo without a password", 1000, "open", ["cmake", "xvfb"], [],
             None, [update, install + "cmake xvfb"]),
            ("another user after one password on a terminal", 1000, "password", ["cmake"], [],
             "controlling", [update, install + "cmake"]),
            ("the program's set leaves the test packages out", 1000, None,
             ["wine64", "clang", "weston", "libgtest-dev"], [], None, []),
            ("nothing missing", 1000, "refuses", [], ["test"], "controlling", []),
        ]
        for name, uid, sudo, missing, args, terminal, apt in cases:
            with self.subTest(name):
                proc, ran = self.run_setup(uid, sudo, missing, *args, terminal=terminal)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stdout.splitlines(), [sys.executable])
                self.assertEqual(self.apt_runs(ran), apt)
                # At most one password prompt, and only where packages are missing.
                self.assertLessEqual(sum(line == "sudo -v" for line in ran), 1 if apt else 0)
                if apt:
                    # A few lines: what is installed, and where apt-get's output went.
                    self.assertNotIn("Unpacking", proc.stderr)
                    lines = proc.stderr.splitlines()
                    self.assertIn("installing %d Debian packages" % len(missing), lines[-2])
                    self.assertIn(" ".join(missing), lines[-2])
                    log = re.search(r"apt-get's output: (\S+)\)$", lines[-1]).group(1)
                    with open(log) as fh:
                        self.assertIn("Unpacking something", fh.read())

    def test_without_a_way_to_root_it_prints_the_command_and_installs_nothing(self):
        cases = [
            ("no sudo", None, [], ["qtbase5-dev"], None, True, False),
            ("no sudo, the test set", None, ["test"], ["wine64", "btop"], None, True, False),
            ("sudo refuses, no standard input, every package and the locale missing",
             "refuses", ["test"], ["*"], None, False, True),
            ("sudo wants a password, no standard input", "password", [], ["cmake"], None, True,
             False),
            ("sudo wants a password, a terminal on standard input only", "password", [],
             ["cmake"], "input only", True, False),
            ("sudo refuses after the password on a terminal", "refuses", ["test"], ["git"],
             "controlling", False, True),
        ]
        for name, sudo, args, missing, terminal, locale, locale_step in cases:
            with self.subTest(name):
                proc, ran = self.run_setup(1000, sudo, missing, *args, terminal=terminal,
                                           locale=locale)
                self.assertEqual(proc.returncode, 1, proc.stderr)
                self.assertEqual(proc.stdout, "")
                self.assertEqual(self.apt_runs(ran), [])
                self.assertNotIn(LOCALE_STEP, ran)
                # A password is asked for only where it can be typed.
                self.assertEqual("sudo -v" in ran, terminal == "controlling")
                listed = self.assert_root_command(proc.stderr, locale_step)
                if missing == ["*"]:
                    for package in ("cmake", "qtbase5-dev", "libgtest-dev", "wine64", "locales"):
                        self.assertIn(package, listed)
                else:
                    self.assertEqual(listed, missing)

    def test_the_locale_alone_asks_for_no_password(self):
        cases = [
            ("root makes it", 0, None, [LOCALE_STEP], False),
            ("sudo without a password", 1000, "open", ["sudo -n " + LOCALE_STEP, LOCALE_STEP],
             False),
            ("sudo with a password, on a terminal: named, not asked", 1000, "password", [], True),
            ("no sudo: named", 1000, None, [], True),
        ]
        for name, uid, sudo, made, named in cases:
            with self.subTest(name):
                proc, ran = self.run_setup(uid, sudo, [], "test", terminal="controlling",
                                           locale=False)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertNotIn("sudo -v", ran)
                self.assertEqual([line for line in ran if "localedef" in line], made)
                self.assertEqual("\n  %s\n" % LOCALE_STEP in proc.stderr, named, proc.stderr)

    def test_a_failing_apt_get_is_named_with_its_log(self):
        for uid, sudo in ((0, None), (1000, "open")):
            with self.subTest(uid=uid):
                proc, ran = self.run_setup(uid, sudo, ["cmake"], apt_fails="cmake")
                self.assertEqual(proc.returncode, 1, proc.stderr)
                log = re.search(r"its output is in (\S+),", proc.stderr).group(1)
                with open(log) as fh:
                    self.assertIn("E: Unable to locate package cmake", fh.read())
                self.assertIn("  E: Unable to locate package cmake", proc.stderr)
                # Through sudo, the command for root follows.
                self.assertEqual("\n  apt-get update && apt-get install -y "
                                 "--no-install-recommends cmake\n" in proc.stderr, uid != 0)

    def test_an_unknown_set_is_refused(self):
        proc, ran = self.run_setup(0, None, ["cmake"], "everything")
        self.assertEqual(proc.returncode, 2)
        self.assertEqual(ran, [])
        self.assertIn("usage", proc.stderr)


if __name__ == "__main__":
    unittest.main()
