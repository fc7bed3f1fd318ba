// kestran-ctl's command line parsed in process: what it refuses (exit 2, with
// the problem named) and what a good line gives the subcommand; the exit
// code of each way an operation can end, and the words for a read and a write
// that did not end whole, which the one-line and the plant commands share.
#include "cli.h"
#include "linebackup.h"
#include "linecheck.h"

#include <QtTest>

#include <csignal>

using namespace kestran;
using namespace kestran::cli;

Q_DECLARE_METATYPE(kestran::Ending)

namespace {

Ending lostBy(SerialFault fault, bool written = false)
{
    Ending e;
    e.lost = true;
    e.fault = fault;
    e.written = written;
    return e;
}

Ending stopped(bool lostToo = false)
{
    Ending e = lostToo ? lostBy(SerialFault::Lost) : Ending();
    e.interrupted = true;
    return e;
}

// The code of a result `of` kind that ended so and holds what `holds` names:
// a write its findings, a backup, check or restore one device a word.
int exitOf(const QString &of, const Ending &ending, const QString &holds)
{
    const QStringList words = holds.split(QLatin1Char(','), Qt::SkipEmptyParts);
    WriteReport w;
    w.ending = ending;
    if (words.contains("mismatch"))
        w.mismatches.append({'0', QStringLiteral("+0000001"), QStringLiteral("+0000002")});
    if (words.contains("unverified"))
        w.unverified.append('3');
    LineBackup b;
    LineCheck c;
    LineRestore r;
    b.ending = c.ending = r.ending = ending;
    for (const QString &word : words) {
        DeviceBackup saved;
        saved.status = word == "saved" ? DeviceBackup::Saved : word == "absent" ? DeviceBackup::Absent : DeviceBackup::Incomplete;
        b.devices.append(saved);
        DeviceCheck checked;
        checked.read.values.insert('0', QStringLiteral("+0000001"));   // it answered
        if (word == "differs")
            checked.differences.append(Difference());
        if (word == "unread")
            checked.unread.append('0');
        c.devices.append(checked);
        DeviceRestore restored;   // "read": read in full, nothing to write
        for (char i = '0'; i < (word == "incomplete" ? '7' : '8'); ++i)
            restored.now.values.insert(i, QStringLiteral("+0000001"));
        restored.written = word == "written" || word == "mismatch";
        if (word == "mismatch")
            restored.write.mismatches = w.mismatches;
        r.devices.append(restored);
    }
    return of == "write" ? writeExit(w) : of == "backup" ? backupExit(b) : of == "check" ? checkExit(c)
         : of == "restore" ? restoreExit(r) : endedExit(ending);
}

// A column of the current data row, where QFETCH's variable would be in the way.
template <typename T>
T fetched(const char *column)
{
    return *static_cast<T *>(QTest::qData(column, qMetaTypeId<T>()));
}

} // namespace

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
        QTest::newRow("help write") << QStringList{"help", "write"} << "Usage: kestran-ctl write -d N";
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
        if (args.size() == 2) {   // "help X" and "X --help" are the same text
            const bool helpFirst = args[0] == QLatin1String("help");
            const QString sub = args[helpFirst ? 1 : 0];
            const QStringList other = helpFirst ? QStringList{sub, "--help"} : QStringList{"help", sub};
            QCOMPARE(parseCommandLine(other, QString()).text, p.text);
        }
    }

    // Every subcommand in the table has a run function and help, and the help lists it.
    void table()
    {
        const QString help = mainHelp();
        for (const Command &c : commandTable()) {
            QVERIFY(c.run);
            QCOMPARE(c.plantForm != PlantForm::None, c.runPlant != nullptr);
            for (const ExitMeaning &e : exitMeanings())
                QVERIFY2(commandHelp(c).contains(QStringLiteral("\n  %1  ").arg(e.code)), c.name);
            QVERIFY2(help.contains(QStringLiteral("  %1 ").arg(QLatin1String(c.name))), c.name);
            QVERIFY(commandHelp(c).contains(QLatin1String(c.example)));
        }
        QCOMPARE(parseCommandLine({}, QString()).rawText, true);   // no subcommand: the usage on stderr
    }

    // Which runs serve the lines of a plant at once, as the table says.
    void plantRouting_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("plant");
        QTest::newRow("backup of one line") << QStringList{"backup", "-d", "1", "-o", "x.json"} << false;
        QTest::newRow("backup --plant") << QStringList{"backup", "--plant", "p.toml", "-o", "x.json"} << true;
        QTest::newRow("backup --line") << QStringList{"backup", "--line", "a", "-o", "x.json"} << true;
        QTest::newRow("restore from standard input") << QStringList{"restore", "-"} << false;
        QTest::newRow("restore --line") << QStringList{"restore", "s.json", "--line", "a"} << true;
        QTest::newRow("check of a backup") << QStringList{"check", "b.json"} << true;
        QTest::newRow("scan") << QStringList{"scan"} << false;
    }
    void plantRouting()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, plant);
        const ParsedLine p = parseCommandLine(args, QStringLiteral("COM1"));
        QCOMPARE(p.action, ParsedLine::Run);
        QCOMPARE(isPlantCommand(*p.command, p.inv), plant);
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
        // --only and --skip gather over their repeats and comma lists.
        const ParsedLine skips = parseCommandLine({"restore", "f.json", "--skip", "RESET", "--skip", "alarm,DEBOUNCE(1)"}, QString());
        QCOMPARE(skips.action, ParsedLine::Run);
        QCOMPARE(skips.inv.choice.skip, (QVector<char>{'3', '7', '5'}));
        // scan asks briefly by default; --port outweighs KESTRAN_PORT.
        const ParsedLine scan = parseCommandLine({"scan", "--port", "COM2"}, QStringLiteral("COM1"));
        QCOMPARE(scan.inv.read.timeoutMs, 200);
        QCOMPARE(scan.inv.read.retries, 0);
        QCOMPARE(scan.inv.port, QStringLiteral("COM2"));
    }

    // A loss of a port that cannot be used is exit 3, any other loss 5, a stop
    // 128 + the signal; past those, what the operation found decides.
    void exitCodes_data()
    {
        QTest::addColumn<QString>("of");
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<QString>("holds");
        QTest::addColumn<int>("code");
        const int sigint = 128 + SIGINT;
        QTest::newRow("ran to its end") << "ended" << Ending() << "" << int(kDone);
        QTest::newRow("port busy") << "ended" << lostBy(SerialFault::Busy) << "" << int(kPortFailed);
        // A close at our first bytes: a refusal while they were reads, a loss once a write went out.
        QTest::newRow("closed at a read") << "ended" << lostBy(SerialFault::ClosedUnanswered) << "" << int(kPortFailed);
        QTest::newRow("closed at a write") << "write" << lostBy(SerialFault::ClosedUnanswered, true) << "" << int(kLineLost);
        QTest::newRow("port busy after a write") << "write" << lostBy(SerialFault::Busy, true) << "" << int(kPortFailed);
        QTest::newRow("line server: no writer") << "write" << lostBy(SerialFault::NotAllowed, true) << "" << int(kPortFailed);
        QTest::newRow("line server: line down") << "ended" << lostBy(SerialFault::Unavailable) << "" << int(kPortFailed);
        QTest::newRow("line lost") << "ended" << lostBy(SerialFault::Lost) << "" << int(kLineLost);
        QTest::newRow("interrupted") << "ended" << stopped() << "" << sigint;
        QTest::newRow("a loss outweighs a stop") << "ended" << stopped(true) << "" << int(kLineLost);
        QTest::newRow("backup saved") << "backup" << Ending() << "saved,absent" << int(kDone);
        QTest::newRow("backup incomplete") << "backup" << Ending() << "saved,incomplete" << int(kNoAnswer);
        QTest::newRow("backup of none") << "backup" << Ending() << "absent" << int(kNoAnswer);
        QTest::newRow("backup, port busy") << "backup" << lostBy(SerialFault::Busy) << "saved" << int(kPortFailed);
        QTest::newRow("check differs") << "check" << Ending() << "match,differs" << int(kDiffers);
        QTest::newRow("check not all read") << "check" << Ending() << "differs,unread" << int(kNoAnswer);
        QTest::newRow("check interrupted") << "check" << stopped() << "match" << sigint;
        QTest::newRow("write mismatch") << "write" << Ending() << "mismatch,unverified" << int(kMismatch);
        QTest::newRow("write unverified") << "write" << Ending() << "unverified" << int(kNoAnswer);
        QTest::newRow("write stopped in read-back") << "write" << stopped() << "mismatch" << sigint;
        QTest::newRow("write lost") << "write" << lostBy(SerialFault::Lost) << "" << int(kLineLost);
        QTest::newRow("restore done") << "restore" << Ending() << "read,written" << int(kDone);
        QTest::newRow("restore mismatch and incomplete") << "restore" << Ending() << "mismatch,incomplete" << int(kMismatch);
        QTest::newRow("restore, closed at its first write") << "restore" << lostBy(SerialFault::ClosedUnanswered, true) << "written" << int(kLineLost);
        QTest::newRow("restore, closed at its first read") << "restore" << lostBy(SerialFault::ClosedUnanswered) << "read" << int(kPortFailed);
    }
    // What is said of a read that is not whole: the reason of a value out of
    // shape, the damaged ones marked, line bytes escaped.
    void verdictWords_data()
    {
        QTest::addColumn<QString>("came");   // index=field, ... ; "!" before an index: damaged
        QTest::addColumn<QStringList>("said");
        QTest::newRow("whole") << "0=+1,1=+1,2=+1,3=+1,4=+1,5=+1,6=+1,7=+1" << QStringList{};
        QTest::newRow("nothing") << "" << QStringList{"device 3 did not answer; not saved"};
        QTest::newRow("damaged only") << "!0" << QStringList{"device 3: incomplete answer, missing TARGET (garbled), ACTUAL, "
                                                               "DIFFERENCE, RESET, DEBOUNCE0, DEBOUNCE1, DEBOUNCE2, ALARM; not saved"};
        QTest::newRow("out of shape") << "0=+1,1=+1,2=+1,3=+1,4=~+\x1b" "00001,5=+1,6=+1,7=+1"
                                      << QStringList{"device 3: DEBOUNCE0 came as +\\x1b00001, which is no DEBOUNCE0 value",
                                                     "device 3: incomplete answer, missing DEBOUNCE0; not saved"};
    }
    void verdictWords()
    {
        QFETCH(QString, came);
        ReadResult r;
        r.device = 3;
        for (const QString &item : came.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (item.startsWith(QLatin1Char('!'))) {
                r.garbled.append(char(item[1].unicode()));
                continue;
            }
            const char index = char(item[0].unicode());
            QString field = item.mid(2);
            if (field.startsWith(QLatin1Char('~')))   // without its shape
                r.shapeless.insert(index, field.mid(1));
            else
                r.values.insert(index, field);
        }
        QCOMPARE(verdictText(r, QStringLiteral("not saved")), fetched<QStringList>("said"));
    }

    // What is said of a write that ended otherwise than verified in full.
    void writeWords_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<int>("sent");
        QTest::addColumn<QString>("said");
        QTest::newRow("lost after one") << lostBy(SerialFault::Lost, true) << 1
                                        << "device 2: the line was lost after sending 1 of 2 values (): "
                                           "sent, not verified: TARGET; not sent: ALARM";
        QTest::newRow("closed at the first write") << lostBy(SerialFault::ClosedUnanswered, true) << 1
                                                   << "device 2: the line was lost after sending 1 of 2 values";
        QTest::newRow("refused") << lostBy(SerialFault::Busy, true) << 1 << "device 2: ; nothing written";
        QTest::newRow("no value came back") << Ending() << 2 << "device 2: sent, but no value came back for TARGET (garbled), ALARM";
    }
    void writeWords()
    {
        QFETCH(Ending, ending);
        WriteReport w;
        w.device = 2;
        w.steps = {{'0', QStringLiteral("+0000001")}, {'7', QStringLiteral("+0000002")}};
        w.sent = fetched<int>("sent");
        w.ending = ending;
        if (!ending.stopped()) {
            w.readBack.attempts = 1;
            w.readBack.garbled = {'0'};
            w.unverified = {'0', '7'};
        }
        const QStringList said = writeProblems(w);
        QCOMPARE(said.size(), 1);
        QVERIFY2(said.first().startsWith(fetched<QString>("said")), qPrintable(said.first()));
    }

    void exitCodes()
    {
        QFETCH(QString, of);
        QFETCH(Ending, ending);
        QFETCH(QString, holds);
        QFETCH(int, code);
        QCOMPARE(exitOf(of, ending, holds), code);
    }
};

QTEST_GUILESS_MAIN(TestInvocation)
#include "tst_invocation.moc"
