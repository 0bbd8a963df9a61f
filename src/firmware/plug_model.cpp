#include "firmware/plug_model.h"

#include <algorithm>
#include <cstring>

#include "firmware/plug_display.h"
#include "platform/clock.h"
#include "protocol/bus_error_report.h"
#include "protocol/byte_order.h"
#include "protocol/info_string.h"
#include "protocol/plug_commands.h"

namespace {

constexpr uint64_t kLedShowMs = 2500;
constexpr uint64_t kActivityShowMs = 1500;

}  // namespace

uint32_t PlugEndpoint::IntervalBytes() const {
  if (!IsIsochronous()) return PacketBytes();
  if (wBytesPerInterval != 0) return wBytesPerInterval;
  return PacketBytes() * (((wMaxPacketSize >> 11) & 3) + 1);
}

PlugModel::PlugModel(const PlugIdentity& identity, FirmwareClock clock)
    : speed_(identity.PortSpeed),
      identity_(identity),
      clock_(clock ? std::move(clock) : FirmwareClock(GetTickCount64)),
      random_(identity.Seed) {
  config_.ConnectionType = speed_;
  pendingConfig_ = config_;
  ReturnToBus();
}

uint64_t PlugModel::NowMs() const {
  return clock_();
}

void PlugModel::LeaveBus() {
  benchRunning_ = false;
  counting_ = false;
}

void PlugModel::ReturnToBus() {
  config_ = pendingConfig_;
  if (IsConnectionSpeed(config_.ConnectionType)) {
    speed_ = std::min(config_.ConnectionType, identity_.PortSpeed);
  }
  reenumerate_ = false;
  benchRunning_ = false;
  // Firmware before 2.3 has no start command: it counts from power-up.
  counting_ = !identity_.HasFirmware || identity_.Firmware < PLUG_FIRMWARE_NEW_COUNTERS;
  errorMask_ = 0xFFFFFFFF;
  fifo_.assign(
      config_.DataFlow == FLOW_LOOPBACK ? size_t(config_.BufferCount) * config_.BufferSize : 0, 0);
  FlushLoopback();
  endpoints_ = EndpointsAt(speed_);
}

std::vector<PlugEndpoint> PlugModel::EndpointsAt(uint8_t speed) const {
  std::vector<PlugEndpoint> endpoints;
  const bool super = speed == SPEED_SUPER;
  const uint16_t bulkPacket = PlugMaxPacketSize(speed, false);
  auto bulk = [&](uint8_t address, EndpointRole role, uint8_t burst) {
    PlugEndpoint e;
    e.bEndpointAddress = address;
    e.bmAttributes = USB_TRANSFER_BULK;
    e.wMaxPacketSize = bulkPacket;
    e.bMaxBurst = super ? static_cast<uint8_t>(burst - 1) : 0;
    e.Role = role;
    endpoints.push_back(e);
  };
  auto iso = [&](uint8_t address, EndpointRole role) {
    PlugEndpoint e;
    e.bEndpointAddress = address;
    e.bmAttributes = USB_TRANSFER_ISOCHRONOUS;
    e.bInterval = config_.Interval;
    e.Role = role;
    const uint16_t packet = PlugMaxPacketSize(speed, true);
    if (super) {
      e.wMaxPacketSize = packet;
      e.bMaxBurst = static_cast<uint8_t>(config_.Burst - 1);
      e.CompanionAttributes = static_cast<uint8_t>(config_.IsoPackets - 1);
      e.wBytesPerInterval = static_cast<uint16_t>(packet * config_.Burst * config_.IsoPackets);
    } else if (speed == SPEED_HIGH) {
      // Extra transactions per microframe in bits 12..11.
      e.wMaxPacketSize = static_cast<uint16_t>(packet | ((config_.IsoPackets - 1) << 11));
    } else {
      e.wMaxPacketSize = packet;
    }
    endpoints.push_back(e);
  };
  const uint8_t in = static_cast<uint8_t>(USB_DIR_IN | config_.InNumber);
  const uint8_t out = config_.OutNumber;
  if (config_.DataFlow == FLOW_LOOPBACK) {
    bulk(out, EndpointRole::LoopbackOut, 1);
    bulk(in, EndpointRole::LoopbackIn, 1);
  } else {
    const bool sends = config_.DataFlow == FLOW_PLUG_SENDS || config_.DataFlow == FLOW_BOTH;
    const bool receives = config_.DataFlow == FLOW_PLUG_RECEIVES || config_.DataFlow == FLOW_BOTH;
    if (config_.EndpointType == USB_TRANSFER_ISOCHRONOUS) {
      if (sends) iso(in, EndpointRole::SourceIn);
      if (receives) iso(out, EndpointRole::SinkOut);
    } else {
      if (sends) bulk(in, EndpointRole::SourceIn, config_.Burst);
      if (receives) bulk(out, EndpointRole::SinkOut, config_.Burst);
    }
  }
  bulk(PLUG_DISPLAY_ENDPOINT, EndpointRole::Display, 1);
  return endpoints;
}

