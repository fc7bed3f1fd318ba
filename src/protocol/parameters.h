#pragma once
// The counter's parameter table: index characters "0" to "7" and what each names.
#include <QChar>
#include <QString>
#include <array>

namespace kestran {

enum class ValueShape {
    None,        // DIFFERENCE: no setting field
    Signed,      // 8 characters, first "+" or "-"
    Debounce,    // 8 characters beginning "+0000"
    Alarm,       // 8 characters beginning "+000000"
};

struct Parameter {
    char index;          // '0' .. '7'
    const char *name;    // "TARGET", "ACTUAL", ... (the check box caption)
    bool hasDisplay;     // a reply sets tTARGET / tACTUAL / tDIFFERENCE
    bool hasSetting;     // a reply sets the setting field; Setup writes it
    ValueShape shape;
    // A live count (ACTUAL, DIFFERENCE): it changes as the counter counts, so
    // a saved copy of it is no setting to compare or put back unless asked.
    bool liveCount;
};

// In index order "0" .. "7".
const std::array<Parameter, 8> &parameterTable();

// The order in which Setup visits the settings: 0, 1, 3, 4, 5, 6, 7 (never 2).
const std::array<char, 7> &setupOrder();

// The parameter of an index character, or nullptr for anything outside "0" .. "7".
const Parameter *parameterFor(QChar index);

} // namespace kestran
