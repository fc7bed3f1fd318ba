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

// The names of the values a read is missing; a name for which only a
// damaged reply came says so.
QString missingText(const ReadResult &r)
{
    QStringList names;
    for (char i : r.missing())
        names << (r.garbled.contains(i) ? QStringLiteral("%1 (garbled)").arg(nameOf(i)) : nameOf(i));
    return names.join(QStringLiteral(", "));
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

    if (inv.format == Format::Json) {
        QJsonArray values, missing, garbled;
        for (auto it = r.values.cbegin(); it != r.values.cend(); ++it)
            values.append(QJsonObject{{QStringLiteral("name"), nameOf(it.key())},
                                      {QStringLiteral("index"), it.key() - '0'},
                                      {QStringLiteral("field"), it.value()},
                                      {QStringLiteral("number"), numberOf(it.value())}});
        for (char i : r.missing())
            missing.append(nameOf(i));
        for (char i : r.garbled)
            garbled.append(nameOf(i));
        out(jsonLine(QJsonObject{{QStringLiteral("device"), inv.device},
                                 {QStringLiteral("complete"), r.complete()},
                                 {QStringLiteral("values"), values},
                                 {QStringLiteral("missing"), missing},
                                 {QStringLiteral("garbled"), garbled}}));
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
    if (r.lost)
        return lineLost(*s);
    if (r.values.isEmpty() && r.garbled.isEmpty()) {
        error(QStringLiteral("device %1 did not answer (%2 attempt%3)").arg(inv.device).arg(r.attempts)
                  .arg(r.attempts == 1 ? "" : "s"));
        return kNoAnswer;
    }
    if (!r.complete()) {
        error(QStringLiteral("device %1: incomplete answer, missing %2").arg(inv.device).arg(missingText(r)));
        return kNoAnswer;
    }
    return kDone;
}

// ---------------------------------------------------------------- write

namespace {

// What became of one value of a write.
QString resultOf(const WriteReport &w, int i, bool reachedLine)
{
    if (i >= w.sent || !reachedLine)
        return QStringLiteral("not sent");
    if (w.lost || w.readBack.attempts == 0)
        return QStringLiteral("not verified");
    const QString read = w.readBack.values.value(w.steps[i].index);
    if (read.isEmpty())
        return w.interrupted ? QStringLiteral("not verified") : QStringLiteral("no answer");
    return read == w.steps[i].field ? QStringLiteral("ok") : QStringLiteral("mismatch");
}

// "written and verified: TARGET; sent, not verified: ACTUAL; not sent: RESET"
QString writeSummary(const WriteReport &w, bool reachedLine)
{
    const QList<QPair<QString, QString>> groups = {
        {QStringLiteral("ok"), QStringLiteral("written and verified")},
        {QStringLiteral("mismatch"), QStringLiteral("read back otherwise")},
        {QStringLiteral("no answer"), QStringLiteral("sent, no value came back")},
        {QStringLiteral("not verified"), QStringLiteral("sent, not verified")},
        {QStringLiteral("not sent"), QStringLiteral("not sent")},
    };
    QStringList parts;
    for (const auto &g : groups) {
        QStringList names;
        for (int i = 0; i < w.steps.size(); ++i)
            if (resultOf(w, i, reachedLine) == g.first)
                names << nameOf(w.steps[i].index);
        if (!names.isEmpty())
            parts << QStringLiteral("%1: %2").arg(g.second, names.join(QStringLiteral(", ")));
    }
    return parts.join(QStringLiteral("; "));
}

// Prints what was sent, read back and verified (a table on stdout, or rows in
// `json`), says what went wrong, and gives the exit code of a write.
int reportWrite(const Invocation &inv, Session &s, const WriteReport &w, QJsonArray *json)
{
    const int device = w.device;
    // A gateway whose port another client holds passed nothing on to the line.
    const bool busy = w.lost && client(s).lostFault() == SerialFault::Busy;
    const bool reachedLine = !busy;
    Table t{{QStringLiteral("NAME"), QStringLiteral("SENT"), QStringLiteral("READ"), QStringLiteral("RESULT")}, {}};
    for (int i = 0; i < w.steps.size(); ++i) {
        const WriteStep &step = w.steps[i];
        const QString result = resultOf(w, i, reachedLine);
        const bool sent = result != QLatin1String("not sent");
        const QString read = w.lost ? QString() : w.readBack.values.value(step.index);
        t.rows << QStringList{nameOf(step.index), sent ? step.field : QStringLiteral("-"),
                              read.isEmpty() ? QStringLiteral("-") : lineText(read),
                              result == QLatin1String("mismatch") ? QStringLiteral("MISMATCH") : result};
        if (json)
            json->append(QJsonObject{{QStringLiteral("device"), device},
                                     {QStringLiteral("name"), nameOf(step.index)},
                                     {QStringLiteral("value"), step.field},
                                     {QStringLiteral("sent"), sent ? QJsonValue(step.field) : QJsonValue()},
                                     {QStringLiteral("read"), read.isEmpty() ? QJsonValue() : QJsonValue(read)},
                                     {QStringLiteral("result"), result}});
    }
    if (!json)
        out(renderTable(t));
    if (busy) {
        error(QStringLiteral("device %1: %2; nothing written").arg(device).arg(client(s).lostReason()));
        return kPortFailed;
    }
    if (w.lost) {
        error(QStringLiteral("device %1: the line was lost after sending %2 of %3 values (%4): %5")
                  .arg(device).arg(w.sent).arg(w.steps.size())
                  .arg(client(s).lostReason(), writeSummary(w, reachedLine)));
        return kLineLost;
    }
    for (const Mismatch &m : w.mismatches)
        error(QStringLiteral("device %1: %2 was sent as %3 but reads back as %4")
                  .arg(device).arg(nameOf(m.index), m.sent, lineText(m.read)));
    if (w.interrupted) {
        error(QStringLiteral("device %1: interrupted after sending %2 of %3 values: %4")
                  .arg(device).arg(w.sent).arg(w.steps.size()).arg(writeSummary(w, reachedLine)));
        return interruptedExit();
    }
    if (!w.mismatches.isEmpty())
        return kMismatch;
    if (!w.unverified.isEmpty()) {
        QStringList names;
        for (char i : w.unverified)
            names << (w.readBack.garbled.contains(i) ? QStringLiteral("%1 (garbled)").arg(nameOf(i)) : nameOf(i));
        error(QStringLiteral("device %1: sent, but no value came back for %2")
                  .arg(device).arg(names.join(QStringLiteral(", "))));
        return kNoAnswer;
    }
    progress(inv, QStringLiteral("device %1: all %2 values written and read back").arg(device).arg(w.steps.size()));
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
    const bool json = inv.format == Format::Json;
    int rc = kDone;
    SessionPtr s = openSession(inv, &rc, true);
    if (!s) {
        if (json && rc != kUsage) {
            // Nothing was sent; the document says so all the same.
            QJsonArray rows;
            for (const WriteStep &step : steps)
                rows.append(QJsonObject{{QStringLiteral("device"), inv.device},
                                        {QStringLiteral("name"), nameOf(step.index)},
                                        {QStringLiteral("value"), step.field},
                                        {QStringLiteral("sent"), QJsonValue()},
                                        {QStringLiteral("read"), QJsonValue()},
                                        {QStringLiteral("result"), QStringLiteral("not sent")}});
            out(jsonLine(rows));
        }
        return rc;
    }
    const WriteReport w = client(*s).write(inv.device, steps, inv.read);
    reportTiming(*s);
    QJsonArray rows;
    rc = reportWrite(inv, *s, w, json ? &rows : nullptr);
    if (json)
        out(jsonLine(rows));
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
        // With --all a device that says nothing at all is absent: it is not asked again.
        ReadOptions first = options;
        if (inv.all)
            first.retries = 0;
        ReadResult r = client(*s).read(d, first);
        if (r.lost)
            return lineLost(*s);
        if (inv.all && r.values.isEmpty()) {
            progress(inv, QStringLiteral("device %1: no answer").arg(d));
            continue;
        }
        // A setting without its shape would make the file one a restore
        // refuses: it counts as missing and is asked for once more.
        QMap<char, QString> shapeless;
        auto dropShapeless = [&] {
            for (const Parameter &p : parameterTable()) {
                const auto it = r.values.constFind(p.index);
                if (p.hasSetting && it != r.values.cend() && !hasValueShape(p.shape, *it)) {
                    shapeless.insert(p.index, *it);
                    r.values.remove(p.index);
                }
            }
        };
        dropShapeless();
        const int retriesLeft = inv.all ? options.retries : (shapeless.isEmpty() ? 0 : 1);
        if (!r.complete() && retriesLeft > 0) {
            options.retries = retriesLeft - 1;
            const ReadResult again = client(*s).read(d, options);
            if (again.lost)
                return lineLost(*s);
            for (auto it = again.values.cbegin(); it != again.values.cend(); ++it) {
                r.values.insert(it.key(), it.value());
                r.garbled.removeAll(it.key());
                shapeless.remove(it.key());
            }
            for (char i : again.garbled)
                if (!r.values.contains(i) && !r.garbled.contains(i))
                    r.garbled.append(i);
            dropShapeless();
        }
        if (!r.complete()) {
            const char *what = inv.all ? "not saved" : "nothing saved";
            if (r.values.isEmpty() && shapeless.isEmpty() && r.garbled.isEmpty()) {
                error(QStringLiteral("device %1 did not answer; %2").arg(d).arg(QLatin1String(what)));
            } else {
                for (auto it = shapeless.cbegin(); it != shapeless.cend(); ++it)
                    error(QStringLiteral("device %1: %2 came as %3, which is no %2 value")
                              .arg(d).arg(nameOf(it.key()), lineText(it.value())));
                error(QStringLiteral("device %1: incomplete answer, missing %2; %3").arg(d).arg(missingText(r), QLatin1String(what)));
            }
            if (!inv.all)
                return kNoAnswer;
            incomplete = true;
            continue;
        }
        backup.devices.append({d, r.values});
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
        if (!out(QString::fromUtf8(json)))
            return kOutputFailed;   // said by finishOutput
    } else if (file.write(json) != json.size() || !(inPlace ? deviceFile.flush() : saveFile.commit())) {
        error(QStringLiteral("writing %1 failed: %2").arg(inv.output, file.errorString()));
        return kOutputFailed;
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

    const bool asJson = inv.format == Format::Json;
    QJsonArray json;
    // Rows of a device whose values were not read: nothing was sent to it.
    auto notRead = [&](const Job &job, const QString &action) {
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

    int rc = kDone;
    SessionPtr s = openSession(inv, &rc, true);
    if (!s)
        return rc == kUsage ? rc : finish(rc, 0);
    int worst = kDone;
    bool csvHeadDone = false;
    for (qsizetype j = 0; j < jobs.size(); ++j) {
        const Job &job = jobs[j];
        const ReadResult now = client(*s).read(job.target, inv.read);
        if (now.lost)
            return finish(lineLost(*s), j);
        if (now.interrupted) {
            error(QStringLiteral("interrupted while reading device %1; nothing more sent").arg(job.target));
            return finish(interruptedExit(), j);
        }
        if (!now.complete()) {
            error(QStringLiteral("device %1: %2; nothing written to it")
                      .arg(job.target)
                      .arg(now.values.isEmpty() && now.garbled.isEmpty()
                               ? QStringLiteral("no answer")
                               : QStringLiteral("incomplete answer, missing %1").arg(missingText(now))));
            notRead(job, QStringLiteral("no answer"));
            worst = std::max(worst, int(kNoAnswer));
            continue;
        }
        QVector<WriteStep> steps;
        Table t{{QStringLiteral("NAME"), QStringLiteral("NOW"), QStringLiteral("FILE"), QStringLiteral("ACTION")}, {}};
        Table csv{{QStringLiteral("device"), QStringLiteral("from"), QStringLiteral("name"), QStringLiteral("now"),
                   QStringLiteral("file"), QStringLiteral("action"), QStringLiteral("why")}, {}};
        for (const Parameter &p : parameterTable()) {
            const QString held = now.values.value(p.index);
            const bool saved = job.saved->values.contains(p.index);
            const QString wanted = job.saved->values.value(p.index);
            QString action, why;
            if (!saved)
                action = QStringLiteral("not in file");
            else if (!p.hasSetting)
                action = QStringLiteral("read-only");
            else if (held == wanted)
                action = QStringLiteral("same");
            else if (inv.skip.contains(p.index))
                why = QStringLiteral("--skip");
            else if (!inv.only.isEmpty() && !inv.only.contains(p.index))
                why = QStringLiteral("not in --only");
            else if (p.index == '1' && !inv.withActual && !inv.only.contains(p.index))
                why = QStringLiteral("a count, not a setting; --with-actual restores it");
            else
                action = inv.dryRun ? QStringLiteral("would write") : QStringLiteral("write");
            if (!why.isEmpty())
                action = QStringLiteral("left out");
            else if (saved && p.hasSetting && held != wanted)
                steps.append({p.index, wanted});
            const QString shownAction = why.isEmpty() ? action : QStringLiteral("%1 (%2)").arg(action, why);
            t.rows << QStringList{scriptName(p), lineText(held), saved ? lineText(wanted) : QStringLiteral("-"), shownAction};
            csv.rows << QStringList{QString::number(job.target), QString::number(job.saved->device), scriptName(p),
                                    lineText(held), saved ? lineText(wanted) : QString(), action, why};
            if (asJson) {
                QJsonObject row{{QStringLiteral("device"), job.target},
                                {QStringLiteral("from"), job.saved->device},
                                {QStringLiteral("name"), scriptName(p)},
                                {QStringLiteral("now"), held},
                                {QStringLiteral("file"), saved ? QJsonValue(wanted) : QJsonValue()},
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
        if (steps.isEmpty()) {
            progress(inv, QStringLiteral("device %1: nothing to write").arg(job.target));
            continue;
        }
        if (inv.dryRun) {
            progress(inv, QStringLiteral("device %1: %2 value%3 to write (dry run, nothing written)")
                              .arg(job.target).arg(steps.size()).arg(steps.size() == 1 ? "" : "s"));
            continue;
        }
        const WriteReport w = client(*s).write(job.target, steps, inv.read);
        if (!asJson)
            out(QStringLiteral("sent to device %1:\n").arg(job.target));
        QJsonArray results;
        const int code = reportWrite(inv, *s, w, asJson ? &results : nullptr);
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
        if (code == kLineLost || code == kPortFailed || w.interrupted)
            return finish(code, j + 1);
        worst = std::max(worst, code);   // a mismatch (6) outweighs a missing answer (4)
    }
    reportTiming(*s);
    return finish(worst, jobs.size());
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
        if (r.lost) {
            // The devices found so far go out all the same.
            if (inv.format == Format::Json)
                out(jsonLine(json));
            else if (inv.format == Format::Csv)
                out(renderCsv(csv));
            return lineLost(*s);
        }
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

QString renderTableText(const QStringList &head, const QList<QStringList> &rows)
{
    return renderTable(Table{head, rows});
}

QString renderCsvText(const QStringList &head, const QList<QStringList> &rows)
{
    return renderCsv(Table{head, rows});
}

} // namespace kestran::cli
