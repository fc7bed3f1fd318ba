// A long run of the window against simulated counters on a pseudo-terminal:
// thousands of reads with noise, split, dropped and corrupted replies, device
// changes, the far end vanishing and coming back, and the port closed and
// reopened. Nothing may crash or hang, every well-formed reply for the selected
// device must reach the window, and memory must stay flat once the run settles.
//
// KESTRAN_SOAK_SECONDS sets the length of the run (default 60).
//
// How replies are counted on both sides
// - The simulator counts the reply frames it actually wrote, per device and
//   index, that have the reply layout (15 characters, "*", address "0".."7",
//   "C", separator, index "0".."7", separator, 8 characters, CR). Corrupted
//   frames that keep that layout are counted too: for the selected address
//   that is exactly the test the window's decoder applies at a frame end, so
//   the window must show them as well (with their damaged value).
// - The window shows a reply as one textChanged: the setting field's for the
//   indexes that have one (every read empties those fields first), the
//   DIFFERENCE display's for index 2 (emptied by this test before every read;
//   nothing in the window reads it). The counter's values change every cycle
//   and the eight values of one read differ pairwise in three characters, so a
//   single corruption (a changed index or value character) can never make a
//   reply repeat the text already in its field: one reply, one signal.
// - A corruption that turns the address into another device's moves the frame
//   to that device's count, and for the window it is no frame end. So only the
//   selected device's counts are compared, cycle by cycle (a cycle ends when
//   the simulator has seen the read, has nothing left to send and the window
//   has shown as many replies as were sent), and summed over the run.
// - A cycle cut short by pulling the line mid-reply is left out of the sums:
//   what was on the wire then is lost with the line, as with a real cable.
#include "processstats.h"
#include "waituntil.h"
#include "windowfixture.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <numeric>
#include <random>

using namespace kestran;
using sim::LineOptions;
using sim::SendStats;

