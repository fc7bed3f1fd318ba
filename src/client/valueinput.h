#pragma once
// Names and values as scripts and backup files write them.
#include "parameters.h"

#include <QString>

namespace kestran {

// The script name of a parameter: "TARGET", "ACTUAL", "DIFFERENCE", "RESET",
// "DEBOUNCE0", "DEBOUNCE1", "DEBOUNCE2", "ALARM".
QString scriptName(const Parameter &p);

// The parameter a name stands for, case-insensitive; "DEBOUNCE(0)" is accepted
// beside "DEBOUNCE0". nullptr for anything else.
const Parameter *parameterByName(const QString &name);

// Whole numbers each setting can hold in its value field.
struct ValueRange {
    long min, max;
};
ValueRange valueRange(ValueShape shape);

// A value given for `p`: a whole number in the parameter's range ("1234",
// "-5", "+12"), formatted to the value field ("+0001234"), or a value field
// as the counter sends it (a sign and seven digits) that has the parameter's
// shape. Returns the value field, or an empty string with the reason in `why`.
QString valueFieldFor(const Parameter &p, const QString &text, QString *why);

// True when `field` is a sign followed by seven ASCII digits.
bool isWellFormedField(const QString &field);

} // namespace kestran
