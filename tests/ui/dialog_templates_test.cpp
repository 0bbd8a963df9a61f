#include "res/dialog_templates.h"

#include <gtest/gtest.h>

#include <set>

#include "res/control_ids.h"
#include "res/pictures.h"

namespace res {
namespace {

using ui::ControlClass;

bool PixelWhite(const ui::MonoPicture& picture, int32_t x, int32_t y) {
  const uint8_t byte = picture.bits[static_cast<size_t>(y * picture.stride + x / 8)];
  return (byte & (0x80 >> (x % 8))) != 0;
}

TEST(DialogTemplatesTest, MainDialogCarriesEveryControlWithItsPlaceAndStyle) {
  const DialogTemplate* main = FindDialogTemplate("TARNWICK");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->className, "TARNWICK");
  EXPECT_EQ(main->title, u"Quorvale(TM) Tarnwick");
  EXPECT_EQ(main->fontPoints, 8);
  EXPECT_EQ(main->width, 510);
  EXPECT_EQ(main->height, 301);
  EXPECT_EQ(main->controls.size(), 27u);

  const std::set<int32_t> ids = {1056, 1058, 1044, 1094, 1095, 1107, 1051, 1061, 1060,
                                 1062, 1065, 1038, 1031, 1052, 1015, 1014, 1092, 1101,
                                 1106, 1024, 1018, 1026, 1021, 1017, 1047, 1050};
  for (int32_t id : ids) EXPECT_NE(main->Find(id), nullptr) << id;

  const ControlTemplate* devices = main->Find(IDC_DEVICE_LIST);
  EXPECT_EQ(devices->controlClass, ControlClass::ComboBox);
  EXPECT_TRUE(devices->style & DropDownList);
  EXPECT_TRUE(devices->style & VerticalScroll);
  EXPECT_EQ((std::array{devices->x, devices->y, devices->width, devices->height}),
            (std::array{49, 23, 130, 217}));
  EXPECT_TRUE(main->Find(IDC_STOP)->style & Disabled);
  EXPECT_TRUE(main->Find(IDC_SERIAL_EDIT)->style & Hidden);
  EXPECT_TRUE(main->Find(IDC_SERIAL_LABEL)->style & Hidden);
  EXPECT_EQ(main->Find(IDC_DURATION_EDIT)->text, u"0");
  EXPECT_TRUE(main->Find(IDC_DEVICE_LABEL)->style & RightAligned);
  EXPECT_TRUE(main->Find(IDC_LOG_SCROLL)->style & Vertical);
  const ControlTemplate* panel = main->Find(IDC_LOG_PANEL);
  EXPECT_EQ((std::array{panel->x, panel->y, panel->width, panel->height}),
            (std::array{9, 79, 350, 185}));
  const ControlTemplate* banner = main->Find(IDC_STATIC);
  EXPECT_EQ(banner->controlClass, ControlClass::StaticImage);
  EXPECT_EQ(banner->imageId, IDB_BANNER);
  // Loopback opens the mode group; Benchmark belongs to it.
  EXPECT_TRUE(main->Find(IDC_LOOPBACK)->style & GroupStart);
  EXPECT_FALSE(main->Find(IDC_BENCHMARK)->style & GroupStart);
  EXPECT_TRUE(main->Find(IDC_BENCHMARK)->style & AutoRadio);
}

TEST(DialogTemplatesTest, AboutBoxAndUnknownNames) {
  const DialogTemplate* about = FindDialogTemplate("ABOUTBOX");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->title, u"About Tarnwick");
  EXPECT_EQ(about->fontPoints, 10);
  EXPECT_EQ(about->width, 175);
  EXPECT_EQ(about->height, 212);
  EXPECT_FALSE(about->style & SystemMenu);
  EXPECT_EQ(about->Find(IDC_ABOUT_VERSION)->text, u"Version 0.1");
  EXPECT_TRUE(about->Find(IDC_OK)->style & DefaultButton);
  EXPECT_FALSE(about->Find(IDC_ABOUT_ADDRESS)->text.empty());
  EXPECT_EQ(FindDialogTemplate("tarnwick"), nullptr);
  EXPECT_EQ(FindDialogTemplate(""), nullptr);
}

// Two controls overlap when their rectangles share an area. Group boxes frame others
// and are left out; a closed drop-down list is one line high.
bool Overlap(const ControlTemplate& a, const ControlTemplate& b) {
  auto height = [](const ControlTemplate& c) {
    return c.controlClass == ControlClass::ComboBox ? 12 : c.height;
  };
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + height(b) &&
         b.y < a.y + height(a);
}

