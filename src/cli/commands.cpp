// The table of kestran-ctl's subcommands: name, synopsis, help, the options
// each takes and the function that runs it. Each runs in a file of its own
// (read.cpp, write.cpp, ...).
#include "cli.h"

namespace kestran::cli {

namespace {
const char *kCommonOptions =
    "Options:\n"
    "  --port P        the port: COM1 to COM255 (see \"ports\"), a device path, or a\n"
    "                  network gateway: tcp://HOST:PORT or rfc2217://HOST:PORT, or\n"
    "                  inside TLS: tls://HOST:PORT or rfc2217+tls://HOST:PORT;\n"
    "                  default: the environment variable KESTRAN_PORT (every\n"
    "                  subcommand but ports and the plant commands)\n"
    "  -d, --device N  the counter's device number, 0 to 7 (read, write, backup and\n"
    "                  restore; scan and monitor take none)\n"
    "  --plant PLANT   the plant file: the lines by name and port (TOML, see the manual)\n"
    "  --line NAME     only this line of the plant (repeat, or NAME,NAME)\n"
    "  --trace FILE    write every byte sent and received to FILE, one line per burst;\n"
    "                  not a file the command reads or writes\n"
    "  --ca FILE       TLS gateways: the plant's CA certificates (PEM); default: the\n"
    "                  system's store (KESTRAN_TLS_CA)\n"
    "  --cert FILE     TLS gateways: our client certificate (PEM, or PKCS#12 with its\n"
    "                  key) (KESTRAN_TLS_CERT)\n"
    "  --key FILE      its private key (PEM, readable by you alone, no pass phrase);\n"
    "                  default: in the --cert file (KESTRAN_TLS_KEY)\n"
    "  --pin SHA256    TLS gateways: trust only the certificate with this SHA-256\n"
    "                  fingerprint, for a self-signed gateway (KESTRAN_TLS_PIN)\n"
    "  -q, --quiet     no progress messages on standard error (errors and results\n"
    "                  are still reported)\n"
    "  -h, --help      this help; \"kestran-ctl help SUBCOMMAND\" explains one\n"
    "  --version       the version\n";

} // namespace

const QList<Command> &commandTable()
{
    static const QList<Command> list = {
        {"ports", "ports [--json|--csv]",
         "list the serial ports (COMn) and whether each can be opened now",
         "Lists the COMn table the window uses: number, device path, description and\n"
         "whether the port can be opened now (usable, busy with the holder's pid, no\n"
         "permission, missing). Opens nothing.",
         "kestran-ctl ports --json",
         {"json", "csv"},
         runPorts, false},
        {"read", "read -d N [--json|--csv] [--timeout MS] [--retries K]",
         "read the eight values of one counter",
         "Sends one read-all command and prints the eight values of the counter: name,\n"
         "index, value field as received and the whole number. A partial answer is asked\n"
         "again up to K times (default 2), each attempt waiting up to MS milliseconds\n"
         "(default 1000). What came is printed, what is missing is named, and the exit\n"
         "code is 4.",
         "kestran-ctl read --port /dev/ttyUSB0 -d 3 --json",
         {"port", "device", "json", "csv", "timeout", "retries"},
         runRead},
        {"write", "write -d N NAME=VALUE... [--json] [--timeout MS] [--retries K]",
         "write values to one counter and verify them",
         "NAME is {settings} (any\n"
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
         {"port", "device", "json", "timeout", "retries"},
         runWrite},
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
         {"port", "device", "all", "output", "timeout", "retries", "plant", "line"},
         runBackup, true, false, PlantForm::WithPlantFile, runPlantBackup},
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
         {"port", "device", "from", "dry-run", "json", "csv", "timeout", "retries", "only", "skip", "with-actual", "plant", "line"},
         runRestore, true, true, PlantForm::OfSnapshot, runPlantRestore},
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
         {"port", "json", "csv", "timeout", "retries", "plant", "line", "with-actual"},
         runCheck, true, true, PlantForm::Always, runCheck},
        {"scan", "scan [--timeout MS] [--retries K] [--json|--csv]",
         "find which device numbers 0 to 7 answer",
         "Sends a read-all command to every device number in turn, with a short time-out\n"
         "per address (default 200 ms, no retries), and prints a line per device found.\n"
         "Exits 4 when none answers.",
         "kestran-ctl scan --port /dev/ttyUSB0",
         {"port", "json", "csv", "timeout", "retries"},
         runScan, true, false, PlantForm::None, nullptr, ReadOptions{200, 0}},
        {"monitor", "monitor [--json] [--duration S] [--count N]",
         "print every frame heard on the line",
         "Listens without sending and prints every frame with a time stamp: replies\n"
         "decoded (device, name, value), read-all and write commands of another master\n"
         "decoded too, anything else as hex; in a value, a byte that is not printable\n"
         "ASCII shows as \\xNN. --json prints one object a line, its time with the\n"
         "offset from UTC. Ends after S seconds, after N frames, or at Ctrl-C (exit 0).",
         "kestran-ctl monitor --port COM1 --json --duration 60",
         {"port", "json", "duration", "count"},
         runMonitor},
    };
    return list;
}

const Command *findCommand(const QString &name)
{
    for (const Command &s : commandTable())
        if (name == QLatin1String(s.name))
            return &s;
    return nullptr;
}

QString mainHelp()
{
    QString text = QStringLiteral(
        "Usage: kestran-ctl SUBCOMMAND [options]\n\n"
        "Reads, writes, saves and restores KESTRAN counters on a serial line (19200 8N1)\n"
        "from scripts. Data goes to standard output, messages to standard error.\n\n"
        "Subcommands:\n");
    for (const Command &s : commandTable())
        text += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(s.name).leftJustified(9), QLatin1String(s.summary));
    text += QStringLiteral("  help     explain a subcommand: kestran-ctl help read\n\n");
    text += QLatin1String(kCommonOptions);
    text += QLatin1Char('\n');
    text += exitCodesHelp();
    text += QStringLiteral("\nExample:\n  kestran-ctl read --port /dev/ttyUSB0 -d 3 --json\n");
    return text;
}

QString commandHelp(const Command &s)
{
    // The names of the settings come from the parameter table: "TARGET, ... or ALARM".
    QString settings = settingNames();
    settings.replace(settings.lastIndexOf(QLatin1String(", ")), 2, QStringLiteral(" or "));
    const QString details = QString::fromLatin1(s.details).replace(QLatin1String("{settings}"), settings);
    return QStringLiteral("Usage: kestran-ctl %1\n\n%2\n\n%3\n%4\nExample:\n  %5\n")
        .arg(QLatin1String(s.synopsis), details, QLatin1String(kCommonOptions),
             exitCodesHelp(), QLatin1String(s.example));
}

} // namespace kestran::cli
