// The plant commands: backup --plant, check, and restore of a snapshot. Every
// line is served at once (PlantRun: a thread per line), each under the rules
// of a one-line run; progress goes to stderr as it happens, everything else
// is gathered per line and printed when the last line is done.
#include "cli.h"

#include "backupfile.h"
#include "parameters.h"
#include "plantfile.h"
#include "plantrun.h"
#include "snapshot.h"
#include "stopsignal.h"
#include "valueinput.h"
#include "values.h"
#include "stdtext.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

namespace kestran::cli {

namespace {

constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

// One line of a plant command, and what its thread found.
struct Target {
    QString name;                      // "" for the line of a one-line backup
    QString port;
    QVector<int> devices;              // backup: the devices to save, empty: all that answer
    const SavedLine *saved = nullptr;  // check, restore: what the file holds

    // Filled by the line's thread.
    int found = 0;                     // devices that answered in full
    QString result;                    // a few words for the closing table
    QStringList problems;              // what went wrong, as said on stderr
    QVector<SavedDevice> read;         // backup: the devices read
    QList<QStringList> rows;           // check: differences; restore: values written or left,
                                       // then why one is left out (not a column of the table)
    QJsonArray json;                   // the same rows for --json

    QString label() const { return name.isEmpty() ? port : name; }
};

QString jsonText(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

QString nameOf(char index)
{
    return scriptName(*parameterFor(QLatin1Char(index)));
}

QString plural(int n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// A value as a backup may hold it: a setting with its shape, DIFFERENCE a
// well-formed field.
bool acceptable(char index, const QString &field)
{
    const Parameter *p = parameterFor(QLatin1Char(index));
    return p && isWellFormedField(field) && (!p->hasSetting || hasValueShape(p->shape, field));
}

// The values compared by check and written by restore: the settings, and
// the live counts ACTUAL and DIFFERENCE only when asked.
bool compared(const Parameter &p, bool withActual)
{
    if (p.index == '1' || p.index == '2')
        return withActual;
    return p.hasSetting;
}

// Reads one device until all eight values have come with their shape, asking
// again within the retries. With `probe` a device that says nothing to the
// first request is taken as absent and not asked again.
ReadResult readDevice(CounterClient &client, int device, const ReadOptions &options, bool probe)
{
    ReadResult total;
    total.device = device;
    ReadOptions once = options;
    once.retries = 0;
    for (int attempt = 0; attempt <= options.retries; ++attempt) {
        const ReadResult r = client.read(device, once);
        total.attempts += r.attempts;
        if (r.lost || r.interrupted) {
            total.lost = r.lost;
            total.interrupted = r.interrupted;
            break;
        }
        for (auto it = r.values.cbegin(); it != r.values.cend(); ++it)
            if (acceptable(it.key(), it.value()))
                total.values.insert(it.key(), it.value());
        if (total.complete() || (probe && total.values.isEmpty()))
            break;
    }
    return total;
}

QString missingNames(const ReadResult &r)
{
    QStringList names;
    for (char i : r.missing())
        names << nameOf(i);
    return names.join(QStringLiteral(", "));
}

// Says a line's problem on stderr and keeps it for the report.
void problem(Target &t, const QString &text)
{
    t.problems << text;
    error(QStringLiteral("%1: %2").arg(t.label(), text));
}

// A lost line, or a network gateway whose port another client holds (busy: 3).
int lostLine(Target &t, CounterClient &client)
{
    if (client.lostFault() == SerialFault::Busy) {
        problem(t, client.lostReason());
        t.result = QStringLiteral("port busy");
        return kPortFailed;
    }
    problem(t, QStringLiteral("the line was lost: %1").arg(client.lostReason()));
    t.result = QStringLiteral("line lost");
    return kLineLost;
}

// Ctrl-C or SIGTERM: nothing more is sent on any line.
int stopped(Target &t, CounterClient &, const QString &what)
{
    problem(t, what + QStringLiteral("; nothing more sent"));
    t.result = QStringLiteral("interrupted");
    return interruptedExit();
}

// The closing table on stderr, when stdout carries a document. It is a
// result, so -q does not silence it.
void say(const QString &text)
{
    writeStdText(stderr, text);
}

bool readInput(const QString &path, QByteArray *bytes, QString *why)
{
    QFile f;
    const bool ok = path == QLatin1String("-") ? f.open(stdin, QIODevice::ReadOnly) : (f.setFileName(path), f.open(QIODevice::ReadOnly));
    if (!ok) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    *bytes = f.read(kMaxFileBytes + 1);
    if (bytes->size() > kMaxFileBytes) {
        *why = QStringLiteral("%1: too large").arg(path);
        return false;
    }
    return true;
}

int loadPlant(const QString &path, Plant *plant)
{
    QByteArray bytes;
    QString why;
    if (!readInput(path, &bytes, &why) || !parsePlant(bytes, path, plant, &why)) {
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

// Every line's JSON rows, line after line.
QJsonArray jsonRowsOf(const QVector<Target> &targets)
{
    QJsonArray all;
    for (const Target &t : targets)
        for (const QJsonValue &v : t.json)
            all.append(v);
    return all;
}

// Serves every target at once. Returns the worst of the lines' codes and sets
// `table` to the closing table: line, devices found, result, time.
int serve(const Invocation &inv, QVector<Target> &targets, const std::function<int(Target &, CounterClient &)> &work,
          QString *table, QJsonArray *linesJson)
{
    QVector<LineTask> tasks;
    for (Target &t : targets) {
        Target *target = &t;
        tasks.append({t.label(), t.port, [target, &work](CounterClient &client) { return work(*target, client); }});
    }
    // Ctrl-C and SIGTERM stop every line after the frame in flight.
    stopsignal::catchStops();
    PlantRun run;
    QObject stopContext;
    stopsignal::watch(&stopContext, [&run] { run.stop(); });
    if (stopsignal::caught())
        run.stop();
    const QVector<LineOutcome> outcomes = run.run(
        tasks, [&inv, &targets](int line, const QString &text) {
            progress(inv, QStringLiteral("%1: %2").arg(targets[line].label(), text));
        },
        [&targets](int line, const QString &text) { problem(targets[line], text); });
    stopsignal::unwatch();

    int worst = kDone;
    qint64 firstSent = -1, lastEnded = 0;
    QStringList head{QStringLiteral("LINE"), QStringLiteral("DEVICES"), QStringLiteral("RESULT"), QStringLiteral("TIME")};
    QList<QStringList> rows;
    for (int i = 0; i < targets.size(); ++i) {
        Target &t = targets[i];
        const LineOutcome &o = outcomes[i];
        int code = o.code;
        if (!o.opened) {
            code = kPortFailed;
            t.result = QStringLiteral("port failed");
        }
        worst = std::max(worst, code);
        if (o.firstSentNs >= 0 && (firstSent < 0 || o.firstSentNs < firstSent))
            firstSent = o.firstSentNs;
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
        error(QStringLiteral("timing: %1 ms from first byte sent to result ready").arg((lastEnded - firstSent) / 1e6, 0, 'f', 3));
    return worst;
}

// ---------------------------------------------------------------- backup of a line

int backupLine(const Invocation &inv, Target &t, CounterClient &client)
{
    const bool probe = t.devices.isEmpty();
    const QVector<int> devices = probe ? QVector<int>{0, 1, 2, 3, 4, 5, 6, 7} : t.devices;
    int code = kDone;
    for (int d : devices) {
        const ReadResult r = readDevice(client, d, inv.read, probe);
        if (r.lost)
            return lostLine(t, client);
        if (r.interrupted)
            return stopped(t, client, QStringLiteral("interrupted while reading device %1").arg(d));
        if (r.values.isEmpty() && probe) {
            progress(inv, QStringLiteral("%1: device %2: no answer").arg(t.label()).arg(d));
            continue;
        }
        if (!r.complete()) {
            problem(t, r.values.isEmpty() ? QStringLiteral("device %1 did not answer; not saved").arg(d)
                                          : QStringLiteral("device %1: incomplete answer, missing %2; not saved").arg(d).arg(missingNames(r)));
            code = kNoAnswer;
            continue;
        }
        t.read.append({d, r.values});
        ++t.found;
        progress(inv, QStringLiteral("%1: device %2 read").arg(t.label()).arg(d));
    }
    if (t.read.isEmpty() && code == kDone) {
        problem(t, QStringLiteral("no counter answered"));
        code = kNoAnswer;
    }
    t.result = code == kDone ? QStringLiteral("saved")
             : t.read.isEmpty() ? QStringLiteral("nothing saved") : QStringLiteral("incomplete");
    return code;
}

// ---------------------------------------------------------------- check of a line

int checkLine(const Invocation &inv, Target &t, CounterClient &client)
{
    int code = kDone, differences = 0;
    for (const SavedDevice &saved : t.saved->devices) {
        const ReadResult r = readDevice(client, saved.device, inv.read, false);
        if (r.lost)
            return lostLine(t, client);
        if (r.interrupted)
            return stopped(t, client, QStringLiteral("interrupted while reading device %1").arg(saved.device));
        if (r.values.isEmpty()) {
            problem(t, QStringLiteral("device %1 did not answer; not checked").arg(saved.device));
            code = kNoAnswer;
            continue;
        }
        ++t.found;
        QStringList unread;
        int here = 0;
        for (const Parameter &p : parameterTable()) {
            if (!compared(p, inv.withActual) || !saved.values.contains(p.index))
                continue;
            const QString want = saved.values.value(p.index);
            if (!r.values.contains(p.index)) {
                unread << scriptName(p);
                continue;
            }
            const QString live = r.values.value(p.index);
            if (live == want)
                continue;
            ++here;
            t.rows << QStringList{t.label(), QString::number(saved.device), scriptName(p), want, live};
            t.json.append(QJsonObject{{QStringLiteral("line"), t.name},
                                      {QStringLiteral("port"), t.port},
                                      {QStringLiteral("device"), saved.device},
                                      {QStringLiteral("name"), scriptName(p)},
                                      {QStringLiteral("saved"), want},
                                      {QStringLiteral("live"), live}});
        }
        differences += here;
        if (!unread.isEmpty()) {
            problem(t, QStringLiteral("device %1: incomplete answer, %2 not checked").arg(saved.device).arg(unread.join(QStringLiteral(", "))));
            code = kNoAnswer;
        }
        progress(inv, here ? QStringLiteral("%1: device %2: %3").arg(t.label()).arg(saved.device).arg(plural(here, "setting differs", "settings differ"))
                           : QStringLiteral("%1: device %2 matches").arg(t.label()).arg(saved.device));
    }
    if (differences)
        code = std::max(code, int(kDiffers));
    t.result = code == kDone ? QStringLiteral("matches")
             : differences ? plural(differences, "setting differs", "settings differ")
                           : QStringLiteral("not all checked");
    if (differences && code != kDiffers)
        t.result += QStringLiteral(", not all checked");
    return code;
}

// ---------------------------------------------------------------- restore of a line

int restoreLine(const Invocation &inv, Target &t, CounterClient &client)
{
    int code = kDone, sent = 0, toWrite = 0;
    for (const SavedDevice &saved : t.saved->devices) {
        const int d = saved.device;
        const ReadResult now = readDevice(client, d, inv.read, false);
        if (now.lost)
            return lostLine(t, client);
        if (now.interrupted)
            return stopped(t, client, QStringLiteral("interrupted while reading device %1").arg(d));
        if (!now.complete()) {
            problem(t, QStringLiteral("device %1: %2; nothing written to it")
                           .arg(d).arg(now.values.isEmpty() ? QStringLiteral("no answer")
                                                            : QStringLiteral("incomplete answer, missing %1").arg(missingNames(now))));
            code = std::max(code, int(kNoAnswer));
            continue;
        }
        ++t.found;
        QVector<WriteStep> steps;
        QHash<char, int> rowOf;   // index -> row in t.rows, for the read-back
        for (const Parameter &p : parameterTable()) {
            if (!p.hasSetting || !saved.values.contains(p.index))
                continue;
            const QString held = now.values.value(p.index), wanted = saved.values.value(p.index);
            if (held == wanted)
                continue;
            // The one-line restore's rules: ACTUAL only when asked, --only and --skip.
            QString why;
            if (inv.skip.contains(p.index))
                why = QStringLiteral("--skip");
            else if (!inv.only.isEmpty() && !inv.only.contains(p.index))
                why = QStringLiteral("not in --only");
            else if (p.index == '1' && !inv.withActual && !inv.only.contains(p.index))
                why = QStringLiteral("a count, not a setting; --with-actual restores it");
            QString action;
            if (!why.isEmpty()) {
                action = QStringLiteral("left out (%1)").arg(why);
            } else {
                action = inv.dryRun ? QStringLiteral("would write") : QStringLiteral("write");
                steps.append({p.index, wanted});
                rowOf.insert(p.index, int(t.rows.size()));
            }
            t.rows << QStringList{t.label(), QString::number(d), scriptName(p), held, wanted, action, QString(), why};
        }
        toWrite += int(steps.size());
        if (steps.isEmpty()) {
            progress(inv, QStringLiteral("%1: device %2 matches the file").arg(t.label()).arg(d));
            continue;
        }
        if (inv.dryRun) {
            progress(inv, QStringLiteral("%1: device %2: %3 (dry run)").arg(t.label()).arg(d).arg(plural(int(steps.size()), "value would be written", "values would be written")));
            continue;
        }
        const WriteReport w = client.write(d, steps, inv.read);
        sent += w.sent;
        if (w.lost) {
            for (int i = 0; i < w.steps.size(); ++i)
                t.rows[rowOf.value(w.steps[i].index)][6] = i < w.sent ? QStringLiteral("sent, not verified") : QStringLiteral("not sent");
            if (client.lostFault() == SerialFault::Busy)
                return lostLine(t, client);
            problem(t, QStringLiteral("device %1: the line was lost after %2 of %3 values were sent: %4")
                           .arg(d).arg(w.sent).arg(w.steps.size()).arg(client.lostReason()));
            t.result = QStringLiteral("line lost");
            return kLineLost;
        }
        if (w.interrupted && w.readBack.values.isEmpty()) {
            for (int i = 0; i < w.steps.size(); ++i)
                t.rows[rowOf.value(w.steps[i].index)][6] = i < w.sent ? QStringLiteral("sent, not verified") : QStringLiteral("not sent");
            return stopped(t, client, QStringLiteral("device %1: stopped after %2 of %3 values were sent").arg(d).arg(w.sent).arg(w.steps.size()));
        }
        for (const WriteStep &step : w.steps) {
            const QString read = w.readBack.values.value(step.index);
            t.rows[rowOf.value(step.index)][6] = read.isEmpty() ? (w.interrupted ? QStringLiteral("not verified") : QStringLiteral("no answer"))
                                                : read == step.field ? QStringLiteral("written")
                                                                     : QStringLiteral("MISMATCH (reads %1)").arg(read);
        }
        for (const Mismatch &m : w.mismatches)
            problem(t, QStringLiteral("device %1: %2 was sent as %3 but reads back as %4").arg(d).arg(nameOf(m.index), m.sent, m.read));
        if (w.interrupted)
            return stopped(t, client, QStringLiteral("device %1: stopped while reading back").arg(d));
        if (!w.mismatches.isEmpty())
            code = std::max(code, int(kMismatch));
        else if (!w.unverified.isEmpty()) {
            problem(t, QStringLiteral("device %1: sent, but no value came back for some").arg(d));
            code = std::max(code, int(kNoAnswer));
        }
        if (w.mismatches.isEmpty() && w.unverified.isEmpty())
            progress(inv, QStringLiteral("%1: device %2: all %3 read back").arg(t.label()).arg(d).arg(w.steps.size()));
    }
    for (const QStringList &row : std::as_const(t.rows))
        t.json.append(QJsonObject{{QStringLiteral("line"), t.name},
                                  {QStringLiteral("device"), row[1].toInt()},
                                  {QStringLiteral("name"), row[2]},
                                  {QStringLiteral("now"), row[3]},
                                  {QStringLiteral("file"), row[4]},
                                  {QStringLiteral("action"), row[5]},
                                  {QStringLiteral("result"), row[6].isEmpty() ? QJsonValue() : QJsonValue(row[6])}});
    if (code == kDone)
        t.result = toWrite == 0 ? QStringLiteral("matches")
                 : inv.dryRun ? QStringLiteral("would write %1").arg(toWrite)
                              : QStringLiteral("%1 written").arg(sent);
    else if (t.result.isEmpty())
        t.result = code == kMismatch ? QStringLiteral("mismatch") : QStringLiteral("not all restored");
    return code;
}

// ---------------------------------------------------------------- the lines of a file

// The lines a check or restore serves: the file's lines (or those --line
// names), each on the port the plant file gives it, else on the port saved.
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
        t.name = l.name;
        t.saved = &l;
        if (withPlant) {
            const PlantLine *p = plant.find(l.name);
            if (!p) {
                error(QStringLiteral("%1 has no line \u201C%2\u201D, which %3 holds").arg(inv.plant, l.name, inv.arguments.first()));
                return kUsage;
            }
            t.port = p->port;
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

int loadSnapshot(const Invocation &inv, Snapshot *snapshot)
{
    if (inv.arguments.size() != 1) {
        error(QStringLiteral("%1 needs exactly one FILE (try kestran-ctl help %1)").arg(inv.command));
        return kUsage;
    }
    const QString path = inv.arguments.first();
    QByteArray bytes;
    QString why;
    if (!readInput(path, &bytes, &why)) {
        error(why);
        return kUsage;
    }
    if (!parseSnapshot(bytes, snapshot, &why)) {
        error(QStringLiteral("%1: %2").arg(path, why));
        return kUsage;
    }
    return kDone;
}

} // namespace

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
    const bool toStdout = inv.output == QLatin1String("-");
    QSaveFile file(inv.output);
    if (!toStdout && !file.open(QIODevice::WriteOnly)) {
        error(QStringLiteral("cannot write %1: %2").arg(inv.output, file.errorString()));
        return kUsage;
    }
    QVector<Target> targets;
    for (const PlantLine &l : plant.lines) {
        if (!chosen.isEmpty() && !chosen.contains(l.name))
            continue;
        Target t;
        t.name = l.name;
        t.port = l.port;
        t.devices = l.devices;
        targets.append(t);
    }
    QString table;
    const int worst = serve(inv, targets, [&inv](Target &t, CounterClient &c) { return backupLine(inv, t, c); },
                            &table, nullptr);
    // Standard output may carry the snapshot: the table goes to stderr then.
    if (toStdout)
        say(table);
    else
        out(table);

    if (stopsignal::caught()) {
        error(QStringLiteral("interrupted; nothing saved"));
        return interruptedExit();
    }
    Snapshot snapshot;
    snapshot.plant = true;
    const QDateTime now = QDateTime::currentDateTime();
    snapshot.created = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
    snapshot.tool = QStringLiteral("kestran-ctl %1").arg(QStringLiteral(KESTRAN_VERSION));
    int saved = 0;
    for (const Target &t : std::as_const(targets)) {
        if (t.read.isEmpty())
            continue;
        snapshot.lines.append({t.name, t.port, t.read});
        saved += int(t.read.size());
    }
    if (snapshot.lines.isEmpty()) {
        error(QStringLiteral("no counter answered on any line; nothing saved"));
        return std::max(worst, int(kNoAnswer));
    }
    const QByteArray json = snapshot.toJson();
    if (toStdout) {
        if (!out(QString::fromUtf8(json)))
            return kOutputFailed;   // said by finishOutput
    } else if (file.write(json) != json.size() || !file.commit()) {
        // The lines have been read by now: not a usage error.
        error(QStringLiteral("writing %1 failed: %2").arg(inv.output, file.errorString()));
        return kOutputFailed;
    }
    progress(inv, QStringLiteral("%1 on %2 saved to %3")
                      .arg(plural(saved, "device", "devices"), plural(int(snapshot.lines.size()), "line", "lines"), inv.output));
    return worst;
}

// ---------------------------------------------------------------- check

int runCheck(const Invocation &inv)
{
    Snapshot snapshot;
    if (int rc = loadSnapshot(inv, &snapshot))
        return rc;
    QVector<Target> targets;
    if (int rc = targetsOf(inv, snapshot, &targets))
        return rc;
    const bool json = inv.format == Format::Json;
    QJsonArray lines;
    QString table;
    const int worst = serve(inv, targets, [&inv](Target &t, CounterClient &c) { return checkLine(inv, t, c); },
                            &table, json ? &lines : nullptr);
    QList<QStringList> rows;
    for (const Target &t : std::as_const(targets))
        rows << t.rows;
    if (inv.format == Format::Csv) {
        out(renderCsvText({QStringLiteral("line"), QStringLiteral("device"), QStringLiteral("name"),
                           QStringLiteral("saved"), QStringLiteral("live")}, rows));
        say(table);
        return worst;
    }
    if (json) {
        const QJsonArray differences = jsonRowsOf(targets);
        out(jsonText(QJsonObject{{QStringLiteral("result"), worst == kDone ? QStringLiteral("matches")
                                                            : worst == kDiffers ? QStringLiteral("differs")
                                                                                : QStringLiteral("failed")},
                                 {QStringLiteral("exit"), worst},
                                 {QStringLiteral("compared"), inv.withActual ? QStringLiteral("settings, ACTUAL and DIFFERENCE")
                                                                              : QStringLiteral("settings")},
                                 {QStringLiteral("differences"), differences},
                                 {QStringLiteral("lines"), lines}}));
        say(table);
        return worst;
    }
    if (!rows.isEmpty())
        out(renderTableText({QStringLiteral("LINE"), QStringLiteral("DEVICE"), QStringLiteral("NAME"),
                             QStringLiteral("SAVED"), QStringLiteral("LIVE")}, rows) + QLatin1Char('\n'));
    out(table);
    return worst;
}

// ---------------------------------------------------------------- restore of a snapshot

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
    Snapshot snapshot;
    if (int rc = loadSnapshot(inv, &snapshot))
        return rc;
    if (!snapshot.plant) {
        error(QStringLiteral("%1 is a one-line backup: restore it with --port, without --plant or --line").arg(inv.arguments.first()));
        return kUsage;
    }
    QVector<Target> targets;
    if (int rc = targetsOf(inv, snapshot, &targets))
        return rc;
    const bool json = inv.format == Format::Json;
    QJsonArray lines;
    QString table;
    const int worst = serve(inv, targets, [&inv](Target &t, CounterClient &c) { return restoreLine(inv, t, c); },
                            &table, json ? &lines : nullptr);
    if (json) {
        const QJsonArray values = jsonRowsOf(targets);
        out(jsonText(QJsonObject{{QStringLiteral("exit"), worst},
                                 {QStringLiteral("dry_run"), inv.dryRun},
                                 {QStringLiteral("values"), values},
                                 {QStringLiteral("lines"), lines}}));
        say(table);
        return worst;
    }
    QList<QStringList> rows;
    for (const Target &t : std::as_const(targets)) {
        for (const QStringList &row : t.rows) {
            if (inv.format == Format::Csv)   // the action and why apart, as the one-line restore gives them
                rows << (row.mid(0, 5) << (row[7].isEmpty() ? row[5] : QStringLiteral("left out")) << row[7]);
            else
                rows << row.mid(0, 7);
        }
    }
    if (inv.format == Format::Csv) {
        out(renderCsvText({QStringLiteral("line"), QStringLiteral("device"), QStringLiteral("name"), QStringLiteral("now"),
                           QStringLiteral("file"), QStringLiteral("action"), QStringLiteral("why")}, rows));
        say(table);
        return worst;
    }
    if (!rows.isEmpty())
        out(renderTableText({QStringLiteral("LINE"), QStringLiteral("DEVICE"), QStringLiteral("NAME"), QStringLiteral("NOW"),
                             QStringLiteral("FILE"), QStringLiteral("ACTION"), QStringLiteral("RESULT")}, rows)
            + QLatin1Char('\n'));
    out(table);
    return worst;
}

} // namespace kestran::cli
