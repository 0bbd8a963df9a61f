// The virtual driver at the port boundary: real request blocks, no USB classes.
#include "sim/sim_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "platform/win_error.h"
#include "protocol/driver_requests.h"
#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
#include "protocol/status_words.h"
#include "sim_test_support.h"

namespace {

// An endpoint-0 request block with its data area.
std::vector<uint8_t> ControlBlock(uint8_t requestType, uint8_t request, uint16_t value,
                                  uint16_t length, uint16_t index = 0) {
  std::vector<uint8_t> block(DRIVER_TRANSFER_BLOCK_SIZE + length);
  DriverTransferBlock header;
  header.bmRequestType = requestType;
  header.bRequest = request;
  header.wValue = value;
  header.wIndex = index;
  header.wLength = length;
  header.Timeout = 5;
  header.BufferOffset = DRIVER_TRANSFER_BLOCK_SIZE;
  header.BufferLength = length;
  WriteDriverTransferBlock(header, block.data());
  return block;
}

DriverHandle OpenFirst(SimDriverPort& port) {
  uint32_t error = 0;
  DriverHandle handle = port.Open(port.PlugPath(0), &error);
  EXPECT_NE(handle, INVALID_DRIVER_HANDLE);
  return handle;
}

TEST(SimDriver, PathsFollowTheDeviceInterfaceFormAndOpenIgnoresCase) {
  SimDriverPort port(Options("plugs=3,serial=Lab"));
  uint32_t error = 0;
  auto set = port.GetClassDevices(PLUG_INTERFACE_CLASS, &error);
  std::string path;
  ASSERT_EQ(set->GetInterfacePath(1, &path), ERROR_SUCCESS);
  EXPECT_EQ(path, "\\\\?\\usb#vid_1209&pid_000a#Lab0002#{05fc6c39-ecc3-4441-89c9-ec9884c41116}");
  EXPECT_EQ(set->GetInterfacePath(3, &path), ERROR_NO_MORE_ITEMS);
  Guid other = PLUG_INTERFACE_CLASS;
  other.Data1 ^= 1;
  EXPECT_EQ(port.GetClassDevices(other, &error)->GetInterfacePath(0, &path), ERROR_NO_MORE_ITEMS);

  std::string upper = port.PlugPath(0);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  EXPECT_NE(port.Open(upper, &error), INVALID_DRIVER_HANDLE);
  EXPECT_EQ(port.Open("\\\\?\\usb#vid_1209&pid_000a#Nope#{x}", &error), INVALID_DRIVER_HANDLE);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST(SimDriver, TheDriverKeepsEndpointHaltAndAnswersStandardRequests) {
  SimDriverPort port(Options("rate=unlimited"));
  DriverHandle handle = OpenFirst(port);
  uint32_t bytes = 0, error = 0;
  auto control = [&](std::vector<uint8_t> block) {
    const bool ok = port.IoControl(handle, IOCTL_EP0_TRANSFER, block.data(), block.size(),
                                   block.data(), block.size(), &bytes, nullptr, &error);
    return std::pair{ok, block};
  };
  auto haltBit = [&] {
    auto [ok, block] = control(ControlBlock(0x82, 0, 0, 2, 0x81));  // GET_STATUS(endpoint)
    EXPECT_TRUE(ok);
    return block[38];
  };
  auto read = [&] {
    uint8_t request[DRIVER_TRANSFER_BLOCK_SIZE];
    DriverTransferBlock header;
    header.EndpointAddress = 0x81;
    WriteDriverTransferBlock(header, request);
    uint8_t data[8];
    port.IoControl(handle, IOCTL_DIRECT_TRANSFER, request, sizeof request, data, 0, &bytes, nullptr,
                   &error);
    return ReadDriverTransferBlock(request).UsbdStatus;
  };
  EXPECT_EQ(haltBit(), 0);
  EXPECT_EQ(read(), 0u);                                          // a zero-length read ends at once
  EXPECT_TRUE(control(ControlBlock(0x02, 3, 0, 0, 0x81)).first);  // SET_FEATURE(HALT)
  EXPECT_EQ(haltBit(), 1);
  EXPECT_EQ(read(), USBD_STATUS_STALL_PID);
  uint8_t address = 0x81;
  ASSERT_TRUE(port.IoControl(handle, IOCTL_RESET_ENDPOINT, &address, 1, nullptr, 0, &bytes, nullptr,
                             &error));
  EXPECT_EQ(haltBit(), 0);
  EXPECT_EQ(read(), 0u);
  // Halting an endpoint the plug does not have, asking for a string it lacks, or an
  // unknown vendor command stalls.
  EXPECT_FALSE(control(ControlBlock(0x02, 3, 0, 0, 0x85)).first);
  EXPECT_FALSE(control(ControlBlock(0x80, 6, 0x0309, 64, 0x0409)).first);
  auto [known, unknown] = control(ControlBlock(0xC0, 0, 0x7777, 4));
  EXPECT_FALSE(known);
  EXPECT_EQ(error, ERROR_GEN_FAILURE);
  EXPECT_EQ(ReadDriverTransferBlock(unknown.data()).UsbdStatus, USBD_STATUS_STALL_PID);
  auto [ok, serial] = control(ControlBlock(0x80, 6, 0x0303, 64, 0x0409));
  ASSERT_TRUE(ok);
  EXPECT_EQ(bytes, DRIVER_TRANSFER_BLOCK_SIZE + 2 + 2 * 7);  // "SIM0001"
}

TEST(SimDriver, BufferedTransferReportsHeaderAndDataBytes) {
  SimDriverPort port(Options("rate=unlimited"));
  DriverHandle handle = OpenFirst(port);
  uint32_t bytes = 0, error = 0;
  std::vector<uint8_t> block(DRIVER_TRANSFER_BLOCK_SIZE + 100);
  auto buffered = [&](uint8_t address, uint32_t length) {
    DriverTransferBlock header;
    header.EndpointAddress = address;
    header.BufferOffset = DRIVER_TRANSFER_BLOCK_SIZE;
    header.BufferLength = length;
    WriteDriverTransferBlock(header, block.data());
    return port.IoControl(handle, IOCTL_BUFFERED_TRANSFER, block.data(), block.size(), block.data(),
                          block.size(), &bytes, nullptr, &error);
  };
  for (int i = 0; i < 100; ++i) block[38 + i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(buffered(0x01, 100));
  EXPECT_EQ(bytes, 138u);
  std::memset(block.data() + 38, 0, 100);
  ASSERT_TRUE(buffered(0x81, 100));
  EXPECT_EQ(bytes, 138u);
  EXPECT_EQ(block[38 + 99], 99);
  // Offsets beyond the block are refused rather than followed.
  EXPECT_FALSE(buffered(0x81, 1000));
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST(SimDriver, AClosedHandleValueIsNeverGivenToAnotherOpen) {
  SimDriverPort port(Options("rate=unlimited"));
  uint32_t bytes = 0, error = 0;
  const DriverHandle first = OpenFirst(port);
  ASSERT_TRUE(port.Close(first, &error));
  const DriverHandle second = OpenFirst(port);
  EXPECT_NE(second, first);
  // A read on the new handle waits for data; the stale value reaches nothing of it.
  std::vector<uint8_t> buffer(512);
  uint8_t block[DRIVER_TRANSFER_BLOCK_SIZE];
  DriverTransferBlock header;
  header.EndpointAddress = 0x81;
  WriteDriverTransferBlock(header, block);
  PendingIo io;
  EXPECT_FALSE(port.IoControl(second, IOCTL_DIRECT_TRANSFER, block, sizeof block, buffer.data(),
                              buffer.size(), &bytes, &io.record, &error));
  EXPECT_EQ(error, ERROR_IO_PENDING);  // empty loopback FIFO: waits for data
  uint8_t speed[4];
  EXPECT_FALSE(port.IoControl(first, IOCTL_GET_SPEED, speed, 4, speed, 4, &bytes, nullptr, &error));
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(port.Close(first, &error));
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(io.Done());
  EXPECT_EQ(port.PendingRequests(0), 1u);
  ASSERT_TRUE(port.Close(second, &error));  // closing cancels what is pending
  EXPECT_TRUE(io.Done());
  EXPECT_EQ(io.record.Status.load(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(port.PendingRequests(0), 0u);

  // However often a handle is opened and closed, no value comes back.
  std::set<DriverHandle> seen = {first, second};
  for (int i = 0; i < 5000; ++i) {
    const DriverHandle handle = port.Open(port.PlugPath(0), &error);
    ASSERT_TRUE(seen.insert(handle).second) << i;
    ASSERT_EQ(handle % 4, 0);
    ASSERT_TRUE(port.Close(handle, &error));
  }
}

TEST(SimDriver, UnregisteredRecipientsHearNothingMore) {
  SimDriverPort port(Options("plugs=2"));
  NoticeRecorder kept, dropped;
  uint32_t error = 0;
  NotifyHandle keep = port.RegisterClassNotification(PLUG_INTERFACE_CLASS, &kept, &error);
  NotifyHandle drop = port.RegisterClassNotification(PLUG_INTERFACE_CLASS, &dropped, &error);
  ASSERT_NE(keep, NO_NOTIFY_HANDLE);
  ASSERT_TRUE(port.UnregisterNotification(drop, &error));
  EXPECT_FALSE(port.UnregisterNotification(drop, &error));
  port.UnplugNow(1, 0);
  auto notices = kept.WaitFor(1);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(notices[0].Path, port.PlugPath(1));
  EXPECT_TRUE(dropped.Snapshot().empty());
  EXPECT_FALSE(port.PlugPresent(1));
  EXPECT_TRUE(port.PlugPresent(0));
}

}  // namespace
