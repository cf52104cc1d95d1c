"""The shared module set-up, seen through vyr_build_info."""
import os
import subprocess
import sys
import textwrap
import unittest


def run_fresh(code):
    """Runs `code` in a new interpreter process; returns (returncode, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60, env=os.environ.copy())
    return proc.returncode, proc.stdout, proc.stderr


class BuildInfo(unittest.TestCase):
    def test_attributes(self):
        import vyr_build_info as bi
        self.assertEqual(bi.VERSION, "1.5.0")
        self.assertIsInstance(bi.VERSION, str)
        self.assertEqual(bi.__test__, {})
        self.assertIsNone(bi.__doc__)
        own = [n for n in vars(bi) if not (n.startswith("__") and n.endswith("__"))]
        self.assertEqual(own, ["VERSION"])
        self.assertEqual(list(vars(bi))[-2:], ["VERSION", "__test__"])
        self.assertTrue(bi.__file__.endswith(".so"))
        self.assertIsNotNone(bi.__loader__)

    def test_same_object_after_reimport_and_reload(self):
        rc, out, err = run_fresh("""
            import importlib, sys
            import vyr_build_info as first
            first.VERSION_SEEN = first.VERSION
            import vyr_build_info as again
            del sys.modules["vyr_build_info"]
            import vyr_build_info as third
            reloaded = importlib.reload(third)
            print(first is again is third is reloaded, third.VERSION_SEEN, third.VERSION)
        """)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.split(), ["True", "1.5.0", "1.5.0"])

    def test_subinterpreter_is_refused(self):
        rc, out, err = run_fresh("""
            import _testcapi
            import vyr_build_info
            code = '''
            try:
                import vyr_build_info
            except ImportError as e:
                open(PATH, "w").write(str(e))
            '''
            import tempfile, os, textwrap
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "msg")
                _testcapi.run_in_subinterp("PATH = %r\\n" % path + textwrap.dedent(code))
                print(open(path).read())
        """)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.strip(), "Interpreter change detected - this module can only be "
                                      "loaded into one interpreter per process.")

    def test_second_module_object_is_refused(self):
        rc, out, err = run_fresh("""
            import importlib.util
            spec = importlib.util.find_spec("vyr_build_info")
            first = importlib.util.module_from_spec(spec)
            second = importlib.util.module_from_spec(spec)
            assert first is not second
            spec.loader.exec_module(first)
            spec.loader.exec_module(first)   # the same object again: nothing happens
            try:
                spec.loader.exec_module(second)
            except RuntimeError as e:
                print(e)
            # The completed set-up is what later imports get.
            import vyr_build_info
            print(vyr_build_info is first, hasattr(second, "VERSION"))
        """)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines(), [
            "Module 'vyr_build_info' has already been imported. Re-initialisation is not "
            "supported.",
            "True False",
        ])

    def test_no_version_warning_on_312(self):
        rc, out, err = run_fresh("""
            import warnings
            warnings.simplefilter("error")
            import vyr_build_info
            print(vyr_build_info.VERSION)
        """)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.strip(), "1.5.0")


if __name__ == "__main__":
    unittest.main()
