// The loopback plug as the loopback test drives it (write, read back, verify; abort and
// reset the endpoint of a failed transfer).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win_error.h"
#include "sim_usb_support.h"

namespace {

TEST(SimLoopback, EachInjectedFaultCostsExactlyTheLoopItHits) {
  // The plug must not keep what a failed transfer would have carried: a later loop
  // would then read it, or find no room for its own data.
  const char* const faults[] = {"read-error-every=5",
                                "short-read-every=5",
                                "read-stall-every=5",
                                "read-timeout-every=5",
                                "write-error-every=5",
                                "write-timeout-every=5",
                                "corrupt-every=5,corrupt-bytes=5"};
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    const bool corrupts = std::string(fault).rfind("corrupt", 0) == 0;
    Plug plug((std::string("rate=unlimited,") + fault).c_str());
    ASSERT_NE(plug.device.BulkInEndpoint, nullptr);
    // Time-outs are injected; waiting the loopback test's 3 s for each adds nothing.
    plug.device.BulkOutEndpoint->TimeoutMs = 100;
    plug.device.BulkInEndpoint->TimeoutMs = 100;
    for (uint32_t loop = 1; loop <= 20; ++loop) {
      SCOPED_TRACE(loop);
      const Loop result = RunLoop(plug.device, loop);
      ASSERT_EQ(result.Passed, corrupts || loop % 5 != 0);
      ASSERT_EQ(result.Intact, loop % 5 != 0);
    }
    EXPECT_EQ(plug.sim.port->PendingRequests(0), 0u);
  }
}

TEST(SimLoopback, TransfersLongerThanTheFifoMoveWhileBothSidesHaveRoom) {
  for (const char* rate : {"rate=unlimited", "rate=400"}) {
    Plug plug(rate);
    UsbEndpoint* out = plug.device.BulkOutEndpoint;
    UsbEndpoint* in = plug.device.BulkInEndpoint;
    ASSERT_TRUE(out && in);
    out->TimeoutMs = 2000;
    in->TimeoutMs = 2000;
    uint32_t loop = 0;
    for (int32_t size : {65537, 200000, 1 << 20}) {
      for (bool readFirst : {true, false}) {
        SCOPED_TRACE(std::string(rate) + " size " + std::to_string(size) +
                     (readFirst ? " read queued first" : " write queued first"));
        std::vector<uint8_t> written(size), read(size, 0);
        FillLoop(written, ++loop);
        // One side waits in the driver, the other goes through TransferSync.
        UsbEndpoint* queued = readFirst ? in : out;
        UsbEndpoint* sync = readFirst ? out : in;
        std::vector<uint8_t>& queuedData = readFirst ? read : written;
        std::vector<uint8_t>& syncData = readFirst ? written : read;
        PendingIo io;
        auto* context = queued->SubmitTransfer(queuedData.data(), size, &io.record);
        ASSERT_NE(context, nullptr);
        int32_t syncLength = size;
        const bool syncOk = sync->TransferSync(syncData.data(), syncLength);
        const bool arrived = queued->AwaitTransfer(&io.record, 2000);
        if (!arrived) queued->AbortTransfers();
        int32_t queuedLength = size;
        const bool queuedOk =
            queued->CompleteTransfer(queuedData.data(), queuedLength, &io.record, context);
        ASSERT_TRUE(syncOk && arrived && queuedOk);
        EXPECT_EQ(syncLength, size);
        EXPECT_EQ(queuedLength, size);
        ASSERT_TRUE(read == written);
      }
    }
    EXPECT_EQ(plug.sim.port->PendingRequests(0), 0u);
  }
}

TEST(SimLoopback, TransfersWithoutDataNeedNoBuffer) {
  Plug plug("rate=unlimited,reenum-ms=10");
  UsbDevice& device = plug.device;
  // A zero-length packet out, and back in.
  for (UsbEndpoint* endpoint : {device.BulkOutEndpoint, device.BulkInEndpoint,
                                FindEndpoint(device, PLUG_DISPLAY_ENDPOINT)}) {
    ASSERT_NE(endpoint, nullptr);
    SCOPED_TRACE(endpoint->bEndpointAddress);
    int32_t length = 0;
    EXPECT_TRUE(endpoint->TransferSync(nullptr, length));
    EXPECT_EQ(length, 0);
  }
  EXPECT_TRUE(RunLoop(device, 1).Intact);

  // Source and sink of a benchmark in both directions: IN 2, OUT 5.
  Reconfigure(plug,
              {0x03, 0x02, 0x02, 0x05, 0x04, 0x01, 0x00, 0x03, 0x00, 0x30, 0x03, 0x02, 0x00, 0x60});
  ASSERT_TRUE(VendorRequest(device, PLUG_CMD_BENCH_START, false, nullptr, 0));
  for (UsbEndpoint* endpoint : {device.BulkOutEndpoint, device.BulkInEndpoint}) {
    ASSERT_NE(endpoint, nullptr);
    SCOPED_TRACE(endpoint->bEndpointAddress);
    int32_t length = 0;
    EXPECT_TRUE(endpoint->TransferSync(nullptr, length));
    EXPECT_EQ(length, 0);
  }
}

}  // namespace
