// The Windows serial control on a COM port whose far end is the counter
// simulator (KESTRAN_TEST_COM, "COM3"), a port another handle holds
// (KESTRAN_TEST_HELD_COM; on Windows the line's port will do); the faults need
// no line at all. Under Wine (KESTRAN_UNDER_WINE) a port not given fails.
#include "frames.h"
#include "mscomm.h"

#include <QSignalSpy>
#include <QTest>

#include <windows.h>

#include <string>

using namespace kestran;

// Without the port it needs, a test skips, except under Wine: the Wine stage
// (scripts/test-windows) gives every port, and there a missing one is a fault.
#define NEED_PORT(port, variable)                                                   \
    do {                                                                            \
        if ((port) == 0) {                                                          \
            if (qEnvironmentVariableIsSet("KESTRAN_UNDER_WINE"))                    \
                QFAIL(variable " names no port under Wine (scripts/test-windows)"); \
            QSKIP(variable " names no port");                                       \
        }                                                                           \
    } while (false)

class TestWinPort : public QObject {
    Q_OBJECT

    static short portOf(const char *variable)
    {
        const QByteArray name = qgetenv(variable);
        return name.startsWith("COM") ? short(name.mid(3).toInt()) : short(0);
    }
    static short testPort() { return portOf("KESTRAN_TEST_COM"); }

private slots:
    // A read-all on the line: one receive event per byte, the eight replies
    // whole and in order, nothing left over.
    void readAllThroughTheLine()
    {
        NEED_PORT(testPort(), "KESTRAN_TEST_COM");
        MSComm comm;
        comm.setCommPort(testPort());
        QVERIFY(comm.setSettings(QStringLiteral("19200,N,8,1")));
        comm.setRThreshold(1);
        comm.setInputLen(1);
        QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
        QString received;
        int events = 0;
        connect(&comm, &SerialControl::OnComm, this, [&] {
            if (comm.CommEvent() != short(CommEventCode::Receive))
                return;
            ++events;
            received += comm.Input();
        });
        comm.setOutput(QString::fromLatin1(readAllFrame(QLatin1Char('3'))));
        QTRY_COMPARE_WITH_TIMEOUT(received.count(QLatin1Char('\r')), 8, 5000);
        QCOMPARE(events, received.size());
        QVERIFY(received.startsWith(QLatin1String("*3C:0=+0004000\r*3C:1=")));
        QVERIFY(received.endsWith(QLatin1String("\r")));

        QVERIFY(comm.setPortOpen(false));
        QVERIFY(!comm.PortOpen());
    }

    // Windows opens a COM port for one handle at a time: while another program
    // holds it, the control reports the port in use and stays closed; once
    // the holder lets go, the port is no longer reported in use. Wine shares
    // a COM port that is a terminal between handles, so the Wine stage gives
    // here a COM port that is a plain file, which it does open for one handle
    // only: the same refusal (a sharing violation) reaches the control.
    void heldPortIsBusy()
    {
        short port = portOf("KESTRAN_TEST_HELD_COM");
        if (port == 0 && !qEnvironmentVariableIsSet("KESTRAN_UNDER_WINE"))
            port = testPort();
        NEED_PORT(port, "KESTRAN_TEST_HELD_COM");
        const std::wstring name = L"\\\\.\\COM" + std::to_wstring(port);
        HANDLE holder = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        QVERIFY2(holder != INVALID_HANDLE_VALUE, qPrintable(QStringLiteral("COM%1: %2").arg(port).arg(GetLastError())));
        MSComm comm;
        comm.setCommPort(port);
        const bool opened = comm.setPortOpen(true);
        const SerialFault whileHeld = comm.fault();
        const QString text = comm.errorString();
        CloseHandle(holder);
        QVERIFY(!opened);
        QVERIFY(!comm.PortOpen());
        QCOMPARE(whileHeld, SerialFault::Busy);
        QVERIFY2(text.contains(QStringLiteral("COM%1").arg(port)), qPrintable(text));

        comm.setPortOpen(true);
        QVERIFY2(comm.fault() != SerialFault::Busy, qPrintable(comm.errorString()));
        comm.setPortOpen(false);
    }

    // Opened and closed again and again, the port hears every reply of each
    // read-all, one event per byte: the pending read is armed anew on each
    // open and nothing of an earlier open reaches the next.
    void hearsEveryOpenOfMany()
    {
        NEED_PORT(testPort(), "KESTRAN_TEST_COM");
        MSComm comm;
        comm.setCommPort(testPort());
        QVERIFY(comm.setSettings(QStringLiteral("19200,N,8,1")));
        comm.setRThreshold(1);
        comm.setInputLen(1);
        QString received;
        int events = 0;
        connect(&comm, &SerialControl::OnComm, this, [&] {
            if (comm.CommEvent() != short(CommEventCode::Receive))
                return;
            ++events;
            received += comm.Input();
        });
        for (int round = 0; round < 30; ++round) {
            QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
            received.clear();
            events = 0;
            const QChar device = QLatin1Char(char('0' + round % 7));
            comm.setOutput(QString::fromLatin1(readAllFrame(device)));
            QTRY_COMPARE_WITH_TIMEOUT(received.count(QLatin1Char('\r')), 8, 5000);
            QCOMPARE(events, received.size());
            QVERIFY2(received.startsWith(QStringLiteral("*%1C:0=").arg(device)), qPrintable(received));
            QVERIFY(comm.setPortOpen(false));
        }
    }

    // Ports that are not there, in the words the window shows.
    void faults_data()
    {
        QTest::addColumn<short>("port");
        QTest::addColumn<int>("fault");
        QTest::newRow("COM200 (nothing mapped)") << short(200) << int(SerialFault::NotFound);
        QTest::newRow("COM0") << short(0) << int(SerialFault::BadPortNumber);
        QTest::newRow("COM256") << short(256) << int(SerialFault::BadPortNumber);
    }
    void faults()
    {
        QFETCH(short, port);
        QFETCH(int, fault);
        MSComm comm;
        comm.setCommPort(port);
        QVERIFY(!comm.setPortOpen(true));
        QCOMPARE(int(comm.fault()), fault);
        QVERIFY(!comm.errorString().isEmpty());
        QVERIFY(!comm.PortOpen());
    }
};

QTEST_GUILESS_MAIN(TestWinPort)
#include "tst_winport.moc"
