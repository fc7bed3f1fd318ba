#pragma once
// A check of one line: each saved device read and its settings compared with
// the saved ones.
#include "backupfile.h"
#include "counterclient.h"

#include <functional>

namespace kestran {

struct Parameter;

struct Difference {
    int device = 0;
    char index = '0';
    QString saved;
    QString live;
};

struct DeviceCheck {
    int device = 0;
    ReadResult read;                   // as the device answered
    QVector<Difference> differences;
    QVector<char> unread;              // compared values that did not come

    bool answered() const { return read.answered(); }   // false: not checked at all
};

struct LineCheck {
    QVector<DeviceCheck> devices;      // in the file's order, up to a loss or a stop
    Ending ending;                     // lost or interrupted, or neither
    int stoppedAt = -1;                // the device being read at the loss or stop

    int differenceCount() const;
    bool allChecked() const;           // every device answered with every compared value
};

// The values a check compares: the settings, and the live counts only when asked.
bool isCompared(const Parameter &p, bool withLiveCounts);

// Compares one device's live values, as read, with the saved ones.
DeviceCheck compareDevice(const SavedDevice &saved, const ReadResult &live, bool withLiveCounts);

LineCheck checkLine(CounterClient &client, const QVector<SavedDevice> &saved, const ReadOptions &options,
                    bool withLiveCounts, const std::function<void(const DeviceCheck &)> &onDevice = {});

} // namespace kestran
