// The line server, kestran-lined, run as the built program in front of the
// simulated counters at 19200-baud wire time (commands and replies both), with
// clients on the loopback:
//   - shared throughput: four clients polling read-alls in a loop; the line's
//     busy share is read-alls per second against one per 66.7 ms (8 command
//     and 120 reply bytes at 520.8 us each);
//   - Setup among pollers: a fifth client writes seven values, 250 ms apart
//     as Setup paces them, then reads back; floor 1.75 s plus the read-back,
//     goal: no more than one read-all's wait per step on top;
//   - latency: one client alone, a read through the server against the same
//     read through ser2net (raw, chardelay off);
//   - CPU of the server at full load and idle, from /proc, beside ser2net's
//     on the same full line;
//   - memory: the server alone, and with 1,000 idle clients connected;
//   - many lines: the CPU of one server serving 16 lines at once, a poller on each.
//
//   bench_lined [seconds=10]
#include "../tests/common/ser2netprocess.h"
#include "../tests/common/waituntil.h"
#include "ptycounterline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace kestran;
using sim::PtyCounterLine;

namespace {

constexpr double kReadAllMs = 128 * 0.520833;   // 8 + 8 x 15 bytes on the wire

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_lined: %s\n", what);
    std::exit(1);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// utime + stime of a process, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// Resident memory of a process, in kB.
double rssKb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &row : f.readAll().split('\n'))
        if (row.startsWith("VmRSS:"))
            return row.mid(6).trimmed().split(' ').value(0).toDouble();
    return 0;
}

// Memory the process has to itself (private pages, the shared libraries' pages
// left out), in kB, from /proc/PID/smaps_rollup.
double privateKb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    double kb = 0;
    for (const QByteArray &row : f.readAll().split('\n'))
        if (row.startsWith("Private_Clean:") || row.startsWith("Private_Dirty:"))
            kb += row.mid(row.indexOf(':') + 1).trimmed().split(' ').value(0).toDouble();
    return kb;
}

QByteArray readAll(int device) { return "*" + QByteArray::number(device) + "R:?=?\r"; }

// A client that reads a device over and over, as fast as the answers come.
struct Poller {
    QTcpSocket socket;
    int device = 0;
    int pending = 0;     // reply bytes still to come
    qint64 reads = 0;
    bool running = true;

    void start(quint16 port, int d)
    {
        device = d;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(3000))
            fail("a poller could not connect");
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            pending -= int(socket.readAll().size());
            if (pending <= 0) {
                ++reads;
                if (running)
                    ask();
            }
        });
        ask();
    }
    void ask()
    {
        pending = 8 * 15;
        socket.write(readAll(device));
    }
};

// One read by a client of its own, in milliseconds, through `port`.
double oneRead(quint16 port, int device)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(3000))
        fail("could not connect");
    waitUntil([] { return false; }, 150);   // let a gateway settle
    QByteArray got;
    QObject::connect(&s, &QTcpSocket::readyRead, [&] { got += s.readAll(); });
    QElapsedTimer t;
    t.start();
    s.write(readAll(device));
    if (!waitUntil([&] { return got.size() >= 8 * 15; }, 3000))
        fail("a read did not complete");
    return double(t.nsecsElapsed()) / 1e6;
}

