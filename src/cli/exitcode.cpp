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

int lostExit(SerialFault fault)
{
    // A gateway whose port another client holds passed nothing on, and a TLS
    // gateway opened as plain closes at our first bytes: the port cannot be used.
    return fault == SerialFault::Busy || fault == SerialFault::TlsMismatch ? kPortFailed : kLineLost;
}

int worse(int a, int b)
{
    return std::max(a, b);
}

int readExit(const WholeRead &r)
{
    return r.complete() ? kDone : kNoAnswer;
}

int backupExit(const LineBackup &b, SerialFault lostFault)
{
    if (b.ending.lost)
        return lostExit(lostFault);
    if (b.ending.interrupted)
        return interruptedExit();
    return b.anyIncomplete() || b.saved().isEmpty() ? kNoAnswer : kDone;
}

int checkExit(const LineCheck &c, SerialFault lostFault)
{
    if (c.ending.lost)
        return lostExit(lostFault);
    if (c.ending.interrupted)
        return interruptedExit();
    // A device not checked in full outweighs a difference found.
    return !c.allChecked() ? kNoAnswer : c.differenceCount() ? kDiffers : kDone;
}

int writeExit(const WriteReport &w, SerialFault lostFault)
{
    if (w.ending.lost)
        return lostExit(lostFault);
    if (w.ending.interrupted)
        return interruptedExit();
    if (!w.mismatches.isEmpty())
        return kMismatch;
    return w.unverified.isEmpty() ? kDone : kNoAnswer;
}

int restoreExit(const LineRestore &r, SerialFault lostFault)
{
    int code = kDone;
    for (const DeviceRestore &d : r.devices) {
        if (d.now.ending.lost || d.now.ending.interrupted)
            break;
        code = worse(code, d.written ? writeExit(d.write, lostFault) : readExit(d.now));
    }
    if (r.ending.lost)
        return lostExit(lostFault);
    if (r.ending.interrupted)
        return interruptedExit();
    return code;
}

} // namespace kestran::cli
