// From what an operation found to the exit code: the one place that decides.
#include "cli.h"

#include "linebackup.h"
#include "linecheck.h"
#include "stopsignal.h"

#include <csignal>

namespace kestran::cli {

int interruptedExit()
{
    return 128 + (stopsignal::caught() ? stopsignal::caught() : SIGINT);
}

int lostExit(const Ending &e)
{
    return e.refused() ? kPortFailed : kLineLost;
}

int worse(int a, int b)
{
    return std::max(a, b);
}

int endedExit(const Ending &e)
{
    if (e.lost)
        return lostExit(e);
    if (e.interrupted)
        return interruptedExit();
    return kDone;
}

int readExit(const WholeRead &r)
{
    return r.complete() ? kDone : kNoAnswer;
}

int backupExit(const LineBackup &b)
{
    if (b.ending.stopped())
        return endedExit(b.ending);
    return b.anyIncomplete() || b.saved().isEmpty() ? kNoAnswer : kDone;
}

int checkExit(const LineCheck &c)
{
    if (c.ending.stopped())
        return endedExit(c.ending);
    // A device not checked in full outweighs a difference found.
    return !c.allChecked() ? kNoAnswer : c.differenceCount() ? kDiffers : kDone;
}

int writeExit(const WriteReport &w)
{
    if (w.ending.stopped())
        return endedExit(w.ending);
    if (!w.mismatches.isEmpty())
        return kMismatch;
    return w.unverified.isEmpty() ? kDone : kNoAnswer;
}

int restoreExit(const LineRestore &r)
{
    if (r.ending.stopped())
        return endedExit(r.ending);
    int code = kDone;
    for (const DeviceRestore &d : r.devices)
        code = worse(code, d.written ? writeExit(d.write) : readExit(d.now));
    return code;
}

} // namespace kestran::cli
