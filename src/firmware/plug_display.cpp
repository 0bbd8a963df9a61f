#include "firmware/plug_display.h"

#include <cstdio>
#include <cstring>

namespace {

// 3 x 5 glyphs, one row per entry, bit 2 leftmost.
struct Glyph {
  char Ch;
  uint8_t Rows[5];
};

const Glyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 2, 2}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'A', {2, 5, 7, 5, 5}}, {'B', {6, 5, 6, 5, 6}},
    {'C', {3, 4, 4, 4, 3}}, {'D', {6, 5, 5, 5, 6}}, {'E', {7, 4, 6, 4, 7}}, {'F', {7, 4, 6, 4, 4}},
    {'G', {3, 4, 5, 5, 3}}, {'H', {5, 5, 7, 5, 5}}, {'I', {7, 2, 2, 2, 7}}, {'J', {1, 1, 1, 5, 2}},
    {'K', {5, 5, 6, 5, 5}}, {'L', {4, 4, 4, 4, 7}}, {'M', {5, 7, 7, 5, 5}}, {'N', {6, 5, 5, 5, 5}},
    {'O', {2, 5, 5, 5, 2}}, {'P', {6, 5, 6, 4, 4}}, {'Q', {2, 5, 5, 6, 3}}, {'R', {6, 5, 6, 5, 5}},
    {'S', {3, 4, 2, 1, 6}}, {'T', {7, 2, 2, 2, 2}}, {'U', {5, 5, 5, 5, 7}}, {'V', {5, 5, 5, 5, 2}},
    {'W', {5, 5, 7, 7, 5}}, {'X', {5, 5, 2, 5, 5}}, {'Y', {5, 5, 2, 2, 2}}, {'Z', {7, 1, 2, 4, 7}},
    {'.', {0, 0, 0, 0, 2}}, {':', {0, 2, 0, 2, 0}}, {'-', {0, 0, 7, 0, 0}}, {'/', {1, 1, 2, 4, 4}},
    {'+', {0, 2, 7, 2, 0}}, {'_', {0, 0, 0, 0, 7}},
};

const Glyph* FindGlyph(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const Glyph& g : kFont) {
    if (g.Ch == c) return &g;
  }
  return nullptr;  // blank, like a space
}

void SetPixel(uint8_t* image, int x, int y, bool white) {
  if (x < 0 || y < 0 || x >= PLUG_DISPLAY_WIDTH || y >= PLUG_DISPLAY_HEIGHT) return;
  uint8_t& byte = image[y * (PLUG_DISPLAY_WIDTH / 8) + x / 8];
  uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
  byte = white ? (byte | bit) : (byte & ~bit);
}

void FillRect(uint8_t* image, int x, int y, int w, int h, bool white) {
  for (int row = y; row < y + h; ++row) {
    for (int col = x; col < x + w; ++col) SetPixel(image, col, row, white);
  }
}

void FrameRect(uint8_t* image, int x, int y, int w, int h) {
  FillRect(image, x, y, w, 1, true);
  FillRect(image, x, y + h - 1, w, 1, true);
  FillRect(image, x, y, 1, h, true);
  FillRect(image, x + w - 1, y, 1, h, true);
}

const char* FlowText(uint8_t flow) {
  switch (flow) {
    case FLOW_LOOPBACK:
      return "LOOPBACK";
    case FLOW_PLUG_SENDS:
      return "BENCH IN";
    case FLOW_PLUG_RECEIVES:
      return "BENCH OUT";
    default:
      return "BENCH IN+OUT";
  }
}

const char* SpeedText(uint8_t speed) {
  switch (speed) {
    case SPEED_SUPER:
      return "SUPERSPEED 5G";
    case SPEED_HIGH:
      return "HIGHSPEED 480M";
    default:
      return "FULLSPEED 12M";
  }
}

}  // namespace

bool DisplayPixel(const uint8_t* image, int x, int y) {
  if (x < 0 || y < 0 || x >= PLUG_DISPLAY_WIDTH || y >= PLUG_DISPLAY_HEIGHT) return false;
  return (image[y * (PLUG_DISPLAY_WIDTH / 8) + x / 8] & (0x80 >> (x % 8))) != 0;
}

void DrawDisplayText(uint8_t* image, int x, int y, const std::string& text, int scale, bool white) {
  for (char c : text) {
    if (const Glyph* g = FindGlyph(c)) {
      for (int row = 0; row < 5; ++row) {
        for (int col = 0; col < 3; ++col) {
          if (g->Rows[row] & (4 >> col)) {
            FillRect(image, x + col * scale, y + row * scale, scale, scale, white);
          }
        }
      }
    }
    x += 4 * scale;
  }
}

void DrawPlugDisplay(const PlugDisplayState& state, uint8_t* image) {
  std::memset(image, 0, PLUG_DISPLAY_BYTES);
  // Title bar, dark text on white, with an activity dot at its right end.
  FillRect(image, 0, 0, PLUG_DISPLAY_WIDTH, 12, true);
  DrawDisplayText(image, 2, 1, "USB3 LOOPBACK", 2, false);
  if (state.Active) FillRect(image, 121, 3, 5, 5, false);

  char line[40];
  DrawDisplayText(image, 2, 15, "SN " + state.Serial, 1, true);
  std::snprintf(line, sizeof line, "VBUS %.2fV %.2fA", state.Volts, state.Amps);
  DrawDisplayText(image, 2, 22, line, 1, true);
  std::snprintf(line, sizeof line, "MODE %s %s", FlowText(state.DataFlow),
                state.EndpointType == USB_TRANSFER_ISOCHRONOUS && state.DataFlow != FLOW_LOOPBACK
                    ? "ISO"
                    : "BULK");
  DrawDisplayText(image, 2, 29, line, 1, true);
  DrawDisplayText(image, 2, 36, SpeedText(state.Speed), 1, true);
  std::string versions = state.Firmware.empty() ? "FW -" : "FW " + state.Firmware;
  DrawDisplayText(image, 2, 43, versions + "  HW " + state.Hardware, 1, true);

  DrawDisplayText(image, 2, 55, "LED", 1, true);
  for (int i = 0; i < 3; ++i) {
    int x = 18 + i * 10;
    FrameRect(image, x, 53, 8, 9);
    if (state.Leds[i]) FillRect(image, x + 2, 55, 4, 5, true);
  }
}
