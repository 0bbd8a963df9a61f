// The bus schedule, driven with explicit times instead of a running bus thread.
#include "sim/bus_scheduler.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "protocol/driver_requests.h"
#include "sim_test_support.h"

namespace {

TEST(BusSchedule, CompletionsKeepTheirTimesWhateverTheThreadThatServesThem) {
  const SimOptions options = Options("rate=400");
  SimPlug plug;
  plug.Model = std::make_unique<PlugModel>(PlugIdentity{});
  constexpr int kTransfers = 3;
  constexpr uint64_t kSubmitted = 1'000'000;
  std::array<PendingIo, kTransfers> io;
  std::array<std::array<uint8_t, DRIVER_TRANSFER_BLOCK_SIZE>, kTransfers> blocks{};
  std::array<uint8_t, 1024> data{};
  uint64_t cost = 0;
  for (int i = 0; i < kTransfers; ++i) {
    PendingTransfer p;
    p.EndpointAddress = 0x01;
    p.Block = blocks[i].data();
    p.Data = data.data();
    p.Length = static_cast<uint32_t>(data.size());
    p.Record = &io[i].record;
    p.SubmitNs = kSubmitted;
    BeginOverlapped(p.Record);
    cost = TransferDurationNs(plug, p, options);
    QueueTransfer(plug, p);
  }
  ASSERT_GT(cost, 20'000u);

  // Nothing completes before its bus time, however early the queue is served.
  EXPECT_EQ(PumpQueues(plug, options, kSubmitted), kSubmitted + cost);
  EXPECT_EQ(PumpQueues(plug, options, kSubmitted + cost - 1), kSubmitted + cost);
  EXPECT_FALSE(io[0].Done());

  // Served on time, one completes and the next is due one cost later.
  EXPECT_EQ(PumpQueues(plug, options, kSubmitted + cost), kSubmitted + 2 * cost);
  EXPECT_TRUE(io[0].Done());
  EXPECT_FALSE(io[1].Done());

  // Served a millisecond late, the schedule has not moved: both that were due by then
  // complete, and the queue is empty.
  EXPECT_EQ(PumpQueues(plug, options, kSubmitted + 3 * cost + 1'000'000), 0u);
  EXPECT_TRUE(io[1].Done());
  EXPECT_TRUE(io[2].Done());
  EXPECT_EQ(plug.Busy, 0u);
}

}  // namespace
