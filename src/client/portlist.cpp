#include "portlist.h"
#include "mdlcomport.h"

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
        const QFileInfo node(dev->path);
        if (!node.exists()) {
            row.status = PortRow::Missing;
        } else if (!node.isReadable() || !node.isWritable()) {
            row.status = PortRow::NoPermission;
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
    case PortRow::Busy: return QStringLiteral("busy");
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
