// scan: which device numbers 0 to 7 answer.
#include "cli.h"

#include "linebackup.h"

#include <QJsonArray>
#include <QJsonObject>

namespace kestran::cli {

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
    const QVector<ReadResult> reads = scanLine(client(*s), inv.read, [&](const ReadResult &r) {
        if (!r.answered())
            return;
        ++found;
        if (inv.format == Format::Json)
            json.append(QJsonObject{{QStringLiteral("device"), r.device}, {QStringLiteral("values"), int(r.values.size())}});
        else if (inv.format == Format::Csv)
            csv.rows << QStringList{QString::number(r.device), QString::number(r.values.size())};
        else
            out(QStringLiteral("device %1  answers (%2 of 8 values)\n").arg(r.device).arg(r.values.size()));
    });
    const Ending ending = reads.isEmpty() ? Ending() : reads.last().ending;
    if (!ending.lost)
        reportTiming(*s);
    // The devices found before a loss go out all the same.
    if (inv.format == Format::Json)
        out(jsonLine(json));
    else if (inv.format == Format::Csv)
        out(renderCsv(csv));
    if (ending.lost)
        return lineLost(ending);
    if (!found) {
        error(QStringLiteral("no device answered on %1").arg(inv.port.trimmed()));
        return kNoAnswer;
    }
    progress(inv, QStringLiteral("%1 device%2 found").arg(found).arg(found == 1 ? "" : "s"));
    return kDone;
}

} // namespace kestran::cli
