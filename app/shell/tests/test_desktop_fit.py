"""The real program on desktops as a new user meets them: openbox on a virtual
X display without a compositing manager, with a solid background, on a large
and on a small screen, with a real system tray, and on a machine without the
fonts its style names (the system's Inter is hidden from it). Screenshots of
each step are left in VYR_E2E_SHOTS when it names a folder."""
import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from x11session import EVENT_WAIT, TITLE, Monitor, X11Session, have_tools, shots_folder, wait_until

DIST = os.environ.get("VYR_E2E_DIST") or os.environ.get("VYR_DIST_DIR", "")
INSPECTOR_TITLE = TITLE + " — Canlı Program ve İşlem Denetçisi"
BACKGROUND = (0x2E, 0x6F, 0x9E)
BLACK = (0, 0, 0)
CLOSE_RED_BG = (0xFE, 0xF2, 0xF2)  # the inspector's "✕ Kapat", "Sonlandır" and "Zorla Kapat"

# Fontconfig as on a machine without Debian's fonts-inter: the program has
# only the fonts it ships.
FONTS_WITHOUT_INTER = """<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
  <selectfont><rejectfont><glob>/usr/share/fonts/opentype/inter/*</glob></rejectfont></selectfont>
</fontconfig>
"""


class XClient:
    """A small client of the X server through libX11: selection owners,
    window parents, and a selection held as a compositing manager or a tray
    would hold it."""

    def __init__(self, display):
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultScreen.argtypes = [ctypes.c_void_p]
        x.XRootWindow.restype = ctypes.c_ulong
        x.XRootWindow.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XGetSelectionOwner.restype = ctypes.c_ulong
        x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x.XSetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                         ctypes.c_ulong]
        x.XCreateSimpleWindow.restype = ctypes.c_ulong
        x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 + \
            [ctypes.c_uint] * 3 + [ctypes.c_ulong] * 2
        x.XDestroyWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.POINTER(ctypes.c_ulong)] * 2 + \
            [ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)), ctypes.POINTER(ctypes.c_uint)]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.x = x
        self.dpy = x.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError("cannot open display " + display)
        self.screen = x.XDefaultScreen(self.dpy)
        self.root = x.XRootWindow(self.dpy, self.screen)
        self.held = None

    def atom(self, name):
        return self.x.XInternAtom(self.dpy, name.encode(), 0)

    def owner(self, selection):
        return self.x.XGetSelectionOwner(self.dpy, self.atom(selection))

    def hold(self, selection):
        self.held = self.x.XCreateSimpleWindow(self.dpy, self.root, -10, -10, 1, 1, 0, 0, 0)
        self.x.XSetSelectionOwner(self.dpy, self.atom(selection), self.held, 0)
        self.x.XSync(self.dpy, 0)

    def release(self):
        # A destroyed owner window gives the selection up.
        self.x.XDestroyWindow(self.dpy, self.held)
        self.x.XSync(self.dpy, 0)
        self.held = None

    def ancestors(self, window):
        chain = []
        while window and window != self.root:
            root, parent = ctypes.c_ulong(), ctypes.c_ulong()
            children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
            if not self.x.XQueryTree(self.dpy, window, ctypes.byref(root), ctypes.byref(parent),
                                     ctypes.byref(children), ctypes.byref(count)):
                break
            if children:
                self.x.XFree(children)
            window = parent.value
            chain.append(window)
        return chain

    def close(self):
        self.x.XCloseDisplay(self.dpy)


