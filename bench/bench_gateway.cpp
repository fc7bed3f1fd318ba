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
#include "../tests/common/testpki.h"
#include "../tests/common/waituntil.h"
#include "controls.h"
#include "form1.h"
#include "ptycounterline.h"
#include "netcomm.h"
#include "serialswitch.h"
#include "tlssettings.h"

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
test::TestPki *pki()
{
    static test::TestPki *made = [] {
        auto *p = new test::TestPki;
        if (!test::TestPki::available() || !p->make())
            fail("the TLS certificates could not be made (openssl, gensio-bin)");
        return p;
    }();
    return made;
}

QString accepterFor(const QString &scheme)
{
    const bool tls = scheme.endsWith(QLatin1String("tls"));
    const QString ssl = tls ? QStringLiteral("ssl(key=%1,cert=%2),").arg(pki()->path(QStringLiteral("gw.key")),
                                                                        pki()->path(QStringLiteral("gw.crt")))
                            : QString();
    return (scheme.startsWith(QLatin1String("rfc2217")) ? QStringLiteral("telnet(rfc2217),") : QString()) + ssl;
}

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
        if (!gateway.startAccepter(accepterFor(scheme), scheme, line.slavePath(), QStringLiteral("19200n81"), options))
            fail("ser2net did not start");
        port = gateway.url();
    }
    SerialSwitch comm;
    if (scheme.endsWith(QLatin1String("tls")))
        comm.setTlsSettings(TlsSettings{pki()->path(QStringLiteral("ca.crt")), {}, {}, {}, {}});
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

// The open alone through `scheme`, connection to the line settled, in milliseconds.
std::vector<double> opens(const QString &scheme, int count)
{
    PtyCounterLine line;
    if (!line.start())
        fail("the simulated line did not start");
    test::Ser2netProcess gateway;
    if (!gateway.startAccepter(accepterFor(scheme), scheme, line.slavePath()))
        fail("ser2net did not start");
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        NetComm comm;
        comm.setTlsSettings(TlsSettings{pki()->path(QStringLiteral("ca.crt")), {}, {}, {}, {}});
        comm.setDevicePath(gateway.url());
        const qint64 start = PtyCounterLine::nowNs();
        if (!comm.setPortOpen(true))
            fail("an open failed");
        ms.push_back(double(PtyCounterLine::nowNs() - start) / 1e6);
        comm.setPortOpen(false);
        waitUntil([] { return false; }, 50);   // ser2net lets the line go
    }
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
                             {QStringLiteral("tcp"), true, 0}, {QStringLiteral("rfc2217"), true, 0},
                             {QStringLiteral("tls"), false, 0}, {QStringLiteral("rfc2217+tls"), false, 0}};
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
    // The open on its own: TCP (and TLS handshake), then the 100 ms the line settles.
    const double openTcp = median(opens(QStringLiteral("tcp"), count));
    const double openTls = median(opens(QStringLiteral("tls"), count));
    std::printf("  open, connection to line settled: tcp:// %.2f ms, tls:// %.2f ms (handshake %.2f ms)\n", openTcp,
                openTls, openTls - openTcp);
    // Rows for bench/run's summary table: name | measured | floor | ratio | goal
    for (const Row &row : rows) {
        if (row.scheme.isEmpty())
            continue;
        std::printf("summary: a read via ser2net, %s://%s | %.2f ms | %.2f ms (reply wire time) | %.3fx | %s\n",
                    qPrintable(row.scheme), row.batching ? " (default chardelay)" : "", row.median, ptyMs,
                    row.median / ptyMs, row.batching ? "- (ser2net waits up to 20 ms)" : "<= 1.10x");
    }
    std::printf("summary: TLS handshake (tls:// open less tcp:// open) | %.2f ms | - | - | -\n", openTls - openTcp);
    return 0;
}
