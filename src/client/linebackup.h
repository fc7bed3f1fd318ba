#pragma once
// A backup of one line: each device read whole, the ones that answered in
// full kept for the file.
#include "backupfile.h"
#include "wholeread.h"

#include <QDateTime>
#include <QString>
#include <QVector>

#include <functional>

namespace kestran {

struct DeviceBackup {
    enum Status {
        Saved,        // all eight values with their shapes
        Absent,       // asked for every device: this one said nothing
        Incomplete,   // asked for by number, or it began to answer: not all came
    };
    Status status = Absent;
    WholeRead read;
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

// The time a backup is made, as backups and snapshots carry it: local time
// with its offset from UTC ("2026-12-07T15:16:29+01:00").
QString backupTime(const QDateTime &when = QDateTime::currentDateTime());

} // namespace kestran
