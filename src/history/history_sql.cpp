// Writing the history with Qt SQL: the connections, the chain's end, the
// spool for a shared database out of reach.
#include "history_sql.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

namespace kestran::history {

namespace {

// Any constant: every program that records takes the same lock for the end of the chain.
constexpr qint64 kChainLock = 0x6b657374726e01;

QByteArray genesis() { return QByteArray(32, '\0'); }

QByteArray randomId()
{
    QByteArray id(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(id.data()), 4);
    return id;
}

const char *kColumns = "id, kind, grp, at, who, machine, program, port, line, device, parameter, before, sent, "
                       "file, sha256, devices, result, prev, hash";

// The same table on both: SQLite's and PostgreSQL's types differ only in name.
QStringList schema(bool postgres)
{
    const QString seq = postgres ? QStringLiteral("seq BIGSERIAL PRIMARY KEY") : QStringLiteral("seq INTEGER PRIMARY KEY");
    const QString blob = postgres ? QStringLiteral("BYTEA") : QStringLiteral("BLOB");
    const QString big = postgres ? QStringLiteral("BIGINT") : QStringLiteral("INTEGER");
    QStringList s;
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS kestran_history (%1, id %2 NOT NULL%4, kind SMALLINT NOT NULL, "
                        "grp %2, at %3 NOT NULL, who TEXT, machine TEXT, program TEXT, port TEXT, line TEXT, "
                        "device SMALLINT, parameter TEXT, before TEXT, sent TEXT, file TEXT, sha256 %2, "
                        "devices TEXT, result TEXT, prev %2 NOT NULL, hash %2 NOT NULL)")
             .arg(seq, blob, big, postgres ? QStringLiteral(" UNIQUE") : QString());
    s << QStringLiteral("CREATE INDEX IF NOT EXISTS kestran_history_place ON kestran_history (device, coalesce(line, port), seq)");
    s << QStringLiteral("CREATE INDEX IF NOT EXISTS kestran_history_outcome ON kestran_history (grp) WHERE kind = 2");
    return s;
}

bool exec(QSqlQuery &q, QString *why)
{
    if (q.exec())
        return true;
    *why = q.lastError().text();
    return false;
}

bool run(QSqlDatabase db, const QString &sql, QString *why)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    *why = q.lastError().text();
    return false;
}

} // namespace

QString entryColumns() { return QString::fromLatin1(kColumns); }

QString outcomesText(const QVector<QPair<QString, Outcome>> &outcomes)
{
    QStringList parts;
    for (const auto &o : outcomes)
        parts << QStringLiteral("%1:%2").arg(o.first).arg(int(o.second));
    return parts.join(QLatin1Char(','));
}

QMap<QString, Outcome> parseOutcomes(const QString &text)
{
    QMap<QString, Outcome> m;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int colon = int(part.lastIndexOf(QLatin1Char(':')));
        const int v = part.mid(colon + 1).toInt();
        m.insert(part.left(colon), v >= 1 && v <= 4 ? Outcome(v) : Outcome::Unknown);
    }
    return m;
}

Backend::~Backend()
{
    QStringList names;
    for (QSqlDatabase &db : m_local) { names << db.connectionName(); db.close(); }
    for (QSqlDatabase &db : m_shared) { names << db.connectionName(); db.close(); }
    m_local.clear();
    m_shared.clear();
    for (const QString &n : names)
        QSqlDatabase::removeDatabase(n);
}

void Backend::say(const QString &text)
{
    const QString key = text.left(40);
    if (m_said.contains(key))
        return;
    m_said << key;
    if (notice)
        notice(text);
}

QString spoolFile(const Target &t)
{
    return t.spoolPath.isEmpty() ? dataFolder() + QStringLiteral("/history-spool.sqlite") : t.spoolPath;
}