std::vector<uint8_t> PlugModel::InterfaceDescriptors(uint8_t speed) const {
  const std::vector<PlugEndpoint> endpoints = EndpointsAt(speed);
  // One interface, vendor-specific class, no alternate settings.
  std::vector<uint8_t> d = {
      9, USB_DESCRIPTOR_INTERFACE, 0, 0, static_cast<uint8_t>(endpoints.size()), 0xFF, 0, 0, 0};
  for (const PlugEndpoint& e : endpoints) {
    d.insert(d.end(), {7, USB_DESCRIPTOR_ENDPOINT, e.bEndpointAddress, e.bmAttributes,
                       static_cast<uint8_t>(e.wMaxPacketSize),
                       static_cast<uint8_t>(e.wMaxPacketSize >> 8), e.bInterval});
    if (speed == SPEED_SUPER) {
      d.insert(d.end(), {6, USB_DESCRIPTOR_SS_ENDPOINT_COMPANION, e.bMaxBurst,
                         e.CompanionAttributes, static_cast<uint8_t>(e.wBytesPerInterval),
                         static_cast<uint8_t>(e.wBytesPerInterval >> 8)});
    }
  }
  return d;
}

std::array<std::vector<uint8_t>, 3> PlugModel::InterfaceDescriptorsForEverySpeed() const {
  return {InterfaceDescriptors(SPEED_FULL), InterfaceDescriptors(SPEED_HIGH),
          InterfaceDescriptors(SPEED_SUPER)};
}

const PlugEndpoint* PlugModel::FindEndpoint(uint8_t address) const {
  for (const PlugEndpoint& e : endpoints_) {
    if (e.bEndpointAddress == address) return &e;
  }
  return nullptr;
}

std::string PlugModel::InfoString() const {
  // Without a version the plug names itself instead, so the text still fills its place.
  std::string text = identity_.HasFirmware ? PlugFirmwareField(identity_.Firmware) : "USB3 LB";
  text += ' ';
  text += PlugHardwareField(PLUG_HARDWARE_VERSION);
  return text;  // at most 30 characters
}

ControlReply PlugModel::HandleSetup(const SetupPacket& setup, uint8_t* data) {
  ControlReply reply;
  uint32_t length = 0;
  bool ok = false;
  if (RequestTypeOf(setup.bmRequestType) == USB_TYPE_VENDOR &&
      setup.bRequest == PLUG_REQUEST_CODE &&
      RecipientOf(setup.bmRequestType) == USB_RECIPIENT_DEVICE) {
    if (setup.bmRequestType & USB_DIR_IN) {
      ok = HandleVendorIn(setup, data, &length);
    } else {
      ok = HandleVendorOut(setup, data);
      length = setup.wLength;
    }
  }
  reply.Stalled = !ok;
  reply.Length = ok ? length : 0;
  return reply;
}

