// Fuzz target for the backup file reader.
//
// Any bytes may be handed to parseBackup. It must not crash, and whatever it
// accepts must be sound: device numbers 0 to 7, each once; every setting
// value a sign and seven digits with its setting's shape; written out again
// and read back, the same devices and values. Any difference aborts.
#include "client/backupfile.h"
#include "client/valueinput.h"
#include "protocol/parameters.h"
#include "protocol/values.h"

#include <QByteArray>
#include <QSet>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace kestran;

namespace {
[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "backup reader: %s\n", what);
    std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    Backup backup;
    QString error;
    if (!parseBackup(bytes, &backup, &error)) {
        if (error.isEmpty())
            fail("refused without saying where");
        return 0;
    }
    QSet<int> seen;
    for (const SavedDevice &d : backup.devices) {
        if (d.device < 0 || d.device > 7 || seen.contains(d.device))
            fail("bad or repeated device number accepted");
        seen.insert(d.device);
        for (auto it = d.values.cbegin(); it != d.values.cend(); ++it) {
            const Parameter *p = parameterFor(QLatin1Char(it.key()));
            if (!p)
                fail("unknown index accepted");
            if (p->hasSetting && !(isWellFormedField(it.value()) && hasValueShape(p->shape, it.value())))
                fail("a setting without its value shape accepted");
            if (!p->hasSetting && it.value().size() != 8)
                fail("a DIFFERENCE value not eight characters long accepted");
        }
    }
    Backup again;
    if (!parseBackup(backup.toJson(), &again, &error))
        fail("its own output refused");
    if (again.devices.size() != backup.devices.size())
        fail("device count changed on the way round");
    for (qsizetype i = 0; i < backup.devices.size(); ++i)
        if (again.devices[i].device != backup.devices[i].device || again.devices[i].values != backup.devices[i].values)
            fail("values changed on the way round");
    return 0;
}
