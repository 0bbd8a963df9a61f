// Shared by the tests that drive simulated plugs through the program's own UsbDevice
// and endpoint classes: the plug with its device object, vendor requests through the
// real control endpoint, and reconfiguration with its re-enumeration.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
#include "sim_test_support.h"
#include "usb/usb_device.h"

// A simulated plug installed for the test's lifetime, seen through UsbDevice.
struct Plug {
  explicit Plug(const char* options, bool open = true)
      : sim(options), device(&recorder, PLUG_INTERFACE_CLASS, open) {}
  InstalledSim sim;
  NoticeRecorder recorder;
  UsbDevice device;
};

inline UsbEndpoint* FindEndpoint(UsbDevice& device, uint8_t address) {
  for (uint8_t i = 1; i < device.CountEndpoints(); ++i) {
    if (device.EndpointTable[i]->bEndpointAddress == address) return device.EndpointTable[i];
  }
  return nullptr;
}

inline bool VendorRequest(UsbDevice& device, uint16_t command, bool in, void* data,
                          int32_t length) {
  UsbControlEndpoint* control = device.ControlEndpoint;
  control->Recipient = 0;
  control->RequestType = 2;
  control->RequestCode = 0;
  control->RequestValue = command;
  control->RequestIndex = 0;
  return in ? control->ControlRead(static_cast<uint8_t*>(data), length)
            : control->ControlWrite(static_cast<uint8_t*>(data), length);
}

// Sends a configuration, waits for the plug to leave and come back, and reopens it.
inline void Reconfigure(Plug& plug, const std::vector<uint8_t>& block) {
  const size_t before = plug.recorder.Snapshot().size();
  std::vector<uint8_t> copy = block;
  ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_CONFIG, false, copy.data(), 14));
  // Handle removal, interface removal, arrival.
  EXPECT_EQ(plug.recorder.WaitFor(before + 3).size(), before + 3);
  EXPECT_TRUE(plug.device.Open(0));
}

// SuperSpeed bulk benchmark in which the plug sends: IN 1, burst 16.
inline const std::vector<uint8_t> kBulkReadSuper = {0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00,
                                                    0x03, 0x00, 0xC0, 0x03, 0x02, 0x00, 0xC0};
// SuperSpeed isochronous benchmark in which the plug sends: IN 3, burst 16, interval 1,
// three packets per interval (49152 bytes per interval).
inline const std::vector<uint8_t> kIsoReadSuper = {1, 1, 3, 3, 16, 1, 0, 3, 0, 0xC0, 3, 2, 0, 0xC0};

constexpr int32_t kBlock = 65536;

// Every loop writes other bytes, so that data left over from an earlier loop shows.
inline void FillLoop(std::vector<uint8_t>& data, uint32_t loop) {
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(i * 7 + (i >> 10) + loop * 37);
  }
}

struct Loop {
  bool Passed = false;  // full write and full read
  bool Intact = false;  // and the bytes read are the bytes written
};

// One loop of the loopback test's host side.
inline Loop RunLoop(UsbDevice& device, uint32_t loop) {
  UsbEndpoint* out = device.BulkOutEndpoint;
  UsbEndpoint* in = device.BulkInEndpoint;
  std::vector<uint8_t> written(kBlock), read(kBlock, 0);
  FillLoop(written, loop);
  Loop result;
  int32_t length = kBlock;
  if (!out->TransferSync(written.data(), length)) {
    out->AbortTransfers();
    out->ResetEndpoint();
    return result;
  }
  if (length != kBlock) return result;
  length = kBlock;
  if (!in->TransferSync(read.data(), length)) {
    in->AbortTransfers();
    in->ResetEndpoint();
    return result;
  }
  if (length != kBlock) return result;  // a short read: no abort, no reset
  result.Passed = true;
  result.Intact = read == written;
  return result;
}
