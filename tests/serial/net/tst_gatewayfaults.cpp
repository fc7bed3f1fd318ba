// What a gateway's behaviour means, as tables: the first bytes of a
// connection, a connection that could not be made, and one that went away.
#include "gatewayfaults.h"

#include <QtTest>

using namespace kestran;
using gateway::Greeting;

Q_DECLARE_METATYPE(Greeting)
Q_DECLARE_METATYPE(SerialFault)

class TestGatewayFaults : public QObject {
    Q_OBJECT
private slots:
    void greeting_data()
    {
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<Greeting>("verdict");
        QTest::addColumn<SerialFault>("fault");
        const auto none = SerialFault::None;
        QTest::newRow("in use, whole") << QByteArray("Port already in use\r\n") << Greeting::Refusal << SerialFault::Busy;
        QTest::newRow("in use, no line end") << QByteArray("Port already in use") << Greeting::Refusal << SerialFault::Busy;
        QTest::newRow("its first byte") << QByteArray("P") << Greeting::MaybeRefusal << none;
        QTest::newRow("most of it") << QByteArray("Port already in us") << Greeting::MaybeRefusal << none;
        QTest::newRow("write refused") << QByteArray(kLinedWriteRefused) << Greeting::Refusal << SerialFault::NotAllowed;
        QTest::newRow("line down") << QByteArray(kLinedLineDown) << Greeting::Refusal << SerialFault::Unavailable;
        QTest::newRow("too many") << QByteArray(kLinedTooMany) << Greeting::Refusal << SerialFault::Unavailable;
        QTest::newRow("a line server's, in part") << QByteArray("kestran-lined: not") << Greeting::MaybeRefusal << none;
        QTest::newRow("a reply") << QByteArray("*3C:0=+0000001\r") << Greeting::Line << none;
        QTest::newRow("starts alike, then differs") << QByteArray("Port b") << Greeting::Line << none;
        QTest::newRow("lower case") << QByteArray("port already in use") << Greeting::Line << none;
        QTest::newRow("nothing yet") << QByteArray() << Greeting::Line << none;
    }
    void greeting()
    {
        QFETCH(QByteArray, held);
        QFETCH(Greeting, verdict);
        QFETCH(SerialFault, fault);
        QCOMPARE(gateway::screenGreeting(held), verdict);
        if (verdict == Greeting::Refusal) {
            const gateway::Verdict v = gateway::refusal(held);
            QCOMPARE(v.fault, fault);
            QVERIFY2(v.fault == SerialFault::NotAllowed ? v.why.startsWith(QStringLiteral("not allowed to write"))
                                                        : v.why.contains(QStringLiteral("nothing reached the line")),
                     qPrintable(v.why));
        }
    }

    void connectFailed_data()
    {
        QTest::addColumn<bool>("resolved");
        QTest::addColumn<QAbstractSocket::SocketError>("error");
        QTest::addColumn<SerialFault>("fault");
        using S = QAbstractSocket;
        QTest::newRow("refused") << true << S::ConnectionRefusedError << SerialFault::Refused;
        QTest::newRow("no such host") << true << S::HostNotFoundError << SerialFault::HostNotFound;
        QTest::newRow("timed out") << true << S::SocketTimeoutError << SerialFault::TimedOut;
        QTest::newRow("network down") << true << S::NetworkError << SerialFault::Other;
        // Before an address is known every failure is the name's lookup.
        QTest::newRow("resolver unreachable") << false << S::NetworkError << SerialFault::HostNotFound;
        QTest::newRow("unresolved, refused") << false << S::ConnectionRefusedError << SerialFault::HostNotFound;
    }
    void connectFailed()
    {
        QFETCH(bool, resolved);
        QFETCH(QAbstractSocket::SocketError, error);
        QFETCH(SerialFault, fault);
        const gateway::Verdict v = gateway::connectFailed(resolved, error, QStringLiteral("the socket's words"));
        QCOMPARE(v.fault, fault);
        QCOMPARE(v.why, QStringLiteral("the socket's words"));
    }

    void openTimedOut_data()
    {
        QTest::addColumn<bool>("handshaking");
        QTest::addColumn<bool>("resolved");
        QTest::addColumn<SerialFault>("fault");
        QTest::newRow("TLS spoken to a plain port") << true << true << SerialFault::TlsMismatch;
        QTest::newRow("no connection") << false << true << SerialFault::TimedOut;
        QTest::newRow("name still looked up") << false << false << SerialFault::HostNotFound;
    }
    void openTimedOut()
    {
        QFETCH(bool, handshaking);
        QFETCH(bool, resolved);
        QFETCH(SerialFault, fault);
        const gateway::Verdict v = gateway::openTimedOut(handshaking, resolved, 3);
        QCOMPARE(v.fault, fault);
        QVERIFY2(v.why.contains(QStringLiteral("3 seconds")), qPrintable(v.why));
    }

    // A close after our bytes and before any came back is no proof that
    // nothing reached the line: only the loss's kind says so, never Busy or
    // TlsMismatch, which would mean "nothing written".
    void lost_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("settling");
        QTest::addColumn<bool>("sent");
        QTest::addColumn<bool>("received");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<SerialFault>("fault");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("plain, closed at our first bytes") << false << false << true << false << true
                                                          << SerialFault::ClosedUnanswered << "open it as tls://gw:1";
        QTest::newRow("plain, reset at our first bytes") << false << false << true << false << false
                                                         << SerialFault::ClosedUnanswered << "before anything came back";
        QTest::newRow("plain, after replies") << false << false << true << true << true
                                              << SerialFault::Lost << "the gateway closed the connection";
        QTest::newRow("plain, before we sent") << false << false << false << false << true
                                               << SerialFault::Lost << "the gateway closed the connection";
        QTest::newRow("plain, reset after replies") << false << false << true << true << false
                                                    << SerialFault::Lost << "reset by peer";
        QTest::newRow("tls, at our first bytes") << true << false << true << false << true
                                                 << SerialFault::Lost << "the gateway closed the connection";
        QTest::newRow("tls, while settling") << true << true << false << false << true << SerialFault::CertRefused << "";
        QTest::newRow("plain, while settling") << false << true << false << false << true
                                               << SerialFault::Lost << "the gateway closed the connection";
    }
    void lost()
    {
        QFETCH(bool, tls);
        QFETCH(bool, settling);
        QFETCH(bool, sent);
        QFETCH(bool, received);
        QFETCH(bool, closed);
        QFETCH(SerialFault, fault);
        QFETCH(QString, mentions);
        gateway::Loss loss;
        loss.tls = tls;
        loss.settling = settling;
        loss.anySent = sent;
        loss.anyReceived = received;
        loss.remoteClosed = closed;
        loss.socketError = closed ? QString() : QStringLiteral("Connection reset by peer");
        loss.tlsPortText = QStringLiteral("tls://gw:1");
        const gateway::Verdict v = gateway::connectionLost(loss);
        QCOMPARE(v.fault, fault);
        QVERIFY2(v.why.contains(mentions), qPrintable(v.why));
    }
};

QTEST_GUILESS_MAIN(TestGatewayFaults)
#include "tst_gatewayfaults.moc"