bool PlugModel::HandleVendorIn(const SetupPacket& s, uint8_t* data, uint32_t* length) {
  uint8_t reply[32] = {};
  uint32_t size = 0;
  switch (s.wValue) {
    case PlugCommand::Speed:
      // The fastest speed the plug can offer on this port.
      PutLe32(reply, identity_.PortSpeed);
      size = PLUG_SPEED_REPLY_SIZE;
      break;
    case PlugCommand::Info: {
      const std::string text = InfoString();
      std::memcpy(reply, text.data(), std::min(text.size(), PLUG_INFO_LENGTH));
      size = PLUG_INFO_LENGTH;
      break;
    }
    case PlugCommand::BusErrors: {
      BusErrorReport report;
      if (counting_) {
        const uint32_t phyFlags = identity_.PhyFlags & PhyErrorMask(errorMask_);
        const uint32_t linkFlags = identity_.LinkFlags & LinkErrorMask(errorMask_);
        // Errors of masked-out kinds are not counted.
        const bool phyCounted = identity_.PhyFlags == 0 || phyFlags != 0;
        const bool linkCounted = identity_.LinkFlags == 0 || linkFlags != 0;
        report = {phyCounted ? identity_.PhyErrors : 0, linkCounted ? identity_.LinkErrors : 0,
                  phyFlags, linkFlags};
      }
      WriteBusErrorReport(report, reply);
      size = PLUG_BUS_ERROR_REPORT_SIZE;
      break;
    }
    default:
      return false;
  }
  *length = std::min<uint32_t>(size, s.wLength);
  std::memcpy(data, reply, *length);
  return true;
}

bool PlugModel::HandleVendorOut(const SetupPacket& s, const uint8_t* data) {
  switch (s.wValue) {
    case PlugCommand::Configure: {
      PlugConfig next;
      if (!DecodePlugConfig(data, s.wLength, &next)) return false;
      if (next.DataFlow == FLOW_LOOPBACK) next.EndpointType = USB_TRANSFER_BULK;  // loops bulk only
      pendingConfig_ = next;
      reenumerate_ = true;
      return true;
    }
    case PlugCommand::LedStep1:
    case PlugCommand::LedStep2:
    case PlugCommand::LedStep3:
      ledStep_ = s.wValue == PlugCommand::LedStep1 ? 1 : s.wValue == PlugCommand::LedStep2 ? 2 : 3;
      ledUntilMs_ = NowMs() + kLedShowMs;
      return true;
    case PlugCommand::BenchmarkStart:
      benchRunning_ = true;
      return true;
    case PlugCommand::BenchmarkEnd:
      benchRunning_ = false;
      return true;
    case PlugCommand::ErrorMask:
      if (s.wLength == 2) {
        errorMask_ = WidenErrorMask(GetLe16(data));
      } else if (s.wLength == 4) {
        errorMask_ = GetLe32(data);
      } else {
        return false;
      }
      return true;
    case PlugCommand::PrepareCounters:
    case PlugCommand::EndMonitoring:
      counting_ = false;
      return true;
    case PlugCommand::StartCounting:
      counting_ = true;
      return true;
    default:
      return false;
  }
}

void PlugModel::FillSource(uint8_t* data, uint32_t length) {
  // Each transfer carries its sequence number in every byte: as cheap as the bus
  // itself, and a lost or repeated transfer shows at a glance.
  const uint8_t sequence = static_cast<uint8_t>(sourceCounter_++);
  if (length != 0) std::memset(data, sequence, length);
}

uint32_t PlugModel::TakeLoopback(uint8_t* data, uint32_t length, bool* shortEnd) {
  uint32_t n = std::min(length, fifoCount_);
  *shortEnd = false;
  if (!shortEnds_.empty() && shortEnds_.front() - fifoOut_ <= n) {
    n = static_cast<uint32_t>(shortEnds_.front() - fifoOut_);
    shortEnds_.erase(shortEnds_.begin());
    *shortEnd = true;
  }
  if (n == 0) return 0;
  const uint32_t cap = static_cast<uint32_t>(fifo_.size());
  if (data != nullptr) {
    const uint32_t first = std::min(n, cap - fifoHead_);
    std::memcpy(data, fifo_.data() + fifoHead_, first);
    if (n > first) std::memcpy(data + first, fifo_.data(), n - first);
  }
  fifoHead_ = (fifoHead_ + n) % cap;
  fifoCount_ -= n;
  fifoOut_ += n;
  return n;
}