// One server with `count` paced lines, a poller on each for `seconds`: the
// server's CPU in % of a core, and the lines' busy share (read-alls against
// what the lines could carry).
struct ManyLines {
    double cpu = 0, busy = 0;
};
ManyLines manyLines(const QString &lined, int count, int seconds)
{
    sim::LineOptions options;
    options.pace = true;
    options.paceCommands = true;
    options.keepHistory = false;
    std::vector<std::unique_ptr<PtyCounterLine>> lines;
    std::vector<quint16> ports;
    QTemporaryDir dir;
    QFile config(dir.filePath(QStringLiteral("lined.toml")));
    if (!config.open(QIODevice::WriteOnly))
        fail("cannot write the server's configuration");
    for (int i = 0; i < count; ++i) {
        lines.push_back(std::make_unique<PtyCounterLine>(options));
        if (!lines.back()->start())
            fail("a simulator did not start");
        quint16 port = 0;
        do
            port = test::freeLoopbackPort();
        while (std::find(ports.begin(), ports.end(), port) != ports.end());
        ports.push_back(port);
        config.write(QStringLiteral("[[line]]\nname = \"line-%1\"\nport = \"%2\"\nlisten = \"tcp://127.0.0.1:%3\"\n\n")
                         .arg(i).arg(lines.back()->slavePath()).arg(port).toUtf8());
    }
    config.close();
    QProcess daemon;
    daemon.setStandardErrorFile(QProcess::nullDevice());
    daemon.start(lined, {QStringLiteral("-c"), config.fileName()});
    if (!daemon.waitForStarted(5000)
        || !waitUntil([&] { return std::all_of(ports.begin(), ports.end(), test::listeningOnLoopback); }, 5000))
        fail("kestran-lined with many lines did not start");
    waitUntil([] { return false; }, 300);
    std::vector<std::unique_ptr<Poller>> pollers;
    const double cpu0 = cpuSeconds(daemon.processId());
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < count; ++i) {
        pollers.push_back(std::make_unique<Poller>());
        pollers.back()->start(ports[size_t(i)], i % 8);
    }
    waitUntil([] { return false; }, seconds * 1000);
    ManyLines out;
    const double wallS = double(wall.nsecsElapsed()) / 1e9;
    out.cpu = (cpuSeconds(daemon.processId()) - cpu0) / wallS * 100;
    qint64 reads = 0;
    for (auto &p : pollers) {
        reads += p->reads;
        p->running = false;
    }
    out.busy = double(reads) * kReadAllMs / (wallS * 1000 * count) * 100;
    waitUntil([] { return false; }, 300);
    pollers.clear();
    daemon.terminate();
    daemon.waitForFinished(5000);
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 10;
    const QString lined = QCoreApplication::applicationDirPath() + QStringLiteral("/../src/lined/kestran-lined");

    sim::LineOptions options;
    options.pace = true;
    options.paceCommands = true;
    options.keepHistory = false;
    PtyCounterLine line(options);
    if (!line.start())
        fail("the simulator did not start");
    const quint16 port = test::freeLoopbackPort();
    QProcess daemon;
    daemon.setStandardErrorFile(QProcess::nullDevice());
    daemon.start(lined, {QStringLiteral("--line"), line.slavePath(), QStringLiteral("--listen"),
                         QStringLiteral("tcp://127.0.0.1:%1").arg(port)});
    if (!daemon.waitForStarted(5000) || !waitUntil([&] { return test::listeningOnLoopback(port); }, 5000))
        fail("kestran-lined did not start");
    const qint64 pid = daemon.processId();
    waitUntil([] { return false; }, 300);
    const double rssAlone = rssKb(pid);
    const double privateAlone = privateKb(pid);

    // Latency first, alone on the line.
    std::vector<double> viaLined;
    for (int i = 0; i < 11; ++i)
        viaLined.push_back(oneRead(port, i % 8));

    // Four pollers, then a Setup among them.
    std::vector<std::unique_ptr<Poller>> pollers;
    const double cpu0 = cpuSeconds(pid);
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < 4; ++i) {
        pollers.push_back(std::make_unique<Poller>());
        pollers.back()->start(port, i);
    }
    waitUntil([] { return false; }, seconds * 1000 / 2);

    QTcpSocket setup;
    setup.connectToHost(QHostAddress::LocalHost, port);
    if (!setup.waitForConnected(3000))
        fail("the Setup client could not connect");
    QByteArray back;
    QObject::connect(&setup, &QTcpSocket::readyRead, [&] { back += setup.readAll(); });
    QElapsedTimer setupTime;
    setupTime.start();
    const char steps[] = {'0', '1', '3', '4', '5', '6', '7'};
    for (char index : steps) {
        setup.write("*4W:" + QByteArray(1, index) + "=+0000042\r");
        waitUntil([] { return false; }, 250);
    }
    setup.write(readAll(4));
    if (!waitUntil([&] { return back.size() >= 8 * 15; }, 5000))
        fail("the Setup's read-back did not come");
    const double setupMs = double(setupTime.nsecsElapsed()) / 1e6;

    waitUntil([] { return false; }, seconds * 1000 / 2);
    qint64 reads = 0;
    for (auto &p : pollers)
        reads += p->reads;
    const double wallS = double(wall.nsecsElapsed()) / 1e9;
    const double cpuLoad = (cpuSeconds(pid) - cpu0) / wallS * 100;
    for (auto &p : pollers)
        p->running = false;
    waitUntil([] { return false; }, 300);
    // The Setup's eight reads (seven writes take the line for 7.8 ms each) belong to the line's time too.
    const double busy = (double(reads + 1) * kReadAllMs + 7 * 15 * 0.520833) / (wallS * 1000) * 100;

    // Idle: clients connected, nobody asks.
    const double idle0 = cpuSeconds(pid);
    waitUntil([] { return false; }, 3000);
    const double idleCpu = (cpuSeconds(pid) - idle0) / 3 * 100;

    // 1,000 idle clients.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 1000; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port);
        idle.push_back(std::move(s));
    }
    bool allUp = waitUntil([&] {
        return std::all_of(idle.begin(), idle.end(),
                           [](const auto &s) { return s->state() == QAbstractSocket::ConnectedState; });
    }, 10000);
    waitUntil([] { return false; }, 500);
    const double rssMany = rssKb(pid);
    const bool held = allUp && std::all_of(idle.begin(), idle.end(), [](const auto &s) {
        return s->state() == QAbstractSocket::ConnectedState;
    });
    idle.clear();
    pollers.clear();
    daemon.terminate();
    daemon.waitForFinished(5000);

    // The same read through ser2net.
    std::vector<double> viaSer2net;
    double ser2netCpu = -1;
    test::Ser2netProcess ser2net;
    if (ser2net.start(line.slavePath(), false, QStringLiteral("19200n81"), {QStringLiteral("chardelay: false")})) {
        for (int i = 0; i < 11; ++i)
            viaSer2net.push_back(oneRead(ser2net.port(), i % 8));
        // The same full line through ser2net (one client: it serves one at a
        // time), for what a byte at wire pace costs any gateway on this machine.
        Poller one;
        const double c0 = cpuSeconds(ser2net.processId());
        QElapsedTimer t;
        t.start();
        one.start(ser2net.port(), 0);
        waitUntil([] { return false; }, seconds * 1000 / 2);
        one.running = false;
        ser2netCpu = (cpuSeconds(ser2net.processId()) - c0) / (double(t.nsecsElapsed()) / 1e9) * 100;
        waitUntil([] { return false; }, 200);
    }

    const ManyLines many = manyLines(lined, 16, std::max(2, seconds / 2));

    const double lat = median(viaLined), latRef = median(viaSer2net);
    std::printf("busy %.0f %%: four pollers, %lld read-alls in %.1f s (%.1f a second; the line's limit %.1f)\n", busy,
                (long long)reads, wallS, reads / wallS, 1000 / kReadAllMs);
    std::printf("setup among pollers: %.0f ms for 7 writes and the read-back (floor %.0f ms; goal %.0f ms)\n", setupMs,
                1750 + kReadAllMs, 1750 + kReadAllMs + 7 * kReadAllMs);
    if (!viaSer2net.empty())
        std::printf("latency: a read alone %.1f ms through kestran-lined, %.1f ms through ser2net (%.3fx; goal <= 1.05x)\n",
                    lat, latRef, lat / latRef);
    else
        std::printf("latency: a read alone %.1f ms through kestran-lined (ser2net not found)\n", lat);
    std::printf("cpu: %.2f %% of a core at full load, %.2f %% idle (goal <= 2 %%, 0); ser2net on the same full line "
                "%.2f %%\n", cpuLoad, idleCpu, ser2netCpu);
    std::printf("memory: %.1f MB resident alone (%.1f MB of it its own, the rest shared libraries), %.1f kB more per "
                "idle client with 1,000 connected, all held: %s (goal <= 10 MB + 100 kB a client)\n",
                rssAlone / 1024, privateAlone / 1024, (rssMany - rssAlone) / 1000, held ? "yes" : "no");
    std::printf("many lines: 16 lines served at once, a poller on each: %.2f %% of a core (%.3f %% a line; one line at "
                "full load %.2f %%), the lines %.0f %% busy\n", many.cpu, many.cpu / 16, cpuLoad, many.busy);
    std::printf("summary: lined busy share | %.0f %% | 100 %% | %.2f | >= 95 %%\n", busy, busy / 100);
    std::printf("summary: lined setup among pollers | %.0f ms | %.0f ms | %.2f | <= %.0f ms\n", setupMs,
                1750 + kReadAllMs, setupMs / (1750 + kReadAllMs), 1750 + 8 * kReadAllMs);
    if (!viaSer2net.empty())
        std::printf("summary: lined read alone | %.1f ms | %.1f ms (ser2net) | %.3f | <= 1.05\n", lat, latRef, lat / latRef);
    std::printf("summary: lined cpu at full load | %.2f %% | %.2f %% (ser2net) | - | <= 2 %%\n", cpuLoad, ser2netCpu);
    std::printf("summary: lined cpu, 16 lines at full load | %.2f %% (%.3f %% a line) | %.2f %% (one line) | - | -\n",
                many.cpu, many.cpu / 16, cpuLoad);
    std::printf("summary: lined busy share, 16 lines | %.0f %% | 100 %% | %.2f | -\n", many.busy, many.busy / 100);
    std::printf("summary: lined memory alone, per client | %.1f MB, %.1f kB | - | - | <= 10 MB, 100 kB\n",
                rssAlone / 1024, (rssMany - rssAlone) / 1000);
    return 0;
}
