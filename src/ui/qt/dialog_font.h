// Fonts by the names the templates and the results display give them, and the dialog
// base units that turn dialog units into pixels. Where a face is not installed, a
// metrically close one stands in, and the units come from the stand-in's own metrics,
// so the controls fit the text that is actually drawn.
#pragma once
#include <QFont>
#include <cstdint>
#include <string_view>

#include "window/types.h"

namespace ui::qt {

// The installed family used for a face name: the face itself when present, otherwise
// the closest sans-serif we know of for it.
QString ResolveFamily(std::u16string_view face);

// A dialog's font: the face at `points` on a screen of `pixelsPerInch`, rounded to whole
// pixels as the template's point size would be.
QFont DialogFont(std::u16string_view face, int32_t points, int32_t pixelsPerInch);

struct BaseUnits {
  int32_t x = 0;  // pixels per 4 horizontal dialog units
  int32_t y = 0;  // pixels per 8 vertical dialog units
};
// The average width of the alphabet (rounded as dialog managers do) and the line height.
BaseUnits DialogBaseUnits(const QFont& font);

// Dialog units to pixels with these base units (rounded to the nearest pixel).
Rect UnitsToPixels(Rect units, BaseUnits base);

// A drawing font whose cell (ascent plus descent) is `font.height` pixels high, as the
// drawing calls measure font heights. Safe on any thread; built once per description.
const QFont& CanvasFont(const Font& font);

}  // namespace ui::qt
