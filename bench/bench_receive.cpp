// Receiving: what the whole receive path costs, how close a read comes to the
// wire time, and whether memory stays put under endless noise.
//
// 1. CPU per received byte. Megabytes of valid replies for the selected device
//    (every reply a new value) go through a pseudo-terminal as fast as it takes
//    them: pty -> serial control (one OnComm per byte) -> decoder -> fields and
//    displays. Measured: CPU time of the window's thread (RUSAGE_THREAD), per
//    byte, and the share of one core a 19200-baud line (1,920 bytes/s) would
//    take. Floor: the same bytes read by a bare QSerialPort that only counts them.
// 2. A read: from pressing Read to the last of the eight values shown, with the
//    simulated counter putting its bytes on the line at 19200-baud wire time.
//    Floor: the 120 reply bytes at 520.8 us each (62.5 ms). On a pseudo-terminal
//    the 8 command bytes arrive at once; on a real line they add 4.2 ms (66.7 ms).
// 3. Memory under noise: VmRSS before and after 10 MB without a single "*"
//    (after 1 MB of warm-up), fed through a plain pseudo-terminal.
//
//   bench_receive [megabytes=2] [reads=21] [noise megabytes=10]
#include "../tests/common/processstats.h"
#include "../tests/common/waituntil.h"
#include "controls.h"
#include "form1.h"
#include "mscomm.h"
#include "ptycounterline.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <cerrno>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <sys/resource.h>
#include <vector>

using namespace kestran;
using sim::LineOptions;
using sim::PtyCounterLine;

namespace {

constexpr double kByteUs = 520.833;   // 10 bits at 19200 baud
constexpr double kLineBytesPerSecond = 1920;

double threadCpuNs()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec)) * 1e3;
}


double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

QByteArray reply(int device, int index, long value)
{
    return "*" + QByteArray::number(device) + "C:" + QByteArray::number(index) + "=" + sim::formatValue(value) + "\r";
}

// The window open on a fresh simulated line, its first read shown.
struct Bench {
    std::unique_ptr<PtyCounterLine> line;
    MSComm comm;
    Form1 form{&comm};

    explicit Bench(const LineOptions &options)
    {
        line = std::make_unique<PtyCounterLine>(options);
        QString error;
        if (!line->start(&error)) {
            std::fprintf(stderr, "bench_receive: %s\n", qPrintable(error));
            std::exit(1);
        }
        form.load();
        form.cCom->setText(line->slavePath());
        form.bCONNECT->click();
        if (!waitUntil([&] { return !form.sALARM->text().isEmpty(); }, 5000)) {
            std::fprintf(stderr, "bench_receive: the window did not open on %s\n", qPrintable(line->slavePath()));
            std::exit(1);
        }
    }
};

struct Throughput {
    double nsPerByte = 0, wallMs = 0;
    long bytes = 0;
};

Throughput throughWindow(int megabytes)
{
    Bench b{LineOptions{}};
    // Whole reads of eight 15-byte replies, ALARM last; every reply changes its
    // field (none repeats the value the first read left there).
    const long replies = (megabytes * 1024L * 1024L / 15 + 7) / 8 * 8;
    QByteArray payload;
    payload.reserve(int(replies * 15));
    for (long k = 0; k < replies; ++k)
        payload += reply(0, int(k % 8), (k % 2 ? -1 : 1) * (k / 8 % 9999999 + 1));
    const QString last = QString::fromLatin1(payload.right(9).left(8));

    long shown = 0;
    QEventLoop loop;
    std::vector<QMetaObject::Connection> links;
    for (TextBox *f : b.form.settingFields())
        links.push_back(QObject::connect(f, &QLineEdit::textChanged, [&](const QString &) { ++shown; }));
    links.push_back(QObject::connect(b.form.tDIFFERENCE, &QLineEdit::textChanged, [&](const QString &) { ++shown; }));
    links.push_back(QObject::connect(b.form.sALARM, &QLineEdit::textChanged, [&](const QString &t) {
        if (t == last && shown >= replies)
            loop.quit();
    }));
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);

    const double cpu0 = threadCpuNs();
    QElapsedTimer wall;
    wall.start();
    b.line->send(payload);
    loop.exec();
    const double cpu = threadCpuNs() - cpu0;
    Throughput t;
    t.wallMs = double(wall.nsecsElapsed()) / 1e6;
    t.bytes = payload.size();
    t.nsPerByte = cpu / double(payload.size());
    for (const auto &c : links)
        QObject::disconnect(c);
    if (shown != replies) {
        std::fprintf(stderr, "bench_receive: %ld replies sent, %ld shown\n", replies, shown);
        std::exit(1);
    }
    return t;
}

