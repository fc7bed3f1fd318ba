#pragma once
// Fonts of the window. Every control asks for "Cordia New". Where that family
// is missing, a narrow sans serif stands in, scaled down so that its letters
// take about the room Cordia New's small Latin letters take; every caption and
// text then fits its control as laid out.
#include <QFont>
#include <QString>

namespace kestran {

inline constexpr const char *kDesignFamily = "Cordia New";

// The family actually used and the factor applied to the designed point size
// (1.0 when Cordia New itself is installed).
struct FontChoice {
    QString family;
    qreal scale = 1.0;
};
const FontChoice &fontChoice();

// The font for a designed size in points (20.25 for the window font, 26.25
// for the displays) and weight (bold = 700, otherwise 400).
QFont windowFont(qreal designPt, bool bold);

} // namespace kestran
