#pragma once
// kestran-ctl: shared pieces of the command-line program.
#include "counterclient.h"

#include <QString>
#include <QStringList>
#include <cstdio>
#include <memory>

namespace kestran::cli {

// Exit codes, as the help and the README list them.
enum Exit {
    kDone = 0,
    kUsage = 2,       // bad usage or input; nothing was sent
    kPortFailed = 3,  // the port cannot be opened
    kNoAnswer = 4,    // no or incomplete answer
    kLineLost = 5,    // the line was lost
    kMismatch = 6,    // a written value did not read back
};

enum class Format { Table, Json, Csv };

// Everything a subcommand needs, checked before anything is opened.
struct Invocation {
    QString command;
    QStringList arguments;     // positional arguments after the subcommand
    QString port;              // --port or KESTRAN_PORT
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
// Data on stdout, flushed at once.
void out(const QString &text);

// The open line of a subcommand: the serial control, its trace, the client.
struct Session;
struct SessionDeleter { void operator()(Session *s) const; };
using SessionPtr = std::unique_ptr<Session, SessionDeleter>;
// Opens the trace file (failure: kUsage) and then the port (failure: kPortFailed).
SessionPtr openSession(const Invocation &inv, int *exitCode);
CounterClient &client(Session &s);

// Prints the timing line when KESTRAN_CTL_TIMING=1: first byte sent to result ready.
void reportTiming(Session &s);

int runPorts(const Invocation &inv);
int runRead(const Invocation &inv);
int runWrite(const Invocation &inv);
int runBackup(const Invocation &inv);
int runRestore(const Invocation &inv);
int runScan(const Invocation &inv);
int runMonitor(const Invocation &inv);

} // namespace kestran::cli
