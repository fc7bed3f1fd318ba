// Serving the lines of a plant at once, and choosing them.
#include "plantlines.h"

#include "plantrun.h"
#include "stopsignal.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

namespace kestran::cli {

QVector<Target> oneLine(const Invocation &inv, LineTrace *trace)
{
    QVector<Target> targets(1);
    Target &t = targets.first();
    t.unnamed = true;
    t.port = inv.port.trimmed();
    t.tls = inv.tls;
    t.trace = trace;
    return targets;
}

void problem(Target &t, const QString &text)
{
    t.problems << text;
    error(t.at(text));
}

int lineLostAt(Target &t, const Ending &lost)
{
    problem(t, lostText(lost));
    t.result = lost.refused() ? QStringLiteral("port busy") : QStringLiteral("line lost");
    return lostExit(lost);
}

// Ctrl-C or SIGTERM: nothing more is sent on any line.
int lineStoppedAt(Target &t, const QString &what)
{
    problem(t, what + QStringLiteral("; nothing more sent"));
    t.result = QStringLiteral("interrupted");
    return interruptedExit();
}

int loadPlant(const QString &path, Plant *plant)
{
    QByteArray bytes;
    QString why;
    if (!readInput(path, kMaxFileBytes, &bytes, &why) || !parsePlant(bytes, path, plant, &why)) {
        error(why);
        return kUsage;
    }
    return kDone;
}

// The names --line gives ("a,b" and repeated --line alike); each must be one of `known`.
int chosenLines(const Invocation &inv, const QStringList &known, QStringList *chosen)
{
    for (const QString &item : inv.lines) {
        for (const QString &part : item.split(QLatin1Char(','))) {
            const QString name = part.trimmed();
            if (name.isEmpty())
                continue;
            if (!known.contains(name)) {
                error(QStringLiteral("--line %1: no such line (the lines are %2)").arg(name, known.join(QStringLiteral(", "))));
                return kUsage;
            }
            if (!chosen->contains(name))
                chosen->append(name);
        }
    }
    return kDone;
}

int serve(const Invocation &inv, QVector<Target> &targets, const std::function<int(Target &, CounterClient &)> &work,
          QString *table, QJsonArray *linesJson)
{
    QVector<LineTask> tasks;
    for (Target &t : targets) {
        Target *target = &t;
        tasks.append({t.label(), t.port, [target, &work](CounterClient &client) { target->code = work(*target, client); },
                      t.tls, t.trace});
    }
    // Ctrl-C and SIGTERM stop every line after the frame in flight.
    stopsignal::catchStops();
    PlantRun run;
    QObject stopContext;
    stopsignal::watch(&stopContext, [&run] { run.stop(); });
    if (stopsignal::caught())
        run.stop();
    const QVector<LineOutcome> outcomes = run.run(
        tasks, [&inv, &targets](int line, const ClientProgress &what) {
            progress(inv, targets[line].at(progressText(what)));
        },
        [&targets](int line, const QString &text) { problem(targets[line], text); });
    stopsignal::unwatch();

    int worst = kDone;
    qint64 firstSent = -1, lastFirstSent = -1, lastEnded = 0;
    QStringList head{QStringLiteral("LINE"), QStringLiteral("DEVICES"), QStringLiteral("RESULT"), QStringLiteral("TIME")};
    QList<QStringList> rows;
    for (int i = 0; i < targets.size(); ++i) {
        Target &t = targets[i];
        const LineOutcome &o = outcomes[i];
        int code = t.code;
        t.opened = o.opened;
        if (!o.opened) {
            code = kPortFailed;
            t.result = QStringLiteral("port failed");
        }
        worst = worse(worst, code);
        if (o.firstSentNs >= 0 && (firstSent < 0 || o.firstSentNs < firstSent))
            firstSent = o.firstSentNs;
        lastFirstSent = std::max(lastFirstSent, o.firstSentNs);
        lastEnded = std::max(lastEnded, o.endedNs);
        const double seconds = (o.endedNs - o.startedNs) / 1e9;
        rows << QStringList{t.label(), QString::number(t.found), t.result, QStringLiteral("%1 s").arg(seconds, 0, 'f', 2)};
        if (linesJson)
            linesJson->append(QJsonObject{{QStringLiteral("name"), t.name},
                                          {QStringLiteral("port"), t.port},
                                          {QStringLiteral("devices"), t.found},
                                          {QStringLiteral("result"), t.result},
                                          {QStringLiteral("exit"), code},
                                          {QStringLiteral("seconds"), qRound(seconds * 1000) / 1000.0},
                                          {QStringLiteral("problems"), QJsonArray::fromStringList(t.problems)}});
    }
    *table = renderTableText(head, rows);
    if (qEnvironmentVariable("KESTRAN_CTL_TIMING") == QLatin1String("1") && firstSent >= 0)
        error(QStringLiteral("timing: %1 ms from first byte sent to result ready; the last line's first byte %2 ms after the first's")
                  .arg((lastEnded - firstSent) / 1e6, 0, 'f', 3).arg((lastFirstSent - firstSent) / 1e6, 0, 'f', 3));
    return worst;
}

int loadSnapshot(const Invocation &inv, Snapshot *snapshot)
{
    if (inv.arguments.size() != 1) {
        error(QStringLiteral("%1 needs exactly one FILE (try kestran-ctl help %1)").arg(inv.command));
        return kUsage;
    }
    const QString path = inv.arguments.first();
    QByteArray bytes;
    QString why;
    if (!readInput(path, kMaxFileBytes, &bytes, &why)) {
        error(why);
        return kUsage;
    }
    if (!parseSnapshot(bytes, snapshot, &why)) {
        error(QStringLiteral("%1: %2").arg(path, why));
        return kUsage;
    }
    return kDone;
}

int targetsOf(const Invocation &inv, const Snapshot &snapshot, QVector<Target> *targets)
{
    Plant plant;
    const bool withPlant = !inv.plant.isEmpty();
    if (withPlant) {
        if (!snapshot.plant) {
            error(QStringLiteral("%1 is a one-line backup: give its port with --port, not --plant").arg(inv.arguments.first()));
            return kUsage;
        }
        if (int rc = loadPlant(inv.plant, &plant))
            return rc;
    }
    if (!snapshot.plant) {
        if (!inv.lines.isEmpty()) {
            error(QStringLiteral("%1 is a one-line backup: it has no lines to choose with --line").arg(inv.arguments.first()));
            return kUsage;
        }
        Target t;
        t.tls = inv.tls;
        t.saved = &snapshot.lines.first();
        t.port = inv.port.trimmed().isEmpty() ? t.saved->port.trimmed() : inv.port.trimmed();
        if (t.port.isEmpty()) {
            error(QStringLiteral("no port given: use --port P or set KESTRAN_PORT"));
            return kUsage;
        }
        targets->append(t);
        return kDone;
    }
    if (inv.portGiven) {
        error(QStringLiteral("a snapshot names the port of each line: give other ports with --plant, not --port"));
        return kUsage;
    }
    QStringList known, chosen;
    for (const SavedLine &l : snapshot.lines)
        known << l.name;
    if (int rc = chosenLines(inv, known, &chosen))
        return rc;
    QHash<QString, QString> portOwner;
    for (const SavedLine &l : snapshot.lines) {
        if (!chosen.isEmpty() && !chosen.contains(l.name))
            continue;
        Target t;
        t.tls = inv.tls;
        t.name = l.name;
        t.saved = &l;
        if (withPlant) {
            const PlantLine *p = plant.find(l.name);
            if (!p) {
                error(QStringLiteral("%1 has no line \u201C%2\u201D, which %3 holds").arg(inv.plant, l.name, inv.arguments.first()));
                return kUsage;
            }
            t.port = p->port;
            t.tls = mergedTls(p->tls, inv.tls);
        } else {
            t.port = l.port.trimmed();
            const QString why = portProblem(t.port);
            if (!why.isEmpty()) {
                error(QStringLiteral("%1: line \u201C%2\u201D: port \u201C%3\u201D: %4").arg(inv.arguments.first(), l.name, t.port, why));
                return kUsage;
            }
            const QString identity = portIdentity(t.port);
            if (portOwner.contains(identity)) {
                error(QStringLiteral("%1: lines \u201C%2\u201D and \u201C%3\u201D are saved with one port, %4")
                          .arg(inv.arguments.first(), portOwner.value(identity), l.name, t.port));
                return kUsage;
            }
            portOwner.insert(identity, l.name);
        }
        targets->append(t);
    }
    if (withPlant)
        for (const PlantLine &p : plant.lines)
            if (!snapshot.find(p.name) && (chosen.isEmpty() || chosen.contains(p.name)))
                progress(inv, QStringLiteral("%1: not in %2, left alone").arg(p.name, inv.arguments.first()));
    return kDone;
}

bool isPlantRestore(const Invocation &inv)
{
    if (!inv.plant.isEmpty() || !inv.lines.isEmpty())
        return true;
    // Standard input is read once, by whichever restore it is for: the one-line one.
    if (inv.arguments.size() != 1 || inv.arguments.first() == QLatin1String("-"))
        return false;
    QFile f(inv.arguments.first());
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument doc = QJsonDocument::fromJson(f.read(kMaxFileBytes + 1));
    return doc.isObject() && doc.object().value(QLatin1String("version")) == QJsonValue(Snapshot::kVersion);
}

int serveSnapshot(const Invocation &inv, SnapshotRun *run, const std::function<int(Target &, CounterClient &)> &work,
                  const std::function<int(const Snapshot &)> &accepts)
{
    if (int rc = loadSnapshot(inv, &run->snapshot))
        return rc;
    if (accepts)
        if (int rc = accepts(run->snapshot))
            return rc;
    if (int rc = targetsOf(inv, run->snapshot, &run->targets))
        return rc;
    run->worst = serve(inv, run->targets, work, &run->table, inv.format == Format::Json ? &run->lines : nullptr);
    return kDone;
}

} // namespace kestran::cli
