// kestran-ctl's writes end to end: paced and verified, through a gateway, a
// mismatch, a line lost or a stop midway, a busy gateway, and the JSON
// document on every outcome.
#include "ctlfixture.h"

class TestCtlWrite : public CtlFixture {
    Q_OBJECT

private slots:
    void cleanup() { resetLine(); }

    // write: sent in the Setup order, read back, reported per value.
    void writeVerified()
    {
        QVERIFY(startLine());
        const QString trace = file("write-trace.txt");
        const Run r = ctl({"write", "--port", port(), "-d", "3", "alarm=7", "TARGET=-1234", "DEBOUNCE2=+0000099",
                           "--trace", trace});
        QCOMPARE(r.code, 0);
        QCOMPARE(line->received(),
                 writeFrame(QLatin1Char('3'), QLatin1Char('0'), "-0001234")
                     + writeFrame(QLatin1Char('3'), QLatin1Char('6'), "+0000099")
                     + writeFrame(QLatin1Char('3'), QLatin1Char('7'), "+0000007") + readAllFrame(QLatin1Char('3')));
        QVERIFY(r.out.contains("ALARM") && r.out.count(" ok\n") == 3);
        QVERIFY2(r.err.contains("3 of 3 sent"), r.err.constData());
        QFile f(trace);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray t = f.readAll();
        QCOMPARE(t.count("  TX  "), 4);
        QVERIFY(t.contains("|*3W:0=-0001234.|") && t.contains("  RX  2a 33 43 3a 30"));
        QVERIFY2(QRegularExpression(QStringLiteral("\\n\\d{4}-\\d\\d-\\d\\dT[\\d:.]{12}[+-]\\d\\d:\\d\\d  \\+\\d+\\.\\d{6}  TX  "))
                     .match(QString::fromLatin1(t)).hasMatch(),
                 t.constData());
    }

