# Figures for bench/wine: kestran-ctl on a quiet line and on a paced simulator,
# on Linux and under Wine. Prints "summary:" rows as bench/run does.
#
#   wine_line.py cpu NAME SECONDS CMD...      CPU of CMD (its own process) while
#                                             it listens; @PTY@ in CMD is a fresh
#                                             quiet pseudo-terminal, @LINK@ the link to it
#   wine_line.py read NAME TRACE RUNS CMD...  runs CMD RUNS times; from its trace,
#                                             the time from the first byte sent to
#                                             the last received, against the wire time
import os
import pty
import re
import statistics
import subprocess
import sys
import time
import tty

TICK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except OSError:
        return None


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
    c0, t0 = cpu_ticks(proc.pid), time.monotonic()
    while time.monotonic() - t0 < seconds and proc.poll() is None:
        time.sleep(0.25)
    c1, wall = cpu_ticks(proc.pid), time.monotonic() - t0
    proc.kill()
    proc.wait()
    os.close(master)
    os.close(slave)
    if c0 is None or c1 is None:
        print("summary: %s | ended early | < 1%% of a core | - | idle" % name)
        return
    share = (c1 - c0) / TICK / wall * 100
    print("summary: %s | %.2f%% of a core over %.0f s | < 1%% | %.2fx | idle" % (name, share, wall, share))


def read(name, trace, runs, cmd):
    took = []
    for _ in range(runs):
        if os.path.exists(trace):
            os.unlink(trace)
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        sent = received = None
        nbytes = 0
        for line in open(trace, errors="replace"):
            m = re.match(r"\S+  \+(\d+\.\d+)  (TX|RX)  ([0-9a-f ]+)  \|", line)
            if not m:
                continue
            t = float(m.group(1))
            nbytes += len(m.group(3).split())
            if m.group(2) == "TX" and sent is None:
                sent = t
            if m.group(2) == "RX":
                received = t
        if sent is not None and received is not None:
            took.append((received - sent, nbytes))
    if not took:
        print("summary: %s | no read | - | - | <= 1.10x" % name)
        return
    t = statistics.median(x[0] for x in took) * 1000
    wire = statistics.median(x[1] for x in took) * 10 / 19200 * 1000
    print("summary: %s | %.1f ms | %.1f ms on the wire | %.2fx | <= 1.10x" % (name, t, wire, t / wire))


if sys.argv[1] == "cpu":
    cpu(sys.argv[2], float(sys.argv[3]), sys.argv[4:])
else:
    read(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:])
