#pragma once
// A backup of one line: each device read whole, the ones that answered in
// full kept for the file.
#include "backupfile.h"
#include "counterclient.h"

#include <QDateTime>
#include <QString>
#include <QVector>

#include <functional>

namespace kestran {

struct DeviceBackup {
    enum Status {
        Saved,        // all eight values with their shapes
        Absent,       // asked for every device: this one did not answer
        Incomplete,   // asked for by number, or it answered: not all came with their shapes
    };
    Status status = Absent;
    ReadResult read;
};

struct LineBackup {
    QVector<DeviceBackup> devices;   // in the order asked, up to a loss or a stop
    Ending ending;                   // lost or interrupted, or neither
    int stoppedAt = -1;              // the device being read at the loss or stop

    QVector<SavedDevice> saved() const;
    bool anyIncomplete() const;
};

// Reads `devices` in turn; empty: devices 0 to 7, each asked once first and
// taken as absent when it says nothing. `onDevice` follows each device read.
LineBackup backupLine(CounterClient &client, const QVector<int> &devices, const ReadOptions &options,
                      const std::function<void(const DeviceBackup &)> &onDevice = {});

// Which device numbers 0 to 7 answer: each read as it comes (`onDevice`
// follows each read, answered or not). The last read's ending says whether
// the scan stopped early.
QVector<ReadResult> scanLine(CounterClient &client, const ReadOptions &options,
                             const std::function<void(const ReadResult &)> &onDevice = {});

// The time a backup is made, as backups and snapshots carry it: local time
// with its offset from UTC ("2026-12-07T15:16:29+01:00").
QString backupTime(const QDateTime &when = QDateTime::currentDateTime());

} // namespace kestran
