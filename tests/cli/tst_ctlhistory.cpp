// kestran-ctl's history end to end: the built program writes and restores on
// simulated counters, and `history` reads back who set what, before and after;
// a program killed between the intent and the outcome; bad filters; a chain
// that does not hold; a plant that requires a record where none can be made.
#include "frames.h"
#include "ptycounterline.h"
#include "waituntil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace kestran;
using sim::PtyCounterLine;

namespace {

struct Run {
    int code = -1;
    QByteArray out, err;
};

} // namespace

class TestCtlHistory : public QObject {
    Q_OBJECT

    std::unique_ptr<PtyCounterLine> line;
    QTemporaryDir dir;
    int n = 0;
    QString db;   // this test function's history

    Run ctl(const QStringList &args, const std::function<bool(QProcess &)> &during = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRAN_HISTORY"), QStringLiteral("sqlite:") + db);
        env.remove(QStringLiteral("KESTRAN_PORT"));
        p.setProcessEnvironment(env);
        p.start(qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl"), args);
        waitUntil([&] { return (during && during(p)) || p.state() == QProcess::NotRunning; }, 30000);
        p.waitForFinished(30000);
        Run r;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    QJsonArray history(const QStringList &more = {})
    {
        const Run r = ctl(QStringList{"history", "--json"} + more);
        return QJsonDocument::fromJson(r.out).array();
    }
    QString port() const { return line->slavePath(); }

private slots:
    void init()
    {
        db = dir.filePath(QStringLiteral("h%1.sqlite").arg(++n));
        line = std::make_unique<PtyCounterLine>();
        QVERIFY(line->start());
    }

    void writeOnRecord()
    {
        Run r = ctl({"write", "--port", port(), "-d", "3", "TARGET=1500", "RESET=20", "-q"});
        QCOMPARE(r.code, 0);
        // The counter keeps another value than the one written.
        r = ctl({"write", "--port", port(), "-d", "3", "RESET=30", "-q"}, [&](QProcess &) {
            if (line->received().contains("*3W:3=+0000030"))
                line->withLine([](sim::CounterLine &l) { l.setValue(3, 3, "+0000031"); });
            return false;
        });
        QCOMPARE(r.code, 6);
        const QJsonArray all = history();
        QCOMPARE(all.size(), 3);
        const QJsonObject reset = all[0].toObject(), reset0 = all[1].toObject(), target = all[2].toObject();
        QCOMPARE(reset[QLatin1String("name")].toString(), QStringLiteral("RESET"));
        QCOMPARE(reset[QLatin1String("before")].toString(), QStringLiteral("+0000020"));
        QCOMPARE(reset[QLatin1String("outcome")].toString(), QStringLiteral("read back as another value"));
        QCOMPARE(reset0[QLatin1String("before")].toString(), QStringLiteral("+0000030"));   // as the simulator starts
        QCOMPARE(target[QLatin1String("before")].toString(), QStringLiteral("+0004000"));
        QCOMPARE(target[QLatin1String("sent")].toString(), QStringLiteral("+0001500"));
        QCOMPARE(target[QLatin1String("outcome")].toString(), QStringLiteral("verified"));
        QCOMPARE(target[QLatin1String("group")], reset0[QLatin1String("group")]);
        QVERIFY(target[QLatin1String("group")] != reset[QLatin1String("group")]);
        QCOMPARE(target[QLatin1String("port")].toString(), port());
        QVERIFY(!target[QLatin1String("who")].toString().isEmpty());
        QVERIFY(target[QLatin1String("program")].toString().startsWith(QLatin1String("kestran-ctl ")));

        // Filters and forms.
        QCOMPARE(history({"RESET"}).size(), 2);
        QCOMPARE(history({"-d", "2"}).size(), 0);
        QCOMPARE(history({"--line", port(), "--count", "1"}).size(), 1);
        QCOMPARE(history({"--who", "nobody-here"}).size(), 0);
        const QJsonArray stood = history({"--at", QDateTime::currentDateTimeUtc().addSecs(5).toString(Qt::ISODate)});
        QCOMPARE(stood.size(), 2);
        QCOMPARE(stood[0].toObject()[QLatin1String("sent")].toString(), QStringLiteral("+0000030"));
        QCOMPARE(history({"--at", "2000-01-01"}).size(), 0);
        r = ctl({"history", "--csv"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith("time,who,machine,line,device,name,before,sent,outcome,group\r\n"), r.out.constData());
        QCOMPARE(r.out.count("\r\n"), 4);
        r = ctl({"history"});
        QVERIFY2(r.out.contains("read back as another value"), r.out.constData());
        r = ctl({"history", "--verify"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("5 entries: the chain holds"), r.out.constData());
    }

    // Killed after the first value went out: the intent is there, its outcome unknown.
    void killedMidWrite()
    {
        const Run r = ctl({"write", "--port", port(), "-d", "1", "TARGET=1", "ACTUAL=2", "-q"}, [&](QProcess &p) {
            if (line->received().contains("W:0=")) {
                p.kill();
                return true;
            }
            return false;
        });
        QCOMPARE(r.code, -1);
        const QJsonArray all = history();
        QCOMPARE(all.size(), 2);
        for (const QJsonValue &e : all)
            QCOMPARE(e[QLatin1String("outcome")].toString(), QStringLiteral("outcome unknown"));
        QVERIFY(ctl({"history"}).out.contains("outcome unknown"));
    }

    void restoreAndBackupOnRecord()
    {
        const QString saved = dir.filePath("saved.json");
        QCOMPARE(ctl({"backup", "--port", port(), "-d", "4", "-o", saved, "-q"}).code, 0);
        QCOMPARE(ctl({"write", "--port", port(), "-d", "4", "ALARM=9", "-q"}).code, 0);
        QCOMPARE(ctl({"restore", saved, "--port", port(), "-q"}).code, 0);
        QCOMPARE(ctl({"check", saved, "--port", port(), "-q"}).code, 0);
        const QJsonArray all = history();
        QCOMPARE(all.size(), 4);
        QCOMPARE(all[0][QLatin1String("kind")].toString(), QStringLiteral("check"));
        QCOMPARE(all[0][QLatin1String("result")].toString(), QStringLiteral("matches"));
        QCOMPARE(all[1][QLatin1String("name")].toString(), QStringLiteral("ALARM"));
        QCOMPARE(all[1][QLatin1String("before")].toString(), QStringLiteral("+0000009"));
        QCOMPARE(all[1][QLatin1String("sent")].toString(), QStringLiteral("+0000005"));
        QCOMPARE(all[1][QLatin1String("outcome")].toString(), QStringLiteral("verified"));
        QCOMPARE(all[3][QLatin1String("kind")].toString(), QStringLiteral("backup"));
        QFile f(saved);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(all[3][QLatin1String("sha256")].toString(),
                 QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex()));
        QCOMPARE(all[3][QLatin1String("devices")].toString(), QStringLiteral("4"));
    }

    void badFilters_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("since") << QStringList{"--since", "yesterday"} << "--since \u201Cyesterday\u201D: not a time";
        QTest::newRow("until") << QStringList{"--until", "2026-13-01"} << "--until \u201C2026-13-01\u201D: not a time";
        QTest::newRow("at") << QStringList{"--at", "12:00"} << "--at \u201C12:00\u201D: not a time";
        QTest::newRow("span") << QStringList{"--since", "2026-12-10", "--until", "2026-12-09"} << "--since is after --until";
        QTest::newRow("at and since") << QStringList{"--at", "2026-12-10", "--since", "2026-12-09"} << "--at excludes";
        QTest::newRow("name") << QStringList{"TARGETS"} << "\u201CTARGETS\u201D: unknown name";
        QTest::newRow("read-only") << QStringList{"DIFFERENCE"} << "DIFFERENCE is read-only";
        QTest::newRow("device") << QStringList{"-d", "8"} << "the device number must be 0 to 7";
        QTest::newRow("who") << QStringList{"--who", " "} << "--who wants a user name";
        QTest::newRow("verify and filter") << QStringList{"--verify", "-d", "1"} << "--verify walks the whole chain";
        QTest::newRow("history text") << QStringList{"--history", "my db"} << "--history: \u201Cmy db\u201D is not";
        QTest::newRow("port") << QStringList{"--port", "COM1"} << "history takes no option --port";
    }
    void badFilters()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Run r = ctl(QStringList{"history"} + args);
        QCOMPARE(r.code, 2);
        QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        QVERIFY(r.out.isEmpty());
    }

    // An entry changed in the file: --verify names it, exit 1.
    void alteredEntry()
    {
        QCOMPARE(ctl({"write", "--port", port(), "-d", "0", "TARGET=5", "-q"}).code, 0);
        QCOMPARE(ctl({"write", "--port", port(), "-d", "0", "TARGET=6", "-q"}).code, 0);
        {
            QSqlDatabase s = QSqlDatabase::addDatabase("QSQLITE", "alter");
            s.setDatabaseName(db);
            QVERIFY(s.open());
            QVERIFY(QSqlQuery(s).exec("UPDATE kestran_history SET before = '+0000000' WHERE seq = 3"));
            s.close();
        }
        QSqlDatabase::removeDatabase("alter");
        const Run r = ctl({"history", "--verify"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("entry 3 does not fit the chain (2 before it hold)"), r.err.constData());
    }

    // A history that must record every change, and cannot: nothing goes out.
    void requiredAndImpossible()
    {
        const QString plant = dir.filePath("plant.toml");
        const QString snapshot = dir.filePath("snap.json");
        QFile f(plant);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[history]\ndatabase = \"sqlite:/proc/no-such/h.sqlite\"\nrequire = true\n\n"
                               "[[line]]\nname = \"press-1\"\nport = \"%1\"\ndevices = [2]\n").arg(port()).toUtf8());
        f.close();
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("KESTRAN_HISTORY"));
        QCOMPARE(ctl({"backup", "--plant", plant, "-o", snapshot, "-q", "--history", "none"}).code, 0);
        QCOMPARE(ctl({"write", "--port", port(), "-d", "2", "ALARM=8", "-q", "--history", "none"}).code, 0);
        const QByteArray before = line->received();
        p.setProcessEnvironment(env);
        p.start(qEnvironmentVariable("KESTRAN_BUILD_DIR") + QStringLiteral("/src/kestran-ctl"),
                {"restore", snapshot, "--plant", plant, "-q"});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 8);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("nothing written") && err.contains("/proc/no-such/h.sqlite"), err.constData());
        // Read, but nothing written.
        QVERIFY(!line->received().mid(before.size()).contains("W:"));
    }
};

QTEST_GUILESS_MAIN(TestCtlHistory)
#include "tst_ctlhistory.moc"
