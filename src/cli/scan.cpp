// scan: which device numbers 0 to 7 answer.
#include "cli.h"

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
    for (int d = 0; d < 8; ++d) {
        const ReadResult r = client(*s).read(d, inv.read);
        if (r.ending.lost) {
            // The devices found so far go out all the same.
            if (inv.format == Format::Json)
                out(jsonLine(json));
            else if (inv.format == Format::Csv)
                out(renderCsv(csv));
            return lineLost(r.ending);
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

} // namespace kestran::cli
