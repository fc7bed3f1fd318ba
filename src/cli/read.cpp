// read: the eight values of one counter.
#include "cli.h"

#include "valueinput.h"
#include "values.h"

#include <QJsonObject>

namespace kestran::cli {

namespace {

// The whole number of a value field, or null when it is none.
QJsonValue numberOf(const QString &field)
{
    bool ok = false;
    const qint64 n = formatDisplay(field).toLongLong(&ok);
    return ok ? QJsonValue(n) : QJsonValue(QJsonValue::Null);
}

} // namespace

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
    // The values as they came: a read shows what the counter holds, shape or not.
    const ReadResult r = client(*s).read(inv.device, inv.read, ReadMode::AsSent);
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
        const bool csv = inv.format == Format::Csv;
        Table t;
        t.head = csv ? QStringList{QStringLiteral("device"), QStringLiteral("name"), QStringLiteral("index"),
                                   QStringLiteral("field"), QStringLiteral("number")}
                     : QStringList{QStringLiteral("NAME"), QStringLiteral("INDEX"), QStringLiteral("FIELD"), QStringLiteral("NUMBER")};
        for (auto it = r.values.cbegin(); it != r.values.cend(); ++it) {
            QStringList row{nameOf(it.key()), QString(QLatin1Char(it.key())), lineText(it.value()),
                            lineText(formatDisplay(it.value()))};
            if (csv)
                row.prepend(QString::number(inv.device));
            t.rows << row;
        }
        if (csv)
            out(renderCsv(t));
        else if (!r.values.isEmpty())
            out(renderTable(t));
    }
    if (r.ending.lost)
        return lineLost(r.ending);
    if (!r.answered()) {
        error(QStringLiteral("device %1 did not answer (%2 attempt%3)").arg(inv.device).arg(r.attempts)
                  .arg(r.attempts == 1 ? "" : "s"));
        return readExit(r);
    }
    if (!r.complete())
        error(QStringLiteral("device %1: incomplete answer, missing %2").arg(inv.device).arg(missingText(r)));
    return readExit(r);
}

} // namespace kestran::cli
