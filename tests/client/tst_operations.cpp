// The counter operations against the simulated counters in process: a whole
// read with its shape check and retries, a line's backup, the restore plan
// and its writes, the check, and what became of each value written; and the
// one verdict every operation gives a device, on one line and as a plant.
#include "linebackup.h"
#include "linecheck.h"
#include "parameters.h"
#include "plantrun.h"
#include "ptycounterline.h"
#include "restoreplan.h"
#include "simcomm.h"

#include <QtTest>

using namespace kestran;
using test::SimComm;

namespace {

ReadOptions quick(int retries = 2)
{
    ReadOptions o;
    o.timeoutMs = 60;
    o.quietMs = 20;
    o.retries = retries;
    return o;
}

QMap<char, QString> valuesOf(const sim::CounterLine &line, int device)
{
    QMap<char, QString> v;
    for (int i = 0; i < 8; ++i)
        v.insert(char('0' + i), QString::fromLatin1(line.value(device, i)));
    return v;
}

// A column of the current data row, where QFETCH's variable would be in the way.
template <typename T>
T fetched(const char *column)
{
    return *static_cast<T *>(QTest::qData(column, qMetaTypeId<T>()));
}

// A reply whose value field is damaged on the way: the frame is whole, the field no value.
QByteArray garbledReply(const QByteArray &r)
{
    return r.size() == 15 ? QByteArray(r).replace(10, 1, "x") : r;
}

// The verdict of each operation on `device`, in the order read, scan, check,
// backup by number, backup of every device, restore: C complete, I
// incomplete, N no answer. A backup's and a restore's own findings must agree.
QString verdicts(CounterClient &client, int device, const SavedDevice &saved)
{
    auto letter = [](const ReadResult &r) {
        switch (presenceOf(r)) {
        case Presence::Complete: return QLatin1Char('C');
        case Presence::Incomplete: return QLatin1Char('I');
        case Presence::NoAnswer: break;
        }
        return QLatin1Char('N');
    };
    ReadOptions o = quick(1);
    o.timeoutMs = 40;   // eight devices, six operations: the silent ones kept short
    QString v;
    v += letter(client.read(device, o));
    const QVector<ReadResult> scanned = scanLine(client, o);
    v += scanned.size() == 8 ? letter(scanned[device]) : QLatin1Char('?');
    // A check judges by what it could compare.
    const LineCheck c = checkLine(client, {saved}, o, false);
    v += c.devices.size() != 1 ? QLatin1Char('?') : !c.devices[0].answered() ? QLatin1Char('N')
       : c.devices[0].unread.isEmpty() ? QLatin1Char('C') : QLatin1Char('I');
    for (const QVector<int> &asked : {QVector<int>{device}, QVector<int>{}}) {
        const LineBackup b = backupLine(client, asked, o);
        QChar s = QLatin1Char('?');
        for (const DeviceBackup &d : b.devices) {
            if (d.read.device != device)
                continue;
            const bool agrees = (d.status == DeviceBackup::Saved) == d.read.complete()
                             && (d.status == DeviceBackup::Absent) == (asked.isEmpty() && !d.read.answered());
            s = agrees ? letter(d.read) : QLatin1Char('!');
        }
        v += s;
    }
    const LineRestore r = restoreLine(client, {{&saved, device}}, RestoreChoice{}, o, true);
    v += r.devices.size() == 1 && r.devices[0].plan.isEmpty() != r.devices[0].now.complete() ? letter(r.devices[0].now)
                                                                                           : QLatin1Char('?');
    return v;
}

} // namespace

Q_DECLARE_METATYPE(ReadMode)

