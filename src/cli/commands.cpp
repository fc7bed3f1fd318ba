// The subcommands that ask the counters: ports, read, write, backup, restore, scan.
#include "cli.h"

#include "backupfile.h"
#include "linetrace.h"
#include "mdlcomport.h"
#include "parameters.h"
#include "portlist.h"
#include "valueinput.h"
#include "values.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace kestran::cli {

namespace {

struct Table {
    QStringList head;
    QList<QStringList> rows;
};

QString renderTable(const Table &table)
{
    // No cell can steer the terminal: control characters are shown escaped.
    Table t{table.head, {}};
    for (const QStringList &row : table.rows) {
        QStringList shown;
        for (const QString &cell : row)
            shown << withoutControls(cell);
        t.rows << shown;
    }
    QVector<int> width(t.head.size(), 0);
    auto measure = [&](const QStringList &row) {
        for (int i = 0; i < row.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], int(row[i].size()));
    };
    measure(t.head);
    for (const QStringList &row : t.rows)
        measure(row);
    QString text;
    auto line = [&](const QStringList &row) {
        QString l;
        for (int i = 0; i < row.size(); ++i)
            l += i + 1 < row.size() ? row[i].leftJustified(width[i] + 2) : row[i];
        text += l.trimmed() + QLatin1Char('\n');
    };
    line(t.head);
    for (const QStringList &row : t.rows)
        line(row);
    return text;
}

// RFC 4180: a field holding a comma, a quote or a line break is quoted, its
// quotes doubled; every record ends with CR LF.
QString csvField(const QString &text)
{
    const QString f = withoutControls(text);
    if (!f.contains(QLatin1Char(',')) && !f.contains(QLatin1Char('"')))
        return f;
    return QLatin1Char('"') + QString(f).replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

QString renderCsv(const Table &t, bool withHead = true)
{
    QString text;
    auto line = [&](const QStringList &row) {
        QStringList fields;
        for (const QString &f : row)
            fields << csvField(f);
        text += fields.join(QLatin1Char(',')) + QLatin1String("\r\n");
    };
    if (withHead)
        line(t.head);
    for (const QStringList &row : t.rows)
        line(row);
    return text;
}

QString jsonLine(const QJsonValue &v)
{
    const QByteArray json = v.isArray() ? QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact)
                                        : QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json) + QLatin1Char('\n');
}

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

// The whole number of a value field, or null when it is none.
QJsonValue numberOf(const QString &field)
{
    bool ok = false;
    const qint64 n = formatDisplay(field).toLongLong(&ok);
    return ok ? QJsonValue(n) : QJsonValue(QJsonValue::Null);
}

int noPositional(const Invocation &inv)
{
    if (inv.arguments.isEmpty())
        return kDone;
    error(QStringLiteral("%1 takes no argument \u201C%2\u201D (try kestran-ctl help %1)").arg(inv.command, inv.arguments.first()));
    return kUsage;
}

int needDevice(const Invocation &inv)
{
    if (inv.device >= 0)
        return kDone;
    error(QStringLiteral("%1 needs a device number: -d N (0 to 7)").arg(inv.command));
    return kUsage;
}

// Reports a lost line and gives its exit code.
int lineLost(Session &s)
{
    error(QStringLiteral("the line was lost: %1").arg(client(s).lostReason()));
    return kLineLost;
}

} // namespace

// ---------------------------------------------------------------- ports

