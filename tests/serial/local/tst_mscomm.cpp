// The serial control over real pseudo-terminals: the test plays the counter on
// the master side.
#include "mscomm.h"
#include "mdlcomport.h"
#include "ptypair.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>

using namespace kestran;
using kestran::test::PtyPair;

Q_DECLARE_METATYPE(kestran::SerialFault)

namespace {

// A control set up the way the window opens it, in its order, on a
// pseudo-terminal, with a handler that records one Input() per receive event.
struct Line {
    PtyPair pty;
    MSComm comm;
    QStringList inputs;
    int sendEvents = 0;
    int nested = 0;
    bool inHandler = false;
    bool readInput = true;

    Line()
    {
        comm.setDevicePath(pty.slavePath());
        QVERIFY(comm.setSettings(QStringLiteral("19200,N,8,1")));
        comm.setInBufferCount(0);
        comm.setInputMode(0);
        comm.setInputLen(1);
        comm.setRThreshold(1);
        comm.setSThreshold(1);
        comm.setDTREnable(false);
        QObject::connect(&comm, &SerialControl::OnComm, &comm, [this] {
            nested += inHandler;
            inHandler = true;
            if (comm.CommEvent() == short(CommEventCode::Receive))
                inputs.append(readInput ? comm.Input() : QString());
            else if (comm.CommEvent() == short(CommEventCode::Send))
                ++sendEvents;
            inHandler = false;
        });
    }
    // Opens the port; "" on success, else why not.
    QString open()
    {
        if (!pty.isValid())
            return pty.error();
        return comm.setPortOpen(true) ? QString() : comm.errorString();
    }
};

#define OPEN_LINE(line) do { const QString why = (line).open(); QVERIFY2(why.isEmpty(), qPrintable(why)); } while (false)

} // namespace

class TestMSComm : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
private slots:
    void designDefaults();
    void lineSettingsReachTheLine_data();
    void lineSettingsReachTheLine();
    void malformedSettingsRejected_data();
    void malformedSettingsRejected();
    void burstGivesOneEventPerByteInOrder();
    void unreadBytesStayQueued();
    void outputInOrderWithSendEvents();
    void farEndVanishing();
    void openFailures_data();
    void openFailures();
    void secondOpenOfSamePortIsBusy();
    void commPortMapsThroughTableAndLocks();
};

