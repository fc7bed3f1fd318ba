// kestran-ctl: the KESTRAN counters from a script.
#include "cli.h"

#include "portname.h"
#include "valueinput.h"
#include "stdtext.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QSet>

using namespace kestran;
using namespace kestran::cli;

namespace {

struct Subcommand {
    const char *name;
    const char *synopsis;
    const char *summary;
    const char *details;
    const char *example;
    QStringList options;   // long names of the options it takes
};

const QList<Subcommand> &subcommands()
{
    static const QList<Subcommand> list = {
        {"ports", "ports [--json|--csv]",
         "list the serial ports (COMn) and whether each can be opened now",
         "Lists the COMn table the window uses: number, device path, description and\n"
         "whether the port can be opened now (usable, busy with the holder's pid, no\n"
         "permission, missing). Opens nothing.",
         "kestran-ctl ports --json",
         {"json", "csv"}},
        {"read", "read -d N [--json|--csv] [--timeout MS] [--retries K]",
         "read the eight values of one counter",
         "Sends one read-all command and prints the eight values of the counter: name,\n"
         "index, value field as received and the whole number. A partial answer is asked\n"
         "again up to K times (default 2), each attempt waiting up to MS milliseconds\n"
         "(default 1000). What came is printed, what is missing is named, and the exit\n"
         "code is 4.",
         "kestran-ctl read --port /dev/ttyUSB0 -d 3 --json",
         {"port", "device", "json", "csv", "timeout", "retries"}},
        {"write", "write -d N NAME=VALUE... [--json] [--timeout MS] [--retries K]",
         "write values to one counter and verify them",
         "NAME is TARGET, ACTUAL, RESET, DEBOUNCE0, DEBOUNCE1, DEBOUNCE2 or ALARM (any\n"
         "case; DIFFERENCE is read-only). VALUE is a whole number in the setting's range\n"
         "(TARGET, ACTUAL, RESET -9999999 to 9999999, DEBOUNCE 0 to 999, ALARM 0 to 9),\n"
         "sent as the value field (1234 -> +0001234), or a value field such as +0001234\n"
         "with the setting's shape. Anything else is refused with exit 2 and nothing is\n"
         "sent. The values go out in the window's Setup order, each followed by a 250 ms\n"
         "pause, then the counter is read back and every sent value compared: a\n"
         "mismatch exits 6. Prints, per value, what was sent and what was read back; a\n"
         "value is written once its read-back matches. Ctrl-C stops after the value\n"
         "being sent, sends nothing more, and says what was sent and verified.",
         "kestran-ctl write --port COM1 -d 3 TARGET=1500 DEBOUNCE0=20",
         {"port", "device", "json", "timeout", "retries"}},
        {"backup", "backup (-d N | --all) -o FILE [--timeout MS] [--retries K]\n"
                   "       kestran-ctl backup --plant PLANT -o SNAPSHOT [--line NAME...]",
         "save the values of one or all counters, or of a whole plant, to a file",
         "Reads one counter (-d N) or asks devices 0 to 7 (--all) and saves those that\n"
         "answer in full to FILE (\"-\" for standard output): a JSON document with the\n"
         "format name and version, the time, the tool version, the port and, per device,\n"
         "its number and its eight values by name. With --all a device that does not\n"
         "answer at all is skipped; an incomplete answer is not saved and exits 4.\n\n"
         "With --plant every line of the plant file (or those --line names) is served\n"
         "at once, each as backup --all would (or only the devices the file lists), and\n"
         "one snapshot (version 2) holds per line its name, port and devices. Progress\n"
         "is said per line, and a closing table gives each line's devices, result and\n"
         "time. A line that fails is reported and left out; the others are saved, and\n"
         "the exit code is the worst line's.",
         "kestran-ctl backup --port COM1 --all -o plant.json",
         {"port", "device", "all", "output", "timeout", "retries", "plant", "line"}},
        {"restore", "restore FILE [-d N] [--from M] [--only NAMES|--skip NAMES] [--with-actual] [--dry-run] [--json|--csv]\n"
                    "       kestran-ctl restore SNAPSHOT [--plant PLANT] [--line NAME...] [--only NAMES|--skip NAMES]\n"
                    "                   [--with-actual] [--dry-run] [--json|--csv]",
         "put saved values back onto counters, writing only what differs",
         "Reads each counter first and shows, per value, what it holds now and what the\n"
         "file holds; then writes only the values that differ (paced and verified as in\n"
         "write). ACTUAL is the live count, not a setting: it is left out unless\n"
         "--with-actual is given (or ACTUAL is named in --only). --only NAMES restores\n"
         "just those values, --skip NAMES all but those (names as in write, separated\n"
         "by commas). Without -d every device of the file is restored onto its own\n"
         "number; -d N restores device N; --from M -d N copies saved device M onto\n"
         "device N (a replacement counter). --dry-run shows and writes nothing; it and\n"
         "the table say which values are left out and why. --csv, with --dry-run only,\n"
         "gives that comparison as CSV. FILE \"-\" reads standard input. A file of\n"
         "another format or version, malformed JSON, a device without values, an\n"
         "unknown name or a value without its shape exits 2 with the place named, and\n"
         "nothing is sent. Ctrl-C stops after the value being sent, sends nothing more,\n"
         "and says what was sent and verified.\n\n"
         "A snapshot (backup --plant) is restored on every saved line at once (or on\n"
         "those --line names), each line on the port the plant file gives it, else on\n"
         "the port saved, under the same rules. The table lists every value written or\n"
         "left, and the closing table each line's result. --csv, with --dry-run only,\n"
         "gives that table as CSV and the closing table on standard error.",
         "kestran-ctl restore plant.json --from 3 -d 3 --port COM1",
         {"port", "device", "from", "dry-run", "json", "csv", "timeout", "retries", "only", "skip", "with-actual", "plant", "line"}},
        {"check", "check FILE [--plant PLANT] [--line NAME...] [--with-actual] [--json|--csv]",
         "compare the live settings with a snapshot or backup",
         "Reads every saved device of every line at once (a snapshot's lines on the\n"
         "ports the plant file gives them, else on the ports saved; a one-line backup\n"
         "on --port) and compares its settings with the file. Each setting that differs\n"
         "is named with its line, device, saved and live value. ACTUAL and DIFFERENCE\n"
         "are live counts and compared only with --with-actual. Exits 0 when every\n"
         "setting matches and 1 when one differs; a line that cannot be reached gives\n"
         "its own code (3, 4 or 5), and the highest code of all lines wins. --json\n"
         "prints one document for monitoring systems; --csv the differences as CSV\n"
         "(line, device, name, saved, live), the closing table then on standard error.",
         "kestran-ctl check plant-snapshot.json --plant plant.toml --json",
         {"port", "json", "csv", "timeout", "retries", "plant", "line", "with-actual"}},
        {"scan", "scan [--timeout MS] [--retries K] [--json|--csv]",
         "find which device numbers 0 to 7 answer",
         "Sends a read-all command to every device number in turn, with a short time-out\n"
         "per address (default 200 ms, no retries), and prints a line per device found.\n"
         "Exits 4 when none answers.",
         "kestran-ctl scan --port /dev/ttyUSB0",
         {"port", "json", "csv", "timeout", "retries"}},
        {"monitor", "monitor [--json] [--duration S] [--count N]",
         "print every frame heard on the line",
         "Listens without sending and prints every frame with a time stamp: replies\n"
         "decoded (device, name, value), read-all and write commands of another master\n"
         "decoded too, anything else as hex; in a value, a byte that is not printable\n"
         "ASCII shows as \\xNN. --json prints one object a line, its time with the\n"
         "offset from UTC. Ends after S seconds, after N frames, or at Ctrl-C (exit 0).",
         "kestran-ctl monitor --port COM1 --json --duration 60",
         {"port", "json", "duration", "count"}},
    };
    return list;
}

const Subcommand *findSubcommand(const QString &name)
{
    for (const Subcommand &s : subcommands())
        if (name == QLatin1String(s.name))
            return &s;
    return nullptr;
}

const char *kExitCodes =
    "Exit codes:\n"
    "  0  done\n"
    "  1  check: a setting differs from the file\n"
    "  2  bad usage or input (nothing was sent)\n"
    "  3  the port cannot be opened (missing, busy, no permission, gateway unreachable\n"
    "     or its port in use by another client)\n"
    "  4  no answer, or an incomplete one\n"
    "  5  the line was lost\n"
    "  6  a written value did not read back\n"
    "  7  standard output or the output file could not be written\n"
    "  130  interrupted by Ctrl-C (143: by SIGTERM); what was sent is said\n";

const char *kCommonOptions =
    "Options:\n"
    "  --port P        the port: COM1 to COM255 (see \"ports\"), a device path, or a\n"
    "                  network gateway: tcp://HOST:PORT or rfc2217://HOST:PORT;\n"
    "                  default: the environment variable KESTRAN_PORT (every\n"
    "                  subcommand but ports and the plant commands)\n"
    "  -d, --device N  the counter's device number, 0 to 7 (read, write, backup and\n"
    "                  restore; scan and monitor take none)\n"
    "  --plant PLANT   the plant file: the lines by name and port (TOML, see the manual)\n"
    "  --line NAME     only this line of the plant (repeat, or NAME,NAME)\n"
    "  --trace FILE    write every byte sent and received to FILE, one line per burst;\n"
    "                  not a file the command reads or writes\n"
    "  -q, --quiet     no progress messages on standard error (errors and results\n"
    "                  are still reported)\n"
    "  -h, --help      this help; \"kestran-ctl help SUBCOMMAND\" explains one\n"
    "  --version       the version\n";

QString mainHelp()
{
    QString text = QStringLiteral(
        "Usage: kestran-ctl SUBCOMMAND [options]\n\n"
        "Reads, writes, saves and restores KESTRAN counters on a serial line (19200 8N1)\n"
        "from scripts. Data goes to standard output, messages to standard error.\n\n"
        "Subcommands:\n");
    for (const Subcommand &s : subcommands())
        text += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(s.name).leftJustified(9), QLatin1String(s.summary));
    text += QStringLiteral("  help     explain a subcommand: kestran-ctl help read\n\n");
    text += QLatin1String(kCommonOptions);
    text += QLatin1Char('\n');
    text += QLatin1String(kExitCodes);
    text += QStringLiteral("\nExample:\n  kestran-ctl read --port /dev/ttyUSB0 -d 3 --json\n");
    return text;
}

