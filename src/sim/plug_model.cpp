#include "sim/plug_model.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "sim/plug_display.h"
#include "usb/driver_requests.h"
#include "usb/plug_ids.h"

namespace {

constexpr const char* kManufacturer = "Quorvale";
constexpr const char* kProduct = "USB3 Loopback Plug";
constexpr const char* kHardwareVersion = "1.0";
constexpr uint64_t kLedShowMs = 2500;
constexpr uint64_t kActivityShowMs = 1500;

int EndpointSlot(uint8_t address) {
  return (address & 0x0F) | ((address & 0x80) ? 16 : 0);
}

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> StringDescriptor(const std::string& text) {
  std::vector<uint8_t> d;
  size_t chars = std::min<size_t>(text.size(), 126);
  d.push_back(static_cast<uint8_t>(2 + 2 * chars));
  d.push_back(3);
  for (size_t i = 0; i < chars; ++i) Put16(d, static_cast<uint8_t>(text[i]));
  return d;
}

uint32_t CopyReply(const std::vector<uint8_t>& source, uint8_t* data, uint16_t wLength) {
  uint32_t n = std::min<uint32_t>(wLength, static_cast<uint32_t>(source.size()));
  if (n) std::memcpy(data, source.data(), n);
  return n;
}

}  // namespace

bool DecodePlugConfig(const uint8_t* b, PlugConfig* config) {
  PlugConfig c;
  c.DataFlow = b[0];
  c.EndpointType = b[1];
  c.InNumber = b[2];
  c.OutNumber = b[3];
  c.Burst = b[4];
  c.Interval = b[5];
  c.IsoPackets = b[7];
  c.BytesPerInterval = GetLe16(b + 8);
  c.ConnectionType = b[10];
  c.BufferCount = b[11];
  c.BufferSize = GetLe16(b + 12);
  if (c.DataFlow > 3 || (c.EndpointType != 1 && c.EndpointType != 2)) return false;
  // 0x87 is the display, so IN endpoint 7 is taken; OUT 7 is free but never offered.
  if (c.InNumber < 1 || c.InNumber > 15 || c.InNumber == 7) return false;
  if (c.OutNumber < 1 || c.OutNumber > 15) return false;
  if (c.Burst < 1 || c.Burst > 16 || c.Interval < 1 || c.Interval > 16) return false;
  if (c.IsoPackets < 1 || c.IsoPackets > 3) return false;
  if (c.BufferCount == 0 || c.BufferSize == 0) return false;
  if (c.DataFlow == 0) c.EndpointType = 2;  // the plug loops bulk data only
  *config = c;
  return true;
}

uint32_t PlugEndpoint::IntervalBytes() const {
  if (!IsIsochronous()) return PacketBytes();
  if (wBytesPerInterval != 0) return wBytesPerInterval;
  return PacketBytes() * (((wMaxPacketSize >> 11) & 3) + 1);
}

PlugModel::PlugModel(const PlugIdentity& identity)
    : speed_(identity.PortSpeed), identity_(identity), random_(identity.Seed) {
  config_.ConnectionType = speed_;
  pendingConfig_ = config_;
  ReturnToBus();
}

void PlugModel::LeaveBus() {
  benchRunning_ = false;
  counting_ = false;
  halted_ = 0;
}

void PlugModel::ReturnToBus() {
  config_ = pendingConfig_;
  if (config_.ConnectionType >= SIM_SPEED_FULL && config_.ConnectionType <= SIM_SPEED_SUPER) {
    speed_ = std::min(config_.ConnectionType, identity_.PortSpeed);
  }
  reenumerate_ = false;
  halted_ = 0;
  benchRunning_ = false;
  // Firmware before 2.3 has no start command: it counts from power-up.
  counting_ = !identity_.HasFirmware || identity_.Firmware < 23;
  errorMask_ = 0xFFFFFFFF;
  fifo_.assign(config_.DataFlow == 0 ? size_t(config_.BufferCount) * config_.BufferSize : 0, 0);
  fifoHead_ = fifoCount_ = 0;
  fifoIn_ = fifoOut_ = outSinceEnd_ = 0;
  shortEnds_.clear();
  BuildLayout();
  BuildDescriptors();
}

