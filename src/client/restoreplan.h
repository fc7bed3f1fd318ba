#pragma once
// Putting saved values back: per device, what it holds, what the file holds,
// and what a restore does with each value; then the writes, verified.
#include "backupfile.h"
#include "counterclient.h"

#include <functional>

namespace kestran {

// Which values a restore may put back.
struct RestoreChoice {
    bool withLiveCounts = false;   // ACTUAL too
    QVector<char> only;            // only these; empty: all
    QVector<char> skip;            // all but these
};

struct PlannedValue {
    enum Action { NotInFile, ReadOnly, Same, Write, LeftOut };
    enum Reason { NoReason, Skipped, NotInOnly, LiveCount };   // why a value is left out
    char index = '0';
    QString held;                  // as the device holds it
    QString wanted;                // as the file holds it ("" when not in the file)
    Action action = NotInFile;
    Reason reason = NoReason;
};

// One plan row per parameter, in index order.
QVector<PlannedValue> planRestore(const QMap<char, QString> &held, const QMap<char, QString> &saved,
                                  const RestoreChoice &choice);
// The writes a plan asks for.
QVector<WriteStep> stepsOf(const QVector<PlannedValue> &plan);

// What became of one value of a write with verify. Nothing of a write that a
// gateway refused (Ending::refused) reached the line: all of it is not sent.
enum class StepResult { Verified, Mismatch, NoAnswer, NotVerified, NotSent };
StepResult stepResult(const WriteReport &w, int step);

struct RestoreJob {
    const SavedDevice *saved = nullptr;
    int target = 0;                // the device written (saved->device, or a replacement)
};

struct DeviceRestore {
    RestoreJob job;
    ReadResult now;                // as read before anything is written
    QVector<PlannedValue> plan;    // empty when `now` is not complete
    QVector<WriteStep> steps;
    bool written = false;          // the steps were handed to the client
    WriteReport write;
};

struct LineRestore {
    QVector<DeviceRestore> devices;   // in the jobs' order, up to a loss or a stop
    Ending ending;                    // lost or interrupted, or neither
};

// Reads each job's device, plans, and (unless `dryRun`) writes the steps.
// `planned` is called once a device's plan is known, before its writes;
// `done` after them. A loss or a stop ends the line.
LineRestore restoreLine(CounterClient &client, const QVector<RestoreJob> &jobs, const RestoreChoice &choice,
                        const ReadOptions &options, bool dryRun,
                        const std::function<void(const DeviceRestore &)> &planned = {},
                        const std::function<void(const DeviceRestore &)> &done = {});

} // namespace kestran
