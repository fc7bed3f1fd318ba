// kestran-ctl on a whole plant: the built program against several simulated
// lines at once (the simulator library in this process, one pty per line).
#include "frames.h"
#include "ptycounterline.h"
#include "ser2netprocess.h"
#include "snapshot.h"
#include "waituntil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

using namespace kestran;
using sim::LineOptions;
using sim::PtyCounterLine;

namespace {

struct Run {
    int code = -1;
    QByteArray out, err;
};

} // namespace

class TestPlantCtl : public QObject {
    Q_OBJECT

    std::vector<std::unique_ptr<PtyCounterLine>> lines;
    QTemporaryDir dir;
    QProcess *running = nullptr;   // the program ctl() runs, while it runs

    QString file(const QString &name) const { return dir.filePath(name); }

    // Starts one simulated line per entry, answering as the devices listed.
    bool startLines(const QVector<QVector<int>> &devices, bool pace = false)
    {
        for (const QVector<int> &d : devices) {
            LineOptions o;
            o.devices = d;
            o.pace = pace;
            lines.push_back(std::make_unique<PtyCounterLine>(o));
            if (!lines.back()->start())
                return false;
        }
        return true;
    }
    // A plant file naming the lines "line-0", "line-1", ... on their ptys, then `more`.
    QString writePlant(const QString &name, const QByteArray &more = {}, const QStringList &devices = {})
    {
        QByteArray text = "# test plant\n";
        for (size_t i = 0; i < lines.size(); ++i) {
            text += QStringLiteral("[[line]]\nname = \"line-%1\"\nport = \"%2\"\n").arg(i).arg(lines[i]->slavePath()).toUtf8();
            if (int(i) < devices.size() && !devices[int(i)].isEmpty())
                text += "devices = " + devices[int(i)].toUtf8() + "\n";
        }
        QFile f(file(name));
        f.open(QIODevice::WriteOnly);
        f.write(text + more);
        return f.fileName();
    }
    Run ctl(const QStringList &args, const std::function<void()> &during = {})
    {
        QProcess p;
        p.setProgram(qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl"));
        p.setArguments(args);
        p.start();
        running = &p;
        if (!waitUntil([&] {
                if (during)
                    during();
                return p.state() == QProcess::NotRunning;
            }, 60000)) {
            p.kill();
            p.waitForFinished();
        }
        running = nullptr;
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    void clearArrivals()
    {
        for (auto &l : lines)
            l->clearArrivals();
    }
    QByteArray values(int line, int device)
    {
        QByteArray v;
        for (int i = 0; i < 8; ++i)
            v += lines[size_t(line)]->value(device, i);
        return v;
    }
    void set(int line, int device, int index, const QByteArray &value)
    {
        lines[size_t(line)]->withLine([&](sim::CounterLine &l) { l.setValue(device, index, value); });
    }

private slots:
    void cleanup() { lines.clear(); }

    // backup of three lines at once; check finds exactly the settings changed
    // since (not the live count); restore puts them back; check finds none.
    void backupCheckRestore()
    {
        QVERIFY(startLines({{0, 1}, {2, 5}, {3}}, true));
        const QString plant = writePlant(QStringLiteral("plant.toml"), {}, {QString(), QStringLiteral("[2, 5]")});
        const QString snapshot = file(QStringLiteral("snapshot.json"));
        Run r = ctl({"backup", "--plant", plant, "-o", snapshot, "--timeout", "150"});
        QVERIFY2(r.code == 0, r.err.constData());
        QVERIFY2(r.err.contains("line-1: device 5 read"), r.err.constData());
        QVERIFY(r.out.contains("line-0  2        saved"));
        // The lines were served side by side: each began before every other ended.
        for (auto &a : lines)
            for (auto &b : lines)
                QVERIFY(a->arrivals().first().ns < b->arrivals().last().ns);
        QFile f(snapshot);
        QVERIFY(f.open(QIODevice::ReadOnly));
        Snapshot s;
        QString why;
        QVERIFY2(parseSnapshot(f.readAll(), &s, &why), qPrintable(why));
        QVERIFY(s.plant);
        QCOMPARE(s.lines.size(), 3);
        QCOMPARE(s.lines[1].name, QStringLiteral("line-1"));
        QCOMPARE(s.lines[1].port, lines[1]->slavePath());
        QCOMPARE(s.lines[1].devices.size(), 2);
        QCOMPARE(s.lines[0].find(1)->values.value('0').toLatin1(), lines[0]->value(1, 0));
        // Devices the plant file does not list are not asked.
        QVERIFY(!lines[1]->received().contains("*0R"));
        // Standard output by any name carries the snapshot alone, its time with the offset from UTC.
        qputenv("TZ", "UTC-3");   // three hours east of UTC
        for (const char *output : {"-", "/dev/stdout"}) {
            const Run out = ctl({"backup", "--plant", plant, "-o", output, "-q", "--timeout", "150"});
            QVERIFY2(out.code == 0, out.err.constData());
            QVERIFY2(parseSnapshot(out.out, &s, &why), qPrintable(why));
            QVERIFY2(out.err.contains("line-0  2        saved"), out.err.constData());
            QVERIFY2(s.created.endsWith(QLatin1String("+03:00")), qPrintable(s.created));
        }
        qunsetenv("TZ");

        const QByteArray before1 = values(1, 5), before2 = values(2, 3);
        set(1, 5, 0, "+0000123");   // TARGET
        set(1, 5, 5, "+0000009");   // DEBOUNCE1
        set(2, 3, 7, "+0000009");   // ALARM
        set(0, 0, 1, "+0000777");   // ACTUAL: a live count, not a setting
        r = ctl({"check", snapshot, "--json", "-q"});
        QCOMPARE(r.code, 1);
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o.value("result").toString(), QStringLiteral("differs"));
        QStringList found;
        for (const QJsonValue &d : o.value("differences").toArray())
            found << QStringLiteral("%1 %2 %3 %4 %5").arg(d["line"].toString()).arg(d["device"].toInt())
                         .arg(d["name"].toString(), d["saved"].toString(), d["live"].toString());
        QCOMPARE(found, (QStringList{"line-1 5 TARGET +0006000 +0000123", "line-1 5 DEBOUNCE1 +0000065 +0000009",
                                     "line-2 3 ALARM +0000004 +0000009"}));
        QCOMPARE(o.value("lines").toArray().size(), 3);
        r = ctl({"check", snapshot, "--with-actual", "-q"});
        QCOMPARE(r.code, 1);
        QVERIFY2(QString::fromUtf8(r.out).contains(QRegularExpression("line-0 +0 +ACTUAL +\\+0000400 +\\+0000777")), r.out.constData());

        clearArrivals();
        r = ctl({"restore", snapshot, "--plant", plant});
        QVERIFY2(r.code == 0, r.err.constData());
        QCOMPARE(values(1, 5), before1);
        QCOMPARE(values(2, 3), before2);
        QCOMPARE(lines[0]->value(0, 1), QByteArray("+0000777"));
        QVERIFY(!lines[0]->received().contains("W:"));
        QCOMPARE(lines[1]->received().count("*5W:"), 2);
        QVERIFY(r.out.contains("left out (a count, not a setting"));

        r = ctl({"check", snapshot, "--plant", plant});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains("line-2  1        matches"));
    }

