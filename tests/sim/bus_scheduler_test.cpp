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

TEST(BusSchedule, ATransferItsWaiterFinishesIsNotTheBusThreadsToWaitFor) {
  const SimOptions options = Options("rate=400");
  SimPlug plug;
  plug.Model = std::make_unique<PlugModel>(PlugIdentity{});
  constexpr uint64_t kSubmitted = 1'000'000;
  std::array<PendingIo, 3> io;
  std::array<std::array<uint8_t, DRIVER_TRANSFER_BLOCK_SIZE>, 3> blocks{};
  std::array<uint8_t, 2048> data{};
  // Two writes on one endpoint and a longer one on another.
  const uint8_t addresses[] = {0x01, 0x01, 0x02};
  const uint32_t lengths[] = {1024, 1024, 2048};
  uint64_t cost[3] = {};
  for (int i = 0; i < 3; ++i) {
    PendingTransfer p;
    p.EndpointAddress = addresses[i];
    p.Block = blocks[i].data();
    p.Data = data.data();
    p.Length = lengths[i];
    p.Record = &io[i].record;
    p.SubmitNs = kSubmitted;
    BeginOverlapped(p.Record);
    cost[i] = TransferDurationNs(plug, p, options);
    QueueTransfer(plug, p);
  }
  ASSERT_GT(cost[2], cost[0]);
  ASSERT_LT(cost[2], 2 * cost[0]);
  EXPECT_EQ(PumpQueues(plug, options, kSubmitted), kSubmitted + cost[0]);

  // With the head of the first queue taken by its waiter, the bus thread waits only for
  // the other queue, and for nothing behind that head.
  plug.Queues[EndpointSlot(0x01)].Items.front().Awaited = true;
  EXPECT_EQ(PumpQueues(plug, options, kSubmitted + 1), kSubmitted + cost[2]);
  EXPECT_FALSE(io[0].Done());

  // Served once it is due, it completes; the one behind it is the bus thread's again.
  EXPECT_EQ(PumpQueues(plug, options, kSubmitted + cost[2]), kSubmitted + 2 * cost[0]);
  EXPECT_TRUE(io[0].Done());
  EXPECT_FALSE(io[1].Done());
  EXPECT_TRUE(io[2].Done());
}

}  // namespace