namespace {


int rowSum(const SendStats &s, int device)
{
    return std::accumulate(s.replies[device].begin(), s.replies[device].end(), 0);
}

// The value of `index` in read number `cycle`: sign, index, index, four digits
// of the cycle, index. Two indexes' values differ in three characters.
QByteArray cycleValue(int cycle, int index)
{
    const char i = char('0' + index);
    return QByteArray(1, cycle % 3 == 0 ? '-' : '+') + i + i
        + QByteArray::number(cycle % 10000).rightJustified(4, '0') + i;
}

// The ways a line misbehaves during the run, used in turn.
QVector<LineOptions> lineKinds()
{
    auto kind = [](double noise, bool split, double drop, double corrupt, const QVector<int> &devices) {
        LineOptions o;
        o.noise = noise;
        o.split = split;
        o.drop = drop;
        o.corrupt = corrupt;
        o.devices = devices;
        return o;
    };
    return {kind(0.3, true, 0.05, 0.05, {}),         // everything at once
            kind(0, false, 0.1, 0.15, {}),           // heavy damage, no noise (the line is pulled mid-reply)
            kind(0.6, true, 0, 0.2, {0, 1, 2, 5}),   // some counters absent, a lot of noise and damage
            kind(0.1, false, 0.02, 0.02, {})};       // an ordinary, lightly noisy line
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString link;
    std::unique_ptr<WindowOnLine<>> win;
    Form1 *form = nullptr;
    LineOptions lineOptions;

    // Replies the window has shown in the current cycle.
    int shownThisCycle = 0;
    // Totals over the counted cycles.
    qint64 sent = 0, shown = 0, otherAddress = 0;
    int cycles = 0, countedCycles = 0, timedOut = 0, checkedValues = 0, wrongValues = 0;
    int losses = 0, reopens = 0, deviceChanges = 0, linesUsed = 0;
    QStringList faults;   // the first few failures, for the log
    std::mt19937 rng{20240607};

    void fault(const QString &what)
    {
        if (faults.size() < 10)
            faults << what;
    }

    int selected() const { return form->cDEVICE->ListIndex(); }

    void countShown(const QString &text)
    {
        if (!text.isEmpty())
            ++shownThisCycle;
    }

    bool newLine(const LineOptions &options)
    {
        lineOptions = options;
        lineOptions.seed = quint64(++linesUsed) * 7919;
        return win->startLine(lineOptions, link);
    }

    // One read: `action` sends the read-all (Read, a device pick, or Open).
    void cycle(const std::function<void()> &action, int device, bool counted = true)
    {
        ++cycles;
        // New values, so that every reply changes the text it lands in.
        win->line->withLine([&](sim::CounterLine &l) {
            for (int i = 0; i < sim::kIndexCount; ++i)
                l.setValue(device, i, cycleValue(cycles, i));
        });
        win->line->clearArrivals();
        form->tDIFFERENCE->setText(QString());
        const SendStats before = win->line->stats();
        const int readsBefore = win->line->withLine([&](sim::CounterLine &l) { return l.readAllCount(device); });
        shownThisCycle = 0;

        action();
        if (!counted)
            return;
        if (selected() != device)
            fault(QStringLiteral("cycle %1: device %2 selected, %3 expected").arg(cycles).arg(selected()).arg(device));

        int expected = 0;
        const bool complete = waitUntil([&] {
            if (win->line->withLine([&](sim::CounterLine &l) { return l.readAllCount(device); }) <= readsBefore)
                return false;
            if (!win->line->waitForIdle(0))
                return false;
            expected = rowSum(win->line->stats(), device) - rowSum(before, device);
            return shownThisCycle >= expected;
        }, 3000);
        if (!complete) {
            ++timedOut;
            fault(QStringLiteral("cycle %1 (device %2): %3 of %4 replies shown after 3 s")
                      .arg(cycles).arg(device).arg(shownThisCycle).arg(expected));
        }
        const SendStats after = win->line->stats();
        for (int d = 0; d < sim::kDeviceCount; ++d)
            if (d != device)
                otherAddress += rowSum(after, d) - rowSum(before, d);
        expected = rowSum(after, device) - rowSum(before, device);
        if (shownThisCycle != expected)
            fault(QStringLiteral("cycle %1 (device %2): %3 replies sent, %4 shown")
                      .arg(cycles).arg(device).arg(expected).arg(shownThisCycle));
        sent += expected;
        shown += shownThisCycle;
        ++countedCycles;

        // An undamaged read must show exactly the counter's values.
        // (A counter that is absent leaves the fields empty and the displays as they were.)
        if (after.dropped == before.dropped && after.corrupted == before.corrupted) {
            ++checkedValues;
            const bool serves = lineOptions.devices.isEmpty() || lineOptions.devices.contains(device);
            const QString wrong = misshown(
                *form, [&](int index) { return serves ? cycleValue(cycles, index) : QByteArray(); }, serves);
            if (!wrong.isEmpty()) {
                ++wrongValues;
                fault(QStringLiteral("cycle %1: %2").arg(cycles).arg(wrong));
            }
        }
    }

    void read() { cycle([&] { form->bRead->click(); }, selected()); }

    void pickDevice()
    {
        int d = int(rng() % 8);
        if (d == selected())
            d = (d + 1) % 8;
        ++deviceChanges;
        cycle([&] { form->cDEVICE->setListIndex(d); }, d);
    }

    void open()
    {
        QSignalSpy problems(form, &Form1::problemReported);
        cycle([&] {
            form->cCom->setText(link);
            form->bCONNECT->click();
        }, selected());
        if (form->bCONNECT->text() != QStringLiteral("Close"))
            fault(QStringLiteral("open failed: ") + problems.value(0).value(0).toString());
        ++reopens;
    }

    // The far end vanishes; the window must notice, close the port and say so.
    void expectLoss()
    {
        QSignalSpy problems(form, &Form1::problemReported);
        const bool closed = waitUntil([&] { return form->bCONNECT->text() == QStringLiteral("Open"); }, 5000);
        if (!closed || problems.count() != 1
            || !problems.at(0).at(0).toString().contains(QStringLiteral("lost"))) {
            fault(QStringLiteral("line pulled at cycle %1: closed=%2, %3 message(s) \"%4\"")
                      .arg(cycles).arg(closed).arg(problems.count())
                      .arg(problems.value(0).value(0).toString()));
        }
        if (form->MSComm1->PortOpen() || form->LEDCommunication->FillColor() != kButtonFace
            || !form->cCom->isEnabled())
            fault(QStringLiteral("after the loss at cycle %1 the window still looks connected").arg(cycles));
        ++losses;
        closeMessageBoxes();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        link = dir.filePath(QStringLiteral("counters"));
        win = std::make_unique<WindowOnLine<>>();
        form = &win->form;
        for (TextBox *f : form->settingFields())
            connect(f, &QLineEdit::textChanged, this, &TestSoak::countShown);
        connect(form->tDIFFERENCE, &QLineEdit::textChanged, this, &TestSoak::countShown);
    }

    void cleanupTestCase() { win.reset(); }

    void soak()
    {
        const int seconds = qEnvironmentVariableIsSet("KESTRAN_SOAK_SECONDS")
            ? qEnvironmentVariableIntValue("KESTRAN_SOAK_SECONDS") : 60;
        constexpr int kPhaseCycles = 150;   // reads between two upsets of the line
        constexpr int kSettledAt = 200;

        const QVector<LineOptions> kinds = lineKinds();
        int kind = 0;
        QVERIFY(newLine(kinds[kind]));
        open();
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));

