#include "app/qt/dialog_units.h"

#include <QFontMetrics>

namespace r9::qt {
namespace {

// a * b / c rounded to the nearest integer, as the dialog manager's MulDiv does.
int MulDiv(int a, int b, int c) {
  const long long p = static_cast<long long>(a) * b;
  return static_cast<int>(p >= 0 ? (p + c / 2) / c : (p - c / 2) / c);
}

}  // namespace

BaseUnits FontBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters / 26 + 1) / 2, metrics.height()};
}

int DialogX(const BaseUnits& base, int x) { return MulDiv(x, base.x, 4); }
int DialogY(const BaseUnits& base, int y) { return MulDiv(y, base.y, 8); }

QRect DialogRect(const BaseUnits& base, int x, int y, int width, int height) {
  return QRect(DialogX(base, x), DialogY(base, y), DialogX(base, width), DialogY(base, height));
}

QFont DialogFont() {
  QFont font(QStringLiteral("IPAGothic"));
  font.setPointSize(9);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

}  // namespace r9::qt
