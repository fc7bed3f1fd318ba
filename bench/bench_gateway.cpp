// A read through a network gateway: the window opens tcp:// and rfc2217://
// ports of ser2net on the loopback, in front of the simulated counter, whose
// replies go out at 19200-baud wire time. Measured: from pressing Read to the
// last of the eight values shown, median of N reads per kind of port, beside
// the same read on the pseudo-terminal itself. ser2net runs once with
// "chardelay: false" and once with its default, which holds what the line
// sends for up to 20 ms to pass it on in fewer packets.
// Floor: the read's wire time. The simulated counter's pseudo-terminal takes
// the 8 command bytes at once (ser2net writes them in one piece), so what the
// wire sets here is the 120 reply bytes at 520.8 us each (62.5 ms); on a real
// line the command adds 4.2 ms (66.7 ms).
//
//   bench_gateway [reads=21]
#include "../tests/common/ser2netprocess.h"
#include "../tests/common/waituntil.h"
#include "controls.h"
#include "form1.h"
#include "ptycounterline.h"
#include "serialswitch.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace kestran;
using sim::PtyCounterLine;

namespace {

constexpr double kByteUs = 520.833;   // 10 bits at 19200 baud

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_gateway: %s\n", what);
    std::exit(1);
}

// Reads through `scheme` ("" for the pseudo-terminal itself), in milliseconds;
// `batching` leaves ser2net's default wait for more characters (up to 20 ms)
// before it passes what the line sent on to the network.
std::vector<double> reads(const QString &scheme, bool batching, int count)
{
    sim::LineOptions paced;
    paced.pace = true;
    PtyCounterLine line(paced);
    if (!line.start())
        fail("the simulated line did not start");
    test::Ser2netProcess gateway;
    QString port = line.slavePath();
    if (!scheme.isEmpty()) {
        const QStringList options = batching ? QStringList() : QStringList{QStringLiteral("chardelay: false")};
        if (!gateway.start(line.slavePath(), scheme == QLatin1String("rfc2217"), QStringLiteral("19200n81"), options))
            fail("ser2net did not start");
        port = gateway.url();
    }
    SerialSwitch comm;
    Form1 form(&comm);
    form.load();
    form.cCom->setText(port);
    form.bCONNECT->click();
    if (!waitUntil([&] { return !form.sALARM->text().isEmpty(); }, 5000))
        fail("the window did not open");
    qint64 done = 0;
    QObject::connect(form.sALARM, &QLineEdit::textChanged, [&](const QString &t) {
        if (!t.isEmpty())
            done = PtyCounterLine::nowNs();
    });
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        line.withLine([&](sim::CounterLine &l) {
            for (int index = 0; index < sim::kIndexCount; ++index)
                l.setValue(0, index, sim::formatValue(1000L * i + index));
        });
        waitUntil([&] { return line.waitForIdle(0); }, 1000);
        waitUntil([] { return false; }, 5);   // let the line settle
        done = 0;
        const qint64 start = PtyCounterLine::nowNs();
        form.bRead->click();
        if (!waitUntil([&] { return done != 0; }, 2000))
            fail("a read did not complete");
        if (form.sTARGET->text() != QString::fromLatin1(sim::formatValue(1000L * i)))
            fail("a read showed the wrong value");
        ms.push_back(double(done - start) / 1e6);
    }
    form.bCONNECT->click();
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    if (test::Ser2netProcess::program().isEmpty())
        fail("ser2net is not installed");
    const double wireMs = 128 * kByteUs / 1000, ptyMs = 120 * kByteUs / 1000;
    std::printf("a read, Read pressed to the eighth value shown, replies at 19200-baud wire time, median of %d\n", count);
    struct Row {
        QString scheme;
        bool batching;
        double median;
    };
    std::vector<Row> rows = {{QString(), false, 0}, {QStringLiteral("tcp"), false, 0}, {QStringLiteral("rfc2217"), false, 0},
                             {QStringLiteral("tcp"), true, 0}, {QStringLiteral("rfc2217"), true, 0}};
    for (Row &row : rows) {
        const std::vector<double> ms = reads(row.scheme, row.batching, count);
        row.median = median(ms);
        const QString name = row.scheme.isEmpty() ? QStringLiteral("pseudo-terminal itself")
            : row.scheme + QStringLiteral(":// via ser2net, ") + (row.batching ? "its default chardelay" : "chardelay: false");
        std::printf("  %-48s %.2f ms (min %.2f, max %.2f)\n", qPrintable(name), row.median,
                    *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()));
    }
    std::printf("  floor %.2f ms = 120 reply bytes x 520.8 us (the pty takes the command at once; a real line adds"
                " the 8 command bytes: %.2f ms)\n", ptyMs, wireMs);
    // Rows for bench/run's summary table: name | measured | floor | ratio | goal
    for (const Row &row : rows) {
        if (row.scheme.isEmpty())
            continue;
        std::printf("summary: a read via ser2net, %s://%s | %.2f ms | %.2f ms (reply wire time) | %.3fx | %s\n",
                    qPrintable(row.scheme), row.batching ? " (default chardelay)" : "", row.median, ptyMs,
                    row.median / ptyMs, row.batching ? "- (ser2net waits up to 20 ms)" : "<= 1.10x");
    }
    return 0;
}
