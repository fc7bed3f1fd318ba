// write: values to one counter, each verified by reading back; and the
// report of a write, which restore gives too.
#include "cli.h"

#include "parameters.h"
#include "valueinput.h"

#include <QJsonObject>

namespace kestran::cli {

void printWrite(const WriteReport &w, QJsonArray *json)
{
    const int device = w.device;
    Table t{{QStringLiteral("NAME"), QStringLiteral("SENT"), QStringLiteral("READ"), QStringLiteral("RESULT")}, {}};
    for (int i = 0; i < w.steps.size(); ++i) {
        const WriteStep &step = w.steps[i];
        const StepResult r = stepResult(w, i);
        const QString result = stepWord(r);
        const bool sent = r != StepResult::NotSent;
        const QString read = w.ending.lost ? QString() : w.readBack.values.value(step.index);
        t.rows << QStringList{nameOf(step.index), sent ? step.field : QStringLiteral("-"),
                              read.isEmpty() ? QStringLiteral("-") : lineText(read),
                              r == StepResult::Mismatch ? result.toUpper() : result};   // a mismatch stands out
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
}

int reportWrite(const Invocation &inv, const WriteReport &w, QJsonArray *json)
{
    printWrite(w, json);
    const int device = w.device;
    const int code = writeExit(w);
    const QStringList problems = writeProblems(w);
    for (const QString &p : problems)
        error(p);
    if (!problems.isEmpty())
        return code;
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
            error(QStringLiteral("\u201C%1\u201D: unknown name (%2)").arg(name, settingNames()));
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
                                        {QStringLiteral("result"), stepWord(StepResult::NotSent)}});
            out(jsonLine(rows));
        }
        return rc;
    }
    const WriteReport w = client(*s).write(inv.device, steps, inv.read);
    reportTiming(*s);
    QJsonArray rows;
    rc = reportWrite(inv, w, json ? &rows : nullptr);
    if (json)
        out(jsonLine(rows));
    return rc;
}

} // namespace kestran::cli
