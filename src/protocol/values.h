#pragma once
// Value fields: the shape test of the setting fields and the number shown in the displays.
#include "parameters.h"
#include <QString>

namespace kestran {

// True when `text` has the value shape of the setting (8 characters and the
// prefix of its shape). Exact, case-sensitive, no trimming.
bool hasValueShape(ValueShape shape, const QString &text);

// The value as a whole number by the pattern "######0": "+0001234" -> "1234",
// "-0000012" -> "-12", "+0000000" -> "0", "12345678" -> "12345678".
// A value that is not a signed decimal number is returned as received.
QString formatDisplay(const QString &value);

// Setup writes a step when its check box holds exactly 1 and its text is exactly 8 characters.
bool stepWrites(int checkValue, const QString &text);

} // namespace kestran
