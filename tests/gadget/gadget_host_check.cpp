// The host's side of the gadget's end-to-end run, straight on libusb: lists the plug,
// configures it, and runs a verified loopback and the two benchmark directions the
// way the tool's engines use the plug. It stands in for the tool's command-line front
// end inside the test machine and prints one result line per run.
//
//   gadget_host_check list
//   gadget_host_check loopback SECONDS OUT_EP IN_EP [expect-errors]
//   gadget_host_check read|write SECONDS EP
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "protocol/config_block.h"
#include "protocol/info_string.h"
#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
#include "protocol/usb_standard.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kTimeoutMs = 3000;
constexpr int kBlock = 65536;
constexpr int kBenchBlock = 1 << 20;

libusb_context* g_usb = nullptr;

const char* SpeedName(int speed) {
  switch (speed) {
    case LIBUSB_SPEED_SUPER:
    case LIBUSB_SPEED_SUPER_PLUS:
      return "SuperSpeed";
    case LIBUSB_SPEED_HIGH:
      return "HighSpeed";
    case LIBUSB_SPEED_FULL:
      return "FullSpeed";
    default:
      return "unknown speed";
  }
}

struct Found {
  libusb_device_handle* Handle = nullptr;
  std::string Serial;
  int Speed = 0;
};

// The first plug present, opened; waits up to waitMs for one to appear. libusb keeps
// its device list current through udev, which the test machine does not run: a fresh
// context enumerates afresh.
Found OpenPlug(int waitMs) {
  Found found;
  const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
  do {
    libusb_exit(g_usb);
    g_usb = nullptr;
    if (libusb_init(&g_usb) != 0) return found;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(g_usb, &list);
    for (ssize_t i = 0; i < count && !found.Handle; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
      if (!IsPlugId(d.idVendor, d.idProduct)) continue;
      if (libusb_open(list[i], &found.Handle) != 0) continue;
      unsigned char serial[64] = {};
      libusb_get_string_descriptor_ascii(found.Handle, d.iSerialNumber, serial, sizeof serial);
      found.Serial = reinterpret_cast<char*>(serial);
      found.Speed = libusb_get_device_speed(list[i]);
    }
    libusb_free_device_list(list, 1);
    if (found.Handle) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (Clock::now() < until);
  return found;
}

int Vendor(libusb_device_handle* h, bool in, uint16_t command, uint8_t* data, uint16_t length) {
  const uint8_t type = MakeRequestType(in, USB_TYPE_VENDOR, USB_RECIPIENT_DEVICE);
  return libusb_control_transfer(h, type, PLUG_REQUEST_CODE, command, PLUG_REQUEST_INDEX, data,
                                 length, kTimeoutMs);
}

// Sends the configuration and reopens the plug once it is back with the new layout.
Found Configure(Found plug, const PlugConfig& config) {
  PlugConfigBlock block = EncodePlugConfig(config);
  const int sent = Vendor(plug.Handle, false, PLUG_CMD_CONFIG, block.data(), block.size());
  libusb_close(plug.Handle);
  if (sent != static_cast<int>(block.size())) {
    std::printf("configuration request failed: %s\n", libusb_error_name(sent));
    return {};
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // off the bus and back
  Found back = OpenPlug(10000);
  if (!back.Handle) {
    std::printf("the plug did not come back after its configuration\n");
    return {};
  }
  libusb_set_auto_detach_kernel_driver(back.Handle, 1);
  if (libusb_claim_interface(back.Handle, 0) != 0) {
    std::printf("cannot claim the plug's interface\n");
    libusb_close(back.Handle);
    return {};
  }
  return back;
}

bool HasEndpoint(libusb_device_handle* h, uint8_t address) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(h), &config) != 0) return false;
  bool found = false;
  const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
  for (int i = 0; i < alt.bNumEndpoints; ++i) {
    if (alt.endpoint[i].bEndpointAddress == address) found = true;
  }
  libusb_free_config_descriptor(config);
  return found;
}

int List() {
  Found plug = OpenPlug(5000);
  if (!plug.Handle) {
    std::printf("no plug\n");
    return 3;
  }
  uint8_t info[PLUG_INFO_LENGTH + 1] = {};
  Vendor(plug.Handle, true, PLUG_CMD_INFO, info, PLUG_INFO_LENGTH);
  std::printf("%s %s \"%s\"\n", plug.Serial.c_str(), SpeedName(plug.Speed),
              reinterpret_cast<char*>(info));
  libusb_close(plug.Handle);
  return 0;
}

