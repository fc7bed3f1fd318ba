// The words kestran-ctl gives what an operation found: value names, a read's
// verdict, a client's progress, what became of each value written, a lost
// line. The one place each is worded, for the one-line and the plant commands.
#include "cli.h"

#include "parameters.h"
#include "valueinput.h"

namespace kestran::cli {

QString nameOf(char index)
{
    return scriptName(*parameterFor(QLatin1Char(index)));
}

QString namesOf(const QVector<char> &indices)
{
    QStringList names;
    for (char i : indices)
        names << nameOf(i);
    return names.join(QStringLiteral(", "));
}

QString settingNames()
{
    QStringList names;
    for (const Parameter &p : parameterTable())
        if (p.hasSetting)
            names << scriptName(p);
    return names.join(QStringLiteral(", "));
}

QString plural(int n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString missingText(const ReadResult &r)
{
    QStringList names;
    for (char i : r.missing())
        names << (r.garbled.contains(i) ? QStringLiteral("%1 (garbled)").arg(nameOf(i)) : nameOf(i));
    return names.join(QStringLiteral(", "));
}

QStringList verdictText(const ReadResult &r, const QString &consequence)
{
    QStringList said;
    switch (presenceOf(r)) {
    case Presence::Complete:
        break;
    case Presence::NoAnswer:
        said << QStringLiteral("device %1 did not answer; %2").arg(r.device).arg(consequence);
        break;
    case Presence::Incomplete:
        // A setting without its shape would make a file that a restore refuses.
        for (auto it = r.shapeless.cbegin(); it != r.shapeless.cend(); ++it)
            said << QStringLiteral("device %1: %2 came as %3, which is no %2 value")
                        .arg(r.device).arg(nameOf(it.key()), lineText(it.value()));
        said << QStringLiteral("device %1: incomplete answer, missing %2; %3").arg(r.device).arg(missingText(r), consequence);
        break;
    }
    return said;
}

QString progressText(const ClientProgress &p)
{
    switch (p.kind) {
    case ClientProgress::AskingAgain:
        return QStringLiteral("device %1: %2 of 8 values, asking again").arg(p.device).arg(p.done);
    case ClientProgress::Sent:
        break;
    }
    return QStringLiteral("device %1: %2 of %3 sent").arg(p.device).arg(p.done).arg(p.total);
}

namespace {
struct StepWording {
    StepResult result;
    const char *word;     // a table's cell, JSON's "result"
    const char *phrase;   // a message's group of values
};
const StepWording kSteps[] = {
    {StepResult::Verified, "ok", "written and verified"},
    {StepResult::Mismatch, "mismatch", "read back otherwise"},
    {StepResult::NoAnswer, "no answer", "sent, no value came back"},
    {StepResult::NotVerified, "not verified", "sent, not verified"},
    {StepResult::NotSent, "not sent", "not sent"},
};
} // namespace

QString stepWord(StepResult r)
{
    for (const StepWording &s : kSteps)
        if (s.result == r)
            return QLatin1String(s.word);
    return QString();
}

QString writeSummary(const WriteReport &w)
{
    QStringList parts;
    for (const StepWording &s : kSteps) {
        QVector<char> names;
        for (int i = 0; i < w.steps.size(); ++i)
            if (stepResult(w, i) == s.result)
                names << w.steps[i].index;
        if (!names.isEmpty())
            parts << QStringLiteral("%1: %2").arg(QLatin1String(s.phrase), namesOf(names));
    }
    return parts.join(QStringLiteral("; "));
}

QStringList writeProblems(const WriteReport &w)
{
    const int device = w.device;
    QStringList said;
    if (w.ending.refused())
        return {QStringLiteral("device %1: %2; nothing written").arg(device).arg(w.ending.reason)};
    if (w.ending.lost)
        return {QStringLiteral("device %1: the line was lost after sending %2 of %3 values (%4): %5")
                    .arg(device).arg(w.sent).arg(w.steps.size()).arg(w.ending.reason, writeSummary(w))};
    for (const Mismatch &m : w.mismatches)
        said << QStringLiteral("device %1: %2 was sent as %3 but reads back as %4")
                    .arg(device).arg(nameOf(m.index), m.sent, lineText(m.read));
    if (w.ending.interrupted)
        said << QStringLiteral("device %1: interrupted after sending %2 of %3 values: %4")
                    .arg(device).arg(w.sent).arg(w.steps.size()).arg(writeSummary(w));
    else if (w.mismatches.isEmpty() && !w.unverified.isEmpty()) {
        QStringList names;
        for (char i : w.unverified)
            names << (w.readBack.garbled.contains(i) ? QStringLiteral("%1 (garbled)").arg(nameOf(i)) : nameOf(i));
        said << QStringLiteral("device %1: sent, but no value came back for %2").arg(device).arg(names.join(QStringLiteral(", ")));
    }
    return said;
}

QString lostText(const Ending &lost)
{
    return lost.refused() ? lost.reason : QStringLiteral("the line was lost: %1").arg(lost.reason);
}

} // namespace kestran::cli
