"""The desktop helper's Windows files run under Wine: the single-instance lock file on the C
runtime's byte lock and the application user-model id (the cases live in
wine/programs/desk_guard_win32_test.cpp)."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_harness import WineTestCase, program, windows_path  # noqa: E402

CASES = ("lock_errors", "lock_file", "lock_file_other_process", "lock_file_missing_folder",
         "application_id")
APP_ID = "Korvane.Vyr.MONITOR"


class DeskGuardUnderWine(WineTestCase):
    def run_case(self, case, **env):
        proc = self.session.run([program("desk_guard_win32_test.exe"), case],
                                VYR_TEST_TMP=windows_path(self.folder), **env)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn(f"[  OK  ] {case}", proc.stdout)
        return proc

    def test_each_case_of_the_windows_files(self):
        # Contention on the lock byte reads as another running copy also under Wine, whose
        # msvcrt leaves errno alone when _locking fails (Windows sets EACCES).
        for case in CASES[:-1]:
            with self.subTest(case=case):
                self.run_case(case)

    def test_application_id_reaches_the_shell(self):
        # Windows gives the id back; Wine 8's shell keeps none (its getter answers
        # E_NOTIMPL) but names the id it was given in its trace.
        proc = self.run_case("application_id", WINEDEBUG="-all,fixme+shcore")
        if "application id: not kept by this system" in proc.stdout:
            self.assertIn(f'SetCurrentProcessExplicitAppUserModelID L"{APP_ID}"', proc.stderr)


if __name__ == "__main__":
    unittest.main()