int runPorts(const Invocation &inv)
{
    if (int rc = noPositional(inv))
        return rc;
    // Nothing goes over a line here, but a trace file asked for must still be writable.
    LineTrace trace;
    QString why;
    if (!inv.trace.isEmpty() && !trace.open(inv.trace, &why)) {
        error(why);
        return kUsage;
    }
    PortTable &table = mdlCOMPort::portTable();
    const QVector<PortRow> rows = listPorts(table);
    if (inv.format == Format::Json) {
        QJsonArray list;
        for (const PortRow &r : rows)
            list.append(QJsonObject{{QStringLiteral("port"), QStringLiteral("COM%1").arg(r.number)},
                                    {QStringLiteral("number"), r.number},
                                    {QStringLiteral("path"), r.path},
                                    {QStringLiteral("description"), r.description},
                                    {QStringLiteral("status"), statusWord(r)},
                                    {QStringLiteral("pid"), r.holder ? QJsonValue(r.holder) : QJsonValue()}});
        out(jsonLine(list));
        return kDone;
    }
    if (inv.format == Format::Csv) {
        Table t{{QStringLiteral("port"), QStringLiteral("number"), QStringLiteral("path"), QStringLiteral("status"),
                 QStringLiteral("pid"), QStringLiteral("description")}, {}};
        for (const PortRow &r : rows)
            t.rows << QStringList{QStringLiteral("COM%1").arg(r.number), QString::number(r.number), r.path, statusWord(r),
                                  r.holder ? QString::number(r.holder) : QString(), r.description};
        out(renderCsv(t));
        return kDone;
    }
    Table t{{QStringLiteral("PORT"), QStringLiteral("PATH"), QStringLiteral("STATUS"), QStringLiteral("DESCRIPTION")}, {}};
    for (const PortRow &r : rows)
        t.rows << QStringList{QStringLiteral("COM%1").arg(r.number), r.path, statusText(r), r.description};
    if (rows.isEmpty())
        progress(inv, QStringLiteral("this computer has no serial port"));
    else
        out(renderTable(t));
    return kDone;
}

// ---------------------------------------------------------------- read

int runRead(const Invocation &inv)
{
    if (int rc = noPositional(inv))
        return rc;
    if (int rc = needDevice(inv))
        return rc;
    int rc = kDone;
    SessionPtr s = openSession(inv, &rc);
    if (!s)
        return rc;
    const ReadResult r = client(*s).read(inv.device, inv.read);
    reportTiming(*s);
    if (r.lost)
        return lineLost(*s);

    if (inv.format == Format::Json) {
        QJsonArray values, missing;
        for (auto it = r.values.cbegin(); it != r.values.cend(); ++it)
            values.append(QJsonObject{{QStringLiteral("name"), nameOf(it.key())},
                                      {QStringLiteral("index"), it.key() - '0'},
                                      {QStringLiteral("field"), it.value()},
                                      {QStringLiteral("number"), numberOf(it.value())}});
        for (char i : r.missing())
            missing.append(nameOf(i));
        out(jsonLine(QJsonObject{{QStringLiteral("device"), inv.device},
                                 {QStringLiteral("complete"), r.complete()},
                                 {QStringLiteral("values"), values},
                                 {QStringLiteral("missing"), missing}}));
    } else {
        Table t;
        if (inv.format == Format::Csv)
            t.head = QStringList{QStringLiteral("device"), QStringLiteral("name"), QStringLiteral("index"),
                                 QStringLiteral("field"), QStringLiteral("number")};
        else
            t.head = QStringList{QStringLiteral("NAME"), QStringLiteral("INDEX"), QStringLiteral("FIELD"), QStringLiteral("NUMBER")};
        for (auto it = r.values.cbegin(); it != r.values.cend(); ++it) {
            QStringList row{nameOf(it.key()), QString(QLatin1Char(it.key())), lineText(it.value()),
                            lineText(formatDisplay(it.value()))};
            if (inv.format == Format::Csv)
                row.prepend(QString::number(inv.device));
            t.rows << row;
        }
        if (inv.format == Format::Csv)
            out(renderCsv(t));
        else if (!r.values.isEmpty())
            out(renderTable(t));
    }
    if (r.values.isEmpty()) {
        error(QStringLiteral("device %1 did not answer (%2 attempt%3)").arg(inv.device).arg(r.attempts)
                  .arg(r.attempts == 1 ? "" : "s"));
        return kNoAnswer;
    }
    if (!r.complete()) {
        error(QStringLiteral("device %1: incomplete answer, missing %2").arg(inv.device).arg(namesOf(r.missing())));
        return kNoAnswer;
    }
    return kDone;
}

// ---------------------------------------------------------------- write

