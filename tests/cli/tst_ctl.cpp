// kestran-ctl end to end: reads, scans, backups and restores, the monitor,
// traces, files and streams, against the simulated counters on a
// pseudo-terminal (and the simulator program once).
#include "ctlfixture.h"

class TestCtl : public CtlFixture {
    Q_OBJECT

private slots:
    void cleanup() { resetLine(); }

    // Every refused input exits 2, names the problem, and sends nothing.
    void badInputSendsNothing_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        const QByteArray head = R"({"format":"kestran-backup","version":1,)";
        writeFile(QStringLiteral("broken.json"), "{\"format\": \"kestran-backup\",\n \"version\": 1,\n devices: []}");
        writeFile(QStringLiteral("good.json"), head + R"("devices":[{"device":1,"values":{"ALARM":"+0000002"}}]})");
        const QStringList w{"write", "-d", "1"};
        QTest::newRow("out of range") << w + QStringList{"TARGET=10000000"} << "out of range";
        QTest::newRow("unknown name") << w + QStringList{"SPEED=5"} << "unknown name";
        QTest::newRow("no equals sign") << w + QStringList{"TARGET"} << "NAME=VALUE";
        QTest::newRow("second bad after good") << w + QStringList{"TARGET=5", "ACTUAL=x"} << "ACTUAL=x";
        QTest::newRow("name twice") << w + QStringList{"TARGET=5", "target=6"} << "twice";
        QTest::newRow("nothing to write") << w << "at least one";
        QTest::newRow("no device") << QStringList{"read"} << "-d N";
        QTest::newRow("backup without file") << QStringList{"backup", "--all"} << "-o FILE";
        QTest::newRow("backup -d and --all") << QStringList{"backup", "--all", "-d", "1", "-o", "x.json"} << "either";
        QTest::newRow("malformed backup") << QStringList{"restore", file("broken.json")} << "line 3, column";
        QTest::newRow("missing file") << QStringList{"restore", file("none.json")} << "none.json";
        QTest::newRow("device not in file") << QStringList{"restore", file("good.json"), "-d", "2"} << "no device 2";
        QTest::newRow("from without -d") << QStringList{"restore", file("good.json"), "--from", "1"} << "--from";
        QTest::newRow("trace not writable") << QStringList{"read", "-d", "1", "--trace", dir.path()} << "trace";
        QTest::newRow("trace on a full disk") << QStringList{"read", "-d", "1", "--trace", "/dev/full"}
                                              << "/dev/full: No space left on device";
        // A trace never overwrites what the command reads or writes ("@PORT": the line's pty).
        QTest::newRow("trace is the backup") << QStringList{"restore", file("good.json"), "--trace", file("good.json")}
                                             << "is the backup file";
        QTest::newRow("trace is the output") << QStringList{"backup", "-d", "1", "-o", file("out.json"), "--trace", file("out.json")}
                                             << "is the output file";
        QTest::newRow("trace is the port") << QStringList{"read", "-d", "1", "--trace", "@PORT"} << "is the port";
        QTest::newRow("restore csv writing") << QStringList{"restore", file("good.json"), "--csv"} << "--dry-run";
        // Port texts: a COM number only after "COM"; malformed texts are bad usage, not a port that failed.
        QTest::newRow("LPT200") << QStringList{"read", "-d", "1", "--port", "LPT200"} << "is not a port name";
    }
    void badInputSendsNothing()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        QVERIFY(startLine());
        args.replaceInStrings(QStringLiteral("@PORT"), port());
        const Run r = ctl(args.contains(QStringLiteral("--port")) ? args : args + QStringList{"--port", port()});
        QCOMPARE(r.code, 2);
        QVERIFY2(QString::fromUtf8(r.err).contains(said), r.err.constData());
        QVERIFY(r.out.isEmpty());
        QTest::qWait(20);
        QCOMPARE(line->received(), QByteArray());
        QVERIFY(!QFile::exists(file("out.json")));
        QFile good(file("good.json"));
        QVERIFY(good.open(QIODevice::ReadOnly) && good.readAll().startsWith(R"({"format":"kestran-backup")"));
    }

    // read through a hostile line: noise and split replies still read, a dropped
    // reply is asked again; every value as the counter holds it.
    void readHostileLine_data()
    {
        QTest::addColumn<LineOptions>("options");
        LineOptions o;
        o.noise = 1.0;
        o.split = true;
        o.seed = 11;
        QTest::newRow("noise and split") << o;
        o = {};
        o.drop = 0.3;
        o.seed = 2;
        QTest::newRow("dropped replies") << o;
    }
    void readHostileLine()
    {
        QFETCH(LineOptions, options);
        QVERIFY(startLine(options));
        const Run r = ctl({"read", "--port", port(), "-d", "4", "--json", "--retries", "8", "--timeout", "300"});
        QCOMPARE(r.code, 0);
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o.value("device").toInt(), 4);
        QVERIFY(o.value("complete").toBool());
        const QJsonArray v = o.value("values").toArray();
        QCOMPARE(v.size(), 8);
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(v[i].toObject().value("field").toString().toLatin1(), line->value(4, i));
            long n = 0;
            QVERIFY(sim::parseValue(line->value(4, i), &n));
            QCOMPARE(v[i].toObject().value("number").toInteger(), qint64(n));
        }
        if (options.drop > 0)
            QVERIFY(line->stats().dropped > 0 && line->received().count("*4R:?=?\r") > 1);
    }

    // No answer exits 4; a partial one prints what came, names what is missing, exits 4.
    void missingAnswers()
    {
        LineOptions o;
        o.devices = {0};
        o.drop = 0.5;
        o.seed = 4;
        QVERIFY(startLine(o));
        Run r = ctl({"read", "--port", port(), "-d", "5", "--timeout", "100", "--retries", "1"});
        QCOMPARE(r.code, 4);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains("did not answer"), r.err.constData());
        QCOMPARE(line->received(), readAllFrame(QLatin1Char('5')).repeated(2));

        r = ctl({"read", "--port", port(), "-d", "0", "--csv", "--timeout", "200", "--retries", "0"});
        QCOMPARE(r.code, 4);
        const int rows = int(r.out.count('\n')) - 1;
        QVERIFY2(rows > 0 && rows < 8, r.out.constData());
        QVERIFY2(r.err.contains("missing"), r.err.constData());
    }

    // backup --all, then restore onto counters with other values brings them
    // back (ACTUAL, a live count, only when asked); --dry-run and --from show
    // what they would write.
    void backupRestoreClone()
    {
        LineOptions o;
        o.devices = {1, 6};
        QVERIFY(startLine(o));
        const QString saved = file("plant.json");
        const QString trace = file("backup-trace.txt");
        Run r = ctl({"backup", "--port", port(), "--all", "-o", saved, "--timeout", "150", "--trace", trace});
        QCOMPARE(r.code, 0);
        // The line is served on a thread of its own, and traced there: every read-all, the port opened and closed.
        QFile traced(trace);
        QVERIFY(traced.open(QIODevice::ReadOnly));
        const QByteArray t = traced.readAll();
        QCOMPARE(t.count("  TX  "), 8);
        QVERIFY2(t.contains("port opened (19200,N,8,1)") && t.contains("port closed") && t.contains("  RX  "), t.constData());
        QFile f(saved);
        QVERIFY(f.open(QIODevice::ReadOnly));
        Backup b;
        QString why;
        QVERIFY2(parseBackup(f.readAll(), &b, &why), qPrintable(why));
        QCOMPARE(b.devices.size(), 2);
        QCOMPARE(b.port, port());
        const QVector<QByteArray> original = values(6);

        // Device 6 replaced by a counter with other values: all seven come back.
        QVector<QByteArray> other = original;
        for (int i : {0, 1, 3, 4, 5, 6, 7})
            other[i] = i < 4 ? "-0000777" : "+0000009";
        setValues(6, other);
        // A dry run writes nothing and says what it leaves out and why: ACTUAL is a live count.
        line->clearArrivals();
        r = ctl({"restore", saved, "-d", "6", "--dry-run", "--port", port()});
        QCOMPARE(r.code, 0);
        QCOMPARE(line->received(), readAllFrame(QLatin1Char('6')));
        QVERIFY2(r.out.contains("ACTUAL      -0000777  +0002806  left out (a count, not a setting; --with-actual restores it)"),
                 r.out.constData());
        line->clearArrivals();
        r = ctl({"restore", saved, "-d", "6", "--port", port(), "--with-actual"});
        QCOMPARE(r.code, 0);
        QCOMPARE(line->received().count("*6W:"), 7);
        QVERIFY(!line->received().contains("*6W:2"));
        QCOMPARE(values(6), original);
        QVERIFY(r.out.contains("write") && r.out.contains("read-only"));

        // --dry-run shows and writes nothing; --from copies device 1's values onto 6.
        line->clearArrivals();
        r = ctl({"restore", saved, "--from", "1", "-d", "6", "--dry-run", "--port", port()});
        QCOMPARE(r.code, 0);
        QCOMPARE(line->received(), readAllFrame(QLatin1Char('6')));
        QVERIFY(r.out.contains("from saved device 1") && r.out.contains("would write"));
    }

    // Replies that come late to one command (a slow counter) wait in the port;
    // the next command must not take them for its answer.
    void lateRepliesAreNoAnswer()
    {
        LineOptions o;
        o.devices = {2};
        o.replyDelayMs = 300;
        QVERIFY(startLine(o));
        QCOMPARE(ctl({"read", "--port", port(), "-d", "2", "--timeout", "50", "--retries", "0"}).code, 4);
        QVERIFY(line->waitForIdle(5000));   // the late replies now wait in the port
        line->withLine([](sim::CounterLine &l) { l.setValue(2, 0, "+0000999"); });
        const Run r = ctl({"read", "--port", port(), "-d", "2", "--json", "--timeout", "3000"});
        QCOMPARE(r.code, 0);
        QCOMPARE(QJsonDocument::fromJson(r.out)["values"][0]["field"].toString(), QStringLiteral("+0000999"));
    }

    // Replies that never come whole are named as missing: exit 4, and what is
    // printed is the counter's own.
    void damagedRepliesNeverWhole()
    {
        LineOptions o;
        o.corrupt = 1.0;
        o.seed = 5;
        QVERIFY(startLine(o));
        const Run r = ctl({"read", "-d", "3", "--json", "--retries", "1", "--port", port(), "--timeout", "150"});
        QCOMPARE(r.code, 4);
        const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
        for (const QJsonValue &v : doc["values"].toArray())
            QCOMPARE(v["field"].toString().toLatin1(), line->value(3, v["index"].toInt()));
        QVERIFY(!doc["complete"].toBool());
        QVERIFY2(r.err.contains("missing"), r.err.constData());
    }

    // Standard output that cannot be written is an error, never exit 0.
    void outputCannotBeWritten_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("read --json") << QStringList{"read", "-d", "1", "--json"};
        QTest::newRow("backup -o -") << QStringList{"backup", "-d", "1", "-o", "-"};
        QTest::newRow("backup -o /dev/stdout") << QStringList{"backup", "-d", "1", "-o", "/dev/stdout"};
    }
    void outputCannotBeWritten()
    {
        QFETCH(QStringList, args);
        QVERIFY(startLine());
        stdoutFile = QStringLiteral("/dev/full");
        const Run r = ctl(args + QStringList{"--port", port()});
        QCOMPARE(r.code, 7);
        // Through standard output, or through the device that is standard output.
        QVERIFY2(r.err.contains("cannot write to standard output: No space left on device")
                     || r.err.contains("writing /dev/stdout failed: No space left on device"), r.err.constData());
    }

    // A port held through a link is busy when opened by its own path, and the
    // other way round.
    void lockFollowsTheDevice_data()
    {
        QTest::addColumn<bool>("holderUsesLink");
        QTest::newRow("held by link") << true;
        QTest::newRow("held by path") << false;
    }
    void lockFollowsTheDevice()
    {
        QFETCH(bool, holderUsesLink);
        QVERIFY(startLine());
        const QString link = file(QStringLiteral("by-id-link-%1").arg(holderUsesLink));
        QFile::remove(link);
        QVERIFY(QFile::link(port(), link));
        QProcess holder;
        start(holder, {"monitor", "--port", holderUsesLink ? link : port()});
        QByteArray said;
        QVERIFY(waitUntil([&] { return (said += holder.readAllStandardError()).contains("listening"); }, 10000));
        const Run r = ctl({"read", "-d", "1", "--port", holderUsesLink ? port() : link});
        ::kill(pid_t(holder.processId()), SIGINT);
        QVERIFY(holder.waitForFinished(10000));
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("busy") || r.err.contains("in use"), r.err.constData());
        QCOMPARE(line->received(), QByteArray());
    }

    void scan()
    {
        LineOptions o;
        o.devices = {1, 4};
        QVERIFY(startLine(o));
        Run r = ctl({"scan", "--port", port(), "--timeout", "100"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray("device 1  answers (8 of 8 values)\ndevice 4  answers (8 of 8 values)\n"));
        QCOMPARE(line->received().count("R:?=?"), 8);
        // A line lost midway: the devices found so far still go out as CSV.
        line.reset();
        QVERIFY(startLine(o));
        r = ctl({"scan", "--port", port(), "--timeout", "100", "--csv"}, [&] {
            if (line->isRunning() && line->received().count("R:?=?") == 3)
                line->kill();
        });
        QCOMPARE(r.code, 5);
        QCOMPARE(r.out, QByteArray("device,values\r\n1,8\r\n"));
        o.devices = {};
        line.reset();
        LineOptions none;
        none.devices = {7};
        none.drop = 1.0;
        QVERIFY(startLine(none));
        r = ctl({"scan", "--port", port(), "--timeout", "30", "--json"});
        QCOMPARE(r.code, 4);
        QCOMPARE(r.out.trimmed(), QByteArray("[]"));
    }

    // monitor prints replies, commands of another master and noise; --count
    // ends it, and so does Ctrl-C, with exit 0.
    void monitor()
    {
        QVERIFY(startLine());
        QProcess p;
        start(p, {"monitor", "--port", port(), "--json", "--count", "4"});
        QVERIFY(p.waitForStarted());
        QByteArray said;
        QVERIFY(waitUntil([&] { return (said += p.readAllStandardError()).contains("listening"); }, 10000));
        line->send(readAllFrame(QLatin1Char('5')) + replyFrame(QLatin1Char('5'), QLatin1Char('0'), "+0001234"));
        QTest::qWait(40);
        line->send("\x07\x08");
        QTest::qWait(40);
        line->send(writeFrame(QLatin1Char('2'), QLatin1Char('4'), "+0000009") + readAllFrame(QLatin1Char('0')));
        QVERIFY(waitUntil([&] { return p.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(p.exitCode(), 0);
        QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
        lines.removeAll(QByteArray());
        QCOMPARE(lines.size(), 4);
        QStringList kinds;
        for (const QByteArray &l : lines) {
            const QJsonObject o = QJsonDocument::fromJson(l).object();
            QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"))
                         .match(o.value("time").toString()).hasMatch(),
                     l.constData());
            kinds << o.value("kind").toString() + ":" + o.value("name").toString() + ":" + o.value("value").toString()
                    + o.value("hex").toString();
        }
        QCOMPARE(kinds, (QStringList{"read-all::", "reply:TARGET:+0001234", "other::07 08", "write:DEBOUNCE0:+0000009"}));

        QProcess q;
        start(q, {"monitor", "--port", port()});
        said.clear();
        QVERIFY(waitUntil([&] { return (said += q.readAllStandardError()).contains("listening"); }, 10000));
        // A value with terminal controls in it is shown escaped, never raw.
        line->send(replyFrame(QLatin1Char('1'), QLatin1Char('7'), "\x1b[2J\x08\x9b" "12"));
        QByteArray shown;
        QVERIFY(waitUntil([&] { return (shown += q.readAllStandardOutput()).contains("reply     device 1  ALARM"); }, 10000));
        QVERIFY2(shown.contains("ALARM       \\x1b[2J\\x08\\x9b12"), shown.constData());
        QVERIFY(!shown.contains('\x1b') && !shown.contains('\x08') && !shown.contains("\xc2\x9b"));
        ::kill(pid_t(q.processId()), SIGINT);
        QVERIFY(waitUntil([&] { return q.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(q.exitStatus(), QProcess::NormalExit);
        QCOMPARE(q.exitCode(), 0);
    }

    // The simulator program on its own pty; a port that is not there exits 3.
    void simulatorProgramAndMissingPort()
    {
        QProcess simProgram;
        simProgram.start(buildPath("sim/kestran-counter-sim"), {"--devices", "3", "--noise", "0.5", "--split"});
        QVERIFY(waitUntil([&] { return simProgram.canReadLine(); }, 10000));
        const QString pty = QString::fromLatin1(simProgram.readLine().trimmed());
        QProcess p;
        p.setProcessEnvironment([&] {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("KESTRAN_PORT", pty);
            return env;
        }());
        start(p, {"read", "-d", "3"});
        QVERIFY(waitUntil([&] { return p.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().contains("TARGET      0      +0004000  4000"));
        simProgram.terminate();
        QVERIFY(simProgram.waitForFinished(5000));

        const Run r = ctl({"read", "--port", "/dev/kestran-no-such-port", "-d", "0"});
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("does not exist"), r.err.constData());
    }

    // The window refuses a trace file it cannot write before it opens.
    void windowTraceRefused()
    {
        QProcess p;
        p.start(buildPath("src/kestran-setup"), {"--trace", dir.filePath("no-such-folder/trace.txt")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("cannot write the trace file"));
    }

    // A trace is refused too when it is the file behind standard output or
    // input, or a link to a file the command uses: the file is known by its
    // identity, not by its name. Nothing is sent, nothing is written.
    void traceBehindStandardStreams()
    {
        QVERIFY(startLine());
        for (const char *output : {"-", "/dev/stdout"}) {
            const QString shared = file("shared-out.txt");
            stdoutFile = shared;
            const Run r = ctl({"backup", "-d", "1", "-o", output, "--trace", shared, "--port", port()});
            stdoutFile.clear();
            QCOMPARE(r.code, 2);
            QVERIFY2(r.err.contains("is the output file"), r.err.constData());
            QCOMPARE(QFileInfo(shared).size(), 0);
        }
        writeFile(QStringLiteral("in.json"), R"({"format":"kestran-backup","version":1,"devices":[{"device":1,"values":{"ALARM":"+0000002"}}]})");
        QVERIFY(QFile::link(file("in.json"), file("in-link.json")));
        QProcess p;
        p.setStandardInputFile(file("in.json"));
        start(p, {"restore", "-", "--dry-run", "--trace", file("in-link.json"), "--port", port()});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("is the backup file"));
        QTest::qWait(20);
        QCOMPARE(line->received(), QByteArray());
        QVERIFY(QFileInfo(file("in.json")).size() > 0);
    }

    // Tables as CSV (RFC 4180: CR LF after every record), a backup through
    // /dev/stdout, and restore reading it from standard input ("-").
    void csvAndStandardStreams()
    {
        LineOptions o;
        o.devices = {1, 4};
        QVERIFY(startLine(o));
        Run r = ctl({"read", "--port", port(), "-d", "4", "--csv"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith("device,name,index,field,number\r\n4,TARGET,0,+0005000,5000\r\n"), r.out.constData());
        QCOMPARE(r.out.count("\r\n"), 9);
        QCOMPARE(r.out.count('\n'), 9);

        qputenv("TZ", "UTC-3");   // three hours east of UTC
        const Run saved = ctl({"backup", "--port", port(), "-d", "4", "-o", "/dev/stdout", "-q"});
        qunsetenv("TZ");
        QCOMPARE(saved.code, 0);
        Backup b;
        QString why;
        QVERIFY2(parseBackup(saved.out, &b, &why), qPrintable(why));
        // The time says its offset from UTC, as a snapshot's does.
        QVERIFY2(b.created.endsWith(QLatin1String("+03:00")), qPrintable(b.created));
        line->withLine([](sim::CounterLine &l) { l.setValue(4, 7, "+0000009"); });
        line->clearArrivals();
        r = ctl({"restore", "-", "--dry-run", "--csv", "--port", port()}, {}, saved.out);
        QVERIFY2(r.code == 0, r.err.constData());
        QVERIFY2(r.out.startsWith("device,from,name,now,file,action,why\r\n"), r.out.constData());
        QVERIFY2(r.out.contains("\r\n4,4,ALARM,+0000009,+0000005,would write,\r\n"), r.out.constData());
        QCOMPARE(r.out.count('\n'), r.out.count("\r\n"));
        // A value left out says why in a column of its own.
        r = ctl({"restore", "-", "--dry-run", "--csv", "--skip", "alarm", "--port", port()}, {}, saved.out);
        QVERIFY2(r.code == 0, r.err.constData());
        QVERIFY2(r.out.contains("\r\n4,4,ALARM,+0000009,+0000005,left out,--skip\r\n"), r.out.constData());
        QVERIFY(!line->received().contains("W:"));
    }

    // Every device that answered did so in part: not "no counter answered",
    // and no file is written.
    void backupNoneInFull()
    {
        LineOptions o;
        o.devices = {0};
        o.drop = 0.5;
        o.seed = 4;
        QVERIFY(startLine(o));
        const Run r = ctl({"backup", "--port", port(), "--all", "-o", file("part.json"), "--timeout", "100", "--retries", "0"});
        QCOMPARE(r.code, 4);
        QVERIFY2(r.err.contains("no counter answered in full; nothing saved"), r.err.constData());
        QVERIFY(!QFile::exists(file("part.json")));
    }

    // A message never carries raw control characters, whatever text it quotes.
    void messagesEscaped()
    {
        const Run r = ctl({"read", "-d", "1", "--port", "/dev/kestran-\x1b[2J-port"});
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("/dev/kestran-\\x1b[2J-port") && !r.err.contains('\x1b'), r.err.constData());
    }

    void helpAndVersion()
    {
        Run r = ctl({"--help"});
        QCOMPARE(r.code, 0);
        for (const char *s : {"ports", "read", "write", "backup", "restore", "scan", "monitor", "6  a written value"})
            QVERIFY2(r.out.contains(s), s);
        r = ctl({"--version"});
        QVERIFY(r.out.startsWith("kestran-ctl ") && r.code == 0);
        r = ctl({"ports", "--json"});
        QCOMPARE(r.code, 0);
        QVERIFY(QJsonDocument::fromJson(r.out).isArray());
        // The status words of the table, without the pid the JSON gives apart.
        for (const QJsonValue &port : QJsonDocument::fromJson(r.out).array())
            QVERIFY(QStringList({"usable", "busy", "no permission", "missing"}).contains(port["status"].toString()));
    }
};

QTEST_GUILESS_MAIN(TestCtl)
#include "tst_ctl.moc"
