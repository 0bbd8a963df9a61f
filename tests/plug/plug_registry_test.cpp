// The registry between real processes: each peer is a separate copy of the registry
// code (plug_registry_peer), driven command by command, so the order of events is the
// test's and not the scheduler's.
#include "plug/plug_registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "platform/message_box.h"
#include "platform/shared_memory.h"
#include "platform/text.h"
#include "plug/registry_peer.h"

namespace {

struct Slot {
  uint32_t ProcessId = 0;
  std::string Serial;
  bool operator==(const Slot&) const = default;
};

std::vector<Slot> TableOf(Peer& peer) {
  std::istringstream words(peer.Ask("table").Answer);
  std::string word;
  words >> word;
  std::vector<Slot> slots;
  while (words >> word) {
    const size_t colon = word.find(':');
    slots.push_back(
        {static_cast<uint32_t>(std::stoul(word.substr(0, colon))), word.substr(colon + 1)});
  }
  return slots;
}

Slot Owned(const Peer& peer, const std::string& serial) {
  return {static_cast<uint32_t>(peer.Pid()), serial};
}

const std::string kInUseBox =
    "Plug already in use|Another copy of Tarnwick is already using that plug.\\nPlease select "
    "another.";

// Each test has tables of its own: ctest runs the tests of this file in parallel.
class PlugRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // a peer that died fails the test, not the test program
    setenv(PlugRegistryPrefixVariable, ("tarnwick-test-" + std::to_string(getpid()) + "-").c_str(),
           1);
  }
  void TearDown() override {
    ReleasePlugs();
    SharedMemory::Remove(PlugRegistrySectionName());
    SharedMemory::Remove(PlugRegistryMutexName());
    unsetenv(PlugRegistryPrefixVariable);
  }
};

TEST_F(PlugRegistryTest, CopiesKeepOffEachOthersPlug) {
  {
    // Left over from copies long gone: the first copy must not see it.
    SharedMemory stale;
    ASSERT_TRUE(stale.Open(PlugRegistrySectionName(), PLUG_REGISTRY_SIZE));
    std::fill(stale.View().begin(), stale.View().end(), uint8_t{0x41});
  }
  Peer first, second;
  const Reply opened = first.Ask("open");
  EXPECT_EQ(opened.Answer, "open 1 1");
  EXPECT_TRUE(opened.Boxes.empty());
  EXPECT_EQ(TableOf(first), std::vector<Slot>(32));

  EXPECT_EQ(first.Ask("claim A").Answer, "claimed");
  EXPECT_EQ(second.Ask("open").Answer, "open 1 0");
  EXPECT_EQ(TableOf(second)[0], Owned(first, "A"));

  const Reply refused = second.Ask("claim A");
  EXPECT_EQ(refused.Answer, "refused");
  EXPECT_EQ(refused.Boxes, std::vector<std::string>{kInUseBox});
  EXPECT_EQ(second.Ask("claim B").Answer, "claimed");
  EXPECT_EQ(TableOf(first)[1], Owned(second, "B"));

  // Switching: refused the other's plug, then own slot rewritten, the old plug free.
  EXPECT_EQ(first.Ask("claim B").Answer, "refused");
  const Reply again = first.Ask("claim A");
  EXPECT_EQ(again.Answer, "claimed");
  EXPECT_TRUE(again.Boxes.empty());
  EXPECT_EQ(first.Ask("claim C").Answer, "claimed");
  EXPECT_EQ(second.Ask("claim A").Answer, "claimed");
  std::vector<Slot> expected(32);
  expected[0] = Owned(first, "C");
  expected[1] = Owned(second, "A");
  EXPECT_EQ(TableOf(second), expected);

  first.Exit();
  expected[0] = Slot{};
  EXPECT_EQ(TableOf(second), expected);
  Peer third;
  EXPECT_EQ(third.Ask("open").Answer, "open 1 0");
  EXPECT_EQ(third.Ask("claim B").Answer, "claimed");
  expected[0] = Owned(third, "B");
  EXPECT_EQ(TableOf(second), expected);

  // Long serials count by their first 19 characters.
  ASSERT_EQ(third.Ask("claim ABCDEFGHIJKLMNOPQRSTUVWXYZ").Answer, "claimed");
  EXPECT_EQ(TableOf(second)[0], Owned(third, "ABCDEFGHIJKLMNOPQRS"));
  EXPECT_EQ(second.Ask("claim ABCDEFGHIJKLMNOPQRS-other").Answer, "refused");
  EXPECT_EQ(second.Ask("claim ABCDEFGHIJKLMNOPQRT").Answer, "claimed");
}

