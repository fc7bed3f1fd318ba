#pragma once
// kestran-ctl: shared pieces of the command-line program. The counter
// operations themselves are in src/client; what is here says and prints them.
#include "counterclient.h"
#include "output.h"
#include "restoreplan.h"
#include "tlssettings.h"

#include <QJsonArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace kestran {
struct LineBackup;
struct LineCheck;
class LineTrace;
} // namespace kestran

namespace kestran::cli {

// Exit codes; their meanings, as the help lists them, are exitMeanings().
enum Exit {
    kDone = 0,
    kDiffers = 1,
    kUsage = 2,
    kPortFailed = 3,
    kNoAnswer = 4,
    kLineLost = 5,
    kMismatch = 6,
    kOutputFailed = 7,
    kNotRecorded = 8,     // the history must record a change and cannot: that change was not written
    kInterrupted = 130,   // by SIGINT; by another signal 128 + its number (interruptedExit)
};
struct ExitMeaning {
    int code;
    const char *meaning;   // lines after the first indented as the help shows them
};
const QList<ExitMeaning> &exitMeanings();
// The help's list of exit codes.
QString exitCodesHelp();

enum class Format { Table, Json, Csv };

// Everything a subcommand needs, checked before anything is opened.
struct Invocation {
    QString command;
    QStringList arguments;     // positional arguments after the subcommand
    QString port;              // --port or KESTRAN_PORT
    bool portGiven = false;    // --port itself was given
    QString plant;             // --plant
    QStringList lines;         // --line, as given (each may hold several names, comma-separated)
    int device = -1;           // -d, -1 when not given
    bool all = false;
    int from = -1;             // --from
    bool dryRun = false;
    QString output;            // -o
    ReadOptions read;
    bool timeoutGiven = false, retriesGiven = false;
    Format format = Format::Table;
    double durationS = -1;     // --duration
    long count = -1;           // --count
    QString trace;
    bool quiet = false;
    // restore: which values it may put back (--with-actual, --only, --skip);
    // check: withLiveCounts compares ACTUAL and DIFFERENCE too
    RestoreChoice choice;
    TlsSettings tls;           // --ca, --cert, --key, --pin or their environment variables
    QString history;           // --history: where changes are recorded (else KESTRAN_HISTORY)
    // history's filters as given (checked by the subcommand)
    std::optional<QString> historyWho, historySince, historyUntil, historyAt;
    bool historyVerify = false;
};

// ---------------------------------------------------------------- the commands (commands.cpp)

// Whether and when a command serves the lines of a plant at once.
enum class PlantForm {
    None,
    WithPlantFile,   // with --plant or --line (backup)
    OfSnapshot,      // of a snapshot: --plant, --line, or a version 2 file (restore)
    Always,          // a snapshot or a one-line backup alike (check)
};

struct Command {
    const char *name;
    const char *synopsis;
    const char *summary;
    const char *details;
    const char *example;
    QStringList options;   // long names of the options it takes
    int (*run)(const Invocation &inv);
    bool takesPort = true;                  // opens a port (--port, KESTRAN_PORT)
    bool readsArguments = false;            // its positional arguments are files it reads
    PlantForm plantForm = PlantForm::None;
    int (*runPlant)(const Invocation &inv) = nullptr;   // its plant form
    ReadOptions defaults = {};              // before --timeout and --retries
};
const QList<Command> &commandTable();
const Command *findCommand(const QString &name);
QString mainHelp();
QString commandHelp(const Command &c);

// ---------------------------------------------------------------- the command line (invocation.cpp)

struct ParsedLine {
    enum Action { Run, Print, Fail };
    Action action = Fail;
    QString text;           // Print: for stdout; Fail: the message (said with error()), or raw usage text
    bool rawText = false;   // Fail: `text` is the usage, for stderr as it is
    int exitCode = kUsage;  // Print, Fail
    Invocation inv;         // Run
    const Command *command = nullptr;
};
// Parses the arguments after the program's name; `envPort` is KESTRAN_PORT.
// Checks everything that can be checked without a file or a port.
ParsedLine parseCommandLine(const QStringList &arguments, const QString &envPort);
// Whether a run serves the lines of a plant at once (backup --plant, check,
// restore of a snapshot): those take their ports from their files.
bool isPlantCommand(const Command &c, const Invocation &inv);
// What follows parsing: the checks of the port text and the trace file, then the command.
int runParsed(const ParsedLine &parsed);

// ---------------------------------------------------------------- exit codes (exitcode.cpp)

// The exit code for a client stopped by a signal: 128 + its number.
int interruptedExit();
// A lost line: kPortFailed when a gateway refused us and nothing changed on
// the line (Ending::refused), else kLineLost.
int lostExit(const Ending &e);
// The worse of two codes (the higher wins: a mismatch outweighs a missing answer).
int worse(int a, int b);
// The code of an operation stopped by a loss (lostExit) or a stop
// (interruptedExit); kDone for one that ran to its end.
int endedExit(const Ending &e);
// The code of a line's backup, check, or restore, stopped or done.
int backupExit(const LineBackup &b);
int checkExit(const LineCheck &c);
int writeExit(const WriteReport &w);
int restoreExit(const LineRestore &r);
// The code of a read that is not a loss or a stop: kNoAnswer unless complete.
int readExit(const ReadResult &r);

// ---------------------------------------------------------------- the open line (session.cpp)

// A trace file may not be a file the command reads or writes (the port, the
// backup to restore, the -o file): kUsage with a message when it is one.
int checkTraceFile(const Invocation &inv);

// The --trace file opened, its head line written (none without --trace);
// false when it cannot be written, said.
bool openTrace(const Invocation &inv, std::unique_ptr<LineTrace> *trace);

// The open line of a subcommand: the serial control, its trace, the client.
struct Session;
struct SessionDeleter { void operator()(Session *s) const; };
using SessionPtr = std::unique_ptr<Session, SessionDeleter>;
// Opens the trace file (failure: kUsage) and then the port (failure: kPortFailed).
// `interruptible`: SIGINT and SIGTERM from now on stop the client (see
// CounterClient::interrupt) instead of ending the program.
SessionPtr openSession(const Invocation &inv, int *exitCode, bool interruptible = false);
CounterClient &client(Session &s);
// Says why the line was lost and gives the exit code (lostExit).
int lineLost(const Ending &lost);
// Prints the timing line when KESTRAN_CTL_TIMING=1: first byte sent to result ready.
void reportTiming(Session &s);

// ---------------------------------------------------------------- wording (wording.cpp)

QString nameOf(char index);
QString namesOf(const QVector<char> &indices);   // "TARGET, RESET"
// The settings by name, as a message lists them: "TARGET, ACTUAL, ..., ALARM".
QString settingNames();
QString plural(int n, const char *one, const char *many);
// Why the line was lost: the line's own words for a port that cannot be used
// (Ending::refused, lostExit gives kPortFailed), else "the line was lost: " and them.
QString lostText(const Ending &lost);
// The names of the values a read is missing; one for which only a damaged reply came says so.
QString missingText(const ReadResult &r);
// What is said of a read that is not complete, one message each, ending in
// `consequence` ("nothing saved"); nothing for a complete one.
QStringList verdictText(const ReadResult &r, const QString &consequence);
QString progressText(const ClientProgress &p);
// The word of a step's result in a table and in JSON ("ok", "not verified").
QString stepWord(StepResult r);
// The values of a write grouped by their result ("written and verified:
// TARGET; sent, not verified: ACTUAL; not sent: RESET").
QString writeSummary(const WriteReport &w);
// What is said of a write that did not end verified in full, one message each.
QStringList writeProblems(const WriteReport &w);
// A usage error for a subcommand that takes no positional argument.
int noPositional(const Invocation &inv);
int needDevice(const Invocation &inv);
// Reads a file a command takes ("-": standard input), at most `limit` bytes;
// false with the message in `why`.
bool readInput(const QString &path, qint64 limit, QByteArray *bytes, QString *why, bool tooLargeAsBackup = false);

// Prints what was sent, read back and verified (a table on stdout, or rows in `json`).
void printWrite(const WriteReport &w, QJsonArray *json);
// Prints what was sent, read back and verified (a table on stdout, or rows in
// `json`), says what went wrong, and gives the exit code of a write.
int reportWrite(const Invocation &inv, const WriteReport &w, QJsonArray *json);

// ---------------------------------------------------------------- the subcommands

int runPorts(const Invocation &inv);
int runRead(const Invocation &inv);
int runWrite(const Invocation &inv);
int runBackup(const Invocation &inv);     // -d N | --all, or --plant
int runRestore(const Invocation &inv);    // a backup, or a snapshot
int runCheck(const Invocation &inv);
int runScan(const Invocation &inv);
int runMonitor(const Invocation &inv);
int runHistory(const Invocation &inv);

// The plant commands (plantlines.cpp serves the lines): every line of a plant file or snapshot at once.
int runPlantBackup(const Invocation &inv);
int runPlantRestore(const Invocation &inv);
// Whether a restore is of a snapshot (--plant, --line, or a version 2 file).
bool isPlantRestore(const Invocation &inv);

} // namespace kestran::cli
