// The loopback plug's firmware, as a model that knows nothing of how it is carried:
// vendor setup packets in, data or a stall out; data in and out of its endpoints; its
// interface and endpoint descriptors for every speed; and a request to leave the bus
// and come back after a configuration change. What a device controller's stack owns
// (standard requests, device and BOS descriptors, endpoint halt) belongs to the
// transport: the virtual driver hosts the model on a simulated bus, a USB gadget
// transport can host it on a real controller.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "protocol/config_block.h"
#include "protocol/speed_codes.h"
#include "protocol/usb_standard.h"

struct ControlReply {
  bool Stalled = false;
  uint32_t Length = 0;  // IN: bytes of the reply; OUT: bytes taken
};

enum class EndpointRole : uint8_t { LoopbackOut, LoopbackIn, SourceIn, SinkOut, Display };

struct PlugEndpoint {
  uint8_t bEndpointAddress = 0;
  uint8_t bmAttributes = USB_TRANSFER_BULK;
  uint16_t wMaxPacketSize = 0;  // as in the descriptor (bits 12..11: extra transactions)
  uint8_t bInterval = 0;
  uint8_t bMaxBurst = 0;  // companion (SuperSpeed only)
  uint8_t CompanionAttributes = 0;
  uint16_t wBytesPerInterval = 0;
  EndpointRole Role = EndpointRole::Display;
  // Bytes the endpoint moves per packet and per service interval.
  uint32_t PacketBytes() const { return wMaxPacketSize & 0x7FF; }
  uint32_t IntervalBytes() const;
  bool IsIsochronous() const { return (bmAttributes & 3) == USB_TRANSFER_ISOCHRONOUS; }
  bool IsIn() const { return IsInAddress(bEndpointAddress); }
};

enum class EndpointStatus { Ok, Nak, Stall };
struct EndpointIo {
  EndpointStatus Status = EndpointStatus::Ok;
  uint32_t Bytes = 0;
  bool TransferEnds = false;  // the host's transfer is complete
  bool ShortPacket = false;   // IN: it ended on a short packet, the sender's transfer ended
};

// What makes one plug this plug.
struct PlugIdentity {
  std::string Serial;
  uint8_t PortSpeed = SPEED_SUPER;  // the fastest the port allows
  bool HasFirmware = true;          // false: the information string has no version
  uint8_t Firmware = 23;            // 23 is version 2.3
  uint32_t Seed = 1;                // for the display's VBUS drift
  // What each bus-error read reports while the plug counts.
  uint32_t PhyErrors = 0, LinkErrors = 0, PhyFlags = 0, LinkFlags = 0;
};

constexpr const char* PLUG_HARDWARE_VERSION = "1.0";

// Milliseconds on a monotonic clock; the LED and activity display follow it.
using FirmwareClock = std::function<uint64_t()>;

class alignas(64) PlugModel {
 public:
  // Without a clock the platform's tick count is used.
  explicit PlugModel(const PlugIdentity& identity, FirmwareClock clock = {});

  // Vendor requests on endpoint 0; anything else stalls. data holds the wLength bytes
  // of an OUT stage, or receives up to wLength bytes of an IN stage.
  ControlReply HandleSetup(const SetupPacket& setup, uint8_t* data);

  // OUT data from the host. Takes what fits (flow control); lastChunk says these are
  // the final bytes of the host's transfer, which matters for short-packet ends.
  EndpointIo WriteEndpoint(uint8_t address, const uint8_t* data, uint32_t length, bool lastChunk);
  // IN data for the host: at most length bytes, Nak when there is nothing to send.
  // data may be null when length is 0; so may WriteEndpoint's.
  EndpointIo ReadEndpoint(uint8_t address, uint8_t* data, uint32_t length);

