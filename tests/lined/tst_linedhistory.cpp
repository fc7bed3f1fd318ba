// The line server records every client's writes: who (the client's name),
// from where, the value before as the device last answered through it, the
// outcome from the device's next replies; and a history that must record
// and cannot turns the write away with nothing sent.
#include "history.h"
#include "recorded.h"
#include "linedfixture.h"

#include <QtTest>

using namespace kestran;
using namespace kestran::test;

class TestLinedHistory : public QObject, LinedFixture {
    Q_OBJECT

    static QVector<history::Entry> entries(const QString &db) { return test::recordedIn(db); }

private slots:
    void clientsWritesOnRecord()
    {
        LineConfig config;
        config.name = QStringLiteral("press-7");
        config.history = QStringLiteral("sqlite:") + m_dir.filePath("lined.sqlite");
        QVERIFY(serve({}, config));
        RawClient c;
        QVERIFY(c.connectTo(port()));
        c.send(readAll(2));
        QVERIFY(c.waitFor(8 * 15));
        c.got.clear();
        c.send(write(2, '3', "+0000077") + readAll(2));
        QVERIFY(c.waitFor(8 * 15, 5000));
        c.send(write(2, '7', "+0000005"));   // sent, and the client goes before a read
        QVERIFY(waitUntil([&] { return m_sim->received().contains("*2W:7=+0000005"); }, 3000));
        m_server.reset();
        const QVector<history::Entry> e = entries(m_dir.filePath("lined.sqlite"));
        QCOMPARE(e.size(), 2);
        QCOMPARE(e[1].parameter, QStringLiteral("RESET"));
        QCOMPARE(e[1].before, QStringLiteral("+0000020"));
        QCOMPARE(e[1].sent, QStringLiteral("+0000077"));
        QCOMPARE(e[1].outcome, history::Outcome::Verified);
        QCOMPARE(e[1].origin.who, QStringLiteral("127.0.0.1"));
        QCOMPARE(e[1].origin.line, QStringLiteral("press-7"));
        QVERIFY(e[1].origin.program.startsWith(QLatin1String("kestran-lined ")));
        QCOMPARE(e[0].outcome, history::Outcome::NotVerified);
        QCOMPARE(e[0].group, e[1].group);   // one client connection
    }

    void requiredAndImpossible()
    {
        LineConfig config;
        config.name = QStringLiteral("press-8");
        config.history = QStringLiteral("sqlite:/proc/no-such/lined.sqlite");
        config.historyRequire = true;
        QVERIFY(serve({}, config));
        RawClient c;
        QVERIFY(c.connectTo(port()));
        c.send(write(1, '0', "+0000001"));
        QVERIFY(c.waitClosed());
        QVERIFY(!m_sim->received().contains("W:"));
    }
};

QTEST_GUILESS_MAIN(TestLinedHistory)
#include "tst_linedhistory.moc"
