// Setup end to end: the window on a real pseudo-terminal, the simulated counters
// on the far side stamping every byte as it arrives. Covers the frames and their
// pacing, skipped steps, the window changing under a running sequence (edits,
// another device, nested Read and Setup), and closing the port or the window
// in the middle of it.
#include "frames.h"
#include "parameters.h"
#include "windowfixture.h"

#include <QtTest>

using namespace kestran;
using sim::PtyCounterLine;

namespace {
// A pause is one 250 ms tick; a millisecond less allows for how the timer and
// the clock round.
constexpr qint64 kPauseFloorNs = 249000000;
// Moments well inside pause 1, 2 and 3 of a sequence started right after.
constexpr int kInPause1 = 125, kInPause2 = 375, kInPause3 = 625;

// One value per step, each of its setting's shape.
const std::array<QByteArray, 7> kValues = {"+0001234", "-0000567", "+0000089", "+0000011",
                                           "+0000022", "+0000033", "+0000044"};

char indexOf(int step) { return setupOrder()[step]; }

QByteArray w(char device, int step, const QByteArray &value)
{
    return writeFrame(QLatin1Char(device), QLatin1Char(indexOf(step)), value);
}
QByteArray r(char device) { return readAllFrame(QLatin1Char(device)); }
QByteArray initial(int device, int step) { return sim::CounterLine::initialValue(device, indexOf(step) - '0'); }

// When each frame's first byte arrived.
QVector<qint64> frameArrivals(const QVector<sim::Arrival> &arrivals)
{
    QVector<qint64> out;
    for (const sim::Arrival &a : arrivals)
        if (a.byte == '*')
            out << a.ns;
    return out;
}
} // namespace

// The serial control, noting when each frame's first character is handed to it.
class StampingComm : public MSComm {
public:
    QVector<qint64> frameSent;
    void setOutput(const QString &text) override
    {
        if (text == QLatin1String("*"))
            frameSent << PtyCounterLine::nowNs();
        MSComm::setOutput(text);
    }
};

class TestSetup : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowOnLine<StampingComm>> win;

    // The window open on the simulator with "Device-3" selected and its values
    // read, then every box ticked and every field filled with kValues.
    bool openOnDevice3(const sim::LineOptions &options = {})
    {
        win = std::make_unique<WindowOnLine<StampingComm>>();
        if (!win->startLine(options) || !win->open())
            return false;
        win->form.cDEVICE->setListIndex(3);
        if (!QTest::qWaitFor([this] { return misshownInitial(win->form, 3).isEmpty(); }, 5000))
            return false;
        win->line->clearArrivals();
        for (int step = 0; step < 7; ++step) {
            win->form.checkBoxes()[step]->setValue(1);
            win->form.settingFields()[step]->setText(QString::fromLatin1(kValues[step]));
        }
        return true;
    }

    // Clicks Setup (which returns when the sequence has ended); the click's time.
    qint64 clickSetup()
    {
        const qint64 t0 = PtyCounterLine::nowNs();
        win->form.bSETUP->click();
        return t0;
    }

