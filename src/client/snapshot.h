#pragma once
// A plant snapshot: the backup file of many lines at once. The same family as
// the one-line backup (format "kestran-backup"), version 2, with the devices
// grouped by line:
//
// {"format": "kestran-backup", "version": 2, "created": "2026-12-07T15:16:29+01:00",
//  "tool": "kestran-ctl 0.1",
//  "lines": [{"name": "press-3", "port": "rfc2217://gw-hall2:4003",
//             "devices": [{"device": 5, "values": {"TARGET": "+0004000", ...}}]}]}
//
// A one-line backup (version 1) reads as a snapshot of one line without a name.
#include "backupfile.h"

#include <QByteArray>
#include <QString>
#include <QVector>

namespace kestran {

struct SavedLine {
    QString name;                  // "" for a one-line backup
    QString port;
    QVector<SavedDevice> devices;

    const SavedDevice *find(int device) const;
};

struct Snapshot {
    static constexpr int kVersion = 2;

    QString created;
    QString tool;
    QVector<SavedLine> lines;
    bool plant = false;            // version 2; false: read from a one-line backup

    const SavedLine *find(const QString &name) const;
    QByteArray toJson() const;     // always version 2
};

// Reads a snapshot or a one-line backup. Each line's devices are held to the
// rules of the one-line backup; line names are unique and never empty. On
// failure returns false and names the place in `error`
// ("lines[2].devices[0].values.RESET: ...").
bool parseSnapshot(const QByteArray &json, Snapshot *out, QString *error);

} // namespace kestran
