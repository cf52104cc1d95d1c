"""vyr_desk_guard as the runtime sees it: module set-up, argument rules and the
global exception hook with its runtime log."""
import os
import sys
import traceback
import unittest
from unittest import mock

import dg_support

import vyr_desk_guard as dg

LOG_PARTS = ("Vyr_Logs", "vyr_runtime_slot.log")

FUNCTIONS = [
    "_vyr_global_qt_excepthook", "_wrap_widget_in_scroll", "_activate_vyr_window",
    "ensure_vyr_single_instance", "_clean_vyr_text", "_sanitize_vyr_ui_tree",
    "attach_vyr_resolution_guard",
]


def raised(exc):
    """The exception after it was raised and caught, with its traceback."""
    try:
        raise exc
    except BaseException as caught:  # noqa: B036 - any kind is reported
        return caught


def chained():
    try:
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise ValueError("outer") from inner
    except ValueError as outer:
        return outer


class ModuleSetUp(unittest.TestCase):
    def setUp(self):
        self.box = dg_support.Sandbox()
        self.addCleanup(self.box.cleanup)

    def test_attributes_in_order_of_creation(self):
        own = [n for n in vars(dg) if not (n.startswith("__") and n.endswith("__"))]
        self.assertEqual(own, [
            "os", "sys", "time", "re",
            "_vyr_global_qt_excepthook", "_wrap_widget_in_scroll",
            "_VYR_SINGLE_INSTANCE_STATE", "_activate_vyr_window", "ensure_vyr_single_instance",
            "_VYR_NOISY_SYMBOLS_RE", "_VYR_EN_PARENS_RE", "_VYR_JARGON_REPLACEMENTS",
            "_clean_vyr_text", "_sanitize_vyr_ui_tree", "attach_vyr_resolution_guard",
        ])
        self.assertEqual(dg.__test__, {})
        self.assertIs(sys.excepthook, dg._vyr_global_qt_excepthook)
        for name in FUNCTIONS:
            self.assertTrue(callable(getattr(dg, name)), name)
        self.assertEqual(dg._VYR_NOISY_SYMBOLS_RE.flags & dg.re.IGNORECASE, 0)
        self.assertTrue(dg._VYR_EN_PARENS_RE.flags & dg.re.IGNORECASE)
        self.assertIsInstance(dg._VYR_JARGON_REPLACEMENTS, tuple)

    def test_fresh_import_state_and_no_side_effects(self):
        proc = self.box.run("""
            import sys, threading
            before = sys.excepthook
            import vyr_desk_guard as dg
            print(list(dg._VYR_SINGLE_INSTANCE_STATE.items()))
            print(before is sys.__excepthook__, sys.excepthook is dg._vyr_global_qt_excepthook)
            print(threading.active_count())
        """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.splitlines(), [
            "[('locked', False), ('app_key', ''), ('lock_fh', None), ('server', None), "
            "('main_win', None)]",
            "True True",
            "1",
        ])
        # No file, folder, socket or lock anywhere in the private folders.
        self.assertEqual(self.box.listing(), ["home", "runtime", "tmp"])

    def test_set_up_runs_once_per_process(self):
        proc = self.box.run("""
            import importlib, sys
            import vyr_desk_guard as first
            hook = sys.excepthook
            sys.excepthook = sys.__excepthook__
            import vyr_desk_guard as again
            del sys.modules["vyr_desk_guard"]
            import vyr_desk_guard as third
            print(first is again is third, importlib.reload(third) is first)
            print(third._VYR_SINGLE_INSTANCE_STATE is first._VYR_SINGLE_INSTANCE_STATE)
            # The hook is not installed a second time.
            print(sys.excepthook is sys.__excepthook__, hook is first._vyr_global_qt_excepthook)
        """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.split(), ["True", "True", "True", "True", "True"])

    def test_failed_load_keeps_the_runtime_hook_and_a_retry_starts_over(self):
        proc = self.box.run("""
            import sys, traceback
            sys.modules["re"] = None          # a standard module that cannot be loaded
            try:
                import vyr_desk_guard
            except ImportError as e:
                names = [f.name for f in traceback.extract_tb(e.__traceback__)]
                print("init vyr_desk_guard" in names, sys.excepthook is sys.__excepthook__)
            del sys.modules["re"]
            import vyr_desk_guard as dg
            print(sys.excepthook is dg._vyr_global_qt_excepthook, callable(dg._clean_vyr_text))
        """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.split(), ["True", "True", "True", "True"])

    @unittest.skipUnless(os.environ.get("VYR_DESK_GUARD_NO_QT_DIR"), "no stand-in Qt library")
    def test_without_usable_qt_the_import_fails_and_the_hook_stays(self):
        proc = self.box.run("""
            import sys
            try:
                import vyr_desk_guard
            except ImportError as e:
                print("ImportError", "Qt" in str(e))
            print(sys.excepthook is sys.__excepthook__, "vyr_desk_guard" in sys.modules)
        """, env={"LD_LIBRARY_PATH": os.environ["VYR_DESK_GUARD_NO_QT_DIR"]})
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.split(), ["ImportError", "True", "True", "False"])

    def test_second_module_object_is_refused(self):
        proc = self.box.run("""
            import importlib.util
            spec = importlib.util.find_spec("vyr_desk_guard")
            first = importlib.util.module_from_spec(spec)
            second = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(first)
            try:
                spec.loader.exec_module(second)
            except RuntimeError as e:
                print(e)
        """)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.strip(), "Module 'vyr_desk_guard' has already been imported. "
                                              "Re-initialisation is not supported.")

    def test_argument_errors_come_before_any_work(self):
        state_before = dict(dg._VYR_SINGLE_INSTANCE_STATE)
        cases = [
            ("_vyr_global_qt_excepthook", (ValueError, ValueError("x")), {}),
            ("_vyr_global_qt_excepthook", (ValueError, ValueError("x"), None, None), {}),
            ("_vyr_global_qt_excepthook", (ValueError, ValueError("x")), {"tb": None}),
            ("_wrap_widget_in_scroll", (), {}),
            ("_wrap_widget_in_scroll", (None,), {}),
            ("_wrap_widget_in_scroll", (), {"widget": None}),
            ("_activate_vyr_window", (None, None), {}),
            ("_activate_vyr_window", (), {"window": None}),
            ("_activate_vyr_window", ("not a widget",), {}),
            ("ensure_vyr_single_instance", (), {}),
            ("ensure_vyr_single_instance", ("MONITOR", None, None), {}),
            ("ensure_vyr_single_instance", ("MONITOR",), {"window": None}),
            ("ensure_vyr_single_instance", ("MONITOR", "window"), {}),
            ("_clean_vyr_text", (), {}),
            ("_clean_vyr_text", ("a", "b"), {}),
            ("_clean_vyr_text", (), {"text": "a"}),
            ("_sanitize_vyr_ui_tree", (), {}),
            ("_sanitize_vyr_ui_tree", (None,), {}),
            ("attach_vyr_resolution_guard", (), {}),
            ("attach_vyr_resolution_guard", (None, None), {}),
            ("attach_vyr_resolution_guard", (), {"window": None}),
        ]
        for name, args, kwargs in cases:
            with self.subTest(name=name, args=args, kwargs=kwargs):
                with self.assertRaises(TypeError):
                    getattr(dg, name)(*args, **kwargs)
        self.assertEqual(dg._VYR_SINGLE_INSTANCE_STATE, state_before)

    def test_keyword_calls(self):
        self.assertEqual(dg._clean_vyr_text(txt="\u2699 Ayarlar"), "Ayarlar")
        self.assertIsNone(dg.attach_vyr_resolution_guard(win=None))
        with mock.patch.dict(os.environ, {"LOCALAPPDATA": self.box.path("kw")}):
            exc = raised(ValueError("by keyword"))
            self.assertIsNone(dg._vyr_global_qt_excepthook(
                exc_tb=exc.__traceback__, exc_value=exc, exc_type=ValueError))
        with open(self.box.path("kw", *LOG_PARTS), encoding="utf-8") as f:
            self.assertIn("ValueError: by keyword", f.read())


