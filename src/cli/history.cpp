// history: who set what, when, from where, before and after; newest first.
// --at gives each value as it stood at a time, --verify walks the chain.
#include "cli.h"
#include "recording.h"

#include "valueinput.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTimeZone>

namespace kestran::cli {

namespace {

// 2026-12-10, 2026-12-10T14:30, 2026-12-10 14:30:05, with Z or +01:00; without an offset, local time.
bool parseTime(const QString &given, QDateTime *out)
{
    QString text = given.trimmed();
    if (text.size() == 10)
        text += QStringLiteral("T00:00:00");
    if (text.size() > 10 && text.at(10) == QLatin1Char(' '))
        text[10] = QLatin1Char('T');
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid() || text.size() < 16)
        return false;
    *out = t.toUTC();
    return true;
}

QString timeText(const QDateTime &t) { return t.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QLatin1Char('Z'); }

QString placeOf(const history::Entry &e) { return e.origin.line.isEmpty() ? e.origin.port : e.origin.line; }

QString outcomeWord(const history::Entry &e)
{
    return e.kind == history::Entry::File ? e.file.result : history::outcomeText(e.outcome);
}

QJsonObject jsonOf(const history::Entry &e)
{
    QJsonObject o{{QStringLiteral("time"), e.at.toUTC().toString(Qt::ISODateWithMs)},
                  {QStringLiteral("who"), e.origin.who},
                  {QStringLiteral("machine"), e.origin.machine},
                  {QStringLiteral("program"), e.origin.program},
                  {QStringLiteral("group"), QString::fromLatin1(e.group.toHex())},
                  {QStringLiteral("entry"), e.seq}};
    if (e.kind == history::Entry::File) {
        o.insert(QStringLiteral("kind"), e.file.kind == history::FileRecord::Check ? QStringLiteral("check") : QStringLiteral("backup"));
        o.insert(QStringLiteral("file"), e.file.file);
        o.insert(QStringLiteral("sha256"), QString::fromLatin1(e.file.sha256.toHex()));
        o.insert(QStringLiteral("lines"), QJsonArray::fromStringList(e.file.lines));
        o.insert(QStringLiteral("port"), e.origin.port);
        o.insert(QStringLiteral("devices"), e.file.devices);
        o.insert(QStringLiteral("result"), e.file.result);
        return o;
    }
    o.insert(QStringLiteral("kind"), QStringLiteral("change"));
    o.insert(QStringLiteral("port"), e.origin.port);
    o.insert(QStringLiteral("line"), e.origin.line);
    o.insert(QStringLiteral("device"), e.device);
    o.insert(QStringLiteral("name"), e.parameter);
    o.insert(QStringLiteral("before"), e.before.isEmpty() ? QJsonValue() : QJsonValue(e.before));
    o.insert(QStringLiteral("sent"), e.sent);
    o.insert(QStringLiteral("outcome"), history::outcomeText(e.outcome));
    o.insert(QStringLiteral("outcome_time"), e.outcomeAt.isValid() ? QJsonValue(e.outcomeAt.toString(Qt::ISODateWithMs)) : QJsonValue());
    return o;
}

int verifyChain(history::Recorder &r)
{
    const history::VerifyResult v = r.verify();
    if (v.ok) {
        out(QStringLiteral("%1: the chain holds\n").arg(plural(int(v.entries), "entry", "entries")));
        return kDone;
    }
    if (v.firstBad < 0) {
        error(QStringLiteral("the history cannot be read: %1").arg(v.why));
        return kPortFailed;
    }
    error(QStringLiteral("entry %1 does not fit the chain (%2 before it hold): %3").arg(v.firstBad).arg(v.entries - 1).arg(v.why));
    return kDiffers;
}

} // namespace

