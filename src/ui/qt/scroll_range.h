// Scroll-bar arithmetic, in one place. The window layer counts like the classic
// scroll-bar interface: a range of minimum..maximum with the page inside it, so the
// last position a thumb can reach is maximum - page + 1. Qt's maximum is that last
// position itself, with the page outside the range.
#pragma once
#include <algorithm>
#include <cstdint>

namespace ui::qt {

struct SliderRange {
  int32_t minimum = 0;
  int32_t maximum = 0;  // the last position a thumb can reach
  int32_t page = 1;
  bool operator==(const SliderRange&) const = default;
};

// The Qt range of a window-layer scroll range. A page of 0 counts as one position.
constexpr SliderRange ToSliderRange(int32_t minimum, int32_t maximum, int32_t page) {
  const int32_t span = std::max(page, 1);
  const int32_t last = std::max(minimum, maximum - span + 1);
  return {minimum, last, span};
}

}  // namespace ui::qt
