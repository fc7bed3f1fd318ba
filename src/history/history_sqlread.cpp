// Reading the history back: the entries a filter asks for, newest first, each
// change with its outcome; and the walk along the chain.
#include "history_sql.h"

#include <QCryptographicHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QSet>

namespace kestran::history {

Entry rowToEntry(const QSqlQuery &q)
{
    // Column 0 is seq.
    Entry e;
    e.seq = q.value(0).toLongLong();
    e.id = q.value(1).toByteArray();
    e.kind = Entry::Kind(q.value(2).toInt());
    e.group = q.value(3).toByteArray();
    e.at = QDateTime::fromMSecsSinceEpoch(q.value(4).toLongLong(), Qt::UTC);
    e.origin.who = q.value(5).toString();
    e.origin.machine = q.value(6).toString();
    e.origin.program = q.value(7).toString();
    e.origin.port = q.value(8).toString();
    e.origin.line = q.value(9).toString();
    e.device = q.value(10).isNull() ? -1 : q.value(10).toInt();
    e.parameter = q.value(11).toString();
    e.before = q.value(12).toString();
    e.sent = q.value(13).toString();
    e.file.file = q.value(14).toString();
    e.file.sha256 = q.value(15).toByteArray();
    e.file.devices = q.value(16).toString();
    e.file.result = q.value(17).toString();
    e.prev = q.value(18).toByteArray();
    e.hash = q.value(19).toByteArray();
    if (e.kind == Entry::File) {
        e.file.kind = e.parameter == QLatin1String("check") ? FileRecord::Check : FileRecord::Backup;
        e.file.lines = e.origin.line.split(QLatin1Char(','), Qt::SkipEmptyParts);
    }
    return e;
}

namespace {

// The expression that gives an entry's canonical bytes: per field its length
// in bytes, ":" and the bytes, in canonical()'s order.
QString canonicalSql(bool postgres)
{
    enum Type { Int, Blob, Text };
    const QList<QPair<const char *, Type>> fields = {
        {"kind", Int}, {"id", Blob}, {"grp", Blob}, {"at", Int}, {"who", Text}, {"machine", Text}, {"program", Text},
        {"port", Text}, {"line", Text}, {"coalesce(device, -1)", Int}, {"parameter", Text}, {"before", Text},
        {"sent", Text}, {"file", Text}, {"sha256", Blob}, {"devices", Text}, {"result", Text}};
    QStringList parts;
    for (const auto &[name, type] : fields) {
        const QString c = QLatin1String(name);
        if (postgres) {
            if (type == Int)
                parts << QStringLiteral("convert_to(length((%1)::text)::text || ':' || (%1)::text, 'UTF8')").arg(c);
            else if (type == Text)
                parts << QStringLiteral("convert_to(octet_length(coalesce(%1, ''))::text || ':', 'UTF8') || "
                                        "convert_to(coalesce(%1, ''), 'UTF8')").arg(c);
            else
                parts << QStringLiteral("convert_to(octet_length(coalesce(%1, ''::bytea))::text || ':', 'UTF8') || "
                                        "coalesce(%1, ''::bytea)").arg(c);
        } else {
            if (type == Int)
                parts << QStringLiteral("length(%1) || ':' || %1").arg(c);
            else if (type == Text)
                parts << QStringLiteral("length(CAST(coalesce(%1, '') AS BLOB)) || ':' || coalesce(%1, '')").arg(c);
            else
                parts << QStringLiteral("length(coalesce(%1, x'')) || ':' || coalesce(%1, x'')").arg(c);
        }
    }
    const QString all = parts.join(QStringLiteral(" || "));
    return postgres ? all : QStringLiteral("CAST(%1 AS BLOB)").arg(all);
}

// The database to read: the shared one (the spool sent on first), else the SQLite file.
QSqlDatabase readable(Backend &b, QString *why)
{
    if (!b.isShared())
        return b.connection(false, why);
    QString w;
    if (b.sendSpool(&w) < 0) {
        b.dropShared();
        *why = QStringLiteral("the history database %1 cannot be reached: %2").arg(b.target.described, w.trimmed());
        return QSqlDatabase();
    }
    return b.connection(true, why);
}

QString placeholders(qsizetype n)
{
    QStringList p;
    for (qsizetype i = 0; i < n; ++i)
        p << QStringLiteral("?");
    return p.join(QStringLiteral(", "));
}

} // namespace

bool Recorder::query(const Filter &f, QVector<Entry> *entries, QString *why)
{
    Backend &b = *m_backend;
    entries->clear();
    if (!recording())
        return true;
    std::lock_guard<std::recursive_mutex> lock(b.mutex);
    QSqlDatabase db = readable(b, why);
    if (!db.isValid())
        return false;
    // The text is made of fixed pieces only; every value is bound.
    QStringList where;
    QVariantList values;
    const bool changesOnly = f.device >= 0 || !f.parameters.isEmpty() || f.at.isValid() || !f.files;
    where << (changesOnly ? QStringLiteral("kind = 1") : QStringLiteral("kind IN (1, 3)"));
    if (f.device >= 0) {
        where << QStringLiteral("device = ?");
        values << f.device;
    }
    if (!f.lines.isEmpty() && changesOnly) {
        // The place index: the line's name, or the port where there is none.
        where << QStringLiteral("coalesce(line, port) IN (%1)").arg(placeholders(f.lines.size()));
        for (const QString &l : f.lines) values << l;
    } else if (!f.lines.isEmpty()) {
        QStringList files;
        for (qsizetype i = 0; i < f.lines.size(); ++i)
            files << QStringLiteral("(',' || line || ',') LIKE ? ESCAPE '\\'");
        where << QStringLiteral("(line IN (%1) OR port IN (%1) OR (kind = 3 AND (%2)))")
                     .arg(placeholders(f.lines.size()), files.join(QStringLiteral(" OR ")));
        for (const QString &l : f.lines) values << l;
        for (const QString &l : f.lines) values << l;
        for (QString l : f.lines) {
            l.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
                .replace(QLatin1Char('%'), QStringLiteral("\\%"))
                .replace(QLatin1Char('_'), QStringLiteral("\\_"));
            values << QStringLiteral("%,") + l + QStringLiteral(",%");
        }
    }
    if (!f.parameters.isEmpty()) {
        where << QStringLiteral("parameter IN (%1)").arg(placeholders(f.parameters.size()));
        for (const QString &p : f.parameters) values << p;
    }
    if (!f.who.isEmpty()) {
        where << QStringLiteral("who = ?");
        values << f.who;
    }
    if (f.since.isValid()) {
        where << QStringLiteral("at >= ?");
        values << f.since.toMSecsSinceEpoch();
    }
    const QDateTime until = f.at.isValid() ? f.at : f.until;
    if (until.isValid()) {
        where << QStringLiteral("at <= ?");
        values << until.toMSecsSinceEpoch();
    }
    QString sql = QStringLiteral("SELECT seq, %1 FROM kestran_history WHERE %2 ORDER BY seq DESC")
                      .arg(entryColumns(), where.join(QStringLiteral(" AND ")));
    if (f.limit > 0 && !f.at.isValid()) {
        sql += QStringLiteral(" LIMIT ?");
        values << f.limit;
    }
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec()) {
        *why = q.lastError().text();
        return false;
    }
    while (q.next())
        entries->append(rowToEntry(q));
    q.finish();