class TestOperations : public QObject {
    Q_OBJECT

private slots:
    // What a read keeps, and how often it asks, by the mode and what the counter says.
    void readWhole_data()
    {
        QTest::addColumn<ReadMode>("mode");
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("shapelessReplies");   // replies with DEBOUNCE0 out of shape, then good ones
        QTest::addColumn<bool>("complete");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QString>("shapeless");
        QTest::newRow("clean") << ReadMode::Whole << 3 << 0 << true << 1 << "";
        QTest::newRow("out of shape once, asked again") << ReadMode::Whole << 3 << 1 << true << 2 << "";
        QTest::newRow("out of shape always, within the retries") << ReadMode::Whole << 3 << 99 << false << 3 << "4";
        QTest::newRow("as sent keeps it") << ReadMode::AsSent << 3 << 99 << true << 1 << "";
        QTest::newRow("silent device, asked again") << ReadMode::Whole << 6 << 0 << false << 3 << "";
        QTest::newRow("silent device, probed once") << ReadMode::Probe << 6 << 0 << false << 1 << "";
    }
    void readWhole()
    {
        QFETCH(ReadMode, mode);
        QFETCH(int, device);
        QFETCH(int, shapelessReplies);
        SimComm comm({1, 3});
        int left = shapelessReplies;
        comm.mangle = [&](const QByteArray &r) {
            if (r[4] == '4' && left > 0) {
                --left;
                return QByteArray(r).replace(6, 8, "+0001234");
            }
            return r;
        };
        CounterClient client(&comm);
        const ReadResult r = client.read(device, quick(), mode);
        QCOMPARE(r.complete(), fetched<bool>("complete"));
        QCOMPARE(r.attempts, fetched<int>("attempts"));
        QCOMPARE(QString::fromLatin1(QByteArray(r.shapeless.keys().toVector().constData(), int(r.shapeless.size()))),
                 fetched<QString>("shapeless"));
        if (r.complete())
            QCOMPARE(r.values.value('4'), mode == ReadMode::AsSent && shapelessReplies ? QStringLiteral("+0001234")
                                                                                         : QString::fromLatin1(comm.line.value(device, 4)));
    }

    // A reply damaged on the line is no value: asked for again, and what is
    // kept is the counter's own.
    void damagedReplyAskedAgain_data()
    {
        QTest::addColumn<int>("kind");   // 0 a byte replaced, 1 removed, 2 inserted
        QTest::newRow("byte replaced") << 0;
        QTest::newRow("byte removed") << 1;
        QTest::newRow("byte inserted") << 2;
    }
    void damagedReplyAskedAgain()
    {
        QFETCH(int, kind);
        SimComm comm({3});
        QSet<char> damaged;
        comm.mangle = [&](const QByteArray &r) {
            if (r.size() < 14 || damaged.contains(r[4]))
                return r;
            damaged.insert(r[4]);
            QByteArray d = r;
            if (kind == 0)
                d[8] = 'x';
            else if (kind == 1)
                d.remove(8, 1);
            else
                d.insert(8, '7');
            return d;
        };
        CounterClient client(&comm);
        const ReadResult r = client.read(3, quick(), ReadMode::Whole);
        QVERIFY(r.complete());
        QCOMPARE(r.attempts, 2);
        QCOMPARE(r.values, valuesOf(comm.line, 3));
    }

    // Every device asked for is saved, absent or incomplete; a device asked for by number is never absent.
    void backupLine_data()
    {
        QTest::addColumn<QVector<int>>("devices");
        QTest::addColumn<QString>("statuses");   // S saved, A absent, I incomplete, in the order asked
        QTest::addColumn<int>("readAlls6");      // requests device 6 (silent) got
        QTest::newRow("all, probed") << QVector<int>{} << "ASASAAAA" << 1;
        QTest::newRow("by number") << QVector<int>{3, 6} << "SI" << 3;
    }
    void backupLine()
    {
        QFETCH(QVector<int>, devices);
        SimComm comm({1, 3});
        CounterClient client(&comm);
        QString seen;
        const LineBackup b = kestran::backupLine(client, devices, quick(), [&](const DeviceBackup &d) {
            seen += d.status == DeviceBackup::Saved ? 'S' : d.status == DeviceBackup::Absent ? 'A' : 'I';
        });
        QCOMPARE(seen, fetched<QString>("statuses"));
        QCOMPARE(comm.line.readAllCount(6), fetched<int>("readAlls6"));
        QCOMPARE(b.saved().size(), qsizetype(seen.count(QLatin1Char('S'))));
        QVERIFY(!b.ending.stopped());
    }

