// What a device controller's stack serves for the plug around its interface: the
// device descriptor, the configuration header, the BOS and the string descriptors.
// The virtual driver serves them itself; a gadget transport hands the same values to
// its kernel, which answers those requests there.
#pragma once
#include <cstdint>
#include <vector>

#include "firmware/plug_model.h"

constexpr const char* PLUG_MANUFACTURER = "Quorvale";
constexpr const char* PLUG_PRODUCT = "USB3 Loopback Plug";

// String indexes of the device descriptor; 0 is the language list.
constexpr uint8_t PLUG_STRING_MANUFACTURER = 1;
constexpr uint8_t PLUG_STRING_PRODUCT = 2;
constexpr uint8_t PLUG_STRING_SERIAL = 3;

std::vector<uint8_t> BuildDeviceDescriptor(const PlugIdentity& identity, uint8_t speed);

// The whole configuration set: the header of the plug's one configuration, then the
// interface's descriptors (PlugModel::InterfaceDescriptors for the same speed).
std::vector<uint8_t> BuildConfigurationSet(uint8_t speed,
                                           const std::vector<uint8_t>& interfaceDescriptors);

// At SuperSpeed: USB 2.0 extension, SuperSpeed capability and a container id derived
// from the serial. Below SuperSpeed the plug has no BOS: empty.
std::vector<uint8_t> BuildBos(const PlugIdentity& identity, uint8_t speed);

// String descriptor by index; empty when the plug has no such string.
std::vector<uint8_t> BuildStringDescriptor(const PlugIdentity& identity, uint8_t index);
