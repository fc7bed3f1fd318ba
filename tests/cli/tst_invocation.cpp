// kestran-ctl's command line parsed in process: what it refuses (exit 2, with
// the problem named) and what a good line gives the subcommand.
#include "cli.h"

#include <QtTest>

using namespace kestran::cli;

class TestInvocation : public QObject {
    Q_OBJECT

private slots:
    void refused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("device 8") << QStringList{"read", "-d", "8"} << "0 to 7";
        QTest::newRow("device -1") << QStringList{"read", "-d", "-1"} << "0 to 7";
        QTest::newRow("from 9") << QStringList{"restore", "f.json", "-d", "1", "--from", "9"} << "--from";
        QTest::newRow("json and csv") << QStringList{"read", "-d", "1", "--json", "--csv"} << "exclude";
        QTest::newRow("timeout zero") << QStringList{"read", "-d", "1", "--timeout", "0"} << "--timeout";
        QTest::newRow("retries over") << QStringList{"read", "-d", "1", "--retries", "101"} << "--retries";
        QTest::newRow("count zero") << QStringList{"monitor", "--count", "0"} << "--count";
        QTest::newRow("duration in e-notation") << QStringList{"monitor", "--duration", "1e3"} << "--duration";
        QTest::newRow("option of another subcommand") << QStringList{"read", "-d", "1", "--all"} << "read takes no option --all";
        QTest::newRow("option twice") << QStringList{"read", "-d", "1", "-d", "2"} << "more than once";
        QTest::newRow("unknown option") << QStringList{"read", "--colour"} << "colour";
        QTest::newRow("unknown subcommand") << QStringList{"erase"} << "no subcommand \u201Cerase\u201D";
        QTest::newRow("help of no subcommand") << QStringList{"help", "erase"} << "erase";
        QTest::newRow("--only of no setting") << QStringList{"restore", "f.json", "--only", "SPEED"} << "is no setting";
        QTest::newRow("--skip of a read-only value") << QStringList{"restore", "f.json", "--skip", "DIFFERENCE"} << "read-only";
    }
    void refused()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        const ParsedLine p = parseCommandLine(args, QStringLiteral("COM1"));
        QCOMPARE(p.action, ParsedLine::Fail);
        QCOMPARE(p.exitCode, int(kUsage));
        QVERIFY2(p.text.contains(said), qPrintable(p.text));
    }

    void printed_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("starts");
        QTest::newRow("--version") << QStringList{"--version"} << "kestran-ctl ";
        QTest::newRow("--help") << QStringList{"--help"} << "Usage: kestran-ctl SUBCOMMAND";
        QTest::newRow("help read") << QStringList{"help", "read"} << "Usage: kestran-ctl read -d N";
        QTest::newRow("restore --help") << QStringList{"restore", "--help"} << "Usage: kestran-ctl restore FILE";
    }
    void printed()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, starts);
        const ParsedLine p = parseCommandLine(args, QString());
        QCOMPARE(p.action, ParsedLine::Print);
        QCOMPARE(p.exitCode, int(kDone));
        QVERIFY2(p.text.startsWith(starts), qPrintable(p.text));
    }

    // Every subcommand in the table has a run function and help, and the help lists it.
    void table()
    {
        const QString help = mainHelp();
        for (const Command &c : commandTable()) {
            QVERIFY(c.run);
            QVERIFY2(help.contains(QStringLiteral("  %1 ").arg(QLatin1String(c.name))), c.name);
            QVERIFY(commandHelp(c).contains(QLatin1String(c.example)));
        }
        QCOMPARE(parseCommandLine({}, QString()).rawText, true);   // no subcommand: the usage on stderr
    }

    void accepted()
    {
        const ParsedLine p = parseCommandLine({"restore", "f.json", "-d", "3", "--from", "1", "--only", "target,DEBOUNCE(1)",
                                               "--skip", "alarm", "--with-actual", "--dry-run", "--csv", "--timeout", "50"},
                                              QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(p.action, ParsedLine::Run);
        QCOMPARE(QLatin1String(p.command->name), QLatin1String("restore"));
        const Invocation &inv = p.inv;
        QCOMPARE(inv.arguments, QStringList{"f.json"});
        QCOMPARE(inv.port, QStringLiteral("/dev/ttyUSB0"));
        QVERIFY(!inv.portGiven);
        QCOMPARE(inv.device, 3);
        QCOMPARE(inv.from, 1);
        QCOMPARE(inv.choice.only, (QVector<char>{'0', '5'}));
        QCOMPARE(inv.choice.skip, QVector<char>{'7'});
        QVERIFY(inv.choice.withLiveCounts && inv.dryRun);
        QCOMPARE(inv.format, Format::Csv);
        QCOMPARE(inv.read.timeoutMs, 50);
        QCOMPARE(inv.read.quietMs, 50);   // never longer than the time-out
        // scan asks briefly by default; --port outweighs KESTRAN_PORT.
        const ParsedLine scan = parseCommandLine({"scan", "--port", "COM2"}, QStringLiteral("COM1"));
        QCOMPARE(scan.inv.read.timeoutMs, 200);
        QCOMPARE(scan.inv.read.retries, 0);
        QCOMPARE(scan.inv.port, QStringLiteral("COM2"));
    }
};

QTEST_GUILESS_MAIN(TestInvocation)
#include "tst_invocation.moc"