int runHistory(const Invocation &inv)
{
    history::Filter f;
    for (const QString &arg : inv.arguments) {
        for (const QString &name : arg.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const Parameter *p = parameterByName(name.trimmed());
            if (!p) {
                error(QStringLiteral("\u201C%1\u201D: unknown name (TARGET, ACTUAL, RESET, DEBOUNCE0, DEBOUNCE1, DEBOUNCE2, ALARM)").arg(name));
                return kUsage;
            }
            if (!p->hasSetting) {
                error(QStringLiteral("%1 is read-only: it is never written").arg(scriptName(*p)));
                return kUsage;
            }
            f.parameters << scriptName(*p);
        }
    }
    for (const QString &list : inv.lines)
        for (const QString &l : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
            f.lines << l.trimmed();
    f.device = inv.device;
    if (inv.historyWho.has_value()) {
        if (inv.historyWho->trimmed().isEmpty()) {
            error(QStringLiteral("--who wants a user name"));
            return kUsage;
        }
        f.who = inv.historyWho->trimmed();
    }
    const QList<QPair<const char *, QDateTime *>> times = {
        {"since", &f.since}, {"until", &f.until}, {"at", &f.at}};
    const QList<const std::optional<QString> *> given = {&inv.historySince, &inv.historyUntil, &inv.historyAt};
    for (int i = 0; i < times.size(); ++i) {
        if (given[i]->has_value() && !parseTime(**given[i], times[i].second)) {
            error(QStringLiteral("--%1 \u201C%2\u201D: not a time (2026-12-10, 2026-12-10T14:30, 2026-12-10T14:30:00Z or "
                                 "with an offset such as +01:00; without one, local time)")
                      .arg(QLatin1String(times[i].first), **given[i]));
            return kUsage;
        }
    }
    if (f.since.isValid() && f.until.isValid() && f.since > f.until) {
        error(QStringLiteral("--since is after --until"));
        return kUsage;
    }
    if (f.at.isValid() && (f.since.isValid() || f.until.isValid())) {
        error(QStringLiteral("--at excludes --since and --until"));
        return kUsage;
    }
    if (inv.historyVerify && (!f.parameters.isEmpty() || !f.lines.isEmpty() || f.device >= 0 || !f.who.isEmpty()
                              || f.since.isValid() || f.until.isValid() || f.at.isValid() || inv.format != Format::Table)) {
        error(QStringLiteral("--verify walks the whole chain: it takes no filter and no --json or --csv"));
        return kUsage;
    }
    if (inv.count > 0)
        f.limit = int(inv.count);

    Recording recording(inv);
    QString why;
    history::Recorder *r = recording.recorder(&why);
    if (!r) {
        error(QStringLiteral("the history cannot be opened: %1").arg(why));
        return why.contains(QLatin1String("is not a history database")) ? kUsage : kPortFailed;
    }
    if (!r->recording()) {
        error(QStringLiteral("no history is kept (--history none)"));
        return kUsage;
    }
    if (inv.historyVerify)
        return verifyChain(*r);
    QVector<history::Entry> entries;
    if (!r->query(f, &entries, &why)) {
        error(QStringLiteral("the history cannot be read: %1").arg(why));
        return kPortFailed;
    }
    if (inv.format == Format::Json) {
        QJsonArray list;
        for (const history::Entry &e : entries)
            list.append(jsonOf(e));
        out(jsonLine(list));
        return kDone;
    }
    Table t{{QStringLiteral("TIME"), QStringLiteral("WHO"), QStringLiteral("MACHINE"), QStringLiteral("LINE"),
             QStringLiteral("DEVICE"), QStringLiteral("NAME"), QStringLiteral("BEFORE"), QStringLiteral("SENT"),
             QStringLiteral("OUTCOME"), QStringLiteral("GROUP")}, {}};
    for (const history::Entry &e : entries) {
        const bool file = e.kind == history::Entry::File;
        t.rows << QStringList{timeText(e.at), e.origin.who, e.origin.machine,
                              file ? (e.file.lines.isEmpty() ? e.origin.port : e.file.lines.join(QLatin1Char(','))) : placeOf(e),
                              file ? e.file.devices : QString::number(e.device),
                              e.parameter, file ? QStringLiteral("-") : (e.before.isEmpty() ? QStringLiteral("unknown") : e.before),
                              file ? e.file.file : e.sent, outcomeWord(e), QString::fromLatin1(e.group.toHex().left(8))};
    }
    if (inv.format == Format::Csv) {
        for (QString &h : t.head)
            h = h.toLower();
        out(renderCsv(t));
        return kDone;
    }
    if (entries.isEmpty()) {
        progress(inv, QStringLiteral("nothing on record matches"));
        return kDone;
    }
    out(renderTable(t));
    return kDone;
}

} // namespace kestran::cli
