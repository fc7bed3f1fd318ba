#include "wholeread.h"

#include "parameters.h"
#include "valueinput.h"
#include "values.h"

namespace kestran {

QVector<char> WholeRead::missing() const
{
    QVector<char> out;
    for (const Parameter &p : parameterTable())
        if (!values.contains(p.index))
            out.append(p.index);
    return out;
}

bool holdsShape(char index, const QString &field)
{
    const Parameter *p = parameterFor(QLatin1Char(index));
    return p && isWellFormedField(field) && (!p->hasSetting || hasValueShape(p->shape, field));
}

WholeRead readWhole(CounterClient &client, int device, const ReadOptions &options, ReadMode mode)
{
    WholeRead total;
    total.device = device;
    const int budget = 1 + std::max(0, options.retries);
    while (total.attempts < budget) {
        ReadOptions once = options;
        // A probe asks once first: a device that does not answer is not there.
        once.retries = mode == ReadMode::Probe && total.attempts == 0 ? 0 : budget - total.attempts - 1;
        const ReadResult r = client.read(device, once);
        const bool first = total.attempts == 0;
        total.attempts += r.attempts;
        for (auto it = r.values.cbegin(); it != r.values.cend(); ++it) {
            if (mode == ReadMode::AsSent || holdsShape(it.key(), it.value())) {
                total.values.insert(it.key(), it.value());
                total.shapeless.remove(it.key());
            } else if (!total.values.contains(it.key())) {
                total.shapeless.insert(it.key(), it.value());
            }
            total.garbled.removeAll(it.key());
        }
        for (char i : r.garbled)
            if (!total.values.contains(i) && !total.shapeless.contains(i) && !total.garbled.contains(i))
                total.garbled.append(i);
        if (r.ending.stopped()) {
            total.ending = r.ending;
            break;
        }
        if (r.attempts == 0 || total.complete() || (mode == ReadMode::Probe && first && r.values.isEmpty()))
            break;
    }
    return total;
}

} // namespace kestran
