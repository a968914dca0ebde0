# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program under a private X server, its window pinged with
_NET_WM_PING (the toolkit answers only while it handles events): what the
benchmarks of the window's liveliness share.
"""
import select
import subprocess
import sys
import time

from Xlib import X, XK, display, protocol
from Xlib.ext import xtest

WINDOW_X, WINDOW_Y = 100, 100  # where the program puts its window
PING_PERIOD = 0.02


class PingedProgram:
    def __init__(self, name, argv, cwd):
        self.name = name
        self.app = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        self.wid = self._find_window()
        self.shown = time.monotonic()
        self.d = display.Display()
        self.d.set_error_handler(lambda *args: None)  # pings to a window that is gone
        self.root = self.d.screen().root
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.window = self.d.create_resource_object("window", self.wid)
        self.wm_protocols = self.d.intern_atom("WM_PROTOCOLS")
        self.net_wm_ping = self.d.intern_atom("_NET_WM_PING")
        self.sent = {}      # serial -> when sent
        self.answers = []   # when each answer came
        self.next_ping = time.monotonic()

    def fail(self, message):
        print(self.name + ": " + message, file=sys.stderr)
        if self.app.poll() is None:
            self.app.kill()
        sys.exit(1)

    def _find_window(self):
        started = time.monotonic()
        while True:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                                    str(self.app.pid)], capture_output=True, text=True).stdout.split()
            if found:
                return int(found[0])
            if self.app.poll() is not None:
                self.fail("the program ended before showing its window")
            if time.monotonic() - started > 30:
                self.fail("no window appeared")
            time.sleep(0.01)

    def ping(self):
        """Sends a ping when one is due and reads the answers that came (5 ms at most)."""
        now = time.monotonic()
        if now >= self.next_ping:
            serial = len(self.sent) + 1
            self.sent[serial] = now
            self.window.send_event(protocol.event.ClientMessage(
                window=self.window, client_type=self.wm_protocols,
                data=(32, [self.net_wm_ping, serial, self.wid, 0, 0])), event_mask=X.NoEventMask)
            self.d.flush()
            self.next_ping = now + PING_PERIOD
        select.select([self.d.fileno()], [], [], 0.005)
        while self.d.pending_events():
            e = self.d.next_event()
            if e.type == X.ClientMessage and e.client_type == self.wm_protocols:
                values = e.data[1]
                if values[0] == self.net_wm_ping and values[1] in self.sent:
                    self.answers.append(time.monotonic())

    def longest_gap(self, start, end):
        marks = [start] + [t for t in self.answers if start <= t <= end] + [end]
        return max(b - a for a, b in zip(marks, marks[1:]))

    def keycode(self, name):
        return self.d.keysym_to_keycode(XK.string_to_keysym(name))

    def press(self, name, shift=False, ctrl=False):
        mods = ([self.keycode("Shift_L")] if shift else []) + \
               ([self.keycode("Control_L")] if ctrl else [])
        for m in mods:
            xtest.fake_input(self.d, X.KeyPress, m)
        xtest.fake_input(self.d, X.KeyPress, self.keycode(name))
        xtest.fake_input(self.d, X.KeyRelease, self.keycode(name))
        for m in reversed(mods):
            xtest.fake_input(self.d, X.KeyRelease, m)
        self.d.sync()

    def click(self, x, y):
        """A click at window coordinates."""
        xtest.fake_input(self.d, X.MotionNotify, x=WINDOW_X + x, y=WINDOW_Y + y)
        xtest.fake_input(self.d, X.ButtonPress, 1)
        xtest.fake_input(self.d, X.ButtonRelease, 1)
        self.d.sync()

    def pixels(self, x, y, width, height):
        """The screen's pixels at window coordinates, 4 bytes each (B, G, R, pad)."""
        return bytes(self.root.get_image(WINDOW_X + x, WINDOW_Y + y, width, height,
                                         X.ZPixmap, 0xFFFFFFFF).data)
