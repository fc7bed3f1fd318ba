// kestran-ctl against the wire time: the program itself, run as a process
// against simulated counters on a pseudo-terminal that delivers every byte,
// both ways, at 19200-baud wire time (520.8 us a byte). Each run is timed
// inside the program, from its first byte sent to its result ready
// (KESTRAN_CTL_TIMING=1), and compared with the floor the wire sets:
//   read of one counter      8 + 8 x 15 bytes                        66.7 ms
//   backup --all, 8 counters 8 x 66.7 ms                             533.3 ms
//   restore                  a read to compare, one 250 ms pause per value
//                            written, a read-back: with seven settings
//                            differing, ACTUAL is left out and six are
//                            written: 2 x 66.7 + 6 x 250 ms           1633.3 ms
// The frames each run sent are counted at the simulator, and every floor is
// made of the frames the command really sent, so a row cannot pass by doing less.
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
constexpr int kPauseMs = 250;   // after every value written

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Sent {
    int reads = 0, writes = 0;
    bool operator==(const Sent &o) const { return reads == o.reads && writes == o.writes; }
};

Sent sentSoFar(PtyCounterLine &line)
{
    Sent s;
    line.withLine([&](sim::CounterLine &l) {
        for (int d = 0; d < sim::kDeviceCount; ++d) {
            s.reads += l.readAllCount(d);
            s.writes += l.writeCount(d);
        }
    });
    return s;
}

// Runs kestran-ctl and gives the time it reports, or -1; adds the frames it
// sent to `sent` (every run of one command must send the same).
double timed(const QString &ctl, const QStringList &args, PtyCounterLine &line, Sent *sent, bool first)
{
    const Sent before = sentSoFar(line);
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
    line.waitForIdle(1000);
    const Sent after = sentSoFar(line);
    const Sent now{after.reads - before.reads, after.writes - before.writes};
    if (!first && !(now == *sent)) {
        std::fprintf(stderr, "kestran-ctl %s sent %d read-alls and %d writes, before %d and %d\n",
                     qPrintable(args.join(' ')), now.reads, now.writes, sent->reads, sent->writes);
        return -1;
    }
    *sent = now;
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("timing: ([0-9.]+) ms"))
                                          .match(QString::fromUtf8(p.readAllStandardError()));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

// What the wire and the pauses take for the frames a command sent.
double floorOf(const Sent &s)
{
    return s.reads * kReadMs + s.writes * double(kPauseMs);
}

void row(const QString &title, const std::vector<double> &ms, double floor)
{
    const QByteArray n = title.toUtf8();
    const char *name = n.constData();
    const double m = median(ms);
    std::printf("  %-44s median %8.2f ms  min %8.2f  max %8.2f  floor %8.2f  ratio %.4f\n", name, m,
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
    Sent readSent, backupSent, restoreSent;
    for (int i = 0; i < runs; ++i) {
        read.push_back(timed(ctl, {QStringLiteral("read"), QStringLiteral("--port"), port, QStringLiteral("-d"), QStringLiteral("2")},
                             line, &readSent, i == 0));
        backup.push_back(timed(ctl, {QStringLiteral("backup"), QStringLiteral("--all"), QStringLiteral("--port"), port,
                                     QStringLiteral("-o"), saved}, line, &backupSent, i == 0));
        // Device 2 replaced by a counter whose seven settings all differ.
        line.withLine([](sim::CounterLine &l) {
            for (int index : {0, 1, 3, 4, 5, 6})
                l.setValue(2, index, "+0000000");
            l.setValue(2, 7, "+0000009");
        });
        restore.push_back(timed(ctl, {QStringLiteral("restore"), saved, QStringLiteral("-d"), QStringLiteral("2"),
                                      QStringLiteral("--port"), port}, line, &restoreSent, i == 0));
    }
    for (const auto *v : {&read, &backup, &restore})
        if (std::find(v->begin(), v->end(), -1.0) != v->end())
            return 1;
    std::printf("kestran-ctl, %d runs each, first byte sent to result ready, 19200-baud paced line both ways\n", runs);
    row(QStringLiteral("read, one counter"), read, floorOf(readSent));
    row(QStringLiteral("backup --all, %1 counters").arg(backupSent.reads), backup, floorOf(backupSent));
    // Seven settings differ; ACTUAL, a live count, is not written without --with-actual.
    row(QStringLiteral("restore, %1 values written (ACTUAL left out)").arg(restoreSent.writes), restore,
        floorOf(restoreSent));
    std::printf("  (frames sent: read %d read-all; backup %d read-alls; restore %d read-alls, %d writes)\n",
                readSent.reads, backupSent.reads, restoreSent.reads, restoreSent.writes);
    return 0;
}
