#include <gtest/gtest.h>

#include <thread>

#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "protocol/plug_ids.h"

namespace {

TEST(PlugStateTest, DevicePathPrefixNamesThePlugsIds) {
  EXPECT_EQ(DevicePathPrefix, std::u16string_view(u"\\\\?\\USB#VID_1209&PID_000A#"));
  static_assert(PLUG_VENDOR_ID == 0x1209 && PLUG_PRODUCT_ID == 0x000A,
                "the expectation above spells out these ids");
}

TEST(PlugStateTest, DisplayImageIsNeverSeenHalfWritten) {
  ResetPlugMonitorState();
  PlugDisplayBitmap dark, light;
  dark.fill(0xAA);
  light.fill(0x55);
  std::atomic<bool> done{false};
  std::thread monitor([&] {
    for (int i = 0; i < 2000; ++i) {
      PlugDisplayImage.Store((i % 2) ? dark : light);
      if (i % 100 == 0) PlugDisplayImage.Clear();
    }
    PlugDisplayImage.Store(dark);
    done = true;
  });
  int reads = 0;
  while (!done || reads == 0) {
    const PlugDisplayBitmap seen = PlugDisplayImage.Load();
    for (uint8_t byte : seen) ASSERT_EQ(byte, seen[0]) << "mixed image after " << reads << " reads";
    ++reads;
  }
  monitor.join();
  EXPECT_EQ(PlugDisplayImage.Load(), dark);
  PlugDisplayImage.Clear();
  EXPECT_EQ(PlugDisplayImage.Load(), PlugDisplayBitmap{});
}

}  // namespace
