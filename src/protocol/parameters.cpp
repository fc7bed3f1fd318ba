#include "parameters.h"

namespace kestran {

const std::array<Parameter, 8> &parameterTable()
{
    static const std::array<Parameter, 8> table = {{
        {'0', "TARGET", true, true, ValueShape::Signed, false},
        {'1', "ACTUAL", true, true, ValueShape::Signed, true},
        {'2', "DIFFERENCE", true, false, ValueShape::None, true},
        {'3', "RESET", false, true, ValueShape::Signed, false},
        {'4', "DEBOUNCE(0)", false, true, ValueShape::Debounce, false},
        {'5', "DEBOUNCE(1)", false, true, ValueShape::Debounce, false},
        {'6', "DEBOUNCE(2)", false, true, ValueShape::Debounce, false},
        {'7', "ALARM", false, true, ValueShape::Alarm, false},
    }};
    return table;
}

const std::array<char, 7> &setupOrder()
{
    // DIFFERENCE ("2") is reported by the counter and never written.
    static const std::array<char, 7> order = {{'0', '1', '3', '4', '5', '6', '7'}};
    return order;
}

const Parameter *parameterFor(QChar index)
{
    const char16_t u = index.unicode();
    if (u < u'0' || u > u'7')
        return nullptr;
    return &parameterTable()[u - u'0'];
}

} // namespace kestran
