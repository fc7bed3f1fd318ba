// check: the live settings of every saved device compared with a snapshot or backup.
#include "plantlines.h"

#include "parameters.h"

#include <QJsonObject>

namespace kestran::cli {

namespace {

int checkTarget(const Invocation &inv, Target &t, CounterClient &client)
{
    t.check = checkLine(client, t.saved->devices, inv.read, inv.choice.withLiveCounts, [&](const DeviceCheck &c) {
        if (!c.answered()) {
            for (const QString &text : verdictText(c.read, QStringLiteral("not checked")))
                problem(t, text);
            return;
        }
        ++t.found;
        if (!c.unread.isEmpty())
            problem(t, QStringLiteral("device %1: incomplete answer, %2 not checked").arg(c.device).arg(namesOf(c.unread)));
        const int here = int(c.differences.size());
        progress(inv, here ? QStringLiteral("%1: device %2: %3").arg(t.label()).arg(c.device).arg(plural(here, "setting differs", "settings differ"))
                           : QStringLiteral("%1: device %2 matches").arg(t.label()).arg(c.device));
    });
    if (t.check.ending.lost)
        return lineLostAt(t, t.check.ending);
    if (t.check.ending.interrupted)
        return lineStoppedAt(t, QStringLiteral("interrupted while reading device %1").arg(t.check.stoppedAt));
    const int code = checkExit(t.check);
    const int differences = t.check.differenceCount();
    t.result = code == kDone ? QStringLiteral("matches")
             : differences ? plural(differences, "setting differs", "settings differ")
                           : QStringLiteral("not all checked");
    if (differences && code != kDiffers)
        t.result += QStringLiteral(", not all checked");
    return code;
}

} // namespace

int runCheck(const Invocation &inv)
{
    SnapshotRun run;
    if (int rc = serveSnapshot(inv, &run, [&inv](Target &t, CounterClient &c) { return checkTarget(inv, t, c); }))
        return rc;
    const bool json = inv.format == Format::Json;
    const QVector<Target> &targets = run.targets;
    const QString &table = run.table;
    const int worst = run.worst;
    QList<QStringList> rows;
    QJsonArray differences;
    for (const Target &t : std::as_const(targets)) {
        for (const DeviceCheck &c : t.check.devices) {
            for (const Difference &d : c.differences) {
                rows << QStringList{t.label(), QString::number(d.device), nameOf(d.index), d.saved, d.live};
                differences.append(QJsonObject{{QStringLiteral("line"), t.name},
                                               {QStringLiteral("port"), t.port},
                                               {QStringLiteral("device"), d.device},
                                               {QStringLiteral("name"), nameOf(d.index)},
                                               {QStringLiteral("saved"), d.saved},
                                               {QStringLiteral("live"), d.live}});
            }
        }
    }
    if (inv.format == Format::Csv) {
        out(renderCsvText({QStringLiteral("line"), QStringLiteral("device"), QStringLiteral("name"),
                           QStringLiteral("saved"), QStringLiteral("live")}, rows));
        say(table);
        return worst;
    }
    if (json) {
        out(jsonLine(QJsonObject{{QStringLiteral("result"), worst == kDone ? QStringLiteral("matches")
                                                            : worst == kDiffers ? QStringLiteral("differs")
                                                                                : QStringLiteral("failed")},
                                 {QStringLiteral("exit"), worst},
                                 {QStringLiteral("compared"), inv.choice.withLiveCounts ? QStringLiteral("settings, ACTUAL and DIFFERENCE")
                                                                                         : QStringLiteral("settings")},
                                 {QStringLiteral("differences"), differences},
                                 {QStringLiteral("lines"), run.lines}}));
        say(table);
        return worst;
    }
    if (!rows.isEmpty())
        out(renderTableText({QStringLiteral("LINE"), QStringLiteral("DEVICE"), QStringLiteral("NAME"),
                             QStringLiteral("SAVED"), QStringLiteral("LIVE")}, rows) + QLatin1Char('\n'));
    out(table);
    return worst;
}

} // namespace kestran::cli
