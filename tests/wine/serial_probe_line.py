# The far end of scripts/wine-serial-probes: for each way of waiting, starts
# serial_probe.exe under Wine on a fresh pseudo-terminal linked as COM3, takes
# the CPU of the probe's process and of wineserver while the line is quiet,
# then sends bursts and times how long each takes to come back.
#
#   serial_probe_line.py WINE PROBE_EXE DOSDEVICES QUIET_SECONDS
# Prints one line per case.
import os
import pty
import statistics
import subprocess
import sys
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from procstat import TICK, cpu_ticks, wineserver_pids  # noqa: E402

wine, exe, dosdevices, quiet = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])

CASES = [
    ("WaitCommEvent(EV_RXCHAR)", ["wait"]),
    ("ReadFile 64 B, M/M/1000", ["read", "M", "M", "1000", "64"]),
    ("ReadFile 1 B, M/M/1000", ["read", "M", "M", "1000", "1"]),
    ("ReadFile 1 B, 0/0/0", ["read", "0", "0", "0", "1"]),
    ("ReadFile 64 B, M/0/0 (returns at once)", ["read", "M", "0", "0", "64"]),
]


def read_echo(master, want, timeout):
    got = b""
    end = time.monotonic() + timeout
    while len(got) < want and time.monotonic() < end:
        import select
        r, _, _ = select.select([master], [], [], max(0.0, end - time.monotonic()))
        if r:
            try:
                got += os.read(master, 4096)
            except OSError:
                break
    return got


def run(name, args):
    master, slave = pty.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    link = os.path.join(dosdevices, "com3")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(path, link)
    seconds = int(quiet + 12)
    proc = subprocess.Popen([wine, exe, args[0], "COM3", str(seconds)] + args[1:],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()
    if "ready" not in line:
        print("%-40s did not start: %s" % (name, line.strip()))
        proc.kill()
        return
    time.sleep(0.5)
    servers = wineserver_pids()
    c0 = cpu_ticks(proc.pid)
    s0 = sum(cpu_ticks(p) for p in servers)
    t0 = time.monotonic()
    # The line quiet: poll the clock, nothing else.
    while time.monotonic() - t0 < quiet:
        time.sleep(0.25)
    wall = time.monotonic() - t0
    cpu = (cpu_ticks(proc.pid) - c0) / TICK / wall * 100
    srv = (sum(cpu_ticks(p) for p in servers) - s0) / TICK / wall * 100
    # One byte, then a 15-byte frame, ten times each, 300 ms apart.
    lat1, lat15 = [], []
    for i in range(10):
        for frame, out in ((b"x", lat1), (b"*3C:0=+0001234\r", lat15)):
            time.sleep(0.3)
            t = time.monotonic()
            os.write(master, frame)
            back = read_echo(master, len(frame), 3.0)
            out.append((time.monotonic() - t) * 1000 if back == frame else float("inf"))
    # The far end vanishes: how long until the probe's wait fails, if it does.
    os.close(slave)
    t = time.monotonic()
    os.close(master)
    summary, vanish = [], "not seen"
    for out in proc.stdout:
        summary.append(out.strip())
        if out.startswith("error") and vanish == "not seen":
            vanish = "%s after %.0f ms" % (out.strip(), (time.monotonic() - t) * 1000)
    proc.wait(timeout=30)

    def ms(v):
        m = statistics.median(v)
        return "lost" if m == float("inf") else "%.1f ms" % m
    print("%-40s quiet: probe %.1f%%, wineserver %.1f%% of a core; echo median 1 B %s, 15 B %s (max %s); far end gone: %s; %s"
          % (name, cpu, srv, ms(lat1), ms(lat15), ms([max(lat15)]), vanish, " | ".join(summary) if summary else "?"),
          flush=True)


only = os.environ.get("PROBE_CASES")
for i, (name, args) in enumerate(CASES):
    if only is None or str(i) in only.split(","):
        run(name, args)
