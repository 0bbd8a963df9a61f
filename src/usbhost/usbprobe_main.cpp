// tarnwick-usbprobe: checks real plugs through the libusb driver port and the USB
// classes, without the rest of the tool. Lists the plugs, opens one, reads its
// information string with the vendor request, and loops blocks of data through its
// bulk endpoints, verifying each one.
//
//   tarnwick-usbprobe [--plug-id VID:PID]... [--serial TEXT] [--loops N] [--bytes N]
//
// Exit status: 0 when every step passed, 1 when one failed, 2 for a bad command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/driver_port.h"
#include "platform/event.h"
#include "platform/text.h"
#include "protocol/info_string.h"
#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
#include "usb/usb_device.h"
#include "usb/usb_endpoint.h"
#include "usbhost/usbhost_port.h"

namespace {

struct Options {
  std::string Serial;
  long Loops = 4;
  long Bytes = 65536;
};

int Usage(const char* why) {
  std::fprintf(stderr,
               "tarnwick-usbprobe: %s\n"
               "usage: tarnwick-usbprobe [--plug-id VID:PID]... [--serial TEXT] [--loops N] "
               "[--bytes N]\n",
               why);
  return 2;
}

bool ParseCount(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

const char* SpeedName(const UsbDevice& device) {
  if (device.IsSuperSpeed) return "SuperSpeed";
  if (device.IsHighSpeed) return "HighSpeed";
  return "FullSpeed";
}

constexpr int kLookAttempts = 50;
constexpr uint32_t kLookPauseMs = 100;

// Open as the tool opens a plug: once more after a restart when the first try fails.
bool OpenWithRetry(UsbDevice& device, uint8_t number) {
  if (device.Open(number)) return true;
  device.RestartDevice();
  return device.Open(number);
}

bool ReadInfo(UsbDevice& device, std::string* info) {
  UsbControlEndpoint* control = device.ControlEndpoint;
  if (control == nullptr) return false;
  uint8_t buffer[PLUG_INFO_LENGTH + 1] = {};
  int32_t length = PLUG_INFO_LENGTH;
  control->Recipient = 0;
  control->RequestType = 2;
  control->RequestCode = PLUG_REQUEST_CODE;
  control->RequestValue = PLUG_CMD_INFO;
  control->RequestIndex = PLUG_REQUEST_INDEX;
  if (!control->ControlRead(buffer, length)) return false;
  info->assign(reinterpret_cast<char*>(buffer),
               strnlen(reinterpret_cast<char*>(buffer), static_cast<size_t>(length)));
  return true;
}

// One block out and back: the read is queued before the write, so the plug never has
// to hold more than its buffers take.
bool LoopOnce(UsbEndpoint& out, UsbEndpoint& in, long bytes, long loop) {
  std::vector<uint8_t> sent(static_cast<size_t>(bytes)), got(static_cast<size_t>(bytes));
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + loop * 13);
  Event readDone(false, false);
  Overlapped readRecord;
  readRecord.hEvent = &readDone;
  auto* read = in.SubmitTransfer(got.data(), static_cast<int32_t>(bytes), &readRecord);
  if (read == nullptr) {
    std::printf("loop %ld: read not accepted (error %u)\n", loop, in.LastWinError.load());
    return false;
  }
  int32_t written = static_cast<int32_t>(bytes);
  const bool wrote = out.TransferSync(sent.data(), written);
  const bool arrived = wrote && in.AwaitTransfer(&readRecord, 5000);
  if (!arrived) in.AbortTransfers();
  int32_t length = static_cast<int32_t>(bytes);
  const bool completed = in.CompleteTransfer(got.data(), length, &readRecord, read, nullptr);
  if (!wrote || !arrived || !completed || length != bytes) {
    std::printf(
        "loop %ld: FAIL (write %s, read %s, %d of %ld bytes, NtStatus 0x%x, "
        "UsbdStatus 0x%x)\n",
        loop, wrote ? "ok" : "failed", arrived && completed ? "ok" : "failed", length, bytes,
        in.NtStatus.load(), in.UsbdStatus.load());
    return false;
  }
  if (sent != got) {
    std::printf("loop %ld: FAIL (data differs)\n", loop);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--plug-id" && value) {
      const auto id = ParsePlugId(value);
      if (!id) return Usage("--plug-id wants VID:PID, four hexadecimal digits each");
      AddPlugId(*id);
    } else if (arg == "--serial" && value) {
      options.Serial = value;
    } else if (arg == "--loops" && value) {
      if (!ParseCount(value, 0, 1000000, &options.Loops)) return Usage("bad --loops");
    } else if (arg == "--bytes" && value) {
      if (!ParseCount(value, 1, 16 << 20, &options.Bytes)) return Usage("bad --bytes");
    } else {
      return Usage("unknown or incomplete option");
    }
    ++i;
  }

