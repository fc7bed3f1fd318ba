# Figures for bench/wine: kestran-ctl on a quiet line and on a paced simulator,
# on Linux and under Wine. Prints "summary:" rows as bench/run does.
#
#   wine_line.py cpu NAME SECONDS CMD...      CPU of CMD (its own process) while
#                                             it listens; @PTY@ in CMD is a fresh
#                                             quiet pseudo-terminal, @LINK@ the link to it
#   wine_line.py read NAME TRACE RUNS CMD...  runs CMD (a scan) RUNS times; from its
#                                             trace, the time device 3's read took,
#                                             against its replies' wire time
#   wine_line.py plant NAME LINES FILE CMD... writes the plant file FILE of LINES
#                                             quiet pseudo-terminals (as COM3 and on,
#                                             linked in $DOSDEVICES, when that is set)
#                                             and takes CMD's CPU from 3 s in to its end
import os
import pty
import re
import statistics
import subprocess
import sys
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from procstat import TICK, CpuShare, cpu_ticks, wineserver_pids  # noqa: E402

def cpu_row(name, proc, seconds, goal="< 1%"):
    """CPU of PROC (and of the wineserver, if one runs) over SECONDS."""
    mine, server = CpuShare(proc.pid), CpuShare(*wineserver_pids())
    while mine.seconds() < seconds and proc.poll() is None:
        time.sleep(0.25)
    if proc.poll() is not None:
        print("summary: %s | ended early | %s of a core | - | idle" % (name, goal))
        return
    share = mine.share()
    extra = " (wineserver %.2f%%)" % server.share() if server.pids else ""
    print("summary: %s | %.2f%% of a core over %.0f s%s | %s | %.2fx | idle"
          % (name, share, mine.seconds(), extra, goal, share))


def cpu(name, seconds, cmd):
    master, slave = pty.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    link = os.environ.get("LINK")
    if link:
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(path, link)
    cmd = [c.replace("@PTY@", path) for c in cmd]
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3)   # start-up is not what is measured
    cpu_row(name, proc, seconds)
    proc.kill()
    proc.wait()
    os.close(master)
    os.close(slave)


def plant(name, lines, path, cmd):
    ends = [pty.openpty() for _ in range(lines)]
    dosdevices = os.environ.get("DOSDEVICES")
    with open(path, "w") as f:
        for i, (master, slave) in enumerate(ends):
            tty.setraw(slave)
            port = os.ttyname(slave)
            if dosdevices:
                link = os.path.join(dosdevices, "com%d" % (i + 3))
                if os.path.lexists(link):
                    os.unlink(link)
                os.symlink(port, link)
                port = "COM%d" % (i + 3)
            f.write('[[line]]\nname = "line-%d"\nport = "%s"\n\n' % (i + 1, port))
    started = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3)   # start-up is not what is measured
    servers = wineserver_pids() if dosdevices else []
    server = CpuShare(*servers)
    c0 = last = cpu_ticks(proc.pid)
    t0 = t1 = time.monotonic()
    while proc.poll() is None:   # the last look before it ends counts
        last, t1 = cpu_ticks(proc.pid), time.monotonic()
        time.sleep(0.25)
    share = (last - c0) / TICK / max(t1 - t0, 1e-9) * 100
    extra = " (wineserver %.2f%%)" % server.share() if server.pids else ""
    print("summary: %s | %.2f%% of a core over %.0f s of %.0f s%s | < 1%% | %.2fx | idle"
          % (name, share, t1 - t0, time.monotonic() - started, extra, share), flush=True)
    for master, slave in ends:
        os.close(master)
        os.close(slave)


def read(name, trace, runs, cmd):
    """CMD is a scan with a trace: device 3's read is timed from its request
    to the request that follows it (the scan asks device 4 as soon as device
    3's values are all in), against its replies' wire time. (The trace joins
    the bytes of a burst into one line stamped by its first byte, so the last
    byte received has no stamp of its own.)"""
    took = []
    for _ in range(runs):
        if os.path.exists(trace):
            os.unlink(trace)
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        asked = following = None
        nbytes = 0
        for line in open(trace, errors="replace"):
            m = re.match(r"\S+  \+(\d+\.\d+)  (TX|RX)  ([0-9a-f ]+)  \|(.*)\|$", line.rstrip("\r\n"))
            if not m:
                continue
            t, direction = float(m.group(1)), m.group(2)
            if direction == "TX" and asked is not None:
                following = t
                break
            if direction == "TX" and m.group(4).startswith("*3R"):
                asked = t
            elif direction == "RX" and asked is not None:
                nbytes += len(m.group(3).split())
        if asked is not None and following is not None and nbytes:
            took.append((following - asked, nbytes))
    if not took:
        print("summary: %s | no read | - | - | <= 1.10x" % name)
        return
    t = statistics.median(x[0] for x in took) * 1000
    wire = statistics.median(x[1] for x in took) * 10 / 19200 * 1000
    print("summary: %s | %.1f ms | %.1f ms of replies on the wire | %.2fx | <= 1.10x" % (name, t, wire, t / wire))


if sys.argv[1] == "cpu":
    cpu(sys.argv[2], float(sys.argv[3]), sys.argv[4:])
elif sys.argv[1] == "plant":
    plant(sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5:])
else:
    read(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:])