    // Each change's outcome: the outcome entries of its group, by place and device.
    QMap<QByteArray, QVector<Entry>> outcomes;
    // One device on chosen lines: its outcome entries in one go, by the place index.
    if (f.device >= 0 && !f.lines.isEmpty() && !entries->isEmpty()) {
        QSqlQuery all(db);
        all.setForwardOnly(true);
        all.prepare(QStringLiteral("SELECT seq, %1 FROM kestran_history WHERE device = ? AND coalesce(line, port) IN (%2) "
                                   "AND seq >= ? AND kind = 2").arg(entryColumns(), placeholders(f.lines.size())));
        all.addBindValue(f.device);
        for (const QString &l : f.lines)
            all.addBindValue(l);
        all.addBindValue(entries->last().seq);
        if (!all.exec()) {
            *why = all.lastError().text();
            return false;
        }
        for (const Entry &e : std::as_const(*entries))
            outcomes.insert(e.group, {});
        while (all.next()) {
            const Entry r = rowToEntry(all);
            auto it = outcomes.find(r.group);
            if (it != outcomes.end())
                it->append(r);
        }
    }
    QSqlQuery o(db);
    o.setForwardOnly(true);
    o.prepare(QStringLiteral("SELECT seq, %1 FROM kestran_history WHERE kind = 2 AND grp = ?").arg(entryColumns()));
    for (Entry &e : *entries) {
        if (e.kind != Entry::Change)
            continue;
        auto it = outcomes.find(e.group);
        if (it == outcomes.end()) {
            QVector<Entry> found;
            o.addBindValue(e.group);
            if (!o.exec()) {
                *why = o.lastError().text();
                return false;
            }
            while (o.next())
                found.append(rowToEntry(o));
            o.finish();
            it = outcomes.insert(e.group, found);
        }
        for (const Entry &r : *it) {
            if (r.device != e.device || r.origin.port != e.origin.port || r.origin.line != e.origin.line)
                continue;
            const QMap<QString, Outcome> m = parseOutcomes(r.file.result);
            const QString exact = e.parameter + QLatin1Char('=') + e.sent;
            const QString key = m.contains(exact) ? exact : e.parameter;
            if (m.contains(key)) {
                e.outcome = m.value(key);
                e.outcomeAt = r.at;
                break;
            }
        }
    }
    if (f.at.isValid()) {
        // As it stood: per place, device and value, the newest change that went out.
        QVector<Entry> stood;
        QSet<QString> seen;
        for (const Entry &e : *entries) {
            if (e.outcome == Outcome::NotSent)
                continue;
            const QString key = e.origin.line + QLatin1Char('\n') + e.origin.port + QLatin1Char('\n')
                                + QString::number(e.device) + QLatin1Char('\n') + e.parameter;
            if (seen.contains(key))
                continue;
            seen.insert(key);
            stood.append(e);
        }
        *entries = stood;
        if (f.limit > 0 && entries->size() > f.limit)
            entries->resize(f.limit);
    }
    return true;
}

