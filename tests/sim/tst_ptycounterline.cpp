#include "ptycounterline.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace kestran::sim;

namespace {
// The tool's end of the line: the slave opened raw, as a serial port would be.
struct Slave {
    Q_DISABLE_COPY_MOVE(Slave)
    explicit Slave(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Slave()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool write(const QByteArray &bytes) { return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size(); }
    // Reads until `count` bytes came or nothing more arrives within `timeoutMs`.
    QByteArray read(int count, int timeoutMs = 5000)
    {
        QByteArray out;
        char buf[512];
        pollfd p{fd, POLLIN, 0};
        while (out.size() < count && fd >= 0 && ::poll(&p, 1, timeoutMs) > 0) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            hungUp = n <= 0;
            if (hungUp)
                break;
            out.append(buf, int(n));
            ++reads;
        }
        return out;
    }

    int fd;
    int reads = 0;
    bool hungUp = false;
};

// The reply frames found in a byte stream, as a decoder that restarts at "*" would see them.
QList<QByteArray> replyFrames(const QByteArray &bytes)
{
    QList<QByteArray> frames;
    for (const QByteArray &piece : bytes.split('*').mid(1)) {
        const QByteArray f = '*' + piece.left(piece.indexOf('\r') + 1); // "*" alone without a carriage return
        if (f.size() == 15 && f[1] >= '0' && f[1] <= '7' && f[2] == 'C' && f[4] >= '0' && f[4] <= '7')
            frames << f;
    }
    return frames;
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
    void noisyLineIsDeterministicAndCounted();
    void pacing();
    void killAndRestart();
    void linkOfRunningLineKept();
    void slaveClosedAndReopened();
};

void TestPtyCounterLine::roundTrip()
{
    PtyCounterLine line;
    QVERIFY(line.start());
    Slave slave(line.slavePath());
    QVERIFY(slave.fd >= 0);

    QVERIFY(slave.write("*1W:0=+0000500\r*1R:?=?\r"));
    const QByteArray replies = slave.read(8 * 15);
    QCOMPARE(replyFrames(replies).size(), 8);
    QVERIFY(replies.startsWith("*1C:0=+0000500\r")); // the write came first

    QVERIFY(line.waitForBytes(23, 1000));
    QCOMPARE(line.received(), QByteArray("*1W:0=+0000500\r*1R:?=?\r"));
    const QVector<Arrival> arrivals = line.arrivals();
    for (int i = 1; i < arrivals.size(); ++i)
        QVERIFY(arrivals[i].ns >= arrivals[i - 1].ns);
    QCOMPARE(line.value(1, 0), QByteArray("+0000500"));

    // Bytes injected toward the tool arrive as they are.
    line.send("\x01*9C:x\r");
    QCOMPARE(slave.read(7), QByteArray("\x01*9C:x\r"));
}

void TestPtyCounterLine::noisyLineIsDeterministicAndCounted()
{
    LineOptions options;
    options.noise = 0.5;
    options.drop = 0.2;
    options.corrupt = 0.3;
    options.seed = 42;
    options.devices = {0, 5, 7};
    const QByteArray commands = QByteArray("*0R:?=?\r*2R:?=?\r*5R:?=?\r*7R:?=?\r").repeated(10);
    SendStats stats;
    const QByteArray first = session(options, commands, &stats);
    QVERIFY2(first.size() > 200, first.constData());
    QCOMPARE(session(options, commands), first);
    QCOMPARE(stats.generated, 3 * 10 * 8); // device 2 does not answer
    QVERIFY(stats.dropped > 0);
    QVERIFY(stats.corrupted > 0);
    // Noise never holds a "*": every star starts a frame that was sent.
    QCOMPARE(first.count('*'), stats.generated - stats.dropped);

    // The per-frame counts match what the tool's end can find in the bytes.
    const QList<QByteArray> frames = replyFrames(first);
    QCOMPARE(stats.replyTotal(), frames.size());
    decltype(stats.replies) found{};
    for (const QByteArray &f : frames)
        ++found[f[1] - '0'][f[4] - '0'];
    QVERIFY(stats.replies == found);
    QVERIFY(frames.size() <= stats.generated - stats.dropped);
    QVERIFY(frames.size() >= stats.generated - stats.dropped - stats.corrupted);

    options.split = true; // splitting changes how bytes are handed over, not which
    QCOMPARE(session(options, commands), first);
    options.seed = 43;
    QVERIFY(session(options, commands) != first);
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
    QVERIFY(before.hungUp); // the far end is gone
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

// A second line given the link of a running one refuses it; once the first
// is killed, its dangling link is taken.
void TestPtyCounterLine::linkOfRunningLineKept()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("counter");
    PtyCounterLine first, second;
    QVERIFY(first.setLink(link));
    QVERIFY(first.start());
    QVERIFY(second.setLink(link));
    QString error;
    QVERIFY(!second.start(&error));
    QVERIFY2(error.contains("in use"), qPrintable(error));
    QCOMPARE(QFileInfo(link).symLinkTarget(), first.slavePath());

    first.kill();
    QVERIFY(second.start(&error));
    QCOMPARE(QFileInfo(link).symLinkTarget(), second.slavePath());
}

void TestPtyCounterLine::slaveClosedAndReopened()
{
    LineOptions options;
    options.holdSlave = false; // the master sees EIO whenever nobody has the slave open
    PtyCounterLine line(options);
    QVERIFY(line.start());
    for (int round = 0; round < 3; ++round) {
        QTest::qWait(50); // let the line notice that the last round closed the slave
        Slave slave(line.slavePath());
        QVERIFY(slave.fd >= 0);
        QVERIFY(slave.write("*0R:?=?\r"));
        QCOMPARE(replyFrames(slave.read(120)).size(), 8);
    }
    QCOMPARE(line.value(0, 0), QByteArray("+0001000"));
    QCOMPARE(line.withLine([](CounterLine &l) { return l.readAllCount(0); }), 3);
}

QTEST_GUILESS_MAIN(TestPtyCounterLine)
#include "tst_ptycounterline.moc"
