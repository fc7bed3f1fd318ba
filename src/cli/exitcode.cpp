// From what an operation found to the exit code: the one place that decides.
#include "cli.h"

#include "linebackup.h"
#include "linecheck.h"
#include "stopsignal.h"

#include <csignal>

namespace kestran::cli {

const QList<ExitMeaning> &exitMeanings()
{
    static const QList<ExitMeaning> list = {
        {kDone, "done"},
        {kDiffers, "check: a setting differs from the file"},
        {kUsage, "bad usage or input (nothing was sent)"},
        {kPortFailed, "the port cannot be opened (missing, busy, no permission, gateway unreachable\n"
                      "or its port in use by another client, a TLS gateway not trusted or refusing\n"
                      "our certificate, TLS on one side only)"},
        {kNoAnswer, "no answer, or an incomplete one"},
        {kLineLost, "the line was lost"},
        {kMismatch, "a written value did not read back"},
        {kOutputFailed, "standard output or the output file could not be written"},
        {kNotRecorded, "the history must record every change (require = true) and cannot: a change\n"
                       "it could not record was not written"},
        {kInterrupted, "interrupted by Ctrl-C (143: by SIGTERM); what was sent is said"},
    };
    return list;
}

QString exitCodesHelp()
{
    QString text = QStringLiteral("Exit codes:\n");
    for (const ExitMeaning &e : exitMeanings())
        text += QStringLiteral("  %1  %2\n").arg(e.code).arg(QString::fromLatin1(e.meaning).replace(
                                                                 QLatin1String("\n"), QLatin1String("\n     ")));
    return text;
}

int interruptedExit()
{
    return stopsignal::caught() ? 128 + stopsignal::caught() : int(kInterrupted);
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

int readExit(const ReadResult &r)
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
