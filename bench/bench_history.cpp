// What the history costs.
//
// 1. A Setup of all seven settings in the window against the simulated
//    counters, from the click to the closing read-all on the far side, with
//    no history, with the SQLite file and with a local PostgreSQL (started
//    here, as the tests do): the median of the runs and its ratio to none.
// 2. A SQLite history of ENTRIES changes (Setups of seven values on 64 lines
//    of eight devices, each with its outcome, chained as the recorder chains
//    them): the file's bytes per entry, a query for one device on one line,
//    and a walk along the whole chain.
//
//   bench_history [runs] [entries]     (default 7 and 1000000)
#include "controls.h"
#include "form1.h"
#include "history.h"
#include "mscomm.h"
#include "pgserver.h"
#include "ptycounterline.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <functional>
#include <vector>

using namespace kestran;

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// This thread's CPU time: on a machine shared with other work the wall time
// of a walk or a query grows with the load, its CPU time much less.
double threadCpuS()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The median time of `runs` Setups with the history in `where` ("none", "sqlite:…", a URL).
double setupMs(sim::PtyCounterLine &line, const QString &where, int runs)
{
    qputenv("KESTRAN_HISTORY", where.toUtf8());
    MSComm comm;
    Form1 form(&comm);
    form.load();
    form.cCom->setText(line.slavePath());
    form.bCONNECT->click();
    form.cDEVICE->setListIndex(3);
    if (!comm.PortOpen() || !waitFor([&] { return form.sALARM->text().size() == 8; }, 3000))
        return -1;
    const char *values[2][7] = {{"+0001234", "-0000567", "+0000089", "+0000011", "+0000022", "+0000033", "+0000044"},
                                {"+0004321", "-0000765", "+0000098", "+0000012", "+0000023", "+0000034", "+0000045"}};
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        for (int step = 0; step < 7; ++step) {
            form.checkBoxes()[step]->setValue(1);
            form.settingFields()[step]->setText(QString::fromLatin1(values[run % 2][step]));
        }
        waitFor([] { return false; }, 300);   // the last run's read-back and its outcome
        line.clearArrivals();
        const qint64 t0 = sim::PtyCounterLine::nowNs();
        form.bSETUP->click();
        if (!waitFor([&] { return line.arrivals().size() >= 7 * 15 + 8; }, 5000))
            return -1;
        ms.push_back((line.arrivals().back().ns - t0) / 1e6);
    }
    waitFor([] { return false; }, 1200);
    return median(ms);
}