class Picture:
    """A screenshot as pixels."""

    def __init__(self, path):
        with open(path, "rb") as fh:
            data = fh.read()
        fields, pos = [], 0
        while len(fields) < 4:  # P6, width, height, maximum
            while data[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not data[pos:pos + 1].isspace():
                pos += 1
            fields.append(data[start:pos])
        self.width, self.height = int(fields[1]), int(fields[2])
        self.pixels = data[pos + 1:]
        self.sample = 2 if int(fields[3]) > 255 else 1  # 16-bit samples: the high byte is the 8-bit value

    def at(self, x, y):
        i = 3 * self.sample * (y * self.width + x)
        return tuple(self.pixels[i:i + 3 * self.sample:self.sample])

    def runs(self, y, x0, x1, colour):
        """The stretches [start, end) of `colour` on row y between x0 and x1."""
        found, start = [], None
        for x in range(x0, x1):
            if self.at(x, y) == colour:
                start = x if start is None else start
            elif start is not None:
                found.append((start, x))
                start = None
        if start is not None:
            found.append((start, x1))
        return found


def corners(x, y, w, h):
    return [(x, y), (x + w - 1, y), (x, y + h - 1), (x + w - 1, y + h - 1)]


@unittest.skipUnless(have_tools() and shutil.which("display"), "Xvfb, openbox, xdotool or imagemagick missing")
class DesktopFit(unittest.TestCase):
    def open_session(self, width=1920, height=1080):
        s = X11Session(width, height)
        self.addCleanup(s.close)
        fonts = os.path.join(s.root, "fonts.conf")
        with open(fonts, "w", encoding="utf-8") as fh:
            fh.write(FONTS_WITHOUT_INTER)
        s.env["FONTCONFIG_FILE"] = fonts
        # The tray icon talks to a tray on the X display, not over a session bus.
        s.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        subprocess.run(["display", "-window", "root", "-size", "%dx%d" % (width, height),
                        "xc:#%02X%02X%02X" % BACKGROUND], env=s.env, capture_output=True, timeout=30)
        self.x = XClient(s.display)
        self.addCleanup(self.x.close)
        self.session = s
        return s

    def start(self, **settings):
        home = tempfile.mkdtemp(prefix="vyr_fit_home_")
        self.addCleanup(shutil.rmtree, home, True)
        if settings:
            folder = os.path.join(home, ".config", "vyr-linux-monitor")
            os.makedirs(folder)
            with open(os.path.join(folder, "settings.json"), "w", encoding="utf-8") as fh:
                json.dump(settings, fh)
        runtime = os.path.join(home, "run")
        os.mkdir(runtime, 0o700)
        m = Monitor(self.session, DIST, home, extra_env={"XDG_RUNTIME_DIR": runtime})
        self.addCleanup(m.stop)

        def capsule():  # the tray icon's window carries the same title
            for w in self.session.windows(m.pid):
                g = self.session.geometry(w)
                if g and g[2:] == (86, 52) and self.session.window_name(w) == TITLE:
                    return w
            return None

        main = wait_until(capsule)
        self.assertIsNotNone(main, "the capsule window did not appear")
        return m, main

    def shot(self, name):
        return self.session.screenshot(os.path.join(shots_folder(), name + ".png"))

    def picture(self):
        path = os.path.join(self.session.root, "screen.ppm")
        self.session.screenshot(path)
        return Picture(path)

    def others(self, m, *known):
        return [w for w in self.session.windows(m.pid) if w not in known]

    def open_inspector_from_the_context_menu(self, m, main):
        s = self.session
        x, y, _, _ = s.geometry(main)
        s.click(x + 43, y + 26, button=3)
        self.assertTrue(wait_until(lambda: self.others(m, main)), "no context menu")
        time.sleep(0.3)
        s.key("Down")
        s.key("Down")  # "Canlı Kaynak & İşlem Denetçisini Aç"
        s.key("Return")
        inspector = wait_until(lambda: s.find(m.pid, INSPECTOR_TITLE, prefix=True))
        self.assertIsNotNone(inspector, "the inspector did not open")
        time.sleep(2)  # mapped, placed and filled for the screenshot that follows
        return inspector

    def geometry_becomes(self, window, expected):
        """The window's geometry once the window manager has placed it as `expected`, or
        the last one seen."""
        seen = []

        def placed():
            seen.append(self.session.geometry(window))
            return seen[-1] == expected

        wait_until(placed)
        return seen[-1]

    def hover_capsule(self, main):
        s = self.session
        x, y, _, _ = s.geometry(main)
        s.pointer_to(x - 300, y - 300)
        time.sleep(0.3)
        s.pointer_to(x + 30, y + 30)
        time.sleep(0.1)
        s.pointer_to(x + 43, y + 26)

    def minimise_button(self, inspector):
        """Centre of the inspector's "—" button: left of "✕ Kapat", the red
        button at the right end of the header."""
        ix, iy, iw, _ = self.session.geometry(inspector)

        def find():
            pic = self.picture()
            for y in range(iy + 8, iy + 90):
                runs = pic.runs(y, ix + iw // 2, ix + iw, CLOSE_RED_BG)
                if runs and runs[-1][1] - runs[-1][0] >= 20:
                    close_left = runs[-1][0] - 1  # its border
                    top = y
                    while pic.runs(y, close_left, close_left + 10, CLOSE_RED_BG):
                        y += 1
                    return close_left - 8 - 15, (top + y) // 2  # spacing 8, 30 px wide
            return None

        # The header is painted a moment after the window is placed.
        where = wait_until(find, EVENT_WAIT, 0.3)
        if where is None:
            self.fail("no close button in the inspector's header")
        return where

    def test_inspector_at_its_designed_size_and_back_from_minimised(self):
        s = self.open_session(1920, 1080)
        m, main = self.start()
        inspector = self.open_inspector_from_the_context_menu(m, main)
        self.shot("inspector_1920x1080")
        # 780 x 530, centred on the screen as the controller computes it.
        self.assertEqual(self.geometry_becomes(inspector, (569, 274, 780, 530)), (569, 274, 780, 530))

        # "—" minimises it; the capsule's summary then opens on hover as when it is closed.
        s.click(*self.minimise_button(inspector))
        self.assertTrue(wait_until(lambda: s.find(m.pid, INSPECTOR_TITLE, prefix=True) is None),
                        "the inspector was not minimised")
        time.sleep(1.6)  # the hover block left by opening the inspector
        self.hover_capsule(main)
        popup = wait_until(lambda: (self.others(m, main) or [None])[0])
        self.assertIsNotNone(popup, "hovering did not open the summary")
        self.shot("minimised_inspector_hover_summary")

        # A click on the capsule brings the inspector back where it was, and closes the summary.
        x, y, _, _ = s.geometry(main)
        s.click(x + 43, y + 26)
        back = wait_until(lambda: s.find(m.pid, INSPECTOR_TITLE, prefix=True))
        self.assertEqual(back, inspector, "the capsule click did not bring the inspector back")
        self.assertEqual(self.geometry_becomes(inspector, (569, 274, 780, 530)), (569, 274, 780, 530))
        self.shot("minimised_inspector_back")
        self.assertTrue(wait_until(lambda: popup not in s.windows(m.pid)))

    def action_buttons_row(self, inspector):
        """Centres of "Sonlandır" and the search field, on the tool row: its
        two red buttons are the first pair of red runs below the header."""
        ix, iy, iw, _ = self.session.geometry(inspector)
        pic = self.picture()
        for y in range(iy + 80, iy + 400):
            runs = [r for r in pic.runs(y, ix + iw // 2, ix + iw, CLOSE_RED_BG) if r[1] - r[0] >= 20]
            if len(runs) >= 2:
                top = y
                while len([r for r in pic.runs(y, ix + iw // 2, ix + iw, CLOSE_RED_BG)
                           if r[1] - r[0] >= 20]) >= 2:
                    y += 1
                middle = (top + y) // 2
                return ((runs[0][0] + runs[0][1]) // 2, middle), (ix + 150, middle)
        self.fail("no Sonlandır button in the inspector")

    def dark_on(self, pic, x0, x1, y):
        """Whether a line of text crosses row y between x0 and x1."""
        return any(max(pic.at(x, yy)) < 0x60 for yy in range(y - 4, y + 5) for x in range(x0, x1, 2))

    def footer_strip(self, inspector):
        ix, iy, iw, ih = self.session.geometry(inspector)
        pic = self.picture()
        return [pic.at(x, y) for y in range(iy + ih - 36, iy + ih - 20) for x in range(ix + 10, ix + iw - 10)]

    def end_from_the_inspector(self, m, inspector, pid):
        """Finds `pid` through the search field, selects its row and ends it
        with Sonlandır and Evet."""
        s = self.session
        ix, _, iw, _ = s.geometry(inspector)
        term, search = self.action_buttons_row(inspector)
        s.click(*search)
        s.key("ctrl+a")
        s.xdotool("type", "--delay", "20", str(pid))
        first_row = search[1] + 75

        def only_its_row():
            pic = self.picture()
            return self.dark_on(pic, ix + 30, ix + iw - 40, first_row) and \
                not self.dark_on(pic, ix + 30, ix + iw - 40, first_row + 28)

        self.assertTrue(wait_until(only_its_row, 20, 0.3), "the search did not list the process alone")
        s.click(search[0], first_row)
        s.click(*term)
        question = wait_until(lambda: s.find(m.pid, "İşlemi Sonlandır", prefix=True), 10)
        self.assertIsNotNone(question, "no question before ending the process")
        s.xdotool("windowactivate", "--sync", str(question))
        s.key("alt+e")  # "&Evet"

    def test_a_long_process_name_keeps_the_inspector_on_the_screen(self):
        # The footer shows the engine's answer, which names the process: a name
        # of 200 characters (a copy of sleep named so), or an argv[0] of 131 000,
        # is shortened there, and the window keeps its width.
        s = self.open_session(1920, 1080)
        m, main = self.start()
        folder = tempfile.mkdtemp(prefix="vyr_long_name_")
        self.addCleanup(shutil.rmtree, folder, True)
        long_file = os.path.join(folder, "uzun-" + "a" * 195)
        short_file = os.path.join(folder, "n" * 15)
        for path in (long_file, short_file):
            shutil.copy("/bin/sleep", path)
        cases = [("200 characters", [long_file, "600"], long_file),
                 ("argv[0] of 131000 characters", ["n" * 131000, "600"], short_file)]
        inspector = self.open_inspector_from_the_context_menu(m, main)
        for label, argv, executable in cases:
            with self.subTest(label):
                child = subprocess.Popen(argv, executable=executable, env=s.env)
                self.addCleanup(child.wait)
                self.addCleanup(child.kill)
                before = self.footer_strip(inspector)
                self.end_from_the_inspector(m, inspector, child.pid)
                self.assertEqual(child.wait(10), -15, "the process was not ended with SIGTERM")
                self.assertTrue(wait_until(lambda: self.footer_strip(inspector) != before, 10, 0.3),
                                "the footer did not change")
                self.shot("inspector_after_ending_a_name_of_%d" % len(os.path.basename(argv[0])))
                self.assertEqual(s.geometry(inspector), (569, 274, 780, 530))
                s.key("Escape")
                self.assertTrue(wait_until(lambda: s.find(m.pid, INSPECTOR_TITLE, prefix=True) is None, 5))
                inspector = self.open_inspector_from_the_context_menu(m, main)
                self.assertEqual(s.geometry(inspector), (569, 274, 780, 530))

    def test_inspector_fits_a_small_screen(self):
        s = self.open_session(800, 600)
        m, main = self.start()
        inspector = self.open_inspector_from_the_context_menu(m, main)
        self.shot("inspector_800x600")
        x, y, w, h = self.geometry_becomes(inspector, (12, 34, 780, 530))
        self.assertEqual((w, h), (780, 530))
        self.assertEqual((x, y), (12, 34))  # the left margin wins, the height is centred
        self.assertLessEqual(x + w, 800)
        self.assertLessEqual(y + h, 600)

    def test_rounded_windows_without_a_compositor(self):
        s = self.open_session(1920, 1080)
        self.assertEqual(self.x.owner("_NET_WM_CM_S%d" % self.x.screen), 0)
        m, main = self.start()
        time.sleep(2)
        capsule = s.geometry(main)
        # The corners and the margin round the capsule's plate show the desktop.
        points = corners(*capsule) + [(capsule[0] + 3, capsule[1] + 3), (capsule[0] + 43, capsule[1] + 1)]

        def desktop_shows(points):
            pic = self.picture()
            return all(pic.at(px, py) == BACKGROUND for px, py in points)

        desktop_shown = wait_until(lambda: desktop_shows(points), EVENT_WAIT, 0.5)
        self.shot("capsule_without_compositor")
        self.assertTrue(desktop_shown, "the capsule's corners are not the desktop")
        pic = self.picture()
        self.assertNotEqual(pic.at(capsule[0] + 43, capsule[1] + 26), BACKGROUND)  # the plate itself

        self.hover_capsule(main)
        popup = wait_until(lambda: (self.others(m, main) or [None])[0])
        self.assertIsNotNone(popup, "hovering did not open the summary")
        shown = wait_until(lambda: desktop_shows(corners(*s.geometry(popup))), EVENT_WAIT, 0.3)
        self.shot("popup_without_compositor")
        self.assertTrue(shown, "the summary's corners are not the desktop")
        s.pointer_to(200, 200)
        self.assertTrue(wait_until(lambda: popup not in s.windows(m.pid)))

        # A compositing manager that starts later blends the windows itself: the
        # shape goes (without a real one, the corners then read black), and comes
        # back when it ends.
        self.x.hold("_NET_WM_CM_S%d" % self.x.screen)
        self.assertTrue(wait_until(lambda: self.picture().at(capsule[0], capsule[1]) == BLACK, EVENT_WAIT, 0.5),
                        "the capsule kept its shape under a compositing manager")
        self.x.release()
        self.assertTrue(wait_until(lambda: desktop_shows(points), EVENT_WAIT, 0.5),
                        "the capsule's shape did not come back when the compositing manager ended")

    def test_fully_transparent_capsule_without_a_compositor(self):
        # "Tam Şeffaf": no plate. Without a compositing manager the capsule is
        # cut to its icon, word, figure and bar, and the desktop shows between them.
        s = self.open_session(1920, 1080)
        m, main = self.start(bg_alpha=0, hover_popup=False)
        x, y, w, h = s.geometry(main)
        s.pointer_to(x - 300, y - 300)
        # Plate points away from what the capsule paints: above the figure,
        # between the word and the figure, left of the word and above the bar.
        plate = [(x + 45, y + 6), (x + 33, y + 30), (x + 4, y + 30), (x + 60, y + 38)]

        def desktop_shows(pic):
            return all(pic.at(px, py) == BACKGROUND for px, py in plate)

        shown = wait_until(lambda: desktop_shows(self.picture()), EVENT_WAIT, 0.5)
        self.shot("transparent_capsule_without_compositor")
        self.assertTrue(shown, "the capsule's plate area is not the desktop")
        pic = self.picture()
        # The figure and the icon are still drawn, in their own colours.
        figure = [(px, py) for px in range(x + 30, x + w - 6) for py in range(y + 10, y + 34)
                  if max(pic.at(px, py)) < 0x60]
        self.assertTrue(figure, "no dark figure on the capsule")
        icon = [pic.at(px, py) for px in range(x + 10, x + 28) for py in range(y + 8, y + 26)]
        self.assertTrue(any(c != BACKGROUND and c != BLACK for c in icon), "no icon on the capsule")

        # The pointer on the figure shows the whole hover plate; leaving cuts it back.
        s.pointer_to(*figure[len(figure) // 2])
        self.assertTrue(wait_until(lambda: not any(self.picture().at(px, py) == BACKGROUND for px, py in plate),
                                   EVENT_WAIT, 0.3), "the hover plate is not shown whole")
        s.pointer_to(x - 300, y - 300)
        self.assertTrue(wait_until(lambda: desktop_shows(self.picture()), EVENT_WAIT, 0.3))

        # Under a compositing manager the window is not cut: it blends itself.
        self.x.hold("_NET_WM_CM_S%d" % self.x.screen)
        self.assertTrue(wait_until(lambda: self.picture().at(*plate[0]) == BLACK, EVENT_WAIT, 0.5),
                        "the capsule stayed cut under a compositing manager")
        self.x.release()

    def test_fully_transparent_capsule_shows_its_hover_plate_at_once(self):
        # The window grows to the whole plate before the hovered plate is
        # painted: had it grown after, the part it gained would stay black
        # until the next repaint, and no sample comes to repaint it here.
        s = self.open_session(1920, 1080)
        m, main = self.start(bg_alpha=0, hover_popup=False, refresh_ms=3600000)
        x, y, w, h = s.geometry(main)
        away = (x - 300, y - 300)
        s.pointer_to(*away)
        plate = [(x + 45, y + 6), (x + 33, y + 30), (x + 4, y + 30), (x + 60, y + 38)]

        def plate_is(test):
            pic = self.picture()
            return all(test(pic.at(px, py)) for px, py in plate)

        def desktop(c):
            return c == BACKGROUND

        def pale(c):
            return min(c) > 0xD0

        self.assertTrue(wait_until(lambda: plate_is(desktop), 10, 0.3), "the capsule's plate area is not the desktop")
        pic = self.picture()
        figure = [(px, py) for px in range(x + 30, x + w - 6) for py in range(y + 10, y + 34)
                  if max(pic.at(px, py)) < 0x60]
        self.assertTrue(figure, "no dark figure on the capsule")
        on_figure = figure[len(figure) // 2]
        for attempt in range(3):
            s.pointer_to(*on_figure)
            self.assertTrue(wait_until(lambda: plate_is(pale), 5, 0.2), "the hover plate is not pale (%d)" % attempt)
            s.pointer_to(*away)
            self.assertTrue(wait_until(lambda: plate_is(desktop), 5, 0.2))

        # The context menu closes with the pointer on the capsule.
        s.pointer_to(*on_figure)
        self.assertTrue(wait_until(lambda: plate_is(pale), 5, 0.2))
        s.click(*on_figure, button=3)
        self.assertTrue(wait_until(lambda: self.others(m, main), 5), "no context menu")
        s.key("Escape")
        self.assertTrue(wait_until(lambda: not self.others(m, main), 5), "the context menu stayed")
        self.assertTrue(wait_until(lambda: plate_is(pale), 5, 0.2), "the plate is not pale after the menu")
        self.shot("transparent_capsule_hovered_after_the_menu")

    @unittest.skipUnless(shutil.which("trayer"), "no trayer")
    def test_tray_icon_in_a_real_tray(self):
        s = self.open_session(1920, 1080)
        tray = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                 "--height", "28", "--SetDockType", "true", "--SetPartialStrut", "true",
                                 "--transparent", "false"],
                                env=s.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(tray.wait)
        self.addCleanup(tray.kill)
        self.assertTrue(wait_until(lambda: self.x.owner("_NET_SYSTEM_TRAY_S%d" % self.x.screen)),
                        "the tray did not start")
        tray_windows = set(int(w) for w in (s.xdotool("search", "--class", "trayer") or "").split())
        m, main = self.start()

        def small_window():
            for w in self.others(m, main):
                g = s.geometry(w)
                if g and g[2] <= 48 and g[3] <= 48:
                    return w
            return None

        icon = wait_until(small_window)
        self.assertIsNotNone(icon, "no tray icon")
        inside = wait_until(lambda: tray_windows & set(self.x.ancestors(icon)))
        self.shot("tray_icon")
        self.assertTrue(inside, "the icon is not inside the tray")

        # Its click opens the summary beside it; a second click closes it.
        ix, iy, iw, ih = s.geometry(icon)
        s.click(ix + iw // 2, iy + ih // 2)
        popup = wait_until(lambda: (self.others(m, main, icon) or [None])[0])
        self.assertIsNotNone(popup, "the tray click did not open the summary")
        time.sleep(0.5)
        self.shot("tray_summary")
        px, py, pw, ph = s.geometry(popup)
        self.assertLessEqual(px + pw, ix)  # left of the icon, close by, and below the tray
        self.assertLess(ix - (px + pw), 12)
        self.assertLess(py - (iy + ih), 16)
        s.click(ix + iw // 2, iy + ih // 2)
        self.assertTrue(wait_until(lambda: popup not in s.windows(m.pid)), "the second click kept it")

        def tray_menu(*keys):
            s.click(ix + iw // 2, iy + ih // 2, button=3)
            menu = wait_until(lambda: (self.others(m, main, icon) or [None])[0])
            self.assertIsNotNone(menu, "no tray menu")
            time.sleep(0.3)
            for k in keys:
                s.key(k)
                time.sleep(0.1)

        # "Masaüstü Tek Simgesini Göster / Gizle", twice.
        tray_menu("Down", "Down", "Return")
        self.assertTrue(wait_until(lambda: main not in s.windows(m.pid)), "the capsule stayed")
        tray_menu("Down", "Down", "Return")
        self.assertTrue(wait_until(lambda: main in s.windows(m.pid)), "the capsule did not come back")
        # "Canlı Kaynak & İşlem Denetçisini Aç".
        tray_menu("Down", "Down", "Down")
        self.shot("tray_menu")
        s.key("Return")
        self.assertIsNotNone(wait_until(lambda: s.find(m.pid, INSPECTOR_TITLE, prefix=True)))
        # "Çıkış" ends the program with 0.
        tray_menu("Up", "Return")
        self.assertEqual(m.wait(), 0)


if __name__ == "__main__":
    unittest.main()
