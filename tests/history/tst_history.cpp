// The history on SQLite and on a real PostgreSQL 15 started here: what goes on
// record and comes back, the chain and what breaks it, and the faults: the
// database stopped mid-run, a full disk, two programs at once, a program that
// ends between the intent and the outcome.
#include "history.h"
#include "pgserver.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace kestran::history;

namespace {

Origin origin(const QString &who = QStringLiteral("alice"), const QString &line = QStringLiteral("press-3"))
{
    Origin o;
    o.who = who;
    o.machine = QStringLiteral("host-1");
    o.program = QStringLiteral("tst_history 1");
    o.port = QStringLiteral("/dev/pts/9");
    o.line = line;
    return o;
}

// One change of `n` values on `device`, with outcomes; false on failure.
bool change(Recorder &r, int device, const QVector<QPair<QString, QString>> &values, Outcome outcome,
            const Origin &o = origin(), bool finish = true)
{
    QVector<ChangeValue> v;
    for (const auto &p : values)
        v.append({device, p.first, QStringLiteral("+0000001"), p.second});
    Pending pending;
    if (!r.beginChange(Recorder::newGroup(), o, v, &pending))
        return false;
    return !finish || r.finish(pending, QVector<Outcome>(v.size(), outcome));
}

// The writer mode: this program, started again, records `count` changes.
int writer()
{
    Target t;
    QString why;
    if (!parseTarget(qEnvironmentVariable("KESTRAN_TEST_WRITER"), &t, &why))
        return 2;
    t.spoolPath = qEnvironmentVariable("KESTRAN_TEST_SPOOL");
    auto r = Recorder::open(t, &why);
    if (!r)
        return 3;
    const int count = qEnvironmentVariableIntValue("KESTRAN_TEST_COUNT");
    for (int i = 0; i < count; ++i)
        if (!change(*r, i % 8, {{QStringLiteral("TARGET"), QStringLiteral("+%1").arg(i, 7, 10, QLatin1Char('0'))}},
                    Outcome::Verified))
            return 4;
    return 0;
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

    kestran::test::PgServer m_pg;
    bool m_pgUp = false;
    QTemporaryDir m_dir;
    int m_n = 0;

    // A fresh store of the row's kind.
    Target fresh(const QString &kind)
    {
        Target t;
        ++m_n;
        QString why;
        if (kind == QLatin1String("postgres")) {
            const QString db = QStringLiteral("h%1").arg(m_n);
            m_pg.psql(QStringLiteral("CREATE DATABASE %1").arg(db));
            parseTarget(QStringLiteral("postgresql://kestran_admin@127.0.0.1:%1/%2").arg(m_pg.port()).arg(db), &t, &why);
            t.spoolPath = m_dir.filePath(QStringLiteral("spool%1.sqlite").arg(m_n));
            t.retryAfterS = 0;
        } else {
            parseTarget(QStringLiteral("sqlite:") + m_dir.filePath(QStringLiteral("h%1.sqlite").arg(m_n)), &t, &why);
        }
        return t;
    }
    // SQL run on the store behind the recorder's back, as someone with write access would.
    bool tamper(const Target &t, const QString &sql)
    {
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(t.kind == Target::Postgres ? "QPSQL" : "QSQLITE", "tamper");
            if (t.kind == Target::Postgres)
                db.setConnectOptions(t.postgres);
            else
                db.setDatabaseName(t.sqlitePath);
            ok = db.open() && QSqlQuery(db).exec(sql);
            db.close();
        }
        QSqlDatabase::removeDatabase("tamper");
        return ok;
    }
    void backends()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgres") << "postgres";
    }
    void needBackend(const QString &kind)
    {
        if (kind == QLatin1String("postgres") && !m_pgUp)
            QFAIL(qPrintable(QStringLiteral("PostgreSQL did not start: ") + m_pg.error()));
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("data")).toUtf8());
        m_pgUp = m_pg.init() && m_pg.start();
    }

    void targets_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("options");   // Postgres: the driver's options; else "" or the error's start
        QTest::newRow("default") << "" << int(Target::Default) << "";
        QTest::newRow("none") << "none" << int(Target::None) << "";
        QTest::newRow("sqlite") << "sqlite:/tmp/x.sqlite" << int(Target::Sqlite) << "";
        QTest::newRow("url") << "postgresql://rec@db.plant:5433/plant?sslmode=verify-full" << int(Target::Postgres)
                             << "host='db.plant';port=5433;dbname='plant';user='rec';sslmode='verify-full'";
        QTest::newRow("service") << "plant-history" << int(Target::Postgres) << "service=plant-history";
        QTest::newRow("service=") << "service=plant" << int(Target::Postgres) << "service=plant";
        QTest::newRow("password in url") << "postgresql://rec:secret@db/plant" << -1 << "a password does not go";
        QTest::newRow("password option") << "postgresql://rec@db/plant?password=x" << -1 << "a password does not go";
        QTest::newRow("quote injected") << "postgresql://rec@db/plant?sslmode=x'%20host='evil" << int(Target::Postgres)
                                        << "host='db';dbname='plant';user='rec';sslmode='x\\' host=\\'evil'";
        QTest::newRow("separator") << "postgresql://rec@db/plant?application_name=a;b" << -1 << "the value of";
        QTest::newRow("not a target") << "my db" << -1 << "\u201Cmy db\u201D is not";
        QTest::newRow("empty sqlite") << "sqlite:" << -1 << "sqlite: needs";
    }
    void targets()
    {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(QString, options);
        Target t;
        QString why;
        const bool ok = parseTarget(text, &t, &why);
        QCOMPARE(ok, kind >= 0);
        if (!ok) {
            QVERIFY2(why.startsWith(options), qPrintable(why));
            return;
        }
        QCOMPARE(int(t.kind), kind);
        if (kind == Target::Postgres)
            QCOMPARE(t.postgres, options);
        QVERIFY(!t.described.contains(QLatin1String("secret")));
    }

    void roundTrip_data() { backends(); }
    void roundTrip()
    {
        QFETCH(QString, kind);
        needBackend(kind);
        const Target t = fresh(kind);
        QString why;
        auto r = Recorder::open(t, &why);
        QVERIFY2(r, qPrintable(why));
        QVERIFY(change(*r, 5, {{"TARGET", "+0004000"}, {"RESET", "+0000100"}}, Outcome::Verified));
        QVERIFY(change(*r, 5, {{"RESET", "+0000200"}}, Outcome::ReadOtherwise, origin("bob")));
        QVERIFY(change(*r, 2, {{"ALARM", "+0000003"}}, Outcome::Verified, origin("alice", "press-4")));
        // Ended between intent and outcome.
        QVERIFY(change(*r, 5, {{"TARGET", "+0009999"}}, Outcome::Verified, origin(), false));
        FileRecord f;
        f.file = "/srv/plant.json";
        f.sha256 = QByteArray(32, 'x');
        f.lines = QStringList{"press-3", "press_4"};
        f.devices = "press-3:0,5";
        f.result = "saved";
        QVERIFY(r->recordFile(origin(), f));

        QVector<Entry> all;
        QVERIFY2(r->query(Filter{}, &all, &why), qPrintable(why));
        QCOMPARE(all.size(), 6);
        QCOMPARE(all[0].kind, Entry::File);
        QCOMPARE(all[0].file.lines, f.lines);
        QCOMPARE(all[0].file.sha256, f.sha256);
        QCOMPARE(all[1].sent, QStringLiteral("+0009999"));
        QCOMPARE(all[1].outcome, Outcome::Unknown);
        QCOMPARE(all[3].outcome, Outcome::ReadOtherwise);
        QCOMPARE(all[3].origin.who, QStringLiteral("bob"));
        QCOMPARE(all[4].group, all[5].group);   // one Setup, one group
        QCOMPARE(all[4].outcome, Outcome::Verified);
        QCOMPARE(all[5].before, QStringLiteral("+0000001"));
        QCOMPARE(all[5].origin.machine, QStringLiteral("host-1"));
        QCOMPARE(all[5].at.timeSpec(), Qt::UTC);

        struct Case { Filter f; int count; };
        Filter byDevice; byDevice.device = 5; byDevice.lines = QStringList{"press-3"};
        Filter byWho; byWho.who = "bob";
        Filter byParam; byParam.parameters = QStringList{"RESET"};
        Filter byLine; byLine.lines = QStringList{"press-4"};
        Filter byFileLine; byFileLine.lines = QStringList{"press_4"};      // '_' is no wildcard
        Filter byWildcard; byWildcard.lines = QStringList{"press%"};
        Filter byPort; byPort.lines = QStringList{"/dev/pts/9"};
        Filter future; future.since = QDateTime::currentDateTimeUtc().addSecs(60);
        Filter past; past.until = QDateTime::currentDateTimeUtc().addSecs(-60);
        Filter at; at.at = QDateTime::currentDateTimeUtc().addSecs(1); at.device = 5;
        for (const Case &c : {Case{byDevice, 4}, Case{byWho, 1}, Case{byParam, 2}, Case{byLine, 1}, Case{byFileLine, 1},
                              Case{byWildcard, 0}, Case{byPort, 6}, Case{future, 0}, Case{past, 0}, Case{at, 2}}) {
            QVector<Entry> got;
            QVERIFY2(r->query(c.f, &got, &why), qPrintable(why));
            QCOMPARE(got.size(), c.count);
        }
        // As it stood: RESET's newest change, TARGET's newest (outcome unknown).
        QVector<Entry> stood;
        QVERIFY(r->query(at, &stood, &why));
        QCOMPARE(stood[0].sent, QStringLiteral("+0009999"));
        QCOMPARE(stood[1].sent, QStringLiteral("+0000200"));

        const VerifyResult v = r->verify();
        QVERIFY2(v.ok, qPrintable(v.why));
        QCOMPARE(v.entries, qint64(9));   // 5 intents, 3 outcomes, 1 file
    }

    // An entry changed, or one taken out, behind the programs' back: verify names the first that does not fit.
    void tampering_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("sql");
        QTest::addColumn<qint64>("bad");
        for (const char *k : {"sqlite", "postgres"}) {
            QTest::addRow("%s value", k) << k << "UPDATE kestran_history SET sent = '+0000666' WHERE seq = 4" << qint64(4);
            QTest::addRow("%s who", k) << k << "UPDATE kestran_history SET who = 'mallory' WHERE seq = 3" << qint64(3);
            QTest::addRow("%s removed", k) << k << "DELETE FROM kestran_history WHERE seq = 5" << qint64(6);
            QTest::addRow("%s oldest removed", k) << k << "DELETE FROM kestran_history WHERE seq <= 2" << qint64(3);
            QTest::addRow("%s outcome", k) << k << "UPDATE kestran_history SET result = 'TARGET:1' WHERE kind = 2 AND seq = 6" << qint64(6);
        }
    }
    void tampering()
    {
        QFETCH(QString, kind);
        QFETCH(QString, sql);
        QFETCH(qint64, bad);
        needBackend(kind);
        const Target t = fresh(kind);
        QString why;
        auto r = Recorder::open(t, &why);
        QVERIFY2(r, qPrintable(why));
        for (int i = 0; i < 4; ++i)
            QVERIFY(change(*r, i, {{"TARGET", "+0000010"}}, i == 2 ? Outcome::NotVerified : Outcome::Verified));
        QVERIFY(r->verify().ok);
        QVERIFY(tamper(t, sql));
        const VerifyResult v = r->verify();
        QVERIFY(!v.ok);
        QCOMPARE(v.firstBad, bad);
        QVERIFY(!v.why.isEmpty());
    }

    // Two programs record at once into one store: every entry is there once, and the chain holds.
    void twoPrograms_data() { backends(); }
    void twoPrograms()
    {
        QFETCH(QString, kind);
        needBackend(kind);
        const Target t = fresh(kind);
        const QString given = kind == QLatin1String("postgres")
                                  ? QStringLiteral("postgresql://kestran_admin@127.0.0.1:%1/h%2").arg(m_pg.port()).arg(m_n)
                                  : QStringLiteral("sqlite:") + t.sqlitePath;
        QList<QProcess *> writers;
        for (int i = 0; i < 2; ++i) {
            auto *p = new QProcess(this);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("KESTRAN_TEST_WRITER", given);
            env.insert("KESTRAN_TEST_SPOOL", m_dir.filePath(QStringLiteral("writer%1-%2.sqlite").arg(m_n).arg(i)));
            env.insert("KESTRAN_TEST_COUNT", "150");
            p->setProcessEnvironment(env);
            p->start(QCoreApplication::applicationFilePath(), {});
            writers << p;
        }
        for (QProcess *p : writers) {
            QVERIFY(p->waitForFinished(120000));
            QCOMPARE(p->exitCode(), 0);
        }
        QString why;
        auto r = Recorder::open(t, &why);
        QVERIFY(r);
        QVector<Entry> all;
        QVERIFY(r->query(Filter{}, &all, &why));
        QCOMPARE(all.size(), 300);
        for (const Entry &e : all)
            QCOMPARE(e.outcome, Outcome::Verified);
        const VerifyResult v = r->verify();
        QVERIFY2(v.ok, qPrintable(v.why));
        QCOMPARE(v.entries, qint64(600));
    }

    // The shared database stops mid-run: the spool takes over, says so once,
    // and once it is back everything is there once, in a chain that holds.
    void databaseStopped()
    {
        needBackend("postgres");
        const Target t = fresh("postgres");
        QString why;
        auto r = Recorder::open(t, &why);
        QVERIFY(r);
        QStringList notices;
        r->setNotice([&](const QString &n) { notices << n; });
        QVERIFY(change(*r, 1, {{"TARGET", "+0000001"}}, Outcome::Verified));
        Pending across;   // begun before the stop, finished during it
        QVERIFY(r->beginChange(Recorder::newGroup(), origin(), {{1, "RESET", "", "+0000005"}}, &across));
        QVERIFY(m_pg.stop());
        QVERIFY(r->finish(across, {Outcome::NotVerified}));
        for (int i = 0; i < 5; ++i)
            QVERIFY(change(*r, 2, {{"ALARM", "+0000002"}}, Outcome::Verified));
        QCOMPARE(notices.size(), 1);
        QVERIFY(notices[0].contains(QLatin1String("cannot be reached")));
        QCOMPARE(r->spooled(), 11);
        QVector<Entry> none;
        QVERIFY(!r->query(Filter{}, &none, &why));   // reading needs the shared copy
        // The spool as it stood, to play a crash between sending it and emptying it.
        const QString copy = m_dir.filePath("spool-copy.sqlite");
        for (const char *end : {"", "-wal"})
            QVERIFY(QFile::copy(t.spoolPath + end, copy + end));
        QVERIFY(m_pg.start());
        QCOMPARE(r->sync(), 11);
        QCOMPARE(r->spooled(), 0);
        r.reset();
        for (const char *end : {"", "-wal", "-shm"}) {
            QFile::remove(t.spoolPath + end);
            if (QFile::exists(copy + end))
                QVERIFY(QFile::copy(copy + end, t.spoolPath + end));
        }
        r = Recorder::open(t, &why);
        QCOMPARE(r->spooled(), 11);
        QVERIFY(change(*r, 3, {{"TARGET", "+0000003"}}, Outcome::Verified));   // sends the spool on first
        QCOMPARE(r->spooled(), 0);
        QVector<Entry> all;
        QVERIFY2(r->query(Filter{}, &all, &why), qPrintable(why));
        QCOMPARE(all.size(), 8);
        QCOMPARE(all[6].parameter, QStringLiteral("RESET"));
        QCOMPARE(all[6].outcome, Outcome::NotVerified);
        const VerifyResult v = r->verify();
        QVERIFY2(v.ok, qPrintable(v.why));
        QCOMPARE(v.entries, qint64(16));
    }

    // Nowhere to write: the shared database down and the spool impossible, or a full disk.
    void nowhereToWrite()
    {
        needBackend("postgres");
        Target t = fresh("postgres");
        t.spoolPath = QStringLiteral("/proc/no-such/spool.sqlite");
        t.require = true;
        QVERIFY(m_pg.stop());
        QString why;
        QVERIFY(!Recorder::open(t, &why));
        QVERIFY2(why.contains(QLatin1String("cannot be reached")) && why.contains(QLatin1String("spool")), qPrintable(why));
        QVERIFY(m_pg.start());
        auto r = Recorder::open(t, &why);
        QVERIFY2(r, qPrintable(why));
        QVERIFY(change(*r, 1, {{"TARGET", "+0000001"}}, Outcome::Verified));
        QVERIFY(m_pg.stop());
        Pending p;
        QVERIFY(!r->beginChange(Recorder::newGroup(), origin(), {{1, "TARGET", "", "+0000002"}}, &p, &why));
        QVERIFY(!p.recorded);
        QVERIFY2(why.contains(QLatin1String("cannot be written")) || why.contains(QLatin1String("cannot be opened")), qPrintable(why));
        QVERIFY(m_pg.start());
    }

    void fullDisk()
    {
        const Target t = fresh("sqlite");
        QString why;
        auto r = Recorder::open(t, &why);
        QVERIFY(r);
        for (int i = 0; i < 20; ++i)
            QVERIFY(change(*r, 1, {{"TARGET", "+0000001"}}, Outcome::Verified));
        // No file of this process may grow from here on.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit tiny = old;
        tiny.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &tiny);
        int failedAt = -1;
        for (int i = 0; i < 400 && failedAt < 0; ++i)
            if (!change(*r, 2, {{"TARGET", QStringLiteral("+%1").arg(i, 7, 10, QLatin1Char('0'))}}, Outcome::Verified))
                failedAt = i;
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(failedAt >= 0);
        r.reset();
        r = Recorder::open(t, &why);
        QVERIFY(r);
        const VerifyResult v = r->verify();
        QVERIFY2(v.ok, qPrintable(v.why));
        QVERIFY(v.entries >= 40);
    }

    // The role the README gives: INSERT and SELECT only. It records and reads; it cannot change an entry.
    void insertOnlyRole()
    {
        needBackend("postgres");
        const Target admin = fresh("postgres");
        QString why;
        {
            auto owner = Recorder::open(admin, &why);   // makes the table as its owner
            QVERIFY(owner && change(*owner, 1, {{"TARGET", "+0000009"}}, Outcome::Verified));
            QCOMPARE(owner->spooled(), 0);
        }
        const QString db = QStringLiteral("h%1").arg(m_n);
        QVERIFY2(m_pg.psql(QStringLiteral("CREATE ROLE kestran_rec%1 LOGIN").arg(m_n)), qPrintable(m_pg.error()));
        QVERIFY(tamper(admin, QStringLiteral("GRANT SELECT, INSERT ON kestran_history TO kestran_rec%1").arg(m_n)));
        QVERIFY(tamper(admin, QStringLiteral("GRANT USAGE ON SEQUENCE kestran_history_seq_seq TO kestran_rec%1").arg(m_n)));
        Target t;
        QVERIFY(parseTarget(QStringLiteral("postgresql://kestran_rec%1@127.0.0.1:%2/%3").arg(m_n).arg(m_pg.port()).arg(db), &t, &why));
        t.spoolPath = m_dir.filePath("rolespool.sqlite");
        auto r = Recorder::open(t, &why);
        QVERIFY(r);
        QVERIFY(change(*r, 1, {{"TARGET", "+0000001"}}, Outcome::Verified));
        QCOMPARE(r->spooled(), 0);
        QVERIFY(r->verify().ok);
        QVERIFY(!tamper(t, "UPDATE kestran_history SET sent = '+0000002'"));
        QVERIFY(!tamper(t, "DELETE FROM kestran_history"));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("KESTRAN_TEST_WRITER"))
        return writer();
    TestHistory t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_history.moc"