        QElapsedTimer clock;
        clock.start();
        qint64 settledKb = -1, peakKb = 0;
        int phase = 0;
        while (clock.elapsed() < qint64(seconds) * 1000 && timedOut < 20) {
            for (int i = 0; i < kPhaseCycles; ++i) {
                if (i % 7 == 6)
                    pickDevice();
                else
                    read();
                if (cycles >= kSettledAt && settledKb < 0)
                    settledKb = vmRssKb();
                if (settledKb >= 0)
                    peakKb = qMax(peakKb, vmRssKb());
            }

            // Upset the line, in turn: pulled between reads (a fresh line of
            // another kind comes), pulled in the middle of a reply (the same line
            // comes back), closed by the operator (another line comes), pulled
            // and plugged back in (the same line); then open again.
            const int upset = phase++ % 4;
            if (upset == 1 && lineOptions.noise == 0) {
                // Only a noise-free line: the window's buffer may keep the cut
                // frame's head, and noise after the reopen could complete it
                // into a 15-character frame the simulator never counted.
                // Left out of the counts: what was on the wire is lost with the line.
                cycle([&] { form->bRead->click(); }, selected(), false);
                QTest::qWait(int(rng() % 3));
            }
            if (upset == 2) {
                form->bCONNECT->click();
                if (form->bCONNECT->text() != QStringLiteral("Open") || form->MSComm1->PortOpen())
                    fault(QStringLiteral("Close did not close at cycle %1").arg(cycles));
            } else {
                win->line->kill();
                expectLoss();
            }
            if (upset % 2 == 0) {
                kind = (kind + 1) % kinds.size();
                QVERIFY(newLine(kinds[kind]));
            } else {
                QVERIFY(win->line->restart());
            }
            open();
        }

        const qint64 endKb = vmRssKb();
        qInfo("soak: %lld s, %d reads (%d counted, %d value checks), %d device changes, "
              "%d losses, %d opens, %d lines",
              clock.elapsed() / 1000, cycles, countedCycles, checkedValues, deviceChanges,
              losses, reopens, linesUsed);
        qInfo("soak: replies sent for the selected device %lld, shown %lld; "
              "%lld corrupted into another address; %d reads timed out",
              sent, shown, otherAddress, timedOut);
        qInfo("soak: VmRSS %lld kB at read %d, %lld kB at the end (peak %lld kB), growth %lld kB",
              settledKb, kSettledAt, endKb, peakKb, endKb - settledKb);

        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
        QCOMPARE(shown, sent);
        QCOMPARE(wrongValues, 0);
        QVERIFY(cycles > kSettledAt);
        QVERIFY(sent > 0);
        QVERIFY(losses >= 1 || seconds < 5);
#if defined(__SANITIZE_ADDRESS__)
        qInfo("soak: memory bound not checked under AddressSanitizer (its quarantine grows by design)");
#else
        QVERIFY2(endKb - settledKb <= 1024,
                 qPrintable(QStringLiteral("VmRSS grew by %1 kB").arg(endKb - settledKb)));
#endif
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
