#include "linecheck.h"

#include "parameters.h"

namespace kestran {

int LineCheck::differenceCount() const
{
    int n = 0;
    for (const DeviceCheck &d : devices)
        n += int(d.differences.size());
    return n;
}

bool LineCheck::allChecked() const
{
    for (const DeviceCheck &d : devices)
        if (!d.answered() || !d.unread.isEmpty())
            return false;
    return true;
}

bool isCompared(const Parameter &p, bool withLiveCounts)
{
    return p.liveCount ? withLiveCounts : p.hasSetting;
}

DeviceCheck compareDevice(const SavedDevice &saved, const ReadResult &live, bool withLiveCounts)
{
    DeviceCheck c;
    c.device = saved.device;
    c.read = live;
    if (!live.answered())
        return c;
    for (const Parameter &p : parameterTable()) {
        if (!isCompared(p, withLiveCounts) || !saved.values.contains(p.index))
            continue;
        const auto it = live.values.constFind(p.index);
        if (it == live.values.cend())
            c.unread.append(p.index);
        else if (*it != saved.values.value(p.index))
            c.differences.append({saved.device, p.index, saved.values.value(p.index), *it});
    }
    return c;
}

LineCheck checkLine(CounterClient &client, const QVector<SavedDevice> &saved, const ReadOptions &options,
                    bool withLiveCounts, const std::function<void(const DeviceCheck &)> &onDevice)
{
    LineCheck line;
    for (const SavedDevice &s : saved) {
        const ReadResult r = client.read(s.device, options, ReadMode::AsSent);
        if (r.ending.stopped()) {
            line.ending = r.ending;
            line.stoppedAt = s.device;
            break;
        }
        line.devices.append(compareDevice(s, r, withLiveCounts));
        if (onDevice)
            onDevice(line.devices.last());
    }
    return line;
}

} // namespace kestran