    // One line's simulator goes away mid-restore: that line says so (exit 5),
    // the others are restored in full.
    void lineKilledMidRestore()
    {
        QVERIFY(startLines({{1}, {1}, {1}}, true));
        const QString plant = writePlant(QStringLiteral("plant.toml"), {}, {"[1]", "[1]", "[1]"});
        const QString snapshot = file(QStringLiteral("kill.json"));
        QCOMPARE(ctl({"backup", "--plant", plant, "-o", snapshot, "-q"}).code, 0);
        QVector<QByteArray> before;
        for (int l = 0; l < 3; ++l) {
            before << values(l, 1);
            for (int i : {0, 3, 4, 7})
                set(l, 1, i, i == 0 ? "-0000001" : "+0000005");
        }
        clearArrivals();
        const Run r = ctl({"restore", snapshot, "--plant", plant}, [&] {
            if (lines[1]->isRunning() && lines[1]->received().count("W:") == 2)
                lines[1]->kill();
        });
        QCOMPARE(r.code, 5);
        QCOMPARE(values(0, 1), before[0]);
        QCOMPARE(values(2, 1), before[2]);
        QCOMPARE(lines[0]->received().count("W:"), 4);
        QCOMPARE(lines[1]->received().count("W:"), 2);
        QVERIFY2(r.err.contains("line-1: device 1: the line was lost after sending 2 of 4 values"), r.err.constData());
        QVERIFY2(r.out.contains("line-1  1        line lost"), r.out.constData());
        QVERIFY(r.out.contains("line-0  1        4 written"));
    }

