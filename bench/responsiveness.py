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
import subprocess
import sys
import time

from pinged import PingedProgram

program, source, path = sys.argv[1:4]
key = "abcdefghijkA1!"
BAR = (250, 468)                      # inside the progress bar's area
CANCEL = (120, 509)
# Cancel from 45 % of the expected read time on, between two of the 10 % marks.
CANCEL_AFTER = float(os.environ.get("TVX_CANCEL_AFTER", "6.75"))

p = PingedProgram("responsiveness", [program], source)
app, wid = p.app, p.wid
time.sleep(0.5)


def pixel():
    return p.pixels(*BAR, 1, 1)


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True)


xdotool("mousemove", "--window", str(wid), "250", "91", "click", "1")
xdotool("type", "--delay", "2", key)
xdotool("mousemove", "--window", str(wid), "250", "355", "click", "1")
xdotool("type", "--delay", "2", path)
time.sleep(0.3)
hidden_bar = pixel()

p.press("KP_Enter")
crypt_at = time.monotonic()

bar_at = cancel_at = exit_at = None
p.next_ping = crypt_at
while True:
    now = time.monotonic()
    if exit_at is None and app.poll() is not None:
        exit_at = now
        break
    if bar_at is None and cancel_at is None and pixel() != hidden_bar:
        bar_at = now
    # Cancel just after the window handled events (the worst moment for a
    # build that handles them only now and then), or a second later at most.
    since_answer = now - p.answers[-1] if p.answers else 0
    if cancel_at is None and now - crypt_at >= CANCEL_AFTER and (
            0.05 <= since_answer <= 0.15 or now - crypt_at >= CANCEL_AFTER + 1):
        if os.environ.get("TVX_DEBUG"):
            folder = os.path.dirname(path)
            print("written at Cancel:", {n: os.path.getsize(os.path.join(folder, n))
                                         for n in os.listdir(folder) if n.startswith(".tvx")})
        if os.environ.get("TVX_SNAPSHOT"):
            subprocess.run(["import", "-window", "root", os.environ["TVX_SNAPSHOT"]])
        p.click(*CANCEL)
        cancel_at = time.monotonic()
    if now - crypt_at > 120:
        p.fail("the program did not end within 120 s")
    p.ping()

if cancel_at is None:
    p.fail("the run ended before Cancel was clicked; use a larger input or TVX_CANCEL_AFTER")
during = [t for t in p.answers if t <= cancel_at]
marks = [crypt_at] + during + [cancel_at]
gap = max(b - a for a, b in zip(marks, marks[1:]))
leftovers = sorted(set(os.listdir(os.path.dirname(path))) - {os.path.basename(path), "lost+found"})

if os.environ.get("TVX_DEBUG"):
    print("gaps over 100 ms (at s after Crypt):", ["%.2f:%.0f" % (a - crypt_at, (b - a) * 1000)
          for a, b in zip(marks, marks[1:]) if b - a > 0.1], "cancel at %.2f" % (cancel_at - crypt_at))
print("pings answered during the run: %d of %d" % (len(during), sum(1 for t in p.sent.values() if t <= cancel_at)))
print("longest gap between answered pings, Crypt to Cancel: %.0f ms" % (gap * 1000))
print("Crypt to progress bar on screen: %s" %
      ("%.0f ms" % ((bar_at - crypt_at) * 1000) if bar_at else "never shown"))
print("Cancel click to program exit: %.0f ms (exit status %d; clicked %.0f ms after an answered ping)" %
      ((exit_at - cancel_at) * 1000, app.returncode, (cancel_at - during[-1]) * 1000 if during else -1))
print("files left beside the input: %s" % (", ".join(leftovers) if leftovers else "none"))
sys.exit(1 if leftovers else 0)
