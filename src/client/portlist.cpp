#include "portlist.h"
#include "mdlcomport.h"
#include "serialplatform.h"

#include <QFileInfo>

namespace kestran {

QVector<PortRow> listPorts(const PortTable &table)
{
    QVector<PortRow> rows;
    for (int n = 1; n <= table.count(); ++n) {
        const auto dev = table.device(n);
        PortRow row;
        row.number = n;
        row.path = dev->path;
        row.description = dev->description;
        const auto state = serialplatform::deviceState(dev->path);
#ifdef Q_OS_WIN
        // Every number from COM1 to COM255 has its device name there: list
        // those a device answers to, as the window does.
        if (state == serialplatform::DeviceState::Missing)
            continue;
#endif
        if (state == serialplatform::DeviceState::Missing) {
            row.status = PortRow::Missing;
        } else if (state == serialplatform::DeviceState::NoPermission) {
            row.status = PortRow::NoPermission;
        } else if (state == serialplatform::DeviceState::Busy) {
            row.status = PortRow::Busy;
        } else if (const qint64 pid = table.lockOwnerOf(dev->path)) {
            row.status = PortRow::Busy;
            row.holder = pid;
        } else {
            row.status = PortRow::Usable;
        }
        rows.append(row);
    }
    return rows;
}

QString statusWord(const PortRow &row)
{
    switch (row.status) {
    case PortRow::Usable: return QStringLiteral("usable");
    case PortRow::Busy:
        return row.holder ? QStringLiteral("busy (pid %1)").arg(row.holder) : QStringLiteral("busy");
    case PortRow::NoPermission: return QStringLiteral("no permission");
    case PortRow::Missing: break;
    }
    return QStringLiteral("missing");
}

QString statusText(const PortRow &row)
{
    if (row.status == PortRow::Busy)
        return QStringLiteral("busy (pid %1)").arg(row.holder);
    return statusWord(row);
}

} // namespace kestran
