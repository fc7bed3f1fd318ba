// The serial control over real pseudo-terminals: the test plays the counter on
// the master side.
#include "mscomm.h"
#include "mdlcomport.h"
#include "ptypair.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <unistd.h>

using namespace kestran;
using kestran::test::PtyPair;

Q_DECLARE_METATYPE(kestran::SerialFault)

namespace {

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// What the window does on opening, in its order.
void configureLikeTheWindow(MSComm &comm, const QString &path)
{
    comm.setDevicePath(path);
    QVERIFY(comm.setSettings(QStringLiteral("19200,N,8,1")));
    comm.setInBufferCount(0);
    comm.setInputMode(0);
    comm.setInputLen(1);
    comm.setRThreshold(1);
    comm.setSThreshold(1);
    comm.setDTREnable(false);
}

// Records what a receive handler sees: one Input() per receive event.
struct ReceiveLog {
    QStringList inputs;
    int sendEvents = 0;
    int nested = 0;
    bool inHandler = false;
    bool readInput = true;

    void attach(MSComm &comm)
    {
        QObject::connect(&comm, &SerialControl::OnComm, &comm, [this, &comm] {
            if (inHandler)
                ++nested;
            inHandler = true;
            if (comm.CommEvent() == short(CommEventCode::Receive)) {
                inputs.append(readInput ? comm.Input() : QString());
            } else if (comm.CommEvent() == short(CommEventCode::Send)) {
                ++sendEvents;
            }
            inHandler = false;
        });
    }
};

} // namespace

class TestMSComm : public QObject {
    Q_OBJECT
private slots:
    void designDefaults();
    void lineSettingsReachTheLine_data();
    void lineSettingsReachTheLine();
    void malformedSettingsRejected_data();
    void malformedSettingsRejected();
    void burstGivesOneEventPerByteInOrder();
    void allByteValuesRoundTrip();
    void unreadBytesStayQueued();
    void outputArrivesInOrder();
    void transmitEventWithSThreshold();
    void outputWhileClosedIsRefused();
    void farEndVanishing();
    void openFailures_data();
    void openFailures();
    void secondOpenOfSamePortIsBusy();
    void lockFileOfLiveProcessIsBusy();
    void commPortMapsThroughTable();
    void badPortNumber_data();
    void badPortNumber();
};

void TestMSComm::designDefaults()
{
    MSComm comm;
    QCOMPARE(comm.Settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(comm.InBufferSize(), 1024);
    QCOMPARE(comm.OutBufferSize(), 512);
    QCOMPARE(comm.Handshaking(), 0);
    QCOMPARE(comm.CommPort(), short(1));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.InBufferCount(), short(0));
    QCOMPARE(comm.Input(), QString());
}

void TestMSComm::lineSettingsReachTheLine_data()
{
    // A pseudo-terminal always keeps 8 data bits and no parity, whatever is
    // asked; speed and stop bits are what it shows of the settings.
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("twoStop");
    QTest::newRow("counter line") << "19200,N,8,1" << int(B19200) << false;
    QTest::newRow("two stop bits") << "9600,E,7,2" << int(B9600) << true;
    QTest::newRow("lower-case parity") << "38400,o,8,1" << int(B38400) << false;
    QTest::newRow("spaces") << " 4800 , n , 6 , 2 " << int(B4800) << true;
}

void TestMSComm::lineSettingsReachTheLine()
{
    QFETCH(QString, settings);
    QFETCH(int, speed);
    QFETCH(bool, twoStop);

    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    MSComm comm;
    comm.setDevicePath(pty.slavePath());
    QVERIFY(comm.setSettings(settings));
    comm.setDTREnable(false);
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.fault(), SerialFault::None);

    termios tio{};
    QVERIFY(pty.slaveAttributes(&tio));
    QCOMPARE(int(cfgetospeed(&tio)), speed);
    QCOMPARE(int(cfgetispeed(&tio)), speed);
    QCOMPARE(int(tio.c_cflag & CSIZE), int(CS8));
    QVERIFY(!(tio.c_cflag & PARENB));
    QCOMPARE(bool(tio.c_cflag & CSTOPB), twoStop);
    QVERIFY(tio.c_cflag & CREAD);
    QVERIFY(!(tio.c_cflag & CRTSCTS));
    QVERIFY(!(tio.c_lflag & ICANON));

    // Changed while open, the settings apply at once.
    QVERIFY(comm.setSettings(QStringLiteral("1200,N,8,1")));
    QVERIFY(pty.slaveAttributes(&tio));
    QCOMPARE(int(cfgetospeed(&tio)), int(B1200));
    QVERIFY(comm.setPortOpen(false));
    QVERIFY(!comm.PortOpen());
}

