// The picture on the plug's own 128 x 64 display, as the plug serves it on its
// display endpoint: 64 rows of 16 bytes, most significant bit leftmost, 1 = white.
#pragma once
#include <cstdint>
#include <string>

#include "protocol/config_block.h"
#include "protocol/plug_commands.h"
#include "protocol/speed_codes.h"

struct PlugDisplayState {
  std::string Serial;
  std::string Firmware;  // "2.3", or empty when the plug has none
  std::string Hardware = "1.0";
  double Volts = 5.0;
  double Amps = 0.2;
  uint8_t DataFlow = FLOW_LOOPBACK;
  uint8_t EndpointType = USB_TRANSFER_BULK;
  uint8_t Speed = SPEED_SUPER;
  bool Active = false;  // data moved recently
  bool Leds[3] = {false, false, false};
};

void DrawPlugDisplay(const PlugDisplayState& state, uint8_t* image);  // PLUG_DISPLAY_BYTES

// Pixel helpers, exposed for tests that read the picture back.
bool DisplayPixel(const uint8_t* image, int x, int y);
// Draws text with the built-in 3 x 5 font at (x, y), scaled; white or black.
void DrawDisplayText(uint8_t* image, int x, int y, const std::string& text, int scale, bool white);
