#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program with a folder of many files as its argument.

Usage (under a private X server): folders.py PROGRAM SOURCE_DIR FOLDER FILES
Sends the window a _NET_WM_PING every 20 ms throughout (the toolkit answers
only while it handles events) and presses keypad Enter every 50 ms with no
key typed: that is ignored while the folder is being listed and shows the
key-length message once the list is filled. Then scrolls the list, types a
key and runs over all the files. Prints the times and the longest gaps
between answered pings.
"""
import os
import subprocess
import sys
import time

from pinged import PingedProgram

program, source, folder, files = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
run_too = os.environ.get("TVX_FOLDER_RUN", "1") != "0"
key = "abcdefghijkA1!"
MESSAGE = (10, 522, 480, 20)  # the message line, in window coordinates

started = time.monotonic()
p = PingedProgram("bench-folders", [program, folder], source)
app, shown, answers = p.app, p.shown, p.answers
press, click, fail, longest_gap = p.press, p.click, p.fail, p.longest_gap


def message_shown():
    data = p.pixels(*MESSAGE)
    return sum(1 for i in range(0, len(data), 4) if data[i + 2] > 150 and data[i + 1] < 80) > 10


def pump(seconds=0.0, until=None, limit=600):
    """Pings and reads answers for the given time, or until until() holds."""
    start = time.monotonic()
    while True:
        now = time.monotonic()
        if until is not None and until():
            return now
        if until is None and now - start >= seconds:
            return now
        if now - start > limit:
            fail("gave up waiting after %d s" % limit)
        p.ping()


def pings(start, end):
    asked = sum(1 for t in p.sent.values() if start <= t <= end - 0.25)
    got = sum(1 for t in answers if start <= t <= end)
    return "%d of %d" % (min(got, asked), asked)


# The list fills: keypad Enter every 50 ms over the (empty) key entry.
click(250, 91)
last_enter = [0.0]


def filled():
    now = time.monotonic()
    if now - last_enter[0] >= 0.05:
        if message_shown():
            return True
        press("KP_Enter")
        last_enter[0] = now
    return False


filled_at = pump(until=filled)
if os.environ.get("TVX_DEBUG"):
    marks = [shown] + [t for t in answers if t <= filled_at] + [filled_at]
    print("gaps over 100 ms while listing (at s after the window showed):",
          ["%.2f:%.0f" % (a - shown, (b - a) * 1000) for a, b in zip(marks, marks[1:]) if b - a > 0.1])
print("%d files in nested folders, given as an argument:" % files)
print("  window shown %.0f ms after the start; list filled %.2f s after the window showed"
      % ((shown - started) * 1000, filled_at - shown))
print("  while listing: pings answered %s, longest gap %.0f ms"
      % (pings(shown, filled_at), longest_gap(shown, filled_at) * 1000))

# Scrolling: to the end, ten pages up, to the start.
t0 = pump(0.2)
click(250, 355)
for name, ctrl in [("End", True)] + [("Page_Up", False)] * 10 + [("Home", True)]:
    press(name, ctrl=ctrl)
    pump(0.1)
t1 = pump(0.3)
print("  scrolling (Ctrl+End, 10 x Page Up, Ctrl+Home): longest gap %.0f ms" % (longest_gap(t0, t1) * 1000))

# Typing the key.
click(250, 91)
typing = subprocess.Popen(["xdotool", "type", "--delay", "20", key])
pump(until=lambda: typing.poll() is not None)
t2 = pump(0.3)
print("  typing the key: longest gap %.0f ms" % (longest_gap(t1, t2) * 1000))

if run_too:
    press("KP_Enter")
    t3 = time.monotonic()
    ended = pump(until=lambda: app.poll() is not None, limit=1800)
    done = sum(len([n for n in names if n.endswith("tenvarixcrypto")])
               for _, _, names in os.walk(folder))
    print("  the run over them: %.1f s to the exit (status %d), %d partner files, "
          "longest gap %.0f ms" % (ended - t3, app.returncode, done, longest_gap(t3, ended) * 1000))
    if done != files:
        fail("the run wrote %d partner files, not %d" % (done, files))
else:
    app.terminate()
    app.wait()
