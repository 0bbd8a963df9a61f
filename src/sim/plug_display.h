// The picture on the plug's own 128 x 64 display, as the plug serves it on its
// display endpoint: 64 rows of 16 bytes, most significant bit leftmost, 1 = white.
#pragma once
#include <cstdint>
#include <string>

constexpr int PLUG_DISPLAY_WIDTH = 128;
constexpr int PLUG_DISPLAY_HEIGHT = 64;

struct PlugDisplayState {
  std::string Serial;
  std::string Firmware;  // "2.3", or empty when the plug has none
  double Volts = 5.0;
  double Amps = 0.2;
  uint8_t DataFlow = 0;      // 0 loopback, 1 sending, 2 receiving, 3 both
  uint8_t EndpointType = 2;  // 1 isochronous, 2 bulk
  uint8_t Speed = 3;         // 1 full, 2 high, 3 SuperSpeed
  bool Active = false;       // data moved recently
  bool Leds[3] = {false, false, false};
};

void DrawPlugDisplay(const PlugDisplayState& state, uint8_t* image);  // 1024 bytes

// Pixel helpers, exposed for tests that read the picture back.
bool DisplayPixel(const uint8_t* image, int x, int y);
// Draws text with the built-in 3 x 5 font at (x, y), scaled; white or black.
void DrawDisplayText(uint8_t* image, int x, int y, const std::string& text, int scale, bool white);
