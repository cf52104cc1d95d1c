import sys, os, io, traceback
sys._vyr_exit_code = 0
if sys.stdout is None: sys.stdout = io.StringIO()
if sys.stderr is None: sys.stderr = io.StringIO()
cwd = os.getcwd()
if cwd not in sys.path: sys.path.insert(0, cwd)
sp = os.path.join(cwd, "Lib", "site-packages")
if os.path.isdir(sp) and sp not in sys.path:
    sys.path.insert(0, sp)
qt_bin = os.path.join(sp, "PyQt5", "Qt5", "bin")
os.environ["PATH"] = cwd + os.pathsep + (qt_bin + os.pathsep if os.path.isdir(qt_bin) else "") + os.environ.get("PATH", "")
sys._vyr_dll_dirs = []
if hasattr(os, "add_dll_directory"):
    for d in [cwd] + ([qt_bin] if os.path.isdir(qt_bin) else []):
        try: sys._vyr_dll_dirs.append(os.add_dll_directory(d))
        except Exception: pass
qt_plugins = os.path.join(cwd, "plugins") if os.path.isdir(os.path.join(cwd, "plugins")) else os.path.join(sp, "PyQt5", "Qt5", "plugins")
if os.path.isdir(qt_plugins):
    os.environ["QT_QPA_PLATFORM_PLUGIN_PATH"] = qt_plugins
try:
    import app
    if hasattr(app, "main"):
        app.main()
except SystemExit as e:
    sys._vyr_exit_code = 0 if e.code is None else (e.code if isinstance(e.code, int) else 1)
except BaseException:
    sys._vyr_exit_code = 1
    err_txt = traceback.format_exc()
    logged = False
    for base in (os.environ.get("LOCALAPPDATA", cwd), cwd):
        try:
            log_d = os.path.join(base, "Tovrin")
            os.makedirs(log_d, exist_ok=True)
            with open(os.path.join(log_d, "startup_error.log"), "w", encoding="utf-8") as f:
                f.write(err_txt)
            logged = True; break
        except Exception: pass
    if os.name != "nt" or not logged:
        try: sys.stderr.write(err_txt); sys.stderr.flush()
        except Exception: pass
    try:
        import ctypes
        ctypes.windll.user32.MessageBoxW(0, err_txt[:1800], "Vyr Ruvivu Zizodiro - Baslatma Hatasi", 0x10)
    except Exception: pass