    // Through a network gateway (ser2net on the loopback, raw and RFC 2217):
    // the same frames reach the line, and the answer reads as from a local port.
    void throughGateway_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("tcp") << false;
        QTest::newRow("rfc2217") << true;
    }
    void throughGateway()
    {
        QFETCH(bool, rfc2217);
        if (test::Ser2netProcess::program().isEmpty())
            QFAIL("ser2net is not installed: the test command installs it (scripts/deps.sh)");
        QVERIFY(startLine());
        test::Ser2netProcess gateway;
        QVERIFY(gateway.start(port(), rfc2217, QStringLiteral("19200n81"), {QStringLiteral("chardelay: false")}));
        const Run w = ctl({"write", "--port", gateway.url(), "-d", "4", "RESET=42", "-q"});
        QVERIFY2(w.code == 0, w.err.constData());
        QVERIFY(w.err.isEmpty());   // -q: nothing but errors on stderr
        QCOMPARE(line->received(), writeFrame(QLatin1Char('4'), QLatin1Char('3'), "+0000042") + readAllFrame(QLatin1Char('4')));
        const Run r = ctl({"read", "--port", gateway.url(), "-d", "4", "--json"});
        QVERIFY2(r.code == 0, r.err.constData());
        QVERIFY2(r.out.contains("\"+0000042\""), r.out.constData());
    }

    // The counter keeps another value than the one written: exit 6, named.
    void writeMismatch()
    {
        QVERIFY(startLine());
        const Run r = ctl({"write", "--port", port(), "-d", "2", "RESET=30", "-q"}, [&] {
            if (line->received().contains("*2W:3="))
                line->withLine([](sim::CounterLine &l) { l.setValue(2, 3, "+0000031"); });
        });
        QCOMPARE(r.code, 6);
        QVERIFY2(r.err.contains("RESET was sent as +0000030 but reads back as +0000031"), r.err.constData());
        QVERIFY(r.out.contains("MISMATCH"));
    }

    // The simulator goes away after the second write: exit 5 at once, nothing
    // sent after, and what was written is reported.
    void lineLostMidWrite()
    {
        QVERIFY(startLine());
        const QString trace = file("lost-trace.txt");
        const Run r = ctl({"write", "--port", port(), "-d", "1", "TARGET=1", "ACTUAL=2", "RESET=3", "ALARM=4",
                           "--trace", trace}, [&] {
            if (line->isRunning() && line->received().count("W:") == 2)
                line->kill();
        });
        QCOMPARE(r.code, 5);
        QVERIFY2(r.err.contains("after sending 2 of 4 values"), r.err.constData());
        QVERIFY(r.err.contains("sent, not verified: TARGET, ACTUAL; not sent: RESET, ALARM"));
        QFile f(trace);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count("  TX  "), 2);
    }

    // With --json standard output carries the document whatever the outcome:
    // what was sent, what was verified, what was not.
    void jsonOnEveryOutcome_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("killAfterWrites");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("results");
        const QStringList three{"not verified", "not sent", "not sent"};
        QTest::newRow("write, no port") << QStringList{"write", "-d", "1", "TARGET=1", "RESET=3", "ALARM=4"} << -1 << 3
                                        << three.mid(1) + three.mid(1, 1);
        QTest::newRow("restore, line lost") << QStringList{"restore", file("json.json"), "--with-actual"} << 1 << 5
                                            << QStringList{"not verified", "not sent", "read-only", "not in file", "not in file",
                                                           "not in file", "not in file", "not in file", "not read", "not read", "not read", "not read", "not read",
                                                           "not read", "not read", "not read"};
    }
    void jsonOnEveryOutcome()
    {
        QFETCH(QStringList, args);
        QFETCH(int, killAfterWrites);
        QFETCH(int, code);
        QFETCH(QStringList, results);
        LineOptions o;
        o.devices = {1, 2};
        QVERIFY(startLine(o));
        writeFile(QStringLiteral("json.json"), R"({"format":"kestran-backup","version":1,"devices":[)"
                  R"({"device":1,"values":{"TARGET":"+0000001","ACTUAL":"+0000002","DIFFERENCE":"+0000000"}},)"
                  R"({"device":2,"values":{"TARGET":"+0000001"}}]})");
        const QString where = killAfterWrites < 0 ? QStringLiteral("/dev/kestran-no-such-port") : port();
        const Run r = ctl(QStringList{"--port", where, "--json", "-q"} + args, [&] {
            if (line->isRunning() && line->received().count("W:") == killAfterWrites)
                line->kill();
        });
        QCOMPARE(r.code, code);
        QCOMPARE(resultsOf(r.out), results);
    }

    // While another client holds a gateway's port, the gateway answers with a
    // refusal and passes nothing on: busy, exit 3, nothing written.
    void busyGateway_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("tcp, write") << false << QStringList{"write", "-d", "4", "TARGET=1", "RESET=2"};
        QTest::newRow("rfc2217, write") << true << QStringList{"write", "-d", "4", "TARGET=1", "RESET=2"};
    }
    void busyGateway()
    {
        QFETCH(bool, rfc2217);
        QFETCH(QStringList, args);
        if (test::Ser2netProcess::program().isEmpty())
            QFAIL("ser2net is not installed: the test command installs it (scripts/deps.sh)");
        QVERIFY(startLine());
        test::Ser2netProcess gateway;
        QVERIFY(gateway.start(port(), rfc2217));
        QTcpSocket holder;
        const QUrl url(gateway.url());
        holder.connectToHost(url.host(), quint16(url.port()));
        QVERIFY(holder.waitForConnected(5000));
        QTest::qWait(200);   // the gateway has opened the line for it
        const Run r = ctl(args + QStringList{"--port", gateway.url()});
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("the gateway's port is in use"), r.err.constData());
        QCOMPARE(line->received(), QByteArray());
        QVERIFY(!r.out.contains(" ok"));
    }

    // Ctrl-C during a write: the frame in flight is finished, nothing more is
    // sent, and what was sent and verified is said, also with -q.
    void interruptStopsBetweenFrames_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("before");   // what the line receives before the writes
        QTest::newRow("write") << QStringList{"write", "-d", "1", "TARGET=1", "ACTUAL=2", "RESET=3", "ALARM=4"} << QByteArray();
        QTest::newRow("restore") << QStringList{"restore", file("interrupt.json"), "--with-actual"} << readAllFrame(QLatin1Char('1'));
    }
    void interruptStopsBetweenFrames()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, before);
        QVERIFY(startLine());
        writeFile(QStringLiteral("interrupt.json"), R"({"format":"kestran-backup","version":1,"devices":[{"device":1,"values":)"
                  R"({"TARGET":"+0000001","ACTUAL":"+0000002","RESET":"+0000003","ALARM":"+0000004"}}]})");
        bool sent = false;
        const Run r = ctl(args + QStringList{"--port", port(), "-q"}, [&] {
            if (!sent && running && line->received().count("W:") == 2) {
                sent = true;
                ::kill(pid_t(running->processId()), SIGINT);
            }
        });
        QCOMPARE(r.code, 130);
        QVERIFY2(r.err.contains("interrupted after sending 2 of 4 values: sent, not verified: TARGET, ACTUAL; "
                                "not sent: RESET, ALARM"), r.err.constData());
        QVERIFY(r.out.contains("not sent"));
        QCOMPARE(line->received(), before + writeFrame(QLatin1Char('1'), QLatin1Char('0'), "+0000001")
                                       + writeFrame(QLatin1Char('1'), QLatin1Char('1'), "+0000002"));
    }
};

QTEST_GUILESS_MAIN(TestCtlWrite)
#include "tst_ctlwrite.moc"
