#include "ui/qt/dialog_font.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <tuple>

namespace ui::qt {
namespace {

int32_t MulDiv(int32_t value, int32_t numerator, int32_t denominator) {
  const int64_t product = static_cast<int64_t>(value) * numerator;
  const int64_t half = denominator / 2;
  return static_cast<int32_t>(product >= 0 ? (product + half) / denominator
                                           : (product - half) / denominator);
}

// Narrow humanist sans faces first: their widths come closest to the templates' face.
constexpr const char* kStandIns[] = {"DejaVu Sans Condensed", "Liberation Sans", "Arimo",
                                     "Noto Sans", "DejaVu Sans"};

}  // namespace

QString ResolveFamily(std::u16string_view face) {
  static std::mutex lock;
  static std::map<std::u16string, QString> resolved;
  std::lock_guard guard(lock);
  const std::u16string key(face);
  if (auto it = resolved.find(key); it != resolved.end()) return it->second;

  const QStringList families = QFontDatabase::families();
  QString family = QString::fromUtf16(face.data(), static_cast<qsizetype>(face.size()));
  if (!families.contains(family, Qt::CaseInsensitive)) {
    family = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    for (const char* standIn : kStandIns) {
      if (families.contains(QLatin1String(standIn), Qt::CaseInsensitive)) {
        family = QLatin1String(standIn);
        break;
      }
    }
  }
  resolved.emplace(key, family);
  return family;
}

QFont DialogFont(std::u16string_view face, int32_t points, int32_t pixelsPerInch) {
  QFont font(ResolveFamily(face));
  font.setPixelSize(std::max(1, MulDiv(points, pixelsPerInch, 72)));
  font.setStyleHint(QFont::SansSerif);
  return font;
}

BaseUnits DialogBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int32_t width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(width / 26 + 1) / 2, metrics.height()};
}

Rect UnitsToPixels(Rect units, BaseUnits base) {
  const int32_t left = MulDiv(units.left, base.x, 4);
  const int32_t top = MulDiv(units.top, base.y, 8);
  return {left, top, left + MulDiv(units.Width(), base.x, 4),
          top + MulDiv(units.Height(), base.y, 8)};
}

const QFont& CanvasFont(const Font& font) {
  using Key = std::tuple<std::u16string, int32_t, int32_t, bool>;
  static std::mutex lock;
  static std::map<Key, QFont> fonts;
  std::lock_guard guard(lock);
  Key key{std::u16string(font.face), font.height, font.weight, font.italic};
  if (auto it = fonts.find(key); it != fonts.end()) return it->second;

  QFont made(ResolveFamily(font.face));
  made.setWeight(static_cast<QFont::Weight>(std::clamp(font.weight, 1, 1000)));
  made.setItalic(font.italic);
  // A positive height is the cell, a negative one the em, as font requests count them.
  // Pixel sizes name the em and the cell of most faces is a little taller: scale from a
  // large probe so the cell comes out at the height asked for.
  int32_t pixels = -font.height;
  if (font.height > 0) {
    QFont probe(made);
    probe.setPixelSize(100);
    const QFontMetricsF metrics(probe);
    const double cell = metrics.ascent() + metrics.descent();
    pixels =
        cell > 0.0 ? static_cast<int32_t>(std::lround(font.height * 100.0 / cell)) : font.height;
  }
  made.setPixelSize(std::max(1, pixels));
  return fonts.emplace(std::move(key), made).first->second;
}

}  // namespace ui::qt