TEST_F(PlugRegistryTest, CrashedCopyLocksNothingAway) {
  Peer crashed, survivor;
  ASSERT_EQ(crashed.Ask("open").Answer, "open 1 1");
  ASSERT_EQ(survivor.Ask("open").Answer, "open 1 0");
  ASSERT_EQ(crashed.Ask("claim A").Answer, "claimed");
  ASSERT_EQ(survivor.Ask("claim A").Answer, "refused");
  const uint32_t crashedId = static_cast<uint32_t>(crashed.Pid());
  crashed.Kill();
  EXPECT_EQ(TableOf(survivor)[0], (Slot{crashedId, "A"}));  // left behind, but dead

  EXPECT_EQ(survivor.Ask("claim A").Answer, "claimed");
  EXPECT_EQ(TableOf(survivor)[0], Owned(survivor, "A"));

  // With every copy gone, the next one starts from an empty table.
  survivor.Kill();
  Peer next;
  EXPECT_EQ(next.Ask("open").Answer, "open 1 1");
  EXPECT_EQ(TableOf(next), std::vector<Slot>(32));
}

TEST_F(PlugRegistryTest, GarbageInTheTableIsSurvived) {
  Peer copy;
  ASSERT_EQ(copy.Ask("open").Answer, "open 1 1");
  SharedMemory vandal;
  ASSERT_TRUE(vandal.Open(PlugRegistrySectionName(), PLUG_REGISTRY_SIZE));
  const std::span<uint8_t, PLUG_REGISTRY_SIZE> bytes(vandal.View().data(), PLUG_REGISTRY_SIZE);
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    // A live process that is no copy of the tool (an id handed on) owns nothing.
    WritePlugRegistrySlot(bytes, 3, u"X", static_cast<uint32_t>(getpid()));
    const std::string serial = round % 2 ? "X" : "P" + std::to_string(round);
    ASSERT_EQ(copy.Ask("claim " + serial).Answer, "claimed") << "round " << round;
    const std::vector<Slot> table = TableOf(copy);
    ASSERT_EQ(table.size(), 32u);
    EXPECT_NE(std::find(table.begin(), table.end(), Owned(copy, serial)), table.end());
  }
  const uint32_t copyId = static_cast<uint32_t>(copy.Pid());
  copy.Exit();
  for (const PlugRegistrySlot& slot : ReadPlugRegistry(bytes)) EXPECT_NE(slot.ProcessId, copyId);
}

TEST_F(PlugRegistryTest, EightCopiesNeverShareAPlug) {
  const std::filesystem::path witnesses =
      std::filesystem::temp_directory_path() / ("tarnwick-witness-" + std::to_string(getpid()));
  std::filesystem::create_directories(witnesses);
  std::vector<std::unique_ptr<Peer>> copies;
  for (int i = 0; i < 8; ++i) {
    copies.push_back(std::make_unique<Peer>());
    ASSERT_EQ(copies.back()->Ask("open").Answer.substr(0, 6), "open 1");
  }
  // All start at once; each answers when its run is over.
  for (size_t i = 0; i < copies.size(); ++i) {
    copies[i]->Send("stress " + std::to_string(i + 1) + " 2500 " + witnesses.string() + " 8");
  }
  uint64_t claims = 0, refusals = 0;
  for (auto& copy : copies) {
    std::istringstream words(copy->Receive().Answer);
    std::string word;
    uint64_t claimed = 0, refused = 0, faults = 1;
    words >> word >> claimed >> refused >> faults;
    EXPECT_EQ(word, "stress");
    EXPECT_EQ(faults, 0u) << "two copies held one plug, or one was refused its own";
    claims += claimed;
    refusals += refused;
  }
  // Both outcomes must have been exercised for the run to prove anything.
  EXPECT_GT(claims, 100u);
  EXPECT_GT(refusals, 100u);

  // Afterwards: one slot per copy, no serial twice.
  std::map<uint32_t, std::string> held;
  for (const Slot& slot : TableOf(*copies[0])) {
    if (slot.ProcessId == 0) continue;
    EXPECT_TRUE(held.emplace(slot.ProcessId, slot.Serial).second) << slot.ProcessId;
  }
  EXPECT_EQ(held.size(), copies.size());
  std::set<std::string> serials;
  for (const auto& [id, serial] : held) EXPECT_TRUE(serials.insert(serial).second) << serial;
  std::filesystem::remove_all(witnesses);
}

TEST_F(PlugRegistryTest, WithoutARegistryNothingIsRefused) {
  setenv(PlugRegistryPrefixVariable, "no/such/", 1);
  std::vector<std::string> boxes;
  SetMessageBoxHandler([&](void*, std::u16string_view text, std::u16string_view title, uint32_t) {
    boxes.push_back(Utf16ToUtf8(title) + "|" + Utf16ToUtf8(text));
    return IDOK;
  });
  EXPECT_FALSE(OpenPlugRegistry());
  EXPECT_FALSE(PlugRegistry.Available);
  EXPECT_TRUE(ClaimPlug(nullptr, u"A"));
  EXPECT_TRUE(ClaimPlug(nullptr, u"A"));
  ReleasePlugs();
  SetMessageBoxHandler(nullptr);
  EXPECT_EQ(boxes, std::vector<std::string>{
                       "Shared memory failure|Failed to open shared memory.\nTarnwick will still "
                       "run but it is not recommended to run more than 1 copy"});
}

}  // namespace