void TestMSComm::malformedSettingsRejected_data()
{
    QTest::addColumn<QString>("settings");
    QTest::newRow("empty") << "";
    QTest::newRow("three fields") << "19200,N,8";
    QTest::newRow("five fields") << "19200,N,8,1,1";
    QTest::newRow("parity X") << "19200,X,8,1";
    QTest::newRow("parity word") << "19200,None,8,1";
    QTest::newRow("data 9") << "19200,N,9,1";
    QTest::newRow("data 4") << "19200,N,4,1";
    QTest::newRow("stop 3") << "19200,N,8,3";
    QTest::newRow("stop 1.0") << "19200,N,8,1.0";
    QTest::newRow("baud zero") << "0,N,8,1";
    QTest::newRow("baud negative") << "-9600,N,8,1";
    QTest::newRow("baud text") << "fast,N,8,1";
    QTest::newRow("baud overflow") << "99999999999,N,8,1";
    QTest::newRow("semicolons") << "19200;N;8;1";
}

void TestMSComm::malformedSettingsRejected()
{
    QFETCH(QString, settings);
    MSComm comm;
    QVERIFY(comm.setSettings(QStringLiteral("19200,E,7,2")));
    QVERIFY(!comm.setSettings(settings));
    QCOMPARE(comm.fault(), SerialFault::BadSettings);
    QVERIFY(!comm.errorString().isEmpty());
    QCOMPARE(comm.Settings(), QStringLiteral("19200,E,7,2"));
}

void TestMSComm::burstGivesOneEventPerByteInOrder()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    MSComm comm;
    configureLikeTheWindow(comm, pty.slavePath());
    ReceiveLog log;
    log.attach(comm);

    // Nothing is raised synchronously by opening.
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
    QCOMPARE(log.inputs.size(), 0);

    const QByteArray burst = "*0R+0001234\r*0R-0000042\r*1Rxx\r";
    QCOMPARE(burst.size(), 30);
    QVERIFY(pty.write(burst));
    QTRY_COMPARE(log.inputs.size(), 30);
    QCOMPARE(log.inputs.join(QString()).toLatin1(), burst);
    for (const QString &one : std::as_const(log.inputs))
        QCOMPARE(one.size(), 1);
    QCOMPARE(log.nested, 0);
    QCOMPARE(comm.InBufferCount(), short(0));
    QCOMPARE(comm.Input(), QString());

    // A second burst after the first keeps the count exact: no stray events.
    QVERIFY(pty.write("ABC"));
    QTRY_COMPARE(log.inputs.size(), 33);
    QTest::qWait(50);
    QCOMPARE(log.inputs.size(), 33);
    QCOMPARE(log.inputs.mid(30).join(QString()), QStringLiteral("ABC"));
}

void TestMSComm::allByteValuesRoundTrip()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    MSComm comm;
    configureLikeTheWindow(comm, pty.slavePath());
    ReceiveLog log;
    log.attach(comm);
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));

    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QVERIFY(pty.write(all));
    QTRY_COMPARE(log.inputs.size(), 256);
    for (int i = 0; i < 256; ++i) {
        QCOMPARE(log.inputs.at(i).size(), 1);
        QCOMPARE(int(log.inputs.at(i).at(0).unicode()), i);
    }

    // And back out: every character 0..255 leaves as the same byte.
    QString text;
    for (int i = 0; i < 256; ++i)
        text.append(QChar(i));
    comm.setOutput(text);
    QVERIFY(pty.waitForReceived(256));
    QCOMPARE(pty.received(), all);
}

void TestMSComm::unreadBytesStayQueued()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    MSComm comm;
    configureLikeTheWindow(comm, pty.slavePath());
    ReceiveLog log;
    log.readInput = false;
    log.attach(comm);
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));

    QVERIFY(pty.write("12345"));
    QTRY_COMPARE(log.inputs.size(), 5);
    QCOMPARE(comm.InBufferCount(), short(5));
    QCOMPARE(comm.Input(), QStringLiteral("1"));     // InputLen 1
    comm.setInputLen(0);
    QCOMPARE(comm.Input(), QStringLiteral("2345"));  // InputLen 0: all that waits
    QCOMPARE(comm.Input(), QString());

    QVERIFY(pty.write("678"));
    QTRY_COMPARE(comm.InBufferCount(), short(3));
    comm.setInBufferCount(0);
    QCOMPARE(comm.InBufferCount(), short(0));
    QCOMPARE(comm.Input(), QString());
}

