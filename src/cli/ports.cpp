// ports: the COMn table and whether each port can be opened now.
#include "cli.h"

#include "mdlcomport.h"
#include "linetrace.h"
#include "portlist.h"
#include <QJsonArray>
#include <QJsonObject>

namespace kestran::cli {

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

} // namespace kestran::cli
