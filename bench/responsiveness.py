#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Drives the real program on a slow input and prints how alive its window is.

Usage (under a private X server): responsiveness.py PROGRAM SOURCE_DIR INPUT
Types a key and INPUT, presses keypad Enter, and meanwhile sends the window a
_NET_WM_PING every 20 ms (the toolkit answers it only when it handles events).
Prints the longest gap between answered pings from Crypt to Cancel, the time
from Crypt to the progress bar showing on screen, and from a Cancel click
mid-run to the program's exit.
"""
import os
import select
import subprocess
import sys
import time

from Xlib import X, XK, display, error, protocol
from Xlib.ext import xtest

program, source, path = sys.argv[1:4]
key = "abcdefghijkA1!"
WINDOW_X, WINDOW_Y = 100, 100        # where the program puts its window
BAR = (250, 468)                      # inside the progress bar's area
CANCEL = (120, 509)
# Cancel from 45 % of the expected read time on, between two of the 10 % marks.
CANCEL_AFTER = float(os.environ.get("TVX_CANCEL_AFTER", "6.75"))

app = subprocess.Popen([program], cwd=source, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def fail(message):
    print("responsiveness: " + message, file=sys.stderr)
    if app.poll() is None:
        app.kill()
    sys.exit(1)


wid = None
for _ in range(1500):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(app.pid)],
                           capture_output=True, text=True).stdout.split()
    if found:
        wid = int(found[0])
        break
    if app.poll() is not None:
        fail("the program ended before showing its window")
    time.sleep(0.02)
if wid is None:
    fail("no window appeared")
time.sleep(0.5)

d = display.Display()
d.set_error_handler(lambda *args: None)  # pings to a window that is gone
root = d.screen().root
root.change_attributes(event_mask=X.SubstructureNotifyMask)
window = d.create_resource_object("window", wid)
wm_protocols = d.intern_atom("WM_PROTOCOLS")
net_wm_ping = d.intern_atom("_NET_WM_PING")


def pixel():
    image = root.get_image(WINDOW_X + BAR[0], WINDOW_Y + BAR[1], 1, 1, X.ZPixmap, 0xFFFFFFFF)
    return bytes(image.data)


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True)


def click(x, y):
    xtest.fake_input(d, X.MotionNotify, x=WINDOW_X + x, y=WINDOW_Y + y)
    xtest.fake_input(d, X.ButtonPress, 1)
    xtest.fake_input(d, X.ButtonRelease, 1)
    d.sync()


xdotool("mousemove", "--window", str(wid), "250", "91", "click", "1")
xdotool("type", "--delay", "2", key)
xdotool("mousemove", "--window", str(wid), "250", "355", "click", "1")
xdotool("type", "--delay", "2", path)
time.sleep(0.3)
hidden_bar = pixel()

enter = d.keysym_to_keycode(XK.string_to_keysym("KP_Enter"))
xtest.fake_input(d, X.KeyPress, enter)
xtest.fake_input(d, X.KeyRelease, enter)
d.sync()
crypt_at = time.monotonic()

sent = {}
answers = []
bar_at = cancel_at = exit_at = None
serial = 0
next_ping = crypt_at
while True:
    now = time.monotonic()
    if exit_at is None and app.poll() is not None:
        exit_at = now
        break
    if now >= next_ping:
        serial += 1
        sent[serial] = now
        event = protocol.event.ClientMessage(window=window, client_type=wm_protocols,
                                             data=(32, [net_wm_ping, serial, wid, 0, 0]))
        window.send_event(event, event_mask=X.NoEventMask)
        d.flush()
        next_ping = now + 0.02
    if bar_at is None and cancel_at is None and pixel() != hidden_bar:
        bar_at = now
    # Cancel just after the window handled events (the worst moment for a
    # build that handles them only now and then), or a second later at most.
    since_answer = now - answers[-1] if answers else 0
    if cancel_at is None and now - crypt_at >= CANCEL_AFTER and (
            0.05 <= since_answer <= 0.15 or now - crypt_at >= CANCEL_AFTER + 1):
        if os.environ.get("TVX_DEBUG"):
            folder = os.path.dirname(path)
            print("written at Cancel:", {n: os.path.getsize(os.path.join(folder, n))
                                         for n in os.listdir(folder) if n.startswith(".tvx")})
        if os.environ.get("TVX_SNAPSHOT"):
            subprocess.run(["import", "-window", "root", os.environ["TVX_SNAPSHOT"]])
        click(*CANCEL)
        cancel_at = time.monotonic()
    if now - crypt_at > 120:
        fail("the program did not end within 120 s")
    readable, _, _ = select.select([d.fileno()], [], [], 0.005)
    while d.pending_events():
        e = d.next_event()
        if e.type == X.ClientMessage and e.client_type == wm_protocols:
            values = e.data[1]
            if values[0] == net_wm_ping and values[1] in sent:
                answers.append(time.monotonic())

if cancel_at is None:
    fail("the run ended before Cancel was clicked; use a larger input or TVX_CANCEL_AFTER")
during = [t for t in answers if t <= cancel_at]
marks = [crypt_at] + during + [cancel_at]
gap = max(b - a for a, b in zip(marks, marks[1:]))
leftovers = sorted(set(os.listdir(os.path.dirname(path))) - {os.path.basename(path), "lost+found"})

if os.environ.get("TVX_DEBUG"):
    print("gaps over 100 ms (at s after Crypt):", ["%.2f:%.0f" % (a - crypt_at, (b - a) * 1000)
          for a, b in zip(marks, marks[1:]) if b - a > 0.1], "cancel at %.2f" % (cancel_at - crypt_at))
print("pings answered during the run: %d of %d" % (len(during), sum(1 for t in sent.values() if t <= cancel_at)))
print("longest gap between answered pings, Crypt to Cancel: %.0f ms" % (gap * 1000))
print("Crypt to progress bar on screen: %s" %
      ("%.0f ms" % ((bar_at - crypt_at) * 1000) if bar_at else "never shown"))
print("Cancel click to program exit: %.0f ms (exit status %d; clicked %.0f ms after an answered ping)" %
      ((exit_at - cancel_at) * 1000, app.returncode, (cancel_at - during[-1]) * 1000 if during else -1))
print("files left beside the input: %s" % (", ".join(leftovers) if leftovers else "none"))
sys.exit(1 if leftovers else 0)