void PlugModel::BuildLayout() {
  endpoints_.clear();
  const bool super = speed_ == SIM_SPEED_SUPER;
  const uint16_t bulkPacket = super ? 1024 : speed_ == SIM_SPEED_HIGH ? 512 : 64;
  auto bulk = [&](uint8_t address, EndpointRole role, uint8_t burst) {
    PlugEndpoint e;
    e.bEndpointAddress = address;
    e.bmAttributes = 2;
    e.wMaxPacketSize = bulkPacket;
    e.bMaxBurst = super ? static_cast<uint8_t>(burst - 1) : 0;
    e.Role = role;
    endpoints_.push_back(e);
  };
  auto iso = [&](uint8_t address, EndpointRole role) {
    PlugEndpoint e;
    e.bEndpointAddress = address;
    e.bmAttributes = 1;
    e.bInterval = config_.Interval;
    e.Role = role;
    if (super) {
      e.wMaxPacketSize = 1024;
      e.bMaxBurst = static_cast<uint8_t>(config_.Burst - 1);
      e.CompanionAttributes = static_cast<uint8_t>(config_.IsoPackets - 1);
      e.wBytesPerInterval = static_cast<uint16_t>(1024u * config_.Burst * config_.IsoPackets);
    } else if (speed_ == SIM_SPEED_HIGH) {
      e.wMaxPacketSize = static_cast<uint16_t>(1024 | ((config_.IsoPackets - 1) << 11));
    } else {
      e.wMaxPacketSize = 64;
    }
    endpoints_.push_back(e);
  };
  const uint8_t in = static_cast<uint8_t>(0x80 | config_.InNumber);
  const uint8_t out = config_.OutNumber;
  if (config_.DataFlow == 0) {
    bulk(out, EndpointRole::LoopbackOut, 1);
    bulk(in, EndpointRole::LoopbackIn, 1);
  } else {
    bool sends = config_.DataFlow == 1 || config_.DataFlow == 3;
    bool receives = config_.DataFlow == 2 || config_.DataFlow == 3;
    if (config_.EndpointType == 1) {
      if (sends) iso(in, EndpointRole::SourceIn);
      if (receives) iso(out, EndpointRole::SinkOut);
    } else {
      if (sends) bulk(in, EndpointRole::SourceIn, config_.Burst);
      if (receives) bulk(out, EndpointRole::SinkOut, config_.Burst);
    }
  }
  bulk(PLUG_DISPLAY_ENDPOINT, EndpointRole::Display, 1);
}

void PlugModel::BuildDescriptors() {
  const bool super = speed_ == SIM_SPEED_SUPER;
  device_ = {18, 1};
  Put16(device_, super ? 0x0320 : speed_ == SIM_SPEED_HIGH ? 0x0210 : 0x0200);
  device_.insert(device_.end(), {0, 0, 0, static_cast<uint8_t>(super ? 9 : 64)});
  Put16(device_, PLUG_VENDOR_ID);
  Put16(device_, PLUG_PRODUCT_ID);
  uint8_t fw = identity_.HasFirmware ? identity_.Firmware : 0;
  Put16(device_, static_cast<uint16_t>(((fw / 10) << 8) | (fw % 10)));
  device_.insert(device_.end(), {1, 2, 3, 1});

  std::vector<uint8_t>& c = config_set_;
  c = {9, 2, 0, 0, 1, 1, 0, 0x80, static_cast<uint8_t>(super ? 25 : 100)};  // 200 mA
  c.insert(c.end(), {9, 4, 0, 0, static_cast<uint8_t>(endpoints_.size()), 0xFF, 0, 0, 0});
  for (const PlugEndpoint& e : endpoints_) {
    c.insert(c.end(), {7, 5, e.bEndpointAddress, e.bmAttributes});
    Put16(c, e.wMaxPacketSize);
    c.push_back(e.bInterval);
    if (super) {
      c.insert(c.end(), {6, 0x30, e.bMaxBurst, e.CompanionAttributes});
      Put16(c, e.wBytesPerInterval);
    }
  }
  uint16_t total = static_cast<uint16_t>(c.size());
  // bad-config: the set claims to end inside its last endpoint descriptor.
  if (identity_.BadConfig) total = static_cast<uint16_t>(total - (super ? 9 : 3));
  PutLe16(&c[2], total);
  if (identity_.BadConfig) c.resize(total);

  bos_.clear();
  if (super) {
    bos_ = {5, 15, 0, 0, 3};
    bos_.insert(bos_.end(), {7, 16, 2, 0x02, 0, 0, 0});  // USB 2.0 extension: LPM
    // SuperSpeed capability: all three speeds, full speed upward, exit latencies.
    bos_.insert(bos_.end(), {10, 16, 3, 0, 0x0E, 0, 1, 10, 0xFF, 0x07});
    bos_.insert(bos_.end(), {20, 16, 4, 0});  // container id from the serial
    for (int i = 0; i < 16; ++i) {
      const std::string& s = identity_.Serial;
      bos_.push_back(static_cast<uint8_t>(s.empty() ? i : s[i % s.size()] ^ (i * 37)));
    }
    if (identity_.BadBos) bos_[12] = 0;  // a capability of length 0
    PutLe16(&bos_[2], static_cast<uint16_t>(bos_.size()));
  }
}

