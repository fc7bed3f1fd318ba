// backup: the values of one counter, of every counter of a line, or of every
// line of a plant (a snapshot), saved to a file.
#include "plantlines.h"

#include "linetrace.h"

#include <QFile>

namespace kestran::cli {

namespace {

QString toolName()
{
    return QStringLiteral("kestran-ctl %1").arg(QStringLiteral(KESTRAN_VERSION));
}

} // namespace

// ---------------------------------------------------------------- the backup of a line

namespace {

// One line's devices read for a backup, each said as it is read.
int backupTarget(const Invocation &inv, Target &t, CounterClient &client)
{
    t.backup = backupLine(client, t.devices, inv.read, [&](const DeviceBackup &b) {
        const int d = b.read.device;
        if (b.status == DeviceBackup::Absent) {
            progress(inv, t.at(QStringLiteral("device %1: no answer").arg(d)));
        } else if (b.status == DeviceBackup::Saved) {
            ++t.found;
            progress(inv, t.at(QStringLiteral("device %1 read").arg(d)));
        } else {
            for (const QString &text : verdictText(b.read, QStringLiteral("not saved")))
                problem(t, text);
        }
    });
    if (t.backup.ending.lost)
        return lineLostAt(t, t.backup.ending);
    if (t.backup.ending.interrupted)
        return lineStoppedAt(t, QStringLiteral("interrupted while reading device %1").arg(t.backup.stoppedAt));
    const int code = backupExit(t.backup);
    const bool none = t.backup.saved().isEmpty();
    if (none && !t.backup.anyIncomplete() && !t.unnamed)   // a one-line backup says it for the file
        problem(t, QStringLiteral("no counter answered"));
    t.result = code == kDone ? QStringLiteral("saved") : none ? QStringLiteral("nothing saved") : QStringLiteral("incomplete");
    return code;
}

} // namespace


int runBackup(const Invocation &inv)
{
    if (int rc = noPositional(inv))
        return rc;
    if ((inv.device >= 0) == inv.all) {
        error(QStringLiteral("backup needs either -d N or --all"));
        return kUsage;
    }
    if (inv.output.isEmpty()) {
        error(QStringLiteral("backup needs the file to write: -o FILE (\u201C-\u201D for standard output)"));
        return kUsage;
    }
    // The file must be writable before anything is asked.
    OutputFile file(inv.output);
    if (!file.open())
        return kUsage;
    std::unique_ptr<LineTrace> trace;
    if (!openTrace(inv, &trace))
        return kUsage;

    QVector<Target> targets = oneLine(inv, trace.get());
    if (!inv.all)
        targets.first().devices = {inv.device};
    QString table;
    const int code = serve(inv, targets, [&inv](Target &t, CounterClient &c) { return backupTarget(inv, t, c); },
                           &table, nullptr);
    const Target &t = targets.first();
    const QVector<SavedDevice> devices = t.backup.saved();
    if (!t.opened || t.backup.ending.stopped())
        return code;   // said, and nothing is saved
    if (devices.isEmpty()) {
        if (inv.all)
            error(t.backup.anyIncomplete() ? QStringLiteral("no counter answered in full; nothing saved")
                                           : QStringLiteral("no counter answered; nothing saved"));
        return code;
    }
    Backup backup;
    backup.created = backupTime();
    backup.tool = toolName();
    backup.port = t.port;
    backup.devices = devices;
    if (!file.write(backup.toJson()))
        return kOutputFailed;
    progress(inv, QStringLiteral("%1 saved to %2").arg(plural(int(devices.size()), "device", "devices"), inv.output));
    return code;
}

// ---------------------------------------------------------------- backup --plant

int runPlantBackup(const Invocation &inv)
{
    if (!inv.arguments.isEmpty()) {
        error(QStringLiteral("backup takes no argument \u201C%1\u201D (try kestran-ctl help backup)").arg(inv.arguments.first()));
        return kUsage;
    }
    if (inv.device >= 0 || inv.all || inv.portGiven) {
        error(QStringLiteral("backup --plant takes its lines, ports and devices from the plant file: no -d, --all or --port"));
        return kUsage;
    }
    if (inv.output.isEmpty()) {
        error(QStringLiteral("backup needs the file to write: -o FILE (\u201C-\u201D for standard output)"));
        return kUsage;
    }
    Plant plant;
    if (int rc = loadPlant(inv.plant, &plant))
        return rc;
    QStringList known, chosen;
    for (const PlantLine &l : plant.lines)
        known << l.name;
    if (int rc = chosenLines(inv, known, &chosen))
        return rc;
    // The file must be writable before anything is asked.
    OutputFile file(inv.output);
    if (!file.open())
        return kUsage;
    QVector<Target> targets;
    for (const PlantLine &l : plant.lines) {
        if (!chosen.isEmpty() && !chosen.contains(l.name))
            continue;
        Target t;
        t.tls = inv.tls;
        t.name = l.name;
        t.port = l.port;
        t.tls = mergedTls(l.tls, inv.tls);
        t.devices = l.devices;
        targets.append(t);
    }
    QString table;
    const int worst = serve(inv, targets, [&inv](Target &t, CounterClient &c) { return backupTarget(inv, t, c); },
                            &table, nullptr);
    // Standard output may carry the snapshot: the table goes to stderr then.
    if (file.isStandardOutput())
        say(table);
    else
        out(table);

    // A line stopped by Ctrl-C or SIGTERM says so in its ending: nothing is saved then.
    for (const Target &t : std::as_const(targets)) {
        if (t.backup.ending.interrupted) {
            error(QStringLiteral("interrupted; nothing saved"));
            return interruptedExit();
        }
    }
    Snapshot snapshot;
    snapshot.plant = true;
    snapshot.created = backupTime();
    snapshot.tool = toolName();
    int saved = 0;
    for (const Target &t : std::as_const(targets)) {
        const QVector<SavedDevice> devices = t.backup.saved();
        if (devices.isEmpty())
            continue;
        snapshot.lines.append({t.name, t.port, devices});
        saved += int(devices.size());
    }
    if (snapshot.lines.isEmpty()) {
        error(QStringLiteral("no counter answered on any line; nothing saved"));
        return worse(worst, kNoAnswer);
    }
    // The lines have been read by now: a failure to write is not a usage error.
    if (!file.write(snapshot.toJson()))
        return kOutputFailed;
    progress(inv, QStringLiteral("%1 on %2 saved to %3")
                      .arg(plural(saved, "device", "devices"), plural(int(snapshot.lines.size()), "line", "lines"), inv.output));
    return worst;
}

} // namespace kestran::cli
