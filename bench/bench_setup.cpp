// How well Setup keeps its pace, and what its waiting costs.
//
// Runs the whole Setup sequence (all seven settings ticked) against the
// simulated counters over a pseudo-terminal, several times, and prints:
//   - the total time, from the click to the arrival of the closing read-all on
//     the far side, against the floor of seven 250 ms pauses;
//   - how late each pause ended: the gap between consecutive frames as the far
//     side stamped them, minus 250 ms (median and worst over the runs);
//   - the CPU time the window's thread used during the sequence, as a share of
//     the wall time.
// Beside the window's own sequence it runs the same steps with a pause that
// spins on processEvents() without ever waiting, to show what that costs.
//
//   bench_setup [runs]      (default 5; QT_QPA_PLATFORM=offscreen is assumed)
#include "controls.h"
#include "form1.h"
#include "mscomm.h"
#include "parameters.h"
#include "ptycounterline.h"
#include "values.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <vector>

using namespace kestran;
using sim::PtyCounterLine;

namespace {

constexpr double kPauseMs = 250.0;
constexpr double kFloorMs = 7 * kPauseMs;
constexpr int kFrameBytes = 7 * 15 + 8;

double threadCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3
        + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double worst(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// Runs the event loop (waiting, not spinning) until `done` or the deadline.
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

// The same steps as the window's Setup, with the pause a naive port would
// write: yield in a loop that never sleeps.
long busyYieldSetup(Form1 &f)
{
    long passes = 0;
    if (!f.MSComm1->PortOpen())
        return passes;
    f.bSETUP->setEnabled(false);
    f.bRead->setEnabled(false);
    const auto &order = setupOrder();
    for (int step = 0; step < int(order.size()); ++step) {
        CheckBox *box = f.checkBoxes()[step];
        TextBox *field = f.settingFields()[step];
        if (stepWrites(box->Value(), field->text()))
            f.SendWrite(QLatin1Char(order[step]), field->text());
        f.Timer1->setInterval(250);
        f.Timer1->setEnabled(true);
        f.mTimerDone = false;
        while (!f.mTimerDone) {
            QCoreApplication::processEvents();
            ++passes;
        }
    }
    f.SendReadAll();
    f.bSETUP->setEnabled(true);
    f.bRead->setEnabled(true);
    return passes;
}

// The serial control, noting when each frame is handed to the driver.
class StampingComm : public MSComm {
public:
    std::vector<qint64> frameStarts;
    void setOutput(const QString &text) override
    {
        if (text == QLatin1String("*"))
            frameStarts.push_back(PtyCounterLine::nowNs());
        MSComm::setOutput(text);
    }
};

struct Figures {
    explicit Figures(const char *n) : name(n) {}
    const char *name;
    std::vector<double> totalMs, firstMs, cpuMs, wallMs, cpuShare;
    std::vector<std::vector<double>> latenessMs = std::vector<std::vector<double>>(7);
    std::vector<std::vector<double>> sentLatenessMs = std::vector<std::vector<double>>(7);
    long passes = 0;
};

void printLateness(const char *title, const Figures &a, const Figures &b,
                   std::vector<std::vector<double>> Figures::*which)
{
    printf("\n%s, ms\n%-16s", title, "pause");
    for (int p = 0; p < 7; ++p)
        printf("  %5d med/max", p + 1);
    printf("\n");
    for (const Figures *fig : {&a, &b}) {
        printf("%-16s", fig->name);
        for (int p = 0; p < 7; ++p)
            printf("  %6.2f/%6.2f", median((fig->*which)[p]), worst((fig->*which)[p]));
        printf("\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    PtyCounterLine line;
    QString error;
    if (!line.start(&error)) {
        fprintf(stderr, "bench_setup: cannot start the simulated line: %s\n", qPrintable(error));
        return 1;
    }
    StampingComm comm;
    Form1 form(&comm);
    form.load();
    form.cCom->setText(line.slavePath());
    form.bCONNECT->click();
    if (!comm.PortOpen()) {
        fprintf(stderr, "bench_setup: cannot open %s\n", qPrintable(line.slavePath()));
        return 1;
    }
    form.cDEVICE->setListIndex(3);
    if (!waitFor([&] { return form.sALARM->text().size() == 8; }, 3000)) {
        fprintf(stderr, "bench_setup: no reply from the simulated counter\n");
        return 1;
    }
    const char *values[7] = {"+0001234", "-0000567", "+0000089", "+0000011",
                             "+0000022", "+0000033", "+0000044"};

    Figures wait{"event-loop wait"}, busy{"busy yield"};
    for (int run = 0; run < runs; ++run) {
        for (Figures *fig : {&wait, &busy}) {
            for (int step = 0; step < 7; ++step) {
                form.checkBoxes()[step]->setValue(1);
                form.settingFields()[step]->setText(QString::fromLatin1(values[step]));
            }
            waitFor([] { return false; }, 100);   // let the read-back of the last run settle
            line.clearArrivals();
            comm.frameStarts.clear();

            const qint64 t0 = PtyCounterLine::nowNs();
            const double cpu0 = threadCpuMs();
            if (fig == &wait)
                form.bSETUP->click();
            else
                fig->passes += busyYieldSetup(form);
            const double cpu = threadCpuMs() - cpu0;
            const double wall = (PtyCounterLine::nowNs() - t0) / 1e6;
            if (!waitFor([&] { return line.arrivals().size() >= kFrameBytes; }, 3000)) {
                fprintf(stderr, "bench_setup: the sequence did not arrive whole\n");
                return 1;
            }

            std::vector<qint64> starts;   // first byte of every frame, as the far side saw it
            for (const sim::Arrival &a : line.arrivals())
                if (a.byte == '*')
                    starts.push_back(a.ns);
            const std::vector<qint64> &sent = comm.frameStarts;
            if (starts.size() != 8 || sent.size() != 8) {
                fprintf(stderr, "bench_setup: %zu frames sent, %zu arrived, not 8\n", sent.size(),
                        starts.size());
                return 1;
            }
            fig->totalMs.push_back((starts[7] - t0) / 1e6);
            fig->firstMs.push_back((sent[0] - t0) / 1e6);
            for (int p = 0; p < 7; ++p) {
                fig->latenessMs[p].push_back((starts[p + 1] - starts[p]) / 1e6 - kPauseMs);
                fig->sentLatenessMs[p].push_back((sent[p + 1] - sent[p]) / 1e6 - kPauseMs);
            }
            fig->cpuMs.push_back(cpu);
            fig->wallMs.push_back(wall);
            fig->cpuShare.push_back(cpu / wall);
        }
    }

    printf("Setup, all seven ticked, %d runs each over a pty (floor %.0f ms)\n\n", runs, kFloorMs);
    printf("%-16s %10s %10s %8s %10s %8s %9s %9s\n", "variant", "total med", "total max", "/floor",
           "1st frame", "CPU ms", "CPU/wall", "yields");
    for (const Figures *fig : {&wait, &busy}) {
        const double total = median(fig->totalMs);
        const QByteArray passes = fig == &busy ? QByteArray::number(qlonglong(fig->passes / runs)) : "-";
        printf("%-16s %7.1f ms %7.1f ms %8.4f %7.2f ms %8.2f %8.2f%% %9s\n", fig->name, total,
               worst(fig->totalMs), total / kFloorMs, median(fig->firstMs), median(fig->cpuMs),
               100 * median(fig->cpuShare), passes.constData());
    }
    printLateness("lateness of each pause: gap between frames on the far side minus 250", wait, busy,
                  &Figures::latenessMs);
    printLateness("the same, as the tool handed the frames to the driver", wait, busy,
                  &Figures::sentLatenessMs);
    const double waitCpu = median(wait.cpuMs);
    printf("\nCPU busy yield / event-loop wait: %.0fx (%.1f ms against %.2f ms)\n",
           waitCpu > 0 ? median(busy.cpuMs) / waitCpu : 0.0, median(busy.cpuMs), waitCpu);
    printf("goals: total within 3%% of the floor (%s), CPU under 2%% of wall (%s)\n",
           median(wait.totalMs) <= kFloorMs * 1.03 ? "met" : "missed",
           median(wait.cpuShare) < 0.02 ? "met" : "missed");

    std::vector<double> allLateness;
    for (const auto &pause : wait.latenessMs)
        allLateness.insert(allLateness.end(), pause.begin(), pause.end());
    printf("summary: Setup, click to closing read-all | %.1f ms | %.0f ms (7 pauses) | %.4fx | <= 1.03x\n",
           median(wait.totalMs), kFloorMs, median(wait.totalMs) / kFloorMs);
    printf("summary: Setup pause lateness (far side) | median %.2f ms, worst %.2f ms | 0 ms | - | (context)\n",
           median(allLateness), worst(allLateness));
    printf("summary: Setup CPU share of wall | %.2f%% (%.2f ms) | busy yield %.1f%% (%.0f ms) | %.0fx less | < 2%%\n",
           100 * median(wait.cpuShare), waitCpu, 100 * median(busy.cpuShare), median(busy.cpuMs),
           waitCpu > 0 ? median(busy.cpuMs) / waitCpu : 0.0);

    form.bCONNECT->click();
    return 0;
}
