// Geometry, colours, fonts, one-bit pictures and control classes: the plain values that
// the dialog templates and pictures of res/ describe and the window layer draws with.
// Header-only, below both.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

namespace ui {

struct Point {
  int32_t x = 0;
  int32_t y = 0;
  bool operator==(const Point&) const = default;
};

// Edges in pixels; right and bottom are exclusive, as the drawing calls take them.
struct Rect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};

struct Colour {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  bool operator==(const Colour&) const = default;
};

struct Pen {
  Colour colour;
  int32_t width = 1;
  bool operator==(const Pen&) const = default;
};

struct Brush {
  Colour colour;
  bool operator==(const Brush&) const = default;
};

struct Font {
  std::u16string_view face;
  int32_t height = 0;  // pixels
  int32_t weight = 400;
  bool italic = false;
  bool operator==(const Font&) const = default;
};

// A one-bit picture: rows top first, each row `stride` bytes, most significant bit
// leftmost; 1 bits are white, 0 bits black.
struct MonoPicture {
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;
  std::span<const uint8_t> bits;
};

enum class ControlClass : uint8_t {
  Dialog,
  GroupBox,
  Static,
  StaticImage,
  ComboBox,
  Edit,
  PushButton,
  RadioButton,
  CheckBox,
  ScrollBar,
  Trackbar,
};

}  // namespace ui