namespace {

// Prints the sent and read-back values and gives the exit code of a write.
int reportWrite(const Invocation &inv, Session &s, const WriteReport &w, QJsonArray *json)
{
    const int device = w.device;
    if (w.lost) {
        QStringList done, notSent;
        for (int i = 0; i < w.steps.size(); ++i)
            (i < w.written ? done : notSent) << nameOf(w.steps[i].index);
        error(QStringLiteral("device %1: the line was lost after %2 of %3 writes (%4): %5%6")
                  .arg(device).arg(w.written).arg(w.steps.size())
                  .arg(done.isEmpty() ? QStringLiteral("nothing written")
                                      : QStringLiteral("written: %1").arg(done.join(QStringLiteral(", "))))
                  .arg(client(s).lostReason())
                  .arg(notSent.isEmpty() ? QString()
                                         : QStringLiteral("; not sent: %1").arg(notSent.join(QStringLiteral(", ")))));
        return kLineLost;
    }
    Table t{{QStringLiteral("NAME"), QStringLiteral("SENT"), QStringLiteral("READ"), QStringLiteral("RESULT")}, {}};
    for (const WriteStep &step : w.steps) {
        const QString read = w.readBack.values.value(step.index);
        const QString result = read.isEmpty() ? QStringLiteral("no answer")
                             : read == step.field ? QStringLiteral("ok") : QStringLiteral("MISMATCH");
        t.rows << QStringList{nameOf(step.index), step.field, read.isEmpty() ? QStringLiteral("-") : lineText(read), result};
        if (json)
            json->append(QJsonObject{{QStringLiteral("device"), device},
                                     {QStringLiteral("name"), nameOf(step.index)},
                                     {QStringLiteral("sent"), step.field},
                                     {QStringLiteral("read"), read.isEmpty() ? QJsonValue() : QJsonValue(read)},
                                     {QStringLiteral("result"), result.toLower()}});
    }
    if (!json)
        out(renderTable(t));
    for (const Mismatch &m : w.mismatches)
        error(QStringLiteral("device %1: %2 was written as %3 but reads back as %4")
                  .arg(device).arg(nameOf(m.index), m.sent, lineText(m.read)));
    if (!w.mismatches.isEmpty())
        return kMismatch;
    if (!w.unverified.isEmpty()) {
        error(QStringLiteral("device %1: written, but no value came back for %2").arg(device).arg(namesOf(w.unverified)));
        return kNoAnswer;
    }
    progress(inv, QStringLiteral("device %1: all %2 written values read back").arg(device).arg(w.steps.size()));
    return kDone;
}

} // namespace

int runWrite(const Invocation &inv)
{
    if (int rc = needDevice(inv))
        return rc;
    if (inv.arguments.isEmpty()) {
        error(QStringLiteral("write needs at least one NAME=VALUE (try kestran-ctl help write)"));
        return kUsage;
    }
    // Every assignment is checked before the port is opened.
    QVector<WriteStep> steps;
    for (const QString &arg : inv.arguments) {
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (eq < 0) {
            error(QStringLiteral("\u201C%1\u201D is not NAME=VALUE").arg(arg));
            return kUsage;
        }
        const QString name = arg.left(eq);
        const Parameter *p = parameterByName(name);
        if (!p) {
            error(QStringLiteral("\u201C%1\u201D: unknown name (TARGET, ACTUAL, RESET, DEBOUNCE0, DEBOUNCE1, DEBOUNCE2, ALARM)")
                      .arg(name));
            return kUsage;
        }
        QString why;
        const QString field = valueFieldFor(*p, arg.mid(eq + 1), &why);
        if (field.isEmpty()) {
            error(QStringLiteral("%1: %2").arg(arg, why));
            return kUsage;
        }
        for (const WriteStep &s : steps) {
            if (s.index == p->index) {
                error(QStringLiteral("%1 is given twice").arg(scriptName(*p)));
                return kUsage;
            }
        }
        steps.append({p->index, field});
    }
    int rc = kDone;
    SessionPtr s = openSession(inv, &rc);
    if (!s)
        return rc;
    const WriteReport w = client(*s).write(inv.device, steps, inv.read);
    reportTiming(*s);
    QJsonArray json;
    rc = reportWrite(inv, *s, w, inv.format == Format::Json ? &json : nullptr);
    if (inv.format == Format::Json && !w.lost)
        out(jsonLine(json));
    return rc;
}