void PlugModel::DrainLoss() {
  while (lossBytes_ > 0) {
    bool shortEnd;
    const uint32_t n = TakeLoopback(
        nullptr, static_cast<uint32_t>(std::min<uint64_t>(lossBytes_, UINT32_MAX)), &shortEnd);
    if (shortEnd) {
      lossBytes_ = 0;  // the lost transfer would have ended here
    } else if (n == 0) {
      return;
    } else {
      lossBytes_ -= n;
    }
  }
}

void PlugModel::FlushLoopback() {
  fifoHead_ = fifoCount_ = 0;
  fifoIn_ = fifoOut_ = outSinceEnd_ = 0;
  shortEnds_.clear();
  lossBytes_ = 0;
}

void PlugModel::LoseInTransfer(uint8_t address, uint32_t length) {
  const PlugEndpoint* e = FindEndpoint(address);
  if (e == nullptr || length == 0) return;
  if (e->Role == EndpointRole::LoopbackIn) {
    lossBytes_ += length;
    DrainLoss();
  } else if (e->Role == EndpointRole::SourceIn && benchRunning_) {
    ++sourceCounter_;
  }
}

void PlugModel::EndInTransferEarly(uint8_t address, uint32_t rest) {
  // The source makes each transfer as it is read: nothing of an ended one is left.
  const PlugEndpoint* e = FindEndpoint(address);
  if (e == nullptr || rest == 0 || e->Role != EndpointRole::LoopbackIn) return;
  lossBytes_ += rest;
  DrainLoss();
}

void PlugModel::ResetEndpoint(uint8_t address) {
  const PlugEndpoint* e = FindEndpoint(address);
  if (e != nullptr &&
      (e->Role == EndpointRole::LoopbackIn || e->Role == EndpointRole::LoopbackOut)) {
    FlushLoopback();
  }
}

EndpointIo PlugModel::ReadEndpoint(uint8_t address, uint8_t* data, uint32_t length) {
  EndpointIo io;
  const PlugEndpoint* e = FindEndpoint(address);
  if (e == nullptr || !e->IsIn()) {
    io.Status = EndpointStatus::Stall;
    return io;
  }
  switch (e->Role) {
    case EndpointRole::Display: {
      uint8_t image[PLUG_DISPLAY_BYTES];
      DrawDisplay(image);
      io.Bytes = std::min(length, PLUG_DISPLAY_BYTES);
      if (io.Bytes != 0) std::memcpy(data, image, io.Bytes);
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
      // A zero-length read ends at once; it takes a zero-length packet if one is next.
      bool shortEnd;
      const uint32_t n = TakeLoopback(data, length, &shortEnd);
      if (length == 0) {
        io.TransferEnds = true;
        return io;
      }
      if (n == 0 && !shortEnd) {
        io.Status = EndpointStatus::Nak;
        return io;
      }
      ++transfersSeen_;
      io.Bytes = n;
      io.TransferEnds = shortEnd || n == length;
      io.ShortPacket = shortEnd;
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
  if (e == nullptr || e->IsIn()) {
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
  if (n != 0) {
    const uint32_t tail = (fifoHead_ + fifoCount_) % cap;
    const uint32_t first = std::min(n, cap - tail);
    std::memcpy(fifo_.data() + tail, data, first);
    if (n > first) std::memcpy(fifo_.data(), data + first, n - first);
  }
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
  if (lossBytes_ != 0) DrainLoss();
  return io;
}

void PlugModel::DrawDisplay(uint8_t* image) {
  const uint64_t now = NowMs();
  PlugDisplayState state;
  state.Serial = identity_.Serial;
  state.Hardware = PLUG_HARDWARE_VERSION;
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