QSqlDatabase Backend::connection(bool shared, QString *why)
{
    const quintptr thread = quintptr(QThread::currentThread());
    QMap<quintptr, QSqlDatabase> &map = shared ? m_shared : m_local;
    auto it = map.find(thread);
    if (it != map.end() && it->isOpen())
        return *it;
    const QString name = QStringLiteral("kestran-history-%1-%2-%3")
                             .arg(quintptr(this), 0, 16).arg(shared ? "pg" : "lite").arg(thread, 0, 16);
    QSqlDatabase db;
    if (shared) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setConnectOptions(target.postgres + QStringLiteral(";connect_timeout=%1").arg(target.connectTimeoutS));
    } else {
        const QString path = isShared() ? spoolFile(target) : target.sqlitePath;
        QDir().mkpath(QFileInfo(path).absolutePath());
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    }
    if (!db.isValid()) {
        *why = QStringLiteral("Qt has no %1 driver (install libqt6sql6-%2)")
                   .arg(shared ? "PostgreSQL" : "SQLite", shared ? "psql" : "sqlite");
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        return QSqlDatabase();
    }
    if (!db.open() || !prepare(db, shared, why)) {
        if (why->isEmpty())
            *why = db.lastError().text().trimmed();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        return QSqlDatabase();
    }
    map.insert(thread, db);
    return db;
}

bool Backend::prepare(QSqlDatabase db, bool shared, QString *why)
{
    if (shared) {
        // The role the programs use may only insert and select: the table is
        // made by its owner (README). Where it is missing, try to make it.
        QSqlQuery probe(db);
        if (probe.exec(QStringLiteral("SELECT 1 FROM kestran_history LIMIT 0")))
            return true;
        for (const QString &sql : schema(true)) {
            if (run(db, sql, why))
                continue;
            // Another program may have made it at the same moment.
            if (QSqlQuery(db).exec(QStringLiteral("SELECT 1 FROM kestran_history LIMIT 0")))
                return true;
            *why = QStringLiteral("the table kestran_history is missing and cannot be made: ") + *why;
            return false;
        }
        return true;
    }
    if (!run(db, QStringLiteral("PRAGMA journal_mode=WAL"), why))
        return false;
    for (const QString &sql : schema(false))
        if (!run(db, sql, why))
            return false;
    return true;
}

void Backend::dropShared()
{
    QStringList names;
    for (QSqlDatabase &db : m_shared) { names << db.connectionName(); db.close(); }
    m_shared.clear();
    for (const QString &n : names)
        QSqlDatabase::removeDatabase(n);
    m_sharedDown = true;
    m_sinceDown.start();
}

bool Backend::sharedUsable()
{
    return !m_sharedDown || m_sinceDown.elapsed() >= qint64(target.retryAfterS) * 1000;
}