Throughput throughBarePort(long bytes)
{
    PtyCounterLine line;
    if (!line.start())
        std::exit(1);
    QSerialPort port(line.slavePath());
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "bench_receive: bare port: %s\n", qPrintable(port.errorString()));
        std::exit(1);
    }
    long got = 0;
    QEventLoop loop;
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        got += port.readAll().size();
        if (got >= bytes)
            loop.quit();
    });
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);
    QByteArray payload;
    for (long k = 0; payload.size() < bytes; ++k)
        payload += reply(0, int(k % 8), k / 8 % 9999999);
    payload.truncate(int(bytes));
    const double cpu0 = threadCpuNs();
    QElapsedTimer wall;
    wall.start();
    line.send(payload);
    loop.exec();
    Throughput t;
    t.wallMs = double(wall.nsecsElapsed()) / 1e6;
    t.bytes = got;
    t.nsPerByte = (threadCpuNs() - cpu0) / double(bytes);
    return t;
}

std::vector<double> reads(int count)
{
    LineOptions paced;
    paced.pace = true;
    Bench b{paced};
    qint64 done = 0;
    QObject::connect(b.form.sALARM, &QLineEdit::textChanged, [&](const QString &t) {
        if (!t.isEmpty())
            done = PtyCounterLine::nowNs();
    });
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        b.line->withLine([&](sim::CounterLine &l) {
            for (int index = 0; index < sim::kIndexCount; ++index)
                l.setValue(0, index, sim::formatValue(1000L * i + index));
        });
        waitUntil([&] { return b.line->waitForIdle(0); }, 1000);
        waitUntil([] { return false; }, 5);   // let the line settle
        done = 0;
        const qint64 start = PtyCounterLine::nowNs();
        b.form.bRead->click();
        if (!waitUntil([&] { return done != 0; }, 2000)) {
            std::fprintf(stderr, "bench_receive: read %d did not complete\n", i);
            std::exit(1);
        }
        if (b.form.sTARGET->text() != QString::fromLatin1(sim::formatValue(1000L * i))) {
            std::fprintf(stderr, "bench_receive: read %d showed %s\n", i, qPrintable(b.form.sTARGET->text()));
            std::exit(1);
        }
        ms.push_back(double(done - start) / 1e6);
    }
    return ms;
}

struct NoiseMemory {
    long beforeKb = 0, afterKb = 0, peakKb = 0;
    int decoderChars = 0;
};

