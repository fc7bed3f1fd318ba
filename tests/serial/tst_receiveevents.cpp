// The receive side both serial controls share: how many OnComm events a
// burst raises under each threshold, per byte and per arrival, and that
// emptying the queue drops the events posted before it.
#include "mscomm.h"
#include "receiveevents.h"

#include <QCoreApplication>
#include <QTest>

using namespace kestran;

class TestReceiveEvents : public QObject {
    Q_OBJECT
private slots:
    void eventsPerThreshold_data();
    void eventsPerThreshold();
    void eventsPerArrival_data();
    void eventsPerArrival();
    void emptiedQueueDropsPostedEvents();
};

void TestReceiveEvents::eventsPerThreshold_data()
{
    QTest::addColumn<int>("rThreshold");
    QTest::addColumn<int>("inputLen");
    QTest::addColumn<QByteArray>("burst");
    QTest::addColumn<QString>("taken");   // what each event's Input took, joined by "|"

    QTest::newRow("one per byte, read one at a time") << 1 << 1 << QByteArray("*0C") << QStringLiteral("*|0|C");
    QTest::newRow("the first event takes all") << 1 << 0 << QByteArray("ab") << QStringLiteral("ab");
    QTest::newRow("threshold 0: no event") << 0 << 1 << QByteArray("ab") << QString();
    QTest::newRow("fewer waiting than the threshold") << 3 << 1 << QByteArray("ab") << QString();
    QTest::newRow("threshold reached, then not") << 2 << 1 << QByteArray("abc") << QStringLiteral("a|b");
}

void TestReceiveEvents::eventsPerThreshold()
{
    QFETCH(int, rThreshold);
    QFETCH(int, inputLen);
    QFETCH(QByteArray, burst);
    QFETCH(QString, taken);

    MSComm control;   // closed: only carries the events
    ReceiveEvents rx(&control);
    rx.setRThreshold(short(rThreshold));
    rx.setInputLen(short(inputLen));
    QStringList got;
    connect(&control, &SerialControl::OnComm, this, [&] {
        QCOMPARE(rx.commEvent(), short(CommEventCode::Receive));
        got << rx.take();
    });
    rx.received(burst);
    QVERIFY(got.isEmpty());   // events run later, on the event loop
    QCoreApplication::processEvents();
    QCOMPARE(got.join(QLatin1Char('|')), taken);
}

void TestReceiveEvents::eventsPerArrival_data()
{
    QTest::addColumn<int>("rThreshold");
    QTest::addColumn<int>("inputLen");
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<QString>("taken");   // what each event's Input took, joined by "|"

    QTest::newRow("one event per arrival, whatever its size")
        << 1 << 0 << QList<QByteArray>{"*0C", ":1=+0000001\r", "*"} << QStringLiteral("*0C|:1=+0000001\r|*");
    QTest::newRow("below the threshold, then reached") << 3 << 0 << QList<QByteArray>{"ab", "c"} << QStringLiteral("abc");
    QTest::newRow("InputLen still limits a take") << 1 << 2 << QList<QByteArray>{"abcde", "f"} << QStringLiteral("ab|cd");
    QTest::newRow("threshold 0: no event") << 0 << 0 << QList<QByteArray>{"ab"} << QString();
}

// Per arrival the event is raised at once, inside the arrival; nothing is left posted.
void TestReceiveEvents::eventsPerArrival()
{
    QFETCH(int, rThreshold);
    QFETCH(int, inputLen);
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(QString, taken);

    MSComm control;
    ReceiveEvents rx(&control);
    rx.setMode(ReceiveEventMode::PerArrival);
    rx.setRThreshold(short(rThreshold));
    rx.setInputLen(short(inputLen));
    QStringList got;
    connect(&control, &SerialControl::OnComm, this, [&] { got << rx.take(); });
    for (const QByteArray &a : std::as_const(arrivals))
        rx.received(a);
    const QString atOnce = got.join(QLatin1Char('|'));
    QCoreApplication::processEvents();
    QCOMPARE(got.join(QLatin1Char('|')), atOnce);
    QCOMPARE(atOnce, taken);
}

void TestReceiveEvents::emptiedQueueDropsPostedEvents()
{
    MSComm control;
    ReceiveEvents rx(&control);
    rx.setRThreshold(1);
    rx.setSThreshold(1);
    int events = 0;
    connect(&control, &SerialControl::OnComm, this, [&] { ++events; });
    rx.received("stale");
    rx.sent();
    rx.clear();
    rx.received("x");
    QCoreApplication::processEvents();
    QCOMPARE(events, 1);
    QCOMPARE(rx.take(), QStringLiteral("x"));
}

QTEST_GUILESS_MAIN(TestReceiveEvents)
#include "tst_receiveevents.moc"
