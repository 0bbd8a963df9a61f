#include "protocol/driver_requests.h"

void WriteDriverTransferBlock(const DriverTransferBlock& b, uint8_t* d) {
  d[0] = b.bmRequestType;
  d[1] = b.bRequest;
  PutLe16(d + 2, b.wValue);
  PutLe16(d + 4, b.wIndex);
  PutLe16(d + 6, b.wLength);
  PutLe32(d + 8, b.Timeout);
  d[12] = b.Reserved;
  d[13] = b.EndpointAddress;
  PutLe32(d + 14, b.NtStatus);
  PutLe32(d + 18, b.UsbdStatus);
  PutLe32(d + 22, b.PacketRecordOffset);
  PutLe32(d + 26, b.PacketRecordLength);
  PutLe32(d + 30, b.BufferOffset);
  PutLe32(d + 34, b.BufferLength);
}

DriverTransferBlock ReadDriverTransferBlock(const uint8_t* s) {
  DriverTransferBlock b;
  b.bmRequestType = s[0];
  b.bRequest = s[1];
  b.wValue = GetLe16(s + 2);
  b.wIndex = GetLe16(s + 4);
  b.wLength = GetLe16(s + 6);
  b.Timeout = GetLe32(s + 8);
  b.Reserved = s[12];
  b.EndpointAddress = s[13];
  b.NtStatus = GetLe32(s + 14);
  b.UsbdStatus = GetLe32(s + 18);
  b.PacketRecordOffset = GetLe32(s + 22);
  b.PacketRecordLength = GetLe32(s + 26);
  b.BufferOffset = GetLe32(s + 30);
  b.BufferLength = GetLe32(s + 34);
  return b;
}

void WriteIsoPacketResult(const IsoPacketResult& r, uint8_t* d) {
  PutLe32(d, r.Status);
  PutLe32(d + 4, r.Length);
}

IsoPacketResult ReadIsoPacketResult(const uint8_t* s) {
  return {GetLe32(s), GetLe32(s + 4)};
}

void WriteTransferSizeBlock(uint8_t endpointAddress, uint32_t size, uint8_t* d) {
  d[0] = endpointAddress;
  PutLe32(d + 1, size);
}

void ReadTransferSizeBlock(const uint8_t* s, uint8_t* endpointAddress, uint32_t* size) {
  *endpointAddress = s[0];
  *size = GetLe32(s + 1);
}