  // IN data lost on the wire. A whole transfer of length bytes: the loopback loses
  // the bytes it would have carried (those buffered now, the rest as they arrive, up
  // to the end of the host's OUT transfer they belong to), the source loses one
  // transfer of its sequence. A transfer that ended early after the host's read:
  // the rest bytes it would also have carried are gone, as when a device ends a
  // transfer with a short packet.
  void LoseInTransfer(uint8_t address, uint32_t length);
  void EndInTransferEarly(uint8_t address, uint32_t rest);
  // The transport reset the endpoint (reset request, or a cleared halt): the
  // firmware drops what it buffered for it. The loopback's two endpoints share one
  // buffer, so resetting either empties it.
  void ResetEndpoint(uint8_t address);

  // A configuration request asks the transport to take the plug off the bus; the
  // transport then calls LeaveBus and, when the plug is to come back, ReturnToBus,
  // which brings up the new endpoint layout.
  bool ReenumerationRequested() const { return reenumerate_; }
  void LeaveBus();
  void ReturnToBus();

  // The speed the plug connects at: the configuration's, never above the port's.
  uint8_t Speed() const { return speed_; }
  const PlugIdentity& Identity() const { return identity_; }
  const PlugConfig& Config() const { return config_; }
  // The endpoint layout at Speed().
  const std::vector<PlugEndpoint>& Endpoints() const { return endpoints_; }
  const PlugEndpoint* FindEndpoint(uint8_t address) const;
  // The configuration's endpoints as they are at any speed, and the interface
  // descriptor with its endpoint descriptors (and SuperSpeed companions) for them.
  std::vector<PlugEndpoint> EndpointsAt(uint8_t speed) const;
  std::vector<uint8_t> InterfaceDescriptors(uint8_t speed) const;
  // The same for full, high and SuperSpeed at once, as a gadget transport hands them
  // to its kernel; indexed by speed code - 1.
  std::array<std::vector<uint8_t>, 3> InterfaceDescriptorsForEverySpeed() const;
  std::string InfoString() const;
  bool BenchmarkRunning() const { return benchRunning_; }
  uint32_t LoopbackFill() const { return fifoCount_; }
  uint32_t LoopbackCapacity() const { return static_cast<uint32_t>(fifo_.size()); }

 private:
  bool HandleVendorIn(const SetupPacket& setup, uint8_t* data, uint32_t* length);
  bool HandleVendorOut(const SetupPacket& setup, const uint8_t* data);
  void FillSource(uint8_t* data, uint32_t length);
  // Takes up to length bytes bound for the host out of the loopback FIFO, into data
  // or nowhere, stopping at a short-packet end (*shortEnd).
  uint32_t TakeLoopback(uint8_t* data, uint32_t length, bool* shortEnd);
  void DrainLoss();
  void FlushLoopback();
  void DrawDisplay(uint8_t* image);
  uint64_t NowMs() const;

  // What every transfer touches comes first, so that a transfer costs few cache lines
  // beside the data it moves.
  std::vector<PlugEndpoint> endpoints_;
  bool benchRunning_ = false;
  uint8_t speed_ = SPEED_SUPER;
  uint32_t sourceCounter_ = 0;
  uint64_t transfersSeen_ = 0;
  // Loopback FIFO: a ring of buffer count x buffer size bytes. Short-packet ends of
  // the host's OUT transfers are kept as absolute byte positions.
  uint32_t fifoHead_ = 0, fifoCount_ = 0;
  uint64_t fifoIn_ = 0, fifoOut_ = 0;
  uint64_t outSinceEnd_ = 0;
  std::vector<uint8_t> fifo_;
  std::vector<uint64_t> shortEnds_;
  uint64_t lossBytes_ = 0;  // bytes for the host still to be lost as they arrive

  PlugIdentity identity_;
  FirmwareClock clock_;
  PlugConfig config_;
  PlugConfig pendingConfig_;
  bool reenumerate_ = false;

  // Bus-error counting.
  uint32_t errorMask_ = 0;
  bool counting_ = false;

  // Display state.
  uint64_t ledUntilMs_ = 0;
  uint8_t ledStep_ = 0;
  uint64_t activitySeen_ = 0;
  uint64_t activityUntilMs_ = 0;
  std::mt19937 random_;
  double volts_ = 5.02, amps_ = 0.21;
};
