#pragma once
// The history kept with Qt SQL: a SQLite file, or a PostgreSQL database with
// a local SQLite spool for the times it cannot be reached.
#include "history.h"

#include <QElapsedTimer>
#include <QMap>
#include <QSqlDatabase>
#include <QVariant>

#include <mutex>

namespace kestran::history {

class Backend {
public:
    explicit Backend(const Target &t) : target(t) {}
    ~Backend();

    Target target;
    std::function<void(const QString &)> notice;
    std::recursive_mutex mutex;

    // A Qt SQL connection belongs to the thread that opened it: one per thread.
    // `shared`: the PostgreSQL database, else the SQLite file (the store
    // itself, or the spool).
    QSqlDatabase connection(bool shared, QString *why);
    void dropShared();            // after a failure: closed, tried again later
    bool sharedUsable();          // PostgreSQL: reachable now (or worth a try)

    // Inserts the entries in one transaction at the end of the chain of `db`;
    // each entry's prev and hash are set. `skipKnown`: entries whose id is on
    // record already are left out (sending the spool on).
    bool append(QSqlDatabase db, QVector<Entry> *entries, bool skipKnown, QString *why);
    // Where an entry goes now: the shared database when it can be reached
    // (the spool sent on first), else the SQLite file.
    bool store(QVector<Entry> entries, QString *why);
    int sendSpool(QString *why);

    void say(const QString &text);   // each message once

    QString table() const { return QStringLiteral("kestran_history"); }
    bool isShared() const { return target.kind == Target::Postgres; }

private:
    bool prepare(QSqlDatabase db, bool shared, QString *why);
    QMap<quintptr, QSqlDatabase> m_local, m_shared;
    QStringList m_said;
    bool m_sharedDown = false;
    QElapsedTimer m_sinceDown;
    bool m_sharedPrepared = false;
};

// The columns in the order rowToEntry reads them.
QString entryColumns();
Entry rowToEntry(const class QSqlQuery &q);
// "TARGET:1,RESET:3", the outcomes of one device's values in a change, by
// name; a name that comes twice by name and value sent ("RESET=+0000020:4").
QString outcomesText(const QVector<QPair<QString, Outcome>> &outcomes);
QMap<QString, Outcome> parseOutcomes(const QString &text);

} // namespace kestran::history
