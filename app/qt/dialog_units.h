// Dialog units: the layout of the window is given in the units of the Windows dialog manager,
// a quarter of the font's average character width across and an eighth of its height down.
#pragma once

#include <QFont>
#include <QRect>

namespace r9::qt {

struct BaseUnits {
  int x = 0;  // pixels per 4 horizontal dialog units
  int y = 0;  // pixels per 8 vertical dialog units
};

// The base units of a font as the dialog manager takes them: the average width of the 52 Latin
// letters, rounded, and the font's line height.
BaseUnits FontBaseUnits(const QFont& font);

// A rectangle of the template converted to pixels (x * base.x / 4, y * base.y / 8, rounded).
QRect DialogRect(const BaseUnits& base, int x, int y, int width, int height);
int DialogX(const BaseUnits& base, int x);
int DialogY(const BaseUnits& base, int y);

// The dialogs' font: a Japanese-capable font at 9 points, so the Japanese port names render.
QFont DialogFont();

}  // namespace r9::qt
