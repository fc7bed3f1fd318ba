"""What Linux shows of a process, for the Wine probes, bench rows and soak:
CPU ticks, the wineserver beside it, its descriptors and resident memory."""
import os
import time

TICK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    """User and system ticks of PID so far; 0 once it has gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except OSError:
        return 0


def wineserver_pids():
    pids = []
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                with open("/proc/%s/comm" % p) as f:
                    if f.read().strip() in ("wineserver", "wineserver64"):
                        pids.append(int(p))
            except OSError:
                pass
    return pids


def unix_side(pid):
    """Open file descriptors and resident KiB of PID, (0, 0) once it has gone."""
    try:
        fds = len(os.listdir("/proc/%d/fd" % pid))
        with open("/proc/%d/status" % pid) as f:
            rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
        return fds, rss
    except (OSError, StopIteration):
        return 0, 0


class CpuShare:
    """Share of a core used by PIDS from now until share() is called."""

    def __init__(self, *pids):
        self.pids = pids
        self.c0 = sum(cpu_ticks(p) for p in pids)
        self.t0 = time.monotonic()

    def seconds(self):
        return time.monotonic() - self.t0

    def share(self):
        """Per cent of one core since the start."""
        wall = max(self.seconds(), 1e-9)
        return (sum(cpu_ticks(p) for p in self.pids) - self.c0) / TICK / wall * 100
