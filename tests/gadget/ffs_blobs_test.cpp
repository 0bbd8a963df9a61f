#include "gadget/ffs_blobs.h"

#include <gtest/gtest.h>

#include "firmware/plug_model.h"
#include "protocol/byte_order.h"

namespace {

PlugModel Model() {
  PlugIdentity identity;
  identity.Serial = "T0001";
  return PlugModel(identity);
}

TEST(FfsBlobs, DescriptorBlockCarriesEverySpeedWithCountsAndFlags) {
  const PlugModel model = Model();
  const auto perSpeed = model.InterfaceDescriptorsForEverySpeed();
  const std::vector<uint8_t> block = BuildFfsDescriptors(perSpeed);
  ASSERT_GE(block.size(), 24u);
  EXPECT_EQ(GetLe32(&block[0]), FFS_DESCRIPTORS_MAGIC_V2);
  EXPECT_EQ(GetLe32(&block[4]), block.size());
  const uint32_t flags = GetLe32(&block[8]);
  EXPECT_EQ(flags, FFS_HAS_FS_DESC | FFS_HAS_HS_DESC | FFS_HAS_SS_DESC | FFS_ALL_CTRL_RECIP);
  // One interface and its endpoints; at SuperSpeed each endpoint has a companion.
  const uint32_t endpoints = static_cast<uint32_t>(model.Endpoints().size());
  EXPECT_EQ(GetLe32(&block[12]), 1 + endpoints);
  EXPECT_EQ(GetLe32(&block[16]), 1 + endpoints);
  EXPECT_EQ(GetLe32(&block[20]), 1 + 2 * endpoints);
  std::vector<uint8_t> lists(block.begin() + 24, block.end());
  std::vector<uint8_t> expected;
  for (const auto& list : perSpeed) expected.insert(expected.end(), list.begin(), list.end());
  EXPECT_EQ(lists, expected);
}

TEST(FfsBlobs, MalformedListsAreNeverSent) {
  EXPECT_EQ(CountDescriptors({9, 4, 0, 0, 0, 0xFF, 0, 0, 0, 7, 5, 0x81}), std::nullopt);  // overrun
  EXPECT_EQ(CountDescriptors({0, 4}), std::nullopt);  // a zero length would never end
  EXPECT_EQ(CountDescriptors({2, 4, 3, 5, 0}), 2u);
  std::array<std::vector<uint8_t>, 3> lists = Model().InterfaceDescriptorsForEverySpeed();
  lists[1].push_back(9);  // a descriptor cut short
  EXPECT_TRUE(BuildFfsDescriptors(lists).empty());
  lists[1].pop_back();
  lists[2].clear();
  EXPECT_TRUE(BuildFfsDescriptors(lists).empty());
}

TEST(FfsBlobs, StringBlockIsOneUsEnglishString) {
  const std::vector<uint8_t> block = BuildFfsStrings("Loop");
  const std::vector<uint8_t> expected = {2, 0, 0, 0, 23, 0, 0,   0,   1,   0,   0, 0,
                                         1, 0, 0, 0, 9,  4, 'L', 'o', 'o', 'p', 0};
  EXPECT_EQ(block, expected);
}

TEST(FfsBlobs, EventsRoundTripAndUnknownTypesAreDropped) {
  for (uint8_t type = 0; type <= static_cast<uint8_t>(FfsEventType::Resume); ++type) {
    FfsEvent event;
    event.Type = static_cast<FfsEventType>(type);
    event.Setup = {0xC0, 0, 0x0050, 0x1234, 31};
    const auto bytes = EncodeFfsEvent(event);
    const auto parsed = ParseFfsEvent(bytes.data());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Type, event.Type);
    EXPECT_EQ(parsed->Setup.bmRequestType, 0xC0);
    EXPECT_EQ(parsed->Setup.wValue, 0x0050);
    EXPECT_EQ(parsed->Setup.wIndex, 0x1234);
    EXPECT_EQ(parsed->Setup.wLength, 31);
  }
  uint8_t unknown[FFS_EVENT_SIZE] = {};
  unknown[8] = 7;
  EXPECT_FALSE(ParseFfsEvent(unknown));
}

}  // namespace