// The noise comes from a plain pseudo-terminal written by a thread of its own
// (the simulator keeps a log of everything it sends, which would be counted too).
NoiseMemory underNoise(int megabytes)
{
    int master = -1, slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        std::perror("bench_receive: openpty");
        std::exit(1);
    }
    const QString path = QString::fromLocal8Bit(::ptsname(master));
    MSComm comm;
    Form1 form(&comm);
    form.load();
    form.cCom->setText(path);
    form.bCONNECT->click();
    if (!comm.PortOpen()) {
        std::fprintf(stderr, "bench_receive: the window did not open on %s\n", qPrintable(path));
        std::exit(1);
    }
    long received = 0;
    QObject::connect(&comm, &SerialControl::OnComm, [&] {
        if (comm.CommEvent() == short(CommEventCode::Receive))
            ++received;
    });
    std::mt19937 rng(7);
    auto push = [&](long bytes) {
        const long target = received + bytes;
        std::thread writer([&] {
            char buf[4096];
            for (long left = bytes; left > 0;) {
                const int n = int(std::min<long>(left, sizeof buf));
                for (int i = 0; i < n; ++i) {
                    do
                        buf[i] = char(rng() & 0xff);
                    while (buf[i] == '*');
                }
                for (int done = 0; done < n;) {
                    const ssize_t w = ::write(master, buf + done, size_t(n - done));
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w <= 0)
                        return;
                    done += int(w);
                }
                left -= n;
            }
        });
        const bool ok = waitUntil([&] { return received >= target; }, 300000);
        writer.join();
        if (!ok) {
            std::fprintf(stderr, "bench_receive: noise not received (%ld of %ld)\n", received, target);
            std::exit(1);
        }
    };
    constexpr long kMb = 1024L * 1024L;
    push(kMb);   // warm-up: buffers and queues at their working size
    NoiseMemory m;
    m.beforeKb = m.peakKb = vmRssKb();
    for (int i = 0; i < megabytes; ++i) {
        push(kMb);
        m.peakKb = std::max<qint64>(m.peakKb, vmRssKb());
    }
    m.afterKb = vmRssKb();
    m.decoderChars = int(form.mRxBuffer.text().size());
    form.bCONNECT->click();
    ::close(master);
    ::close(slave);
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2;
    const int readCount = argc > 2 ? std::max(1, std::atoi(argv[2])) : 21;
    const int noiseMb = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;

    const Throughput tool = throughWindow(megabytes);
    const Throughput bare = throughBarePort(tool.bytes);
    const double share = tool.nsPerByte * kLineBytesPerSecond / 1e9 * 100;
    const double bareShare = bare.nsPerByte * kLineBytesPerSecond / 1e9 * 100;
    std::printf("receive path, %.1f MB of replies for the selected device as fast as the pty takes them\n",
                double(tool.bytes) / 1048576.0);
    std::printf("  window (OnComm per byte, decode, fields)  %7.0f ns/byte CPU  (%.0f ms wall)  %.3f%% of a core at 19200 baud\n",
                tool.nsPerByte, tool.wallMs, share);
    std::printf("  bare QSerialPort, bytes only               %7.0f ns/byte CPU  (%.0f ms wall)  %.3f%% of a core\n",
                bare.nsPerByte, bare.wallMs, bareShare);

    const std::vector<double> ms = reads(readCount);
    const double floorMs = 120 * kByteUs / 1000, wireMs = 128 * kByteUs / 1000;
    const double med = median(ms);
    std::printf("a read, Read pressed to the eighth value shown, replies at 19200-baud wire time, median of %d\n",
                readCount);
    std::printf("  %.2f ms (min %.2f, max %.2f); floor %.2f ms = 120 reply bytes x 520.8 us "
                "(the pty takes the 8 command bytes at once; a real line adds 4.17 ms: %.2f ms)\n",
                med, *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
                floorMs, wireMs);

    const NoiseMemory m = underNoise(noiseMb);
    std::printf("memory under %d MB of noise without \"*\": VmRSS %ld kB -> %ld kB (peak %ld kB), "
                "growth %+ld kB; decoder buffer %d characters\n",
                noiseMb, m.beforeKb, m.afterKb, m.peakKb, m.afterKb - m.beforeKb, m.decoderChars);

    // Rows for bench/run's summary table: name | measured | floor | ratio | goal
    std::printf("summary: receive CPU at 19200 baud | %.3f%% of a core (%.0f ns/byte) | %.3f%% (%.0f ns/byte, bare QSerialPort) | %.1fx | < 1%% of a core\n",
                share, tool.nsPerByte, bareShare, bare.nsPerByte, tool.nsPerByte / bare.nsPerByte);
    std::printf("summary: a read (Read to 8th value) | %.2f ms | %.2f ms (reply wire time) | %.3fx | <= 1.05x\n",
                med, floorMs, med / floorMs);
    std::printf("summary: RSS growth, %d MB noise | %+.2f MB | 0 MB | - | <= +1 MB\n", noiseMb,
                double(m.afterKb - m.beforeKb) / 1024.0);
    return 0;
}