const PlugEndpoint* PlugModel::FindEndpoint(uint8_t address) const {
  for (const PlugEndpoint& e : endpoints_) {
    if (e.bEndpointAddress == address) return &e;
  }
  return nullptr;
}

std::string PlugModel::InfoString() const {
  std::string text;
  if (identity_.HasFirmware) {
    text = "FW Version V";
    text += static_cast<char>('0' + identity_.Firmware / 10);
    text += '.';
    text += static_cast<char>('0' + identity_.Firmware % 10);
    text += ' ';
  } else {
    text = "USB3 LB ";
  }
  text += "HW Version ";
  text += kHardwareVersion;
  return text;  // at most 30 characters
}

void PlugModel::SetHalt(uint8_t address, bool halted) {
  if (!FindEndpoint(address)) return;
  const uint32_t bit = 1u << EndpointSlot(address);
  halted_ = halted ? (halted_ | bit) : (halted_ & ~bit);
}

bool PlugModel::IsHalted(uint8_t address) const {
  return (halted_ >> EndpointSlot(address)) & 1;
}

ControlReply PlugModel::HandleSetup(const SetupPacket& setup, uint8_t* data) {
  ControlReply reply;
  uint32_t length = 0;
  bool ok = false;
  switch ((setup.bmRequestType >> 5) & 3) {
    case 0:
      ok = HandleStandard(setup, data, &length);
      break;
    case 2:
      ok = HandleVendor(setup, data, &length);
      break;
    default:
      break;
  }
  reply.Stalled = !ok;
  reply.Length = ok ? length : 0;
  return reply;
}

bool PlugModel::HandleStandard(const SetupPacket& s, uint8_t* data, uint32_t* length) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  const uint8_t recipient = s.bmRequestType & 0x1F;
  switch (s.bRequest) {
    case 6: {  // GET_DESCRIPTOR
      if (!in) return false;
      uint8_t type = static_cast<uint8_t>(s.wValue >> 8), index = static_cast<uint8_t>(s.wValue);
      switch (type) {
        case 1:
          *length = CopyReply(device_, data, s.wLength);
          return true;
        case 2:
          if (index != 0) return false;
          *length = CopyReply(config_set_, data, s.wLength);
          return true;
        case 3: {
          std::vector<uint8_t> d;
          if (index == 0) {
            d = {4, 3, 0x09, 0x04};
          } else if (index == 1) {
            d = StringDescriptor(kManufacturer);
          } else if (index == 2) {
            d = StringDescriptor(kProduct);
          } else if (index == 3) {
            d = StringDescriptor(identity_.Serial);
          } else {
            return false;
          }
          *length = CopyReply(d, data, s.wLength);
          return true;
        }
        case 15:
          if (bos_.empty()) return false;
          *length = CopyReply(bos_, data, s.wLength);
          return true;
        default:
          return false;
      }
    }
    case 0:  // GET_STATUS
      if (!in || s.wLength < 2) return false;
      data[0] = recipient == 2 && IsHalted(static_cast<uint8_t>(s.wIndex)) ? 1 : 0;
      data[1] = 0;
      *length = 2;
      return true;
    case 8:  // GET_CONFIGURATION
      if (!in || s.wLength < 1) return false;
      data[0] = 1;
      *length = 1;
      return true;
    case 10:  // GET_INTERFACE
      if (!in || s.wLength < 1) return false;
      data[0] = 0;
      *length = 1;
      return true;
    case 9:   // SET_CONFIGURATION
    case 11:  // SET_INTERFACE
      return !in && s.wValue <= 1;
    case 1:  // CLEAR_FEATURE(ENDPOINT_HALT)
    case 3:  // SET_FEATURE(ENDPOINT_HALT)
      if (in || recipient != 2 || s.wValue != 0) return false;
      if (!FindEndpoint(static_cast<uint8_t>(s.wIndex))) return false;
      SetHalt(static_cast<uint8_t>(s.wIndex), s.bRequest == 3);
      return true;
    default:
      return false;
  }
}