QString subcommandHelp(const Subcommand &s)
{
    return QStringLiteral("Usage: kestran-ctl %1\n\n%2\n\n%3\n%4\nExample:\n  %5\n")
        .arg(QLatin1String(s.synopsis), QLatin1String(s.details), QLatin1String(kCommonOptions),
             QLatin1String(kExitCodes), QLatin1String(s.example));
}

int usageError(const QString &text)
{
    error(text + QStringLiteral(" (try kestran-ctl --help)"));
    return kUsage;
}

// A whole number of ASCII digits within [min, max].
bool parseCount(const QString &text, long min, long max, long *out)
{
    if (text.isEmpty() || text.size() > 9)
        return false;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    const long v = text.toLong();
    if (v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

static int run(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestran-ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAN_VERSION));

    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QList<QCommandLineOption> options = {
        {{QStringLiteral("h"), QStringLiteral("help")}, QString()},
        {QStringLiteral("version"), QString()},
        {QStringLiteral("port"), QString(), QStringLiteral("P")},
        {{QStringLiteral("d"), QStringLiteral("device")}, QString(), QStringLiteral("N")},
        {QStringLiteral("all"), QString()},
        {QStringLiteral("from"), QString(), QStringLiteral("M")},
        {QStringLiteral("dry-run"), QString()},
        {{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("FILE")},
        {QStringLiteral("timeout"), QString(), QStringLiteral("MS")},
        {QStringLiteral("retries"), QString(), QStringLiteral("K")},
        {QStringLiteral("json"), QString()},
        {QStringLiteral("csv"), QString()},
        {QStringLiteral("duration"), QString(), QStringLiteral("S")},
        {QStringLiteral("count"), QString(), QStringLiteral("N")},
        {QStringLiteral("trace"), QString(), QStringLiteral("FILE")},
        {QStringLiteral("plant"), QString(), QStringLiteral("PLANT")},
        {QStringLiteral("line"), QString(), QStringLiteral("NAME")},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, QString()},
        {QStringLiteral("with-actual"), QString()},
        {QStringLiteral("only"), QString(), QStringLiteral("NAMES")},
        {QStringLiteral("skip"), QString(), QStringLiteral("NAMES")},
    };
    parser.addOptions(options);
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());

    QStringList positional = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("version"))) {
        out(QStringLiteral("kestran-ctl %1\n").arg(QStringLiteral(KESTRAN_VERSION)));
        return kDone;
    }
    if (positional.isEmpty()) {
        if (parser.isSet(QStringLiteral("help"))) {
            out(mainHelp());
            return kDone;
        }
        // Without a subcommand the usage goes where messages go, and it is an error.
        writeStdText(stderr, mainHelp());
        return kUsage;
    }
    const QString command = positional.takeFirst();
    if (command == QLatin1String("help")) {
        if (positional.isEmpty()) {
            out(mainHelp());
            return kDone;
        }
        const Subcommand *s = findSubcommand(positional.first());
        if (!s)
            return usageError(QStringLiteral("no subcommand \u201C%1\u201D").arg(positional.first()));
        out(subcommandHelp(*s));
        return kDone;
    }
    const Subcommand *sub = findSubcommand(command);
    if (!sub)
        return usageError(QStringLiteral("no subcommand \u201C%1\u201D").arg(command));
    if (parser.isSet(QStringLiteral("help"))) {
        out(subcommandHelp(*sub));
        return kDone;
    }

    // Every option given must belong to the subcommand.
    const QSet<QString> always = {QStringLiteral("trace"), QStringLiteral("quiet"), QStringLiteral("q")};
    for (const QString &name : parser.optionNames()) {
        const QString longName = name == QLatin1String("d") ? QStringLiteral("device")
                               : name == QLatin1String("o") ? QStringLiteral("output") : name;
        if (!always.contains(longName) && !sub->options.contains(longName))
            return usageError(QStringLiteral("%1 takes no option --%2").arg(command, longName));
    }
    auto single = [&](const QString &name, QString *value) {
        const QStringList values = parser.values(name);
        if (values.size() > 1)
            return false;
        *value = values.value(0);
        return true;
    };

    Invocation inv;
    inv.command = command;
    inv.arguments = positional;
    inv.quiet = parser.isSet(QStringLiteral("quiet"));
    inv.all = parser.isSet(QStringLiteral("all"));
    inv.dryRun = parser.isSet(QStringLiteral("dry-run"));
    QString text;
    for (const char *name : {"port", "device", "from", "output", "timeout", "retries", "duration", "count", "trace", "plant"})
        if (!single(QLatin1String(name), &text))
            return usageError(QStringLiteral("--%1 is given more than once").arg(QLatin1String(name)));

    inv.portGiven = parser.isSet(QStringLiteral("port"));
    inv.plant = parser.value(QStringLiteral("plant"));
    inv.lines = parser.values(QStringLiteral("line"));
    inv.port = parser.isSet(QStringLiteral("port")) ? parser.value(QStringLiteral("port"))
                                                    : qEnvironmentVariable("KESTRAN_PORT");
    long n = 0;
    if (parser.isSet(QStringLiteral("device"))) {
        if (!parseCount(parser.value(QStringLiteral("device")), 0, 7, &n))
            return usageError(QStringLiteral("device \u201C%1\u201D: the device number must be 0 to 7")
                                  .arg(parser.value(QStringLiteral("device"))));
        inv.device = int(n);
    }
    if (parser.isSet(QStringLiteral("from"))) {
        if (!parseCount(parser.value(QStringLiteral("from")), 0, 7, &n))
            return usageError(QStringLiteral("--from \u201C%1\u201D: the device number must be 0 to 7")
                                  .arg(parser.value(QStringLiteral("from"))));
        inv.from = int(n);
    }
    if (command == QLatin1String("scan")) {
        inv.read.timeoutMs = 200;
        inv.read.retries = 0;
    }
    if (parser.isSet(QStringLiteral("timeout"))) {
        if (!parseCount(parser.value(QStringLiteral("timeout")), 1, 3600000, &n))
            return usageError(QStringLiteral("--timeout wants milliseconds from 1 to 3600000"));
        inv.read.timeoutMs = int(n);
        inv.timeoutGiven = true;
    }
    inv.read.quietMs = std::min(inv.read.quietMs, inv.read.timeoutMs);
    if (parser.isSet(QStringLiteral("retries"))) {
        if (!parseCount(parser.value(QStringLiteral("retries")), 0, 100, &n))
            return usageError(QStringLiteral("--retries wants a number from 0 to 100"));
        inv.read.retries = int(n);
        inv.retriesGiven = true;
    }
    if (parser.isSet(QStringLiteral("json")) && parser.isSet(QStringLiteral("csv")))
        return usageError(QStringLiteral("--json and --csv exclude each other"));
    inv.format = parser.isSet(QStringLiteral("json")) ? Format::Json
               : parser.isSet(QStringLiteral("csv"))  ? Format::Csv : Format::Table;
    if (parser.isSet(QStringLiteral("count"))) {
        if (!parseCount(parser.value(QStringLiteral("count")), 1, 999999999, &n))
            return usageError(QStringLiteral("--count wants a number of frames from 1"));
        inv.count = n;
    }
    if (parser.isSet(QStringLiteral("duration"))) {
        bool ok = false;
        const QString d = parser.value(QStringLiteral("duration"));
        inv.durationS = d.toDouble(&ok);
        if (!ok || !(inv.durationS > 0) || inv.durationS > 31 * 24 * 3600.0 || d.contains(QLatin1Char('e'), Qt::CaseInsensitive))
            return usageError(QStringLiteral("--duration wants seconds, more than 0"));
    }
    inv.withActual = parser.isSet(QStringLiteral("with-actual"));
    for (const char *option : {"only", "skip"}) {
        QVector<char> &into = option[0] == 'o' ? inv.only : inv.skip;
        for (const QString &list : parser.values(QLatin1String(option))) {
            for (const QString &name : list.split(QLatin1Char(','))) {
                const Parameter *p = parameterByName(name.trimmed());
                if (!p)
                    return usageError(QStringLiteral("--%1: \u201C%2\u201D is no setting (TARGET, ACTUAL, RESET, DEBOUNCE0, "
                                                     "DEBOUNCE1, DEBOUNCE2, ALARM)").arg(QLatin1String(option), name));
                if (!p->hasSetting)
                    return usageError(QStringLiteral("--%1: %2 is read-only").arg(QLatin1String(option), scriptName(*p)));
                if (!into.contains(p->index))
                    into.append(p->index);
            }
        }
    }
    inv.output = parser.value(QStringLiteral("output"));
    inv.trace = parser.value(QStringLiteral("trace"));

    if (command == QLatin1String("ports")) {
        if (int rc = checkTraceFile(inv))
            return rc;
        return runPorts(inv);
    }
    // The plant commands take their ports from their files.
    const bool plantBackup = command == QLatin1String("backup") && (!inv.plant.isEmpty() || !inv.lines.isEmpty());
    const bool plantRestore = command == QLatin1String("restore") && isPlantRestore(inv);
    if (plantBackup || plantRestore || command == QLatin1String("check")) {
        if (!inv.trace.isEmpty())
            return usageError(QStringLiteral("--trace follows one line: %1 serves lines at once").arg(command));
        if (plantBackup && inv.plant.isEmpty())
            return usageError(QStringLiteral("--line chooses lines of a plant file: give it with --plant"));
        return plantBackup ? runPlantBackup(inv) : plantRestore ? runPlantRestore(inv) : runCheck(inv);
    }
    if (inv.port.trimmed().isEmpty())
        return usageError(QStringLiteral("no port given: use --port P or set KESTRAN_PORT"));
    // A port text that names no port is bad usage, found before anything is opened.
    const PortText port = parsePortText(inv.port, ComPrefix::ComLetters);
    if (port.kind == PortText::Invalid) {
        error(port.problem);
        return kUsage;
    }
    if (int rc = checkTraceFile(inv))
        return rc;
    if (command == QLatin1String("read"))
        return runRead(inv);
    if (command == QLatin1String("write"))
        return runWrite(inv);
    if (command == QLatin1String("backup"))
        return runBackup(inv);
    if (command == QLatin1String("restore"))
        return runRestore(inv);
    if (command == QLatin1String("scan"))
        return runScan(inv);
    return runMonitor(inv);
}

int main(int argc, char **argv)
{
    return finishOutput(run(argc, argv));
}
