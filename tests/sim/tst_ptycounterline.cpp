#include "ptycounterline.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace kestran::sim;

namespace {
// The tool's end of the line: the slave opened raw, as a serial port would be.
class Slave {
public:
    explicit Slave(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (m_fd >= 0 && tcgetattr(m_fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~Slave() { close(); }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool isOpen() const { return m_fd >= 0; }
    bool write(const QByteArray &bytes) { return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size(); }
    // Reads until `count` bytes came or nothing more arrives within `timeoutMs`.
    QByteArray read(int count, int timeoutMs = 5000)
    {
        QByteArray out;
        char buf[512];
        while (out.size() < count && m_fd >= 0) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                break;
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0) {
                m_hungUp = true;
                break;
            }
            out.append(buf, int(n));
            ++reads;
        }
        return out;
    }
    bool hungUp() const { return m_hungUp; }
    int reads = 0;

private:
    int m_fd = -1;
    bool m_hungUp = false;
};

// The reply frames found in a byte stream, as a decoder that restarts at "*" would see them.
QList<QByteArray> replyFrames(const QByteArray &bytes)
{
    QList<QByteArray> frames;
    QByteArray f;
    for (char c : bytes) {
        if (c == '*')
            f = "*";
        else if (!f.isEmpty())
            f += c;
        if (c == '\r' && !f.isEmpty()) {
            if (f.size() == 15 && f[1] >= '0' && f[1] <= '7' && f[2] == 'C' && f[4] >= '0' && f[4] <= '7')
                frames << f;
            f.clear();
        }
    }
    return frames;
}

QByteArray readAlls(int rounds, const QByteArray &addresses)
{
    QByteArray out;
    for (int r = 0; r < rounds; ++r)
        for (char a : addresses)
            out += QByteArray("*") + a + "R:?=?\r";
    return out;
}

// Runs `commands` through a fresh line and returns what the tool's end read.
QByteArray session(const LineOptions &options, const QByteArray &commands, SendStats *stats = nullptr)
{
    PtyCounterLine line(options);
    if (!line.start())
        return "start failed";
    Slave slave(line.slavePath());
    slave.write(commands);
    if (!line.waitForBytes(commands.size(), 5000) || !line.waitForIdle(5000))
        return "timed out";
    const QByteArray sent = line.sent();
    const QByteArray read = slave.read(sent.size());
    if (stats)
        *stats = line.stats();
    return read == sent ? read : QByteArray("read differs from sent");
}
} // namespace

class TestPtyCounterLine : public QObject {
    Q_OBJECT
private slots:
    void roundTrip();
    void determinism();
    void dropAndCorruptAreCounted();
    void pacing();
    void killAndRestart();
    void slaveClosedAndReopened();
};

void TestPtyCounterLine::roundTrip()
{
    PtyCounterLine line;
    QVERIFY(line.start());
    Slave slave(line.slavePath());
    QVERIFY(slave.isOpen());

    QVERIFY(slave.write("*1W:0=+0000500\r*1R:?=?\r"));
    const QByteArray replies = slave.read(8 * 15);
    QCOMPARE(replyFrames(replies).size(), 8);
    QVERIFY(replies.startsWith("*1C:0=+0000500\r*1C:1=+0000801\r*1C:2=-0000301\r"));
    QVERIFY(replies.endsWith("*1C:7=+0000002\r"));

    QVERIFY(line.waitForBytes(23, 1000));
    QCOMPARE(line.received(), QByteArray("*1W:0=+0000500\r*1R:?=?\r"));
    const QVector<Arrival> arrivals = line.arrivals();
    for (int i = 1; i < arrivals.size(); ++i)
        QVERIFY(arrivals[i].ns >= arrivals[i - 1].ns);
    QCOMPARE(line.value(1, 0), QByteArray("+0000500"));
    QCOMPARE(line.withLine([](CounterLine &l) { return l.writeCount(1) * 10 + l.readAllCount(1); }), 11);
    QCOMPARE(line.stats().replies[1][2], 1);

    // Bytes injected toward the tool arrive as they are.
    line.send("\x01*9C:x\r");
    QCOMPARE(slave.read(7), QByteArray("\x01*9C:x\r"));
}

void TestPtyCounterLine::determinism()
{
    LineOptions options;
    options.noise = 0.5;
    options.drop = 0.2;
    options.corrupt = 0.3;
    options.seed = 42;
    const QByteArray commands = readAlls(3, "0257");
    SendStats stats;
    const QByteArray first = session(options, commands, &stats);
    QVERIFY2(first.size() > 200, first.constData());
    QCOMPARE(session(options, commands), first);

    // Noise never holds a "*": every star starts a frame that was sent.
    QCOMPARE(first.count('*'), stats.generated - stats.dropped);

    options.split = true; // splitting changes how bytes are handed over, not which
    QCOMPARE(session(options, commands), first);
    options.seed = 43;
    QVERIFY(session(options, commands) != first);
}

void TestPtyCounterLine::dropAndCorruptAreCounted()
{
    LineOptions options;
    options.drop = 0.25;
    options.corrupt = 0.25;
    options.noise = 0.3;
    options.seed = 7;
    options.devices = {1, 6};
    SendStats stats;
    const QByteArray read = session(options, readAlls(20, "136"), &stats);
    QCOMPARE(stats.generated, 2 * 20 * 8); // device 3 does not answer
    QVERIFY(stats.dropped > 0);
    QVERIFY(stats.corrupted > 0);

    // The per-frame counts match what the tool's end can find in the bytes.
    const QList<QByteArray> frames = replyFrames(read);
    QCOMPARE(stats.replyTotal(), frames.size());
    for (int d = 0; d < kDeviceCount; ++d)
        for (int i = 0; i < kIndexCount; ++i) {
            const int found = int(std::count_if(frames.begin(), frames.end(), [&](const QByteArray &f) {
                return f[1] == '0' + d && f[4] == '0' + i;
            }));
            QCOMPARE(stats.replies[d][i], found);
        }
    QVERIFY(frames.size() <= stats.generated - stats.dropped);
    QVERIFY(frames.size() >= stats.generated - stats.dropped - stats.corrupted);
}

void TestPtyCounterLine::pacing()
{
    LineOptions options;
    options.pace = true;
    PtyCounterLine line(options);
    QVERIFY(line.start());
    Slave slave(line.slavePath());
    QElapsedTimer timer;
    timer.start();
    slave.write("*4R:?=?\r");
    QCOMPARE(slave.read(120).size(), 120);
    // 120 bytes of 10 bits at 19200 baud need 62.5 ms of wire time.
    QVERIFY2(timer.elapsed() >= 60, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(slave.reads > 1);
}

void TestPtyCounterLine::killAndRestart()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("counter");
    PtyCounterLine line;
    QVERIFY(line.setLink(link));
    QVERIFY(line.start());
    QCOMPARE(QFileInfo(link).symLinkTarget(), line.slavePath());

    Slave before(link);
    QVERIFY(before.write("*2W:3=+0000123\r*2R:?=?\r"));
    QCOMPARE(before.read(120).size(), 120);

    line.kill();
    QVERIFY(!line.isRunning());
    QVERIFY(before.read(1, 1000).isEmpty());
    QVERIFY(before.hungUp()); // the far end is gone
    QVERIFY(QFileInfo(link).isSymLink()); // left behind, like a crashed simulator's

    QVERIFY(line.restart());
    QCOMPARE(QFileInfo(link).symLinkTarget(), line.slavePath());
    Slave after(link);
    QVERIFY(after.write("*2R:?=?\r"));
    const QByteArray replies = after.read(120);
    QVERIFY(replies.contains("*2C:3=+0000123\r")); // the counter kept its values

    line.stop();
    QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link));
}

void TestPtyCounterLine::slaveClosedAndReopened()
{
    LineOptions options;
    options.holdSlave = false; // the master sees EIO whenever nobody has the slave open
    PtyCounterLine line(options);
    QVERIFY(line.start());
    for (int round = 0; round < 3; ++round) {
        Slave slave(line.slavePath());
        QVERIFY(slave.isOpen());
        QVERIFY(slave.write("*0R:?=?\r"));
        QCOMPARE(replyFrames(slave.read(120)).size(), 8);
        slave.close();
        QTest::qWait(50); // let the line notice the hang-up
    }
    QCOMPARE(line.value(0, 0), QByteArray("+0001000"));
    QCOMPARE(line.withLine([](CounterLine &l) { return l.readAllCount(0); }), 3);
}

QTEST_GUILESS_MAIN(TestPtyCounterLine)
#include "tst_ptycounterline.moc"
