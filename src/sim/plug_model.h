// The loopback plug's firmware, as a model that knows nothing of how it is carried:
// setup packets in, data or a stall out; data in and out of its endpoints; and a
// request to leave the bus and come back after a configuration change. The virtual
// driver hosts it on a simulated bus; a USB gadget transport could host the same model.
#pragma once
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim/sim_options.h"

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

struct ControlReply {
  bool Stalled = false;
  uint32_t Length = 0;  // IN: bytes of the reply; OUT: bytes taken
};

// Vendor commands (wValue of a vendor request with bRequest 0).
constexpr uint16_t PLUG_CMD_LED_STEP1 = 0x0001;
constexpr uint16_t PLUG_CMD_CONFIG = 0x0002;
constexpr uint16_t PLUG_CMD_BENCH_START = 0x0004;
constexpr uint16_t PLUG_CMD_BENCH_END = 0x0104;
constexpr uint16_t PLUG_CMD_ERROR_MASK = 0x0005;
constexpr uint16_t PLUG_CMD_ERROR_COUNTERS = 0x0006;
constexpr uint16_t PLUG_CMD_SPEED = 0x0009;
constexpr uint16_t PLUG_CMD_START_COUNTING = 0x000A;
constexpr uint16_t PLUG_CMD_PREPARE_COUNTERS = 0x000B;
constexpr uint16_t PLUG_CMD_END_MONITORING = 0x010B;
constexpr uint16_t PLUG_CMD_INFO = 0x0050;
constexpr uint16_t PLUG_CMD_LED_STEP3 = 0x0301;
constexpr uint16_t PLUG_CMD_LED_STEP2 = 0x5501;

constexpr uint8_t PLUG_DISPLAY_ENDPOINT = 0x87;
constexpr uint32_t PLUG_DISPLAY_BYTES = 1024;  // 128 x 64 pixels, 1 bit each
constexpr size_t PLUG_CONFIG_BLOCK_SIZE = 14;
constexpr size_t PLUG_INFO_LENGTH = 31;

// The 14-byte configuration the host sends with PLUG_CMD_CONFIG, decoded.
struct PlugConfig {
  uint8_t DataFlow = 0;      // 0 loopback, 1 plug sends, 2 plug receives, 3 both
  uint8_t EndpointType = 2;  // 1 isochronous, 2 bulk
  uint8_t InNumber = 1;
  uint8_t OutNumber = 1;
  uint8_t Burst = 1;
  uint8_t Interval = 1;
  uint8_t IsoPackets = 1;
  uint16_t BytesPerInterval = 1024;
  uint8_t ConnectionType = SIM_SPEED_SUPER;
  uint8_t BufferCount = 64;
  uint16_t BufferSize = 1024;
};
// False when the block asks for something the plug cannot do.
bool DecodePlugConfig(const uint8_t* block, PlugConfig* config);

enum class EndpointRole : uint8_t { LoopbackOut, LoopbackIn, SourceIn, SinkOut, Display };

struct PlugEndpoint {
  uint8_t bEndpointAddress = 0;
  uint8_t bmAttributes = 2;
  uint16_t wMaxPacketSize = 0;  // as in the descriptor (bits 12..11: extra transactions)
  uint8_t bInterval = 0;
  uint8_t bMaxBurst = 0;  // companion (SuperSpeed only)
  uint8_t CompanionAttributes = 0;
  uint16_t wBytesPerInterval = 0;
  EndpointRole Role = EndpointRole::Display;
  // Bytes the endpoint moves per packet and per service interval.
  uint32_t PacketBytes() const { return wMaxPacketSize & 0x7FF; }
  uint32_t IntervalBytes() const;
  bool IsIsochronous() const { return (bmAttributes & 3) == 1; }
  bool IsIn() const { return (bEndpointAddress & 0x80) != 0; }
};

enum class EndpointStatus { Ok, Nak, Stall };
struct EndpointIo {
  EndpointStatus Status = EndpointStatus::Ok;
  uint32_t Bytes = 0;
  bool TransferEnds = false;  // IN: a short packet ended the transfer
};

