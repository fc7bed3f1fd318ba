// Fuzz target for the snapshot reader (which also reads one-line backups).
//
// Any bytes may be handed to parseSnapshot. It must not crash, and whatever
// it accepts must be sound: line names unique, of the allowed characters
// (a one-line backup's single line has none); per line device numbers 0 to 7,
// each once; every setting value with its setting's shape; written out again
// and read back, the same lines, ports, devices and values. Any difference aborts.
#include "client/snapshot.h"
#include "client/valueinput.h"
#include "protocol/parameters.h"
#include "protocol/values.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QSet>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace kestran;

namespace {
[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "snapshot reader: %s\n", what);
    std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    Snapshot snapshot;
    QString error;
    if (!parseSnapshot(bytes, &snapshot, &error)) {
        if (error.isEmpty())
            fail("refused without saying where");
        return 0;
    }
    if (!snapshot.plant && snapshot.lines.size() != 1)
        fail("a one-line backup read as other than one line");
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    QSet<QString> names;
    for (const SavedLine &line : snapshot.lines) {
        if (snapshot.plant && (!name.match(line.name).hasMatch() || names.contains(line.name)))
            fail("a bad or repeated line name accepted");
        names.insert(line.name);
        QSet<int> seen;
        for (const SavedDevice &d : line.devices) {
            if (d.device < 0 || d.device > 7 || seen.contains(d.device))
                fail("bad or repeated device number accepted");
            seen.insert(d.device);
            for (auto it = d.values.cbegin(); it != d.values.cend(); ++it) {
                const Parameter *p = parameterFor(QLatin1Char(it.key()));
                if (!p)
                    fail("unknown index accepted");
                if (p->hasSetting && !(isWellFormedField(it.value()) && hasValueShape(p->shape, it.value())))
                    fail("a setting without its value shape accepted");
            }
        }
    }
    if (!snapshot.plant)
        snapshot.lines[0].name = QStringLiteral("line");   // a snapshot's lines are named
    Snapshot again;
    if (!parseSnapshot(snapshot.toJson(), &again, &error))
        fail("its own output refused");
    if (!again.plant || again.lines.size() != snapshot.lines.size())
        fail("line count changed on the way round");
    for (qsizetype i = 0; i < snapshot.lines.size(); ++i) {
        const SavedLine &a = snapshot.lines[i], &b = again.lines[i];
        if (a.name != b.name || a.port != b.port || a.devices.size() != b.devices.size())
            fail("a line changed on the way round");
        for (qsizetype j = 0; j < a.devices.size(); ++j)
            if (a.devices[j].device != b.devices[j].device || a.devices[j].values != b.devices[j].values)
                fail("values changed on the way round");
    }
    return 0;
}