void TestMSComm::designDefaults()
{
    MSComm comm;
    QCOMPARE(comm.Settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(comm.InBufferSize(), 1024);
    QCOMPARE(comm.OutBufferSize(), 512);
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
    Line line;
    QVERIFY(line.comm.setSettings(settings));
    OPEN_LINE(line);
    QCOMPARE(line.comm.fault(), SerialFault::None);

    termios tio{};
    QVERIFY(line.pty.slaveAttributes(&tio));
    QCOMPARE(int(cfgetospeed(&tio)), speed);
    QCOMPARE(int(cfgetispeed(&tio)), speed);
    QCOMPARE(int(tio.c_cflag & CSIZE), int(CS8));
    QCOMPARE(bool(tio.c_cflag & CSTOPB), twoStop);
    QCOMPARE(tio.c_cflag & (PARENB | CREAD | CRTSCTS), tcflag_t(CREAD));
    QVERIFY(!(tio.c_lflag & ICANON));

    // Changed while open, the settings apply at once.
    QVERIFY(line.comm.setSettings(QStringLiteral("1200,N,8,1")));
    QVERIFY(line.pty.slaveAttributes(&tio));
    QCOMPARE(int(cfgetospeed(&tio)), int(B1200));
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
    Line line;
    OPEN_LINE(line);
    QCOMPARE(line.inputs.size(), 0);   // nothing is raised synchronously by opening

    // Every byte value, in one burst.
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QVERIFY(line.pty.write(all));
    QTRY_COMPARE(line.inputs.size(), 256);
    for (int i = 0; i < 256; ++i)
        QCOMPARE(line.inputs.at(i), QString(QChar(i)));
    QCOMPARE(line.nested, 0);
    QCOMPARE(line.comm.InBufferCount(), short(0));
    QCOMPARE(line.comm.Input(), QString());

    // A second burst after the first keeps the count exact: no stray events.
    QVERIFY(line.pty.write("ABC"));
    QTRY_COMPARE(line.inputs.size(), 259);
    QTest::qWait(50);
    QCOMPARE(line.inputs.size(), 259);
    QCOMPARE(line.inputs.mid(256).join(QString()), QStringLiteral("ABC"));
}

void TestMSComm::unreadBytesStayQueued()
{
    Line line;
    line.readInput = false;
    OPEN_LINE(line);

    QVERIFY(line.pty.write("12345"));
    QTRY_COMPARE(line.inputs.size(), 5);
    QCOMPARE(line.comm.InBufferCount(), short(5));
    QCOMPARE(line.comm.Input(), QStringLiteral("1"));     // InputLen 1
    line.comm.setInputLen(0);
    QCOMPARE(line.comm.Input(), QStringLiteral("2345"));  // InputLen 0: all that waits
    QCOMPARE(line.comm.Input(), QString());

    QVERIFY(line.pty.write("678"));
    QTRY_COMPARE(line.comm.InBufferCount(), short(3));
    line.comm.setInBufferCount(0);
    QCOMPARE(line.comm.InBufferCount(), short(0));
    QCOMPARE(line.comm.Input(), QString());
}

void TestMSComm::outputInOrderWithSendEvents()
{
    Line line;
    line.comm.setOutput(QStringLiteral("lost"));   // not open yet: dropped
    line.comm.setSThreshold(0);
    OPEN_LINE(line);

    // The way the write sequence sends: single characters and eight-character
    // values back to back, with no turn of the event loop in between.
    QByteArray expected;
    for (int i = 0; i < 50; ++i) {
        const QString frame = QStringLiteral("*0W%1+%2\r").arg(i % 8).arg(i, 7, 10, QLatin1Char('0'));
        for (const QChar c : frame)
            line.comm.setOutput(QString(c));
        expected.append(frame.toLatin1());
    }
    // Handed to the line at once: the bytes are there before the event loop runs.
    QVERIFY(!line.pty.received().isEmpty());
    QVERIFY(line.pty.waitForReceived(int(expected.size())));
    QTest::qWait(50);
    QCOMPARE(line.sendEvents, 0);   // SThreshold 0: no send event

    // Every character 0..255 leaves as the same byte.
    QString text;
    for (int i = 0; i < 256; ++i) {
        text.append(QChar(i));
        expected.append(char(i));
    }
    line.comm.setSThreshold(1);
    line.comm.setOutput(text);
    QCOMPARE(line.sendEvents, 0);   // raised from the event loop, not inside Output
    QTRY_VERIFY(line.sendEvents >= 1);
    QVERIFY(line.pty.waitForReceived(int(expected.size())));
    QCOMPARE(line.pty.received(), expected);
    QCOMPARE(line.inputs.size(), 0);

    QVERIFY(line.comm.setPortOpen(false));
    line.comm.setOutput(QStringLiteral("gone"));
    QTest::qWait(50);
    QCOMPARE(line.pty.received(), expected);
}

void TestMSComm::farEndVanishing()
{
    Line line;
    const QString path = line.pty.slavePath();
    QSignalSpy lost(&line.comm, &SerialControl::connectionLost);
    OPEN_LINE(line);

    line.pty.closeMaster();
    QVERIFY(lost.wait(5000));
    QCOMPARE(lost.count(), 1);
    const QString reason = lost.at(0).at(0).toString();
    QVERIFY2(reason.startsWith(path + QStringLiteral(": ")), qPrintable(reason));
    // Not the stale errno Qt reports with an end of file.
    QVERIFY2(!reason.contains(QString::fromLocal8Bit(strerror(ENOTTY))), qPrintable(reason));
    QVERIFY(!line.comm.PortOpen());
    QCOMPARE(line.comm.fault(), SerialFault::Lost);
    QCOMPARE(line.comm.errorString(), reason);

    // Once closed, the dead line costs nothing: a fault check, not a benchmark.
    const std::clock_t before = std::clock();   // processor time of this process
    QTest::qWait(1000);
    const double used = double(std::clock() - before) / CLOCKS_PER_SEC;
    QVERIFY2(used < 0.3, qPrintable(QStringLiteral("%1 s of CPU in 1 s after the line died").arg(used)));
    QCOMPARE(lost.count(), 1);
    line.comm.setOutput(QStringLiteral("x"));   // refused, no crash

    // Opening again later works, on a line that is alive.
    PtyPair fresh;
    QVERIFY2(fresh.isValid(), qPrintable(fresh.error()));
    line.comm.setDevicePath(fresh.slavePath());
    QVERIFY2(line.comm.setPortOpen(true), qPrintable(line.comm.errorString()));
    QCOMPARE(line.comm.fault(), SerialFault::None);
    QVERIFY(fresh.write("ok"));
    QTRY_COMPARE(line.inputs.join(QString()), QStringLiteral("ok"));
    QCOMPARE(lost.count(), 1);
}

void TestMSComm::openFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<kestran::SerialFault>("fault");
    QFile plain(m_dir.filePath(QStringLiteral("plain")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write("not a port");
    QTest::newRow("missing path") << m_dir.filePath(QStringLiteral("ttyUSB9")) << SerialFault::NotFound;
    QTest::newRow("missing folder") << m_dir.filePath(QStringLiteral("nowhere/ttyUSB9")) << SerialFault::NotFound;
    QTest::newRow("regular file") << plain.fileName() << SerialFault::NotSerial;
    QTest::newRow("directory") << m_dir.path() << SerialFault::NotSerial;
    QTest::newRow("/dev/null") << QStringLiteral("/dev/null") << SerialFault::NotSerial;
}

void TestMSComm::openFailures()
{
    QFETCH(QString, path);
    QFETCH(kestran::SerialFault, fault);
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
    Line line;
    OPEN_LINE(line);
    Line other;
    MSComm &second = other.comm;
    second.setDevicePath(line.pty.slavePath());
    QVERIFY(!second.setPortOpen(true));
    QCOMPARE(second.fault(), SerialFault::Busy);
    QVERIFY2(second.errorString().startsWith(line.pty.slavePath()), qPrintable(second.errorString()));

    // Freed by the first, the port opens for the second.
    QVERIFY(line.comm.setPortOpen(false));
    QVERIFY2(second.setPortOpen(true), qPrintable(second.errorString()));
    QCOMPARE(second.fault(), SerialFault::None);
}

void TestMSComm::commPortMapsThroughTableAndLocks()
{
    Line line;
    QTemporaryDir dir;
    PortTable table(dir.filePath(QStringLiteral("sys")), dir.filePath(QStringLiteral("dev")), dir.path());
    table.appendExtra({line.pty.slavePath(), QStringLiteral("simulated line")});
    line.comm.setPortTable(&table);
    line.comm.setDevicePath(QString());

    for (const short port : {0, -1, 256, 2}) {   // out of range, or no device mapped
        line.comm.setCommPort(port);
        QVERIFY(!line.comm.setPortOpen(true));
        QCOMPARE(line.comm.fault(), SerialFault::BadPortNumber);
        QVERIFY2(line.comm.errorString().contains(QStringLiteral("COM%1").arg(port)), qPrintable(line.comm.errorString()));
    }

    // Held by a live process (the test runner) through a lock file in the usual
    // text form: the pid padded to ten columns.
    line.comm.setCommPort(1);
    QFile lock(dir.filePath(QStringLiteral("LCK..") + line.pty.slavePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'))));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(qint64(getppid())).rightJustified(10, ' ') + '\n');
    lock.close();
    QVERIFY(!line.comm.setPortOpen(true));
    QCOMPARE(line.comm.fault(), SerialFault::Busy);
    QVERIFY2(line.comm.errorString().startsWith(line.pty.slavePath()), qPrintable(line.comm.errorString()));
    QVERIFY2(line.comm.errorString().contains(QString::number(getppid())), qPrintable(line.comm.errorString()));
    QVERIFY(lock.remove());   // still there: someone else's lock is left alone

    OPEN_LINE(line);
    QCOMPARE(line.comm.openedPath(), line.pty.slavePath());
    line.comm.setOutput(QStringLiteral("hi"));
    QVERIFY(line.pty.waitForReceived(2));
    QCOMPARE(line.pty.received(), QByteArray("hi"));
}

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