struct PlugIdentity {
  std::string Serial;
  uint8_t PortSpeed = SIM_SPEED_SUPER;  // the fastest the port allows
  bool HasFirmware = true;
  uint8_t Firmware = 23;
  uint32_t Seed = 1;
  bool BadConfig = false;
  bool BadBos = false;
  uint32_t PhyErrors = 0, LinkErrors = 0, PhyFlags = 0, LinkFlags = 0;
};

class alignas(64) PlugModel {
 public:
  explicit PlugModel(const PlugIdentity& identity);

  // Endpoint 0. data holds the wLength bytes of an OUT stage, or receives up to
  // wLength bytes of an IN stage.
  ControlReply HandleSetup(const SetupPacket& setup, uint8_t* data);

  // OUT data from the host. Takes what fits (flow control); lastChunk says these are
  // the final bytes of the host's transfer, which matters for short-packet ends.
  EndpointIo WriteEndpoint(uint8_t address, const uint8_t* data, uint32_t length, bool lastChunk);
  // IN data for the host: at most length bytes, Nak when there is nothing to send.
  EndpointIo ReadEndpoint(uint8_t address, uint8_t* data, uint32_t length);

  void SetHalt(uint8_t address, bool halted);
  bool IsHalted(uint8_t address) const;

  // A configuration request asks the transport to take the plug off the bus; the
  // transport then calls LeaveBus and, when the plug is to come back, ReturnToBus,
  // which brings up the new endpoint layout.
  bool ReenumerationRequested() const { return reenumerate_; }
  void LeaveBus();
  void ReturnToBus();

  uint8_t Speed() const { return speed_; }
  const std::string& Serial() const { return identity_.Serial; }
  const PlugConfig& Config() const { return config_; }
  const std::vector<PlugEndpoint>& Endpoints() const { return endpoints_; }
  const PlugEndpoint* FindEndpoint(uint8_t address) const;
  std::string InfoString() const;
  bool BenchmarkRunning() const { return benchRunning_; }
  uint32_t LoopbackFill() const { return fifoCount_; }
  uint32_t LoopbackCapacity() const { return static_cast<uint32_t>(fifo_.size()); }

  const std::vector<uint8_t>& DeviceDescriptor() const { return device_; }
  const std::vector<uint8_t>& ConfigurationSet() const { return config_set_; }
  const std::vector<uint8_t>& BosSet() const { return bos_; }

 private:
  void BuildLayout();
  void BuildDescriptors();
  bool HandleVendor(const SetupPacket& setup, uint8_t* data, uint32_t* length);
  bool HandleStandard(const SetupPacket& setup, uint8_t* data, uint32_t* length);
  void FillSource(uint8_t* data, uint32_t length);
  void DrawDisplay(uint8_t* image);

  // What every transfer touches comes first, so that a transfer costs few cache lines
  // beside the data it moves.
  std::vector<PlugEndpoint> endpoints_;
  uint32_t halted_ = 0;  // one bit per endpoint, as in EndpointSlot
  bool benchRunning_ = false;
  uint8_t speed_ = SIM_SPEED_SUPER;
  uint32_t sourceCounter_ = 0;
  uint64_t transfersSeen_ = 0;
  // Loopback FIFO: a ring of buffer count x buffer size bytes. Short-packet ends of
  // the host's OUT transfers are kept as absolute byte positions.
  uint32_t fifoHead_ = 0, fifoCount_ = 0;
  uint64_t fifoIn_ = 0, fifoOut_ = 0;
  uint64_t outSinceEnd_ = 0;
  std::vector<uint8_t> fifo_;
  std::vector<uint64_t> shortEnds_;

  PlugIdentity identity_;
  PlugConfig config_;
  PlugConfig pendingConfig_;
  bool reenumerate_ = false;
  std::vector<uint8_t> device_, config_set_, bos_;

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