TEST(DialogTemplatesTest, ConfigurationDialogControlsDoNotOverlap) {
  const DialogTemplate* conf = FindDialogTemplate("CONFBOX");
  ASSERT_NE(conf, nullptr);
  EXPECT_EQ(conf->title, u"Test configuration");
  const std::set<int32_t> ids = {1087, 1077, 1078, 1075, 1076, 1096, 1097, 1080, 1086, 1088,
                                 1083, 1098, 1099, 1032, 1071, 1072, 1069, 1073, 1079, 1066,
                                 1068, 1070, 1067, 1093, 1059, 1102, 1103, 1104, 1105, 1023,
                                 1022, 1004, 1006, 1027, 1028, 1,    2};
  EXPECT_EQ(conf->controls.size(), ids.size());
  for (int32_t id : ids) EXPECT_NE(conf->Find(id), nullptr) << id;

  // The benchmark and the loopback options take turns in one place: check each shown
  // set on its own.
  const std::set<int32_t> benchmarkSet = {1032, 1071, 1072, 1069, 1073};
  const std::set<int32_t> loopbackSet = {1079, 1066, 1068, 1070, 1067, 1093};
  for (const auto* hidden : {&benchmarkSet, &loopbackSet}) {
    for (const ControlTemplate& a : conf->controls) {
      for (const ControlTemplate& b : conf->controls) {
        if (&a >= &b || hidden->count(a.id) || hidden->count(b.id)) continue;
        if (a.controlClass == ControlClass::GroupBox || b.controlClass == ControlClass::GroupBox)
          continue;
        EXPECT_FALSE(Overlap(a, b)) << a.id << " overlaps " << b.id;
      }
    }
  }
  for (const ControlTemplate& control : conf->controls) {
    EXPECT_LE(control.x + control.width, conf->width) << control.id;
    if (control.controlClass != ControlClass::ComboBox) {
      EXPECT_LE(control.y + control.height, conf->height) << control.id;
    }
  }
  EXPECT_TRUE(conf->Find(IDC_CONSTANT_EDIT)->style & NumberOnly);
  EXPECT_TRUE(conf->Find(IDC_READ)->style & GroupStart);
  EXPECT_TRUE(conf->Find(IDC_CONSTANT)->style & GroupStart);
  EXPECT_FALSE(conf->Find(IDC_RANDOM)->style & GroupStart);
  // The pattern group ends before the check boxes.
  EXPECT_TRUE(conf->Find(IDC_VERIFY)->style & GroupStart);
  const ControlTemplate* loopback = conf->Find(IDC_LOOPBACK_GROUP);
  const ControlTemplate* benchmark = conf->Find(IDC_BENCHMARK_GROUP);
  EXPECT_EQ((std::array{loopback->x, loopback->y, loopback->width, loopback->height}),
            (std::array{benchmark->x, benchmark->y, benchmark->width, benchmark->height}));
}

TEST(PicturesTest, BitmapsHaveTheirSizesAndCarryTheirWords) {
  const ui::MonoPicture* banner = FindBitmap(IDB_BANNER);
  ASSERT_NE(banner, nullptr);
  EXPECT_EQ(banner->width, 200);
  EXPECT_EQ(banner->height, 56);
  EXPECT_EQ(banner->bits.size(), static_cast<size_t>(banner->stride * banner->height));
  const ui::MonoPicture* plate = FindBitmap(IDB_TEST_IN_PROGRESS);
  ASSERT_NE(plate, nullptr);
  EXPECT_EQ(plate->width, 128);
  EXPECT_EQ(plate->height, 64);
  EXPECT_EQ(plate->stride, 16);
  EXPECT_EQ(FindBitmap(112), nullptr);

  // White on black: a black margin, and some white writing in the middle.
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
  // The banner is black on white with a black frame.
  EXPECT_FALSE(PixelWhite(*banner, 0, 0));
  EXPECT_TRUE(PixelWhite(*banner, 5, 5));
}

TEST(PicturesTest, IconGroupHasTwoSquareImages) {
  const auto icons = FindIconGroup("TARNWICK");
  ASSERT_EQ(icons.size(), 2u);
  for (const IconImage& icon : icons) {
    EXPECT_EQ(icon.pixels.size(), static_cast<size_t>(icon.size * icon.size));
    EXPECT_EQ(icon.pixels[0] >> 24, 0u);  // the corner is transparent
    const uint32_t centreEdge = icon.pixels[static_cast<size_t>(icon.size / 2 * icon.size + 1)];
    EXPECT_EQ(centreEdge >> 24, 0xFFu);
  }
  EXPECT_TRUE(FindIconGroup("OTHER").empty());
}

}  // namespace
}  // namespace res
