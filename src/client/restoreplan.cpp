#include "restoreplan.h"

#include "parameters.h"

namespace kestran {

QVector<PlannedValue> planRestore(const QMap<char, QString> &held, const QMap<char, QString> &saved,
                                  const RestoreChoice &choice)
{
    QVector<PlannedValue> plan;
    for (const Parameter &p : parameterTable()) {
        PlannedValue v;
        v.index = p.index;
        v.held = held.value(p.index);
        v.wanted = saved.value(p.index);
        if (!saved.contains(p.index))
            v.action = PlannedValue::NotInFile;
        else if (!p.hasSetting)
            v.action = PlannedValue::ReadOnly;
        else if (v.held == v.wanted)
            v.action = PlannedValue::Same;
        else if (choice.skip.contains(p.index))
            v.reason = PlannedValue::Skipped;
        else if (!choice.only.isEmpty() && !choice.only.contains(p.index))
            v.reason = PlannedValue::NotInOnly;
        else if (p.liveCount && !choice.withLiveCounts && !choice.only.contains(p.index))
            v.reason = PlannedValue::LiveCount;   // naming it in the choice's `only` asks for it
        else
            v.action = PlannedValue::Write;
        if (v.reason != PlannedValue::NoReason)
            v.action = PlannedValue::LeftOut;
        plan.append(v);
    }
    return plan;
}

QVector<WriteStep> stepsOf(const QVector<PlannedValue> &plan)
{
    QVector<WriteStep> steps;
    for (const PlannedValue &v : plan)
        if (v.action == PlannedValue::Write)
            steps.append({v.index, v.wanted});
    return steps;
}

StepResult stepResult(const WriteReport &w, int step)
{
    if (step >= w.sent || w.ending.refused())
        return StepResult::NotSent;
    if (w.ending.lost || w.readBack.attempts == 0)
        return StepResult::NotVerified;
    const QString read = w.readBack.values.value(w.steps[step].index);
    if (read.isEmpty())
        return w.ending.interrupted ? StepResult::NotVerified : StepResult::NoAnswer;
    return read == w.steps[step].field ? StepResult::Verified : StepResult::Mismatch;
}

LineRestore restoreLine(CounterClient &client, const QVector<RestoreJob> &jobs, const RestoreChoice &choice,
                        const ReadOptions &options, bool dryRun,
                        const std::function<void(const DeviceRestore &)> &planned,
                        const std::function<void(const DeviceRestore &)> &done)
{
    LineRestore line;
    for (const RestoreJob &job : jobs) {
        DeviceRestore d;
        d.job = job;
        d.now = client.read(job.target, options, ReadMode::AsSent);
        if (d.now.ending.stopped()) {
            line.ending = d.now.ending;
            line.devices.append(d);
            break;
        }
        if (d.now.complete()) {
            d.plan = planRestore(d.now.values, job.saved->values, choice);
            d.steps = stepsOf(d.plan);
        }
        if (planned)
            planned(d);
        if (!dryRun && !d.steps.isEmpty()) {
            d.write = client.write(job.target, d.steps, options);
            d.written = true;
        }
        line.devices.append(d);
        if (done)
            done(line.devices.last());
        if (d.written && d.write.ending.stopped()) {
            line.ending = d.write.ending;
            break;
        }
    }
    return line;
}

} // namespace kestran
