#include "protocol/plug_ids.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_lock;
std::vector<PlugId>& Ids() {
  static std::vector<PlugId> ids{{PLUG_VENDOR_ID, PLUG_PRODUCT_ID}};
  return ids;
}

std::optional<uint16_t> Hex4(std::string_view text) {
  if (text.size() != 4) return std::nullopt;
  uint16_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = static_cast<uint16_t>(value << 4 | digit);
  }
  return value;
}
}  // namespace

std::vector<PlugId> PlugIds() {
  std::lock_guard lock(g_lock);
  return Ids();
}

bool AddPlugId(PlugId id) {
  std::lock_guard lock(g_lock);
  if (std::find(Ids().begin(), Ids().end(), id) != Ids().end()) return false;
  Ids().push_back(id);
  return true;
}

bool IsPlugId(uint16_t vendor, uint16_t product) {
  std::lock_guard lock(g_lock);
  return std::find(Ids().begin(), Ids().end(), PlugId{vendor, product}) != Ids().end();
}

void ResetPlugIds() {
  std::lock_guard lock(g_lock);
  Ids().assign({{PLUG_VENDOR_ID, PLUG_PRODUCT_ID}});
}

std::optional<PlugId> ParsePlugId(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto vendor = Hex4(text.substr(0, colon));
  const auto product = Hex4(text.substr(colon + 1));
  if (!vendor || !product) return std::nullopt;
  return PlugId{*vendor, *product};
}

std::string FormatPlugId(PlugId id) {
  char text[10];
  std::snprintf(text, sizeof text, "%04x:%04x", id.Vendor, id.Product);
  return text;
}