  std::string error;
  std::unique_ptr<DriverPort> port = CreateUsbHostPort(&error);
  if (!port) {
    std::fprintf(stderr, "tarnwick-usbprobe: %s\n", error.c_str());
    return 1;
  }
  SetDriverPort(port.get());
  int status = 1;
  {
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
    // A plug that a program has just configured is off the bus while it re-enumerates:
    // look again for a few seconds before saying there is none.
    int chosen = -1;
    for (int attempt = 0; attempt < kLookAttempts && chosen < 0; ++attempt) {
      if (attempt > 0) Sleep(kLookPauseMs);
      const uint8_t count = device.CountDevices();
      if (count == 0 && attempt + 1 < kLookAttempts) continue;
      std::printf("plugs: %u\n", count);
      for (uint8_t n = 0; n < count; ++n) {
        if (!OpenWithRetry(device, n)) {
          std::printf("plug %u: cannot open (error %u)\n", n, device.LastErrorCode);
          continue;
        }
        const std::string serial = Utf16ToUtf8(device.SerialNumberText);
        std::printf("plug %u: serial %s, %s, %04x:%04x, address %u, %s\n", n, serial.c_str(),
                    SpeedName(device), device.idVendor, device.idProduct, device.BusAddress,
                    device.DevicePath);
        if (chosen < 0 && (options.Serial.empty() || options.Serial == serial)) chosen = n;
        device.CloseDevice();
      }
    }
    if (chosen < 0) {
      std::printf("no plug to probe\n");
    } else if (!OpenWithRetry(device, static_cast<uint8_t>(chosen))) {
      std::printf("open plug %d: FAIL (error %u)\n", chosen, device.LastErrorCode);
    } else {
      std::printf("open plug %d: %s\n", chosen, device.DriverFriendlyName);
      std::string info;
      const bool infoRead = ReadInfo(device, &info);
      std::printf("info: %s\n", infoRead ? info.c_str() : "FAIL (request refused)");
      UsbEndpoint* out = device.BulkOutEndpoint;
      UsbEndpoint* in = device.BulkInEndpoint;
      bool looped = infoRead && HasFirmwareVersion(info);
      if (out == nullptr || in == nullptr) {
        std::printf("loopback: FAIL (no bulk endpoint pair)\n");
        looped = false;
      } else {
        long passed = 0;
        for (long loop = 0; loop < options.Loops && LoopOnce(*out, *in, options.Bytes, loop);
             ++loop) {
          ++passed;
        }
        std::printf("loopback: %ld of %ld blocks of %ld bytes through 0x%02x and 0x%02x: %s\n",
                    passed, options.Loops, options.Bytes, out->bEndpointAddress,
                    in->bEndpointAddress, passed == options.Loops ? "PASS" : "FAIL");
        looped = looped && passed == options.Loops;
      }
      status = looped ? 0 : 1;
      device.CloseDevice();
    }
  }
  SetDriverPort(nullptr);
  return status;
}
