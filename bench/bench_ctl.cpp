// kestran-ctl against the wire time: the program itself, run as a process
// against simulated counters on a pseudo-terminal that delivers every byte,
// both ways, at 19200-baud wire time (520.8 us a byte). Each run is timed
// inside the program, from its first byte sent to its result ready
// (KESTRAN_CTL_TIMING=1), and compared with the floor the wire sets:
//   read of one counter      8 + 8 x 15 bytes                        66.7 ms
//   backup --all, 8 counters 8 x 66.7 ms                             533.3 ms
//   restore of seven values  7 x 250 ms pause + a read-back          1816.7 ms
//                            (the restore also reads the counter first to compare: + 66.7 ms)
//
//   bench_ctl [runs]      (default 7)
#include "backupfile.h"
#include "ptycounterline.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace kestran;
using sim::PtyCounterLine;

namespace {

constexpr double kByteMs = 10.0 / 19200 * 1000;
constexpr double kReadMs = (8 + 8 * 15) * kByteMs;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs kestran-ctl and gives the time it reports, or -1.
double timed(const QString &ctl, const QStringList &args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KESTRAN_CTL_TIMING"), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    p.start(ctl, args + QStringList{QStringLiteral("-q")});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        std::fprintf(stderr, "kestran-ctl %s failed: %s\n", qPrintable(args.join(' ')),
                     p.readAllStandardError().constData());
        return -1;
    }
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("timing: ([0-9.]+) ms"))
                                          .match(QString::fromUtf8(p.readAllStandardError()));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

void row(const char *name, const std::vector<double> &ms, double floor)
{
    const double m = median(ms);
    std::printf("  %-28s median %8.2f ms  min %8.2f  max %8.2f  floor %8.2f  ratio %.4f\n", name, m,
                *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()), floor, m / floor);
    std::printf("summary: kestran-ctl %s | %.2f ms | %.2f ms | %.4fx | <= 1.05x\n", name, m, floor, m / floor);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const QString ctl = QCoreApplication::applicationDirPath() + QStringLiteral("/../src/kestran-ctl");

    sim::LineOptions options;
    options.pace = true;
    options.paceCommands = true;
    options.keepHistory = false;
    PtyCounterLine line(options);
    QString error;
    if (!line.start(&error)) {
        std::fprintf(stderr, "cannot start the simulated line: %s\n", qPrintable(error));
        return 1;
    }
    const QString port = line.slavePath();
    QTemporaryDir dir;
    const QString saved = dir.filePath(QStringLiteral("plant.json"));

    std::vector<double> read, backup, restore;
    for (int i = 0; i < runs; ++i) {
        read.push_back(timed(ctl, {QStringLiteral("read"), QStringLiteral("--port"), port, QStringLiteral("-d"), QStringLiteral("2")}));
        backup.push_back(timed(ctl, {QStringLiteral("backup"), QStringLiteral("--all"), QStringLiteral("--port"), port,
                                     QStringLiteral("-o"), saved}));
        // Device 2 replaced by a counter whose seven settings all differ.
        line.withLine([](sim::CounterLine &l) {
            for (int index : {0, 1, 3, 4, 5, 6})
                l.setValue(2, index, "+0000000");
            l.setValue(2, 7, "+0000009");
        });
        restore.push_back(timed(ctl, {QStringLiteral("restore"), saved, QStringLiteral("-d"), QStringLiteral("2"),
                                      QStringLiteral("--port"), port}));
    }
    for (const auto *v : {&read, &backup, &restore})
        if (std::find(v->begin(), v->end(), -1.0) != v->end())
            return 1;
    std::printf("kestran-ctl, %d runs each, first byte sent to result ready, 19200-baud paced line both ways\n", runs);
    row("read, one counter", read, kReadMs);
    row("backup --all, 8 counters", backup, 8 * kReadMs);
    row("restore, 7 values", restore, 7 * 250.0 + kReadMs);
    std::printf("  (restore reads the counter before writing, to compare: its own floor is %.2f ms, ratio %.4f)\n",
                7 * 250.0 + 2 * kReadMs, median(restore) / (7 * 250.0 + 2 * kReadMs));
    return 0;
}
