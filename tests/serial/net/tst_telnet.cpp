// The Telnet layer of rfc2217:// ports against scripted gateway bytes, and the
// network serial control against a scripted gateway on the loopback.
#include "netcomm.h"
#include "telnetcomport.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace kestran;
using T = TelnetComPort;

namespace {
QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (const int b : list)
        out.append(char(b));
    return out;
}

// What a gateway opens with (WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY,
// WILL BINARY, DO COM-PORT-OPTION), as ser2net sends it.
const QByteArray kGatewayOpening = bytes({255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0,
                                          255, 251, 0, 255, 253, 44});
} // namespace

class TestTelnet : public QObject {
    Q_OBJECT
private slots:
    void lineSettingsOnTheWire_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<bool>("dtr");
        QTest::addColumn<QByteArray>("wire");
        auto sb = [](int command, QByteArray value) { return bytes({255, 250, 44, command}) + value + bytes({255, 240}); };
        QTest::newRow("19200 8N1, DTR off") << "19200,N,8,1" << false
            << sb(1, bytes({0, 0, 0x4b, 0})) + sb(2, bytes({8})) + sb(3, bytes({1})) + sb(4, bytes({1})) + sb(5, bytes({9}));
        // 65535 baud has two 0xFF bytes, which are doubled inside the subnegotiation.
        QTest::newRow("65535 7E2, DTR on") << "65535,E,7,2" << true
            << sb(1, bytes({0, 0, 255, 255, 255, 255})) + sb(2, bytes({7})) + sb(3, bytes({3})) + sb(4, bytes({2}))
                   + sb(5, bytes({8}));
        QTest::newRow("300 5O1.5") << "300,O,5,1.5" << false
            << sb(1, bytes({0, 0, 1, 0x2c})) + sb(2, bytes({5})) + sb(3, bytes({2})) + sb(4, bytes({3})) + sb(5, bytes({9}));
    }
    // The whole opening: the option requests, then the line settings and DTR,
    // as the serial control sends them on connecting (a gateway that never
    // answers anything gets them all the same).
    void lineSettingsOnTheWire()
    {
        QFETCH(QString, settings);
        QFETCH(bool, dtr);
        QFETCH(QByteArray, wire);
        QTcpServer gateway;
        QVERIFY(gateway.listen(QHostAddress::LocalHost));
        NetComm comm;
        comm.setDevicePath(QStringLiteral("rfc2217://127.0.0.1:%1").arg(gateway.serverPort()));
        QVERIFY(comm.setSettings(settings));
        comm.setDTREnable(dtr);
        QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
        QVERIFY(QTest::qWaitFor([&] { return gateway.hasPendingConnections(); }, 2000));
        QTcpSocket *peer = gateway.nextPendingConnection();
        const QByteArray requests = bytes({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 251, 44});
        // After the settings the gateway is asked to purge both of its buffers (PURGE-DATA 3).
        const QByteArray purge = bytes({255, 250, 44, 12, 3, 255, 240});
        QByteArray got;
        (void)QTest::qWaitFor([&] { got += peer->readAll(); return got.size() >= requests.size() + wire.size() + purge.size(); }, 2000);
        QCOMPARE(got, requests + wire + purge);
        // Nothing confirmed, SET-CONTROL least of all: line bytes leave at once all the same.
        got.clear();
        comm.setOutput(QStringLiteral("*0R:?=?\r"));
        (void)QTest::qWaitFor([&] { got += peer->readAll(); return got.size() >= 8; }, 2000);
        QCOMPARE(got, QByteArray("*0R:?=?\r"));
    }

    // A gateway's bytes split at every position, and byte by byte: only the
    // line's bytes come out, the refusal of ECHO is the only answer, and the
    // gateway's confirmations are read, 0xFF inside them included.
    void splitAnywhere()
    {
        const QByteArray stream = kGatewayOpening + "*0C:0=" + bytes({255, 255}) + "1"
            + bytes({255, 250, 44, 101, 0, 0, 255, 255, 255, 255, 255, 240})   // SET-BAUDRATE answer 65535
            + bytes({255, 241}) + "\r\n"                                         // NOP
            + bytes({255, 250, 24, 1, 255, 240})                                 // another option's subnegotiation
            + bytes({255, 250, 44, 106, 0x60, 255, 240}) + bytes({255, 0x2c})   // NOTIFY-LINESTATE, bare command
            + "\r" + QByteArray(1, '\0') + "x";
        const QByteArray line = QByteArray("*0C:0=") + char(255) + "1\r\n\r" + QByteArray(1, '\0') + "x";
        const QByteArray answer = bytes({255, 254, 1});
        for (int cut = 0; cut <= stream.size(); ++cut) {
            T t;
            t.opening({});
            QByteArray out, answered;
            if (cut < stream.size()) {
                out = t.decode(stream.left(cut), &answered);
                out += t.decode(stream.mid(cut), &answered);
            } else {
                for (const char b : stream)
                    out += t.decode(QByteArray(1, b), &answered);
            }
            QVERIFY2(out == line, qPrintable(QStringLiteral("cut at %1: %2").arg(cut).arg(QString::fromLatin1(out.toHex(' ')))));
            QVERIFY2(answered == answer, qPrintable(QStringLiteral("cut at %1").arg(cut)));
            QCOMPARE(t.confirmed(T::SetBaudRate), bytes({0, 0, 255, 255}));
            QVERIFY(t.comPortAgreed());
        }
    }

    void optionsAnswered_data()
    {
        QTest::addColumn<bool>("opened");   // opening() was sent first
        QTest::addColumn<QByteArray>("peer");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("unknown DO refused") << true << bytes({255, 253, 24}) << bytes({255, 252, 24});
        QTest::newRow("unknown WILL refused") << true << bytes({255, 251, 31}) << bytes({255, 254, 31});
        QTest::newRow("refused again when asked again") << true << bytes({255, 253, 1, 255, 253, 1})
                                                        << bytes({255, 252, 1, 255, 252, 1});
        QTest::newRow("peer offering COM-PORT refused") << true << bytes({255, 251, 44}) << bytes({255, 254, 44});
        QTest::newRow("agreement to our requests unanswered") << true << bytes({255, 253, 0, 255, 251, 0, 255, 253, 44})
                                                              << QByteArray();
        QTest::newRow("repeated agreement unanswered") << true << bytes({255, 253, 3, 255, 253, 3}) << QByteArray();
        QTest::newRow("BINARY asked first by the peer") << false << bytes({255, 253, 0, 255, 251, 0})
                                                        << bytes({255, 251, 0, 255, 253, 0});
        QTest::newRow("BINARY withdrawn after agreement") << true << bytes({255, 253, 0, 255, 254, 0})
                                                          << bytes({255, 252, 0});
        QTest::newRow("WONT of an option never on") << true << bytes({255, 252, 1, 255, 254, 1}) << QByteArray();
    }
    void optionsAnswered()
    {
        QFETCH(bool, opened);
        QFETCH(QByteArray, peer);
        QFETCH(QByteArray, answer);
        T t;
        if (opened)
            t.opening({});
        QByteArray answered;
        QCOMPARE(t.decode(peer, &answered), QByteArray());
        QCOMPARE(answered, answer);
    }

    // 0xFF both ways, and CR in text mode (BINARY refused) carrying its NUL.
    void lineBytes_data()
    {
        QTest::addColumn<QByteArray>("peer");       // the peer's answer to the option requests
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("wire");
        const QByteArray binary = bytes({255, 253, 0, 255, 251, 0});
        const QByteArray text = bytes({255, 254, 0, 255, 252, 0});
        QTest::newRow("0xFF, binary") << binary << bytes({255, 42, 255, 255}) << bytes({255, 255, 42, 255, 255, 255, 255});
        QTest::newRow("CR, binary") << binary << QByteArray("\r\0", 2) << QByteArray("\r\0", 2);
        QTest::newRow("CR, text mode") << text << QByteArray("*0R\r") << QByteArray("*0R\r\0", 5);
    }
    void lineBytes()
    {
        QFETCH(QByteArray, peer);
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, wire);
        T t;
        t.opening({});
        QByteArray answered;
        t.decode(peer, &answered);
        QCOMPARE(t.encode(line), wire);
        QCOMPARE(t.decode(wire, &answered), line);
    }

    // Through a scripted gateway: one receive event per line byte, Telnet
    // removed, 0xFF unchanged in raw mode, and the gateway closing is one loss.
    void receiveThroughGateway_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("rfc2217") << "rfc2217" << kGatewayOpening + "*0C" + bytes({255, 255, 255, 250, 44, 105, 9, 255, 240})
                                 << QByteArray("*0C\xff");
        QTest::newRow("tcp") << "tcp" << QByteArray("*0C\xff\xff") << QByteArray("*0C\xff\xff");
    }
    void receiveThroughGateway()
    {
        QFETCH(QString, scheme);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, line);
        QTcpServer gateway;
        QVERIFY(gateway.listen(QHostAddress::LocalHost));
        NetComm comm;
        comm.setDevicePath(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(gateway.serverPort()));
        comm.setInputLen(1);
        comm.setRThreshold(1);
        QByteArray received;
        connect(&comm, &SerialControl::OnComm, this, [&] {
            if (comm.CommEvent() == short(CommEventCode::Receive))
                received += comm.Input().toLatin1();
        });
        QSignalSpy lost(&comm, &SerialControl::connectionLost);
        QVERIFY(comm.setPortOpen(true));
        QVERIFY(QTest::qWaitFor([&] { return gateway.hasPendingConnections(); }, 2000));
        QTcpSocket *peer = gateway.nextPendingConnection();
        for (const char b : sent) {   // a byte at a time, so every sequence is split
            peer->write(&b, 1);
            peer->flush();
            QTest::qWait(1);
        }
        QTRY_COMPARE(received, line);
        peer->close();
        QTRY_COMPARE(lost.count(), 1);
        QVERIFY(!comm.PortOpen());
        QCOMPARE(comm.fault(), SerialFault::Lost);
        QTest::qWait(100);
        QCOMPARE(lost.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestTelnet)
#include "tst_telnet.moc"
