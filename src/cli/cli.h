#pragma once
// kestran-ctl: shared pieces of the command-line program.
#include "counterclient.h"
#include "tlssettings.h"

#include <QString>
#include <QStringList>
#include <cstdio>
#include <memory>

namespace kestran::cli {

// Exit codes, as the help and the README list them.
enum Exit {
    kDone = 0,
    kDiffers = 1,     // check: a setting differs from the saved one
    kUsage = 2,       // bad usage or input; nothing was sent
    kPortFailed = 3,  // the port cannot be opened
    kNoAnswer = 4,    // no or incomplete answer
    kLineLost = 5,    // the line was lost
    kMismatch = 6,    // a written value did not read back
    kOutputFailed = 7, // standard output or the output file could not be written
    // 130: stopped by Ctrl-C (SIGINT), 143 by SIGTERM: 128 + the signal's number.
};

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
    // restore: which values it may put back
    bool withActual = false;   // --with-actual: ACTUAL too (check: ACTUAL and DIFFERENCE)
    QVector<char> only;        // --only NAMES, index characters; empty: all
    QVector<char> skip;        // --skip NAMES
    TlsSettings tls;           // --ca, --cert, --key, --pin or their environment variables
};

// Messages on stderr: progress (silent with -q) and errors (always). Control
// characters in them are shown escaped (\x1b), so no text can steer the terminal.
void progress(const Invocation &inv, const QString &text);
void error(const QString &text);
// Text as it may reach a terminal: control characters (C0, DEL, C1) as \xNN.
QString withoutControls(const QString &text);
// Bytes from the line (Latin-1 in a QString) shown: printable ASCII as it is,
// every other byte as \xNN.
QString lineText(const QString &bytes);
// The file name "-": standard input or output.
inline bool isStdStream(const QString &name) { return name == QLatin1String("-"); }

// A trace file may not be a file the command reads or writes (the port, the
// backup to restore, the -o file): kUsage with a message when it is one.
int checkTraceFile(const Invocation &inv);
// Data on stdout, flushed at once. False once standard output has failed
// (then nothing more is written).
bool out(const QString &text);
bool outputFailed();
// The exit code after the last flush of standard output: a failure to write
// it is said, and turns success into kOutputFailed.
int finishOutput(int exitCode);

// The open line of a subcommand: the serial control, its trace, the client.
struct Session;
struct SessionDeleter { void operator()(Session *s) const; };
using SessionPtr = std::unique_ptr<Session, SessionDeleter>;
// Opens the trace file (failure: kUsage) and then the port (failure: kPortFailed).
// `interruptible`: SIGINT and SIGTERM from now on stop the client (see
// CounterClient::interrupt) instead of ending the program.
SessionPtr openSession(const Invocation &inv, int *exitCode, bool interruptible = false);
CounterClient &client(Session &s);
// The exit code for a client stopped by a signal: 128 + its number.
int interruptedExit();
// Says why the line was lost and gives the exit code: kPortFailed when a
// network gateway's port is held by another client, else kLineLost.
int lineLost(Session &s);

// Prints the timing line when KESTRAN_CTL_TIMING=1: first byte sent to result ready.
void reportTiming(Session &s);

int runPorts(const Invocation &inv);
int runRead(const Invocation &inv);
int runWrite(const Invocation &inv);
int runBackup(const Invocation &inv);
int runRestore(const Invocation &inv);
int runScan(const Invocation &inv);
int runMonitor(const Invocation &inv);

// The plant commands (plant.cpp): every line of a plant file or snapshot at once.
int runPlantBackup(const Invocation &inv);
int runCheck(const Invocation &inv);
// Whether a restore is of a snapshot (--plant, --line, or a version 2 file).
bool isPlantRestore(const Invocation &inv);
int runPlantRestore(const Invocation &inv);

// A table as the subcommands print it: columns two spaces apart.
QString renderTableText(const QStringList &head, const QList<QStringList> &rows);
// The same as CSV (RFC 4180: CR LF line ends, quotes doubled), as --csv prints it.
QString renderCsvText(const QStringList &head, const QList<QStringList> &rows);

} // namespace kestran::cli