    // Which values a restore writes, and why it leaves the others.
    void planRestore_data()
    {
        QTest::addColumn<bool>("withLive");
        QTest::addColumn<QString>("only");
        QTest::addColumn<QString>("skip");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("liveCountLeft");   // left out as a live count
        QTest::newRow("default: ACTUAL is a count") << false << "" << "" << "0347" << "1";
        QTest::newRow("with live counts") << true << "" << "" << "01347" << "";
        QTest::newRow("only names ACTUAL") << false << "01" << "" << "01" << "";
        QTest::newRow("skip") << true << "" << "37" << "014" << "";
    }
    void planRestore()
    {
        QFETCH(QString, only);
        QFETCH(QString, skip);
        RestoreChoice choice;
        choice.withLiveCounts = fetched<bool>("withLive");
        for (QChar c : only)
            choice.only.append(char(c.unicode()));
        for (QChar c : skip)
            choice.skip.append(char(c.unicode()));
        // Held and saved differ in TARGET, ACTUAL, DIFFERENCE, RESET, DEBOUNCE0, ALARM; DEBOUNCE1 is
        // the same, DEBOUNCE2 is not in the file.
        const QMap<char, QString> held{{'0', "+0000001"}, {'1', "+0000002"}, {'2', "+0000003"}, {'3', "+0000004"},
                                       {'4', "+0000005"}, {'5', "+0000006"}, {'6', "+0000007"}, {'7', "+0000001"}};
        const QMap<char, QString> saved{{'0', "+0000011"}, {'1', "+0000012"}, {'2', "+0000013"}, {'3', "+0000014"},
                                        {'4', "+0000015"}, {'5', "+0000006"}, {'7', "+0000002"}};
        const QVector<PlannedValue> plan = kestran::planRestore(held, saved, choice);
        QCOMPARE(plan.size(), 8);
        QCOMPARE(plan[2].action, PlannedValue::ReadOnly);
        QCOMPARE(plan[5].action, PlannedValue::Same);
        QCOMPARE(plan[6].action, PlannedValue::NotInFile);
        QString written, live;
        for (const WriteStep &s : stepsOf(plan))
            written += QLatin1Char(s.index);
        for (const PlannedValue &v : plan)
            if (v.reason == PlannedValue::LiveCount)
                live += QLatin1Char(v.index);
        QCOMPARE(written, fetched<QString>("written"));
        QCOMPARE(live, fetched<QString>("liveCountLeft"));
    }

    // A restore reads, writes only what differs, verifies it; a dry run writes nothing.
    void restoreLine_data()
    {
        QTest::addColumn<bool>("dryRun");
        QTest::newRow("write") << false;
        QTest::newRow("dry run") << true;
    }
    void restoreLine()
    {
        QFETCH(bool, dryRun);
        SimComm comm({1, 3});
        SavedDevice saved{1, valuesOf(comm.line, 1)};   // device 1 copied onto device 3
        saved.values['0'] = QStringLiteral("+0004321");
        saved.values['3'] = comm.line.value(3, 3);
        CounterClient client(&comm);
        int plannedCalls = 0;
        const LineRestore r = kestran::restoreLine(client, {{&saved, 3}}, RestoreChoice{}, quick(), dryRun,
                                                   [&](const DeviceRestore &) { ++plannedCalls; });
        QCOMPARE(plannedCalls, 1);
        QCOMPARE(r.devices.size(), 1);
        const DeviceRestore &d = r.devices.first();
        // RESET is the same, ACTUAL a count, DIFFERENCE read-only: the settings that differ go.
        QString steps;
        for (const WriteStep &s : d.steps)
            steps += QLatin1Char(s.index);
        QCOMPARE(steps, QStringLiteral("04567"));
        QCOMPARE(comm.line.writeCount(3), dryRun ? 0 : 5);
        QCOMPARE(d.written, !dryRun);
        if (!dryRun) {
            QCOMPARE(comm.line.value(3, 0), QByteArray("+0004321"));
            for (int i = 0; i < d.write.steps.size(); ++i)
                QCOMPARE(kestran::stepResult(d.write, i), StepResult::Verified);
        }
    }

    // What became of each value of a write, by how it ended.
    void stepResult_data()
    {
        QTest::addColumn<int>("sent");
        QTest::addColumn<bool>("lost");
        QTest::addColumn<bool>("interrupted");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("readBack");   // TARGET, RESET as read back ("" none)
        QTest::addColumn<QString>("results");    // V verified, M mismatch, A no answer, U not verified, N not sent
        QTest::newRow("verified and mismatch") << 2 << false << false << false << "+0000001,+0000009" << "VM";
        QTest::newRow("no answer for one") << 2 << false << false << false << "+0000001," << "VA";
        QTest::newRow("lost after one") << 1 << true << false << false << "" << "UN";
        QTest::newRow("stopped in read-back") << 2 << false << true << false << "+0000001," << "VU";
        QTest::newRow("gateway busy") << 2 << true << false << true << "" << "NN";
    }
    void stepResult()
    {
        WriteReport w;
        w.steps = {{'0', "+0000001"}, {'3', "+0000002"}};
        w.sent = fetched<int>("sent");
        w.ending.lost = fetched<bool>("lost");
        w.ending.interrupted = fetched<bool>("interrupted");
        if (fetched<bool>("refused"))
            w.ending.fault = SerialFault::Busy;
        const QStringList read = fetched<QString>("readBack").split(QLatin1Char(','));
        if (read.size() == 2) {
            w.readBack.attempts = 1;
            if (!read[0].isEmpty())
                w.readBack.values.insert('0', read[0]);
            if (!read[1].isEmpty())
                w.readBack.values.insert('3', read[1]);
        }
        QString results;
        for (int i = 0; i < 2; ++i) {
            const StepResult r = kestran::stepResult(w, i);
            results += r == StepResult::Verified ? 'V' : r == StepResult::Mismatch ? 'M' : r == StepResult::NoAnswer ? 'A'
                     : r == StepResult::NotVerified ? 'U' : 'N';
        }
        QCOMPARE(results, fetched<QString>("results"));
    }

