#!/usr/bin/env python3
"""What scripts/test-windows reads and waits for, in one place.

Subcommands (exit 0 when the condition holds, 1 when it does not, with the
reason on stderr):

  stamp                        copy stdin to stdout, each line led by the
                               monotonic clock's seconds
  gap LOG A B                  seconds between the first line matching A and
                               the next matching B ("none" if either is missing)
  frames LOG FROM KIND         the frames of KIND (reads: "*dR", writes:
                               "*3W:i=value") received after line FROM of LOG
  wait-log LOG FROM PATTERN N [SECONDS]
                               wait until N lines after line FROM match PATTERN
  wait-rx TRACE PATTERN N [SECONDS]
                               wait until the bytes received in a line trace
                               hold PATTERN N times
  value TRACE D I              the first value I the trace shows device D sending
  wait-free PTY PID [SECONDS]  wait until no process but PID holds the
                               pseudo-terminal PTY open
  wait-held PTY PID [SECONDS]  wait until a process other than PID holds it
  at CONTROL [DPI]             the centre of the window's control, in pixels
                               of its client area at DPI dots per inch (96)
  size [DPI]                   the window's client area, WIDTHxHEIGHT
  json-values JSON NAME=FIELD...
                               a read --json output holds these fields
  utf8 FILE [TEXT]             FILE (or stdin for "-") is UTF-8, holding TEXT
"""
import json
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LAYOUT = os.path.join(HERE, "..", "src", "ui", "form1_layout.cpp")
TWIPS_PER_PIXEL = 15          # at 96 dots per inch
CHECK_BOX_CENTRE = 150        # the box of a check box, from its left edge


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


def poll(condition, seconds, what):
    """Calls condition() every 50 ms until it is true or SECONDS have passed."""
    deadline = time.monotonic() + float(seconds)
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() >= deadline:
            fail("waited %s s for %s" % (seconds, what))
        time.sleep(0.05)


def lines_after(log, start):
    try:
        with open(log, errors="replace") as f:
            return f.readlines()[int(start):]
    except FileNotFoundError:
        return []


def stamp():
    for line in sys.stdin:
        sys.stdout.write("%.4f %s" % (time.monotonic(), line))
        sys.stdout.flush()


def gap(log, a, b):
    ta = tb = None
    for line in lines_after(log, 0):
        t, _, text = line.partition(" ")
        if ta is None and re.search(a, text):
            ta = float(t)
        elif ta is not None and re.search(b, text):
            tb = float(t)
            break
    print("%.3f" % (tb - ta) if tb is not None else "none")


FRAME_KINDS = {"reads": r"<- (\*[0-9]R)", "writes": r"<- (\*3W:.=[-+0-9]*)"}


def frames(log, start, kind):
    found = [m.group(1) for line in lines_after(log, start)
             for m in [re.search(FRAME_KINDS[kind], line)] if m]
    print(" ".join(found))


def wait_log(log, start, pattern, count, seconds="20"):
    def enough():
        return sum(1 for line in lines_after(log, start) if re.search(pattern, line)) >= int(count)
    poll(enough, seconds, "%s x%s in %s" % (pattern, count, os.path.basename(log)))


def received(trace):
    """The ASCII column of the RX lines of a line trace, joined."""
    return "".join(m.group(1) for line in lines_after(trace, 0)
                   for m in [re.search(r"  RX  .*\|(.*)\|$", line.rstrip("\r\n"))] if m)


def wait_rx(trace, pattern, count, seconds="20"):
    poll(lambda: len(re.findall(pattern, received(trace))) >= int(count), seconds,
         "%s x%s received in the trace" % (pattern, count))


def value(trace, device, index):
    """The first value of INDEX the trace shows DEVICE sending."""
    m = re.search(r"\*%sC:%s=([-+][0-9]{7})\." % (device, index), received(trace))
    print(m.group(1) if m else "none")


def holders(pty):
    target = os.path.realpath(pty)
    pids = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            for fd in os.listdir("/proc/%s/fd" % pid):
                if os.path.realpath("/proc/%s/fd/%s" % (pid, fd)) == target:
                    pids.add(int(pid))
        except OSError:
            continue
    return pids


def wait_free(pty, pid, seconds="10"):
    poll(lambda: not (holders(pty) - {int(pid)}), seconds, "%s to be closed" % pty)


def wait_held(pty, pid, seconds="10"):
    poll(lambda: holders(pty) - {int(pid)}, seconds, "%s to be opened" % pty)


def layout():
    """Each control's rectangle in twips of the window, from the layout source."""
    text = open(LAYOUT).read()
    rects = {"this": (0, 0, 0, 0)}
    statement = re.compile(
        r"(\w+)\s*=\s*(\w+)\((?:new \w+\()?(\w+)\)?,\s*\"(\w+)\".*?"
        r"twips\((\d+),\s*(\d+),\s*(\d+),\s*(\d+)\)", re.S)
    for m in statement.finditer(text):
        kind, parent, name = m.group(2, 3, 4)
        left, top, width, height = map(int, m.group(5, 6, 7, 8))
        px, py = rects[parent][:2]
        if kind == "checkBox":
            # A check box takes clicks on its box and caption only: aim at the box.
            width = 2 * CHECK_BOX_CENTRE
        rects[name] = (px + left, py + top, width, height)
    size = re.search(r"setFixedSize\((\d+) / 15, (\d+) / 15\)", text)
    return rects, (int(size.group(1)), int(size.group(2)))


def scale(twips, dpi):
    """Twips to the window's pixels: whole pixels at 96 dpi, scaled as Qt does."""
    return int(twips // TWIPS_PER_PIXEL * int(dpi) / 96 + 0.5)


def position(control, dpi="96"):
    """The centre of CONTROL in pixels of the client area at DPI."""
    rects, _ = layout()
    if control not in rects:
        fail("no control %s in the layout" % control)
    left, top, width, height = rects[control]
    return scale(left + width // 2, dpi), scale(top + height // 2, dpi)


def at(control, dpi="96"):
    print(*position(control, dpi))


def size(dpi="96"):
    _, (width, height) = layout()
    print("%dx%d" % (scale(width, dpi), scale(height, dpi)))


def json_values(text, *wanted):
    values = {v["name"]: v["field"] for v in json.loads(text)["values"]}
    for pair in wanted:
        name, _, field = pair.partition("=")
        if values.get(name) != field:
            fail("%s is %s, expected %s" % (name, values.get(name), field))


def utf8(path, text=None):
    data = sys.stdin.buffer.read() if path == "-" else open(path, "rb").read()
    try:
        decoded = data.decode("utf-8")
    except UnicodeDecodeError as e:
        fail("not UTF-8: %s" % e)
    if text is not None and text not in decoded:
        fail("%r not in %r" % (text, decoded[:200]))


COMMANDS = {"stamp": stamp, "gap": gap, "frames": frames, "wait-log": wait_log,
            "wait-rx": wait_rx, "value": value, "wait-free": wait_free, "wait-held": wait_held, "at": at, "size": size,
            "json-values": json_values, "utf8": utf8}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        fail(__doc__)
    COMMANDS[sys.argv[1]](*sys.argv[2:])
