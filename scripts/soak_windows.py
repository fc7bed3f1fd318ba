# The far end of scripts/soak-windows: kestran-ctl.exe monitor under Wine on a
# pseudo-terminal linked as COM3, for SECONDS in all. Each session opens the
# port, gets random bursts of counter replies and noise with quiet periods of
# 0 to 5 s between them, and ends with the far end vanishing; the next session
# opens the port again on a new pseudo-terminal.
#
# Checked: every reply sent is printed once, in order; every vanishing is
# reported once (exit 5, one "lost" line); Windows' own handle and memory
# counters of the process (proc_stats.exe) do not grow within a session nor
# from the first session to the last; CPU between bursts.
#
#   soak_windows.py WINE CTL_EXE PROC_STATS_EXE DOSDEVICES SECONDS
# Exit 0 when all held, 1 when something did not.
import json
import os
import pty
import random
import select
import subprocess
import sys
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from procstat import TICK, cpu_ticks, unix_side  # noqa: E402

wine, ctl, stats_exe, dosdevices, seconds = sys.argv[1:6]
seconds = float(seconds)
rng = random.Random(int(os.environ.get("SOAK_SEED", "21")))
NOISE = bytes(b for b in range(256) if b not in b"*@\r\n")


def stats(pid):
    out = subprocess.run([wine, stats_exe, "kestran-ctl.exe"], capture_output=True, text=True, timeout=60).stdout
    parts = out.split()
    if len(parts) < 6 or parts[0] != "handles":
        return None
    fds, rss = unix_side(pid)
    return {"handles": int(parts[1]), "ws_kb": int(parts[3]), "private_kb": int(parts[5]), "fds": fds, "rss_kb": rss}


