#include "res/pictures.h"

#include <array>
#include <cmath>
#include <vector>

#include "res/control_ids.h"

namespace res {
namespace {

// A 5 x 7 face, enough for the words the pictures carry. Each row: 5 bits, leftmost high.
struct Glyph {
  char16_t ch;
  uint8_t rows[7];
};

constexpr Glyph kGlyphs[] = {
    {u'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {u'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {u'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {u'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {u'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {u'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {u'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
    {u'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {u'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {u'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {u'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {u'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {u'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {u'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {u'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {u'3', {0x1E, 0x01, 0x01, 0x0E, 0x01, 0x01, 0x1E}},
    {u'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {u'e', {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E}},
    {u'g', {0x00, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x0E}},
    {u'i', {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E}},
    {u'n', {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11}},
    {u'o', {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E}},
    {u'r', {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10}},
    {u's', {0x00, 0x00, 0x0F, 0x10, 0x0E, 0x01, 0x1E}},
    {u't', {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06}},
};

constexpr int32_t kAdvance = 6;  // glyph width plus one column of space

const Glyph* FindGlyph(char16_t ch) {
  for (const Glyph& glyph : kGlyphs) {
    if (glyph.ch == ch) return &glyph;
  }
  return nullptr;  // blanks and anything unknown leave a gap
}

class Plate {
 public:
  Plate(int32_t width, int32_t height, bool white)
      : width_(width),
        height_(height),
        stride_((width + 7) / 8),
        bits_(static_cast<size_t>(stride_ * height), white ? 0xFF : 0x00) {}

  void Set(int32_t x, int32_t y, bool white) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    uint8_t& byte = bits_[static_cast<size_t>(y * stride_ + x / 8)];
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (x % 8));
    byte = white ? (byte | mask) : (byte & ~mask);
  }

  int32_t TextWidth(std::u16string_view text, int32_t scale) const {
    return static_cast<int32_t>(text.size()) * kAdvance * scale - scale;
  }

  // Centred horizontally on the plate.
  void Text(std::u16string_view text, int32_t top, int32_t scale, bool white) {
    int32_t x = (width_ - TextWidth(text, scale)) / 2;
    for (char16_t ch : text) {
      if (const Glyph* glyph = FindGlyph(ch)) {
        for (int32_t row = 0; row < 7; ++row) {
          for (int32_t col = 0; col < 5; ++col) {
            if (!(glyph->rows[row] & (0x10 >> col))) continue;
            for (int32_t dy = 0; dy < scale; ++dy) {
              for (int32_t dx = 0; dx < scale; ++dx) {
                Set(x + col * scale + dx, top + row * scale + dy, white);
              }
            }
          }
        }
      }
      x += kAdvance * scale;
    }
  }

  void Frame(int32_t inset, bool white) {
    for (int32_t x = inset; x < width_ - inset; ++x) {
      Set(x, inset, white);
      Set(x, height_ - 1 - inset, white);
    }
    for (int32_t y = inset; y < height_ - inset; ++y) {
      Set(inset, y, white);
      Set(width_ - 1 - inset, y, white);
    }
  }

  void Rule(int32_t y, int32_t from, int32_t to, bool white) {
    for (int32_t x = from; x < to; ++x) Set(x, y, white);
  }

  ui::MonoPicture Picture() const { return {width_, height_, stride_, bits_}; }

 private:
  int32_t width_;
  int32_t height_;
  int32_t stride_;
  std::vector<uint8_t> bits_;
};

// Black on white: the product name, a rule, and what the product is.
const Plate& Banner() {
  static const Plate plate = [] {
    Plate p(200, 56, true);
    p.Frame(0, false);
    p.Frame(2, false);
    p.Text(u"TARNWICK", 8, 3, false);
    p.Rule(33, 24, 176, false);
    p.Text(u"USB 3.0 LOOPBACK", 39, 1, false);
    return p;
  }();
  return plate;
}

// White on black, three lines, for the 128 x 64 plug display.
const Plate& TestInProgress() {
  static const Plate plate = [] {
    Plate p(128, 64, false);
    p.Text(u"Test", 5, 2, true);
    p.Text(u"in", 25, 2, true);
    p.Text(u"Progress", 45, 2, true);
    return p;
  }();
  return plate;
}

}  // namespace

// A rounded blue tile with a white ring: the loop the plug closes.
std::vector<uint32_t> IconPixels(int32_t size) {
  std::vector<uint32_t> pixels(static_cast<size_t>(size * size), 0);
  const float centre = (size - 1) / 2.0f;
  const float corner = size * 0.2f;
  for (int32_t y = 0; y < size; ++y) {
    for (int32_t x = 0; x < size; ++x) {
      // Distance outside the rounded square's inner rectangle decides the corners.
      const float dx = std::fmax(std::fabs(x - centre) - (centre - corner), 0.0f);
      const float dy = std::fmax(std::fabs(y - centre) - (centre - corner), 0.0f);
      if (dx * dx + dy * dy > corner * corner) continue;
      const float r = std::hypot(x - centre, y - centre);
      const bool ring = r >= size * 0.2f && r <= size * 0.33f;
      pixels[static_cast<size_t>(y * size + x)] = ring ? 0xFFFFFFFFu : 0xFF1F5FA0u;
    }
  }
  return pixels;
}

const ui::MonoPicture* FindBitmap(int32_t id) {
  static const ui::MonoPicture banner = Banner().Picture();
  static const ui::MonoPicture testInProgress = TestInProgress().Picture();
  if (id == IDB_BANNER) return &banner;
  if (id == IDB_TEST_IN_PROGRESS) return &testInProgress;
  return nullptr;
}

std::span<const IconImage> FindIconGroup(std::string_view name) {
  static const std::vector<uint32_t> small = IconPixels(16);
  static const std::vector<uint32_t> large = IconPixels(32);
  static const std::array<IconImage, 2> group = {IconImage{16, small}, IconImage{32, large}};
  if (name == "TARNWICK") return group;
  return {};
}

}  // namespace res