// ---------------------------------------------------------------- backup

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
    // The file must be writable before anything is asked. A file is replaced
    // whole or not at all; a device or pipe (/dev/stdout, a FIFO) is written to
    // as it is, since it cannot be replaced.
    const bool toStdout = isStdStream(inv.output);
    const QFileInfo target(inv.output);
    const bool inPlace = !toStdout && target.exists()
        && (!target.isFile() || inv.output.startsWith(QLatin1String("/dev/std"))
            || inv.output.startsWith(QLatin1String("/dev/fd/")) || inv.output.startsWith(QLatin1String("/proc/")));
    QSaveFile saveFile(inv.output);
    QFile deviceFile(inv.output);
    QFileDevice &file = inPlace ? static_cast<QFileDevice &>(deviceFile) : saveFile;
    // A regular file behind such a name (/dev/stdout of "> file" or ">> file")
    // is appended to, never cut short.
    const QIODevice::OpenMode mode = inPlace && target.isFile() ? QIODevice::WriteOnly | QIODevice::Append
                                                                 : QIODevice::WriteOnly;
    if (!toStdout && !file.open(mode)) {
        error(QStringLiteral("cannot write %1: %2").arg(inv.output, file.errorString()));
        return kUsage;
    }
    int rc = kDone;
    SessionPtr s = openSession(inv, &rc);
    if (!s)
        return rc;

    Backup backup;
    backup.created = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    backup.tool = QStringLiteral("kestran-ctl %1").arg(QStringLiteral(KESTRAN_VERSION));
    backup.port = inv.port.trimmed();
    bool incomplete = false;
    const QVector<int> devices = inv.all ? QVector<int>{0, 1, 2, 3, 4, 5, 6, 7} : QVector<int>{inv.device};
    for (int d : devices) {
        ReadOptions options = inv.read;
        if (inv.all) {
            // A device that says nothing at all is absent: it is not asked again.
            ReadOptions once = options;
            once.retries = 0;
            ReadResult r = client(*s).read(d, once);
            if (r.lost)
                return lineLost(*s);
            if (r.values.isEmpty()) {
                progress(inv, QStringLiteral("device %1: no answer").arg(d));
                continue;
            }
            if (!r.complete() && options.retries > 0) {
                options.retries -= 1;
                const ReadResult again = client(*s).read(d, options);
                if (again.lost)
                    return lineLost(*s);
                for (auto it = again.values.cbegin(); it != again.values.cend(); ++it)
                    r.values.insert(it.key(), it.value());
            }
            if (!r.complete()) {
                error(QStringLiteral("device %1: incomplete answer, missing %2; not saved").arg(d).arg(namesOf(r.missing())));
                incomplete = true;
                continue;
            }
            backup.devices.append({d, r.values});
        } else {
            const ReadResult r = client(*s).read(d, options);
            if (r.lost)
                return lineLost(*s);
            if (!r.complete()) {
                if (r.values.isEmpty())
                    error(QStringLiteral("device %1 did not answer; nothing saved").arg(d));
                else
                    error(QStringLiteral("device %1: incomplete answer, missing %2; nothing saved").arg(d).arg(namesOf(r.missing())));
                return kNoAnswer;
            }
            backup.devices.append({d, r.values});
        }
        for (const Parameter &p : parameterTable()) {
            const QString v = backup.devices.last().values.value(p.index);
            if (p.hasSetting && !(isWellFormedField(v) && hasValueShape(p.shape, v)))
                error(QStringLiteral("device %1: %2 is \u201C%3\u201D, which has no value shape; a restore will refuse this file")
                          .arg(d).arg(scriptName(p), lineText(v)));
        }
        progress(inv, QStringLiteral("device %1: read").arg(d));
    }
    reportTiming(*s);
    if (backup.devices.isEmpty()) {
        error(incomplete ? QStringLiteral("no counter answered in full; nothing saved")
                         : QStringLiteral("no counter answered; nothing saved"));
        return kNoAnswer;
    }
    const QByteArray json = backup.toJson();
    if (toStdout) {
        out(QString::fromUtf8(json));
    } else if (file.write(json) != json.size() || !(inPlace ? deviceFile.flush() : saveFile.commit())) {
        error(QStringLiteral("writing %1 failed: %2").arg(inv.output, file.errorString()));
        return kUsage;
    }
    progress(inv, QStringLiteral("%1 device%2 saved to %3").arg(backup.devices.size())
                      .arg(backup.devices.size() == 1 ? "" : "s").arg(inv.output));
    return incomplete ? kNoAnswer : kDone;
}