class ExceptionHook(unittest.TestCase):
    def setUp(self):
        self.box = dg_support.Sandbox()
        self.addCleanup(self.box.cleanup)

    def report(self, exc, env):
        with mock.patch.dict(os.environ, {k: v for k, v in env.items() if v is not None}):
            for name in [k for k, v in env.items() if v is None]:
                os.environ.pop(name, None)
            return dg._vyr_global_qt_excepthook(type(exc), exc, exc.__traceback__)

    def read(self, *parts):
        with open(os.path.join(*parts), encoding="utf-8", newline="") as f:
            return f.read()

    def test_log_folder_follows_localappdata_else_home(self):
        home = self.box.home
        deep = self.box.path("appdata", "missing", "parents")
        cases = [
            ({"LOCALAPPDATA": deep, "HOME": home}, deep),
            ({"LOCALAPPDATA": "", "HOME": home}, home),
            ({"LOCALAPPDATA": None, "HOME": home}, home),
        ]
        for env, base in cases:
            with self.subTest(env=env):
                exc = raised(RuntimeError("where"))
                self.assertIsNone(self.report(exc, env))
                log = os.path.join(base, *LOG_PARTS)
                self.assertTrue(self.read(log).endswith("RuntimeError: where\n\n"))
                os.remove(log)

    def test_entries_are_appended_in_order_with_an_empty_line_after_each(self):
        base = self.box.path("appdata")
        os.makedirs(os.path.join(base, LOG_PARTS[0]))
        with open(os.path.join(base, *LOG_PARTS), "w", encoding="utf-8") as f:
            f.write("earlier content\n")
        errors = [
            raised(ZeroDivisionError("first")),
            chained(),                      # cause and context in one entry
            ValueError("never raised"),     # no traceback object
            raised(KeyboardInterrupt()),    # outside the ordinary family, written all the same
            raised(ValueError("Türkçe ğüşiöç")),
        ]
        expected = "earlier content\n"
        for exc in errors:
            self.assertIsNone(self.report(exc, {"LOCALAPPDATA": base}))
            expected += "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
            expected += "\n"
        text = self.read(base, *LOG_PARTS)
        self.assertEqual(text, expected)
        self.assertIn("The above exception was the direct cause", text)
        self.assertIn("ValueError: never raised\n\n", text)

    def test_unusable_log_places_write_nothing_and_raise_nothing(self):
        blocker = self.box.path("a-file")
        with open(blocker, "w") as f:
            f.write("x")
        log_is_folder = self.box.path("folder-log")
        os.makedirs(os.path.join(log_is_folder, *LOG_PARTS))
        cases = [blocker, log_is_folder]
        if os.geteuid() != 0:
            read_only = self.box.path("read-only")
            os.makedirs(os.path.join(read_only, LOG_PARTS[0]))
            os.chmod(os.path.join(read_only, LOG_PARTS[0]), 0o500)
            cases.append(read_only)
        for base in cases:
            with self.subTest(base=base):
                self.assertIsNone(self.report(raised(OSError("lost")), {"LOCALAPPDATA": base,
                                                                         "HOME": self.box.home}))
        # The home folder is no second location.
        self.assertFalse(os.path.exists(os.path.join(self.box.home, LOG_PARTS[0])))

    def test_text_that_cannot_be_encoded_leaves_an_empty_new_file(self):
        base = self.box.path("appdata")
        self.assertIsNone(self.report(raised(ValueError("\udc80")), {"LOCALAPPDATA": base}))
        self.assertEqual(self.read(base, *LOG_PARTS), "")

    def test_failures_of_the_formatter(self):
        base = self.box.path("appdata")
        exc = raised(ValueError("x"))
        with mock.patch.object(traceback, "format_exception", side_effect=LookupError("bad")):
            self.assertIsNone(self.report(exc, {"LOCALAPPDATA": base}))
        self.assertFalse(os.path.exists(base))   # nothing touched before the text exists
        with mock.patch.object(traceback, "format_exception", side_effect=KeyboardInterrupt):
            with self.assertRaises(KeyboardInterrupt):
                self.report(exc, {"LOCALAPPDATA": base})

    def test_uncaught_error_of_a_script_goes_to_the_log_only(self):
        proc = self.box.run("""
            import vyr_desk_guard
            def deep():
                raise ValueError("boom")
            deep()
        """)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual((proc.stdout, proc.stderr), ("", ""))
        text = self.read(self.box.home, *LOG_PARTS)
        self.assertTrue(text.startswith("Traceback (most recent call last):\n"))
        self.assertIn(", in deep\n", text)
        self.assertTrue(text.endswith("ValueError: boom\n\n"))

    def test_a_log_that_cannot_be_written_is_traced_only_when_asked(self):
        blocker = self.box.path("a-file")
        with open(blocker, "w") as f:
            f.write("x")
        code = """
            import vyr_desk_guard
            raise ValueError("boom")
        """
        for rules, traced in ((None, False), ("vyr.guard=true", True), ("vyr.engine=true", False)):
            with self.subTest(rules=rules):
                proc = self.box.run(code, env={"LOCALAPPDATA": blocker, "QT_LOGGING_RULES": rules or ""})
                self.assertEqual((proc.returncode, proc.stdout), (1, ""))
                if traced:
                    self.assertRegex(proc.stderr, r"^vyr\.guard: runtime log: NotADirectoryError: .*a-file.*\n$")
                else:
                    self.assertEqual(proc.stderr, "")

    def test_error_in_a_qt_slot_is_logged_and_the_event_loop_goes_on(self):
        proc = self.box.run("""
            import vyr_desk_guard_testkit as tk
            tk.app()
            import vyr_desk_guard
            def slot():
                raise ZeroDivisionError("in a slot")
            tk.call_later(slot)
            tk.call_later(slot, 10)
            tk.call_later(lambda: print("alive", flush=True), 20)
            tk.run(100)
            print("done")
        """)
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, "alive\ndone\n", ""))
        text = self.read(self.box.home, *LOG_PARTS)
        entries = text.split("\n\n")
        self.assertEqual(entries[2:], [""])
        for entry in entries[:2]:
            self.assertTrue(entry.startswith("Traceback (most recent call last):\n"))
            self.assertIn(", in slot\n", entry)
            self.assertTrue(entry.endswith("ZeroDivisionError: in a slot"))


if __name__ == "__main__":
    unittest.main()