bool PlugModel::HandleVendor(const SetupPacket& s, uint8_t* data, uint32_t* length) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  if (s.bRequest != 0 || (s.bmRequestType & 0x1F) != 0) return false;
  if (in) {
    uint8_t reply[32] = {};
    uint32_t size = 0;
    switch (s.wValue) {
      case PLUG_CMD_SPEED:
        // The fastest speed the plug can offer on this port.
        PutLe32(reply, identity_.PortSpeed);
        size = 4;
        break;
      case PLUG_CMD_INFO: {
        std::string text = InfoString();
        std::memcpy(reply, text.data(), text.size());
        size = PLUG_INFO_LENGTH;
        break;
      }
      case PLUG_CMD_ERROR_COUNTERS: {
        uint32_t phyMask = errorMask_ & 0x1FF, linkMask = (errorMask_ >> 16) & 0x7FFF;
        if (counting_) {
          uint32_t phyFlags = identity_.PhyFlags & phyMask;
          uint32_t linkFlags = identity_.LinkFlags & linkMask;
          // Errors of masked-out kinds are not counted.
          bool phyCounted = identity_.PhyFlags == 0 || phyFlags != 0;
          bool linkCounted = identity_.LinkFlags == 0 || linkFlags != 0;
          PutLe32(reply, phyCounted ? identity_.PhyErrors : 0);
          PutLe32(reply + 4, linkCounted ? identity_.LinkErrors : 0);
          PutLe32(reply + 8, phyFlags);
          PutLe32(reply + 12, linkFlags);
        }
        size = 16;
        break;
      }
      default:
        return false;
    }
    *length = std::min<uint32_t>(size, s.wLength);
    std::memcpy(data, reply, *length);
    return true;
  }
  const uint64_t now = GetTickCount64();
  *length = s.wLength;
  switch (s.wValue) {
    case PLUG_CMD_CONFIG: {
      PlugConfig next;
      if (s.wLength < PLUG_CONFIG_BLOCK_SIZE || !DecodePlugConfig(data, &next)) return false;
      pendingConfig_ = next;
      reenumerate_ = true;
      return true;
    }
    case PLUG_CMD_LED_STEP1:
    case PLUG_CMD_LED_STEP2:
    case PLUG_CMD_LED_STEP3:
      ledStep_ = s.wValue == PLUG_CMD_LED_STEP1 ? 1 : s.wValue == PLUG_CMD_LED_STEP2 ? 2 : 3;
      ledUntilMs_ = now + kLedShowMs;
      return true;
    case PLUG_CMD_BENCH_START:
      benchRunning_ = true;
      return true;
    case PLUG_CMD_BENCH_END:
      benchRunning_ = false;
      return true;
    case PLUG_CMD_ERROR_MASK:
      if (s.wLength == 2) {
        // The two-byte form masks physical-layer kinds only.
        errorMask_ = 0x7FFF0000u | GetLe16(data);
      } else if (s.wLength == 4) {
        errorMask_ = GetLe32(data);
      } else {
        return false;
      }
      return true;
    case PLUG_CMD_PREPARE_COUNTERS:
      counting_ = false;
      return true;
    case PLUG_CMD_START_COUNTING:
      counting_ = true;
      return true;
    case PLUG_CMD_END_MONITORING:
      counting_ = false;
      return true;
    default:
      return false;
  }
}

void PlugModel::FillSource(uint8_t* data, uint32_t length) {
  // Each transfer carries its sequence number in every byte: as cheap as the bus
  // itself, and a lost or repeated transfer shows at a glance.
  std::memset(data, static_cast<uint8_t>(sourceCounter_++), length);
}

