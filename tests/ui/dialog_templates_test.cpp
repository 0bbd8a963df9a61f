#include "res/dialog_templates.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "res/control_ids.h"
#include "res/pictures.h"

namespace res {
namespace {

using ui::ControlClass;

bool PixelWhite(const ui::MonoPicture& picture, int32_t x, int32_t y) {
  const uint8_t byte = picture.bits[static_cast<size_t>(y * picture.stride + x / 8)];
  return (byte & (0x80 >> (x % 8))) != 0;
}

struct Box {
  int32_t left, top, right, bottom;
  bool operator==(const Box&) const = default;
};

// Where a control sits in dialog units; a closed drop-down list is one line high, the
// template height includes its list.
Box BoxOf(const ControlTemplate& c) {
  const int32_t height = c.controlClass == ControlClass::ComboBox ? 12 : c.height;
  return {c.x, c.y, c.x + c.width, c.y + height};
}
bool Overlap(const Box& a, const Box& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}
bool Inside(const Box& inner, const Box& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

// The group boxes that frame a control.
std::vector<const ControlTemplate*> GroupsOf(const DialogTemplate& dialog,
                                             const ControlTemplate& control) {
  std::vector<const ControlTemplate*> groups;
  for (const ControlTemplate& group : dialog.controls) {
    if (group.controlClass == ControlClass::GroupBox && &group != &control &&
        Inside(BoxOf(control), BoxOf(group))) {
      groups.push_back(&group);
    }
  }
  return groups;
}

class TemplateLayoutTest : public ::testing::TestWithParam<const char*> {};

// Every control lies inside its dialog, has an id of its own, sits wholly inside or wholly
// outside each group box, and overlaps no other control, except that in a place two
// group boxes take turns a shown control may share the space with a hidden one.
TEST_P(TemplateLayoutTest, ControlsFitTheirDialogAndDoNotOverlap) {
  const DialogTemplate* dialog = FindDialogTemplate(GetParam());
  ASSERT_NE(dialog, nullptr);
  ASSERT_FALSE(dialog->controls.empty());
  const Box whole{0, 0, dialog->width, dialog->height};
  std::set<int32_t> ids;
  for (const ControlTemplate& control : dialog->controls) {
    EXPECT_TRUE(Inside(BoxOf(control), whole)) << control.id;
    EXPECT_GT(control.width, 0) << control.id;
    EXPECT_GT(control.height, 0) << control.id;
    if (control.id != IDC_STATIC) {
      EXPECT_TRUE(ids.insert(control.id).second) << control.id;
    }
  }
  auto inSharedPlace = [&](const ControlTemplate& c) { return GroupsOf(*dialog, c).size() > 1; };
  for (const ControlTemplate& a : dialog->controls) {
    for (const ControlTemplate& b : dialog->controls) {
      if (&a >= &b) continue;
      const bool aGroup = a.controlClass == ControlClass::GroupBox;
      const bool bGroup = b.controlClass == ControlClass::GroupBox;
      if (aGroup && bGroup) {
        EXPECT_TRUE(!Overlap(BoxOf(a), BoxOf(b)) || BoxOf(a) == BoxOf(b))
            << a.id << " cuts across " << b.id;
      } else if (aGroup || bGroup) {
        const Box group = BoxOf(aGroup ? a : b);
        const Box other = BoxOf(aGroup ? b : a);
        EXPECT_TRUE(!Overlap(group, other) || Inside(other, group))
            << (aGroup ? b.id : a.id) << " straddles group " << (aGroup ? a.id : b.id);
      } else {
        const bool takeTurns = inSharedPlace(a) && inSharedPlace(b) &&
                               ((a.style & Hidden) != 0) != ((b.style & Hidden) != 0);
        if (!takeTurns) {
          EXPECT_FALSE(Overlap(BoxOf(a), BoxOf(b))) << a.id << " overlaps " << b.id;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllDialogs, TemplateLayoutTest,
                         ::testing::Values("TARNWICK", "CONFBOX", "ABOUTBOX"));

// The loopback and benchmark options take turns in one place, loopback first; the
// radio groups end where the next group starts.
TEST(DialogTemplatesTest, ConfigurationOptionsTakeTurnsAndRadioGroupsEndWhereTheyShould) {
  const DialogTemplate* conf = FindDialogTemplate("CONFBOX");
  ASSERT_NE(conf, nullptr);
  const ControlTemplate* loopback = conf->Find(IDC_LOOPBACK_GROUP);
  const ControlTemplate* benchmark = conf->Find(IDC_BENCHMARK_GROUP);
  EXPECT_EQ(BoxOf(*loopback), BoxOf(*benchmark));
  EXPECT_FALSE(loopback->style & Hidden);
  EXPECT_TRUE(benchmark->style & Hidden);
  EXPECT_TRUE(conf->Find(IDC_READ)->style & Hidden);
  for (int32_t id : {IDC_READ, IDC_CONSTANT, IDC_VERIFY})
    EXPECT_TRUE(conf->Find(id)->style & GroupStart) << id;
  EXPECT_FALSE(conf->Find(IDC_RANDOM)->style & GroupStart);
  const DialogTemplate* main = FindDialogTemplate("TARNWICK");
  EXPECT_TRUE(main->Find(IDC_LOOPBACK)->style & GroupStart);
  EXPECT_FALSE(main->Find(IDC_BENCHMARK)->style & GroupStart);
  EXPECT_EQ(FindDialogTemplate("tarnwick"), nullptr);
}

TEST(PicturesTest, BitmapsHoldTheirRowsAndThePlateIsWhiteWritingOnBlack) {
  for (int32_t id : {IDB_BANNER, IDB_TEST_IN_PROGRESS}) {
    const ui::MonoPicture* picture = FindBitmap(id);
    ASSERT_NE(picture, nullptr) << id;
    EXPECT_GE(picture->stride * 8, picture->width);
    EXPECT_EQ(picture->bits.size(), static_cast<size_t>(picture->stride * picture->height));
  }
  EXPECT_EQ(FindBitmap(112), nullptr);
  // The plate stands in for the plug's 128 x 64 display: a black margin, white writing.
  const ui::MonoPicture* plate = FindBitmap(IDB_TEST_IN_PROGRESS);
  ASSERT_EQ(plate->width, 128);
  ASSERT_EQ(plate->height, 64);
  int white = 0;
  for (int32_t y = 0; y < 64; ++y) {
    for (int32_t x = 0; x < 128; ++x) {
      if (!PixelWhite(*plate, x, y)) continue;
      ++white;
      EXPECT_TRUE(x >= 8 && x < 120 && y >= 4 && y < 62) << x << "," << y;
    }
  }
  EXPECT_GT(white, 200);
  EXPECT_LT(white, 128 * 64 / 2);
  const ui::MonoPicture* banner = FindBitmap(IDB_BANNER);  // black on white, framed
  EXPECT_FALSE(PixelWhite(*banner, 0, 0));
  EXPECT_TRUE(PixelWhite(*banner, 5, 5));
}

TEST(PicturesTest, IconsAreSquareWithTransparentCorners) {
  const auto icons = FindIconGroup("TARNWICK");
  ASSERT_EQ(icons.size(), 2u);
  for (const IconImage& icon : icons) {
    ASSERT_EQ(icon.pixels.size(), static_cast<size_t>(icon.size * icon.size));
    EXPECT_EQ(icon.pixels[0] >> 24, 0u);
    EXPECT_EQ(icon.pixels[static_cast<size_t>(icon.size / 2 * icon.size + 1)] >> 24, 0xFFu);
  }
  EXPECT_TRUE(FindIconGroup("OTHER").empty());
}

}  // namespace
}  // namespace res
