// kestran-ctl's command line: the options, checked against the table of
// commands before anything is opened; then the checks that need the port
// text or a file, and the command's run function.
#include "cli.h"
#include "tlsoptions.h"

#include "portname.h"
#include "valueinput.h"

#include <QCommandLineParser>
#include <QSet>

namespace kestran::cli {

namespace {

ParsedLine failed(const QString &text)
{
    ParsedLine p;
    p.text = text + QStringLiteral(" (try kestran-ctl --help)");
    return p;
}

ParsedLine printed(const QString &text)
{
    ParsedLine p;
    p.action = ParsedLine::Print;
    p.text = text;
    p.exitCode = kDone;
    return p;
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

ParsedLine parseCommandLine(const QStringList &arguments, const QString &envPort)
{
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
    parser.addOptions(tlsOptions());
    if (!parser.parse(QStringList{QStringLiteral("kestran-ctl")} + arguments))
        return failed(parser.errorText());

    QStringList positional = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("version")))
        return printed(QStringLiteral("kestran-ctl %1\n").arg(QStringLiteral(KESTRAN_VERSION)));
    if (positional.isEmpty()) {
        if (parser.isSet(QStringLiteral("help")))
            return printed(mainHelp());
        // Without a subcommand the usage goes where messages go, and it is an error.
        ParsedLine usage;
        usage.text = mainHelp();
        usage.rawText = true;
        return usage;
    }
    const QString command = positional.takeFirst();
    if (command == QLatin1String("help")) {
        if (positional.isEmpty())
            return printed(mainHelp());
        const Command *s = findCommand(positional.first());
        if (!s)
            return failed(QStringLiteral("no subcommand \u201C%1\u201D").arg(positional.first()));
        return printed(commandHelp(*s));
    }
    const Command *sub = findCommand(command);
    if (!sub)
        return failed(QStringLiteral("no subcommand \u201C%1\u201D").arg(command));
    if (parser.isSet(QStringLiteral("help")))
        return printed(commandHelp(*sub));

    // Every option given must belong to the subcommand.
    QSet<QString> always = {QStringLiteral("trace"), QStringLiteral("quiet"), QStringLiteral("q")};
    for (const QString &name : tlsOptionNames())
        always.insert(name);
    for (const QString &name : parser.optionNames()) {
        const QString longName = name == QLatin1String("d") ? QStringLiteral("device")
                               : name == QLatin1String("o") ? QStringLiteral("output") : name;
        if (!always.contains(longName) && !sub->options.contains(longName))
            return failed(QStringLiteral("%1 takes no option --%2").arg(command, longName));
    }
    auto single = [&](const QString &name, QString *value) {
        const QStringList values = parser.values(name);
        if (values.size() > 1)
            return false;
        *value = values.value(0);
        return true;
    };

    ParsedLine parsed;
    parsed.action = ParsedLine::Run;
    parsed.exitCode = kDone;
    parsed.command = sub;
    Invocation &inv = parsed.inv;
    inv.command = command;
    inv.arguments = positional;
    inv.quiet = parser.isSet(QStringLiteral("quiet"));
    inv.all = parser.isSet(QStringLiteral("all"));
    inv.dryRun = parser.isSet(QStringLiteral("dry-run"));
    QString text;
    for (const char *name : {"port", "device", "from", "output", "timeout", "retries", "duration", "count", "trace", "plant"})
        if (!single(QLatin1String(name), &text))
            return failed(QStringLiteral("--%1 is given more than once").arg(QLatin1String(name)));

