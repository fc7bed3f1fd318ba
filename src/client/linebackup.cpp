#include "linebackup.h"

namespace kestran {

QVector<SavedDevice> LineBackup::saved() const
{
    QVector<SavedDevice> out;
    for (const DeviceBackup &d : devices)
        if (d.status == DeviceBackup::Saved)
            out.append({d.read.device, d.read.values});
    return out;
}

bool LineBackup::anyIncomplete() const
{
    for (const DeviceBackup &d : devices)
        if (d.status == DeviceBackup::Incomplete)
            return true;
    return false;
}

LineBackup backupLine(CounterClient &client, const QVector<int> &devices, const ReadOptions &options,
                      const std::function<void(const DeviceBackup &)> &onDevice)
{
    const bool probe = devices.isEmpty();
    LineBackup line;
    for (int d : probe ? QVector<int>{0, 1, 2, 3, 4, 5, 6, 7} : devices) {
        DeviceBackup b;
        b.read = client.read(d, options, probe ? ReadMode::Probe : ReadMode::Whole);
        if (b.read.ending.stopped()) {
            line.ending = b.read.ending;
            line.stoppedAt = d;
            break;
        }
        b.status = b.read.complete() ? DeviceBackup::Saved
                 : probe && !b.read.answered() ? DeviceBackup::Absent : DeviceBackup::Incomplete;
        line.devices.append(b);
        if (onDevice)
            onDevice(line.devices.last());
    }
    return line;
}

QVector<ReadResult> scanLine(CounterClient &client, const ReadOptions &options,
                             const std::function<void(const ReadResult &)> &onDevice)
{
    QVector<ReadResult> reads;
    for (int d = 0; d < 8; ++d) {
        reads.append(client.read(d, options, ReadMode::AsSent));
        if (reads.last().ending.stopped())
            break;
        if (onDevice)
            onDevice(reads.last());
    }
    return reads;
}

QString backupTime(const QDateTime &when)
{
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate);
}

} // namespace kestran