bool Backend::append(QSqlDatabase db, QVector<Entry> *entries, bool skipKnown, QString *why)
{
    const bool pg = db.driverName() == QLatin1String("QPSQL");
    QSqlQuery q(db);
    if (pg) {
        if (!db.transaction()) {
            *why = db.lastError().text();
            return false;
        }
        q.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(?)"));
        q.addBindValue(kChainLock);
        if (!exec(q, why)) {
            db.rollback();
            return false;
        }
    } else if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *why = q.lastError().text();
        return false;
    }
    auto fail = [&](QSqlQuery &failed) {
        *why = failed.lastError().text();
        if (pg)
            db.rollback();
        else
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    QByteArray prev = genesis();
    if (!q.exec(QStringLiteral("SELECT hash FROM kestran_history ORDER BY seq DESC LIMIT 1")))
        return fail(q);
    if (q.next())
        prev = q.value(0).toByteArray();
    q.finish();
    QSqlQuery known(db), insert(db);
    if (skipKnown)
        known.prepare(QStringLiteral("SELECT 1 FROM kestran_history WHERE id = ?"));
    insert.prepare(QStringLiteral("INSERT INTO kestran_history (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                       .arg(entryColumns()));
    for (Entry &e : *entries) {
        if (skipKnown) {
            known.addBindValue(e.id);
            if (!known.exec())
                return fail(known);
            const bool there = known.next();
            known.finish();
            if (there)
                continue;
        }
        e.file.lines = QStringList();
        const QByteArray hash = chainHash(prev, e);
        const QVariant noText = QVariant(QMetaType::fromType<QString>());
        auto text = [&](const QString &s) { return s.isEmpty() ? noText : QVariant(s); };
        insert.addBindValue(e.id);
        insert.addBindValue(int(e.kind));
        insert.addBindValue(e.group.isEmpty() ? QVariant(QMetaType::fromType<QByteArray>()) : QVariant(e.group));
        insert.addBindValue(e.at.toMSecsSinceEpoch());
        insert.addBindValue(text(e.origin.who));
        insert.addBindValue(text(e.origin.machine));
        insert.addBindValue(text(e.origin.program));
        insert.addBindValue(text(e.origin.port));
        insert.addBindValue(text(e.origin.line));
        insert.addBindValue(e.device);
        insert.addBindValue(text(e.parameter));
        insert.addBindValue(text(e.before));
        insert.addBindValue(text(e.sent));
        insert.addBindValue(text(e.file.file));
        insert.addBindValue(e.file.sha256.isEmpty() ? QVariant(QMetaType::fromType<QByteArray>()) : QVariant(e.file.sha256));
        insert.addBindValue(text(e.file.devices));
        insert.addBindValue(text(e.file.result));
        insert.addBindValue(prev);
        insert.addBindValue(hash);
        if (!insert.exec())
            return fail(insert);
        e.prev = prev;
        e.hash = hash;
        prev = hash;
    }
    if (pg ? !db.commit() : !q.exec(QStringLiteral("COMMIT"))) {
        *why = pg ? db.lastError().text() : q.lastError().text();
        if (pg)
            db.rollback();
        else
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

int Backend::sendSpool(QString *why)
{
    // A spool that cannot be opened holds nothing to send.
    QString localWhy;
    QSqlDatabase local = connection(false, &localWhy);
    QSqlDatabase shared = connection(true, why);
    if (!shared.isValid())
        return -1;
    int sent = 0;
    while (local.isValid()) {
        QSqlQuery q(local);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT seq, %1 FROM kestran_history ORDER BY seq LIMIT 500").arg(entryColumns()))) {
            *why = q.lastError().text();
            return -1;
        }
        QVector<Entry> batch;
        qint64 last = 0;
        while (q.next()) {
            last = q.value(0).toLongLong();
            batch.append(rowToEntry(q));
        }
        q.finish();
        if (batch.isEmpty())
            return sent;
        // Sent first, then taken out of the spool: a crash in between sends
        // them again, and the ids already on record are skipped.
        if (!append(shared, &batch, true, why))
            return -1;
        QSqlQuery del(local);
        del.prepare(QStringLiteral("DELETE FROM kestran_history WHERE seq <= ?"));
        del.addBindValue(last);
        if (!exec(del, why))
            return -1;
        sent += int(batch.size());
    }
    return sent;
}

bool Backend::store(QVector<Entry> entries, QString *why)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    QString sharedWhy;
    if (isShared() && sharedUsable()) {
        if (sendSpool(&sharedWhy) >= 0) {
            QSqlDatabase db = connection(true, &sharedWhy);
            if (db.isValid() && append(db, &entries, false, &sharedWhy))
                return true;
        }
        dropShared();
        say(QStringLiteral("the history database %1 cannot be reached (%2); changes are kept in %3 and sent on when it is back")
                .arg(target.described, sharedWhy.trimmed(), spoolFile(target)));
    }
    QString localWhy;
    QSqlDatabase db = connection(false, &localWhy);
    if (db.isValid() && append(db, &entries, false, &localWhy))
        return true;
    const QString path = isShared() ? spoolFile(target) : target.sqlitePath;
    *why = isShared() ? QStringLiteral("the history database %1 cannot be reached (%2) and the spool %3 cannot be written (%4)")
                            .arg(target.described, sharedWhy.trimmed(), path, localWhy.trimmed())
                      : QStringLiteral("the history %1 cannot be written (%2)").arg(path, localWhy.trimmed());
    return false;
}

// ---------------------------------------------------------------- Recorder

std::unique_ptr<Recorder> Recorder::open(const Target &target, QString *why)
{
    std::unique_ptr<Recorder> r(new Recorder);
    r->m_backend = std::make_unique<Backend>(target);
    if (target.kind == Target::None)
        return r;
    // SQLite: the file must open. PostgreSQL: the spool or the database.
    QSqlDatabase db = r->m_backend->connection(false, why);
    if (db.isValid())
        return r;
    if (target.kind == Target::Postgres) {
        QString sharedWhy;
        if (r->m_backend->connection(true, &sharedWhy).isValid())
            return r;
        *why = QStringLiteral("the history database %1 cannot be reached (%2) and the spool %3 cannot be opened (%4)")
                   .arg(target.described, sharedWhy.trimmed(), spoolFile(target), why->trimmed());
        return nullptr;
    }
    *why = QStringLiteral("the history %1 cannot be opened: %2").arg(target.sqlitePath, why->trimmed());
    return nullptr;
}

Recorder::~Recorder() = default;

void Recorder::setNotice(std::function<void(const QString &)> notice) { m_backend->notice = std::move(notice); }

QByteArray Recorder::newGroup() { return randomId(); }

bool Recorder::require() const { return m_backend->target.require; }
bool Recorder::recording() const { return m_backend->target.kind != Target::None; }
QString Recorder::describe() const { return m_backend->target.described; }

// Stores the entries, or says once that nothing is recorded, and why.
bool Recorder::store(const QVector<Entry> &entries, QString *why)
{
    QString w;
    if (m_backend->store(entries, &w))
        return true;
    m_backend->say(QStringLiteral("nothing is recorded: ") + w);
    if (why)
        *why = w;
    return false;
}

bool Recorder::beginChange(const QByteArray &group, const Origin &origin, const QVector<ChangeValue> &values,
                           Pending *pending, QString *why)
{
    pending->group = group;
    pending->origin = origin;
    pending->values = values;
    pending->recorded = false;
    if (!recording() || values.isEmpty())
        return true;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QVector<Entry> entries;
    for (const ChangeValue &v : values) {
        Entry e;
        e.id = randomId();
        e.kind = Entry::Change;
        e.group = group;
        e.at = now;
        e.origin = origin;
        e.device = v.device;
        e.parameter = v.parameter;
        e.before = v.before;
        e.sent = v.sent;
        entries.append(e);
    }
    if (!store(entries, why))
        return false;
    pending->recorded = true;
    return true;
}

bool Recorder::finish(const Pending &pending, const QVector<Outcome> &outcomes, QString *why)
{
    if (!recording() || !pending.recorded)
        return true;
    // One entry per device: the outcome of each of its values.
    QMap<int, QVector<QPair<QString, Outcome>>> byDevice;
    for (int i = 0; i < pending.values.size(); ++i) {
        const ChangeValue &v = pending.values[i];
        // A name that comes twice (a Setup field edited during a pause) is told apart by the value sent.
        int same = 0;
        for (const ChangeValue &w : pending.values)
            same += w.device == v.device && w.parameter == v.parameter;
        const QString key = same > 1 ? v.parameter + QLatin1Char('=') + v.sent : v.parameter;
        byDevice[v.device].append({key, outcomes.value(i, Outcome::Unknown)});
    }
    QVector<Entry> entries;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (auto it = byDevice.cbegin(); it != byDevice.cend(); ++it) {
        Entry e;
        e.id = randomId();
        e.kind = Entry::OutcomeOf;
        e.group = pending.group;
        e.at = now;
        e.origin.port = pending.origin.port;
        e.origin.line = pending.origin.line;
        e.device = it.key();
        e.file.result = outcomesText(it.value());
        entries.append(e);
    }
    return store(entries, why);
}

bool Recorder::recordFile(const Origin &origin, const FileRecord &file, QString *why)
{
    if (!recording())
        return true;
    Entry e;
    e.id = randomId();
    e.kind = Entry::File;
    e.at = QDateTime::currentDateTimeUtc();
    e.origin = origin;
    e.origin.line = file.lines.join(QLatin1Char(','));
    e.file = file;
    e.parameter = file.kind == FileRecord::Check ? QStringLiteral("check") : QStringLiteral("backup");
    return store({e}, why);
}

int Recorder::sync()
{
    if (!m_backend->isShared())
        return 0;
    std::lock_guard<std::recursive_mutex> lock(m_backend->mutex);
    QString why;
    const int n = m_backend->sendSpool(&why);
    if (n < 0)
        m_backend->dropShared();
    return n;
}

} // namespace kestran::history