void TestMSComm::outputArrivesInOrder()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    MSComm comm;
    configureLikeTheWindow(comm, pty.slavePath());
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));

    // The way the write sequence sends: single characters and eight-character
    // values back to back, with no turn of the event loop in between.
    QByteArray expected;
    for (int i = 0; i < 50; ++i) {
        const QString frame = QStringLiteral("*0W%1+%2\r").arg(i % 8).arg(i, 7, 10, QLatin1Char('0'));
        for (const QChar c : frame) {
            comm.setOutput(QString(c));
            expected.append(char(c.unicode()));
        }
    }
    comm.setOutput(QStringLiteral("\u00e9\u00ff"));
    expected.append("\xe9\xff");
    // Handed to the line at once: the bytes are there before the event loop runs.
    pty.drain();
    QVERIFY(pty.received().size() > 0);
    QVERIFY(pty.waitForReceived(int(expected.size())));
    QCOMPARE(pty.received(), expected);
}

void TestMSComm::transmitEventWithSThreshold()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    MSComm comm;
    configureLikeTheWindow(comm, pty.slavePath());
    comm.setSThreshold(0);
    ReceiveLog log;
    log.attach(comm);
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));

    comm.setOutput(QStringLiteral("abc"));
    QVERIFY(pty.waitForReceived(3));
    QTest::qWait(50);
    QCOMPARE(log.sendEvents, 0);

    comm.setSThreshold(1);
    comm.setOutput(QStringLiteral("def"));
    QCOMPARE(log.sendEvents, 0);   // raised from the event loop, not inside Output
    QTRY_VERIFY(log.sendEvents >= 1);
    QVERIFY(pty.waitForReceived(6));
    QCOMPARE(pty.received(), QByteArray("abcdef"));
    QCOMPARE(log.inputs.size(), 0);
}

void TestMSComm::outputWhileClosedIsRefused()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    MSComm comm;
    configureLikeTheWindow(comm, pty.slavePath());
    comm.setOutput(QStringLiteral("lost"));
    QVERIFY(comm.setPortOpen(true));
    QVERIFY(comm.setPortOpen(false));
    comm.setOutput(QStringLiteral("gone"));
    QTest::qWait(50);
    pty.drain();
    QCOMPARE(pty.received(), QByteArray());
}

void TestMSComm::farEndVanishing()
{
    auto pty = std::make_unique<PtyPair>();
    QVERIFY2(pty->isValid(), qPrintable(pty->error()));
    const QString path = pty->slavePath();
    MSComm comm;
    configureLikeTheWindow(comm, path);
    ReceiveLog log;
    log.attach(comm);
    QSignalSpy lost(&comm, &SerialControl::connectionLost);
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));

    pty->closeMaster();
    QVERIFY(lost.wait(5000));
    QCOMPARE(lost.count(), 1);
    const QString reason = lost.at(0).at(0).toString();
    QVERIFY2(reason.startsWith(path + QStringLiteral(": ")), qPrintable(reason));
    // Not the stale errno Qt reports with an end of file.
    QVERIFY2(!reason.contains(QString::fromLocal8Bit(strerror(ENOTTY))), qPrintable(reason));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.fault(), SerialFault::Lost);
    QCOMPARE(comm.errorString(), reason);

    // Once closed, the dead line costs nothing: a fault check, not a benchmark.
    const double before = processCpuSeconds();
    QTest::qWait(1000);
    const double used = processCpuSeconds() - before;
    QVERIFY2(used < 0.3, qPrintable(QStringLiteral("%1 s of CPU in 1 s after the line died").arg(used)));
    QCOMPARE(lost.count(), 1);
    comm.setOutput(QStringLiteral("x"));   // refused, no crash

    // Opening again later works, on a line that is alive.
    pty.reset();
    PtyPair fresh;
    QVERIFY2(fresh.isValid(), qPrintable(fresh.error()));
    comm.setDevicePath(fresh.slavePath());
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
    QCOMPARE(comm.fault(), SerialFault::None);
    QVERIFY(fresh.write("ok"));
    QTRY_COMPARE(log.inputs.size(), 2);
    QCOMPARE(log.inputs.join(QString()), QStringLiteral("ok"));
    QCOMPARE(lost.count(), 1);
}

void TestMSComm::openFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<kestran::SerialFault>("fault");
    QTest::newRow("missing path") << "missing" << SerialFault::NotFound;
    QTest::newRow("missing folder") << "missing-folder" << SerialFault::NotFound;
    QTest::newRow("regular file") << "file" << SerialFault::NotSerial;
    QTest::newRow("directory") << "directory" << SerialFault::NotSerial;
    QTest::newRow("/dev/null") << "null" << SerialFault::NotSerial;
}