class Session:
    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        link = os.path.join(dosdevices, "com3")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(self.slave), link)
        self.proc = subprocess.Popen([wine, ctl, "monitor", "--port", "COM3", "--json"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = b""
        self.err = b""

    def pump(self, wait):
        fds = [self.proc.stdout, self.proc.stderr] + ([self.master] if self.master is not None else [])
        r, _, _ = select.select(fds, [], [], wait)
        for f in r:
            if f is self.master:
                try:
                    os.read(self.master, 4096)   # nothing is expected back; keep the line empty
                except OSError:
                    pass
                continue
            chunk = os.read(f.fileno(), 65536)
            if not chunk:
                time.sleep(0.05)   # end of file: the process is ending
            if f is self.proc.stdout:
                self.out += chunk
            else:
                self.err += chunk

    def replies(self):
        values = []
        for line in self.out.decode("utf-8", "replace").splitlines():
            try:
                o = json.loads(line)
            except ValueError:
                continue
            if o.get("kind") == "reply":
                values.append(o.get("value"))
        return values

    def wait_until(self, cond, timeout):
        end = time.monotonic() + timeout
        while not cond() and time.monotonic() < end and self.proc.poll() is None:
            self.pump(0.1)
        return cond()


def frame(seq):
    return b"*3C:0=+%07d\r" % (seq % 10000000)


start = time.monotonic()
seq = 0
sent = received = sessions = losses = lost_reports = 0
problems = []
first_stats = last_stats = None
quiet_cpu = []   # per cent of a core during quiet periods of 1 s or more
growth = []      # handles at the end of a session minus at its start
while time.monotonic() - start < seconds:
    s = Session()
    sessions += 1
    # The port is open once a first reply comes through.
    seq += 1
    probe = seq
    sent += 1
    ok = False
    for _ in range(40):
        os.write(s.master, frame(probe))
        if s.wait_until(lambda: ("+%07d" % probe) in s.replies(), 0.5):
            ok = True
            break
    if not ok:
        problems.append("session %d: monitor never heard the line" % sessions)
        s.proc.kill()
        s.proc.wait()
        break
    # The first reply may have been sent more than once before the port opened.
    expect = ["+%07d" % probe]
    base = len([v for v in s.replies() if v == expect[0]])
    expect = expect * base
    st0 = stats(s.proc.pid)
    if first_stats is None:
        first_stats = st0
    # Sessions of 1 to 6 s: the port is opened and closed hundreds of times in half an hour.
    end = time.monotonic() + rng.uniform(1, 6)
    while time.monotonic() < min(end, start + seconds):
        for _ in range(rng.randint(1, 30)):
            if rng.random() < 0.2:
                os.write(s.master, bytes(rng.choice(NOISE) for _ in range(rng.randint(1, 8))))
            seq += 1
            sent += 1
            os.write(s.master, frame(seq))
            expect.append("+%07d" % seq)
        quiet = rng.uniform(0, 5)
        c0, t0 = cpu_ticks(s.proc.pid), time.monotonic()
        while time.monotonic() - t0 < quiet:
            s.pump(quiet - (time.monotonic() - t0))
        if quiet >= 1:
            # The first 0.2 s still carry the burst's printing.
            quiet_cpu.append((cpu_ticks(s.proc.pid) - c0) / TICK / (time.monotonic() - t0) * 100)
    s.wait_until(lambda: len(s.replies()) >= len(expect), 5)
    st1 = stats(s.proc.pid)
    last_stats = st1 or last_stats
    if st0 and st1:
        growth.append((st1["handles"] - st0["handles"], st1["fds"] - st0["fds"]))
    # The far end vanishes.
    os.close(s.slave)
    os.close(s.master)
    s.master = None
    t0 = time.monotonic()
    losses += 1
    try:
        while s.proc.poll() is None:
            s.pump(0.1)
            if time.monotonic() - t0 > 60:
                raise TimeoutError
        while True:
            r, _, _ = select.select([s.proc.stdout, s.proc.stderr], [], [], 0.5)
            if not r:
                break
            n = 0
            for f in r:
                chunk = os.read(f.fileno(), 65536)
                n += len(chunk)
                if f is s.proc.stdout:
                    s.out += chunk
                else:
                    s.err += chunk
            if n == 0:
                break
    except TimeoutError:
        problems.append("session %d: the far end vanished and monitor did not end" % sessions)
        s.proc.kill()
        s.proc.wait()
    got = s.replies()
    received += min(len(got), len(expect))
    if got != expect:
        missing = len([v for v in expect if v not in got])
        problems.append("session %d: %d replies sent, %d printed, %d missing" % (sessions, len(expect), len(got), missing))
    said = s.err.decode("utf-8", "replace").count("the line was lost")
    lost_reports += said
    if s.proc.returncode != 5 or said != 1:
        problems.append("session %d: far end gone: exit %s, said %d times" % (sessions, s.proc.returncode, said))
    # Counted as received only what came in order; sent counts the retried first reply once.
    sent += max(0, base - 1)

elapsed = time.monotonic() - start
fmt = lambda st: ("handles %d, working set %d KiB, private %d KiB (Windows); fds %d, RSS %d KiB (Linux)"
                 % (st["handles"], st["ws_kb"], st["private_kb"], st["fds"], st["rss_kb"])) if st else "?"
quiet_cpu.sort()
print("soak: %.0f s, %d sessions (port opened and closed %d times), far end vanished %d times"
      % (elapsed, sessions, sessions, losses))
print("soak: replies sent %d, received %d; losses reported %d (once each: %s)"
      % (sent, received, lost_reports, "yes" if lost_reports == losses else "no"))
print("soak: first session start: %s; last session end: %s" % (fmt(first_stats), fmt(last_stats)))
if growth:
    print("soak: within a session, end minus start: handles %d..%d, fds %d..%d"
          % (min(g[0] for g in growth), max(g[0] for g in growth), min(g[1] for g in growth), max(g[1] for g in growth)))
if quiet_cpu:
    print("soak: CPU of kestran-ctl.exe between bursts (quiet >= 1 s, %d periods): median %.2f %%, max %.2f %% of a core"
          % (len(quiet_cpu), quiet_cpu[len(quiet_cpu) // 2], quiet_cpu[-1]))
if first_stats and last_stats and last_stats["handles"] > first_stats["handles"] + 5:
    problems.append("handles grew from %d to %d" % (first_stats["handles"], last_stats["handles"]))
if growth and max(max(g) for g in growth) > 5:
    problems.append("handles or fds grew by %d within a session" % max(max(g) for g in growth))
if quiet_cpu and quiet_cpu[len(quiet_cpu) // 2] >= 1.0:
    problems.append("CPU between bursts %.2f %% of a core" % quiet_cpu[len(quiet_cpu) // 2])
for p in problems[:20]:
    print("soak: FAIL: " + p)
sys.exit(1 if problems else 0)
