// The hostile-device fuzz target is only as deep as its seeds: a recording of the
// simulated plug must replay as that plug, through the same device and endpoint code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "hostile_recordings.h"
#include "platform/message_box.h"

namespace {

HostileSession Replay(const std::vector<uint8_t>& script) {
  DeviceScript replay(script.data(), script.size());
  HostilePort port(replay, nullptr);
  SetDriverPort(&port);
  HostileSession session = RunHostileSession(replay, port);
  SetDriverPort(nullptr);
  return session;
}

TEST(HostilePort, ARecordingOfThePlugReplaysAsThatPlug) {
  uint32_t readBacks = 0;
  for (const HostileRecording& recording : RecordSeedSessions()) {
    SCOPED_TRACE(recording.Name);
    const HostileSession& recorded = recording.Session;
    ASSERT_TRUE(recorded.Opened);
    EXPECT_TRUE(recorded.Closed);
    EXPECT_GE(recorded.Endpoints, 3);
    EXPECT_EQ(recorded.Serial, u"SIM0001");
    EXPECT_TRUE(recorded.Broken.empty()) << recorded.Broken.front();
    const HostileSession replayed = Replay(recording.Script);
    EXPECT_TRUE(replayed == recorded);
    EXPECT_TRUE(replayed.Broken.empty()) << replayed.Broken.front();
    readBacks += replayed.PacketReadBacks;
  }
  // The isochronous sessions reach the read-back of the driver's packet records.
  EXPECT_GE(readBacks, 4u);
}

TEST(HostilePort, CommittedSeedsStillOpenThePlug) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(HOSTILE_SEEDS_DIR)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<uint8_t> script((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
    const HostileSession session = Replay(script);
    EXPECT_TRUE(session.Opened);
    EXPECT_TRUE(session.Closed);
    EXPECT_TRUE(session.Broken.empty());
    ++seeds;
  }
  EXPECT_GE(seeds, 6);
}

TEST(HostilePort, AnyDeviceLeavesTheDeviceLayerWhole) {
  // Every script cut short and every byte of it flipped: whatever the device says,
  // nothing the device layer promises breaks (the fuzz target does this at scale).
  SetMessageBoxHandler(
      [](void*, std::u16string_view, std::u16string_view, uint32_t) { return IDOK; });
  const HostileRecording recording =
      RecordSimulatedPlug("iso", "", {1, 1, 3, 3, 16, 1, 0, 3, 0, 0xC0, 3, 2, 0, 0xC0});
  ASSERT_TRUE(recording.Session.Opened);
  const std::vector<uint8_t>& script = recording.Script;
  for (size_t at = 0; at < script.size(); at += 7) {
    std::vector<uint8_t> cut(script.begin(), script.begin() + at);
    std::vector<uint8_t> flipped = script;
    flipped[at] ^= 0xFF;
    for (const auto& variant : {cut, flipped}) {
      const HostileSession session = Replay(variant);
      ASSERT_TRUE(session.Broken.empty()) << at << ": " << session.Broken.front();
    }
  }
  SetMessageBoxHandler(nullptr);
}

}  // namespace
