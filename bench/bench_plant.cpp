// kestran-ctl backup --plant against the wire time: N simulated lines of
// eight counters each, every byte paced at 19200 baud both ways, all served
// by one kestran-ctl process. A line cannot be read faster than its own
// eight read-alls (8 x 66.7 ms = 533.3 ms), and lines served side by side
// should take little more than that, however many there are.
//
// Measured per run: the time kestran-ctl reports from its first byte sent to
// its result ready (KESTRAN_CTL_TIMING=1), the whole run of the process, the
// CPU time it used and its peak resident memory (wait4). Memory per line is
// the peak of the N-line run less that of a one-line run, over N - 1.
// Through gateways also: how long after the first line's first byte the
// last line's came (the lines' opens finishing apart), and the CPU the
// gateways used meanwhile; here they share the benchmark's cores, as the
// gateways of a plant do not.
//
//   bench_plant lines N [runs=5]     N simulated lines on ptys
//   bench_plant cpu [runs=9]         kestran-ctl's CPU and wakeups for one line, its start-up apart
//   bench_plant gateway N [runs=5]   N lines, each through its own ser2net (tcp://, chardelay off)
//   bench_plant tls N [runs=5]       the same through TLS (tls://, the plant CA in the file's [tls])
#include "../tests/common/ser2netprocess.h"
#include "../tests/common/testpki.h"
#include "ptycounterline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace kestran;
using sim::PtyCounterLine;

namespace {

constexpr double kByteMs = 10.0 / 19200 * 1000;
constexpr double kLineFloorMs = 8 * (8 + 8 * 15) * kByteMs;

struct Sample {
    double reportedMs = -1, wallMs = 0, cpuMs = 0;
    double wakeups = 0;          // voluntary context switches: each a wait that ended
    double startSpreadMs = -1;   // the last line's first byte after the first line's
    long peakKb = 0;
};

// User and system time of process `pid` so far, in ms (0 when unknown).
double processCpuMs(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    // The fields after the command's name, which is in parentheses: utime is the 14th field, stime the 15th.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) * 1000.0 / sysconf(_SC_CLK_TCK);
}

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "bench_plant: %s\n", qPrintable(what));
    std::exit(1);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs kestran-ctl with `args`, its stderr to `errFile`, and measures it. It
// must end with `exitCode`, or with any code but 0 when that is -1.
Sample runCtl(const QString &ctl, const QStringList &args, const QString &errFile, int exitCode = 0)
{
    std::vector<QByteArray> owned{ctl.toLocal8Bit()};
    for (const QString &a : args)
        owned.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : owned)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const QByteArray err = errFile.toLocal8Bit();
    posix_spawn_file_actions_addopen(&actions, 2, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    setenv("KESTRAN_CTL_TIMING", "1", 1);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        fail(QStringLiteral("cannot start %1").arg(ctl));
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        fail(QStringLiteral("wait4 failed"));
    Sample s;
    s.wallMs = clock.nsecsElapsed() / 1e6;
    s.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    s.peakKb = usage.ru_maxrss;
    s.wakeups = double(usage.ru_nvcsw);
    QFile f(errFile);
    f.open(QIODevice::ReadOnly);
    const QString said = QString::fromLocal8Bit(f.readAll());
    if (!WIFEXITED(status) || (exitCode >= 0 ? WEXITSTATUS(status) != exitCode : WEXITSTATUS(status) == 0))
        fail(QStringLiteral("kestran-ctl %1 failed: %2").arg(args.join(QLatin1Char(' ')), said));
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("timing: ([0-9.]+) ms")).match(said);
    if (m.hasMatch())
        s.reportedMs = m.captured(1).toDouble();
    const QRegularExpressionMatch spread = QRegularExpression(QStringLiteral("first byte ([0-9.]+) ms after")).match(said);
    if (spread.hasMatch())
        s.startSpreadMs = spread.captured(1).toDouble();
    return s;
}

struct Plant {
    std::vector<std::unique_ptr<PtyCounterLine>> lines;
    std::vector<std::unique_ptr<test::Ser2netProcess>> gateways;
    QStringList ports;
};

void startPlant(Plant &plant, int count, bool gateway, const test::TestPki *pki)
{
    sim::LineOptions options;
    options.pace = true;
    options.paceCommands = true;
    options.keepHistory = false;
    for (int i = 0; i < count; ++i) {
        plant.lines.push_back(std::make_unique<PtyCounterLine>(options));
        QString why;
        if (!plant.lines.back()->start(&why))
            fail(QStringLiteral("simulated line %1 did not start: %2").arg(i).arg(why));
        QString port = plant.lines.back()->slavePath();
        if (gateway) {
            plant.gateways.push_back(std::make_unique<test::Ser2netProcess>());
            const QString ssl = pki ? QStringLiteral("ssl(key=%1,cert=%2),").arg(pki->path(QStringLiteral("gw.key")),
                                                                                  pki->path(QStringLiteral("gw.crt")))
                                    : QString();
            if (!plant.gateways.back()->startAccepter(ssl, pki ? QStringLiteral("tls") : QStringLiteral("tcp"), port,
                                                      QStringLiteral("19200n81"), {QStringLiteral("chardelay: false")}))
                fail(QStringLiteral("ser2net %1 did not start").arg(i));
            port = plant.gateways.back()->url();
        }
        plant.ports << port;
    }
}

