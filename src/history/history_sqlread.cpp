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
    if (!f.lines.isEmpty()) {
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
            if (m.contains(e.parameter)) {
                e.outcome = m.value(e.parameter);
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
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT seq, %1 FROM kestran_history ORDER BY seq").arg(entryColumns()))) {
        r.ok = false;
        r.why = q.lastError().text();
        return r;
    }
    QByteArray prev(32, '\0');
    QByteArray bytes;
    bytes.reserve(512);
    // The canonical bytes straight from the row (as canonical() makes them
    // from an Entry), without building one: the walk reads every entry.
    auto field = [&bytes](const QByteArray &b) {
        bytes += QByteArray::number(b.size());
        bytes += ':';
        bytes += b;
    };
    auto text = [&q](int column) { return q.value(column).toString().toUtf8(); };
    while (q.next()) {
        ++r.entries;
        const qint64 seq = q.value(0).toLongLong();
        const QByteArray entryPrev = q.value(18).toByteArray();
        if (entryPrev != prev) {
            r.ok = false;
            r.firstBad = seq;
            r.why = r.entries == 1 ? QStringLiteral("it is the first entry left, but its predecessor's hash is not the start of a chain: "
                                                     "older entries were removed")
                                   : QStringLiteral("the hash of its predecessor does not match the entry before it: "
                                                    "an entry before it was removed, or that one was altered");
            return r;
        }
        bytes.clear();
        field(QByteArray::number(q.value(2).toInt()));
        field(q.value(1).toByteArray());
        field(q.value(3).toByteArray());
        field(QByteArray::number(q.value(4).toLongLong()));
        for (int c = 5; c <= 9; ++c)
            field(text(c));
        field(QByteArray::number(q.value(10).isNull() ? -1 : q.value(10).toInt()));
        for (int c = 11; c <= 14; ++c)
            field(text(c));
        field(q.value(15).toByteArray());
        field(text(16));
        field(text(17));
        QCryptographicHash h(QCryptographicHash::Sha256);
        h.addData(prev);
        h.addData(bytes);
        const QByteArray hash = q.value(19).toByteArray();
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