// Fills a SQLite history with `entries` changes the way the recorder writes
// them, in one transaction (the recorder commits each change on its own;
// only the figures read afterwards matter here).
bool fill(const QString &path, int entries)
{
    history::Target t;
    QString why;
    history::parseTarget(QStringLiteral("sqlite:") + path, &t, &why);
    if (!history::Recorder::open(t, &why))   // makes the table and its indexes
        return false;
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
        db.setDatabaseName(path);
        db.open();
        QSqlQuery q(db);
        q.exec(QStringLiteral("BEGIN"));
        q.prepare(QStringLiteral("INSERT INTO kestran_history (id, kind, grp, at, who, machine, program, port, line, device, "
                                 "parameter, before, sent, file, sha256, devices, result, prev, hash) "
                                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        const char *names[7] = {"TARGET", "ACTUAL", "RESET", "DEBOUNCE0", "DEBOUNCE1", "DEBOUNCE2", "ALARM"};
        QByteArray prev(32, '\0');
        qint64 at = QDateTime::currentMSecsSinceEpoch() - qint64(entries) * 1000;
        auto insert = [&](history::Entry &e) {
            e.hash = history::chainHash(prev, e);
            const QVariant none;
            q.addBindValue(e.id);
            q.addBindValue(int(e.kind));
            q.addBindValue(e.group);
            q.addBindValue(e.at.toMSecsSinceEpoch());
            for (const QString *s : {&e.origin.who, &e.origin.machine, &e.origin.program, &e.origin.port, &e.origin.line})
                q.addBindValue(s->isEmpty() ? none : QVariant(*s));
            q.addBindValue(e.device);
            for (const QString *s : {&e.parameter, &e.before, &e.sent, &e.file.file})
                q.addBindValue(s->isEmpty() ? none : QVariant(*s));
            q.addBindValue(none);
            q.addBindValue(none);
            q.addBindValue(e.file.result.isEmpty() ? none : QVariant(e.file.result));
            q.addBindValue(prev);
            q.addBindValue(e.hash);
            ok = ok && q.exec();
            prev = e.hash;
        };
        QRandomGenerator rng(7);
        for (int n = 0; n < entries;) {
            const int lineNo = int(rng.bounded(64)), device = int(rng.bounded(8));
            const QByteArray group = history::Recorder::newGroup();
            history::Entry e;
            e.kind = history::Entry::Change;
            e.group = group;
            e.at = QDateTime::fromMSecsSinceEpoch(at += 7000, Qt::UTC);
            e.origin = {QStringLiteral("operator%1").arg(rng.bounded(20)), QStringLiteral("setup-pc-%1").arg(rng.bounded(10)),
                        QStringLiteral("kestran-setup 0.1"), QStringLiteral("rfc2217://gw-hall2:40%1").arg(lineNo, 2, 10, QLatin1Char('0')),
                        QStringLiteral("press-%1").arg(lineNo)};
            e.device = device;
            QStringList outcomes;
            for (int v = 0; v < 7 && n < entries; ++v, ++n) {
                e.id = history::Recorder::newGroup();
                e.parameter = QLatin1String(names[v]);
                e.before = QStringLiteral("+%1").arg(rng.bounded(10000000), 7, 10, QLatin1Char('0'));
                e.sent = QStringLiteral("+%1").arg(rng.bounded(10000000), 7, 10, QLatin1Char('0'));
                insert(e);
                outcomes << QStringLiteral("%1:1").arg(e.parameter);
            }
            history::Entry o;
            o.kind = history::Entry::OutcomeOf;
            o.id = history::Recorder::newGroup();
            o.group = group;
            o.at = e.at.addMSecs(2000);
            o.origin.port = e.origin.port;
            o.origin.line = e.origin.line;
            o.device = device;
            o.file.result = outcomes.join(QLatin1Char(','));
            insert(o);
        }
        ok = ok && q.exec(QStringLiteral("COMMIT"));
        q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const int entries = argc > 2 ? std::max(1000, atoi(argv[2])) : 1000000;
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toUtf8());

    // ---- 1. a Setup with and without its record
    sim::PtyCounterLine line;
    QString error;
    if (!line.start(&error)) {
        fprintf(stderr, "bench_history: cannot start the simulated line: %s\n", qPrintable(error));
        return 1;
    }
    test::PgServer pg;
    const bool pgUp = pg.init() && pg.start();
    if (!pgUp)
        fprintf(stderr, "bench_history: PostgreSQL did not start: %s\n", qPrintable(pg.error()));
    const double none = setupMs(line, QStringLiteral("none"), runs);
    const double lite = setupMs(line, QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("setup.sqlite")), runs);
    const double shared = pgUp ? setupMs(line, pg.url(), runs) : -1;
    printf("Setup of seven values, click to the closing read-all on the line (median of %d)\n", runs);
    printf("  no history   %8.1f ms\n  SQLite       %8.1f ms  (%.4fx)\n", none, lite, lite / none);
    if (shared > 0)
        printf("  PostgreSQL   %8.1f ms  (%.4fx)\n", shared, shared / none);
    printf("summary: history: Setup on SQLite | %.1f ms | %.1f ms | %.4fx | <= 1.01x\n", lite, none, lite / none);
    if (shared > 0)
        printf("summary: history: Setup on PostgreSQL | %.1f ms | %.1f ms | %.4fx | <= 1.01x\n", shared, none, shared / none);

    // ---- 2. a million entries
    const QString path = dir.filePath(QStringLiteral("big.sqlite"));
    QElapsedTimer clock;
    clock.start();
    if (!fill(path, entries)) {
        fprintf(stderr, "bench_history: filling the history failed\n");
        return 1;
    }
    const double fillS = clock.elapsed() / 1e3;
    const qint64 bytes = QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
    history::Target t;
    history::parseTarget(QStringLiteral("sqlite:") + path, &t, &error);
    auto r = history::Recorder::open(t, &error);
    std::vector<double> queryMs, queryCpuMs;
    int found = 0;
    for (int i = 0; i < 11; ++i) {
        history::Filter f;
        f.lines = QStringList{QStringLiteral("press-%1").arg(i * 5)};
        f.device = i % 8;
        QVector<history::Entry> got;
        clock.restart();
        const double cpu0 = threadCpuS();
        r->query(f, &got, &error);
        queryMs.push_back(clock.nsecsElapsed() / 1e6);
        queryCpuMs.push_back((threadCpuS() - cpu0) * 1e3);
        found += int(got.size());
    }
    std::vector<double> verifyS, verifyCpuS;
    history::VerifyResult v;
    for (int i = 0; i < 3; ++i) {
        clock.restart();
        const double cpu0 = threadCpuS();
        v = r->verify();
        verifyS.push_back(clock.nsecsElapsed() / 1e9);
        verifyCpuS.push_back(threadCpuS() - cpu0);
    }
    double load = 0;
    if (FILE *f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf", &load) != 1)
            load = 0;
        fclose(f);
    }
    printf("\n%d changes (and %d outcome entries), filled in %.1f s\n", entries, (entries + 6) / 7, fillS);
    printf("  on disk          %.1f MB, %.0f bytes an entry\n", bytes / 1e6, double(bytes) / entries);
    printf("  one device       %.1f ms median of 11, %.1f ms of CPU (%d entries each on average)\n", median(queryMs),
           median(queryCpuMs), found / 11);
    printf("  verify           %.2f s median of 3, %.2f s of CPU (%lld entries, %s)\n", median(verifyS), median(verifyCpuS),
           v.entries, v.ok ? "the chain holds" : qPrintable(v.why));
    printf("  (load average %.1f on %d cores meanwhile)\n", load, QThread::idealThreadCount());
    printf("summary: history: bytes an entry (%d) | %.0f B | - | - | <= 300 B\n", entries, double(bytes) / entries);
    printf("summary: history: one device's entries (%d) | %.1f ms | - | - | <= 50 ms\n", entries, median(queryMs));
    printf("summary: history: verify (%d) | %.2f s | - | - | <= 10 s\n", entries, median(verifyS));
    return 0;
}
