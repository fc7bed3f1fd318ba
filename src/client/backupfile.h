#pragma once
// Saved counter settings: a JSON document with a format name and version, the
// time, the tool version, the port, and per device its number and its eight
// values by name.
//
// {"format": "kestran-backup", "version": 1, "created": "2026-12-07T15:16:29+01:00",
//  "tool": "kestran-ctl 0.1", "port": "/dev/ttyUSB0",
//  "devices": [{"device": 3, "values": {"TARGET": "+0004000", ...}}]}
#include <QByteArray>
#include <QJsonArray>
#include <QMap>
#include <QString>
#include <QVector>

namespace kestran {

struct SavedDevice {
    int device = 0;
    QMap<char, QString> values;   // index character -> value field
};

struct Backup {
    static constexpr const char *kFormat = "kestran-backup";
    static constexpr int kVersion = 1;

    QString created;   // ISO 8601, with the offset from UTC (backupTime())
    QString tool;      // "kestran-ctl 0.1"
    QString port;
    QVector<SavedDevice> devices;

    const SavedDevice *find(int device) const;
    QByteArray toJson() const;
};

// Reads a backup document. Every value must be known by name and have its
// value shape (DIFFERENCE, which is never written, only eight characters).
// On failure returns false and names the place in `error`
// ("devices[1].values.RESET: ...", "line 4, column 7: ...").
bool parseBackup(const QByteArray &json, Backup *out, QString *error);

// The "devices" list of a backup, and of each line of a snapshot: written,
// and read under the rules above (`error` as "devices[1].values.RESET: ...").
QJsonArray devicesJson(const QVector<SavedDevice> &devices);
bool readDevices(const QJsonValue &devices, QVector<SavedDevice> *out, QString *error);

} // namespace kestran
