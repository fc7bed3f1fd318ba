#pragma once
// Reading a counter whole: the eight values, each with the shape its setting
// holds, asked for again within the retries while any is missing.
#include "counterclient.h"

#include <QMap>
#include <QString>
#include <QVector>

namespace kestran {

enum class ReadMode {
    Whole,    // every setting with its own shape; one without it counts as missing
    Probe,    // as Whole, but a device that says nothing to the first request is absent
    AsSent,   // the values as they came (a sign and seven digits), as a read shows them
};

struct WholeRead {
    int device = 0;
    QMap<char, QString> values;      // index character -> value field
    QMap<char, QString> shapeless;   // Whole, Probe: settings that came without their shape
    QVector<char> garbled;           // missing, but a damaged reply came for it
    int attempts = 0;
    Ending ending;                   // lost or interrupted, or neither

    bool complete() const { return values.size() == 8; }
    // Nothing at all came: no value, no damaged reply.
    bool silent() const { return values.isEmpty() && shapeless.isEmpty() && garbled.isEmpty(); }
    QVector<char> missing() const;
};

// True when `field` is a value `index` can hold: a setting with its shape,
// DIFFERENCE a sign and seven digits.
bool holdsShape(char index, const QString &field);

WholeRead readWhole(CounterClient &client, int device, const ReadOptions &options, ReadMode mode = ReadMode::Whole);

} // namespace kestran