int Loopback(double seconds, uint8_t outNumber, uint8_t inNumber, bool expectErrors) {
  PlugConfig config;
  config.DataFlow = FLOW_LOOPBACK;
  config.OutNumber = outNumber;
  config.InNumber = inNumber;
  Found plug = Configure(OpenPlug(5000), config);
  if (!plug.Handle) return 1;
  const uint8_t out = outNumber, in = static_cast<uint8_t>(LIBUSB_ENDPOINT_IN | inNumber);
  if (!HasEndpoint(plug.Handle, out) || !HasEndpoint(plug.Handle, in)) {
    std::printf("loopback: the plug came back without endpoints 0x%02x/0x%02x\n", out, in);
    return 1;
  }
  std::vector<uint8_t> written(kBlock), read(kBlock);
  uint64_t loops = 0, errors = 0, mismatches = 0, bytes = 0;
  const auto start = Clock::now();
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
    ++loops;
    for (int i = 0; i < kBlock; ++i) written[i] = static_cast<uint8_t>(loops * 31 + i * 7);
    int done = 0;
    int r = libusb_bulk_transfer(plug.Handle, out, written.data(), kBlock, &done, kTimeoutMs);
    if (r != 0 || done != kBlock) {
      ++errors;
      libusb_clear_halt(plug.Handle, out);
      continue;
    }
    r = libusb_bulk_transfer(plug.Handle, in, read.data(), kBlock, &done, kTimeoutMs);
    if (r != 0 || done != kBlock) {
      ++errors;
      libusb_clear_halt(plug.Handle, in);
      continue;
    }
    if (std::memcmp(read.data(), written.data(), kBlock) != 0) ++mismatches;
    bytes += 2 * kBlock;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double rate = bytes / elapsed / 1048576.0;
  const bool pass = mismatches == 0 && (expectErrors ? errors > 0 : errors == 0) && loops > 0;
  std::printf("loopback: %llu loops, %llu transfer errors, %llu verify errors, %.1f MB/s: %s\n",
              static_cast<unsigned long long>(loops), static_cast<unsigned long long>(errors),
              static_cast<unsigned long long>(mismatches), rate, pass ? "PASS" : "FAIL");
  libusb_release_interface(plug.Handle, 0);
  libusb_close(plug.Handle);
  return pass ? 0 : 1;
}

int Benchmark(bool readFromPlug, double seconds, uint8_t number) {
  PlugConfig config;
  config.DataFlow = readFromPlug ? FLOW_PLUG_SENDS : FLOW_PLUG_RECEIVES;
  config.InNumber = readFromPlug ? number : 1;
  config.OutNumber = readFromPlug ? 1 : number;
  config.Burst = 16;
  config.BufferCount = 2;
  config.BufferSize = 0xC000;
  Found plug = Configure(OpenPlug(5000), config);
  if (!plug.Handle) return 1;
  const uint8_t endpoint =
      static_cast<uint8_t>(readFromPlug ? LIBUSB_ENDPOINT_IN | number : number);
  if (!HasEndpoint(plug.Handle, endpoint)) {
    std::printf("benchmark: the plug came back without endpoint 0x%02x\n", endpoint);
    return 1;
  }
  Vendor(plug.Handle, false, PLUG_CMD_BENCH_START, nullptr, 0);
  std::vector<uint8_t> buffer(kBenchBlock, 0x5A);
  uint64_t bytes = 0, errors = 0;
  const auto start = Clock::now();
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
    int done = 0;
    const int r =
        libusb_bulk_transfer(plug.Handle, endpoint, buffer.data(), kBenchBlock, &done, kTimeoutMs);
    bytes += done;
    if (r != 0) ++errors;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  Vendor(plug.Handle, false, PLUG_CMD_BENCH_END, nullptr, 0);
  const double rate = bytes / elapsed / 1048576.0;
  const bool pass = errors == 0 && bytes > 0;
  std::printf("benchmark %s: %.1f MB/s over %.1f s, %llu errors: %s\n",
              readFromPlug ? "read" : "write", rate, elapsed,
              static_cast<unsigned long long>(errors), pass ? "PASS" : "FAIL");
  libusb_release_interface(plug.Handle, 0);
  libusb_close(plug.Handle);
  return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || libusb_init(&g_usb) != 0) {
    std::fprintf(stderr, "usage: gadget_host_check list|loopback|read|write ...\n");
    return 2;
  }
  const std::string command = argv[1];
  auto number = [&](int i, double fallback) { return argc > i ? std::atof(argv[i]) : fallback; };
  int status = 2;
  if (command == "list") {
    status = List();
  } else if (command == "loopback") {
    status = Loopback(number(2, 3), static_cast<uint8_t>(number(3, 1)),
                      static_cast<uint8_t>(number(4, 1)),
                      argc > 5 && std::string(argv[5]) == "expect-errors");
  } else if (command == "read" || command == "write") {
    status = Benchmark(command == "read", number(2, 3), static_cast<uint8_t>(number(3, 1)));
  }
  libusb_exit(g_usb);
  return status;
}
