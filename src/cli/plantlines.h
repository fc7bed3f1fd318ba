#pragma once
// The lines a plant command serves at once (PlantRun: a thread per line),
// each under the rules of a one-line run; progress goes to stderr as it
// happens, everything else is gathered per line and printed when the last
// line is done.
#include "cli.h"

#include "linebackup.h"
#include "linecheck.h"
#include "plantfile.h"
#include "restoreplan.h"
#include "snapshot.h"

#include <QJsonArray>

#include <functional>

namespace kestran::cli {

constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

// One line of a plant command, and what its thread found.
struct Target {
    QString name;                      // "" for the line of a one-line backup
    QString port;
    QVector<int> devices;              // backup: the devices to save, empty: all that answer
    const SavedLine *saved = nullptr;  // check, restore: what the file holds
    TlsSettings tls;                   // for a TLS gateway
    bool unnamed = false;              // a one-line command's line: its messages name no line
    LineTrace *trace = nullptr;        // --trace of a one-line command

    // Filled by the line's thread.
    bool opened = false;               // its port opened
    int code = kDone;                  // the line's exit code
    int found = 0;                     // devices that answered in full
    QString result;                    // a few words for the closing table
    QStringList problems;              // what went wrong, as said on stderr
    LineBackup backup;
    LineCheck check;
    LineRestore restore;

    QString label() const { return name.isEmpty() ? port : name; }
    // A message about this line: after its label, but for an unnamed one.
    QString at(const QString &text) const { return unnamed ? text : label() + QStringLiteral(": ") + text; }
};

// The one line of a one-line command as a plant of one line: the port and
// TLS settings given, its messages naming no line, its trace (may be null).
QVector<Target> oneLine(const Invocation &inv, LineTrace *trace);

// Says a line's problem on stderr and keeps it for the report.
void problem(Target &t, const QString &text);
// A lost line (or a gateway whose port another client holds), or a stop: said,
// with the closing table's words, and the line's code.
int lineLostAt(Target &t, const Ending &lost);
int lineStoppedAt(Target &t, const QString &what);

// Serves every target at once. Returns the worst of the lines' codes and sets
// `table` to the closing table: line, devices found, result, time.
int serve(const Invocation &inv, QVector<Target> &targets, const std::function<int(Target &, CounterClient &)> &work,
          QString *table, QJsonArray *linesJson);

int loadPlant(const QString &path, Plant *plant);
// The names --line gives ("a,b" and repeated --line alike); each must be one of `known`.
int chosenLines(const Invocation &inv, const QStringList &known, QStringList *chosen);
// The file a check or restore takes: a snapshot, or a one-line backup.
int loadSnapshot(const Invocation &inv, Snapshot *snapshot);
// The lines a check or restore serves: the file's lines (or those --line
// names), each on the port the plant file gives it, else on the port saved.
int targetsOf(const Invocation &inv, const Snapshot &snapshot, QVector<Target> *targets);

// A check or restore, once every line it chose is done.
struct SnapshotRun {
    Snapshot snapshot;
    QVector<Target> targets;   // their `saved` point into `snapshot`
    QString table;             // the closing table (serve)
    QJsonArray lines;          // the same for --json; empty otherwise
    int worst = kDone;         // the worst of the lines' codes
};

// What check and restore share: the invocation's FILE read, `accepts` (if
// any) asked whether the command takes it, its lines chosen and every one
// served with `work`. kDone with `run` filled, or the code of what was wrong
// (said on stderr) and nothing sent.
int serveSnapshot(const Invocation &inv, SnapshotRun *run, const std::function<int(Target &, CounterClient &)> &work,
                  const std::function<int(const Snapshot &)> &accepts = {});

} // namespace kestran::cli
