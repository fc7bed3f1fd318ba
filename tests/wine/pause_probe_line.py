# The far end of the pause probe (scripts/wine-serial-probes --pauses): for
# each way of waiting, starts pause_probe.exe under Wine on a fresh
# pseudo-terminal linked as COM3, answers every frame with a short reply as a
# counter does, and prints the gaps between frames as the wire saw them beside
# the pauses the program measured itself. A program that never ends its first
# pause shows "frames 0".
#
#   pause_probe_line.py WINE PROBE_EXE DOSDEVICES COUNT [MODE...]
import os
import pty
import select
import statistics
import subprocess
import sys
import time
import tty

wine, exe, dosdevices, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
modes = sys.argv[5:] or ["none", "notifier", "read1", "read1+rearm", "wait"]
REPLY = b"@3A51234*\r"


def run(mode):
    master, slave = pty.openpty()
    tty.setraw(slave)
    link = os.path.join(dosdevices, "com3")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    proc = subprocess.Popen([wine, exe, mode, "COM3", str(count)], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    arrivals, buf, out = [], b"", b""
    end = time.monotonic() + 20
    while time.monotonic() < end:
        r, _, _ = select.select([master, proc.stdout], [], [], 0.5)
        if master in r:
            buf += os.read(master, 4096)
            while b"\r" in buf:
                _, buf = buf.split(b"\r", 1)
                arrivals.append(time.monotonic())
                os.write(master, REPLY)
        if proc.stdout in r:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            out += chunk
    proc.kill() if proc.poll() is None else None; proc.wait()
    os.close(master)
    os.close(slave)
    pauses = [float(l.split()[1]) for l in out.decode().splitlines() if l.startswith("pause")]
    writes = [float(l.split()[4]) for l in out.decode().splitlines() if l.startswith("pause")]
    got = [l for l in out.decode().splitlines() if l.startswith("bytes")]
    gaps = [(b - a) * 1000 for a, b in zip(arrivals, arrivals[1:])]
    fmt = lambda xs: "%.1f/%.1f/%.1f" % (min(xs), statistics.median(xs), max(xs)) if xs else "-"
    print("%-12s frames %3d  wire gap min/med/max ms %s  pause %s  write %s  %s" % (
        mode, len(arrivals), fmt(gaps), fmt(pauses), fmt(writes), got[0] if got else "no end"), flush=True)


for m in modes:
    run(m)