    // A gateway that refuses the connection: that line exits 3, the others
    // are saved; in a check the worst line's code wins over a difference.
    void gatewayRefuses()
    {
        QVERIFY(startLines({{0}, {0}}));
        const quint16 closed = test::freeLoopbackPort();
        const QString plant = writePlant(QStringLiteral("plant.toml"),
                                         QStringLiteral("[[line]]\nname = \"gw\"\nport = \"tcp://127.0.0.1:%1\"\n").arg(closed).toUtf8(),
                                         {"[0]", "[0]"});
        const QString snapshot = file(QStringLiteral("gw.json"));
        Run r = ctl({"backup", "--plant", plant, "-o", snapshot});
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("gw: ") && r.err.contains("refused"), r.err.constData());
        QVERIFY(r.out.contains("gw      0        port failed"));
        QFile f(snapshot);
        QVERIFY(f.open(QIODevice::ReadOnly));
        Snapshot s;
        QString why;
        QVERIFY(parseSnapshot(f.readAll(), &s, &why));
        QCOMPARE(s.lines.size(), 2);

        // The snapshot as if the gateway's line had been saved too.
        s.lines.append({QStringLiteral("gw"), QStringLiteral("tcp://127.0.0.1:%1").arg(closed), s.lines[0].devices});
        QFile w(file(QStringLiteral("gw3.json")));
        QVERIFY(w.open(QIODevice::WriteOnly));
        w.write(s.toJson());
        w.close();
        set(0, 0, 0, "+0000001");
        r = ctl({"check", w.fileName(), "--plant", plant, "--json", "-q"});
        QCOMPARE(r.code, 3);
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o.value("differences").toArray().size(), 1);
        QCOMPARE(o.value("lines").toArray()[2].toObject().value("exit").toInt(), 3);
    }

    // check --csv and restore --dry-run --csv: only the CSV (RFC 4180) on
    // stdout, the closing table on stderr, also with -q.
    void csvTables_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<QByteArray>("summary");
        QTest::newRow("check") << QStringList{"check"} << 1
                               << QByteArray("line,device,name,saved,live\r\n"
                                             "line-0,1,TARGET,+0000100,+0000200\r\n")
                               << QByteArray("1 setting differs");
        QTest::newRow("restore --dry-run") << QStringList{"restore", "--dry-run"} << 0
                                           << QByteArray("line,device,name,now,file,action,why\r\n"
                                                         "line-0,1,TARGET,+0000200,+0000100,would write,\r\n"
                                                         "line-0,1,ACTUAL,+0000006,+0000005,left out,"
                                                         "\"a count, not a setting; --with-actual restores it\"\r\n")
                                           << QByteArray("would write 1");
    }
    void csvTables()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, csv);
        QFETCH(QByteArray, summary);
        QVERIFY(startLines({{1}, {2}}));
        set(0, 1, 0, "+0000100");
        set(0, 1, 1, "+0000005");
        const QString snapshot = file(QStringLiteral("csv.json"));
        QCOMPARE(ctl({"backup", "--plant", writePlant(QStringLiteral("plant.toml"), {}, {"[1]", "[2]"}), "-o", snapshot, "-q"}).code, 0);
        set(0, 1, 0, "+0000200");   // TARGET: a setting
        set(0, 1, 1, "+0000006");   // ACTUAL: a live count
        clearArrivals();
        const Run r = ctl(args + QStringList{snapshot, "--csv", "-q"});
        QVERIFY2(r.code == code, r.err.constData());
        QCOMPARE(r.out, csv);
        QVERIFY2(QString::fromUtf8(r.err).contains(QRegularExpression("line-0 +1 +" + QRegularExpression::escape(summary))),
                 r.err.constData());
        QVERIFY2(QString::fromUtf8(r.err).contains(QRegularExpression("line-1 +1 +matches")), r.err.constData());
        for (auto &l : lines)
            QVERIFY(!l->received().contains("W:"));
    }

    // Ctrl-C during a restore: every line stops after the frame in flight,
    // nothing more is sent, and the values and closing table are still
    // printed, also with -q.
    void interruptStopsRestore_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("table") << QStringList{};
        QTest::newRow("-q") << QStringList{"-q"};
    }
    void interruptStopsRestore()
    {
        QFETCH(QStringList, args);
        QVERIFY(startLines({{1}, {1}, {1}}, true));
        const QString plant = writePlant(QStringLiteral("plant.toml"), {}, {"[1]", "[1]", "[1]"});
        const QString snapshot = file(QStringLiteral("interrupt.json"));
        QCOMPARE(ctl({"backup", "--plant", plant, "-o", snapshot, "-q"}).code, 0);
        for (int l = 0; l < 3; ++l)
            for (int i : {0, 3, 4, 7})
                set(l, 1, i, i == 0 ? "-0000001" : "+0000005");
        clearArrivals();
        QVector<qsizetype> atSignal;
        const Run r = ctl(QStringList{"restore", snapshot, "--plant", plant} + args, [&] {
            if (atSignal.isEmpty() && running && lines[0]->received().count("W:") == 2) {
                for (auto &l : lines)
                    atSignal << l->received().count("W:");
                ::kill(pid_t(running->processId()), SIGINT);
            }
        });
        QCOMPARE(r.code, 130);
        QTest::qWait(300);
        QCOMPARE(lines[0]->received().count("W:"), 2);
        for (int l = 0; l < 3; ++l) {
            const qsizetype sent = lines[size_t(l)]->received().count("W:");
            QVERIFY2(sent <= atSignal[l] + 1 && sent < 4, qPrintable(QStringLiteral("line-%1: %2 sent").arg(l).arg(sent)));
            QVERIFY2(QString::fromUtf8(r.out).contains(QRegularExpression(QStringLiteral("line-%1 +1 +interrupted").arg(l))),
                     r.out.constData());
        }
        QVERIFY2(r.err.contains("line-0: device 1: interrupted after sending 2 of 4 values: sent, not verified: "), r.err.constData());
        QVERIFY(r.out.contains("not verified") && r.out.contains("not sent"));
    }

    // Refused input exits 2 and sends nothing on any line.
    void refusedSendsNothing_data()
    {
        QTest::addColumn<QString>("plantTail");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("unknown key") << "speed = 1\n" << QStringList{"backup", "-o", "x.json"} << "plant.toml:8: unknown key";
        QTest::newRow("line twice on one port") << "[[line]]\nname = \"again\"\nport = \"@LINK@\"\n"
                                                << QStringList{"backup", "-o", "x.json"} << "is also the port of \u201Cline-0\u201D";
        QTest::newRow("unknown --line") << QString() << QStringList{"backup", "-o", "x.json", "--line", "line-0,line-9"} << "line-9";
        QTest::newRow("snapshot with --port") << QString() << QStringList{"check", "@SNAPSHOT@", "--port", "COM1"} << "--plant, not --port";
        QTest::newRow("trace") << QString() << QStringList{"check", "@SNAPSHOT@", "--trace", "t.txt"} << "--trace";
        QTest::newRow("restore --csv without --dry-run") << QString() << QStringList{"restore", "@SNAPSHOT@", "--csv"}
                                                         << "CSV with --dry-run only";
    }
    void refusedSendsNothing()
    {
        QFETCH(QString, plantTail);
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        QVERIFY(startLines({{0}, {0}}));
        QVERIFY(lines[0]->setLink(file(QStringLiteral("link0"))));
        const QString plant = writePlant(QStringLiteral("plant.toml"), plantTail.replace("@LINK@", file("link0")).toUtf8());
        Snapshot s;
        s.plant = true;
        s.lines.append({QStringLiteral("line-0"), lines[0]->slavePath(), {}});
        QFile f(file(QStringLiteral("s.json")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(s.toJson());
        f.close();
        args.replaceInStrings("@SNAPSHOT@", f.fileName());
        if (args.first() == QLatin1String("backup"))
            args << "--plant" << plant;
        const Run r = ctl(args);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(said.toUtf8()), r.err.constData());
        QTest::qWait(20);
        for (auto &l : lines)
            QCOMPARE(l->received(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestPlantCtl)
#include "tst_plant.moc"