EndpointIo PlugModel::ReadEndpoint(uint8_t address, uint8_t* data, uint32_t length) {
  EndpointIo io;
  const PlugEndpoint* e = FindEndpoint(address);
  if (e == nullptr || !e->IsIn() || IsHalted(address)) {
    io.Status = EndpointStatus::Stall;
    return io;
  }
  switch (e->Role) {
    case EndpointRole::Display: {
      uint8_t image[PLUG_DISPLAY_BYTES];
      DrawDisplay(image);
      io.Bytes = std::min(length, PLUG_DISPLAY_BYTES);
      std::memcpy(data, image, io.Bytes);
      io.TransferEnds = true;
      return io;
    }
    case EndpointRole::SourceIn:
      if (!benchRunning_) {
        io.Status = EndpointStatus::Nak;
        return io;
      }
      FillSource(data, length);
      ++transfersSeen_;
      io.Bytes = length;
      io.TransferEnds = true;
      return io;
    case EndpointRole::LoopbackIn: {
      if (length == 0) {
        // A zero-length read ends at once; it takes a zero-length packet if one is next.
        if (!shortEnds_.empty() && shortEnds_.front() == fifoOut_) {
          shortEnds_.erase(shortEnds_.begin());
        }
        io.TransferEnds = true;
        return io;
      }
      uint32_t n = std::min(length, fifoCount_);
      bool ends = false;
      if (!shortEnds_.empty() && shortEnds_.front() - fifoOut_ <= n) {
        n = static_cast<uint32_t>(shortEnds_.front() - fifoOut_);
        shortEnds_.erase(shortEnds_.begin());
        ends = true;
      }
      if (n == 0 && !ends) {
        io.Status = EndpointStatus::Nak;
        return io;
      }
      const uint32_t cap = static_cast<uint32_t>(fifo_.size());
      uint32_t first = std::min(n, cap - fifoHead_);
      std::memcpy(data, fifo_.data() + fifoHead_, first);
      std::memcpy(data + first, fifo_.data(), n - first);
      fifoHead_ = (fifoHead_ + n) % cap;
      fifoCount_ -= n;
      fifoOut_ += n;
      ++transfersSeen_;
      io.Bytes = n;
      io.TransferEnds = ends || n == length;
      return io;
    }
    default:
      io.Status = EndpointStatus::Stall;
      return io;
  }
}

EndpointIo PlugModel::WriteEndpoint(uint8_t address, const uint8_t* data, uint32_t length,
                                    bool lastChunk) {
  EndpointIo io;
  const PlugEndpoint* e = FindEndpoint(address);
  if (e == nullptr || e->IsIn() || IsHalted(address)) {
    io.Status = EndpointStatus::Stall;
    return io;
  }
  if (e->Role == EndpointRole::SinkOut) {
    if (!benchRunning_) {
      io.Status = EndpointStatus::Nak;
      return io;
    }
    ++transfersSeen_;
    io.Bytes = length;
    io.TransferEnds = true;
    return io;
  }
  const uint32_t cap = static_cast<uint32_t>(fifo_.size());
  uint32_t n = std::min(length, cap - fifoCount_);
  if (n == 0 && length != 0) {
    io.Status = EndpointStatus::Nak;
    return io;
  }
  uint32_t tail = (fifoHead_ + fifoCount_) % cap;
  uint32_t first = std::min(n, cap - tail);
  std::memcpy(fifo_.data() + tail, data, first);
  std::memcpy(fifo_.data(), data + first, n - first);
  fifoCount_ += n;
  fifoIn_ += n;
  outSinceEnd_ += n;
  io.Bytes = n;
  if (n == length && lastChunk) {
    // A transfer that does not end on a packet boundary ends with a short packet,
    // which also ends the host's read on the far side.
    if (outSinceEnd_ == 0 || outSinceEnd_ % e->PacketBytes() != 0) shortEnds_.push_back(fifoIn_);
    outSinceEnd_ = 0;
    io.TransferEnds = true;
    ++transfersSeen_;
  }
  return io;
}

void PlugModel::DrawDisplay(uint8_t* image) {
  const uint64_t now = GetTickCount64();
  PlugDisplayState state;
  state.Serial = identity_.Serial;
  if (identity_.HasFirmware) {
    state.Firmware = {static_cast<char>('0' + identity_.Firmware / 10), '.',
                      static_cast<char>('0' + identity_.Firmware % 10)};
  }
  // VBUS wanders a little around 5 V; the current rises while data moves.
  std::uniform_real_distribution<double> step(-0.01, 0.01);
  volts_ = std::clamp(volts_ + step(random_), 4.95, 5.10);
  const bool active = benchRunning_ || transfersSeen_ != activitySeen_ || now < activityUntilMs_;
  if (transfersSeen_ != activitySeen_) {
    activitySeen_ = transfersSeen_;
    activityUntilMs_ = now + kActivityShowMs;
  }
  const double target = active ? 0.32 : 0.21;
  amps_ = std::clamp(amps_ + (target - amps_) * 0.5 + step(random_) * 0.5, 0.15, 0.40);
  state.Volts = volts_;
  state.Amps = amps_;
  state.DataFlow = config_.DataFlow;
  state.EndpointType = config_.EndpointType;
  state.Speed = speed_;
  state.Active = active;
  if (now < ledUntilMs_) {
    // The LEDs chase while a flash step is showing.
    uint32_t phase = static_cast<uint32_t>(now / 250) % 3;
    for (int i = 0; i < 3; ++i) state.Leds[i] = i < ledStep_ || static_cast<uint32_t>(i) == phase;
  }
  DrawPlugDisplay(state, image);
}
