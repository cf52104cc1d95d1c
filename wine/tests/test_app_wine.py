"""The app shell's Windows files run under Wine: the fallback lock that Windows does
without, the signal bridge on the C runtime's signal() and the display probe's Windows
branch (the cases live in wine/programs/app_win32_test.cpp)."""
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_harness import RUN_TIMEOUT, WineTestCase, program, windows_path  # noqa: E402

CASES = ("fallback_lock", "signal_bridge", "display_probe")


class AppShellUnderWine(WineTestCase):
    def test_each_case_of_the_windows_files(self):
        for case in CASES:
            with self.subTest(case=case):
                proc = self.session.run([program("app_win32_test.exe"), case],
                                        VYR_TEST_TMP=windows_path(self.folder))
                self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
                self.assertIn(f"[  OK  ] {case}", proc.stdout)

    def test_console_interrupts_reach_the_timer_thread(self):
        # Wine hands a SIGINT of its process to the program as a console Ctrl+C event, as
        # Windows does for the interrupt key; the C runtime runs the handler on a thread
        # of its own, and the bridge must bring every one to the thread of the timers.
        proc = self.session.start([program("app_win32_test.exe"), "--wait-for-interrupts", "3"])
        try:
            self.assertEqual(proc.stdout.readline().strip(), "ready")
            for _ in range(3):
                proc.send_signal(signal.SIGINT)
                self.assertEqual(proc.stdout.readline().strip(), f"signal {int(signal.SIGINT)} main=1")
            self.assertEqual(proc.wait(timeout=RUN_TIMEOUT), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.communicate()


if __name__ == "__main__":
    unittest.main()
