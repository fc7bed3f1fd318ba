# Figures for bench/wine: the window, driven by keys and clicks on an X
# display (Xvfb) as a technician's would be, on Linux and under Wine.
# Prints "summary:" rows as bench/run does.
#
#   wine_window.py cpu NAME TRACE PORT SECONDS CMD...
#       starts the window (CMD, with --trace TRACE among its arguments), opens
#       PORT (which reads device 0), takes its CPU while the line stays quiet
#       for SECONDS, then clicks Setup and takes its CPU until the read-back
#       has come in, SETUPS times over
#   wine_window.py close NAME TITLE RUNS CLOSER... -- CMD...
#       RUNS times: starts CMD, waits for its window named TITLE, lets it idle
#       a second, and runs CLOSER TITLE (bench/close_probe.cpp), which
#       posts the window the close message a window manager sends and says how
#       long its process took to end
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
from procstat import CpuShare, wineserver_pids  # noqa: E402
import windows_stage as stage  # noqa: E402

REPLY = r"\*0C:7=[-+][0-9]{7}\."   # the last frame of device 0's whole reply
SETUPS = 5                          # one after the other: CPU ticks are 10 ms


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.strip()


def window_of(title, proc, seconds=30):
    def found():
        if proc.poll() is not None:
            stage.fail("the program ended before its window showed")
        return xdotool("search", "--name", "^%s$" % title).split("\n")[0]
    return stage.poll(found, seconds, "the window %r" % title)


def focus(wid):
    def focused():
        xdotool("windowfocus", wid)
        return xdotool("getwindowfocus") == wid
    stage.poll(focused, 10, "the window to take the focus")


def replies(trace):
    return len(re.findall(REPLY, stage.received(trace)))


def cpu(name, trace, port, seconds, cmd):
    wine = os.path.basename(cmd[0]).startswith("wine")
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wid = window_of("KESTRAN SETUP", proc)
        focus(wid)
        xdotool("type", "--delay", "60", port)
        xdotool("key", "--delay", "60", "Tab", "space")   # Open: reads device 0
        stage.poll(lambda: replies(trace) >= 1, 30, "device 0's reply after Open")
        time.sleep(1)
        servers = wineserver_pids() if wine else []
        mine, server = CpuShare(proc.pid), CpuShare(*servers)
        while mine.seconds() < seconds and proc.poll() is None:
            time.sleep(0.25)
        row(name + ", port open, line quiet", mine, server, "< 1%")
        x, y = stage.position("bSETUP")
        mine, server = CpuShare(proc.pid), CpuShare(*servers)
        for n in range(SETUPS):
            xdotool("mousemove", "--window", wid, str(x), str(y), "click", "1")
            stage.poll(lambda: replies(trace) >= 2 + n, 30, "the read-back after Setup")
            time.sleep(0.3)   # the button is enabled again once the read-back is handled
        row(name + ", during %d Setups" % SETUPS, mine, server, "a few times Linux")
    finally:
        proc.kill()
        proc.wait()


def row(name, mine, server, goal):
    share = mine.share()
    extra = " (wineserver %.2f%%)" % server.share() if server.pids else ""
    print("summary: %s | %.2f%% of a core over %.1f s%s | %s | %.2fx | idle"
          % (name, share, mine.seconds(), extra, goal, share), flush=True)


def close(name, title, runs, closer, cmd):
    exited, gone = [], []
    for _ in range(runs):
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window_of(title, proc)
        time.sleep(1)
        out = subprocess.run(closer + [title], capture_output=True, text=True, timeout=60).stdout
        m = re.search(r"gone_ms ([0-9.]+) exited_ms ([0-9.]+)", out)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            m = None
        if m:
            gone.append(float(m.group(1)))
            exited.append(float(m.group(2)))
    if not exited:
        print("summary: %s | did not close | - | - | a bare Qt window's" % name)
        return
    print("summary: %s | %.0f ms (%s; the window gone after %.0f ms) | - | - | a bare Qt window's"
          % (name, statistics.median(exited), ", ".join("%.0f" % e for e in exited), statistics.median(gone)),
          flush=True)


if sys.argv[1] == "cpu":
    cpu(sys.argv[2], sys.argv[3], sys.argv[4], float(sys.argv[5]), sys.argv[6:])
else:
    split = sys.argv.index("--")
    close(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:split], sys.argv[split + 1:])