private slots:
    void cleanup() { win.reset(); }

    void allSevenPacedThenReadBack()
    {
        QVERIFY(openOnDevice3());
        Form1 &f = win->form;
        win->comm.frameSent.clear();
        const qint64 t0 = clickSetup();
        QVERIFY(f.bSETUP->isEnabled() && f.bRead->isEnabled());
        QVERIFY(!f.Timer1->Enabled());
        // Before the read-back lands, spoil a field: the replies must restore it.
        f.sTARGET->setText(QStringLiteral("x"));

        QByteArray expected;
        for (int step = 0; step < 7; ++step)
            expected += w('3', step, kValues[step]);
        expected += r('3');
        QTRY_COMPARE(win->line->received(), expected);

        // Each frame is handed over at least one pause after the one before, and
        // none reaches the far side sooner than that. (Arrival to arrival can be
        // shorter: the far side may read an earlier frame late.)
        const QVector<qint64> frames = frameArrivals(win->line->arrivals());
        const QVector<qint64> &sent = win->comm.frameSent;
        QCOMPARE(frames.size(), 8);
        QCOMPARE(sent.size(), 8);
        QVERIFY(sent[0] >= t0);
        for (int i = 1; i < frames.size(); ++i) {
            const qint64 gap = sent[i] - sent[i - 1], arrival = frames[i] - sent[i - 1];
            QVERIFY2(gap >= kPauseFloorNs && arrival >= kPauseFloorNs,
                     qPrintable(QStringLiteral("frame %1: handed over %2 ns, arrived %3 ns after the one before")
                                    .arg(i).arg(gap).arg(arrival)));
        }

        // The counter stored every value as sent, and the read-back shows them.
        for (int step = 0; step < 7; ++step) {
            QCOMPARE(win->line->value(3, indexOf(step) - '0'), kValues[step]);
            QTRY_COMPARE(f.settingFields()[step]->text().toLatin1(), kValues[step]);
        }
        QTRY_COMPARE(f.tTARGET->text(), QStringLiteral("1234"));
        QCOMPARE(f.tACTUAL->text(), QStringLiteral("-567"));
        QTRY_COMPARE(f.tDIFFERENCE->text(), QStringLiteral("1801"));
    }

    void skippedStepsStillPause()
    {
        QVERIFY(openOnDevice3());
        Form1 &f = win->form;
        f.cTARGET->setValue(0);                           // unticked
        f.cACTUAL->setValue(2);                           // greyed
        f.sRESET->setText(QStringLiteral("+000008"));     // 7 characters
        f.sDEBOUNCE0->setMaxLength(9);                    // only code can put 9 there
        f.sDEBOUNCE0->setText(QStringLiteral("+00000011"));
        QCOMPARE(f.sDEBOUNCE0->text().size(), 9);
        f.sDEBOUNCE1->setText(QStringLiteral("abcdefgh")); // 8 characters, wrong shape
        QCOMPARE(f.sDEBOUNCE1->ForeColor(), kRed);

        const qint64 t0 = clickSetup();
        f.sDEBOUNCE0->setMaxLength(8);
        const QByteArray expected = w('3', 4, "abcdefgh") + w('3', 5, kValues[5])
            + w('3', 6, kValues[6]) + r('3');
        QTRY_COMPARE(win->line->received(), expected);

        // Four empty pauses before the first write; seven in all before the read-all.
        const QVector<qint64> frames = frameArrivals(win->line->arrivals());
        QCOMPARE(frames.size(), 4);
        QVERIFY(frames[0] - t0 >= 4 * kPauseFloorNs);
        QVERIFY(frames[3] - t0 >= 7 * kPauseFloorNs);
        QCOMPARE(win->line->value(3, 5), QByteArray("abcdefgh"));
    }

    void editsDuringPauseDecideLaterSteps()
    {
        QVERIFY(openOnDevice3());
        Form1 &f = win->form;
        f.cALARM->setValue(0);
        QTimer::singleShot(kInPause1, &f, [&f] {
            f.sDEBOUNCE1->setText(QStringLiteral("+0000099"));
            f.cDEBOUNCE2->setValue(0);
            f.cALARM->setValue(1);
        });
        clickSetup();
        const QByteArray expected = w('3', 0, kValues[0]) + w('3', 1, kValues[1])
            + w('3', 2, kValues[2]) + w('3', 3, kValues[3]) + w('3', 4, "+0000099")
            + w('3', 6, kValues[6]) + r('3');
        QTRY_COMPARE(win->line->received(), expected);
    }

    // Handlers run inside pause 2: a step writes when, at its own turn, its box
    // holds 1 and its field 8 characters, to the device selected at that moment.
    void handlersNestedInPause_data()
    {
        QTest::addColumn<int>("device");        // chosen in pause 2 (-1: none)
        QTest::addColumn<bool>("answers");      // whether that device replies
        QTest::addColumn<QPushButton *Form1::*>("button");   // then clicked (nullptr: none)
        QTest::addColumn<QByteArray>("expected");

        const QByteArray head = w('3', 0, kValues[0]) + w('3', 1, kValues[1]);
        QByteArray sent, refilled5, all5;
        for (int step = 2; step < 7; ++step) {
            sent += w('3', step, kValues[step]);
            refilled5 += w('5', step, initial(5, step));
        }
        for (int step = 0; step < 7; ++step)
            all5 += w('5', step, initial(5, step));
        QPushButton *Form1::*none = nullptr;

        // Device 5's replies refill the emptied fields before step 3's turn.
        QTest::newRow("device change") << 5 << true << none << head + r('5') + refilled5 + r('5');
        // Nobody answers for device 5: the fields stay empty and the rest send nothing.
        QTest::newRow("device change, no answer") << 5 << false << none << head + r('5') + r('5');
        // The device change enables Read and Setup again; both run nested.
        QTest::newRow("device change, read")
            << 5 << true << &Form1::bRead << head + r('5') + r('5') + refilled5 + r('5');
        // The second Setup runs whole inside pause 2; the first then goes on from step 3.
        QTest::newRow("device change, setup")
            << 5 << true << &Form1::bSETUP << head + r('5') + all5 + r('5') + refilled5 + r('5');
        // Without it both stay locked: a click changes nothing.
        QTest::newRow("read, locked") << -1 << true << &Form1::bRead << head + sent + r('3');
        QTest::newRow("setup, locked") << -1 << true << &Form1::bSETUP << head + sent + r('3');
    }

    void handlersNestedInPause()
    {
        QFETCH(int, device);
        QFETCH(bool, answers);
        QFETCH(QPushButton *Form1::*, button);
        QFETCH(QByteArray, expected);
        sim::LineOptions options;
        if (!answers)
            options.devices = {0, 3};
        QVERIFY(openOnDevice3(options));
        Form1 &f = win->form;

        if (device >= 0)
            QTimer::singleShot(kInPause2, &f, [&f, device] { f.cDEVICE->setListIndex(device); });
        bool wasEnabled = false, clickReturned = false;
        if (button) {
            QTimer::singleShot(kInPause2 + 75, &f, [&] {
                wasEnabled = (f.*button)->isEnabled();
                (f.*button)->click();
                clickReturned = true;
            });
        }
        QSignalSpy ticks(f.Timer1, &Timer::Tick);
        clickSetup();

        QTRY_COMPARE(win->line->received(), expected);
        QCOMPARE(clickReturned, bool(button));
        QCOMPARE(wasEnabled, button && device >= 0);
        // A nested Setup's last tick also ends the pause it ran in.
        const bool nestedSetup = button == &Form1::bSETUP && device >= 0;
        QCOMPARE(ticks.count(), nestedSetup ? 7 + 7 - 1 : 7);
        QVERIFY(f.bSETUP->isEnabled() && f.bRead->isEnabled());
        QVERIFY(!f.Timer1->Enabled());
        QVERIFY(win->comm.PortOpen());
    }

    // The port goes away in pause 3: closed by the operator, or lost with the far end.
    void portGoneDuringPause_data()
    {
        QTest::addColumn<bool>("lost");
        QTest::newRow("closed") << false;
        QTest::newRow("lost") << true;
    }

    void portGoneDuringPause()
    {
        QFETCH(bool, lost);
        QVERIFY(openOnDevice3());
        Form1 &f = win->form;
        QSignalSpy ticks(f.Timer1, &Timer::Tick);
        QSignalSpy problems(&f, &Form1::problemReported);
        QTimer::singleShot(kInPause3, &f, [this, lost] {
            if (lost)
                win->line->kill();
            else
                win->form.bCONNECT->click();
        });
        clickSetup();

        // The sequence ended there: no further pause was waited for.
        QCOMPARE(ticks.count(), 2);
        QVERIFY(!f.Timer1->Enabled());
        QVERIFY(!win->comm.PortOpen());
        QVERIFY(!f.bSETUP->isEnabled() && !f.bRead->isEnabled());
        // Nothing after it, not even the closing read-all; a loss is told once.
        QTest::qWait(400);
        QCOMPARE(win->line->received(),
                 w('3', 0, kValues[0]) + w('3', 1, kValues[1]) + w('3', 2, kValues[2]));
        QCOMPARE(ticks.count(), 2);
        QCOMPARE(f.bCONNECT->text(), QStringLiteral("Open"));
        QVERIFY(!f.bSETUP->isEnabled() && !f.bRead->isEnabled());
        QCOMPARE(problems.count(), lost ? 1 : 0);
    }

    // Last: it runs the application's own event loop until the window closes.
    void windowClosedDuringPause()
    {
        QVERIFY(openOnDevice3());
        Form1 &f = win->form;
        f.show();
        QVERIFY(QApplication::quitOnLastWindowClosed());

        QSignalSpy ticks(f.Timer1, &Timer::Tick);
        bool clickReturned = false, gaveUp = false;
        int ticksAtClose = -1;
        QTimer::singleShot(0, &f, [&] {
            f.bSETUP->click();
            clickReturned = true;
        });
        QTimer::singleShot(kInPause2, &f, [&] {
            ticksAtClose = ticks.count();
            f.close();
        });
        QTimer giveUp;
        giveUp.callOnTimeout(qApp, [&gaveUp] { gaveUp = true; QCoreApplication::quit(); });
        giveUp.start(10000);
        QApplication::exec();
        giveUp.stop();

        // The close ended the sequence, the click returned and the application quit.
        QVERIFY(!gaveUp);
        QVERIFY(clickReturned);
        QVERIFY(f.closing());
        QCOMPARE(ticksAtClose, 1);
        QCOMPARE(ticks.count(), 1);
        QVERIFY(!f.Timer1->Enabled());
        QTest::qWait(400);
        QCOMPARE(win->line->received(), w('3', 0, kValues[0]) + w('3', 1, kValues[1]));
    }
};

QTEST_MAIN(TestSetup)
#include "tst_setup.moc"
