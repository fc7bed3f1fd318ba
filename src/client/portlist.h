#pragma once
// The COMn table the window uses, with whether each port can be opened now.
#include <QString>
#include <QVector>

namespace kestran {

class PortTable;

struct PortRow {
    enum Status { Usable, Busy, NoPermission, Missing };
    int number = 0;          // COMn
    QString path;
    QString description;
    Status status = Missing;
    qint64 holder = 0;       // the pid holding the lock when Busy
};

// Looks at every port of `table` without opening any of them.
QVector<PortRow> listPorts(const PortTable &table);

QString statusText(const PortRow &row);   // "usable", "busy (pid 1234)", "no permission", "missing"
QString statusWord(const PortRow &row);   // the same without the pid: "busy"

} // namespace kestran
