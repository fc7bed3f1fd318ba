// write: values to one counter, each verified by reading back; and the
// report of a write, which restore gives too.
#include "cli.h"
#include "recording.h"

#include "parameters.h"
#include "valueinput.h"

#include <QJsonObject>

namespace kestran::cli {

namespace {

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
            if (stepWord(stepResult(w, i, reachedLine)) == g.first)
                names << nameOf(w.steps[i].index);
        if (!names.isEmpty())
            parts << QStringLiteral("%1: %2").arg(g.second, names.join(QStringLiteral(", ")));
    }
    return parts.join(QStringLiteral("; "));
}

} // namespace

QString stepWord(StepResult r)
{
    switch (r) {
    case StepResult::Verified: return QStringLiteral("ok");
    case StepResult::Mismatch: return QStringLiteral("mismatch");
    case StepResult::NoAnswer: return QStringLiteral("no answer");
    case StepResult::NotVerified: return QStringLiteral("not verified");
    case StepResult::NotSent: break;
    }
    return QStringLiteral("not sent");
}

int reportWrite(const Invocation &inv, const WriteReport &w, QJsonArray *json)
{
    const int device = w.device;
    const bool reachedLine = !w.ending.refused();
    Table t{{QStringLiteral("NAME"), QStringLiteral("SENT"), QStringLiteral("READ"), QStringLiteral("RESULT")}, {}};
    for (int i = 0; i < w.steps.size(); ++i) {
        const WriteStep &step = w.steps[i];
        const QString result = stepWord(stepResult(w, i, reachedLine));
        const bool sent = result != QLatin1String("not sent");
        const QString read = w.ending.lost ? QString() : w.readBack.values.value(step.index);
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
    const int code = writeExit(w);
    if (!reachedLine) {
        error(QStringLiteral("device %1: %2; nothing written").arg(device).arg(w.ending.reason));
        return code;
    }
    if (w.ending.lost) {
        error(QStringLiteral("device %1: the line was lost after sending %2 of %3 values (%4): %5")
                  .arg(device).arg(w.sent).arg(w.steps.size())
                  .arg(w.ending.reason, writeSummary(w, reachedLine)));
        return code;
    }
    for (const Mismatch &m : w.mismatches)
        error(QStringLiteral("device %1: %2 was sent as %3 but reads back as %4")
                  .arg(device).arg(nameOf(m.index), m.sent, lineText(m.read)));
    if (w.ending.interrupted) {
        error(QStringLiteral("device %1: interrupted after sending %2 of %3 values: %4")
                  .arg(device).arg(w.sent).arg(w.steps.size()).arg(writeSummary(w, reachedLine)));
        return code;
    }
    if (!w.mismatches.isEmpty())
        return code;
    if (!w.unverified.isEmpty()) {
        QStringList names;
        for (char i : w.unverified)
            names << (w.readBack.garbled.contains(i) ? QStringLiteral("%1 (garbled)").arg(nameOf(i)) : nameOf(i));
        error(QStringLiteral("device %1: sent, but no value came back for %2")
                  .arg(device).arg(names.join(QStringLiteral(", "))));
        return code;
    }
    progress(inv, QStringLiteral("device %1: all %2 values written and read back").arg(device).arg(w.steps.size()));
    return code;
}

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
    // The values before, for the record: one read-all, no retries.
    ReadOptions once = inv.read;
    once.retries = 0;
    const QMap<char, QString> before = recordsChanges(inv) ? client(*s).read(inv.device, once).values : QMap<char, QString>();
    history::Pending pending;
    if (!recording(inv).begin(inv.device, inv.port, QString(), steps, before, &pending))
        return kNotRecorded;
    const WriteReport w = client(*s).write(inv.device, steps, inv.read);
    recording(inv).finish(pending, w);
    reportTiming(*s);
    QJsonArray rows;
    rc = reportWrite(inv, w, json ? &rows : nullptr);
    if (json)
        out(jsonLine(rows));
    return rc;
}

} // namespace kestran::cli
