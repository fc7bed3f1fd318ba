// restore: saved values put back onto counters, only those that differ: from
// a one-line backup onto one line, or from a snapshot onto every saved line.
#include "plantlines.h"

#include "backupfile.h"
#include "linetrace.h"
#include "parameters.h"
#include "valueinput.h"

#include <QJsonObject>

#include <optional>

namespace kestran::cli {

namespace {

QString actionWord(const PlannedValue &v, bool dryRun)
{
    switch (v.action) {
    case PlannedValue::NotInFile: return QStringLiteral("not in file");
    case PlannedValue::ReadOnly: return QStringLiteral("read-only");
    case PlannedValue::Same: return QStringLiteral("same");
    case PlannedValue::LeftOut: return QStringLiteral("left out");
    case PlannedValue::Write: break;
    }
    return dryRun ? QStringLiteral("would write") : QStringLiteral("write");
}

QString reasonWord(PlannedValue::Reason r)
{
    switch (r) {
    case PlannedValue::Skipped: return QStringLiteral("--skip");
    case PlannedValue::NotInOnly: return QStringLiteral("not in --only");
    case PlannedValue::LiveCount: return QStringLiteral("a count, not a setting; --with-actual restores it");
    case PlannedValue::NoReason: break;
    }
    return QString();
}

QString shownAction(const PlannedValue &v, bool dryRun)
{
    const QString why = reasonWord(v.reason);
    return why.isEmpty() ? actionWord(v, dryRun) : QStringLiteral("%1 (%2)").arg(actionWord(v, dryRun), why);
}

// A table's word of a value written: a mismatch stands out.
QString tableWord(StepResult r)
{
    return r == StepResult::Mismatch ? stepWord(r).toUpper() : stepWord(r);
}

// ---------------------------------------------------------------- restore of a line, and of a snapshot

// What a one-line restore prints of each device besides the messages: its
// plan once read, its write once done.
struct RestoreOutput {
    std::function<void(const DeviceRestore &)> planned, written;
};

// One line's restore: each job's device read, planned and written, and what
// became of it said as it happens.
int restoreTarget(const Invocation &inv, Target &t, CounterClient &client, const QVector<RestoreJob> &jobs,
                  const RestoreOutput &output = {})
{
    int toWrite = 0;
    auto planned = [&](const DeviceRestore &d) {
        const int device = d.job.target;
        if (output.planned)
            output.planned(d);
        if (!d.now.complete()) {
            for (const QString &text : verdictText(d.now, QStringLiteral("nothing written to it")))
                problem(t, text);
            return;
        }
        ++t.found;
        toWrite += int(d.steps.size());
        if (d.steps.isEmpty())
            progress(inv, t.at(QStringLiteral("device %1 matches the file").arg(device)));
        else if (inv.dryRun)
            progress(inv, t.at(QStringLiteral("device %1: %2 (dry run)").arg(device)
                                   .arg(plural(int(d.steps.size()), "value would be written", "values would be written"))));
    };
    auto written = [&](const DeviceRestore &d) {
        if (!d.written)
            return;
        if (output.written)
            output.written(d);
        const WriteReport &w = d.write;
        // A loss is said below, once the line has stopped.
        if (w.ending.lost)
            return;
        const QStringList problems = writeProblems(w);
        for (const QString &text : problems)
            problem(t, text);
        if (problems.isEmpty())
            progress(inv, t.at(QStringLiteral("device %1: all %2 values written and read back").arg(d.job.target).arg(w.steps.size())));
    };
    t.restore = restoreLine(client, jobs, inv.choice, inv.read, inv.dryRun, planned, written);
    const int code = restoreExit(t.restore);
    if (t.restore.ending.stopped()) {
        // Where it stopped, from the endings: while reading a device, or in its write.
        const DeviceRestore &last = t.restore.devices.last();
        const int device = last.job.target;
        if (last.now.ending.lost)
            return lineLostAt(t, last.now.ending);
        if (last.now.ending.interrupted)
            return lineStoppedAt(t, QStringLiteral("interrupted while reading device %1").arg(device));
        const WriteReport &w = last.write;
        if (w.ending.lost) {
            for (const QString &text : writeProblems(w))
                problem(t, text);
            t.result = w.ending.refused() ? QStringLiteral("port busy") : QStringLiteral("line lost");
            return code;
        }
        // Interrupted in the write: said by `written`, with what was sent and verified.
        t.result = QStringLiteral("interrupted");
        return code;
    }
    int sent = 0;
    for (const DeviceRestore &d : t.restore.devices)
        sent += d.written ? d.write.sent : 0;
    if (code == kDone)
        t.result = toWrite == 0 ? QStringLiteral("matches")
                 : inv.dryRun ? QStringLiteral("would write %1").arg(toWrite)
                              : QStringLiteral("%1 written").arg(sent);
    else
        t.result = code == kMismatch ? QStringLiteral("mismatch") : QStringLiteral("not all restored");
    return code;
}

} // namespace

int runRestore(const Invocation &inv)
{
    if (inv.arguments.size() != 1) {
        error(QStringLiteral("restore needs exactly one FILE (try kestran-ctl help restore)"));
        return kUsage;
    }
    if (inv.format == Format::Csv && !inv.dryRun) {
        error(QStringLiteral("restore gives CSV with --dry-run only (--json reports a restore)"));
        return kUsage;
    }
    const QString path = isStdStream(inv.arguments.first()) ? QStringLiteral("standard input") : inv.arguments.first();
    // A backup is a few kB; anything far larger is not one.
    QByteArray bytes;
    QString why;
    if (!readInput(inv.arguments.first(), kMaxFileBytes, &bytes, &why, true)) {
        error(why);
        return kUsage;
    }
    Backup backup;
    if (!parseBackup(bytes, &backup, &why)) {
        error(QStringLiteral("%1: %2").arg(path, why));
        return kUsage;
    }
    if (inv.from >= 0 && inv.device < 0) {
        error(QStringLiteral("--from M needs -d N, the device to copy onto"));
        return kUsage;
    }
    QVector<RestoreJob> jobs;
    if (inv.device >= 0) {
        const int source = inv.from >= 0 ? inv.from : inv.device;
        const SavedDevice *saved = backup.find(source);
        if (!saved) {
            error(QStringLiteral("%1 holds no device %2").arg(path).arg(source));
            return kUsage;
        }
        jobs.append({saved, inv.device});
    } else {
        for (const SavedDevice &d : backup.devices)
            jobs.append({&d, d.device});
    }
    if (jobs.isEmpty()) {
        error(QStringLiteral("%1 holds no device").arg(path));
        return kUsage;
    }

    const bool asJson = inv.format == Format::Json;
    QJsonArray json;
    // Rows of a device whose values were not read: nothing was sent to it.
    auto notRead = [&](const RestoreJob &job, const QString &action) {
        if (!asJson)
            return;
        for (const Parameter &p : parameterTable()) {
            const bool saved = job.saved->values.contains(p.index);
            json.append(QJsonObject{{QStringLiteral("device"), job.target},
                                    {QStringLiteral("from"), job.saved->device},
                                    {QStringLiteral("name"), scriptName(p)},
                                    {QStringLiteral("now"), QJsonValue()},
                                    {QStringLiteral("file"), saved ? QJsonValue(job.saved->values.value(p.index)) : QJsonValue()},
                                    {QStringLiteral("action"), action}});
        }
    };
    // With --json the document goes out whatever ends the restore.
    auto finish = [&](int code, qsizetype nextJob) {
        for (qsizetype j = nextJob; j < jobs.size(); ++j)
            notRead(jobs[j], QStringLiteral("not read"));
        if (asJson)
            out(jsonLine(json));
        return code;
    };

    std::unique_ptr<LineTrace> trace;
    if (!openTrace(inv, &trace))
        return kUsage;
    bool csvHeadDone = false;
    // The messages are restoreTarget's; here is what a one-line restore prints besides.
    RestoreOutput output;
    output.planned = [&](const DeviceRestore &d) {
        const RestoreJob &job = d.job;
        if (!d.now.complete()) {
            notRead(job, QStringLiteral("no answer"));
            return;
        }
        Table t{{QStringLiteral("NAME"), QStringLiteral("NOW"), QStringLiteral("FILE"), QStringLiteral("ACTION")}, {}};
        Table csv{{QStringLiteral("device"), QStringLiteral("from"), QStringLiteral("name"), QStringLiteral("now"),
                   QStringLiteral("file"), QStringLiteral("action"), QStringLiteral("why")}, {}};
        for (const PlannedValue &v : d.plan) {
            const QString name = nameOf(v.index), action = actionWord(v, inv.dryRun), why = reasonWord(v.reason);
            const bool saved = v.action != PlannedValue::NotInFile;
            t.rows << QStringList{name, lineText(v.held), saved ? lineText(v.wanted) : QStringLiteral("-"), shownAction(v, inv.dryRun)};
            csv.rows << QStringList{QString::number(job.target), QString::number(job.saved->device), name,
                                    lineText(v.held), saved ? lineText(v.wanted) : QString(), action, why};
            if (asJson) {
                QJsonObject row{{QStringLiteral("device"), job.target},
                                {QStringLiteral("from"), job.saved->device},
                                {QStringLiteral("name"), name},
                                {QStringLiteral("now"), v.held},
                                {QStringLiteral("file"), saved ? QJsonValue(v.wanted) : QJsonValue()},
                                {QStringLiteral("action"), action}};
                if (!why.isEmpty())
                    row.insert(QStringLiteral("why"), why);
                json.append(row);
            }
        }
        if (inv.format == Format::Csv) {
            out(renderCsv(csv, !csvHeadDone));
            csvHeadDone = true;
        } else if (!asJson) {
            out(job.saved->device == job.target
                    ? QStringLiteral("device %1\n").arg(job.target)
                    : QStringLiteral("device %1 (from saved device %2)\n").arg(job.target).arg(job.saved->device));
            out(renderTable(t));
        }
    };
    output.written = [&](const DeviceRestore &d) {
        if (!asJson)
            out(QStringLiteral("sent to device %1:\n").arg(d.job.target));
        QJsonArray results;
        printWrite(d.write, asJson ? &results : nullptr);
        // In JSON each value's row also says whether it was sent and what was read back.
        for (const QJsonValue &r : std::as_const(results)) {
            for (qsizetype i = 0; i < json.size(); ++i) {
                QJsonObject row = json[i].toObject();
                if (row.value(QLatin1String("device")) == r[QLatin1String("device")]
                    && row.value(QLatin1String("name")) == r[QLatin1String("name")]) {
                    row.insert(QStringLiteral("sent"), r[QLatin1String("sent")]);
                    row.insert(QStringLiteral("read"), r[QLatin1String("read")]);
                    row.insert(QStringLiteral("result"), r[QLatin1String("result")]);
                    json[i] = row;
                }
            }
        }
    };
    QVector<Target> targets = oneLine(inv, trace.get());
    QString table;
    const int code = serve(inv, targets, [&](Target &t, CounterClient &c) { return restoreTarget(inv, t, c, jobs, output); },
                           &table, nullptr);
    const Target &t = targets.first();
    if (!t.opened)
        return finish(code, 0);
    const qsizetype reached = t.restore.devices.size();
    // Stopped while reading: that device and the ones after it were not read.
    const bool stoppedReading = reached && t.restore.devices.last().now.ending.stopped();
    return finish(code, stoppedReading ? reached - 1 : reached);
}

namespace {

// The values a snapshot's restore lists: those it writes or leaves out.
struct PlantRow {
    const Target *line;
    int device;
    const PlannedValue *value;
    std::optional<StepResult> result;   // what became of a value written; none for one not written
};

QVector<PlantRow> plantRows(const QVector<Target> &targets)
{
    QVector<PlantRow> rows;
    for (const Target &t : targets) {
        for (const DeviceRestore &d : t.restore.devices) {
            for (const PlannedValue &v : d.plan) {
                if (v.action != PlannedValue::Write && v.action != PlannedValue::LeftOut)
                    continue;
                std::optional<StepResult> result;
                if (d.written && v.action == PlannedValue::Write)
                    for (int i = 0; i < d.write.steps.size(); ++i)
                        if (d.write.steps[i].index == v.index)
                            result = stepResult(d.write, i);
                rows.append({&t, d.job.target, &v, result});
            }
        }
    }
    return rows;
}

} // namespace

int runPlantRestore(const Invocation &inv)
{
    if (inv.device >= 0 || inv.from >= 0) {
        error(QStringLiteral("restore of a snapshot restores whole lines: no -d or --from (choose lines with --line)"));
        return kUsage;
    }
    if (inv.format == Format::Csv && !inv.dryRun) {
        error(QStringLiteral("restore gives CSV with --dry-run only (--json reports a restore)"));
        return kUsage;
    }
    SnapshotRun run;
    const auto wholeLines = [&inv](const Snapshot &snapshot) {
        if (snapshot.plant)
            return int(kDone);
        error(QStringLiteral("%1 is a one-line backup: restore it with --port, without --plant or --line").arg(inv.arguments.first()));
        return int(kUsage);
    };
    if (int rc = serveSnapshot(inv, &run, [&inv](Target &t, CounterClient &c) {
                                   QVector<RestoreJob> jobs;
                                   for (const SavedDevice &saved : t.saved->devices)
                                       jobs.append({&saved, saved.device});
                                   return restoreTarget(inv, t, c, jobs);
                               },
                               wholeLines))
        return rc;
    const bool json = inv.format == Format::Json;
    const QString &table = run.table;
    const int worst = run.worst;
    const QVector<PlantRow> rows = plantRows(run.targets);
    if (json) {
        QJsonArray values;
        for (const PlantRow &r : rows)
            values.append(QJsonObject{{QStringLiteral("line"), r.line->name},
                                      {QStringLiteral("device"), r.device},
                                      {QStringLiteral("name"), nameOf(r.value->index)},
                                      {QStringLiteral("now"), r.value->held},
                                      {QStringLiteral("file"), r.value->wanted},
                                      {QStringLiteral("action"), shownAction(*r.value, inv.dryRun)},
                                      {QStringLiteral("result"), r.result ? QJsonValue(stepWord(*r.result)) : QJsonValue()}});
        out(jsonLine(QJsonObject{{QStringLiteral("exit"), worst},
                                 {QStringLiteral("dry_run"), inv.dryRun},
                                 {QStringLiteral("values"), values},
                                 {QStringLiteral("lines"), run.lines}}));
        say(table);
        return worst;
    }
    const bool csv = inv.format == Format::Csv;
    QList<QStringList> shown;
    for (const PlantRow &r : rows) {
        QStringList row{r.line->label(), QString::number(r.device), nameOf(r.value->index), r.value->held, r.value->wanted};
        if (csv)   // the action and why apart, as the one-line restore gives them
            row << actionWord(*r.value, inv.dryRun) << reasonWord(r.value->reason);
        else
            row << shownAction(*r.value, inv.dryRun) << (r.result ? tableWord(*r.result) : QString());
        shown << row;
    }
    if (csv) {
        out(renderCsvText({QStringLiteral("line"), QStringLiteral("device"), QStringLiteral("name"), QStringLiteral("now"),
                           QStringLiteral("file"), QStringLiteral("action"), QStringLiteral("why")}, shown));
        say(table);
        return worst;
    }
    if (!shown.isEmpty())
        out(renderTableText({QStringLiteral("LINE"), QStringLiteral("DEVICE"), QStringLiteral("NAME"), QStringLiteral("NOW"),
                             QStringLiteral("FILE"), QStringLiteral("ACTION"), QStringLiteral("RESULT")}, shown)
            + QLatin1Char('\n'));
    out(table);
    return worst;
}

} // namespace kestran::cli