// ---------------------------------------------------------------- restore

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
    // "-" reads the backup from standard input.
    const bool fromStdin = isStdStream(inv.arguments.first());
    const QString path = fromStdin ? QStringLiteral("standard input") : inv.arguments.first();
    QFile f(inv.arguments.first());
    if (!(fromStdin ? f.open(stdin, QIODevice::ReadOnly) : f.open(QIODevice::ReadOnly))) {
        error(QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
        return kUsage;
    }
    // A backup is a few kB; anything far larger is not one. A pipe gives it in pieces.
    constexpr qint64 kMaxBackup = 4 * 1024 * 1024;
    QByteArray bytes;
    while (bytes.size() <= kMaxBackup) {
        const QByteArray piece = f.read(kMaxBackup + 1 - bytes.size());
        if (piece.isEmpty())
            break;
        bytes += piece;
    }
    if (f.error() != QFileDevice::NoError) {
        error(QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
        return kUsage;
    }
    if (bytes.size() > kMaxBackup) {
        error(QStringLiteral("%1: too large for a backup file").arg(path));
        return kUsage;
    }
    Backup backup;
    QString why;
    if (!parseBackup(bytes, &backup, &why)) {
        error(QStringLiteral("%1: %2").arg(path, why));
        return kUsage;
    }
    struct Job {
        const SavedDevice *saved;
        int target;
    };
    QVector<Job> jobs;
    if (inv.from >= 0 && inv.device < 0) {
        error(QStringLiteral("--from M needs -d N, the device to copy onto"));
        return kUsage;
    }
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

    int rc = kDone;
    SessionPtr s = openSession(inv, &rc);
    if (!s)
        return rc;
    int worst = kDone;
    QJsonArray json;
    bool csvHeadDone = false;
    for (const Job &job : jobs) {
        const ReadResult now = client(*s).read(job.target, inv.read);
        if (now.lost)
            return lineLost(*s);
        if (!now.complete()) {
            error(QStringLiteral("device %1: %2; nothing written to it")
                      .arg(job.target)
                      .arg(now.values.isEmpty() ? QStringLiteral("no answer")
                                                : QStringLiteral("incomplete answer, missing %1").arg(namesOf(now.missing()))));
            worst = std::max(worst, int(kNoAnswer));
            continue;
        }
        QVector<WriteStep> steps;
        Table t{{QStringLiteral("NAME"), QStringLiteral("NOW"), QStringLiteral("FILE"), QStringLiteral("ACTION")}, {}};
        Table csv{{QStringLiteral("device"), QStringLiteral("from"), QStringLiteral("name"), QStringLiteral("now"),
                   QStringLiteral("file"), QStringLiteral("action")}, {}};
        for (const Parameter &p : parameterTable()) {
            const QString held = now.values.value(p.index);
            const bool saved = job.saved->values.contains(p.index);
            const QString wanted = job.saved->values.value(p.index);
            QString action;
            if (!saved)
                action = QStringLiteral("not in file");
            else if (!p.hasSetting)
                action = QStringLiteral("read-only");
            else if (held == wanted)
                action = QStringLiteral("same");
            else
                action = inv.dryRun ? QStringLiteral("would write") : QStringLiteral("write");
            if (saved && p.hasSetting && held != wanted)
                steps.append({p.index, wanted});
            t.rows << QStringList{scriptName(p), lineText(held), saved ? lineText(wanted) : QStringLiteral("-"), action};
            csv.rows << QStringList{QString::number(job.target), QString::number(job.saved->device), scriptName(p),
                                    lineText(held), saved ? lineText(wanted) : QString(), action};
            if (inv.format == Format::Json)
                json.append(QJsonObject{{QStringLiteral("device"), job.target},
                                        {QStringLiteral("from"), job.saved->device},
                                        {QStringLiteral("name"), scriptName(p)},
                                        {QStringLiteral("now"), held},
                                        {QStringLiteral("file"), saved ? QJsonValue(wanted) : QJsonValue()},
                                        {QStringLiteral("action"), action}});
        }
        if (inv.format == Format::Csv) {
            out(renderCsv(csv, !csvHeadDone));
            csvHeadDone = true;
        } else if (inv.format != Format::Json) {
            out(job.saved->device == job.target
                    ? QStringLiteral("device %1\n").arg(job.target)
                    : QStringLiteral("device %1 (from saved device %2)\n").arg(job.target).arg(job.saved->device));
            out(renderTable(t));
        }
        if (steps.isEmpty()) {
            progress(inv, QStringLiteral("device %1: matches the file, nothing to write").arg(job.target));
            continue;
        }
        if (inv.dryRun) {
            progress(inv, QStringLiteral("device %1: %2 value%3 differ (dry run, nothing written)")
                              .arg(job.target).arg(steps.size()).arg(steps.size() == 1 ? "" : "s"));
            continue;
        }
        const WriteReport w = client(*s).write(job.target, steps, inv.read);
        if (inv.format != Format::Json && !w.lost)
            out(QStringLiteral("written to device %1:\n").arg(job.target));
        QJsonArray results;
        const int code = reportWrite(inv, *s, w, inv.format == Format::Json ? &results : nullptr);
        // In JSON each written value's row also says what was read back.
        for (const QJsonValue &r : std::as_const(results)) {
            for (qsizetype i = 0; i < json.size(); ++i) {
                QJsonObject row = json[i].toObject();
                if (row.value(QLatin1String("device")) == r[QLatin1String("device")]
                    && row.value(QLatin1String("name")) == r[QLatin1String("name")]) {
                    row.insert(QStringLiteral("read"), r[QLatin1String("read")]);
                    row.insert(QStringLiteral("result"), r[QLatin1String("result")]);
                    json[i] = row;
                }
            }
        }
        if (code == kLineLost)
            return code;
        worst = std::max(worst, code);   // a mismatch (6) outweighs a missing answer (4)
    }
    reportTiming(*s);
    if (inv.format == Format::Json)
        out(jsonLine(json));
    return worst;
}

// ---------------------------------------------------------------- scan

int runScan(const Invocation &inv)
{
    if (int rc = noPositional(inv))
        return rc;
    int rc = kDone;
    SessionPtr s = openSession(inv, &rc);
    if (!s)
        return rc;
    QJsonArray json;
    Table csv{{QStringLiteral("device"), QStringLiteral("values")}, {}};
    int found = 0;
    for (int d = 0; d < 8; ++d) {
        const ReadResult r = client(*s).read(d, inv.read);
        if (r.lost)
            return lineLost(*s);
        if (r.values.isEmpty())
            continue;
        ++found;
        if (inv.format == Format::Json)
            json.append(QJsonObject{{QStringLiteral("device"), d}, {QStringLiteral("values"), int(r.values.size())}});
        else if (inv.format == Format::Csv)
            csv.rows << QStringList{QString::number(d), QString::number(r.values.size())};
        else
            out(QStringLiteral("device %1  answers (%2 of 8 values)\n").arg(d).arg(r.values.size()));
    }
    reportTiming(*s);
    if (inv.format == Format::Json)
        out(jsonLine(json));
    else if (inv.format == Format::Csv)
        out(renderCsv(csv));
    if (!found) {
        error(QStringLiteral("no device answered on %1").arg(inv.port.trimmed()));
        return kNoAnswer;
    }
    progress(inv, QStringLiteral("%1 device%2 found").arg(found).arg(found == 1 ? "" : "s"));
    return kDone;
}

} // namespace kestran::cli