    inv.portGiven = parser.isSet(QStringLiteral("port"));
    inv.plant = parser.value(QStringLiteral("plant"));
    inv.lines = parser.values(QStringLiteral("line"));
    inv.port = parser.isSet(QStringLiteral("port")) ? parser.value(QStringLiteral("port"))
                                                    : envPort;
    long n = 0;
    if (parser.isSet(QStringLiteral("device"))) {
        if (!parseCount(parser.value(QStringLiteral("device")), 0, 7, &n))
            return failed(QStringLiteral("device \u201C%1\u201D: the device number must be 0 to 7")
                                  .arg(parser.value(QStringLiteral("device"))));
        inv.device = int(n);
    }
    if (parser.isSet(QStringLiteral("from"))) {
        if (!parseCount(parser.value(QStringLiteral("from")), 0, 7, &n))
            return failed(QStringLiteral("--from \u201C%1\u201D: the device number must be 0 to 7")
                                  .arg(parser.value(QStringLiteral("from"))));
        inv.from = int(n);
    }
    inv.read = sub->defaults;
    if (parser.isSet(QStringLiteral("timeout"))) {
        if (!parseCount(parser.value(QStringLiteral("timeout")), 1, 3600000, &n))
            return failed(QStringLiteral("--timeout wants milliseconds from 1 to 3600000"));
        inv.read.timeoutMs = int(n);
        inv.timeoutGiven = true;
    }
    inv.read.quietMs = std::min(inv.read.quietMs, inv.read.timeoutMs);
    if (parser.isSet(QStringLiteral("retries"))) {
        if (!parseCount(parser.value(QStringLiteral("retries")), 0, 100, &n))
            return failed(QStringLiteral("--retries wants a number from 0 to 100"));
        inv.read.retries = int(n);
        inv.retriesGiven = true;
    }
    if (parser.isSet(QStringLiteral("json")) && parser.isSet(QStringLiteral("csv")))
        return failed(QStringLiteral("--json and --csv exclude each other"));
    inv.format = parser.isSet(QStringLiteral("json")) ? Format::Json
               : parser.isSet(QStringLiteral("csv"))  ? Format::Csv : Format::Table;
    if (parser.isSet(QStringLiteral("count"))) {
        if (!parseCount(parser.value(QStringLiteral("count")), 1, 999999999, &n))
            return failed(QStringLiteral("--count wants a number of frames from 1"));
        inv.count = n;
    }
    if (parser.isSet(QStringLiteral("duration"))) {
        bool ok = false;
        const QString d = parser.value(QStringLiteral("duration"));
        inv.durationS = d.toDouble(&ok);
        if (!ok || !(inv.durationS > 0) || inv.durationS > 31 * 24 * 3600.0 || d.contains(QLatin1Char('e'), Qt::CaseInsensitive))
            return failed(QStringLiteral("--duration wants seconds, more than 0"));
    }
    inv.choice.withLiveCounts = parser.isSet(QStringLiteral("with-actual"));
    for (const char *option : {"only", "skip"}) {
        QVector<char> &into = option[0] == 'o' ? inv.choice.only : inv.choice.skip;
        for (const QString &list : parser.values(QLatin1String(option))) {
            for (const QString &name : list.split(QLatin1Char(','))) {
                const Parameter *p = parameterByName(name.trimmed());
                if (!p)
                    return failed(QStringLiteral("--%1: \u201C%2\u201D is no setting (%3)").arg(QLatin1String(option), name, settingNames()));
                if (!p->hasSetting)
                    return failed(QStringLiteral("--%1: %2 is read-only").arg(QLatin1String(option), scriptName(*p)));
                if (!into.contains(p->index))
                    into.append(p->index);
            }
        }
    }
    inv.output = parser.value(QStringLiteral("output"));
    inv.trace = parser.value(QStringLiteral("trace"));
    QString twice;
    inv.tls = tlsSettingsFrom(parser, &twice);
    if (!twice.isEmpty())
        return failed(QStringLiteral("--%1 is given more than once").arg(twice));
    return parsed;
}

bool isPlantCommand(const Command &c, const Invocation &inv)
{
    switch (c.plantForm) {
    case PlantForm::None:
        return false;
    case PlantForm::WithPlantFile:
        return !inv.plant.isEmpty() || !inv.lines.isEmpty();
    case PlantForm::OfSnapshot:
        return isPlantRestore(inv);
    case PlantForm::Always:
        break;
    }
    return true;
}

int runParsed(const ParsedLine &parsed)
{
    switch (parsed.action) {
    case ParsedLine::Print:
        out(parsed.text);
        return parsed.exitCode;
    case ParsedLine::Fail:
        if (parsed.rawText)
            say(parsed.text);
        else
            error(parsed.text);
        return parsed.exitCode;
    case ParsedLine::Run:
        break;
    }
    const Invocation &inv = parsed.inv;
    const Command &command = *parsed.command;
    if (!command.takesPort) {
        if (int rc = checkTraceFile(inv))
            return rc;
        return command.run(inv);
    }
    // The plant commands take their ports from their files.
    if (isPlantCommand(command, inv)) {
        if (!inv.trace.isEmpty())
            return usageError(QStringLiteral("--trace follows one line: %1 serves lines at once").arg(inv.command));
        if (command.plantForm == PlantForm::WithPlantFile && inv.plant.isEmpty())
            return usageError(QStringLiteral("--line chooses lines of a plant file: give it with --plant"));
        return command.runPlant(inv);
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
    return command.run(inv);
}

} // namespace kestran::cli
