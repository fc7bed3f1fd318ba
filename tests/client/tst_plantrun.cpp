// Many lines served at once: lines on the computer's own ports share threads
// as fibers, and every line still goes its own way; the fibers themselves.
#include "linefibers.h"
#include "plantrun.h"
#include "ptycounterline.h"

#include <QtTest>

#include <memory>
#include <vector>

using namespace kestran;
using sim::LineOptions;
using sim::PtyCounterLine;

class TestPlantRun : public QObject {
    Q_OBJECT
private slots:
    // Works take turns at every wait, in the order they were added, and a
    // round takes in the thread's events before the next turn.
    void fibersTakeTurns()
    {
        if (!LineFibers::available())
            QSKIP("no fibers on this system: every line has a thread of its own");
        QStringList log;
        int timerFired = 0;
        LineFibers fibers(1000000);
        for (const QString &name : {QStringLiteral("a"), QStringLiteral("b")}) {
            fibers.add([&log, &timerFired, name] {
                QVERIFY(LineFibers::inFiber());
                for (int step = 1; step <= 3; ++step) {
                    log << name + QString::number(step);
                    if (name == QLatin1String("a") && step == 1)
                        QTimer::singleShot(0, [&timerFired] { ++timerFired; });
                    LineFibers::wait();
                    if (name == QLatin1String("a") && step == 1)
                        log << QStringLiteral("timer %1").arg(timerFired);
                }
            });
        }
        QVERIFY(!LineFibers::inFiber());
        fibers.run();
        QCOMPARE(log.join(QLatin1Char(' ')), QStringLiteral("a1 b1 timer 1 a2 b2 a3 b3"));
    }

    // Four lines in one run: the ones that answer are read whole, the silent
    // one and the missing port end as themselves, and the silent line's
    // retries do not hold the others up.
    void linesGoTheirOwnWay()
    {
        LineOptions paced;
        paced.pace = true;
        LineOptions silent = paced;
        silent.devices = {5};
        std::vector<std::unique_ptr<PtyCounterLine>> lines;
        for (const LineOptions &o : {paced, silent, paced}) {
            lines.push_back(std::make_unique<PtyCounterLine>(o));
            QVERIFY(lines.back()->start());
        }
        QVector<LineTask> tasks;
        QVector<int> values(4, -1);
        for (int i = 0; i < 4; ++i) {
            const QString port = i < 3 ? lines[size_t(i)]->slavePath() : QStringLiteral("/nonexistent/tty-kestran");
            LineTask task;
            task.name = QStringLiteral("line-%1").arg(i);
            task.port = port;
            task.work = [&values, i](CounterClient &c) { values[i] = int(c.read(2, {300, 1, 50}).values.size()); };
            tasks.append(task);
        }
        PlantRun run;
        QStringList failed;
        const QVector<LineOutcome> out = run.run(tasks, {}, [&failed](int line, const QString &) {
            failed << QString::number(line);
        });
        QCOMPARE(out.size(), 4);
        QCOMPARE(values, (QVector<int>{8, 0, 8, -1}));
        QVERIFY(out[0].opened && out[1].opened && out[2].opened && !out[3].opened);
        QCOMPARE(failed, QStringList{QStringLiteral("3")});
        // The silent line waited out two time-outs; the others were done long before.
        QVERIFY(out[0].endedNs < out[1].endedNs && out[2].endedNs < out[1].endedNs);
        QCOMPARE(lines[1]->received().count('*'), 2);
    }
};

QTEST_GUILESS_MAIN(TestPlantRun)
#include "tst_plantrun.moc"