void TestMSComm::openFailures()
{
    QFETCH(QString, kind);
    QFETCH(kestran::SerialFault, fault);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path;
    if (kind == QLatin1String("missing")) {
        path = dir.filePath(QStringLiteral("ttyUSB9"));
    } else if (kind == QLatin1String("missing-folder")) {
        path = dir.filePath(QStringLiteral("nowhere/ttyUSB9"));
    } else if (kind == QLatin1String("file")) {
        path = dir.filePath(QStringLiteral("plain"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a port");
    } else if (kind == QLatin1String("directory")) {
        path = dir.path();
    } else {
        path = QStringLiteral("/dev/null");
    }

    MSComm comm;
    comm.setDevicePath(path);
    QVERIFY(!comm.setPortOpen(true));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.fault(), fault);
    QVERIFY2(comm.errorString().startsWith(path + QStringLiteral(": ")), qPrintable(comm.errorString()));
    QVERIFY(comm.errorString().size() > path.size() + 4);
    QCOMPARE(comm.openedPath(), path);
}

void TestMSComm::secondOpenOfSamePortIsBusy()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    MSComm first, second;
    configureLikeTheWindow(first, pty.slavePath());
    configureLikeTheWindow(second, pty.slavePath());
    QVERIFY2(first.setPortOpen(true), qPrintable(first.errorString()));
    QVERIFY(!second.setPortOpen(true));
    QCOMPARE(second.fault(), SerialFault::Busy);
    QVERIFY2(second.errorString().startsWith(pty.slavePath()), qPrintable(second.errorString()));

    // Freed by the first, the port opens for the second.
    QVERIFY(first.setPortOpen(false));
    QVERIFY2(second.setPortOpen(true), qPrintable(second.errorString()));
    QCOMPARE(second.fault(), SerialFault::None);
}

void TestMSComm::lockFileOfLiveProcessIsBusy()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    const QString lockPath = QStringLiteral("/var/lock/LCK..")
            + pty.slavePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
        QSKIP("/var/lock is not writable here");
    QFile lock(lockPath);
    QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly));
    // The usual text form: the pid padded to ten columns. The parent (the test
    // runner) is alive for the whole test.
    lock.write(QByteArray::number(qint64(getppid())).rightJustified(10, ' ') + '\n');
    lock.close();

    MSComm comm;
    configureLikeTheWindow(comm, pty.slavePath());
    const bool opened = comm.setPortOpen(true);
    const QString reason = comm.errorString();
    comm.setPortOpen(false);
    const bool lockKept = QFile::exists(lockPath);
    QFile::remove(lockPath);
    QVERIFY(!opened);
    QVERIFY(lockKept);
    QCOMPARE(comm.fault(), SerialFault::Busy);
    QVERIFY2(reason.startsWith(pty.slavePath()), qPrintable(reason));
    QVERIFY2(reason.contains(QString::number(getppid())), qPrintable(reason));
}

void TestMSComm::commPortMapsThroughTable()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.error()));
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sys")));
    PortTable table(dir.filePath(QStringLiteral("sys")), dir.filePath(QStringLiteral("dev")),
                    dir.filePath(QStringLiteral("lock")));
    QCOMPARE(table.count(), 0);
    table.appendExtra({pty.slavePath(), QStringLiteral("simulated line")});

    MSComm comm;
    comm.setPortTable(&table);
    comm.setCommPort(1);
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
    QCOMPARE(comm.openedPath(), pty.slavePath());
    comm.setOutput(QStringLiteral("hi"));
    QVERIFY(pty.waitForReceived(2));
    QCOMPARE(pty.received(), QByteArray("hi"));
}

void TestMSComm::badPortNumber_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
    QTest::newRow("256") << 256;
    QTest::newRow("no such device") << 2;
}

void TestMSComm::badPortNumber()
{
    QFETCH(int, port);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sys")));
    PortTable table(dir.filePath(QStringLiteral("sys")), dir.filePath(QStringLiteral("dev")),
                    dir.filePath(QStringLiteral("lock")));
    table.appendExtra({QStringLiteral("/dev/null"), QString()});

    MSComm comm;
    comm.setPortTable(&table);
    comm.setCommPort(short(port));
    QVERIFY(!comm.setPortOpen(true));
    QCOMPARE(comm.fault(), SerialFault::BadPortNumber);
    QVERIFY(comm.errorString().contains(QStringLiteral("COM%1").arg(short(port))));
}

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