VerifyResult Recorder::verify()
{
    VerifyResult r;
    Backend &b = *m_backend;
    if (!recording()) {
        r.ok = false;
        r.why = QStringLiteral("no history is kept here");
        return r;
    }
    std::lock_guard<std::recursive_mutex> lock(b.mutex);
    QString why;
    QSqlDatabase db = readable(b, &why);
    if (!db.isValid()) {
        r.ok = false;
        r.why = why;
        return r;
    }
    // The canonical bytes of each entry (as canonical() makes them) are put
    // together by the database itself: the walk reads four columns a row.
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT seq, %1, prev, hash FROM kestran_history ORDER BY seq")
                    .arg(canonicalSql(db.driverName() == QLatin1String("QPSQL"))))) {
        r.ok = false;
        r.why = q.lastError().text();
        return r;
    }
    QByteArray prev(32, '\0');
    while (q.next()) {
        ++r.entries;
        const qint64 seq = q.value(0).toLongLong();
        if (q.value(2).toByteArray() != prev) {
            r.ok = false;
            r.firstBad = seq;
            r.why = r.entries == 1 ? QStringLiteral("it is the first entry left, but its predecessor's hash is not the start of a chain: "
                                                     "older entries were removed")
                                   : QStringLiteral("the hash of its predecessor does not match the entry before it: "
                                                    "an entry before it was removed, or that one was altered");
            return r;
        }
        QCryptographicHash h(QCryptographicHash::Sha256);
        h.addData(prev);
        h.addData(q.value(1).toByteArray());
        const QByteArray hash = q.value(3).toByteArray();
        if (h.result() != hash) {
            r.ok = false;
            r.firstBad = seq;
            r.why = QStringLiteral("its contents do not match its hash: the entry was altered");
            return r;
        }
        prev = hash;
    }
    return r;
}

int Recorder::spooled()
{
    Backend &b = *m_backend;
    if (!b.isShared())
        return 0;
    std::lock_guard<std::recursive_mutex> lock(b.mutex);
    QString why;
    QSqlDatabase db = b.connection(false, &why);
    QSqlQuery q(db);
    if (!db.isValid() || !q.exec(QStringLiteral("SELECT COUNT(*) FROM kestran_history")) || !q.next())
        return -1;
    return q.value(0).toInt();
}

} // namespace kestran::history
