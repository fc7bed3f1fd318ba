#pragma once
// Every entry of a SQLite history file, newest first (empty when it cannot
// be read), for the tests that look at what a program put on record.
#include "history.h"

#include <QVector>

namespace kestran::test {

inline QVector<history::Entry> recordedIn(const QString &db)
{
    history::Target t;
    QString why;
    history::parseTarget(QStringLiteral("sqlite:") + db, &t, &why);
    auto r = history::Recorder::open(t, &why);
    QVector<history::Entry> e;
    if (r)
        r->query(history::Filter{}, &e, &why);
    return e;
}

} // namespace kestran::test
