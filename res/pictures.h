// The program's pictures: the banner (bitmap 111), the "Test in Progress" plate shown in
// the plug display panel during a run (bitmap 138) and the window icon group.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "window/types.h"

namespace res {

// Bitmaps 111 (200 x 56) and 138 (128 x 64); nullptr for any other id.
const ui::MonoPicture* FindBitmap(int32_t id);

// One square image of an icon group, 0xAARRGGBB pixels, rows top first.
struct IconImage {
  int32_t size;
  std::span<const uint32_t> pixels;
};

// The icon's picture at any size (0xAARRGGBB, rows top first): the group's images, and
// the desktop's icon files, which the build makes from it.
std::vector<uint32_t> IconPixels(int32_t size);
// "TARNWICK": 16 x 16 and 32 x 32; empty for any other name.
std::span<const IconImage> FindIconGroup(std::string_view name);

}  // namespace res