QString writePlant(const QTemporaryDir &dir, const QString &name, const QStringList &ports, const test::TestPki *pki)
{
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly))
        fail(QStringLiteral("cannot write the plant file"));
    if (pki)
        f.write(QStringLiteral("[tls]\nca = \"%1\"\n\n").arg(pki->path(QStringLiteral("ca.crt"))).toUtf8());
    for (int i = 0; i < ports.size(); ++i)
        f.write(QStringLiteral("[[line]]\nname = \"line-%1\"\nport = \"%2\"\n\n").arg(i).arg(ports[i]).toUtf8());
    return f.fileName();
}

// One line's cost in kestran-ctl: a one-line backup --plant, against the same
// command whose only port does not exist (the start-up: loading, the plant
// file, the port table, an open that fails, the snapshot), run alternately.
int cpuPerLine(const QString &ctl, int runs)
{
    Plant plant;
    startPlant(plant, 1, false, nullptr);
    QTemporaryDir dir;
    const QString oneLine = writePlant(dir, QStringLiteral("one.toml"), plant.ports, nullptr);
    const QString none = writePlant(dir, QStringLiteral("none.toml"), {dir.filePath(QStringLiteral("no-such-port"))}, nullptr);
    const QString snapshot = dir.filePath(QStringLiteral("snapshot.json"));
    const QString err = dir.filePath(QStringLiteral("stderr.txt"));
    std::vector<double> lineCpu, startCpu, lineWakes, startWakes, reported;
    for (int i = 0; i < runs; ++i) {
        const Sample start = runCtl(ctl, {QStringLiteral("backup"), QStringLiteral("--plant"), none, QStringLiteral("-o"), snapshot,
                                          QStringLiteral("-q")}, err, -1);
        const Sample line = runCtl(ctl, {QStringLiteral("backup"), QStringLiteral("--plant"), oneLine, QStringLiteral("-o"), snapshot,
                                         QStringLiteral("-q")}, err);
        startCpu.push_back(start.cpuMs);
        startWakes.push_back(start.wakeups);
        lineCpu.push_back(line.cpuMs);
        lineWakes.push_back(line.wakeups);
        reported.push_back(line.reportedMs);
    }
    // 8 read-alls of 8 command bytes, each answered by 8 replies of 15.
    constexpr double kBytes = 8 * (8 + 8 * 15);
    const double perLine = median(lineCpu) - median(startCpu);
    const double wakes = median(lineWakes) - median(startWakes);
    std::printf("kestran-ctl backup --plant of one paced line, %d runs, each beside a run whose port does not exist\n", runs);
    std::printf("  one line               median %8.2f ms CPU, %6.0f wakeups\n", median(lineCpu), median(lineWakes));
    std::printf("  start-up (no port)     median %8.2f ms CPU, %6.0f wakeups\n", median(startCpu), median(startWakes));
    std::printf("  the line's share       %8.2f ms CPU, %.0f wakeups for %.0f bytes: %.3f a byte\n", perLine, wakes, kBytes,
                wakes / kBytes);
    std::printf("  first byte to result   median %8.2f ms, %.2f ms a read-all above its wire time\n", median(reported),
                (median(reported) - kLineFloorMs) / 8);
    std::printf("summary: kestran-ctl CPU per line (one-line backup less start-up) | %.2f ms | - | - | <= 5 ms\n", perLine);
    std::printf("summary: kestran-ctl start-up CPU (backup, port missing) | %.2f ms | - | - | -\n", median(startCpu));
    std::printf("summary: kestran-ctl wakeups a byte (one line) | %.3f | - | - | -\n", wakes / kBytes);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 2 && args[1] == QLatin1String("cpu"))
        return cpuPerLine(QCoreApplication::applicationDirPath() + QStringLiteral("/../src/kestran-ctl"),
                          args.size() > 2 ? std::max(1, args[2].toInt()) : 9);
    if (args.size() < 3 || (args[1] != QLatin1String("lines") && args[1] != QLatin1String("gateway")
                            && args[1] != QLatin1String("tls")))
        fail(QStringLiteral("usage: bench_plant lines|gateway|tls N [runs] | cpu [runs]"));
    const bool tls = args[1] == QLatin1String("tls");
    const bool gateway = tls || args[1] == QLatin1String("gateway");
    const int count = std::max(1, args[2].toInt());
    const int runs = args.size() > 3 ? std::max(1, args[3].toInt()) : 5;
    if (gateway && test::Ser2netProcess::program().isEmpty()) {
        std::printf("ser2net is not installed: no gateway rows\n");
        return 0;
    }
    const QString ctl = QCoreApplication::applicationDirPath() + QStringLiteral("/../src/kestran-ctl");
    QTemporaryDir dir;

    std::unique_ptr<test::TestPki> pki;
    if (tls) {
        pki = std::make_unique<test::TestPki>();
        if (!test::TestPki::available() || !pki->make())
            fail(QStringLiteral("the TLS certificates could not be made (openssl, gensio-bin)"));
    }
    Plant plant;
    startPlant(plant, count, gateway, pki.get());
    const QString plantFile = writePlant(dir, QStringLiteral("plant.toml"), plant.ports, pki.get());
    const QString oneLine = writePlant(dir, QStringLiteral("one.toml"), plant.ports.mid(0, 1), pki.get());
    const QString snapshot = dir.filePath(QStringLiteral("snapshot.json"));
    const QString err = dir.filePath(QStringLiteral("stderr.txt"));

    const auto gatewaysCpuMs = [&plant] {
        double ms = 0;
        for (const auto &g : plant.gateways)
            ms += processCpuMs(g->processId());
        return ms;
    };
    std::vector<double> reported, wall, cpu, peak, onePeak, spread, gatewayCpu, wakes;
    for (int i = 0; i < runs; ++i) {
        const double gatewaysBefore = gatewaysCpuMs();
        const Sample s = runCtl(ctl, {QStringLiteral("backup"), QStringLiteral("--plant"), plantFile, QStringLiteral("-o"), snapshot,
                                      QStringLiteral("-q")}, err);
        reported.push_back(s.reportedMs);
        spread.push_back(s.startSpreadMs);
        gatewayCpu.push_back(gatewaysCpuMs() - gatewaysBefore);
        wall.push_back(s.wallMs);
        cpu.push_back(s.cpuMs);
        wakes.push_back(s.wakeups);
        peak.push_back(s.peakKb);
        if (count > 1)
            onePeak.push_back(runCtl(ctl, {QStringLiteral("backup"), QStringLiteral("--plant"), oneLine, QStringLiteral("-o"),
                                           snapshot, QStringLiteral("-q")}, err).peakKb);
    }
    const QString what = QStringLiteral("backup --plant, %1 line%2 x 8 counters%3")
                             .arg(count).arg(count == 1 ? "" : "s").arg(tls ? QStringLiteral(", TLS ser2net each") : gateway ? QStringLiteral(", ser2net each") : QString());
    const double m = median(reported);
    std::printf("kestran-ctl %s, %d runs, 19200-baud paced lines both ways\n", qPrintable(what), runs);
    std::printf("  first byte to result   median %8.2f ms  min %8.2f  max %8.2f  floor %.2f  ratio %.4f\n", m,
                *std::min_element(reported.begin(), reported.end()), *std::max_element(reported.begin(), reported.end()),
                kLineFloorMs, m / kLineFloorMs);
    std::printf("  whole process          median %8.2f ms (start, opening %d ports, writing the snapshot)\n", median(wall), count);
    std::printf("  CPU (user + system)    median %8.2f ms, %.2f ms per line\n", median(cpu), median(cpu) / count);
    std::printf("  wakeups                median %8.0f, %.3f a byte (%d bytes a line)\n", median(wakes),
                median(wakes) / (count * 1024.0), 1024);
    if (gateway) {
        std::printf("  last line's first byte median %8.2f ms after the first line's (its open ended that much later)\n",
                    median(spread));
        std::printf("  the gateways' CPU      median %8.2f ms in all, on the same %ld cores\n", median(gatewayCpu),
                    sysconf(_SC_NPROCESSORS_ONLN));
    }
    std::printf("  peak resident memory   median %8.0f kB", median(peak));
    if (count > 1) {
        const double perLine = (median(peak) - median(onePeak)) / (count - 1);
        std::printf(", one-line run %.0f kB, %.0f kB per further line\n", median(onePeak), perLine);
        std::printf("summary: plant %s memory per line | %.0f kB | - | - | < 2048 kB\n", qPrintable(what), perLine);
    } else {
        std::printf("\n");
    }
    std::printf("summary: plant %s | %.2f ms | %.2f ms | %.4fx | %s\n", qPrintable(what), m, kLineFloorMs, m / kLineFloorMs,
                tls ? "<= 1.10x" : gateway ? "-" : "<= 1.10x");
    return 0;
}