    // A check compares the settings; the live counts only when asked.
    void checkLine_data()
    {
        QTest::addColumn<bool>("withLive");
        QTest::addColumn<QString>("differences");
        QTest::newRow("settings") << false << "3:0";
        QTest::newRow("with live counts") << true << "3:012";
    }
    void checkLine()
    {
        SimComm comm({3});
        const QVector<SavedDevice> saved{{3, valuesOf(comm.line, 3)}, {5, valuesOf(comm.line, 3)}};
        comm.line.setValue(3, 0, "+0000777");   // TARGET changed, so DIFFERENCE too
        comm.line.setValue(3, 1, "+0000555");   // the count went on
        CounterClient client(&comm);
        const LineCheck c = kestran::checkLine(client, saved, quick(0), fetched<bool>("withLive"));
        QCOMPARE(c.devices.size(), 2);
        QString found = QStringLiteral("3:");
        for (const Difference &d : c.devices[0].differences)
            found += QLatin1Char(d.index);
        QCOMPARE(found, fetched<QString>("differences"));
        QVERIFY(!c.devices[1].answered());   // device 5 is not on the line
        QVERIFY(!c.allChecked());
    }

    // A counter that answers only damaged fields answered, but in no part;
    // one that says nothing and one that is not there did not answer. Every
    // operation says the same of each.
    void sameVerdictEverywhere_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<QString>("verdicts");
        QTest::newRow("whole") << 1 << "CCCCCC";
        QTest::newRow("garbled fields only") << 3 << "IIIIII";
        QTest::newRow("silent") << 4 << "NNNNNN";
        QTest::newRow("absent") << 5 << "NNNNNN";
    }
    void sameVerdictEverywhere()
    {
        QFETCH(int, device);
        SimComm comm({1, 3, 4});
        comm.mangle = [](const QByteArray &r) {
            return r[1] == '3' ? garbledReply(r) : r[1] == '4' ? QByteArray() : r;
        };
        const SavedDevice saved{device, valuesOf(comm.line, 1)};
        CounterClient client(&comm);
        QCOMPARE(verdicts(client, device, saved), fetched<QString>("verdicts"));
    }

    // The plant forms run the same operations on each line's own thread:
    // the verdicts are the one line's.
    void sameVerdictAsAPlant()
    {
        sim::PtyCounterLine line(sim::LineOptions{{1, 3}});
        QVERIFY(line.start());
        // Device 3's fields come without the value shape: its replies are frames, its values none.
        line.withLine([](sim::CounterLine &l) {
            for (int i = 0; i < 8; ++i)
                l.setValue(3, i, "+00x0001");
        });
        const SavedDevice saved{1, {{'0', QStringLiteral("+0000001")}}};
        QMap<int, QString> found;
        QVector<LineTask> tasks;
        tasks.append({QStringLiteral("press-1"), line.slavePath(), [&](CounterClient &client) {
                          for (int d : {1, 3, 5})
                              found[d] = verdicts(client, d, {d, saved.values});
                      }, {}});
        PlantRun run;
        const QVector<LineOutcome> outcomes = run.run(tasks, {});
        QVERIFY(outcomes[0].opened);
        QCOMPARE(found.value(1), QStringLiteral("CCCCCC"));
        QCOMPARE(found.value(3), QStringLiteral("IIIIII"));
        QCOMPARE(found.value(5), QStringLiteral("NNNNNN"));
    }

    // A lost line ends the operation at the device being read.
    void lostLineEnds()
    {
        SimComm comm({1, 3});
        comm.loseAt = [](const QByteArray &frame) { return frame.size() > 1 && frame[1] == '3'; };
        CounterClient client(&comm);
        const LineBackup b = kestran::backupLine(client, {}, quick());
        QVERIFY(b.ending.lost);
        QCOMPARE(b.stoppedAt, 3);
        QCOMPARE(b.saved().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
